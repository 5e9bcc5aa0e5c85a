#!/usr/bin/env bash
# Builds tarn.msi or tarn-x64.msi from tools/windows/tarn.wxs with msitools' wixl.
# Usage: tools/windows/build-msi.sh ARCH VERSION PACKAGE_DIR OUTPUT.msi
#   ARCH         x86 (tarn.msi, of the mingw-i686 build) or x64 (tarn-x64.msi, of
#                the mingw-x86_64 build)
#   VERSION      major.minor.patch (major and minor below 256, patch below 65536)
#   PACKAGE_DIR  the folder with tarnsvc.exe, tarn-setup.exe and tarn-msi.dll of
#                that architecture
# Each Windows build runs it (target tarn_msi) with the project version;
# tools/wine/msi-check.sh runs it again with a higher version for the upgrade.
set -euo pipefail

[[ $# -eq 4 ]] || { echo "usage: $0 x86|x64 VERSION PACKAGE_DIR OUTPUT.msi" >&2; exit 2; }
arch=$1
version=$2
package_dir=$(realpath "$3")
output=$(realpath -m "$4")
[[ $arch == x86 || $arch == x64 ]] || { echo "build-msi.sh: architecture \"$arch\" is neither x86 nor x64" >&2; exit 2; }
source_wxs="$(cd "$(dirname "$0")" && pwd)/tarn.wxs"

# Windows Installer compares the first three fields only, within these limits;
# a version outside them would make upgrades misbehave without an error.
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] ||
  ((BASH_REMATCH[1] > 255 || BASH_REMATCH[2] > 255 || BASH_REMATCH[3] > 65535)); then
  echo "build-msi.sh: version \"$version\" is not major.minor.patch within 255.255.65535" >&2
  exit 2
fi
for tool in wixl msibuild msiinfo; do
  command -v "$tool" >/dev/null || { echo "build-msi.sh: $tool not found (tools/install-build-deps.sh --windows installs msitools and wixl)" >&2; exit 2; }
done
for file in tarnsvc.exe tarn-setup.exe tarn-msi.dll; do
  [[ -f "$package_dir/$file" ]] || { echo "build-msi.sh: $package_dir/$file not found" >&2; exit 2; }
done

mkdir -p "$(dirname "$output")"
partial="$output.partial"
rm -f "$partial"
trap 'rm -f "$partial"' EXIT
# wixl takes no absolute Source: the files are named relative to the working folder.
(cd "$package_dir" && wixl --arch "$arch" -D Arch="$arch" -D Version="$version" -o "$partial" "$source_wxs")

# wixl writes neither a component's condition nor its attribute "permanent": each
# setting is installed only where AppSearch found no value of that name or where
# its property was given, and never removed again (16 permanent + 4 key path is a
# registry value).
queries=()
for setting in LogPeriodMs LogFileSizeByte LogFileBackupNum UploadLogPeriodMs UploadLogFileSizeByte UploadLogFileBackupNum; do
  found="FOUND_${setting^^}"
  queries+=(-q "UPDATE \`Component\` SET \`Attributes\` = 20, \`Condition\` = 'NOT $found OR ${setting^^}' WHERE \`Component\` = 'Default$setting'")
done
# wixl drops the service's attribute Vital: a service that cannot be created fails
# the installation (32768) instead of asking whether to ignore it; 1 is the
# normal error control.
queries+=(-q "UPDATE \`ServiceInstall\` SET \`ErrorControl\` = 32769 WHERE \`ServiceInstall\` = 'TarnSvcInstall'")
# wixl's upgrade row removes older versions only: a rebuild of the same version
# (a new product code) would install beside the one there, two products with one
# service. 513 = 512 the maximum version included + 1 the features migrated.
upgrade_code=$(msiinfo export "$partial" Property | tr -d '\r' | sed -n 's/^UpgradeCode\t//p')
queries+=(-q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'")
queries+=(-q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')")
# The settings given on the command line are secure properties: a per-machine
# installation passes only those to its server side.
setting_properties="LOGPERIODMS;LOGFILESIZEBYTE;LOGFILEBACKUPNUM;UPLOADLOGPERIODMS;UPLOADLOGFILESIZEBYTE;UPLOADLOGFILEBACKUPNUM"
secure=$(msiinfo export "$partial" Property | tr -d '\r' | sed -n 's/^SecureCustomProperties\t//p')
queries+=(-q "UPDATE \`Property\` SET \`Value\` = '${secure:+$secure;}$setting_properties' WHERE \`Property\` = 'SecureCustomProperties'")
msibuild "$partial" "${queries[@]}"

# The result is checked, not trusted: had wixl laid a table out otherwise, the
# queries above would miss, and the package would overwrite or delete settings.
components=$(msiinfo export "$partial" Component | tr -d '\r')
for setting in LogPeriodMs LogFileSizeByte LogFileBackupNum UploadLogPeriodMs UploadLogFileSizeByte UploadLogFileBackupNum; do
  grep -qP "^Default$setting\t[^\t]*\tINSTALLDIR\t20\tNOT FOUND_${setting^^} OR ${setting^^}\t" <<<"$components" || {
    echo "build-msi.sh: the component Default$setting did not get its condition:" >&2
    echo "$components" >&2
    exit 1
  }
done
msiinfo export "$partial" Property | tr -d '\r' | grep -qP "^SecureCustomProperties\t.*\\Q$setting_properties\\E$" || {
  echo "build-msi.sh: the settings' properties are not secure:" >&2
  msiinfo export "$partial" Property >&2
  exit 1
}
msiinfo export "$partial" ServiceInstall | tr -d '\r' | grep -qP "^TarnSvcInstall\tTarnSvc\t[^\t]*\t16\t2\t32769\t" || {
  echo "build-msi.sh: the service is not vital:" >&2
  msiinfo export "$partial" ServiceInstall >&2
  exit 1
}
msiinfo export "$partial" Upgrade | tr -d '\r' | grep -qP "^\\Q$upgrade_code\\E\t\t\\Q$version\\E\t\t513\t\tWIX_UPGRADE_DETECTED$" || {
  echo "build-msi.sh: the upgrade row does not include version $version:" >&2
  msiinfo export "$partial" Upgrade >&2
  exit 1
}
# The package's platform, and where its service goes, follow the architecture; the
# settings stay in the 32-bit view (a component without the 64-bit flag, 256).
template=$([[ $arch == x64 ]] && echo x64 || echo Intel)
msiinfo suminfo "$partial" | grep -qx "Template: $template;1033" || {
  echo "build-msi.sh: the package's platform is not $template:" >&2
  msiinfo suminfo "$partial" >&2
  exit 1
}
service_attributes=$([[ $arch == x64 ]] && echo 256 || echo 0)
grep -qP "^Service\t[^\t]*\tINSTALLDIR\t$service_attributes\t" <<<"$components" || {
  echo "build-msi.sh: the service's component is not a $arch one:" >&2
  echo "$components" >&2
  exit 1
}
msiinfo export "$partial" Property | tr -d '\r' | grep -qP "^ProductVersion\t\\Q$version\\E$" || {
  echo "build-msi.sh: ProductVersion is not $version" >&2
  exit 1
}
mv -f "$partial" "$output"
trap - EXIT
echo "build-msi.sh: $output (version $version)"

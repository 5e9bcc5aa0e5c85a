#!/usr/bin/env bash
# Checks the package of one Windows build (tarn.msi of the 32-bit build, in WoW64
# mode, or tarn-x64.msi of the 64-bit one; TARN_WINE_ARCH=x86|x64 names it, else
# the product where WoW64 mode runs: tools/wine/wine-lib.sh) under Wine's msiexec and service control
# manager, in a new prefix:
#
#  1. "msiexec /i tarn.msi /qn" installs tarnsvc.exe and tarn-setup.exe in
#     "C:\Program Files (x86)\Tarn" ("C:\Program Files\Tarn" for tarn-x64.msi),
#     registers "TarnSvc" (own process, automatic
#     start, LocalSystem, description, 30 s pre-shutdown time-out), keeps the
#     settings already in the 32-bit registry view (whatever their type), adds the
#     missing defaults there only, and starts the service, which, with no
#     power-monitor driver, stops itself with exit code 0;
#  2. settings given as public properties (LOGPERIODMS=...) that are no number
#     from 0 to 4294967295 fail the installation with a message naming them, and
#     nothing is written; the same version built again (another product code),
#     installed with two settings given, replaces it: one product, the two
#     values written as REG_DWORD in the 32-bit view over what was there, the
#     other settings kept;
#  3. a package of a higher version (the same build with a marked executable)
#     upgrades in place: one installed product, of the new version, the executable
#     replaced, the service registered and started again, settings changed since
#     (also defaults the first installation wrote, and those given) and the logs
#     kept, as none is given to it;
#  4. the older package is refused while the newer one is installed, and so is
#     the package of the other architecture, which installs the same service,
#     with a message that names it;
#  5. "msiexec /x ... /qn" removes the service and the files, and keeps the logs
#     and every setting.
# msiexec's logs, the service's trace and Wine's messages are in
# build/<preset>/msi-check/; the last part of the latter is printed on failure.
#
# Usage: tools/wine/msi-check.sh     (after both Windows builds, with msitools; about a minute)
# It makes its own prefix anew, build/wine-msi-ARCH (or $TARN_MSI_PREFIX), and ends
# every Wine process of it. The last line reads "msi-check: N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 2
source tools/wine/wine-lib.sh
tarn_wine_choose_arch || exit 2

tarn_service_check msi-check "${TARN_MSI_PREFIX:-$PWD/build/wine-msi-$TARN_WINE_ARCH}"
msi="$tarn_msi"
product_name="Tarn power monitor"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

trace_lines=40

# msiexec NAME ARGUMENTS...: runs msiexec with a verbose log in $out/NAME.log;
# its exit code (Wine's msiexec passes the installer's result on).
msiexec() {
  local name=$1
  shift
  # A custom-action server that died leaves msiexec waiting for ever.
  timeout 300 wine msiexec "$@" /qn /l*v "$(windows_path "$out/$name.log")" >"$out/$name.out" 2>&1
}

# The six settings as the service would read them (32-bit view), one per line.
settings_are() {
  local expected=$1 actual name
  actual=$(for name in LogPeriodMs LogFileSizeByte LogFileBackupNum UploadLogPeriodMs UploadLogFileSizeByte \
    UploadLogFileBackupNum; do echo "$name=$(registry_value "$settings_key" "$name" 32)"; done)
  [[ "$actual" == "$expected" ]] && return 0
  detail="expected:"$'\n'"$expected"$'\n'"found:"$'\n'"$actual"
  return 1
}

# installed_versions: the version of every installed product of this name, one per line.
installed_versions() {
  local view
  for view in 32 64; do
    wine reg query "$uninstall_key" /s /reg:"$view" 2>/dev/null | tr -d '\r' | awk -v name="$product_name" '
      /^HKEY_/ { key = $0; display = ""; version = ""; next }
      $1 == "DisplayName" { sub(/^ *DisplayName +REG_SZ +/, ""); display = $0 }
      $1 == "DisplayVersion" { sub(/^ *DisplayVersion +REG_SZ +/, ""); version = $0 }
      display == name && version != "" && !seen[key]++ { print key " " version }'
  done | sort -u | awk '{ print $NF }'
}

products_are() {
  local actual
  actual=$(installed_versions)
  [[ "$actual" == "$1" ]] && return 0
  detail="installed versions: \"$actual\", expected \"$1\""
  return 1
}

# service_starts: how many service processes have run so far: the process ids
# that begin the service's trace lines.
service_starts() {
  grep -oE 'OutputDebugStringA "[0-9]+:\[QorLog\]' "$wine_log" 2>/dev/null | sort -u | wc -l
}

# The service's image path: Windows Installer quotes it; Wine 8's msi does not,
# and its manager starts the unquoted path with spaces all the same.
image_path_is_the_installed_exe() {
  local actual wanted="C:\\$tarn_program_files\\Tarn\\tarnsvc.exe"
  actual=$(registry_value "$service_key" ImagePath)
  [[ "$actual" == "\"$wanted\"" || "$actual" == "$wanted" ]] && return 0
  detail="ImagePath is \"$actual\""
  return 1
}

# log_says LOG TEXT: msiexec's log holds the ASCII TEXT, whether the log is
# written in UTF-16 or in the ANSI code page. Wine's msiexec may return before
# the last lines of its log are written (seen under load, the property dump
# missing): the log is read again for up to 10 s.
log_says() {
  local deadline=$((SECONDS + 10))
  until tr -d '\0' <"$1" | grep -qF -- "$2"; do
    ((SECONDS >= deadline)) && return 1
    sleep 0.5
  done
}

starts_are() {
  local count
  count=$(service_starts)
  [[ "$count" == "$1" ]] && return 0
  detail="$count starts traced, expected $1"
  return 1
}

# ---------------------------------------------------------------------------
echo "== msi check of $tarn_msi_name, the $(tarn_wine_describe_arch) build, under Wine ($(wine --version 2>/dev/null))"
other_package="$tarn_repo/build/$tarn_other_preset/package"
for file in "$msi" "$package/tarnsvc.exe" "$package/tarn-setup.exe" "$other_package/tarnsvc.exe"; do
  [[ -f "$file" ]] || { echo "missing $file: build both Windows presets (with msitools) first" >&2; exit 2; }
done

# The newer package: this build's version with the patch number one higher, and an
# executable that differs from this build's (bytes after the image, which the
# loader ignores), so that its replacement shows.
version=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')
[[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || { echo "$tarn_msi_name has no version major.minor.patch: \"$version\"" >&2; exit 2; }
next_version="${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.$((BASH_REMATCH[3] + 1))"
next_package="$out/next-package"
mkdir -p "$next_package"
cp "$package/tarnsvc.exe" "$package/tarn-setup.exe" "$package/tarn-msi.dll" "$next_package/"
printf 'msi-check: the executable of version %s\n' "$next_version" >>"$next_package/tarnsvc.exe"
next_msi="$out/next/$tarn_msi_name"
tools/windows/build-msi.sh "$TARN_WINE_ARCH" "$next_version" "$next_package" "$next_msi" >"$out/build-next.log" 2>&1 ||
  { cat "$out/build-next.log" >&2; echo "building $tarn_msi_name $next_version failed" >&2; exit 1; }

# The same version built again: Windows Installer sees another product.
rebuilt_msi="$out/rebuilt/$tarn_msi_name"
tools/windows/build-msi.sh "$TARN_WINE_ARCH" "$version" "$package" "$rebuilt_msi" >"$out/build-rebuilt.log" 2>&1 ||
  { cat "$out/build-rebuilt.log" >&2; echo "building $tarn_msi_name $version again failed" >&2; exit 1; }

# The package of the other architecture, which installs the same service.
other_arch=$([[ $TARN_WINE_ARCH == x64 ]] && echo x86 || echo x64)
other_msi_name=$([[ $other_arch == x64 ]] && echo tarn-x64.msi || echo tarn.msi)
other_msi="$out/other/$other_msi_name"
installed_package=$([[ $TARN_WINE_ARCH == x64 ]] && echo "64-bit package tarn-x64.msi" || echo "32-bit package tarn.msi")
tools/windows/build-msi.sh "$other_arch" "$version" "$other_package" "$other_msi" >"$out/build-other.log" 2>&1 ||
  { cat "$out/build-other.log" >&2; echo "building the $other_arch package failed" >&2; exit 1; }

echo "-- $tarn_msi_name $version, then $next_version"
tarn_wine_traced_service_prefix "$prefix" "$out/wineboot.log"
# Either package may start Wine's 32-bit msiexec (tarn.msi's custom action runs in it).
tarn_wine_msiexec_stand_ins "$out/stand-ins" >"$out/stand-ins.log" 2>&1 ||
  abort "stand-ins for the DLLs Wine's 32-bit msiexec cannot start" "$out/stand-ins.log"

# Settings made before the installation must survive it: one the service uses,
# and one it ignores for its type (which is no reason to replace it).
wine reg add "$settings_key" /v LogPeriodMs /t REG_DWORD /d 1000 /f /reg:32 >/dev/null 2>&1
wine reg add "$settings_key" /v UploadLogFileSizeByte /t REG_SZ /d 50000 /f /reg:32 >/dev/null 2>&1
tarn_wine_plant_old_local_log

echo "-- msiexec /i $tarn_msi_name /qn ($version)"
msiexec install /i "$(windows_path "$msi")" || abort "msiexec /i succeeds" "exit code $?; log $out/install.log"
pass "msiexec /i succeeds"
program_files="$prefix/drive_c/$tarn_program_files/Tarn"
detail="not found or not the built one: $program_files/tarnsvc.exe"
check "tarnsvc.exe installed in C:\\$tarn_program_files\\Tarn" cmp -s "$program_files/tarnsvc.exe" "$package/tarnsvc.exe"
detail="not found: $program_files/tarn-setup.exe"
check "tarn-setup.exe installed beside it" test -f "$program_files/tarn-setup.exe"
check "image path: the installed tarnsvc.exe" image_path_is_the_installed_exe
check "own process" value_is "$service_key" Type 0x10
check "automatic start" value_is "$service_key" Start 0x2
check "runs as LocalSystem" value_is "$service_key" ObjectName LocalSystem
check "normal error control (the package's vital flag not passed on)" value_is "$service_key" ErrorControl 0x1
check "has the description" value_is "$service_key" Description \
  'Samples the power-monitor driver and writes its readings to CSV logs under ProgramData\Corvessan.'
preshutdown=$(wine "$program_files/tarn-setup.exe" qpreshutdown "$service" 2>&1 | tr -d '\r' | without_wine_messages)
detail=$preshutdown
check "pre-shutdown time-out 30000 ms (custom action)" test "$preshutdown" = "PRESHUTDOWN_TIMEOUT: 30000"
check "settings already there kept, missing defaults added (32-bit view)" settings_are "LogPeriodMs=0x3e8
LogFileSizeByte=0x975e0
LogFileBackupNum=0x7
UploadLogPeriodMs=0x927c0
UploadLogFileSizeByte=50000
UploadLogFileBackupNum=0x5"
detail="the settings key exists in the 64-bit view"
check "nothing written to the 64-bit view" bash -c "! wine reg query '$settings_key' /reg:64 >/dev/null 2>&1"
check "event source TarnSvc registered: the messages in the installed tarnsvc.exe" value_is "$event_source_key" \
  EventMessageFile "C:\\$tarn_program_files\\Tarn\\tarnsvc.exe"
check "one product installed, version $version" products_are "$version"
check "service started by the installation (no driver: stops itself)" wait_for_state 1 20
check "exit code 0" exit_codes_are 0 0
check "started once (traced)" starts_are 1

echo "-- msiexec /i $other_msi_name /qn while $tarn_msi_name is installed: refused"
msiexec other /i "$(windows_path "$other_msi")"
code=$?
detail="exit code $code"
check "msiexec /i of the other architecture's package fails" test "$code" != 0
# Wine's msiexec logs no launch condition's message under /qn (Windows shows and
# logs it): the check sees that the condition stopped it, and which message the
# package holds for it.
detail="no TARN_OTHER_PACKAGE property in $out/other.log"
check "the installed package found (TARN_OTHER_PACKAGE)" log_says "$out/other.log" "TARN_OTHER_PACKAGE = {"
detail="$(cat "$out/other.out")"
check "stopped by the launch condition" grep -qF 'action L"LaunchConditions" returned 1603' "$out/other.out"
detail="$(msiinfo export "$other_msi" LaunchCondition 2>&1)"
check "its message says to remove the installed package first" bash -c \
  "msiinfo export '$other_msi' LaunchCondition | grep -qF 'Tarn is already installed on this computer from the ${installed_package}'"
check "still one product, version $version" products_are "$version"
detail="not the installed one: $program_files/tarnsvc.exe"
check "tarnsvc.exe unchanged" cmp -s "$program_files/tarnsvc.exe" "$package/tarnsvc.exe"
check "service still registered" image_path_is_the_installed_exe

echo "-- settings given that are no REG_DWORD: refused, nothing written"
for bad in LOGFILEBACKUPNUM=12x UPLOADLOGPERIODMS=4294967296 LOGPERIODMS=-1 "LOGFILESIZEBYTE= 5"; do
  name="bad-setting-${bad%%=*}"
  msiexec "$name" /i "$(windows_path "$rebuilt_msi")" "$bad"
  code=$?
  detail="exit code $code; log $out/$name.log"
  check "msiexec /i ... $bad fails" test "$code" != 0
  detail="no such message in $out/$name.log"
  check "  and says which: ${bad%%=*}=\"${bad#*=}\" is not a number" \
    log_says "$out/$name.log" "${bad%%=*}=\"${bad#*=}\" is not a number from 0 to 4294967295"
done
check "settings unchanged" settings_are "LogPeriodMs=0x3e8
LogFileSizeByte=0x975e0
LogFileBackupNum=0x7
UploadLogPeriodMs=0x927c0
UploadLogFileSizeByte=50000
UploadLogFileBackupNum=0x5"
check "still one product, version $version" products_are "$version"
check "service still registered" image_path_is_the_installed_exe

echo "-- msiexec /i $tarn_msi_name /qn LOGPERIODMS=30000 UPLOADLOGFILESIZEBYTE=4294967295 ($version rebuilt, another product code)"
msiexec rebuild /i "$(windows_path "$rebuilt_msi")" LOGPERIODMS=30000 UPLOADLOGFILESIZEBYTE=4294967295 ||
  abort "msiexec /i of the rebuild succeeds" "exit code $?; log $out/rebuild.log"
pass "msiexec /i of the rebuild succeeds"
check "one product installed, version $version" products_are "$version"
check "settings given replace what was there (REG_DWORD, 32-bit view); the others kept" settings_are "LogPeriodMs=0x7530
LogFileSizeByte=0x975e0
LogFileBackupNum=0x7
UploadLogPeriodMs=0x927c0
UploadLogFileSizeByte=0xffffffff
UploadLogFileBackupNum=0x5"
detail="the settings key exists in the 64-bit view"
check "nothing written to the 64-bit view" bash -c "! wine reg query '$settings_key' /reg:64 >/dev/null 2>&1"
check "service started again" wait_for_state 1 20
check "started twice in all (traced)" starts_are 2

# The values set before the upgrade, and the logs, survive upgrade and removal.
check_settings_and_logs_kept() {
  check "settings kept" settings_are "LogPeriodMs=0x7530
LogFileSizeByte=0x975e0
LogFileBackupNum=0x3
UploadLogPeriodMs=0x7d0
UploadLogFileSizeByte=0xffffffff
UploadLogFileBackupNum=0x5"
  detail="gone from $logs"
  check "logs kept" test -f "$logs/TARNLog.csv" -a -f "$logs/TARNLog_20240101T000000+0000.csv"
}

echo "-- msiexec /i $tarn_msi_name /qn ($next_version): upgrade in place"
# Changed since the first installation, among them a default it wrote.
wine reg add "$settings_key" /v UploadLogPeriodMs /t REG_DWORD /d 2000 /f /reg:32 >/dev/null 2>&1
wine reg add "$settings_key" /v LogFileBackupNum /t REG_DWORD /d 3 /f /reg:32 >/dev/null 2>&1
echo "# LogFormatVersion:V1.00" >"$logs/TARNLog.csv"
msiexec upgrade /i "$(windows_path "$next_msi")" || abort "msiexec /i of the newer version succeeds" \
  "exit code $?; log $out/upgrade.log"
pass "msiexec /i of the newer version succeeds"
check "one product installed, version $next_version" products_are "$next_version"
detail="not the new one: $program_files/tarnsvc.exe"
check "tarnsvc.exe replaced" cmp -s "$program_files/tarnsvc.exe" "$next_package/tarnsvc.exe"
check "service registered" image_path_is_the_installed_exe
check "service started again" wait_for_state 1 20
check "exit code 0" exit_codes_are 0 0
check "started three times in all (traced)" starts_are 3
check_settings_and_logs_kept

echo "-- msiexec /i $tarn_msi_name /qn ($version) over $next_version: refused"
msiexec downgrade /i "$(windows_path "$msi")"
code=$?
detail="exit code $code"
check "msiexec /i of the older version fails" test "$code" != 0
check "still one product, version $next_version" products_are "$next_version"
detail="not the new one: $program_files/tarnsvc.exe"
check "tarnsvc.exe unchanged" cmp -s "$program_files/tarnsvc.exe" "$next_package/tarnsvc.exe"

echo "-- msiexec /x $tarn_msi_name /qn"
msiexec uninstall /x "$(windows_path "$next_msi")"
code=$?
detail="exit code $code; log $out/uninstall.log"
check "msiexec /x succeeds" test "$code" = 0
detail=$(wine sc query "$service" 2>&1)
check "service deleted" bash -c "! wine sc query $service >/dev/null 2>&1"
detail="the service's key is still there"
check "service's registry key removed" bash -c "! wine reg query '$service_key' >/dev/null 2>&1"
detail="still there: $(ls -A "$program_files" 2>/dev/null)"
check "tarnsvc.exe, tarn-setup.exe and their folder removed" test ! -e "$program_files"
check "no product installed" products_are ""
detail="$(wine reg query "$event_source_key" 2>&1)"
check "event source's values removed" bash -c "! wine reg query '$event_source_key' /v EventMessageFile >/dev/null 2>&1"
check_settings_and_logs_kept

finish

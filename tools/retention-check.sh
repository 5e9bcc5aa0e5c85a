#!/usr/bin/env bash
# Runs the real Linux service on simulated machines with 1, 8 and 22 driver
# interfaces, at the default size limits but with 10 ms sampling periods, until
# the local log has rotated once and an upload file has been handed over, and
# prints how many rows a full file holds next to the number computed from the
# row length (docs/deploying.md, "Retention").
#
#   tools/retention-check.sh [--no-build] [COUNT...]     (default counts: 1 8 22)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=1
counts=()
for arg in "$@"; do
  case $arg in
    --no-build) build=0 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) counts+=("$arg") ;;
  esac
done
((${#counts[@]})) || counts=(1 8 22)

if ((build)); then
  cmake --preset default >/dev/null
  cmake --build --preset default --target tarnsvc tarn-sc >/dev/null
fi
service_exe=$root/build/default/qorlogsvc/model/service/tarnsvc
work=$root/build/retention-check
rm -rf "$work"

# The defaults (the settings the service falls back to) and the file layout.
local_limit=620000 upload_limit=72000
local_header=26 upload_header=38  # "# LogFormatVersion:V1.00" and "#vorla_upload LogFormatVersion:V1.00", CR LF
rows_per_file() {  # LIMIT HEADER ROW: rows written until the size exceeds the limit
  echo $(( ($1 - $2) / $3 + 1 ))
}
data_rows() { grep -c ',' "$1" || true; }

printf '%-10s %-6s %-22s %-22s\n' interfaces row "local rows (computed)" "upload rows (computed)"
for count in "${counts[@]}"; do
  machine=$work/machine-$count
  mkdir -p "$machine/drive_c/ProgramData/Corvessan/VORLA/upload"
  # The first COUNT interfaces of the demo machine's driver.
  awk -v n="$count" '/^\[device\]/ {k++} k >= 1 && k <= n' tools/demo-machine/driver.ini >"$machine/driver.ini"
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Corvessan\\Tarn]\r\n"LogPeriodMs"=dword:0000000a\r\n"UploadLogPeriodMs"=dword:0000000a\r\n' >"$machine/registry.reg"
  sc() { "$root/build/default/tools/tarn-sc/tarn-sc" --machine "$machine" "$@"; }
  sc create TarnSvc binPath= "$service_exe" >/dev/null
  sc start TarnSvc >/dev/null
  logs=$machine/drive_c/ProgramData/Corvessan/TARNLog/LocalLog
  drop=$machine/drive_c/ProgramData/Corvessan/VORLA/upload
  deadline=$((SECONDS + 900))
  until compgen -G "$logs/TARNLog_*.csv" >/dev/null && compgen -G "$drop/3001_TARNLogUpload_*.csv" >/dev/null; do
    ((SECONDS < deadline)) || { echo "no rotation within 900 s with $count interfaces" >&2; sc stop TarnSvc; exit 1; }
    sleep 1
  done
  sc stop TarnSvc >/dev/null
  backups=("$logs"/TARNLog_*.csv) handed_over=("$drop"/3001_TARNLogUpload_*.csv)  # oldest first
  backup=${backups[0]} handed=${handed_over[0]}
  row=$((20 + 37 * count + 2))  # time stamp, per interface ",id,reading1,reading0", CR LF
  printf '%-10s %-6s %-22s %-22s\n' "$count" "$row" \
    "$(data_rows "$backup") ($(rows_per_file $local_limit $local_header $row))" \
    "$(data_rows "$handed") ($(rows_per_file $upload_limit $upload_header $row))"
  # Every row of the full file has the length computed.
  awk -v want=$((row - 2)) 'NR > 1 { sub(/\r$/, ""); if (length($0) != want) { bad++ } } END { exit bad > 0 }' "$backup" \
    || { echo "rows of another length than $row bytes in $backup" >&2; exit 1; }
done

#!/usr/bin/env bash
# Builds Tarn for Linux and runs the real service executable as "TarnSvc" on a
# simulated machine, through tarn-sc as an administrator would use sc.exe.
# While it runs it reports what the service does: rows arriving in the local and
# upload logs, rotations into backups, and hand-overs to the collection drop
# folder. It stops the service cleanly on Ctrl-C or after --duration seconds.
#
#   tools/demo.sh [--duration SECONDS] [--machine DIR] [--no-build]
#
# The machine starts from tools/demo-machine (every component of the driver's
# table, short periods and small size limits), with the drop folder present.
set -euo pipefail

# The files of a folder with their sizes and times, indented (a listing for a
# person to read).
list_folder() { find "$1" -mindepth 1 -maxdepth 1 -printf '    %M %10s %TY-%Tm-%Td %TH:%TM  %f\n' 2>/dev/null | sort -k5 || true; }
count_backups() { find "$logs" -maxdepth 1 -name 'TARNLog_*.csv' 2>/dev/null | wc -l; }
cd "$(dirname "$0")/.."
root=$PWD

duration=0
machine=$root/demo/machine
build=1
while (($#)); do
  case $1 in
    --duration) duration=$2; shift 2 ;;
    --machine) machine=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

if ((build)); then
  tools/install-build-deps.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target tarnsvc tarn-sc
fi
service_exe=$root/build/default/qorlogsvc/model/service/tarnsvc
sc() { "$root/build/default/tools/tarn-sc/tarn-sc" --machine "$machine" "$@"; }

# A fresh machine: the driver's interfaces, the settings, an empty drive C:
# with the collection product's drop folder.
rm -rf "$machine"
mkdir -p "$machine"
cp tools/demo-machine/driver.ini tools/demo-machine/registry.reg "$machine/"
appdata=$machine/drive_c/ProgramData/Corvessan
mkdir -p "$appdata/VORLA/upload"
logs=$appdata/TARNLog/LocalLog
drop=$appdata/VORLA/upload

echo "Machine: $machine"
echo "Settings (HKLM\\SOFTWARE\\Corvessan\\Tarn):"
grep -E '^"' "$machine/registry.reg" | sed 's/^/  /'
echo "Driver interfaces: $(grep -c '^\[device\]' "$machine/driver.ini")"
echo

sc create TarnSvc binPath= "$service_exe" >/dev/null
sc start TarnSvc | grep -E 'STATE' || true

stop_service() {
  trap - INT TERM
  echo
  echo "Stopping TarnSvc..."
  sc stop TarnSvc >/dev/null || true
  sc query TarnSvc | grep -E 'STATE|WIN32_EXIT_CODE' || true
  sc delete TarnSvc >/dev/null || true
  echo
  echo "Files:"
  echo "  local log and upload log: $logs"
  list_folder "$logs"
  echo "  handed over:              $drop"
  list_folder "$drop"
  echo "  service status reports:   $machine/run"
  exit 0
}
trap stop_service INT TERM

rows() { if [[ -f $1 ]]; then grep -c ',' "$1" || true; else echo 0; fi; }
last_row() { [[ -f $1 ]] && tail -n 1 "$1" | tr -d '\r' | cut -c1-80; }

declare -A seen=()
local_rows=0 upload_rows=0
started=$SECONDS
echo "Watching (Ctrl-C to stop)..."
while ((duration == 0 || SECONDS - started < duration)); do
  sleep 1
  now_local=$(rows "$logs/TARNLog.csv")
  if ((now_local != local_rows)); then
    ((now_local > local_rows)) && echo "  local row    #$now_local  $(last_row "$logs/TARNLog.csv")..."
    local_rows=$now_local
  fi
  now_upload=$(rows "$logs/TARNLogUpload.csv")
  if ((now_upload != upload_rows)); then
    ((now_upload > upload_rows)) && echo "  upload row   #$now_upload  $(last_row "$logs/TARNLogUpload.csv")..."
    upload_rows=$now_upload
  fi
  for file in "$logs"/TARNLog_*.csv "$drop"/3001_TARNLogUpload_*.csv; do
    [[ -f $file && -z ${seen[$file]:-} ]] || continue
    seen[$file]=1
    case $file in
      "$drop"/*) echo "  handed over  $(basename "$file") ($(rows "$file") rows)" ;;
      *) echo "  rotated      $(basename "$file") ($(rows "$file") rows); backups kept: $(count_backups)" ;;
    esac
  done
  state=$(sc query TarnSvc 2>/dev/null | awk '/STATE/ {print $4}')
  if [[ $state != RUNNING ]]; then
    echo "  TarnSvc is ${state:-gone}"
    break
  fi
done
stop_service

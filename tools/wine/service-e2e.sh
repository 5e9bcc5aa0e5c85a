#!/usr/bin/env bash
# Runs the Windows build of the service, tarnsvc.exe, as "TarnSvc" under Wine
# against the simulated power-monitor kernel driver, from an empty 64-bit
# prefix, and checks what it writes. It runs one build: the 32-bit
# one in WoW64 mode where that mode runs here, the 64-bit one elsewhere
# (tools/wine/wine-lib.sh; TARN_WINE_ARCH=x86|x64 forces it). It shows,
# printing each check as it passes:
#
#   1. setup: the driver package (tools/simdriver, through wine-lib.sh)
#      and tarnsvc.exe (preset mingw-i686 or mingw-x86_64, built
#      incrementally) are built;
#      the prefix is created; TARN_TRACE=1 goes into the system environment
#      (Wine's service manager builds the services' environment from the
#      registry, not from its own); short periods and small limits go to
#      HKLM\SOFTWARE\Corvessan\Tarn in the 32-bit view (reg add /reg:32),
#      and settings that would make every check below fail go to the same
#      names in the 64-bit view (/reg:64), which both builds must ignore; a
#      persistent Wine server starts; the devices of service-e2e-driver.ini
#      are installed; `wine sc create TarnSvc binPath= C:\tarn\tarnsvc.exe`
#      and `wine sc start TarnSvc`;
#   2. the local log TARNLog.csv: the header line "# LogFormatVersion:V1.00",
#      rows "YYYYMMDDThhmmss+hhmm," (or -hhmm) and "id,reading1,reading0" of
#      every device in path order, CR LF; the component ids of the table, ff
#      for an unknown component, the device answering the check with 0 left
#      out, readings exactly as the driver's counters give them
#      (service-e2e-driver.expected); rotation into TARNLog_<stamp>.csv and
#      retention of the newest backups;
#   3. the upload log TARNLogUpload.csv with "#vorla_upload
#      LogFormatVersion:V1.00": without the drop folder a full file is
#      deleted; once C:\ProgramData\Corvessan\VORLA\upload exists, full files
#      are handed over there, complete, as 3001_TARNLogUpload_<stamp>.csv and
#      only the newest are kept;
#   4. a device removed while the service runs (tarnpwr-install remove): no
#      rows while it is gone, the service keeps running; the devices
#      installed again: rows come back on the next local tick, counters
#      starting over;
#   5. `wine sc stop TarnSvc`: `sc query` shows STATE 1 STOPPED and
#      WIN32_EXIT_CODE 0, no tarnsvc.exe is left; every file left is checked
#      byte by byte (sizes against the limits, backup names against their
#      rows), no two rows share a reading, the trace shows the timer
#      controls, one stop and no failure;
#   6. the event log: Wine keeps none, but its ReportEventW names each call,
#      so the services' output shows events 1 (sampling began), 4 (driver
#      lost) and 5 (driver back);
#   7. a start that heals: a plain file where the log folder belongs makes the
#      start fail (event 2) while the service keeps running; once it is gone
#      the retry makes the folder, rows come, event 3 (sampling resumed), and
#      the stop ends with exit code 0; wineserver -k.
#
# A failing check stops the script with the service's status, the log files,
# the driver's log and the service's trace, keeps the work folder and exits
# 1. The last line reads "service-e2e: N passed, M failed". A run takes about
# a minute, 20-30 s of it for the prefix.
#
# The Wine server and the services run in the time zone TARN_E2E_TZ (default
# NST+3:30, UTC-03:30 all year), so the rows' numeric UTC offset is not the
# +0000 of a machine on UTC. Only zones without daylight saving in the form
# both the C library and MinGW's runtime read are taken; Olson names are not
# (MinGW's runtime misreads them). TARN_E2E_TZ= (empty) keeps the machine's.
# Wine logs "fixme:ntdll:find_reg_tz_info" for a zone its registry lacks and
# uses the offset all the same.
#
# Usage: tools/wine/service-e2e.sh [--no-build]
#   --no-build      use the tarnsvc.exe already built (or TARNSVC_EXE)
# Environment:
#   WINEPREFIX      prefix to use; must be empty or absent (default: a temp one)
#   TARNSVC_EXE     the service executable (default: that of the build run)
#   TARN_E2E_TZ     time zone of the services, see above
#   KEEP_WORK=1     keep the work folder (logs, binaries, prefix) afterwards
#
# By hand, on a prefix this script kept (KEEP_WORK=1; the service is installed
# and stopped, the devices are installed):
#   export WINEPREFIX=<work>/prefix
#   TZ=NST+3:30 WINEDEBUG=warn+debugstr wineserver -p
#   TZ=NST+3:30 WINEDEBUG=warn+debugstr /usr/lib/wine/wine64 cmd /c exit 2>services.log
#   wine sc start TarnSvc; wine sc query TarnSvc   (wine: /usr/lib/wine/wine64 where
#                                                  32-bit programs cannot run)
#   tail -f "$WINEPREFIX/drive_c/ProgramData/Corvessan/TARNLog/LocalLog/TARNLog.csv"
#   /usr/lib/wine/wine64 <work>/bin/tarnpwr-install.exe remove 0001   (or list)
#   wine sc stop TarnSvc; wineserver -k
# services.log then holds the driver's lines and the service's trace.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source-path=SCRIPTDIR source=wine-lib.sh
source "$here/wine-lib.sh"
repo="$tarn_repo"
ini="$here/service-e2e-driver.ini"
expected="$here/service-e2e-driver.expected"
removed_instance=0001 # the BATTERY device of the ini
build_service=1
case "${1:-}" in
  --no-build) build_service=0 ;;
  "") ;;
  *) sed -n '2,/^set -euo/p' "$0" | sed '$d'; exit 2 ;;
esac

# Settings of the run: rows every second locally and every two seconds for
# upload. A row is 166 bytes with its CR LF, the headers 26 and 38: a local
# file rotates at its 4th row, an upload file at its 2nd.
declare -A settings=(
  [LogPeriodMs]=1000 [LogFileSizeByte]=600 [LogFileBackupNum]=2
  [UploadLogPeriodMs]=2000 [UploadLogFileSizeByte]=300 [UploadLogFileBackupNum]=2
)
# The same names in the 64-bit view, which neither build reads: were any of
# them taken, the periods, rotations and retention checked below would fail.
declare -A settings_64=(
  [LogPeriodMs]=3600000 [LogFileSizeByte]=10000000 [LogFileBackupNum]=50
  [UploadLogPeriodMs]=3600000 [UploadLogFileSizeByte]=10000000 [UploadLogFileBackupNum]=50
)
# The zone the Wine server and the services run in (see the top); the other
# Wine programs get no TZ.
zone="${TARN_E2E_TZ-NST+3:30}"
[[ -z "$zone" || "$zone" =~ ^[A-Za-z]{3}[+-]?[0-9]{1,2}(:[0-9]{2})?$ ]] ||
  { echo "TARN_E2E_TZ=$zone: give a zone without daylight saving such as IST-5:30, or nothing" >&2; exit 2; }

local_header="# LogFormatVersion:V1.00"
upload_header="#vorla_upload LogFormatVersion:V1.00"

tarn_wine_choose_arch || exit 2
tarn_check_work tarnsvc-e2e
service_exe="${TARNSVC_EXE:-$tarn_build/qorlogsvc/model/service/tarnsvc.exe}"
check_name="service-e2e"

programdata="$WINEPREFIX/drive_c/ProgramData"
local_dir="$programdata/Corvessan/TARNLog/LocalLog"
drop_dir="$programdata/Corvessan/VORLA/upload"

started_epoch=$(date +%s)

# ---- failure report ----------------------------------------------------------

print_folder() {
  local folder="$1" file
  echo "---- $folder"
  [[ -d "$folder" ]] || { echo "    (absent)"; return; }
  ls -l "$folder" || true
  for file in "$folder"/*; do
    [[ -f "$file" ]] || continue
    echo "---- ${file##*/} (first and last lines, CR shown as ^M)"
    { head -n 3 "$file"; echo "..."; tail -n 2 "$file"; } | cat -v
  done
}

# After a failure: the service's status, the log folders, the driver's log
# and the service's trace; the work folder is kept.
tarn_report_failure() {
  if ((tarn_wine_server_started)); then
    echo "---- sc query TarnSvc"
    wine sc query TarnSvc 2>&1 | tr -d '\r' || true
  fi
  [[ -d "$programdata" ]] && { print_folder "$local_dir"; print_folder "$drop_dir"; }
  if [[ -s "${services_log:-}" ]]; then
    echo "---- the driver's log (last lines)"
    grep -a 'tarnpwr' "$services_log" | tail -25 || true
    echo "---- the service's trace and Wine's errors (last lines)"
    grep -a -E 'QorLog|err:' "$services_log" | grep -v -E 'nodrv_CreateWindow|systray|explorer process' |
      tail -25 || true
  fi
}

tarn_check_begin

# ---- the expected rows -----------------------------------------------------------

expected_ids=() expected_reading1=() expected_reading0=()
load_expected() {
  local id reading1 reading0 extra
  while read -r id reading1 reading0 extra; do
    [[ -z "$id" || "$id" == \#* ]] && continue
    [[ -n "$reading0" && -z "$extra" ]] || abort "$expected: a line needs an id and two readings: $id $reading1"
    expected_ids+=("$id") expected_reading1+=("$reading1") expected_reading0+=("$reading0")
  done <"$expected"
  local fields="" i
  for ((i = 0; i < ${#expected_ids[@]}; i++)); do fields+=",[0-9a-f]{2},[0-9a-f]{16},[0-9a-f]{16}"; done
  row_pattern="^[0-9]{8}T[0-9]{6}[+-][0-9]{4}$fields\$"
}

# A time stamp (YYYYMMDDThhmmss+hhmm) as seconds since the epoch; fails when
# it names no valid time.
stamp_epoch() {
  local s="$1"
  date -d "${s:0:4}-${s:4:2}-${s:6:2} ${s:9:2}:${s:11:2}:${s:13:2} ${s:15:5}" +%s 2>/dev/null
}

# Matches one reading against its expectation; for a counter, sets
# reading_index to the number of reads before this one.
match_reading() {
  local wanted="$1" hex="$2" start step distance
  reading_index=""
  if [[ "$wanted" == counter:* ]]; then
    IFS=: read -r _ start step <<<"$wanted"
    distance=$((16#$hex - start)) # wraps like the driver's counter
    ((distance >= 0 && distance % step == 0)) || return 1
    reading_index=$((distance / step))
  else
    [[ "$hex" == "$wanted" ]]
  fi
}

# Checks one data line (without its CR LF). Sets row_epoch and row_index (the
# read number every counter of the row agrees on), or row_error.
check_row() {
  local line="$1" stamp fields i field wanted
  row_error="" row_index=""
  if [[ ! "$line" =~ $row_pattern ]]; then
    row_error="not a time stamp and ${#expected_ids[@]} devices of id,reading1,reading0"
    return 1
  fi
  stamp="${line%%,*}"
  if [[ "${stamp:15}" != "$zone_offset" ]]; then
    row_error="UTC offset ${stamp:15} is not the machine's $zone_offset"
    return 1
  fi
  if ! row_epoch=$(stamp_epoch "$stamp"); then
    row_error="$stamp is no valid time"
    return 1
  fi
  if ((row_epoch < started_epoch || row_epoch > $(date +%s) + 1)); then
    row_error="time stamp $stamp is outside this run"
    return 1
  fi
  IFS=, read -r -a fields <<<"${line#*,}"
  for ((i = 0; i < ${#expected_ids[@]}; i++)); do
    if [[ "${fields[3 * i]}" != "${expected_ids[i]}" ]]; then
      row_error="device $((i + 1)): id ${fields[3 * i]}, expected ${expected_ids[i]}"
      return 1
    fi
    for field in 1 2; do
      wanted=$([[ $field == 1 ]] && echo "${expected_reading1[i]}" || echo "${expected_reading0[i]}")
      if ! match_reading "$wanted" "${fields[3 * i + field]}"; then
        row_error="device $((i + 1)): reading$((2 - field)) ${fields[3 * i + field]} is not $wanted"
        return 1
      fi
      [[ -z "$reading_index" ]] && continue
      if [[ -z "$row_index" ]]; then
        row_index=$reading_index
      elif ((row_index != reading_index)); then
        row_error="device $((i + 1)): reading$((2 - field)) is read $reading_index, the row's other counters $row_index"
        return 1
      fi
    done
  done
}

# ---- watching the files ------------------------------------------------------------

declare -A seen_rows=()      # data line -> "log epoch read-number"
declare -A seen_backups=()   # local backup names
declare -A seen_handovers=() # handed-over names
upload_rows_now=() upload_rows_before=()
upload_rotations=0
vanished_upload_rows=()

# Complete data lines of a file (a line still being written has no CR yet).
data_lines() {
  local file="$1" line
  data=()
  { mapfile -t lines <"$file"; } 2>/dev/null || lines=()
  for line in "${lines[@]:1}"; do
    [[ "$line" == *$'\r' ]] && data+=("${line%$'\r'}")
  done
}

record_rows() {
  local file="$1" log="$2" line
  data_lines "$file"
  for line in "${data[@]}"; do
    [[ -n "${seen_rows[$line]:-}" ]] && continue
    check_row "$line" || abort "${file##*/}: $row_error: $line"
    seen_rows[$line]="$log $row_epoch ${row_index:--}"
  done
}

count_rows() {
  local log="$1" line n=0
  for line in "${!seen_rows[@]}"; do [[ "${seen_rows[$line]%% *}" == "$log" ]] && n=$((n + 1)); done
  echo $n
}

# One look at the log folders: new rows, backups and hand-overs; an upload
# file that disappeared since the last look (rotated).
observe() {
  local file name line
  for file in "$local_dir"/TARNLog_*.csv; do
    [[ -f "$file" ]] || continue
    name="${file##*/}"
    [[ -n "${seen_backups[$name]:-}" ]] && continue
    seen_backups[$name]=1
    record_rows "$file" local
  done
  record_rows "$local_dir/TARNLog.csv" local
  for file in "$drop_dir"/3001_TARNLogUpload_*.csv; do
    [[ -f "$file" ]] || continue
    name="${file##*/}"
    [[ -n "${seen_handovers[$name]:-}" ]] && continue
    seen_handovers[$name]=1
    record_rows "$file" upload
    check_handover_complete "$file"
  done
  record_rows "$local_dir/TARNLogUpload.csv" upload
  upload_rows_before=("${upload_rows_now[@]}")
  upload_rows_now=("${data[@]}")
  local -A present=()
  for line in "${upload_rows_now[@]}"; do present[$line]=1; done
  for line in "${upload_rows_before[@]}"; do
    if [[ -z "${present[$line]:-}" ]]; then
      upload_rotations=$((upload_rotations + 1))
      vanished_upload_rows=("${upload_rows_before[@]}")
      break
    fi
  done
}

# A handed-over file holds every row the current upload file showed before.
check_handover_complete() {
  local file="$1" i
  data_lines "$file"
  for ((i = 0; i < ${#upload_rows_now[@]}; i++)); do
    [[ "${data[i]:-}" == "${upload_rows_now[i]}" ]] ||
      abort "${file##*/} lacks the row ${upload_rows_now[i]} of TARNLogUpload.csv"
  done
}

# wait_for SECONDS WHAT CONDITION...: observes until the condition holds.
wait_for() {
  local seconds="$1" what="$2" deadline
  shift 2
  deadline=$(($(date +%s%N) + seconds * 1000000000))
  while :; do
    observe
    "$@" && return 0
    (($(date +%s%N) < deadline)) || abort "no $what within $seconds s"
    sleep 0.25
  done
}

# Observes for MILLISECONDS, whatever happens.
watch_for() {
  local deadline
  deadline=$(($(date +%s%N) + $1 * 1000000))
  while (($(date +%s%N) < deadline)); do
    observe
    sleep 0.25
  done
}

rows_at_least() { (($(count_rows "$1") >= $2)); }
rotations_at_least() { ((upload_rotations >= $1)); }
handovers_at_least() { ((${#seen_handovers[@]} >= $1)); }
backups_at_least() { ((${#seen_backups[@]} >= $1)); }

# ---- the service ---------------------------------------------------------------------

sc_command() { wine sc "$@" 2>&1 | tr -d '\r'; }
service_field() { sc_command query TarnSvc | awk -v field="$1" '$1 == field { print $3 " " $4 }'; }
service_stopped() { [[ "$(service_field STATE)" == "1 STOPPED" ]]; }

# stop_and_wait OUT: "sc stop" (its output in OUT), then STOPPED within 15 s.
stop_and_wait() {
  local deadline=$((SECONDS + 15))
  sc_command stop TarnSvc >"$1" || abort "sc stop" "$1"
  until service_stopped; do
    ((SECONDS < deadline)) || abort "TarnSvc not stopped 15 s after sc stop" "$1"
    sleep 0.25
  done
}

# ==== 1. build, prefix, settings, devices, service ========================================

echo "== TarnSvc under Wine: the $(tarn_wine_describe_arch) build"
load_expected
if [[ -n "$zone" ]]; then zone_offset=$(TZ="$zone" date +%z); else zone_offset=$(date +%z); fi
zone_name="${zone:-of the machine} (UTC$zone_offset)"

step "build the driver package and tarnsvc.exe"
if ((build_service)); then
  (cd "$repo" && { [[ -f "$tarn_build/build.ninja" ]] || cmake --preset "$tarn_preset"; } &&
    cmake --build "$tarn_build" -j2 --target tarnsvc) >"$logs/build-service.out" 2>&1 ||
    abort "building tarnsvc.exe" "$logs/build-service.out"
fi
tarn_wine_build_driver "$bin" "$logs/build.out" || abort "building the driver package" "$logs/build.out"
[[ -f "$service_exe" ]] || abort "$service_exe not found (build the $tarn_preset preset or set TARNSVC_EXE)"
pass "$(basename "$service_exe") and the driver package built"

step "create the 64-bit prefix $WINEPREFIX"
tarn_wine_new_prefix "$prefix" "$logs/wineboot.out" || abort "a new prefix" "$logs/wineboot.out"
# Wine's service manager gives services an environment built from the
# registry, once, at its first service start: TARN_TRACE has to be there
# before the server that runs the service starts.
wine_setting() { wine reg add "$@" /f >>"$logs/settings.out" 2>&1 || abort "reg add $*" "$logs/settings.out"; }
wine_setting 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v TARN_TRACE /t REG_SZ /d 1
for name in "${!settings[@]}"; do
  wine_setting 'HKLM\SOFTWARE\Corvessan\Tarn' /v "$name" /t REG_DWORD /d "${settings[$name]}" /reg:32
  wine_setting 'HKLM\SOFTWARE\Corvessan\Tarn' /v "$name" /t REG_DWORD /d "${settings_64[$name]}" /reg:64
done
wine reg query 'HKLM\SOFTWARE\Corvessan\Tarn' /reg:32 2>&1 | tr -d '\r' >"$logs/settings.query" || true
for name in "${!settings[@]}"; do
  grep -q -E "^ +$name +REG_DWORD +0x$(printf '%x' "${settings[$name]}")\$" "$logs/settings.query" ||
    abort "$name is not ${settings[$name]} in the 32-bit view" "$logs/settings.query"
done
pass "settings in HKLM\\SOFTWARE\\Corvessan\\Tarn (32-bit view): $(for n in "${!settings[@]}"; do printf '%s=%s ' "$n" "${settings[$n]}"; done)"
wine reg query 'HKLM\SOFTWARE\Corvessan\Tarn' /reg:64 2>&1 | tr -d '\r' >"$logs/settings-64.query" || true
grep -q -E "^ +LogPeriodMs +REG_DWORD +0x$(printf '%x' "${settings_64[LogPeriodMs]}")\$" "$logs/settings-64.query" ||
  abort "the 64-bit view does not hold its own LogPeriodMs" "$logs/settings-64.query"
pass "the same names in the 64-bit view, with values every check below would fail on: LogPeriodMs=${settings_64[LogPeriodMs]} ..."
wineserver -w
mkdir -p "$WINEPREFIX/drive_c/tarn"
cp "$service_exe" "$WINEPREFIX/drive_c/tarn/tarnsvc.exe"
TARN_SERVICES_TZ="$zone" tarn_wine_start_server "$services_log"
pass "Wine server and services running, in the time zone $zone_name"

step "install the devices of $(basename "$ini")"
tarn_wine_install_devices "$ini"

step "create and start TarnSvc (no collection drop folder yet)"
sc_command create TarnSvc binPath= 'C:\tarn\tarnsvc.exe' >"$logs/create.out" || abort "sc create" "$logs/create.out"
sc_command start TarnSvc >"$logs/start.out" || abort "sc start" "$logs/start.out"
# A first look at once: the service samples from its start, and on a slow
# machine retention may delete the first backups before the checks below end.
observe
[[ "$(service_field STATE)" == "4 RUNNING" ]] || abort "TarnSvc is not running after sc start" "$logs/start.out"
pass "sc start: STATE 4 RUNNING"
[[ $(tarn_wine_processes 'tarnsvc\.exe' | wc -l) == 1 ]] ||
  abort "expected one tarnsvc.exe process in this prefix, found: $(tarn_wine_processes 'tarnsvc\.exe')"
pass "one tarnsvc.exe process"

# ==== 2. the local log ====================================================================

step "local log: header, rows, component ids, readings"
wait_for 6 "first local row" rows_at_least local 1
first_local="$(head -n 1 "$local_dir/TARNLog.csv")"
[[ "$first_local" == "$local_header"$'\r' ]] || abort "TARNLog.csv starts with '$first_local', not the header"
pass "TARNLog.csv begins with \"$local_header\" CR LF"
# The earliest local row seen, wherever it is by now: on a slow machine the
# current file may have rotated before the first look.
first_row="" first_index=""
for line in "${!seen_rows[@]}"; do
  read -r log epoch index <<<"${seen_rows[$line]}"
  [[ "$log" == local ]] || continue
  if [[ -z "$first_row" ]] || ((index < first_index)); then first_row=$line first_index=$index; fi
done
echo "    first row: $first_row"
pass "rows: ${first_row:0:20}, then ${#expected_ids[@]} devices in path order: ids ${expected_ids[*]} (ff: unknown component; MBB, check 0, left out)"
[[ "${seen_rows[$first_row]##* }" == 0 ]] || abort "the first row holds read ${seen_rows[$first_row]##* } of the counters, not the first: $first_row"
pass "the first row holds every counter's first reading; readings as $(basename "$expected") gives them"
pass "time stamp offset ${first_row:15:5}: numeric, that of the zone $zone_name"

# ==== 3. the upload log without and with the drop folder =================================

step "upload log without the drop folder: a full file is deleted"
wait_for 10 "upload rotation" rotations_at_least 1
[[ ! -e "$drop_dir" ]] || abort "the service created the drop folder $drop_dir"
for line in "${vanished_upload_rows[@]}"; do
  if grep -r -q -F -- "$line" "$programdata"; then abort "the rotated upload row is still on disk: $line"; fi
done
pass "TARNLogUpload.csv rotated; its rows (${#vanished_upload_rows[@]} seen) are gone, no drop folder created"
wait_for 4 "new TARNLogUpload.csv" test -s "$local_dir/TARNLogUpload.csv"
[[ "$(head -n 1 "$local_dir/TARNLogUpload.csv")" == "$upload_header"$'\r' ]] ||
  abort "TARNLogUpload.csv does not begin with the header \"$upload_header\""
pass "the next upload row starts a new TARNLogUpload.csv with \"$upload_header\" CR LF"

step "upload log with the drop folder: hand-over and retention"
mkdir -p "$drop_dir"
handovers_wanted=$((settings[UploadLogFileBackupNum] + 1))
wait_for 20 "$handovers_wanted hand-overs" handovers_at_least "$handovers_wanted"
pass "${#seen_handovers[@]} files handed over as 3001_TARNLogUpload_<stamp>.csv, each with every row TARNLogUpload.csv showed"
backups_wanted=$((settings[LogFileBackupNum] + 1))
wait_for 10 "$backups_wanted local rotations" backups_at_least "$backups_wanted"
pass "${#seen_backups[@]} local rotations into TARNLog_<stamp>.csv"

# ==== 4. a device removed and installed again ==============================================

step "remove ROOT\\TARNPWR\\$removed_instance while the service runs"
run remove "$tarn_wine64_loader" tarnpwr-install.exe remove "$removed_instance" || abort "tarnpwr-install remove" "$logs/remove.out"
grep -q -F "removed ROOT\\TARNPWR\\$removed_instance" "$logs/remove.out" || abort "the device was not removed" "$logs/remove.out"
removed_epoch=$(date +%s)
# A cycle that read the device just before it went may still write its row.
watch_for 1500
local_before=$(count_rows local) upload_before=$(count_rows upload)
watch_for 4000
(($(count_rows local) == local_before)) || abort "local rows were written while the device was gone"
(($(count_rows upload) == upload_before)) || abort "upload rows were written while the device was gone"
pass "no local or upload rows for 4 s while the device is gone"
[[ "$(service_field STATE)" == "4 RUNNING" ]] || abort "TarnSvc did not keep running without the device"
pass "TarnSvc keeps running"

step "install the devices again"
reinstall_epoch=$(date +%s)
run reinstall "$tarn_wine64_loader" tarnpwr-install.exe install --replace "$ini" || abort "tarnpwr-install install --replace" "$logs/reinstall.out"
wait_for 10 "local row after the re-installation" rows_at_least local $((local_before + 1))
first_again="" first_again_index=""
for line in "${!seen_rows[@]}"; do
  read -r log epoch index <<<"${seen_rows[$line]}"
  [[ "$log" == local ]] || continue
  ((epoch >= reinstall_epoch)) || continue
  if [[ -z "$first_again" ]] || ((index < first_again_index)); then first_again=$line first_again_index=$index; fi
done
echo "    first row again: $first_again"
((first_again_index == 0)) ||
  abort "the first row after the re-installation holds read $first_again_index of the counters, not the first: $first_again"
pass "rows again, all devices, counters starting over (the recovery found the device on the next local tick)"

# ==== 5. stop ====================================================================================

step "sc stop TarnSvc"
stop_and_wait "$logs/stop.out"
sc_command query TarnSvc >"$logs/query.out"
grep -q -E '^ +STATE +: 1 +STOPPED' "$logs/query.out" || abort "sc query shows no STATE 1 STOPPED" "$logs/query.out"
grep -q -E '^ +WIN32_EXIT_CODE +: 0 ' "$logs/query.out" || abort "WIN32_EXIT_CODE is not 0" "$logs/query.out"
pass "sc query: STATE 1 STOPPED, WIN32_EXIT_CODE 0"
no_service_process || abort "tarnsvc.exe still runs 10 s after the stop: $detail"
pass "no tarnsvc.exe process left"
observe

# ==== 6. every file left, byte by byte =========================================================

step "the files left"

# check_file FILE HEADER LIMIT full|current
check_file() {
  local file="$1" header="$2" limit="$3" kind="$4" name="${1##*/}" size last i previous_epoch=0 previous_index=-1
  local epoch index
  size=$(stat -c %s "$file")
  mapfile -t lines <"$file"
  [[ "$(tail -c 1 "$file" | od -An -c | tr -d ' ')" == '\n' ]] || abort "$name does not end with a line end"
  [[ "${lines[0]}" == "$header"$'\r' ]] || abort "$name does not begin with \"$header\" CR LF"
  for ((i = 1; i < ${#lines[@]}; i++)); do
    [[ "${lines[i]}" == *$'\r' && "${lines[i]%$'\r'}" != *$'\r'* ]] || abort "$name: line $((i + 1)) does not end with CR LF"
    check_row "${lines[i]%$'\r'}" || abort "$name: line $((i + 1)): $row_error"
    epoch=$row_epoch index=$row_index
    ((epoch >= previous_epoch)) || abort "$name: line $((i + 1)) is older than the line before"
    # The counters start over once, at the re-installation; the first row after
    # it holds any early read (the other log's cycles may have taken the first).
    if ((index <= previous_index)) && ! ((epoch >= reinstall_epoch && previous_epoch < reinstall_epoch)); then
      abort "$name: line $((i + 1)) holds read $index of the counters after read $previous_index"
    fi
    if ((epoch > removed_epoch + 1 && epoch < reinstall_epoch)); then
      abort "$name: line $((i + 1)) was written while the device was gone"
    fi
    previous_epoch=$epoch previous_index=$index
  done
  last=${#lines[-1]}
  case "$kind" in
    full)
      ((size > limit && size - last - 1 <= limit)) ||
        abort "$name: $size bytes, its last line $((last + 1)): not the first row over the limit of $limit"
      local stamp="${name##*_}"
      stamp="${stamp%.csv}"
      local stamp_at
      stamp_at=$(stamp_epoch "$stamp") || abort "$name: no time stamp in the name"
      ((stamp_at >= previous_epoch && stamp_at <= previous_epoch + 2)) ||
        abort "$name: named $stamp, its last row is from $(date -d "@$previous_epoch" +%T)"
      ;;
    current) ((size <= limit)) || abort "$name: $size bytes, over the limit of $limit after a rotation" ;;
  esac
}

# The newest COUNT names of an array of names, in order.
newest() {
  local count="$1"
  shift
  printf '%s\n' "$@" | sort | tail -n "$count"
}

shopt -s nullglob
local_files=("$local_dir"/*)
for file in "${local_files[@]}"; do
  case "${file##*/}" in
    TARNLog.csv | TARNLogUpload.csv | TARNLog_*.csv) ;;
    *) abort "unexpected file in the local log folder: ${file##*/}" ;;
  esac
done
check_file "$local_dir/TARNLog.csv" "$local_header" "${settings[LogFileSizeByte]}" current
[[ -f "$local_dir/TARNLogUpload.csv" ]] &&
  check_file "$local_dir/TARNLogUpload.csv" "$upload_header" "${settings[UploadLogFileSizeByte]}" current
pass "TARNLog.csv, TARNLogUpload.csv: header, CR LF, rows, below their limits"

backups=("$local_dir"/TARNLog_*.csv)
backups=("${backups[@]##*/}")
[[ "$(printf '%s\n' "${backups[@]}")" == "$(newest "${settings[LogFileBackupNum]}" "${!seen_backups[@]}")" ]] ||
  abort "local backups kept: ${backups[*]}; the newest ${settings[LogFileBackupNum]} of ${!seen_backups[*]} expected"
for name in "${backups[@]}"; do
  check_file "$local_dir/$name" "$local_header" "${settings[LogFileSizeByte]}" full
done
pass "local backups: the newest ${settings[LogFileBackupNum]} of ${#seen_backups[@]} kept, each rotated at its first row over ${settings[LogFileSizeByte]} bytes, named by the time of the rotation"

handovers=("$drop_dir"/*)
handovers=("${handovers[@]##*/}")
[[ "$(printf '%s\n' "${handovers[@]}")" == "$(newest "${settings[UploadLogFileBackupNum]}" "${!seen_handovers[@]}")" ]] ||
  abort "drop folder holds: ${handovers[*]}; the newest ${settings[UploadLogFileBackupNum]} of ${!seen_handovers[*]} expected"
for name in "${handovers[@]}"; do
  check_file "$drop_dir/$name" "$upload_header" "${settings[UploadLogFileSizeByte]}" full
done
pass "drop folder: the newest ${settings[UploadLogFileBackupNum]} of ${#seen_handovers[@]} hand-overs kept, each a full upload file"

# Every cycle reads the driver itself: no two rows, in either log, share a read.
declare -A reads=()
for line in "${!seen_rows[@]}"; do
  read -r log epoch index <<<"${seen_rows[$line]}"
  key="$((epoch >= reinstall_epoch)):$index"
  [[ -z "${reads[$key]:-}" ]] || abort "two rows hold the same reading: ${reads[$key]} and $line"
  reads[$key]="$line"
done
pass "$(count_rows local) local and $(count_rows upload) upload rows seen; no two share a reading"

trace_lines="$logs/trace.out"
grep -a -F '[QorLog] ' "$services_log" | sed 's/.*OutputDebugStringA "//' >"$trace_lines" || true
[[ -s "$trace_lines" ]] || abort "no trace lines from the service (TARN_TRACE=1)" "$services_log"
local_ticks=$(grep -c -F 'SERVICE_CONTROL_LOG_TIMER' "$trace_lines" || true)
upload_ticks=$(grep -c -F 'SERVICE_CONTROL_UPLOADLOG_TIMER' "$trace_lines" || true)
stops=$(grep -c -F 'SERVICE_CONTROL_STOP' "$trace_lines" || true)
((local_ticks >= $(count_rows local) && upload_ticks >= $(count_rows upload))) ||
  abort "fewer timer controls traced ($local_ticks, $upload_ticks) than rows" "$trace_lines"
((stops == 1)) || abort "SERVICE_CONTROL_STOP traced $stops times" "$trace_lines"
if grep -q -i -E 'fail' "$trace_lines"; then abort "the service traced a failure" "$trace_lines"; fi
pass "trace: $local_ticks local and $upload_ticks upload timer controls, one stop, no failure"

# ==== 7. the event log ======================================================================
# Wine keeps no event log: its ReportEventW names every call in a fixme line
# (handle, type, category, event id, ...), which the services' output holds.
check_event_log() {
  local type id what
  while read -r type id what; do
    grep -q -E "ReportEventW \([^,]*,0x$type,0x0000,0x$(printf '%08x' "$id")," "$services_log" ||
      abort "no event $id ($what) was reported" "$services_log"
  done <<'EVENTS'
0004 1 sampling began
0002 4 driver lost while the device was gone
0004 5 driver back after the re-installation
EVENTS
  pass "event log: ReportEventW with events 1 (sampling began), 4 (driver lost, warning), 5 (driver back)"
}
step "event log entries of TarnSvc"
check_event_log

# ==== 8. a start that heals ==================================================================
# A plain file where the log folder belongs: the start cannot make the folder,
# the service keeps running and retries on the local period; once the file is
# gone the retry makes the folder and sampling begins, with the codes cleared.
check_healing_start() {
  local kept="$work/LocalLog.kept" deadline
  mv "$local_dir" "$kept"
  : >"$local_dir"
  sc_command start TarnSvc >"$logs/heal-start.out" || abort "sc start with the log folder blocked" "$logs/heal-start.out"
  deadline=$((SECONDS + 10))
  until grep -q -E "ReportEventW \([^,]*,0x0001,0x0000,0x00000002," "$services_log"; do
    ((SECONDS < deadline)) || abort "no event 2 (a start step failed) with the log folder blocked" "$services_log"
    sleep 0.25
  done
  [[ "$(service_field STATE)" == "4 RUNNING" ]] || abort "TarnSvc did not keep running after the failed start"
  pass "log folder blocked: TarnSvc keeps running, event 2 (a start step failed) reported"
  rm -f "$local_dir"
  deadline=$((SECONDS + 15))
  until [[ -d "$local_dir" ]] && (($(data_line_count "$local_dir/TARNLog.csv") >= 1)); do
    ((SECONDS < deadline)) || abort "no local row 15 s after the log folder was freed" "$services_log"
    sleep 0.25
  done
  grep -q -E "ReportEventW \([^,]*,0x0004,0x0000,0x00000003," "$services_log" ||
    abort "no event 3 (sampling resumed) after the retry succeeded" "$services_log"
  pass "log folder freed: the retry made it, rows again, event 3 (sampling resumed) reported"
  stop_and_wait "$logs/heal-stop.out"
  [[ "$(service_field WIN32_EXIT_CODE)" == "0 "* ]] || abort "WIN32_EXIT_CODE is not 0 after the healed start"
  pass "sc stop: STOPPED, WIN32_EXIT_CODE 0 (the codes of the failed start were cleared)"
}
# Lines after the header of a file (0 when it does not exist).
data_line_count() { [[ -f "$1" ]] && echo $(($(wc -l <"$1") - 1)) || echo 0; }
step "a start that fails on a blocked log folder heals"
check_healing_start

step "stop Wine"
tarn_wine_stop_server
echo
echo "  local log:  $(count_rows local) rows, ${#seen_backups[@]} rotations, ${settings[LogFileBackupNum]} backups kept"
echo "  upload log: $(count_rows upload) rows, $upload_rotations rotations seen, ${#seen_handovers[@]} handed over, ${settings[UploadLogFileBackupNum]} kept"
echo "  device ROOT\\TARNPWR\\$removed_instance removed for $((reinstall_epoch - removed_epoch)) s: no rows; rows again after the re-installation"
finish

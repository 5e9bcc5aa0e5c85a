#!/usr/bin/env bash
# Checks the Windows build of the service under Wine's service control manager,
# installed and removed the way a Windows user does it (tools/windows/*.cmd):
#
#  1. install.cmd copies tarnsvc.exe to "C:\Program Files (x86)\Tarn" (the 32-bit
#     build; "C:\Program Files\Tarn" for the 64-bit one), registers
#     "TarnSvc" (own process, automatic start, LocalSystem, description, 30 s
#     pre-shutdown time-out), keeps the settings already in the 32-bit registry
#     view and adds the missing defaults there only, and starts the service;
#  2. with no power-monitor driver the service stops itself: STOPPED, exit code 0,
#     its process gone;
#  3. with a driver interface that is registered but cannot be opened (a driver
#     that went away) the service keeps running without sampling and records the
#     failure: controls 128 and 129 are answered and leave it running, so does an
#     unknown control, "sc stop" ends with STOPPED and the recorded codes
#     (1066 and the open error), and the process ends;
#  4. uninstall.cmd stops the running service and deletes it and its executable,
#     keeps the logs and the settings, and succeeds again when nothing is left;
#  5. started by hand rather than by the manager, tarnsvc.exe traces the
#     dispatcher's failure and ends with exit code 0.
# The service's trace (TARN_TRACE=1) and Wine's messages go to
# build/<preset>/service-check/wine.log; the last part is printed on failure.
#
# Usage: tools/wine/service-check.sh     (after the Windows builds; about 35 s)
# It checks one build: TARN_WINE_ARCH=x86|x64 names it, else the product where
# WoW64 mode runs (tools/wine/wine-lib.sh), makes its own prefix anew, build/wine-service-ARCH (or
# $TARN_SERVICE_PREFIX), and ends every Wine process of it. The last line reads "service-check: N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 2
source tools/wine/wine-lib.sh
tarn_wine_choose_arch || exit 2

tarn_service_check service-check "${TARN_SERVICE_PREFIX:-$PWD/build/wine-service-$TARN_WINE_ARCH}"
tarn_sc="$tarn_build/tools/tarn-sc/tarn-sc.exe"
interface_class='{45BD8344-7ED6-49CF-A440-C276C933B053}'
trace_lines=60

traced() {
  grep -qF "[QorLog]" "$wine_log" && grep -qF "$1" "$wine_log" && return 0
  detail="no trace line with \"$1\" in $wine_log"
  return 1
}

# control CODE: tarn-sc's answer to one control, in $reply; its exit code.
control() {
  reply=$(wine "$tarn_sc" control "$service" "$1" 2>&1 | tr -d '\r')
  local code=${PIPESTATUS[0]}
  detail=$reply
  return "$code"
}

# wait_for_recorded_failure SECONDS: the worker records a failed start in the
# status record, and the next report (here: the answer to an interrogation)
# carries it: 1066 and the error, in $status.
wait_for_recorded_failure() {
  local deadline=$((SECONDS + $1))
  while :; do
    wine "$tarn_sc" interrogate "$service" >/dev/null 2>&1
    query
    [[ "$(field WIN32_EXIT_CODE)" == 1066 && "$(field SERVICE_EXIT_CODE)" != 0 ]] && return 0
    ((SECONDS >= deadline)) && { detail=$status; return 1; }
    sleep 0.2
  done
}

running_after_reply() { grep -qE 'STATE +: 4 +RUNNING' <<<"$reply"; }

# The registry keys of one device interface of the power-monitor class, as the
# Plug and Play manager writes them for a driver that registered it, with a
# symbolic link that leads nowhere.
register_unreachable_interface() {
  local lower='{45bd8344-7ed6-49cf-a440-c276c933b053}' instance='ROOT\TARNGONE\0000'
  local key="HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\$interface_class\\##?#ROOT#TARNGONE#0000#$lower"
  wine reg add "$key" /v DeviceInstance /t REG_SZ /d "$instance" /f &&
    wine reg add "$key\\#" /v SymbolicLink /t REG_SZ /d "\\\\?\\ROOT#TARNGONE#0000#$lower" /f &&
    wine reg add "$key\\#\\Control" /v Linked /t REG_DWORD /d 1 /f &&
    wine reg add "HKLM\\System\\CurrentControlSet\\Enum\\$instance" /v ClassGUID /t REG_SZ \
      /d '{4d36e97d-e325-11ce-bfc1-08002be10318}' /f
}

# ---------------------------------------------------------------------------
echo "== service check of the $(tarn_wine_describe_arch) build under Wine ($(wine --version 2>/dev/null))"
for file in "$package/tarnsvc.exe" "$package/tarn-setup.exe" "$package/install.cmd" "$package/uninstall.cmd" "$tarn_sc"; do
  [[ -f "$file" ]] || { echo "missing $file: build the $tarn_preset preset first" >&2; exit 2; }
done

tarn_wine_traced_service_prefix "$prefix" "$out/wineboot.log"

# Settings already there (short periods, as an administrator may have set
# them) must survive the installation.
wine reg add "$settings_key" /v LogPeriodMs /t REG_DWORD /d 1000 /f /reg:32 >/dev/null 2>&1
wine reg add "$settings_key" /v UploadLogPeriodMs /t REG_DWORD /d 2000 /f /reg:32 >/dev/null 2>&1
tarn_wine_plant_old_local_log

echo "-- install.cmd"
install_output=$(wine cmd /c "$(windows_path "$package/install.cmd")" 2>&1 | tr -d '\r')
install_code=${PIPESTATUS[0]}
echo "$install_output" >"$out/install.log"
[[ $install_code == 0 ]] || abort "install.cmd succeeds" "exit code $install_code:"$'\n'"$install_output"
pass "install.cmd succeeds"

installed="$prefix/drive_c/$tarn_program_files/Tarn/tarnsvc.exe"
detail="not found or not the built one: $installed"
check "tarnsvc.exe copied to C:\\$tarn_program_files\\Tarn" cmp -s "$installed" "$package/tarnsvc.exe"
check "image path quoted" value_is "$service_key" ImagePath "\"C:\\$tarn_program_files\\Tarn\\tarnsvc.exe\""
check "own process" value_is "$service_key" Type 0x10
check "automatic start" value_is "$service_key" Start 0x2
check "runs as LocalSystem" value_is "$service_key" ObjectName LocalSystem
detail="no description"
check "has a description" test -n "$(registry_value "$service_key" Description)"
preshutdown=$(wine "$package/tarn-setup.exe" qpreshutdown "$service" 2>&1 | tr -d '\r' | without_wine_messages)
detail=$preshutdown
check "pre-shutdown time-out 30000 ms" test "$preshutdown" = "PRESHUTDOWN_TIMEOUT: 30000"
check "setting already there kept (LogPeriodMs)" value_is "$settings_key" LogPeriodMs 0x3e8 32
check "setting already there kept (UploadLogPeriodMs)" value_is "$settings_key" UploadLogPeriodMs 0x7d0 32
check "default added (LogFileSizeByte 620000)" value_is "$settings_key" LogFileSizeByte 0x975e0 32
check "default added (LogFileBackupNum 7)" value_is "$settings_key" LogFileBackupNum 0x7 32
check "default added (UploadLogFileSizeByte 72000)" value_is "$settings_key" UploadLogFileSizeByte 0x11940 32
check "default added (UploadLogFileBackupNum 5)" value_is "$settings_key" UploadLogFileBackupNum 0x5 32
detail="the settings key exists in the 64-bit view"
check "nothing written to the 64-bit view" bash -c "! wine reg query '$settings_key' /reg:64 >/dev/null 2>&1"
check "event source TarnSvc registered: the messages in tarnsvc.exe" value_is "$event_source_key" EventMessageFile \
  "C:\\$tarn_program_files\\Tarn\\tarnsvc.exe"
check "event source: error, warning and information entries" value_is "$event_source_key" TypesSupported 0x7

echo "-- no power-monitor driver: the service stops itself"
check "STOPPED" wait_for_state 1 20
check "exit code 0" exit_codes_are 0 0
check "process ended" no_service_process
check "the stop went through the manager (traced)" traced "SERVICE_CONTROL_STOP"

echo "-- a driver interface that cannot be opened: running without sampling"
register_unreachable_interface >>"$out/registry.log" 2>&1 || abort "registering a device interface"
wine sc start "$service" >/dev/null 2>&1
check "RUNNING after sc start" wait_for_state 4 20
check "the failed start recorded (1066 and the open error)" wait_for_recorded_failure 10
open_error=$(field SERVICE_EXIT_CODE)
check "control 128 answered" control 128
check "still RUNNING after 128" running_after_reply
check "control 129 answered" control 129
check "still RUNNING after 129" running_after_reply
check "128 and 129 reached the service (traced)" \
  bash -c "grep -qF SERVICE_CONTROL_LOG_TIMER '$wine_log' && grep -qF SERVICE_CONTROL_UPLOADLOG_TIMER '$wine_log'"
# The service answers 120 to a code it does not know; Wine's manager does not
# pass that on to the sender, so only the harm it must not do is checked.
control 130
echo "control 130: exit code $?"$'\n'"$reply" >>"$out/controls.log"
check "still RUNNING after an unknown control (130)" wait_for_state 4 1

echo "-- sc stop"
wine sc stop "$service" >"$out/stop.log" 2>&1
check "STOPPED" wait_for_state 1 20
check "exit codes 1066 and the open error" exit_codes_are 1066 "$open_error"
check "process ended" no_service_process

echo "-- tarn-setup"
for number in 12x -1 4294967296 ''; do
  wine "$package/tarn-setup.exe" preshutdown "$service" "$number" >/dev/null 2>&1
  code=$?
  detail="exit code $code"
  check "a malformed time-out (\"$number\") is refused" test "$code" = 87
done
check "the pre-shutdown time-out unchanged" bash -c \
  "wine '$package/tarn-setup.exe' qpreshutdown $service 2>/dev/null | tr -d '\r' | grep -qx 'PRESHUTDOWN_TIMEOUT: 30000'"
# install.cmd and uninstall.cmd tell "not installed" by this very code, which
# only cmd sees whole (Linux keeps the low 8 bits of an exit code).
printf '@"%%~1" stop TarnNoSuchService 5 2>nul\r\n@echo %%ERRORLEVEL%%\r\n' >"$out/stop-missing.cmd"
code=$(wine cmd /c "$(windows_path "$out/stop-missing.cmd")" "$(windows_path "$package/tarn-setup.exe")" 2>/dev/null | tr -d '\r')
detail="error level $code"
check "stop of a service that is not installed answers 1060" test "$code" = 1060

echo "-- uninstall.cmd while the service runs"
wine sc start "$service" >/dev/null 2>&1
check "RUNNING before uninstall" wait_for_state 4 20
uninstall_output=$(wine cmd /c "$(windows_path "$package/uninstall.cmd")" 2>&1 | tr -d '\r')
uninstall_code=${PIPESTATUS[0]}
echo "$uninstall_output" >"$out/uninstall.log"
detail=$uninstall_output
check "uninstall.cmd succeeds" test "$uninstall_code" = 0
detail=$(wine sc query "$service" 2>&1)
check "service deleted" bash -c "! wine sc query $service >/dev/null 2>&1"
detail="the service's key is still there"
check "service's registry key removed" bash -c "! wine reg query '$service_key' >/dev/null 2>&1"
detail="the event source's key is still there"
check "event source removed" bash -c "! wine reg query '$event_source_key' >/dev/null 2>&1"
check "process ended" no_service_process
detail="still there: $installed"
check "tarnsvc.exe removed" test ! -e "$installed"
check "settings kept" value_is "$settings_key" LogPeriodMs 0x3e8 32
detail="gone: $logs"
check "logs kept" test -f "$logs/TARNLog_20240101T000000+0000.csv"
uninstall_output=$(wine cmd /c "$(windows_path "$package/uninstall.cmd")" 2>&1 | tr -d '\r')
uninstall_code=${PIPESTATUS[0]}
detail=$uninstall_output
check "uninstall.cmd again: nothing to do, succeeds" test "$uninstall_code" = 0

echo "-- tarnsvc.exe started by hand, not by the manager"
# Wine's dispatcher waits about 10 s for a manager that never calls before it
# fails with 1063; Windows fails at once.
WINEDEBUG=-all,warn+debugstr TARN_TRACE=1 timeout 60 wine "$package/tarnsvc.exe" >"$out/by-hand.log" 2>&1
code=$?
detail="exit code $code"$'\n'"$(cat "$out/by-hand.log")"
check "ends with exit code 0" test "$code" = 0
check "traces the dispatcher's failure (1063)" grep -qF "errorcode=0x427(1063)" "$out/by-hand.log"

finish

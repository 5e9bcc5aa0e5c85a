# shellcheck shell=bash disable=SC2034,SC2154
# (The variables it sets are read by the scripts that source it, and those it
# reads, such as bin, logs, service and check_name, are set by them.)
# The library of Tarn's Wine checks: sourced by every script under tools/wine and
# by tools/test-windows.sh, never run by itself. It owns, once each:
#   - the choice of the Windows build to run (tarn_wine_choose_arch);
#   - Wine's environment, new prefixes and the persistent server;
#   - the results of a check: pass, fail, check, abort, finish, and the closing
#     line "NAME: N passed, M failed";
#   - the service's status, registry values and processes as the checks read them.
#
# What these functions take care of, as measured with Wine 8.0:
# - Headless: no DISPLAY (the "nodrv_CreateWindow" errors it causes are harmless),
#   no Mono or Gecko installation, which halves the time of a new prefix.
# - No TZ: MinGW's runtime misreads an Olson-style TZ, so Wine keeps the host's zone.
# - A prefix is made with "wineboot -i" and "wineserver -w" first; a persistent
#   server started before that leaves the service database locked.
# - With a persistent server, the services Wine starts for the first process
#   outlive it. They keep that process's standard output and error, so they are
#   started by a process of our own whose output goes to a log: a test runner that
#   waits for the end of a test's output would wait forever otherwise.
# - Services get their environment from the registry's system environment, read
#   once when services.exe starts its first service (Wine ignores a service's own
#   "Environment" value); services.exe itself inherits WINEDEBUG from the process
#   that started it, which is how the driver's DbgPrint lines reach the log.

tarn_repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

# ---- which builds run ----------------------------------------------------------------
# Every Windows program runs under Wine's 64-bit loader, as on 64-bit Windows: the
# 32-bit product in Wine's WoW64 mode (its system calls handed to 64-bit code, the
# 32-bit registry view, System32 redirected to SysWOW64), the 64-bit build natively.
# No 32-bit ELF program runs, so neither a kernel that runs only 64-bit code nor an
# i386 package that cannot be installed stops it. WoW64 mode needs only the i386
# Windows DLLs of the installed Wine, which tools/install-build-deps.sh --windows
# unpacks from libwine:i386 (never installed) into build/wine-i386/VERSION.

tarn_wine64_loader="${WINE64:-/usr/lib/wine/wine64}"

# tarn_wine_loader_runs LOADER: the loader starts on this machine (it prints its
# version without a prefix or a server).
tarn_wine_loader_runs() { [[ -x "$1" ]] && "$1" --version >/dev/null 2>&1; }

# tarn_wine_i386_dlls: the folder to give Wine as WINEDLLPATH for WoW64 mode (it
# holds i386-windows/), or nothing when the installed Wine has none unpacked.
tarn_wine_i386_dlls() {
  local version dir
  version=$(dpkg-query -W -f='${Version}' libwine:amd64 2>/dev/null) || return 0
  dir="$tarn_repo/build/wine-i386/$version/usr/lib/i386-linux-gnu/wine"
  [[ -d "$dir/i386-windows" ]] && echo "$dir"
}

# tarn_wine_wow64_runs: whether Wine's WoW64 mode runs a 32-bit program here: a
# probe built with the i686 compiler must print its pointer size, 4, in a prefix
# of its own (build/wine-wow64-probe, kept). The verdict is kept for the scripts
# the caller starts (TARN_WINE_WOW64), and the reason for a "no" in
# tarn_wine_wow64_reason.
tarn_wine_wow64_runs() {
  if [[ -z "${TARN_WINE_WOW64:-}" ]]; then
    TARN_WINE_WOW64=no
    tarn_wine_wow64_reason=$(tarn_wine_wow64_probe) && TARN_WINE_WOW64=yes
    export TARN_WINE_WOW64 tarn_wine_wow64_reason
  fi
  [[ "$TARN_WINE_WOW64" == yes ]]
}

# tarn_wine_wow64_probe: runs the probe; on failure prints why and fails.
tarn_wine_wow64_probe() {
  local dlls dir="$tarn_repo/build/wine-wow64-probe" printed
  dlls=$(tarn_wine_i386_dlls)
  [[ -n "$dlls" ]] || { echo "no i386 Windows DLLs of this Wine unpacked (tools/install-build-deps.sh --windows)"; return 1; }
  mkdir -p "$dir"
  i686-w64-mingw32-gcc -O2 -static -o "$dir/pointer-size.exe" "$tarn_repo/tools/wine/probe/pointer_size.c" \
    >"$dir/build.log" 2>&1 || { echo "the i686 compiler cannot build the probe ($dir/build.log)"; return 1; }
  if [[ ! -f "$dir/prefix/system.reg" ]]; then
    rm -rf "$dir/prefix"
    (tarn_wine_environment && WINEPREFIX="$dir/prefix" WINEDLLPATH="$dlls" "$tarn_wine64_loader" wineboot -i \
      >"$dir/wineboot.log" 2>&1 && WINEPREFIX="$dir/prefix" wineserver -w) ||
      { echo "no WoW64 prefix could be made ($dir/wineboot.log)"; return 1; }
  fi
  printed=$(tarn_wine_environment && WINEPREFIX="$dir/prefix" WINEDLLPATH="$dlls" \
    timeout 60 "$tarn_wine64_loader" "$dir/pointer-size.exe" 2>"$dir/probe.err" | tr -d '\r')
  (WINEPREFIX="$dir/prefix" wineserver -k >/dev/null 2>&1 || true)
  [[ "$printed" == "pointer size 4, WoW64 1" ]] && return 0
  echo "the 32-bit probe printed \"$printed\" ($dir/probe.err)"
  return 1
}

# tarn_wine_choose_builds: the builds the checks run, in order, in
# tarn_wine_builds: "x86 x64" where WoW64 mode runs a 32-bit program, else "x64"
# and one line saying why. TARN_WINE_ARCH=x86|x64 forces one build.
tarn_wine_choose_builds() {
  if [[ -n "${TARN_WINE_ARCH:-}" ]]; then
    tarn_wine_builds=$TARN_WINE_ARCH
  elif tarn_wine_wow64_runs; then
    tarn_wine_builds="x86 x64"
  else
    echo "Wine's WoW64 mode cannot run a 32-bit program on this machine ($tarn_wine_wow64_reason):" \
      "the Wine checks run only the x64 build"
    tarn_wine_builds=x64
  fi
}

# tarn_wine_choose_arch: decides which Windows build a check runs, and sets
#   TARN_WINE_ARCH     x86 or x64 (exported, so that scripts started later agree)
#   tarn_preset        mingw-i686 or mingw-x86_64, its build folder tarn_build
#   tarn_other_preset  the other one
#   tarn_msi           the package of that build
#   tarn_program_files the folder the installers use, under drive_c
# x86 when WoW64 mode runs a 32-bit program, x64 otherwise; TARN_WINE_ARCH=x86|x64
# forces the choice. The programs wine, wineboot and winepath then mean the 64-bit
# loader, with the i386 DLLs, for every command of the caller and of the scripts
# it starts.
tarn_wine_choose_arch() {
  local arch="${TARN_WINE_ARCH:-}"
  if ! tarn_wine_loader_runs "$tarn_wine64_loader"; then
    echo "Wine's 64-bit loader $tarn_wine64_loader does not run on this machine: install wine64" \
      "(tools/install-build-deps.sh --windows), or set WINE64" >&2
    return 1
  fi
  if [[ -z "$arch" ]]; then
    arch=x64
    tarn_wine_wow64_runs && arch=x86
  fi
  case "$arch" in
    x86)
      if ! tarn_wine_wow64_runs; then
        echo "TARN_WINE_ARCH=x86, but Wine's WoW64 mode cannot run a 32-bit program here: $tarn_wine_wow64_reason" >&2
        return 1
      fi
      tarn_preset=mingw-i686 tarn_other_preset=mingw-x86_64
      tarn_msi_name=tarn.msi tarn_program_files="Program Files (x86)"
      ;;
    x64)
      tarn_preset=mingw-x86_64 tarn_other_preset=mingw-i686
      tarn_msi_name=tarn-x64.msi tarn_program_files="Program Files"
      ;;
    *)
      echo "TARN_WINE_ARCH=$arch: give x86 (the 32-bit build) or x64 (the 64-bit build)" >&2
      return 1
      ;;
  esac
  export TARN_WINE_ARCH="$arch"
  tarn_build="$tarn_repo/build/$tarn_preset"
  tarn_msi="$tarn_build/$tarn_msi_name"
  tarn_wine_put_loader_first
}

# Shims named like Wine's programs, ahead of Debian's wrappers on PATH, so that
# "wine", "wineboot" and "winepath" always mean the 64-bit loader with the i386
# DLLs, also inside timeout, bash -c and CMake's test runner.
tarn_wine_put_loader_first() {
  local shims="$tarn_repo/build/wine-bin" name dlls environment=
  dlls=$(tarn_wine_i386_dlls)
  [[ -n "$dlls" ]] && environment="export WINEDLLPATH=\"$dlls\""
  mkdir -p "$shims"
  for name in wine wine64 wineboot winepath winecfg; do
    local program="$name"
    [[ "$name" == wine || "$name" == wine64 ]] && program=
    printf '#!/bin/sh\n%s\nexec "%s" %s"$@"\n' "$environment" "$tarn_wine64_loader" "${program:+$program }" >"$shims/$name"
  done
  chmod +x "$shims"/*
  case ":$PATH:" in *":$shims:"*) ;; *) export PATH="$shims:$PATH" ;; esac
}

# tarn_wine_describe_arch: one line naming the build the checks run and its mode.
tarn_wine_describe_arch() {
  case "$TARN_WINE_ARCH" in
    x86) echo "x86 ($tarn_preset, 32-bit, WoW64 mode under $tarn_wine64_loader)" ;;
    *) echo "x64 ($tarn_preset, 64-bit, native under $tarn_wine64_loader)" ;;
  esac
}

# ---- environment, prefix, server ----------------------------------------------------

tarn_wine_environment() {
  unset DISPLAY WAYLAND_DISPLAY TZ
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
  export WINEARCH=win64
  # The i386 DLLs for WoW64 mode, also in prefixes of the 64-bit build: each one
  # then has a SysWOW64 folder, as 64-bit Windows has.
  local dlls
  dlls=$(tarn_wine_i386_dlls)
  [[ -n "$dlls" ]] && export WINEDLLPATH="$dlls"
  return 0
}

# tarn_wine_new_prefix DIR LOG: a new 64-bit prefix in DIR, which must be empty or
# absent (a prefix someone else may still use is never removed here); the output
# of its start-up in LOG. Its server has ended when it returns.
tarn_wine_new_prefix() {
  local dir=$1 log=$2
  [[ -n "$dir" && "$dir" != "/" ]] || { echo "tarn_wine_new_prefix: no folder given" >&2; return 1; }
  if [[ -e "$dir" && -n "$(ls -A "$dir" 2>/dev/null)" ]]; then
    echo "WINEPREFIX $dir is not empty; give an empty or new folder" >&2
    return 1
  fi
  export WINEPREFIX="$dir"
  mkdir -p "$dir"
  if ! wineboot -i >"$log" 2>&1; then
    echo "wineboot -i failed in $dir; its output:" >&2
    cat "$log" >&2
    return 1
  fi
  wineserver -w
}

# tarn_wine_fresh_prefix DIR LOG: the same in a folder the check owns, whose old
# prefix (and any server of it) is removed first.
tarn_wine_fresh_prefix() {
  local dir=$1
  [[ -n "$dir" && "$dir" != "/" ]] || { echo "tarn_wine_fresh_prefix: no folder given" >&2; return 1; }
  WINEPREFIX="$dir" tarn_wine_stop_server
  rm -rf "$dir"
  tarn_wine_new_prefix "$@"
}

# tarn_wine_set_service_environment NAME VALUE: a variable that services started
# from now on see (call it before tarn_wine_start_server).
tarn_wine_set_service_environment() {
  wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v "$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1
}

# tarn_wine_start_server LOG: a persistent server for $WINEPREFIX (services would
# otherwise end a few seconds after the last program), and Wine's services started
# with their output in LOG and WINEDEBUG=$TARN_SERVICES_WINEDEBUG (default: the
# debugger output, where the driver's and the service's traces go). In the time
# zone $TARN_SERVICES_TZ when it is set. End it with tarn_wine_stop_server.
tarn_wine_start_server() {
  local log=$1 zone_env=(env -u TZ)
  [[ -n "${TARN_SERVICES_TZ:-}" ]] && zone_env=(env TZ="$TARN_SERVICES_TZ")
  wineserver -w
  # wineserver returns once its background server holds the prefix: a client
  # started before that (as with "wineserver -p &") may start a server of its own
  # that is not persistent, whose services then end with that client and are
  # started again later by another program, with that program's output.
  "${zone_env[@]}" setsid wineserver -p </dev/null >/dev/null 2>&1
  tarn_wine_server_started=1
  # This client starts the services. Should it start none, a later program would
  # start them with its own output: a client is sent again until services.exe runs.
  local try deadline
  for try in 1 2 3; do
    "${zone_env[@]}" WINEDEBUG="${TARN_SERVICES_WINEDEBUG:-warn+debugstr}" \
      "$tarn_wine64_loader" cmd /c exit </dev/null >>"$log" 2>&1
    deadline=$((SECONDS + 10))
    while ((SECONDS < deadline)); do
      [[ -n "$(tarn_wine_processes '\\services\.exe')" ]] && return 0
      sleep 0.5
    done
    echo "tarn_wine_start_server: services.exe not running after client $try; sending another" >>"$log"
  done
  echo "tarn_wine_start_server: Wine's services did not start in $WINEPREFIX (see $log)" >&2
  return 1
}
tarn_wine_server_started=0

tarn_wine_stop_server() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  tarn_wine_server_started=0
}

# A script interrupted with Ctrl-C or a TERM leaves through its EXIT trap, which
# stops the server.
tarn_wine_exit_on_signals() {
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# tarn_wine_processes PATTERN: "pid command" of every process of $WINEPREFIX whose
# command line matches the extended regular expression PATTERN (case ignored).
tarn_wine_processes() {
  local pattern=$1 dir pid command
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    { tr '\0' '\n' <"$dir/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    command=$({ tr '\0' ' ' <"$dir/cmdline"; } 2>/dev/null) || continue
    if grep -qiE -- "$pattern" <<<"$command"; then echo "$pid $command"; fi
  done
}

windows_path() { winepath -w "$1" 2>/dev/null; }

# without_wine_messages: a program's output without the lines Wine adds of its
# own ("0294:err:environ:init_peb starting ... in experimental wow64 mode" is
# printed for every 32-bit program, as the prefix's system environment asks for
# Wine's errors).
without_wine_messages() { grep -a -v -E '^[0-9a-f]{4}:(err|warn|fixme|trace):' || true; }

# run NAME COMMAND...: runs a program in $bin with its output in $logs/NAME.out and
# $logs/NAME.err (console line ends made Unix ones); its exit code.
run() {
  local name="$1" status=0
  shift
  (cd "$bin" && "$@") >"$logs/$name.out" 2>"$logs/$name.err" || status=$?
  sed -i 's/\r$//' "$logs/$name.out"
  return $status
}

# ---- Wine's own 32-bit msiexec in WoW64 mode ----------------------------------------------
# Wine 8's WoW64 mode fails the start-up of crypt32, ws2_32 and netapi32 (their
# Unix side has no 32-bit entry points), and msi.dll imports them: the 32-bit
# custom-action server, which runs a 32-bit package's DLL custom actions, dies
# before it starts, and msiexec waits for it forever. Tarn's own programs load
# none of them at start-up (see platform/win32), but tarn.msi's settings check is
# such a custom action. tarn_wine_msiexec_stand_ins OUT: for msiexec.exe only,
# these DLLs become stand-ins that load and fail every call
# (tools/wine/probe/unavailable_dll.c), built in OUT from the exports of Wine's own.
tarn_wine_msiexec_stand_ins_dlls="crypt32 ws2_32 netapi32"
tarn_wine_msiexec_stand_ins() {
  local out=$1 dlls dll
  dlls=$(tarn_wine_i386_dlls)
  [[ -n "$dlls" ]] || { echo "no i386 Windows DLLs of this Wine unpacked" >&2; return 1; }
  mkdir -p "$out"
  for dll in $tarn_wine_msiexec_stand_ins_dlls; do
    {
      echo "LIBRARY $dll.dll"
      echo EXPORTS
      i686-w64-mingw32-objdump -p "$dlls/i386-windows/$dll.dll" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1=unavailable/p'
    } >"$out/$dll.def"
    i686-w64-mingw32-gcc -shared -O2 -static-libgcc -o "$out/$dll.dll" \
      "$tarn_repo/tools/wine/probe/unavailable_dll.c" "$out/$dll.def" || return 1
    cp "$out/$dll.dll" "$WINEPREFIX/drive_c/windows/syswow64/$dll.dll"
    wine reg add 'HKCU\Software\Wine\AppDefaults\msiexec.exe\DllOverrides' /v "$dll" /d native,builtin /f \
      >/dev/null 2>&1 || return 1
  done
}

# ---- the simulated driver -------------------------------------------------------------

# tarn_wine_build_driver BIN LOG: the driver package (64-bit, whatever the service's
# architecture, as the kernel is) and the probe of the build under test, in BIN.
tarn_wine_build_driver() {
  local bin=$1 log=$2
  mkdir -p "$bin"
  "$tarn_repo/tools/simdriver/build.sh" "$bin" >"$log" 2>&1 &&
    cmake --build "$tarn_build" --target tarnpwr-probe >>"$log" 2>&1 &&
    cp "$tarn_build/tools/wine/tarnpwr-probe.exe" "$bin/"
}

# tarn_wine_install_devices INI: installs the devices of a driver.ini (tarnpwr-install
# from $bin, its output in $logs) and checks that each got an interface.
tarn_wine_install_devices() {
  local ini="$1" wanted installed
  run install "$tarn_wine64_loader" tarnpwr-install.exe install "$ini" ||
    abort "tarnpwr-install install" "$logs/install.out"
  cat "$logs/install.out"
  wanted=$(grep -c -i -E '^[[:space:]]*\[device\]' "$ini" || true)
  installed=$(grep -c -E '^ROOT.TARNPWR.[0-9]{4} ' "$logs/install.out" || true)
  ((installed == wanted)) || abort "$installed of $wanted devices installed" "$logs/install.out"
}

# ---- results ---------------------------------------------------------------------------
# A check lists each result as it goes ("ok" or "FAIL") and ends with
# "NAME: N passed, M failed". The script sets check_name before its first result,
# and may define tarn_report_failure, which finish calls after a failure to show
# what the script knows (logs, files, status), and set tarn_work, a folder of its
# own that finish removes unless the check failed or KEEP_WORK=1.

passed=0
failed=0
detail=
tarn_check_started=$SECONDS

pass() {
  passed=$((passed + 1))
  echo "  ok    $1"
}

# fail WHAT [DETAIL]: a failed result; the check goes on. DETAIL is text, or a
# file whose contents are shown.
fail() {
  failed=$((failed + 1))
  echo "  FAIL  $1"
  local shown="${2:-}"
  if [[ -n "$shown" && "$shown" != *$'\n'* && -f "$shown" ]]; then
    echo "          ---- $shown"
    tail -n 60 "$shown" | sed 's/^/          /'
  elif [[ -n "$shown" ]]; then
    printf '          %s\n' "${shown//$'\n'/$'\n'          }"
  fi
  return 0
}

# check DESCRIPTION COMMAND...: passes when COMMAND succeeds; a failure shows
# $detail, which the command may set.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what" "${detail:-}"; fi
  detail=
}

# abort WHAT [DETAIL]: a failed result where going on would only repeat it.
abort() {
  fail "$@"
  finish
}

finish() {
  trap - EXIT
  if ((failed)) && declare -F tarn_report_failure >/dev/null; then tarn_report_failure; fi
  [[ -n "${WINEPREFIX:-}" ]] && tarn_wine_stop_server
  if [[ -n "${tarn_work:-}" ]]; then
    if [[ "${KEEP_WORK:-0}" == 1 || $failed -gt 0 ]]; then echo "$check_name: kept $tarn_work"; else rm -rf "$tarn_work"; fi
  fi
  echo "$check_name ran the $(tarn_wine_describe_arch) build in $((SECONDS - tarn_check_started)) s"
  echo "$check_name: $passed passed, $failed failed"
  ((failed == 0))
  exit
}

# tarn_check_work NAME: a work folder of the check's own (removed by finish unless
# the check failed or KEEP_WORK=1), in $work: programs in $bin, logs in $logs,
# the services' output $services_log, and the prefix $prefix ($WINEPREFIX when
# the caller gave one, which must be empty or absent).
tarn_check_work() {
  work="$(mktemp -d "/tmp/$1.XXXXXX")"
  tarn_work="$work"
  bin="$work/bin"
  logs="$work/logs"
  services_log="$logs/services.log"
  mkdir -p "$logs"
  prefix="$(realpath -m "${WINEPREFIX:-$work/prefix}")"
  WINEPREFIX="$prefix"
}

# tarn_check_begin: Wine's environment, and the check's end through finish on
# every way out: its last line, an error of its own, Ctrl-C or a TERM.
tarn_check_begin() {
  tarn_wine_environment
  trap tarn_finish_on_exit EXIT
  tarn_wine_exit_on_signals
}

# The EXIT trap of a check: a script that stops on an error of its own (an
# unset variable, say) has failed, whatever it counted so far.
tarn_finish_on_exit() {
  local status=$?
  ((status != 0 && failed == 0)) && fail "the check stopped unexpectedly (exit code $status)"
  finish
}

# Timing of a check's steps: `step TEXT` closes the previous step with its
# duration and announces the next.
tarn_step_started=
elapsed() { awk -v now="$(date +%s.%N)" -v then="$1" 'BEGIN { printf "%.1f", now - then }'; }
step() {
  [[ -n "$tarn_step_started" ]] && echo "    ($(elapsed "$tarn_step_started") s)"
  tarn_step_started=$(date +%s.%N)
  echo "==> $*"
}

# ---- the service as the checks see it ----------------------------------------------------
# The script sets, for failure reports, wine_log.

# The service's name and its keys in the registry.
service=TarnSvc
settings_key='HKLM\SOFTWARE\Corvessan\Tarn'
service_key="HKLM\\System\\CurrentControlSet\\Services\\$service"
event_source_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$service"

# query: "sc query" of the service, in $status (empty when it is not installed).
query() { status=$(wine sc query "$service" 2>/dev/null | tr -d '\r'); }

field() { sed -n "s/^ *$1 *: *\\([0-9]*\\).*/\\1/p" <<<"$status"; }

# wait_for_state STATE SECONDS
wait_for_state() {
  local state=$1 deadline=$((SECONDS + $2))
  while :; do
    query
    [[ "$(field STATE)" == "$state" ]] && return 0
    ((SECONDS >= deadline)) && { detail="state after $2 s:"$'\n'"$status"; return 1; }
    sleep 0.2
  done
}

# exit_codes_are WIN32 SERVICE: the codes of the status the last query read.
exit_codes_are() {
  [[ "$(field WIN32_EXIT_CODE)" == "$1" && "$(field SERVICE_EXIT_CODE)" == "$2" ]] && return 0
  detail=$status
  return 1
}

# no_service_process: no tarnsvc.exe of this prefix is left (it may take a moment
# to end after its last report).
no_service_process() {
  local deadline=$((SECONDS + 10)) left
  while :; do
    left=$(tarn_wine_processes 'tarnsvc\.exe')
    [[ -z "$left" ]] && return 0
    ((SECONDS >= deadline)) && { detail="still running: $left"; return 1; }
    sleep 0.2
  done
}

# registry_value KEY NAME [VIEW]: the data of one value as "reg query" shows it;
# VIEW 32 or 64 picks the registry view.
registry_value() {
  wine reg query "$1" /v "$2" ${3:+/reg:$3} 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

# value_is KEY NAME EXPECTED [VIEW]
value_is() {
  local actual
  actual=$(registry_value "$1" "$2" "${4:-}")
  [[ "$actual" == "$3" ]] && return 0
  detail="$1\\$2 is \"$actual\", expected \"$3\""
  return 1
}

# tarn_service_check NAME PREFIX: the setting of a check of the installed
# service: check_name NAME, the build's $package, its own folder $out
# (build/<preset>/NAME, made anew) with $wine_log in it, the prefix folder
# $prefix, and the service's status and trace as its failure report.
tarn_service_check() {
  check_name=$1 prefix=$2
  package="$tarn_build/package"
  out="$tarn_build/$1"
  wine_log="$out/wine.log"
  rm -rf "$out"
  mkdir -p "$out"
  : >"$wine_log"
  tarn_report_failure() { tarn_report_service_failure; }
}

# tarn_wine_traced_service_prefix DIR BOOT_LOG: the start of a service check: a
# fresh prefix in DIR whose services trace (TARN_TRACE=1, the debugger output
# Wine prints for the debugstr channel) into $wine_log, its server running, and
# the check's EXIT trap set.
tarn_wine_traced_service_prefix() {
  local dir=$1 boot_log=$2
  tarn_check_begin
  export WINEPREFIX="$dir"
  echo "-- prefix $dir"
  tarn_wine_fresh_prefix "$dir" "$boot_log" || abort "a new Wine prefix" "$boot_log"
  tarn_wine_set_service_environment TARN_TRACE 1
  tarn_wine_set_service_environment WINEDEBUG '-all,err+all,warn+debugstr'
  wineserver -w
  tarn_wine_start_server "$wine_log"
  pass "prefix ready ($((SECONDS - tarn_check_started)) s)"
}

# tarn_wine_plant_old_local_log: a local backup from before the installation, in
# the prefix's log folder ($logs), which every installation and removal keeps.
tarn_wine_plant_old_local_log() {
  logs="$WINEPREFIX/drive_c/ProgramData/Corvessan/TARNLog/LocalLog"
  mkdir -p "$logs"
  echo "# LogFormatVersion:V1.00" >"$logs/TARNLog_20240101T000000+0000.csv"
}

# What a failed service check shows: the service's status and the last lines of
# $wine_log, where Wine's messages and the service's trace go.
tarn_report_service_failure() {
  echo "== status of $service"
  wine sc query "$service" 2>&1 | sed 's/^/   /'
  echo "== last lines of $wine_log (Wine and the service's trace)"
  grep -a -v 'nodrv_CreateWindow\|initialize_systray' "$wine_log" 2>/dev/null | tail -n "${trace_lines:-60}" |
    sed 's/^/   /'
}

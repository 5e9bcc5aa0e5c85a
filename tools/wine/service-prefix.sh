# Wine prefixes for Tarn's Windows checks: sourced by tools/test-windows.sh and
# tools/wine/service-check.sh, never run by itself.
#
# What these functions take care of, as measured with Wine 8.0:
# - Headless: no DISPLAY (the "nodrv_CreateWindow" errors it causes are harmless),
#   no Mono or Gecko installation, which halves the time of a new prefix (~15 s).
# - No TZ: MinGW's runtime misreads an Olson-style TZ, so Wine keeps the host's zone.
# - The prefix is made with "wineboot -i" and "wineserver -w" first; a persistent
#   server started before that leaves the service database locked.
# - With a persistent server, the services Wine starts for the first process
#   outlive it. They keep that process's standard output and error, so they are
#   started by a process of our own whose output goes to a log: a test runner that
#   waits for the end of a test's output would wait forever otherwise.
# - Services get their environment from the registry's system environment, not
#   from the process that started them (Wine ignores a service's own
#   "Environment" value): what a service should see is written there before the
#   services start.

tarn_wine_environment() {
  unset DISPLAY TZ
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
  export WINEARCH="${WINEARCH:-win64}"
}

# tarn_wine_new_prefix DIR LOG: a new prefix in DIR (an old one is removed first),
# its start-up output in LOG. The server has ended when it returns.
tarn_wine_new_prefix() {
  local dir=$1 log=$2
  [[ -n "$dir" && "$dir" != "/" ]] || { echo "tarn_wine_new_prefix: no folder given" >&2; return 1; }
  export WINEPREFIX="$dir"
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$dir"
  mkdir -p "$dir"
  if ! wineboot -i >"$log" 2>&1; then
    echo "wineboot -i failed in $dir; its output:" >&2
    cat "$log" >&2
    return 1
  fi
  wineserver -w
}

# tarn_wine_prepare_prefix DIR LOG: the prefix in DIR, made unless it is there.
# A persistent server that an interrupted run left behind is ended first:
# waiting for it would never end.
tarn_wine_prepare_prefix() {
  local dir=$1 log=$2
  export WINEPREFIX="$dir"
  if [[ -f "$dir/system.reg" ]]; then
    tarn_wine_stop_server
  else
    tarn_wine_new_prefix "$dir" "$log"
  fi
}

# tarn_wine_set_service_environment NAME VALUE: a variable that services started
# from now on see (Wine reads the system environment once, when services.exe
# starts its first service: call this before tarn_wine_start_server).
tarn_wine_set_service_environment() {
  wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v "$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1
}

# tarn_wine_start_server LOG: a persistent server for $WINEPREFIX, and the
# services started with their output in LOG. End it with tarn_wine_stop_server;
# callers install it as an EXIT trap, and tarn_wine_exit_on_signals makes an
# interrupted run take that way out too.
tarn_wine_start_server() {
  local log=$1
  wineserver -w
  setsid wineserver -p </dev/null >/dev/null 2>&1 &
  # The server is up once a client can reach it; this client also starts the
  # services, with LOG as their output.
  wine cmd /c exit </dev/null >>"$log" 2>&1
}

tarn_wine_exit_on_signals() {
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

tarn_wine_stop_server() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
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

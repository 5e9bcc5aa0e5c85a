# shellcheck shell=bash disable=SC2154,SC2034
# (bin, logs are set by the caller; wine_server_started is read by it.)
# Shared steps of the Wine scripts (sourced, not run). The caller sets:
#   bin   folder for the built programs
#   logs  folder for the logs
# and calls wine_setup first. Functions stop the script through `fail`,
# which the caller may redefine (it prints Wine's output).

wine_tools_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
wine_here="$wine_tools_dir/wine"
wine_server_started=0

# Checks the tools and exports the environment every Wine program needs.
wine_setup() {
  export WINEPREFIX WINEARCH=win64
  unset DISPLAY WAYLAND_DISPLAY
  # Client programs stay quiet; the driver's DbgPrint lines are enabled for the
  # services (they inherit WINEDEBUG from the process that starts services.exe).
  export WINEDEBUG=-all
  wine64_loader="${WINE64:-/usr/lib/wine/wine64}"
  [[ -x "$wine64_loader" ]] || wine64_loader="$(command -v wine64 || true)"
  local tool
  for tool in wine wineserver x86_64-w64-mingw32-gcc i686-w64-mingw32-g++-posix; do
    command -v "$tool" >/dev/null || fail "$tool not found"
  done
  [[ -x "$wine64_loader" ]] || fail "no 64-bit Wine loader (set WINE64)"
  services_log="$logs/services.log"
  mkdir -p "$logs"
}

# Default failure: the message, the step's output and what Wine logged.
fail() {
  local message="$1" output="${2:-}" log
  echo "FAILED: $message" >&2
  if [[ -n "$output" && -f "$output" ]]; then
    echo "---- output of the step ($output)" >&2
    cat "$output" >&2
  fi
  for log in "$logs"/*.err "${services_log:-}"; do
    [[ -n "$log" && -s "$log" ]] || continue
    echo "---- $log (driver lines and errors)" >&2
    grep -E 'tarnpwr|err:' "$log" | grep -v -E 'nodrv_CreateWindow|systray|explorer process' | tail -40 >&2 || true
  done
  exit 1
}

# The driver package (64-bit) and the probe (32-bit, like the service).
wine_build() {
  mkdir -p "$bin"
  "$wine_tools_dir/simdriver/build.sh" "$bin" >"$logs/build.out" 2>&1 || fail "building the driver package" "$logs/build.out"
  i686-w64-mingw32-g++-posix -std=c++20 -O2 -Wall -Wextra -Werror -municode -DUNICODE -D_UNICODE \
    -I"$wine_tools_dir/simdriver" -o "$bin/tarnpwr-probe.exe" "$wine_here/probe/tarnpwr_probe.cpp" \
    -static -lsetupapi >>"$logs/build.out" 2>&1 || fail "building the probe" "$logs/build.out"
}

# run NAME COMMAND...: runs a Wine program from $bin with its output in
# logs/NAME.out and logs/NAME.err (console line ends turned into Unix ones).
run() {
  local name="$1" status=0
  shift
  (cd "$bin" && "$@") >"$logs/$name.out" 2>"$logs/$name.err" || status=$?
  sed -i 's/\r$//' "$logs/$name.out"
  return $status
}

# A new 64-bit prefix. wineboot -i, then wait for that server to end: starting
# the persistent server first leaves the service database locked.
wine_create_prefix() {
  if [[ -e "$WINEPREFIX" && -n "$(ls -A "$WINEPREFIX" 2>/dev/null)" ]]; then
    fail "WINEPREFIX $WINEPREFIX is not empty; give an empty or new folder"
  fi
  mkdir -p "$WINEPREFIX"
  wineboot -i >"$logs/wineboot.out" 2>&1 || fail "wineboot -i" "$logs/wineboot.out"
  wineserver -w
}

# A persistent server (services would otherwise end a few seconds after the
# last program), and the services with the driver's debug output enabled.
wine_start() {
  # Its output goes to the log: a server holding the caller's stdout would keep pipes open.
  WINEDEBUG=warn+debugstr wineserver -p </dev/null >>"$logs/wineserver.log" 2>&1
  wine_server_started=1
  # The first program starts services.exe, which inherits its stderr and WINEDEBUG.
  WINEDEBUG=warn+debugstr "$wine64_loader" cmd /c exit </dev/null >>"$services_log" 2>&1 ||
    fail "starting the Wine services" "$services_log"
}

wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wine_server_started=0
}

# Installs the devices of a driver.ini and checks that each one got an interface.
wine_install_devices() {
  local ini="$1" wanted installed
  run install "$wine64_loader" tarnpwr-install.exe install "$ini" || fail "tarnpwr-install install" "$logs/install.out"
  cat "$logs/install.out"
  wanted=$(grep -c -i -E '^[[:space:]]*\[device\]' "$ini" || true)
  installed=$(grep -c -E '^ROOT.TARNPWR.[0-9]{4} ' "$logs/install.out" || true)
  ((installed == wanted)) || fail "$installed of $wanted devices installed" "$logs/install.out"
}

# Timing of a check's steps: `step TEXT` closes the previous step with its
# duration and announces the next; `elapsed SINCE` gives seconds since a
# `date +%s.%N` value. The caller sets started_at and step_started_at first.
elapsed() { awk -v now="$(date +%s.%N)" -v then="$1" 'BEGIN { printf "%.1f", now - then }'; }

step() {
  [[ "$step_started_at" != "$started_at" ]] && echo "    ($(elapsed "$step_started_at") s)"
  step_started_at=$(date +%s.%N)
  echo "==> $*"
}

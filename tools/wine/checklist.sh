# The bookkeeping of a Wine check that lists each result as it goes ("ok" or
# "FAIL") and ends with "NAME: N passed, M failed", and the service status
# helpers such checks share. Sourced after
# service-prefix.sh; the script sets check_name, service, wine_log and,
# optionally, trace_lines (how much of the Wine log a failure shows).

passed=0
failed=0
started=$SECONDS

pass() {
  passed=$((passed + 1))
  echo "  ok    $1"
}

fail() {
  failed=$((failed + 1))
  echo "  FAIL  $1"
  [[ -n "${2:-}" ]] && sed 's/^/          /' <<<"$2"
  return 0
}

# check DESCRIPTION COMMAND...: passes when COMMAND succeeds.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what" "${detail:-}"; fi
  detail=
}

# abort REASON: stops the check where going on would only repeat the failure.
abort() {
  fail "$1" "${2:-}"
  finish
}

finish() {
  if ((failed)); then
    echo "== status of $service"
    wine sc query "$service" 2>&1 | sed 's/^/   /'
    echo "== last lines of $wine_log (Wine and the service's trace)"
    grep -v 'nodrv_CreateWindow\|initialize_systray' "$wine_log" 2>/dev/null | tail -n "${trace_lines:-60}" | sed 's/^/   /'
  fi
  tarn_wine_stop_server
  echo "$check_name took $((SECONDS - started)) s"
  echo "$check_name: $passed passed, $failed failed"
  ((failed == 0))
  exit
}

windows_path() { winepath -w "$1" 2>/dev/null; }

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

exit_codes_are() {
  [[ "$(field WIN32_EXIT_CODE)" == "$1" && "$(field SERVICE_EXIT_CODE)" == "$2" ]] && return 0
  detail=$status
  return 1
}

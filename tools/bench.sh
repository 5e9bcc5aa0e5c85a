#!/usr/bin/env bash
# The benchmark of the service on the Linux stand-in, in one run, side by side:
#   - instructions per local cycle, service against a minimal loop (callgrind),
#     in all and without the driver and the path mapping of the stand-in;
#   - system calls per row (strace), service against the minimal loop, and per
#     tick in the real service process (control 128 sent by tarn-sc);
#   - one rotation of the local log with 1k, 10k and 100k foreign entries;
#   - what flushing a full file to the disk adds to a rotation, and to a row;
#   - private memory after 10^4 cycles;
#   - how late the ticks of a periodic timer start.
# Builds tarn-bench, tarnsvc and tarn-sc of the default preset first.
#
#   tools/bench.sh            the full run (a few minutes)
#   tools/bench.sh --smoke    seconds: checks that every measurement runs, with
#                             small counts and without callgrind
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/bench-options.sh
tarn_bench_options tools/bench.sh "$@"

if [[ ! -f build/default/build.ninja ]]; then cmake --preset default >/dev/null; fi
cmake --build --preset default --target tarn-bench tarnsvc tarn-sc >/dev/null

bench=build/default/bench/tarn-bench
tarnsvc=$PWD/build/default/qorlogsvc/model/service/tarnsvc
tarnsc=$PWD/build/default/tools/tarn-sc/tarn-sc
work=$(mktemp -d /tmp/tarn-bench-run-XXXXXX)
service_machine=""
cleanup() {
  if [[ -n "$service_machine" ]]; then
    TARN_MACHINE=$service_machine "$tarnsc" stop TarnSvc >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if ((smoke)); then
  cycles=20; strace_cycles=20; ticks_sent=5; rotation_sizes="1000"; rotation_repeat=3; flush_repeat=1
  memory_cycles=500; tick_period=50; tick_count=5
else
  cycles=500; strace_cycles=200; ticks_sent=50; rotation_sizes="1000 10000 100000"; rotation_repeat=5; flush_repeat=9
  memory_cycles=10000; tick_period=100; tick_count=50
fi

value() { awk -v key="$1" '$1 == key { print $2 }' "$2"; }

echo "# Tarn benchmark ($(date -u +%Y-%m-%dT%H:%MZ), $(git rev-parse --short HEAD 2>/dev/null || echo unknown))"
echo "machine: $(uname -srm); $(lscpu | sed -n 's/^Model name: *//p' | sed -n 1p); $(nproc) CPUs"
echo

# --- instructions per local cycle --------------------------------------------
# Inclusive cost of the two stand-in entry points that the issue leaves out of
# "own code": the driver (DeviceIoControl) and the path mapping (MapWindowsPath).
# callgrind_annotate lists a function as a whole and once more per header whose
# code was inlined into it (those parts are included in the whole), sorted by
# cost: the first line that names a function is its inclusive cost. Summed over
# the functions the pattern names (none of which calls another).
inclusive_of() {  # function-name-pattern annotate-output
  awk -v pattern="$1" '/^ *[0-9,]+ +\( *[0-9.]+%\) / && $0 ~ pattern {
      name = $0; sub(/^[^)]*\) +[^:]*:/, "", name); sub(/\(.*/, "", name)
      if (seen[name]++) next
      ir = $1; gsub(",", "", ir); sum += ir }
    END { print sum + 0 }' "$2"
}
if ((smoke == 0)) && command -v valgrind >/dev/null; then
  echo "## Instructions per local cycle (callgrind, $cycles cycles, 22 devices)"
  printf '| | total | DeviceIoControl | path mapping | own code |\n|---|---|---|---|---|\n'
  declare -A total_of own_of
  for which in service minimal; do
    symbol=TarnBench${which^}Cycle
    valgrind --tool=callgrind --toggle-collect="$symbol" --callgrind-out-file="$work/callgrind.$which" \
      "$bench" cycle "$which" "$cycles" >/dev/null 2>"$work/valgrind.$which.log"
    callgrind_annotate --inclusive=yes --threshold=100 "$work/callgrind.$which" >"$work/annotate.$which"
    total=$(awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1; exit }' "$work/annotate.$which")
    driver=$(inclusive_of ':DeviceIoControl\\(' "$work/annotate.$which"); driver=${driver:-0}
    mapping=$(inclusive_of ':tarn::sim::MapWindowsPath' "$work/annotate.$which"); mapping=${mapping:-0}
    own=$((total - driver - mapping))
    printf '| %s | %d | %d | %d | %d |\n' "$which" $((total / cycles)) $((driver / cycles)) $((mapping / cycles)) \
      $((own / cycles))
    total_of[$which]=$total own_of[$which]=$own
  done
  awk -v st="${total_of[service]}" -v mt="${total_of[minimal]}" -v so="${own_of[service]}" -v mo="${own_of[minimal]}" \
    'BEGIN { printf "\nservice / minimal: total %.2fx, own code %.2fx (goal: own code <= 1.5x)\n", st / mt, so / mo }'
  echo
  echo "the service cycle's costliest functions (inclusive instructions per cycle):"
  awk -v n="$cycles" '/^ *[0-9,]+ +\( *[0-9.]+%\) / && !/PROGRAM TOTALS|libc-start|below main|:main |TarnBench|\?\?\?/ {
      ir = $1; gsub(",", "", ir); name = $0; sub(/^[^)]*\) +/, "", name); sub(/^[^:]*:/, "", name); sub(/\(.*/, "", name)
      if (seen[name]++ || shown >= 16) next
      printf "  %8d %s\n", ir / n, name; shown++ }' "$work/annotate.service"
  echo
fi

# --- system calls per row -----------------------------------------------------
count_between() {  # begin-marker end-marker strace-output
  awk -v begin="/tarn-bench/$1" -v end="/tarn-bench/$2" '
    index($0, begin) { inside = 1; next }
    index($0, end) { inside = 0 }
    inside && !/resumed>/ && !/^[0-9]+ +(\+\+\+|---)/ { n++ }
    END { print n + 0 }' "$3"
}
breakdown_between() {
  awk -v begin="/tarn-bench/$1" -v end="/tarn-bench/$2" -v cycles="$4" '
    index($0, begin) { inside = 1; next }
    index($0, end) { inside = 0 }
    inside && !/resumed>/ && !/^[0-9]+ +(\+\+\+|---)/ {
      line = $0; sub(/^[0-9]+ +/, "", line); sub(/\(.*/, "", line); calls[line]++ }
    END { for (c in calls) printf "%s %.1f, ", c, calls[c] / cycles; print "" }' "$3"
}
if command -v strace >/dev/null; then
  echo "## System calls (strace)"
  strace -f -o "$work/strace.cycles" "$bench" syscalls "$strace_cycles" >/dev/null
  service_calls=$(count_between service-begin service-end "$work/strace.cycles")
  minimal_calls=$(count_between minimal-begin minimal-end "$work/strace.cycles")
  awk -v s="$service_calls" -v m="$minimal_calls" -v n="$strace_cycles" \
    'BEGIN { printf "per local cycle (row): service %.1f, minimal loop %.1f\n", s / n, m / n }'
  echo "  service: $(breakdown_between service-begin service-end "$work/strace.cycles" "$strace_cycles")"
  echo "  minimal: $(breakdown_between minimal-begin minimal-end "$work/strace.cycles" "$strace_cycles")"

  # The real service process: control 128 through the service control manager,
  # the status report included.
  service_machine=$work/machine
  mkdir -p "$service_machine"
  cp tools/demo-machine/driver.ini "$service_machine/"
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvessan\\Tarn]\r\n"LogPeriodMs"=dword:0036ee80\r\n"UploadLogPeriodMs"=dword:0036ee80\r\n"LogFileSizeByte"=dword:7fffffff\r\n' \
    >"$service_machine/registry.reg"
  export TARN_MACHINE=$service_machine
  "$tarnsc" create TarnSvc binPath= "$tarnsvc" >/dev/null
  "$tarnsc" start TarnSvc >/dev/null
  for _ in 1 2 3; do "$tarnsc" control TarnSvc 128 >/dev/null; done
  pid=$("$tarnsc" queryex TarnSvc 2>/dev/null | awk '/PID/ { print $3 }')
  strace_pid=""
  if [[ -n "$pid" ]]; then
    strace -f -p "$pid" -o "$work/strace.service" 2>/dev/null &
    strace_pid=$!
    sleep 1
  fi
  if [[ -n "$strace_pid" ]] && kill -0 "$strace_pid" 2>/dev/null; then
    for ((i = 0; i < ticks_sent; i++)); do "$tarnsc" control TarnSvc 128 >/dev/null; done
    sleep 0.5
    kill -INT "$strace_pid" 2>/dev/null || true
    wait "$strace_pid" 2>/dev/null || true
    awk -v n="$ticks_sent" '!/resumed>/ && !/^[0-9]+ +(\+\+\+|---)/ {
        line = $0; sub(/^[0-9]+ +/, "", line); sub(/\(.*/, "", line); calls[line]++; total++ }
      END { printf "per tick in the service process (control 128 from tarn-sc): %.1f\n  ", total / n
            for (c in calls) printf "%s %.1f, ", c, calls[c] / n; print "" }' "$work/strace.service"
  else
    echo "per tick in the service process: not measured (no process id, or strace cannot attach)"
  fi
  "$tarnsc" stop TarnSvc >/dev/null || true
  service_machine=""
  unset TARN_MACHINE
  echo
fi

# --- rotation -----------------------------------------------------------------
echo "## One local rotation with foreign entries in the folder (median of $rotation_repeat, wall clock and CPU)"
echo "(warm: the folder as the stand-in left it; cold: another program added a file since the last look)"
for entries in $rotation_sizes; do
  for kind in warm cold; do
    "$bench" rotation "$entries" "$rotation_repeat" ${kind/warm/} >"$work/rotation"
    printf '%7d entries, %s: median %s ms (min %s, max %s), median CPU %s ms\n' "$entries" "$kind" \
      "$(value median_ms "$work/rotation")" "$(value min_ms "$work/rotation")" "$(value max_ms "$work/rotation")" \
      "$(value median_cpu_ms "$work/rotation")"
  done
done
echo

# --- flush to the disk --------------------------------------------------------
echo "## What flushing to the disk costs a rotation (file of the default limit, median of $flush_repeat)"
"$bench" flush 620000 "$flush_repeat" >"$work/flush"
printf 'rotation of a file written within the second: %s ms; of one already on the disk: %s ms; flush: %s ms\n' \
  "$(value dirty_median_ms "$work/flush")" "$(value clean_median_ms "$work/flush")" "$(value flush_cost_ms "$work/flush")"
printf 'a row that is flushed (one a second at most): %s ms\n' "$(value row_with_flush_median_ms "$work/flush")"
echo

# --- memory -------------------------------------------------------------------
echo "## Private memory of the benchmark process running the service"
"$bench" memory "$memory_cycles" >"$work/memory"
echo "after 100 cycles: $(value private_kib_after_100 "$work/memory") KiB private" \
  "($(value rss_anon_kib_after_100 "$work/memory") KiB anonymous)"
echo "after $memory_cycles cycles: $(value private_kib_after_n "$work/memory") KiB private" \
  "($(value rss_anon_kib_after_n "$work/memory") KiB anonymous)"
echo

# --- tick timing --------------------------------------------------------------
echo "## Tick timing (stand-in timer queue, period $tick_period ms, $tick_count ticks, a service cycle per tick)"
"$bench" ticks "$tick_period" "$tick_count" >"$work/ticks"
echo "ticks $(value ticks "$work/ticks"): mean |error| $(value mean_abs_error_ms "$work/ticks") ms," \
  "max $(value max_abs_error_ms "$work/ticks") ms, last tick $(value last_tick_error_ms "$work/ticks") ms"

#!/usr/bin/env bash
# The benchmark of tarnlog on a generated fleet, side by side with a DuckDB peer:
#   - summary --json, export --long and check over 10 machines of 20k local
#     rows of 22 interfaces each (about 167 MB), one process on one core;
#   - the peer on the same files in the same run: DuckDB (@duckdb/node-api,
#     installed with npm into a temporary folder, nothing of it kept) on one
#     thread, reading every file with read_csv and computing per machine and
#     interface the samples, first and last time and the mean rates;
#   - summary and export over 100 such machines, for the peak memory.
# Rates are the input's megabytes over wall time and over CPU time (user +
# system): on a shared machine the CPU figure is the one that counts.
#
#   tools/bench-tarnlog.sh           the full run (a few minutes, 1.8 GB in a temporary folder)
#   tools/bench-tarnlog.sh --smoke   seconds: 2 small machines, every command, no peer
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/bench-options.sh
tarn_bench_options tools/bench-tarnlog.sh "$@"

work=$(mktemp -d /tmp/tarnlog-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
python=/usr/bin/python3
measure() { "$python" analysis/bench/measure.py "$@"; }
size() { du -sb --apparent-size "$1" | cut -f1; }

echo "# tarnlog benchmark ($(date -u +%Y-%m-%dT%H:%MZ), $(git rev-parse --short HEAD 2>/dev/null || echo unknown))"
echo "machine: $(uname -srm); $(lscpu | sed -n 's/^Model name: *//p' | sed -n 1p); $(nproc) CPUs; load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"

if ((smoke)); then fleets="2:2000"; else fleets="10:20000 100:20000"; fi
peer=""
if ((!smoke)) && command -v node >/dev/null && command -v npm >/dev/null; then
  if npm install --prefix "$work/peer" --no-audit --no-fund --silent @duckdb/node-api >/dev/null 2>&1; then
    cp analysis/bench/duckdb_peer.mjs "$work/peer/"
    peer="$work/peer/duckdb_peer.mjs"
    echo "peer: DuckDB $(node -p "require('$work/peer/node_modules/@duckdb/node-bindings/package.json').version" 2>/dev/null || echo '?') through @duckdb/node-api, one thread"
  fi
fi
[[ -n "$peer" ]] || echo "peer: not measured (--smoke, or no node/npm, or npm could not install @duckdb/node-api)"

for fleet in $fleets; do
  machines=${fleet%%:*}; rows=${fleet##*:}
  folder="$work/fleet$machines"
  "$python" analysis/bench/fleet.py "$folder" "$machines" "$rows"
  bytes=$(size "$folder")
  echo
  echo "## $machines machines x $rows local rows of 22 interfaces: $((bytes / 1000000)) MB in $(find "$folder" -type f | wc -l) files"
  printf "%-28s %8s %8s %9s %10s %10s\n" command wall_s cpu_s peak_MiB MB/s_wall MB/s_cpu
  measure "tarnlog summary --json" "$bytes" tools/tarnlog summary --json "$folder"
  if [[ -n "$peer" ]]; then
    mapfile -t files < <(find "$folder" -name '*.csv' | sort)
    if ((${#files[@]} < 4000)); then  # the peer takes the files on its command line
      measure "DuckDB peer" "$bytes" node "$peer" 22 "${files[@]}"
    fi
  fi
  measure "tarnlog export --long" "$bytes" tools/tarnlog export --long "$work/long.csv" "$folder"
  echo "  (export wrote $(($(stat -c %s "$work/long.csv") / 1000000)) MB)"
  rm -f "$work/long.csv"
  if ((machines <= 10)); then measure "tarnlog check" "$bytes" tools/tarnlog check "$folder"; fi
  rm -rf "$folder"
done
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

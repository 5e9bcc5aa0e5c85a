// The benchmark's peer: DuckDB (npm package @duckdb/node-api, installed by
// tools/bench-tarnlog.sh into a temporary folder) on one thread, reading every
// local log file with read_csv and computing per machine and interface the
// samples, the first and last time and the mean rates of both readings.
// Usage: node duckdb_peer.mjs INTERFACES FILE...  (prints result rows and seconds)
import { DuckDBInstance } from "@duckdb/node-api";

const interfaces = Number(process.argv[2]);
const files = process.argv.slice(3);
const quoted = (text) => "'" + text.replaceAll("'", "''") + "'";

const columns = ["'stamp': 'VARCHAR'"];
const groups = [];
for (let k = 1; k <= interfaces; k++) {
  columns.push(`'id${k}': 'VARCHAR'`, `'ra${k}': 'VARCHAR'`, `'rb${k}': 'VARCHAR'`);
  groups.push(`(id${k}, ra${k}, rb${k}) AS i${k}`);
}

// reading1 comes before reading0 in a row; readings are 16 hex digits.
const sql = `
WITH raw AS (
  SELECT regexp_extract(filename, '([^/]+)/[^/]+$', 1) AS machine,
         epoch(strptime(stamp, '%Y%m%dT%H%M%S%z')) AS t, * EXCLUDE (filename, stamp)
  FROM read_csv([${files.map(quoted).join(", ")}], header = false, skip = 1, delim = ',',
                auto_detect = false, filename = true, columns = {${columns.join(", ")}})
), entries AS (
  UNPIVOT raw ON ${groups.join(", ")} INTO NAME interface VALUE id, reading1, reading0
), readings AS (
  SELECT machine, interface, id, t, ('0x' || reading0)::UBIGINT AS r0, ('0x' || reading1)::UBIGINT AS r1
  FROM entries
)
SELECT machine, interface, id, count(*) AS samples, min(t) AS first, max(t) AS last,
       (arg_max(r0, t)::HUGEINT - arg_min(r0, t)::HUGEINT) / nullif(max(t) - min(t), 0) AS rate0,
       (arg_max(r1, t)::HUGEINT - arg_min(r1, t)::HUGEINT) / nullif(max(t) - min(t), 0) AS rate1
FROM readings GROUP BY machine, interface, id ORDER BY machine, interface, id`;

const started = process.hrtime.bigint();
const instance = await DuckDBInstance.create(":memory:", { threads: "1" });
const connection = await instance.connect();
const reader = await connection.runAndReadAll(sql);
const rows = reader.getRows();
const seconds = Number(process.hrtime.bigint() - started) / 1e9;
console.log(`${rows.length} ${seconds.toFixed(3)}`);
if (process.env.PEER_SHOW) console.log(rows.slice(0, 3).map((r) => r.map(String).join(" ")).join("\n"));

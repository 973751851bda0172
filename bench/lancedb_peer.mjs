// LanceDB peer of the "db" suite, driven by bench/database.py.
//
//   node lancedb_peer.mjs DATA_FILE WORK_DIR OPTIONS_JSON
//
// DATA_FILE: little-endian u32 n, u32 dim, u32 n_queries, then the n x dim
// float32 base rows and the n_queries x dim float32 queries. Row i gets id i
// and the payload columns cat = i % 10, price = ((i * 7919) % 10000) / 100,
// tag = "tag" + (i % 37), as database.py gives its own rows.
// WORK_DIR: an empty directory for the table. OPTIONS_JSON: batch, k,
// exact_queries, index_queries, filtered_queries, filter_cat, upserts,
// reopen_repeats, hnsw (options of Index.hnswSq), ef (query beam, or null);
// or, for the "filter" suite, mode "filter" with r_file, bounds, batch, k,
// exact_queries and index_queries (see that mode below).
//
// Prints one JSON object: timings in seconds, QPS, per-call upsert latencies,
// and the ids each timed search returned (recall is scored in Python).
import * as fs from "node:fs";
import { createRequire } from "node:module";
import { performance } from "node:perf_hooks";

// LanceDB loads Arrow as CommonJS and checks tables with instanceof: build
// them with that same copy, not with the ES module build.
const require = createRequire(import.meta.url);
const arrow = require("apache-arrow");
const lancedb = require("@lancedb/lancedb");

const [dataFile, workDir, optionsJson] = process.argv.slice(2);
const opt = JSON.parse(optionsJson);

const raw = fs.readFileSync(dataFile);
const head = new Uint32Array(raw.buffer, raw.byteOffset, 3);
const [n, dim, nq] = head;
const floats = new Float32Array(raw.buffer.slice(raw.byteOffset + 12, raw.byteOffset + 12 + (n + nq) * dim * 4));
const base = floats.subarray(0, n * dim);
const queries = floats.subarray(n * dim);
const query = (i) => queries.slice(i * dim, (i + 1) * dim);

// Payload columns for every row, made before any clock starts.
const cats = new Int32Array(n);
const prices = new Float64Array(n);
const tags = new Array(n);
for (let i = 0; i < n; i++) {
  cats[i] = i % 10;
  prices[i] = ((i * 7919) % 10000) / 100;
  tags[i] = "tag" + (i % 37);
}

const vectorType = new arrow.FixedSizeList(dim, new arrow.Field("item", new arrow.Float32(), true));
const schema = new arrow.Schema([
  new arrow.Field("id", new arrow.Int32(), false),
  new arrow.Field("vector", vectorType, false),
  new arrow.Field("cat", new arrow.Int32(), false),
  new arrow.Field("price", new arrow.Float64(), false),
  new arrow.Field("tag", new arrow.Utf8(), false),
]);

// A table of rows [start, end) with ids `firstId` on; `rows` is the vector data.
function makeTable(start, end, firstId = start, rows = base.subarray(start * dim, end * dim)) {
  const len = end - start;
  const child = arrow.makeData({ type: new arrow.Float32(), length: len * dim, data: rows });
  const vectors = arrow.makeData({ type: vectorType, length: len, nullCount: 0, child });
  const ids = new Int32Array(len);
  for (let j = 0; j < len; j++) ids[j] = firstId + j;
  const tagVector = arrow.vectorFromArray(tags.slice(start, end), new arrow.Utf8());
  const children = [
    arrow.makeData({ type: new arrow.Int32(), length: len, data: ids }),
    vectors,
    arrow.makeData({ type: new arrow.Int32(), length: len, data: cats.slice(start, end) }),
    arrow.makeData({ type: new arrow.Float64(), length: len, data: prices.slice(start, end) }),
    tagVector.data[0],
  ];
  const struct = arrow.makeData({ type: new arrow.Struct(schema.fields), length: len, nullCount: 0, children });
  return new arrow.Table([new arrow.RecordBatch(schema, struct)]);
}

const columns = ["id", "cat", "price", "tag", "_distance"];

async function timedSearches(table, count, configure) {
  const ids = [];
  for (let i = 0; i < Math.min(3, count); i++) {
    await configure(table.vectorSearch(query(i))).toArray();  // warm up
  }
  const t = performance.now();
  for (let i = 0; i < count; i++) {
    const rows = await configure(table.vectorSearch(query(i))).toArray();
    ids.push(rows.map((r) => Number(r.id)));
  }
  const seconds = (performance.now() - t) / 1000;
  return { qps: count / seconds, seconds, queries: count, ids };
}

const out = { n, dim, version: "0.31.0" };

// The "filter" suite's mode: rows carry one integer column r (read from
// opt.r_file, u16 per row) and are searched with the prefilter `r < b` for
// each bound, first by an exact scan, then through an IVF_HNSW_SQ index.
if (opt.mode === "filter") {
  const rawR = fs.readFileSync(opt.r_file);
  const rs = new Int32Array(n);
  for (let i = 0; i < n; i++) rs[i] = rawR.readUInt16LE(2 * i);
  const fschema = new arrow.Schema([
    new arrow.Field("id", new arrow.Int32(), false),
    new arrow.Field("vector", vectorType, false),
    new arrow.Field("r", new arrow.Int32(), false),
  ]);
  const ftable = (start, end) => {
    const len = end - start;
    const child = arrow.makeData({ type: new arrow.Float32(), length: len * dim, data: base.subarray(start * dim, end * dim) });
    const vectors = arrow.makeData({ type: vectorType, length: len, nullCount: 0, child });
    const ids = new Int32Array(len);
    for (let j = 0; j < len; j++) ids[j] = start + j;
    const children = [
      arrow.makeData({ type: new arrow.Int32(), length: len, data: ids }),
      vectors,
      arrow.makeData({ type: new arrow.Int32(), length: len, data: rs.slice(start, end) }),
    ];
    const struct = arrow.makeData({ type: new arrow.Struct(fschema.fields), length: len, nullCount: 0, children });
    return new arrow.Table([new arrow.RecordBatch(fschema, struct)]);
  };
  const db = await lancedb.connect(workDir);
  let table = null;
  for (let start = 0; start < n; start += opt.batch) {
    const batch = ftable(start, Math.min(n, start + opt.batch));
    if (table === null) table = await db.createTable("filtered", batch);
    else await table.add(batch);
  }
  const cols = ["id", "r", "_distance"];
  out.exact = {};
  for (const b of opt.bounds) {
    out.exact[b] = await timedSearches(table, opt.exact_queries,
      (q) => q.distanceType("l2").limit(opt.k).select(cols).where(`r < ${b}`));
  }
  await table.createIndex("vector", { config: lancedb.Index.hnswSq({ distanceType: "l2" }) });
  out.indexed = {};
  for (const b of opt.bounds) {
    out.indexed[b] = await timedSearches(table, opt.index_queries,
      (q) => q.distanceType("l2").limit(opt.k).select(cols).where(`r < ${b}`));
  }
  table.close();
  db.close();
  process.stdout.write(JSON.stringify(out) + "\n");
  process.exit(0);
}

// Ingest: the same batches as the other runners, one add per batch.
{
  const t = performance.now();
  const db = await lancedb.connect(workDir);
  let table = null;
  for (let start = 0; start < n; start += opt.batch) {
    const batch = makeTable(start, Math.min(n, start + opt.batch));
    if (table === null) table = await db.createTable("vecs", batch);
    else await table.add(batch);
  }
  out.ingest_s = (performance.now() - t) / 1000;
  table.close();
  db.close();
}

// Reopen: a new connection, the table opened and its rows counted (lazy: no
// data is read until a query asks for it).
{
  let best = Infinity;
  for (let r = 0; r < opt.reopen_repeats; r++) {
    const t = performance.now();
    const db = await lancedb.connect(workDir);
    const table = await db.openTable("vecs");
    const count = await table.countRows();
    best = Math.min(best, (performance.now() - t) / 1000);
    if (count !== n) throw new Error(`reopened table holds ${count} rows, not ${n}`);
    table.close();
    db.close();
  }
  out.reopen_s = best;
}

const db = await lancedb.connect(workDir);
const table = await db.openTable("vecs");
const k = opt.k;

// Exact scan (no vector index yet).
out.exact = await timedSearches(table, opt.exact_queries,
  (q) => q.distanceType("l2").limit(k).select(columns));

// IVF_HNSW_SQ index, then approximate searches.
{
  const t = performance.now();
  await table.createIndex("vector", { config: lancedb.Index.hnswSq({ distanceType: "l2", ...opt.hnsw }) });
  out.index_build_s = (performance.now() - t) / 1000;
  const configure = (q) => {
    q = q.distanceType("l2").limit(k).select(columns);
    return opt.ef ? q.ef(opt.ef) : q;
  };
  out.hnsw_sq = await timedSearches(table, opt.index_queries, configure);
  out.hnsw_sq.params = { ...opt.hnsw, ef: opt.ef };
  // Prefiltered (the default): the filter is applied before the vector search.
  out.prefiltered = await timedSearches(table, opt.filtered_queries,
    (q) => configure(q).where(`cat = ${opt.filter_cat}`));
}

// Single-row upserts by id, one merge-insert each, of new ids.
{
  const latencies = [];
  const t = performance.now();
  for (let j = 0; j < opt.upserts; j++) {
    const row = makeTable(j, j + 1, n + j, base.subarray(j * dim, (j + 1) * dim));
    const s = performance.now();
    await table.mergeInsert("id").whenMatchedUpdateAll().whenNotMatchedInsertAll().execute(row);
    latencies.push((performance.now() - s) / 1000);
  }
  const seconds = (performance.now() - t) / 1000;
  out.upserts = { count: opt.upserts, per_s: opt.upserts / seconds, latencies };
}

table.close();
db.close();
process.stdout.write(JSON.stringify(out) + "\n");

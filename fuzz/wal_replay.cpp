// The write-ahead log on damaged input: the in-memory replay, and a whole
// Collection::open of a directory whose "wal.log" is the input. The first byte
// picks the directory: even for a flat collection, odd for a graph collection
// whose "hnsw.graph" checkpoint was saved by a compaction, so that the open
// takes it over when the log begins with the compacted log's bytes. The rest
// is the log.
//
// The collection after the open must hold what the in-memory replay of the
// same bytes says: the live ids with the vector bits of their last record, and
// the payloads and sparse vectors the records leave (see expect()).
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "core/collection/collection.h"
#include "core/index/hnsw.h"
#include "harness.h"
#include "hnsw_bound.h"

namespace kovra::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kDims = 4;

UpsertItem item(VectorId id, std::vector<float> vector, const char* payload, std::optional<SparseVector> sparse) {
  UpsertItem it;
  it.id = id;
  it.vector = std::move(vector);
  if (payload) {
    auto value = parse_json_text(payload);
    if (!value) std::abort();
    it.payload = std::move(*value);
  }
  it.sparse = std::move(sparse);
  it.prepare();
  return it;
}

std::vector<float> row(size_t i) {
  std::vector<float> all = sample_rows(i + 1, kDims);
  return std::vector<float>(all.end() - kDims, all.end());
}

void must(const Status& s) {
  if (!s) std::abort();
}

std::unique_ptr<Collection> create(const std::string& name, IndexType type) {
  auto c = Collection::create(work_dir(), name, kDims, Metric::L2, type);
  if (!c) std::abort();
  return std::move(*c);
}

// Upsert `id` of the graph collection's content, with a payload on some ids
// and a sparse vector on others.
void upsert_graph_base(Collection& c, VectorId id) {
  static const char* const kPayloads[] = {R"({"tag":"a","n":1})", R"({"n":2.5,"x":{"y":[1,null]}})", nullptr};
  std::optional<SparseVector> sparse;
  if (id % 2 == 0) sparse = SparseVector{{1, static_cast<uint32_t>(id + 2)}, {0.5f, -1.0f}};
  must(c.upsert(item(id, row(id), kPayloads[id % 3], std::move(sparse))));
}

// The graph collection's content at its compaction: ids 0..7 less 5.
void fill_graph_base(Collection& c) {
  for (VectorId id = 0; id < 8; ++id) upsert_graph_base(c, id);
  if (!c.remove(5)) std::abort();
}

std::vector<uint8_t> read_log(const std::string& dir, uint8_t selector) {
  std::ifstream in(dir + "/wal.log", std::ios::binary);
  std::vector<uint8_t> out{selector};
  out.insert(out.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return out;
}

struct Dirs {
  std::string flat;
  std::string graph;
};

// Made once per process: an empty flat collection, and a graph collection
// compacted after fill_graph_base. Both are closed; each input replaces only
// their "wal.log".
const Dirs& dirs() {
  static const Dirs d = [] {
    Dirs out;
    out.flat = create("flat", IndexType::Flat)->dir();
    auto graph = create("graph", IndexType::Hnsw);
    fill_graph_base(*graph);
    must(graph->compact());
    out.graph = graph->dir();
    if (!fs::exists(out.graph + "/hnsw.graph")) std::abort();
    return out;
  }();
  return d;
}

void write_log(const std::string& dir, std::span<const uint8_t> log) {
  std::ofstream out(dir + "/wal.log", std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(log.data()), static_cast<std::streamsize>(log.size()));
  out.close();
  if (!out) std::abort();
}

struct Expected {
  std::map<VectorId, std::vector<float>> live;
  std::map<VectorId, JsonValue> payloads;
  std::map<VectorId, SparseVector> sparse;
  uint64_t graph_adds = 0;  // vectors a graph would insert: at most one new slot each
  WalReplayStats stats;
};

// What replaying `log` into a collection of `graph` kind must leave: an Add
// replaces the id's vector (dropped when the index refuses it), sets or clears
// its payload (one that does not parse leaves the old one) and sets its sparse
// vector when that decodes; a Delete removes all three.
Expected expect(std::span<const uint8_t> log, bool graph) {
  Expected e;
  e.stats = replay_wal_bytes(log, [&](const WalEntryView& v) {
    e.live.erase(v.id);
    if (!v.is_add) {
      e.payloads.erase(v.id);
      e.sparse.erase(v.id);
      return;
    }
    if (!v.payload) {
      e.payloads.erase(v.id);
    } else if (auto value = parse_json_text(*v.payload)) {
      e.payloads.insert_or_assign(v.id, std::move(*value));
    }
    if (v.sparse) {
      if (auto sv = sparse_from_bytes(*v.sparse)) e.sparse.insert_or_assign(v.id, std::move(*sv));
    }
    if (v.vector.size() != kDims) return;
    if (graph) ++e.graph_adds;
    e.live.emplace(v.id, std::vector<float>(v.vector.begin(), v.vector.end()));
  });
  if (e.stats.valid_end > log.size() || (!e.stats.torn && e.stats.valid_end != log.size())) std::abort();
  return e;
}

// Bitwise, so that a NaN equals itself.
bool same_bits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

void check(const Collection& c, const Expected& e) {
  if (c.count() != e.live.size()) std::abort();
  for (const auto& [id, vector] : c.index().iterate()) {
    auto it = e.live.find(id);
    if (it == e.live.end() || !same_bits(it->second, vector)) std::abort();
  }
  if (c.sparse_count() != e.sparse.size()) std::abort();
  for (const auto& [id, sv] : e.sparse) {
    const SparseVector* got = c.sparse().find(id);
    if (!got || got->indices != sv.indices || !same_bits(got->values, sv.values)) std::abort();
  }
  for (const auto& [id, value] : e.payloads) {
    const JsonValue* got = c.payload(id);
    if (!got || !json_equal(*got, value)) std::abort();
  }
  for (const auto& [id, vector] : e.live) {
    if (!e.payloads.contains(id) && c.payload(id)) std::abort();
  }
  exercise(c.index());
  static const FilterCondition filter = [] {
    auto f = parse_filter(*parse_json_text(R"({"$or":[{"tag":{"$eq":"a"}},{"x.y":{"$in":[[1,null]]}},{"n":{"$gte":2}}]})"));
    if (!f) std::abort();
    return std::move(*f);
  }();
  const std::vector<float> query(kDims, 0.25f);
  (void)c.search(query, 5, &filter);
  (void)c.search(query, 3, nullptr);
  (void)c.sparse().score(SparseVector{{1, 2, 4}, {1.0f, 2.0f, -0.5f}});
}

}  // namespace

void write_seeds(const Seeds& seeds) {
  {
    // Upserts with and without payloads and sparse vectors, an overwrite, a
    // delete of a stored and of an unknown id; then the same compacted.
    auto c = create("seed_flat", IndexType::Flat);
    must(c->upsert(item(1, row(1), R"({"tag":"a","n":3,"s":"x"})", std::nullopt)));
    must(c->upsert(item(2, row(2), nullptr, SparseVector{{0, 4, 9}, {1.0f, 0.25f, -2.0f}})));
    must(c->upsert(item(3, row(3), R"({"tag":"b","list":[1,-2,0.5,"q",true]})", SparseVector{{4}, {3.0f}})));
    must(c->upsert(item(1, row(4), R"({"tag":"c"})", std::nullopt)));
    std::vector<UpsertItem> batch;
    batch.push_back(item(10, row(5), R"({"deep":{"er":{"est":null}}})", std::nullopt));
    batch.push_back(item(11, row(6), nullptr, std::nullopt));
    must(c->upsert_batch(std::move(batch)));
    if (!c->remove(2) || !c->remove(99)) std::abort();
    seeds.bytes("flat-ops", read_log(c->dir(), 0));
    must(c->compact());
    seeds.bytes("flat-compacted", read_log(c->dir(), 0));
  }
  {
    // The log the graph collection is fuzzed with, and that log with records
    // after the compaction (taken over, then applied on top).
    auto c = create("seed_graph", IndexType::Hnsw);
    fill_graph_base(*c);
    must(c->compact());
    seeds.bytes("graph-compacted", read_log(c->dir(), 1));
    must(c->upsert(item(20, row(9), R"({"n":7})", std::nullopt)));
    must(c->upsert(item(3, row(10), nullptr, SparseVector{{2}, {1.0f}})));
    if (!c->remove(0)) std::abort();
    seeds.bytes("graph-extended", read_log(c->dir(), 1));
  }
  {
    // The saved graph's first nodes, then a record that differs from it:
    // the open gives the saved graph up part-way.
    auto c = create("seed_graph_diverging", IndexType::Hnsw);
    for (VectorId id = 0; id < 3; ++id) upsert_graph_base(*c, id);
    must(c->upsert(item(3, row(12), nullptr, std::nullopt)));
    seeds.bytes("graph-diverging", read_log(c->dir(), 1));
  }
}

void fuzz_one(std::span<const uint8_t> data) {
  const bool graph = !data.empty() && data[0] % 2 == 1;
  std::span<const uint8_t> log = data.empty() ? data : data.subspan(1);
  const Expected e = expect(log, graph);
  if (data.empty()) return;
  // A graph's storage grows by one slot per node (see hnsw_bound.h).
  if (graph && graph_bytes(e.graph_adds, kDims, 2 * HnswConfig{}.m) > kMaxGraphBytes) return;

  const std::string& dir = graph ? dirs().graph : dirs().flat;
  write_log(dir, log);
  auto c = Collection::open(dir);
  if (!c) std::abort();  // only an unreadable directory fails the open
  check(**c, e);
  // Closed with its log closed: no checkpoint of this input replaces the
  // directory's own.
  must((*c)->close_log());
  c->reset();
  // The open cuts a torn tail off.
  if (fs::file_size(dir + "/wal.log") != e.stats.valid_end) std::abort();
}

}  // namespace kovra::fuzz

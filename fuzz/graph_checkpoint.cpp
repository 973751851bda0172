// Collection::open of a graph collection whose "hnsw.graph" is the input: a
// checkpoint, torn, damaged, bound to another log prefix or to none. The log
// is fixed; whatever the checkpoint file holds, the opened collection must be
// exactly what the log says (live ids with the vector bits of their last
// record, and their payloads).
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "core/collection/collection.h"
#include "harness.h"

namespace kovra::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kDims = 4;

UpsertItem item(VectorId id, size_t row_index, const char* payload) {
  std::vector<float> all = sample_rows(row_index + 1, kDims);
  UpsertItem it;
  it.id = id;
  it.vector.assign(all.end() - kDims, all.end());
  if (payload) it.payload = *parse_json_text(payload);
  it.prepare();
  return it;
}

void must(bool ok) {
  if (!ok) std::abort();
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) std::abort();
}

// A graph collection in `name`: 12 vectors, a checkpoint (returned), then an
// overwrite, a delete and two more vectors past it. Closed with its log
// closed, so no later checkpoint replaces the returned one.
std::vector<uint8_t> build(const std::string& name) {
  auto c = std::move(*Collection::create(work_dir(), name, kDims, Metric::L2, IndexType::Hnsw));
  for (VectorId id = 0; id < 12; ++id) must(bool(c->upsert(item(id, id, id % 2 ? R"({"n":1})" : nullptr))));
  must(bool(c->checkpoint()));
  std::vector<uint8_t> checkpoint = read_file(c->dir() + "/hnsw.graph");
  must(bool(c->upsert(item(3, 20, R"({"n":3})"))));
  must(bool(c->remove(5)));
  must(bool(c->upsert(item(40, 21, nullptr))));
  must(bool(c->upsert(item(41, 22, R"([1,2])"))));
  must(bool(c->close_log()));
  return checkpoint;
}

struct Fixed {
  std::string dir;
  std::map<VectorId, std::vector<float>> live;
  std::map<VectorId, std::string> payloads;
};

const Fixed& fixed() {
  static const Fixed f = [] {
    Fixed out;
    build("graph");
    out.dir = work_dir() + "/graph";
    auto log = read_file(out.dir + "/wal.log");
    replay_wal_bytes(log, [&](const WalEntryView& e) {
      out.live.erase(e.id);
      out.payloads.erase(e.id);
      if (!e.is_add) return;
      out.live[e.id].assign(e.vector.begin(), e.vector.end());
      if (e.payload) out.payloads[e.id] = to_compact_json(*parse_json_text(*e.payload));
    });
    return out;
  }();
  return f;
}

}  // namespace

void write_seeds(const Seeds& seeds) {
  // The checkpoint that matches the fixed log's prefix, one of another
  // collection, and the graph record alone (no binding).
  std::vector<uint8_t> good = build("seed_good");
  seeds.bytes("checkpoint", good);
  auto other = std::move(*Collection::create(work_dir(), "seed_other", kDims, Metric::L2, IndexType::Hnsw));
  for (VectorId id = 0; id < 5; ++id) must(bool(other->upsert(item(id, 30 + id, nullptr))));
  must(bool(other->checkpoint()));
  seeds.bytes("checkpoint-other", read_file(other->dir() + "/hnsw.graph"));
  seeds.bytes("graph-only", std::span<const uint8_t>(good.data(), good.size() - kCheckpointTrailerSize));
}

void fuzz_one(std::span<const uint8_t> data) {
  const Fixed& f = fixed();
  write_file(f.dir + "/hnsw.graph", data);
  auto opened = Collection::open(f.dir);
  if (!opened) std::abort();
  Collection& c = **opened;
  if (c.count() != f.live.size()) std::abort();
  for (const auto& [id, vector] : c.index().iterate()) {
    auto it = f.live.find(id);
    if (it == f.live.end() || std::memcmp(it->second.data(), vector.data(), kDims * sizeof(float)) != 0)
      std::abort();
    const JsonValue* p = c.payload(id);
    auto want = f.payloads.find(id);
    if ((p != nullptr) != (want != f.payloads.end())) std::abort();
    if (p && to_compact_json(*p) != want->second) std::abort();
  }
  (void)c.search(std::vector<float>(kDims, 0.5f), 5, nullptr);
  // Closing with the log closed keeps this input's file from being replaced.
  must(bool(c.close_log()));
}

}  // namespace kovra::fuzz

// Graph checkpoints at open: taken over only when the log still begins with
// the bytes the checkpoint was taken after, and whatever the files hold, the
// opened collection is exactly what its log says. And the compaction check:
// the log is rewritten only once its dead records reach its live vectors.
#include "core/collection/checkpoint.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/snapshot.h"
#include "core/io/file.h"
#include "core/io/hash.h"
#include "testutil.h"

namespace kovra {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kDims = 4;

UpsertItem item(VectorId id, uint32_t seed, const char* payload = nullptr) {
  UpsertItem it;
  it.id = id;
  it.vector = testutil::random_block(1, kDims, seed);
  if (payload) it.payload = *parse_json_text(payload);
  it.prepare();
  return it;
}

// What a collection opened from `log` must hold: the last vector of every
// live id, bit for bit, and its payload.
struct LogState {
  std::map<VectorId, std::vector<float>> vectors;
  std::map<VectorId, std::string> payloads;  // compact JSON
};

LogState state_of_log(const std::string& path) {
  LogState s;
  auto bytes = io::read_whole_file(path);
  EXPECT_TRUE(bytes);
  replay_wal_bytes(*bytes, [&](const WalEntryView& e) {
    s.vectors.erase(e.id);
    s.payloads.erase(e.id);
    if (!e.is_add) return;
    if (e.vector.size() == kDims) s.vectors[e.id].assign(e.vector.begin(), e.vector.end());
    if (e.payload) s.payloads[e.id] = to_compact_json(*parse_json_text(*e.payload));
  });
  return s;
}

LogState state_of(const Collection& c) {
  LogState s;
  for (auto& [id, vector] : c.index().iterate()) {
    s.vectors[id] = vector;
    if (const JsonValue* p = c.payload(id)) s.payloads[id] = to_compact_json(*p);
  }
  return s;
}

bool operator==(const LogState& a, const LogState& b) {
  if (a.payloads != b.payloads || a.vectors.size() != b.vectors.size()) return false;
  for (const auto& [id, v] : a.vectors) {
    auto it = b.vectors.find(id);
    if (it == b.vectors.end() || std::memcmp(v.data(), it->second.data(), v.size() * sizeof(float)) != 0)
      return false;
  }
  return true;
}

class CheckpointTest : public ::testing::Test {
 public:
  void SetUp() override {
    root_ = ::testing::TempDir() + "kovra_checkpoint_" + std::to_string(::getpid());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string dir(const char* name = "c") const { return root_ + "/" + name; }
  std::string file(const char* f, const char* name = "c") const { return dir(name) + "/" + f; }
  std::unique_ptr<Collection> open(const char* name = "c") {
    auto c = Collection::open(dir(name));
    EXPECT_TRUE(c);
    return c ? std::move(*c) : nullptr;
  }

  // Collection "c": 200 vectors with payloads, then overwrites and deletes,
  // a rewrite of the log, more writes and a normal close (checkpoint at
  // close), then a tail written by a process that died before closing (no
  // checkpoint for it). Copies of the graph files along the way are kept.
  void build() {
    auto c = std::move(*Collection::create(root_, "c", kDims, Metric::L2, IndexType::Hnsw));
    std::vector<UpsertItem> batch;
    for (VectorId id = 0; id < 200; ++id) batch.push_back(item(id, 1000 + id, id % 3 ? R"({"k":1})" : nullptr));
    ASSERT_TRUE(c->upsert_batch(std::move(batch)));
    ASSERT_TRUE(c->checkpoint());
    fs::copy_file(file("hnsw.graph"), root_ + "/graph-early");
    for (VectorId id = 0; id < 50; ++id) ASSERT_TRUE(c->upsert(item(id, 2000 + id, R"({"k":2})")));
    for (VectorId id = 50; id < 60; ++id) ASSERT_TRUE(c->remove(id));
    ASSERT_TRUE(c->compact());
    ASSERT_TRUE(create_snapshot(*c, "s"));
    for (VectorId id = 300; id < 320; ++id) ASSERT_TRUE(c->upsert(item(id, 3000 + id)));
    ASSERT_TRUE(c->remove(60));
    c.reset();  // a normal close: checkpoint of the whole log
    c = open();
    ASSERT_GT(c->checkpoint_mark().bytes, 0u);
    closed_mark_ = c->checkpoint_mark();
    for (VectorId id = 400; id < 410; ++id) ASSERT_TRUE(c->upsert(item(id, 4000 + id)));
    ASSERT_TRUE(c->upsert(item(5, 5005, R"({"k":5})")));
    ASSERT_TRUE(c->remove(6));
    ASSERT_TRUE(c->close_log());  // as if killed: the tail has no checkpoint
    c.reset();
    ASSERT_EQ(fs::file_size(file("wal.log")) > closed_mark_.bytes, true);

    // Another collection of the same shape, with other vectors.
    auto d = std::move(*Collection::create(root_, "d", kDims, Metric::L2, IndexType::Hnsw));
    for (VectorId id = 0; id < 250; ++id) ASSERT_TRUE(d->upsert(item(id, 9000 + id)));
  }

  std::string root_;
  LogMark closed_mark_;
};

void flip(const std::string& path, size_t at) {
  auto bytes = *io::read_whole_file(path);
  bytes.at(at) ^= 0x40;
  ASSERT_TRUE(io::write_whole_file(path, bytes));
}

void cut(const std::string& path, size_t size) { fs::resize_file(path, size); }

// Appends `extra` bytes to the graph record and rewrites the trailer so that
// its length and both digests vouch for the longer run: a file whose
// trailer holds, but whose record ends before the bytes it counts.
void pad_record(const std::string& path, size_t extra) {
  auto bytes = *io::read_whole_file(path);
  ASSERT_GE(bytes.size(), kCheckpointTrailerSize);
  const size_t record = bytes.size() - kCheckpointTrailerSize;
  std::vector<uint8_t> trailer(bytes.begin() + static_cast<std::ptrdiff_t>(record), bytes.end());
  bytes.resize(record);
  bytes.insert(bytes.end(), extra, 0);
  uint64_t fields[5];
  std::memcpy(fields, trailer.data(), sizeof fields);
  fields[0] = bytes.size();
  fields[1] = io::StreamHash::of(bytes);
  fields[4] = io::StreamHash::of({reinterpret_cast<const uint8_t*>(fields), 4 * 8});
  std::memcpy(trailer.data(), fields, sizeof fields);
  bytes.insert(bytes.end(), trailer.begin(), trailer.end());
  ASSERT_TRUE(io::write_whole_file(path, bytes));
}

struct OpenCase {
  const char* name;
  bool taken_over;
  std::function<void(CheckpointTest&, const std::string& graph, const std::string& log)> damage;
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class CheckpointOpen : public CheckpointTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(CheckpointOpen, OpensToExactlyTheLogsState) {
  build();
  const std::string graph = file("hnsw.graph");
  const std::string log = file("wal.log");
  GetParam().damage(*this, graph, log);
  const LogState want = state_of_log(log);
  auto c = open();
  ASSERT_TRUE(c);
  EXPECT_TRUE(state_of(*c) == want);
  EXPECT_EQ(c->count(), want.vectors.size());
  EXPECT_EQ(c->checkpoint_mark().bytes > 0, GetParam().taken_over);
  // Writes go on from there and survive the next open, checkpoint or not.
  ASSERT_TRUE(c->upsert(item(7, 7007, R"({"k":7})")));
  c.reset();
  c = open();
  EXPECT_TRUE(state_of(*c) == state_of_log(log));
  EXPECT_GT(c->checkpoint_mark().bytes, 0u);
}

const OpenCase kOpenCases[] = {
    {"matching_with_a_tail", true, [](CheckpointTest&, const std::string&, const std::string&) {}},
    {"stale_from_before_a_rewrite", false,
     [](CheckpointTest& t, const std::string& graph, const std::string&) {
       fs::copy_file(t.root_ + "/graph-early", graph, fs::copy_options::overwrite_existing);
     }},
    {"swapped_from_another_collection", false,
     [](CheckpointTest& t, const std::string& graph, const std::string&) {
       fs::copy_file(t.file("hnsw.graph", "d"), graph, fs::copy_options::overwrite_existing);
     }},
    {"taken_before_a_restore", false,
     [](CheckpointTest& t, const std::string&, const std::string& log) {
       // A restore's first step, the snapshot's log over the live one, with
       // the live graph still in place.
       fs::copy_file(snapshot_dir(t.dir(), "s") + "/wal.log", log, fs::copy_options::overwrite_existing);
     }},
    {"snapshot_graph_after_a_restore", true,
     [](CheckpointTest& t, const std::string& graph, const std::string& log) {
       fs::copy_file(snapshot_dir(t.dir(), "s") + "/wal.log", log, fs::copy_options::overwrite_existing);
       fs::copy_file(snapshot_graph_path(t.dir(), "s"), graph, fs::copy_options::overwrite_existing);
     }},
    {"torn_by_one_byte", false,
     [](CheckpointTest&, const std::string& graph, const std::string&) { cut(graph, fs::file_size(graph) - 1); }},
    {"torn_before_the_trailer", false,
     [](CheckpointTest&, const std::string& graph, const std::string&) {
       cut(graph, fs::file_size(graph) - kCheckpointTrailerSize);
     }},
    {"torn_in_the_middle", false,
     [](CheckpointTest&, const std::string& graph, const std::string&) { cut(graph, fs::file_size(graph) / 2); }},
    {"empty", false, [](CheckpointTest&, const std::string& graph, const std::string&) { cut(graph, 0); }},
    {"flipped_byte_in_a_vector", false,
     [](CheckpointTest&, const std::string& graph, const std::string&) {
       flip(graph, 8 + 8 + 8 + 2);  // node count, first key, vector length, then the floats
     }},
    {"flipped_byte_in_the_bound_length", false,
     [](CheckpointTest&, const std::string& graph, const std::string&) {
       flip(graph, fs::file_size(graph) - kCheckpointTrailerSize + 16);
     }},
    {"flipped_byte_in_the_magic", false,
     [](CheckpointTest&, const std::string& graph, const std::string&) { flip(graph, fs::file_size(graph) - 1); }},
    {"flipped_byte_in_the_log_prefix", false,
     [](CheckpointTest&, const std::string&, const std::string& log) {
       flip(log, 4 + 20 + 1);  // a float of the first record's vector
     }},
    {"log_cut_inside_the_prefix", false,
     [](CheckpointTest& t, const std::string&, const std::string& log) { cut(log, t.closed_mark_.bytes - 3); }},
    {"log_cut_at_the_prefix", true,
     [](CheckpointTest& t, const std::string&, const std::string& log) { cut(log, t.closed_mark_.bytes); }},
    {"record_shorter_than_its_trailer_counts", false,
     [](CheckpointTest&, const std::string& graph, const std::string&) { pad_record(graph, 8); }},
    {"plain_graph_without_a_binding", false,
     [](CheckpointTest&, const std::string& graph, const std::string&) {
       cut(graph, fs::file_size(graph) - kCheckpointTrailerSize);
       // A graph file as older versions saved it: the record alone.
     }},
};

INSTANTIATE_TEST_SUITE_P(Checkpoint, CheckpointOpen, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CheckpointTest, KilledCheckpointWriteLeavesTheOldOneAndNoTemporaryFile) {
  build();
  // A checkpoint killed part-way: a partial temporary file beside the graph.
  const std::string tmp = file("hnsw.graph.tmp");
  auto graph = *io::read_whole_file(file("hnsw.graph"));
  ASSERT_TRUE(io::write_whole_file(tmp, std::span<const uint8_t>(graph.data(), graph.size() / 3)));
  const LogState want = state_of_log(file("wal.log"));
  auto c = open();
  EXPECT_TRUE(state_of(*c) == want);
  EXPECT_EQ(c->checkpoint_mark(), closed_mark_);
  EXPECT_FALSE(fs::exists(tmp));
}

struct CompactionCase {
  const char* name;
  uint64_t inserts;     // ids 0 .. inserts-1
  uint64_t overwrites;  // ids 0 .. overwrites-1 written again
  uint64_t deletes;     // ids inserts-1 down, deleted
  bool rewritten;
};

void PrintTo(const CompactionCase& c, std::ostream* os) { *os << c.name; }

class CompactionRule : public CheckpointTest, public ::testing::WithParamInterface<CompactionCase> {};

TEST_P(CompactionRule, RewritesOnlyWhenDeadRecordsReachLiveVectors) {
  const CompactionCase& k = GetParam();
  const uint64_t writes = k.inserts + k.overwrites + k.deletes;
  {
    auto c = std::move(*Collection::create(root_, "c", kDims, Metric::L2, IndexType::Hnsw));
    CollectionMeta meta = c->meta();
    meta.wal_compact_threshold = writes;  // the check runs at the last write
    ASSERT_TRUE(write_meta_direct(dir(), meta));
  }
  auto c = open();
  // Every write but the last, then the last one alone.
  std::vector<std::function<void()>> ops;
  for (VectorId id = 0; id < k.inserts; ++id) ops.push_back([&, id] { ASSERT_TRUE(c->upsert(item(id, id))); });
  for (VectorId id = 0; id < k.overwrites; ++id)
    ops.push_back([&, id] { ASSERT_TRUE(c->upsert(item(id, 100 + id, "[1]"))); });
  for (uint64_t i = 0; i < k.deletes; ++i) ops.push_back([&, i] { ASSERT_TRUE(c->remove(k.inserts - 1 - i)); });
  for (size_t i = 0; i + 1 < ops.size(); ++i) ops[i]();
  const uint64_t before = fs::file_size(file("wal.log"));
  ops.back()();
  EXPECT_EQ(c->entry_count(), 0u);  // the check ran
  const std::string compacted = root_ + "/compacted.log";
  ASSERT_TRUE(c->write_compacted_log(compacted));
  auto log = *io::read_whole_file(file("wal.log"));
  if (k.rewritten) {
    // Byte for byte the rewrite of old: one Add per live vector.
    EXPECT_EQ(log, *io::read_whole_file(compacted));
  } else {
    EXPECT_GT(log.size(), before);
    EXPECT_EQ(c->log_position().records, writes);
  }
  // Either way the check leaves a checkpoint of the log as it stands.
  EXPECT_EQ(c->checkpoint_mark().bytes, log.size());
  c.reset();
  EXPECT_TRUE(state_of(*open()) == state_of_log(file("wal.log")));
}

const CompactionCase kCompactionCases[] = {
    {"insert_only", 40, 0, 0, false},
    {"dead_one_short_of_live", 40, 12, 0, false},  // 52 records, 40 live: 12 dead
    {"dead_one_short_with_deletes", 40, 10, 6, false},  // 56 records, 34 live: 22 dead
    {"dead_equal_to_live", 40, 0, 14, true},        // 54 records, 26 live: 28 dead
    {"dead_as_many_as_live", 20, 20, 0, true},      // 40 records, 20 live: 20 dead
    {"dead_beyond_live", 20, 20, 10, true},
    {"everything_deleted", 10, 0, 10, true},
};

INSTANTIATE_TEST_SUITE_P(Checkpoint, CompactionRule, ::testing::ValuesIn(kCompactionCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kovra

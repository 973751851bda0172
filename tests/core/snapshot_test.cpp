#include "core/collection/snapshot.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/collection/client.h"
#include "core/io/file.h"

namespace kovra {
namespace {

namespace fs = std::filesystem;

// A client directory with collection "c" (ids 1 and 2, the first with a
// sparse vector) and a snapshot "s" of it; id 3 is written after the snapshot.
class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = ::testing::TempDir() + "kovra_snapshot_" + std::to_string(::getpid());
    fs::remove_all(root_);
    open_client();
    ASSERT_TRUE(state_->write([](ClientState& s) { return s.create_collection("c", 2, Metric::L2, IndexType::Hnsw); }));
    UpsertItem first = item(1);
    first.sparse = SparseVector{{4}, {1.0f}};
    first.prepare();
    upsert(std::move(first));
    upsert(item(2));
    ASSERT_TRUE(create_snapshot(*live(), "s"));
    upsert(item(3));
  }
  void TearDown() override {
    state_.reset();
    fs::remove_all(root_);
  }

  void open_client() {
    auto opened = ClientState::open(root_);
    ASSERT_TRUE(opened);
    state_ = std::move(*opened);
  }
  Collection* live() const {
    return state_->read([](const ClientState& s) { return s.find("c"); });
  }
  static UpsertItem item(VectorId id) {
    UpsertItem it;
    it.id = id;
    it.vector = {float(id), 0};
    it.prepare();
    return it;
  }
  void upsert(UpsertItem it) {
    ASSERT_TRUE(state_->write([&](ClientState& s) { return s.find("c")->upsert(std::move(it)); }));
  }
  Status restore() {
    return state_->write([](ClientState& s) { return s.restore_snapshot("c", "s"); });
  }
  static std::vector<VectorId> ids(const Collection& c) {
    std::vector<VectorId> out;
    for (const auto& [id, v] : c.index().iterate()) out.push_back(id);
    std::sort(out.begin(), out.end());
    return out;
  }
  // What a fresh client finds on disk.
  std::vector<VectorId> ids_after_reopen() {
    state_.reset();
    open_client();
    Collection* c = live();
    return c ? ids(*c) : std::vector<VectorId>{99};
  }
  std::string dir(const char* file = "") const { return root_ + "/c/" + file; }
  std::vector<std::string> leftovers() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir()))
      if (e.path().extension() == ".tmp") out.push_back(e.path().filename());
    return out;
  }

  std::string root_;
  std::shared_ptr<ClientState> state_;
};

using Ids = std::vector<VectorId>;

// Failures before the first file is replaced: everything stays as it was, and
// the live log takes further writes.
TEST_F(RestoreTest, FailureBeforeAnyReplacementChangesNothing) {
  struct Case {
    const char* what;
    const char* in_the_way;  // a directory at this name in the collection directory
    const char* remove_from_snapshot;
  };
  const Case cases[] = {
      {"staged log", "wal.log.tmp", nullptr},
      {"staged metadata", "meta.json.tmp", nullptr},
      {"staged sparse store", "sparse.bin.tmp", nullptr},
      {"snapshot without its log", nullptr, "wal.log"},
      {"snapshot without metadata", nullptr, "meta.json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    if (c.in_the_way) fs::create_directory(dir(c.in_the_way));
    if (c.remove_from_snapshot) fs::remove(dir("snapshots/s/") + c.remove_from_snapshot);
    const auto log_before = io::read_whole_file(dir("wal.log"));
    Collection* before = live();
    Status st = restore();
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().kind(), ErrorKind::Io);
    EXPECT_EQ(live(), before);
    EXPECT_EQ(io::read_whole_file(dir("wal.log")), log_before);
    if (c.in_the_way) fs::remove(dir(c.in_the_way));
    EXPECT_TRUE(leftovers().empty());
    upsert(item(5));
    EXPECT_EQ(ids_after_reopen(), (Ids{1, 2, 3, 5}));
  }
}

// A failure after the log was replaced: the collection is opened again from
// what the directory holds, which is the snapshot's log.
TEST_F(RestoreTest, FailureAfterTheFirstReplacementReopensFromDisk) {
  fs::create_directory(dir("hnsw.graph"));  // cannot be removed as a file
  Status st = restore();
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind(), ErrorKind::Io);
  ASSERT_NE(live(), nullptr);
  EXPECT_EQ(ids(*live()), (Ids{1, 2}));
  EXPECT_EQ(live()->sparse_count(), 1u);
  upsert(item(6));
  fs::remove(dir("hnsw.graph"));
  EXPECT_EQ(ids_after_reopen(), (Ids{1, 2, 6}));
}

// Files that cannot be opened as a collection: it leaves the client's map and
// its directory stays as the restore left it.
TEST_F(RestoreTest, CollectionThatCannotReopenLeavesTheMap) {
  const std::string meta = dir("snapshots/s/meta.json");
  auto text = io::read_whole_file(meta);
  std::string edited(text->begin(), text->end());
  const std::string from = "\"m\": 12";
  ASSERT_NE(edited.find(from), std::string::npos);
  edited.replace(edited.find(from), from.size(), "\"m\": 100000");
  ASSERT_TRUE(io::write_whole_file(meta, std::span(reinterpret_cast<const uint8_t*>(edited.data()), edited.size())));

  Status st = restore();
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind(), ErrorKind::InvalidConfig);
  EXPECT_EQ(live(), nullptr);
  EXPECT_TRUE(fs::exists(dir("wal.log")));
  EXPECT_EQ(io::read_whole_file(dir("wal.log")), io::read_whole_file(dir("snapshots/s/wal.log")));
}

}  // namespace
}  // namespace kovra

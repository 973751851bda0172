#include "core/collection/collection.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/io/file.h"
#include "testutil.h"

namespace kovra {
namespace {

class CollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = ::testing::TempDir() + "kovra_collection_" + std::to_string(::getpid());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::unique_ptr<Collection> create(IndexType type = IndexType::Flat) {
    auto c = Collection::create(root_, "c", 2, Metric::L2, type);
    EXPECT_TRUE(c);
    return std::move(*c);
  }
  std::unique_ptr<Collection> reopen() {
    auto c = Collection::open(root_ + "/c");
    EXPECT_TRUE(c);
    return std::move(*c);
  }
  static UpsertItem item(VectorId id, std::vector<float> v, const char* payload = nullptr) {
    UpsertItem it;
    it.id = id;
    it.vector = std::move(v);
    if (payload) it.payload = *parse_json_text(payload);
    it.prepare();
    return it;
  }
  static std::vector<VectorId> ids(const Collection& c) {
    auto hits = c.search(std::vector<float>{0, 0}, 100, nullptr);
    std::vector<VectorId> out;
    for (const auto& h : *hits) out.push_back(h.id);
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string log_path() const { return root_ + "/c/wal.log"; }
  size_t log_size() const { return std::filesystem::file_size(log_path()); }

  std::string root_;
};

TEST_F(CollectionTest, WriteThatCannotBeLoggedChangesNothing) {
  auto c = create();
  ASSERT_TRUE(c->upsert(item(1, {1, 0}, R"({"a":1})")));
  const size_t before = log_size();
  {
    testutil::FileSizeLimit limit(before + 10);
    Status st = c->upsert(item(1, {2, 0}, R"({"a":2})"));
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().kind(), ErrorKind::Io);
    auto removed = c->remove(1);
    ASSERT_FALSE(removed);
    std::vector<UpsertItem> batch;
    batch.push_back(item(2, {2, 0}));
    batch.push_back(item(3, {3, 0}));
    EXPECT_FALSE(c->upsert_batch(std::move(batch)));
  }
  EXPECT_EQ(log_size(), before);
  EXPECT_EQ(ids(*c), std::vector<VectorId>{1});
  EXPECT_EQ(to_compact_json(*c->payload(1)), R"({"a":1})");
  auto hits = c->search(std::vector<float>{1, 0}, 1, nullptr);
  EXPECT_EQ((*hits)[0].distance, 0.0f);
  ASSERT_TRUE(c->upsert(item(4, {4, 0})));
  c.reset();
  EXPECT_EQ(ids(*reopen()), (std::vector<VectorId>{1, 4}));
}

TEST_F(CollectionTest, FailedCompactionKeepsTheWriteAndTheLog) {
  auto c = create();
  ASSERT_TRUE(c->upsert(item(1, {1, 0})));
  // A directory in the way of the temporary file fails the rewrite.
  std::filesystem::create_directory(root_ + "/c/wal.log.tmp");
  Status st = c->compact();
  EXPECT_FALSE(st);
  std::filesystem::remove(root_ + "/c/wal.log.tmp");
  ASSERT_TRUE(c->upsert(item(2, {2, 0})));
  c.reset();
  EXPECT_EQ(ids(*reopen()), (std::vector<VectorId>{1, 2}));
}

TEST_F(CollectionTest, FlippedByteSkipsOnlyItsRecord) {
  auto c = create();
  for (VectorId id = 1; id <= 3; ++id) ASSERT_TRUE(c->upsert(item(id, {float(id), 0})));
  const size_t record = log_size() / 3;
  c.reset();
  auto bytes = io::read_whole_file(log_path());
  (*bytes)[record + 4] = 9;  // the second record's variant index
  ASSERT_TRUE(io::write_whole_file(log_path(), *bytes));
  EXPECT_EQ(ids(*reopen()), (std::vector<VectorId>{1, 3}));
}

TEST_F(CollectionTest, EveryTruncationOpensWithAPrefix) {
  auto c = create();
  for (VectorId id = 1; id <= 3; ++id) ASSERT_TRUE(c->upsert(item(id, {float(id), 0}, "[1,2]")));
  c.reset();
  auto full = *io::read_whole_file(log_path());
  const size_t record = full.size() / 3;
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    ASSERT_TRUE(io::write_whole_file(log_path(), std::span<const uint8_t>(full.data(), cut)));
    auto opened = reopen();
    std::vector<VectorId> want;
    for (VectorId id = 1; id <= cut / record; ++id) want.push_back(id);
    ASSERT_EQ(ids(*opened), want) << cut;
    ASSERT_TRUE(opened->upsert(item(9, {9, 0})));
    opened.reset();
    want.push_back(9);
    ASSERT_EQ(ids(*reopen()), want) << cut;
  }
}

TEST_F(CollectionTest, CompactionKeepsSparseVectorsAndDropsAStaleSparseFile) {
  auto c = create();
  UpsertItem with_sparse = item(1, {1, 0});
  with_sparse.sparse = SparseVector{{3, 5}, {0.5f, 2.0f}};
  with_sparse.prepare();
  ASSERT_TRUE(c->upsert(std::move(with_sparse)));
  ASSERT_TRUE(c->upsert(item(1, {1, 1})));  // no sparse vector: the old one stays
  ASSERT_TRUE(c->compact());
  const std::string sparse_file = root_ + "/c/sparse.bin";
  EXPECT_TRUE(std::filesystem::exists(sparse_file));
  ASSERT_TRUE(c->remove(1));
  c.reset();
  auto opened = reopen();
  EXPECT_EQ(opened->sparse_count(), 0u);
  ASSERT_TRUE(opened->compact());
  EXPECT_FALSE(std::filesystem::exists(sparse_file));
  ASSERT_TRUE(opened->upsert(item(2, {2, 0})));
  opened.reset();
  EXPECT_EQ(reopen()->sparse_count(), 0u);
}

TEST_F(CollectionTest, GraphCollectionReopensFromItsSavedGraph) {
  auto c = create(IndexType::Hnsw);
  std::vector<UpsertItem> batch;
  auto block = testutil::random_block(500, 2, 3);
  for (VectorId id = 0; id < 500; ++id) batch.push_back(item(id, {block[2 * id], block[2 * id + 1]}));
  ASSERT_TRUE(c->upsert_batch(std::move(batch)));
  ASSERT_TRUE(c->compact());
  ASSERT_TRUE(c->remove(7));
  ASSERT_TRUE(c->upsert(item(600, {0.5f, 0.5f}, "{}")));
  c.reset();
  auto opened = reopen();
  EXPECT_EQ(opened->count(), 500u);
  auto hits = opened->search(std::vector<float>{0.5f, 0.5f}, 1, nullptr);
  EXPECT_EQ((*hits)[0].id, 600u);
  hits = opened->search(std::vector<float>{block[14], block[15]}, 1, nullptr);
  EXPECT_NE((*hits)[0].id, 7u);
}

}  // namespace
}  // namespace kovra

#include "core/collection/sparse.h"

#include <gtest/gtest.h>

#include <random>
#include <unistd.h>

#include <filesystem>

#include "core/io/file.h"

namespace kovra {
namespace {

namespace fs = std::filesystem;

SparseVector sv(std::vector<uint32_t> indices, std::vector<float> values) {
  return SparseVector{std::move(indices), std::move(values)};
}

size_t list_size(const SparseStore& s, uint32_t index) {
  auto* list = s.postings(index);
  return list ? list->size() : 0;
}

TEST(SparseVectorCodec, CountedIndicesThenCountedWeights) {
  const std::vector<uint8_t> bytes = sparse_to_bytes(sv({1, 0x01020304}, {1.0f}));
  const std::vector<uint8_t> expected = {2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 4, 3, 2, 1,
                                         1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x3f};
  EXPECT_EQ(bytes, expected);

  std::vector<uint8_t> padded = bytes;
  padded.push_back(0xff);
  EXPECT_EQ(*sparse_from_bytes(padded), sv({1, 0x01020304}, {1.0f}));
  for (size_t n = 0; n < bytes.size(); ++n) {
    auto r = sparse_from_bytes(std::span(bytes).first(n));
    ASSERT_FALSE(r) << n;
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  }
}

TEST(SparseStoreOps, UpsertReplaceRemove) {
  SparseStore s;
  s.upsert(1, sv({1, 3}, {2.0f, 0.5f}));
  EXPECT_EQ(s.count(), 1u);
  EXPECT_EQ(s.dimension_count(), 2u);
  EXPECT_EQ(*s.postings(1), (std::vector<SparsePosting>{{1, 2.0f}}));
  EXPECT_EQ(*s.postings(3), (std::vector<SparsePosting>{{1, 0.5f}}));

  s.upsert(1, sv({7}, {1.0f}));
  EXPECT_EQ(s.postings(1), nullptr);
  EXPECT_EQ(s.postings(3), nullptr);
  EXPECT_EQ(list_size(s, 7), 1u);

  s.remove(1);
  s.remove(1);  // unknown ids are ignored
  EXPECT_EQ(s.count(), 0u);
  EXPECT_EQ(s.dimension_count(), 0u);
  EXPECT_EQ(s.find(1), nullptr);
}

TEST(SparseStoreOps, RemovalMovesTheLastPostingIntoTheGap) {
  SparseStore s;
  for (VectorId id : {10, 11, 12}) s.upsert(id, sv({5}, {static_cast<float>(id)}));
  s.remove(10);
  EXPECT_EQ(*s.postings(5), (std::vector<SparsePosting>{{12, 12.0f}, {11, 11.0f}}));
}

TEST(SparseStoreOps, UnevenVectorsCountOnlyTheirPairs) {
  // A vector decoded from storage may carry more indices than weights; it is
  // kept as it is and only its pairs reach the postings.
  SparseStore s;
  s.upsert(1, sv({1, 2}, {0.5f}));
  EXPECT_EQ(*s.find(1), sv({1, 2}, {0.5f}));
  EXPECT_EQ(s.dimension_count(), 1u);
  EXPECT_EQ(s.score(sv({1, 2}, {2.0f, 2.0f})), (std::unordered_map<VectorId, float>{{1, 1.0f}}));
  EXPECT_TRUE(s.score(sv({1}, {})).empty());
  s.remove(1);
  EXPECT_EQ(s.dimension_count(), 0u);
}

TEST(SparseStoreOps, ScoreIsTheDotProductOverSharedIndices) {
  SparseStore s;
  s.upsert(1, sv({1, 3}, {2.0f, 0.5f}));
  s.upsert(2, sv({3, 9}, {4.0f, 1.0f}));
  s.upsert(3, sv({100}, {1.0f}));
  EXPECT_EQ(s.score(sv({3, 9, 50}, {2.0f, -1.0f, 7.0f})),
            (std::unordered_map<VectorId, float>{{1, 1.0f}, {2, 7.0f}}));
  EXPECT_TRUE(s.score(sv({4, 5}, {1.0f, 1.0f})).empty());
  EXPECT_TRUE(s.score(sv({}, {})).empty());
}

class SparseFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("kovra_sparse_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    path_ = (dir_ / "sparse.bin").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
  std::string path_;
};

TEST(SparseStoreOps, TopScoresAreTheBestOfScore) {
  std::mt19937 rng(11);
  SparseStore s;
  for (VectorId id = 0; id < 3000; ++id) {
    std::vector<uint32_t> idx;
    std::vector<float> w;
    for (uint32_t d = 0; d < 40; ++d)
      if (rng() % 8 == 0) {
        idx.push_back(d);
        w.push_back(static_cast<float>(rng() % 1000) / 997.0f);
      }
    s.upsert(id * 7919, sv(idx, w));
  }
  const SparseVector query = sv({1, 5, 9, 30}, {0.3f, 1.7f, 0.9f, 0.1f});
  auto all = s.score(query);
  for (size_t limit : {0u, 1u, 50u, 100000u}) {
    auto top = s.top_scores(query, limit);
    ASSERT_EQ(top.size(), std::min(limit, all.size()));
    for (size_t i = 0; i < top.size(); ++i) {
      EXPECT_EQ(top[i].second, all.at(top[i].first));  // bit for bit
      if (i) {
        EXPECT_GE(top[i - 1].second, top[i].second);
      }
    }
    size_t better = 0;
    if (!top.empty()) {
      for (const auto& [id, score] : all) better += score > top.back().second;
    }
    EXPECT_LE(better, top.size());
  }
}

TEST_F(SparseFile, ImageLayout) {
  SparseStore s;
  s.upsert(2, sv({7}, {1.5f}));
  ASSERT_TRUE(s.save(path_));
  const std::vector<uint8_t> expected = {
      1, 0, 0, 0, 0, 0, 0, 0,                          // one posting list
      7, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,              // index 7, one entry
      2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xc0, 0x3f,        // id 2, weight 1.5
      1, 0, 0, 0, 0, 0, 0, 0,                          // one vector
      2, 0, 0, 0, 0, 0, 0, 0,                          // id 2
      1, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0,              // indices [7]
      1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xc0, 0x3f};       // weights [1.5]
  EXPECT_EQ(*io::read_whole_file(path_), expected);
  EXPECT_EQ(SparseStore().encode(), std::vector<uint8_t>(16, 0));
}

TEST_F(SparseFile, RoundTripAndDamage) {
  SparseStore s;
  s.upsert(1, sv({1, 3}, {2.0f, 0.5f}));
  s.upsert(9, sv({3, 4, 8}, {1.0f, -1.0f, 0.25f}));
  ASSERT_TRUE(s.save(path_));
  auto back = SparseStore::load(path_);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(back->count(), 2u);
  EXPECT_EQ(*back->find(9), sv({3, 4, 8}, {1.0f, -1.0f, 0.25f}));
  EXPECT_EQ(back->score(sv({3}, {2.0f})), s.score(sv({3}, {2.0f})));

  const std::vector<uint8_t> image = s.encode();
  for (size_t n = 0; n < image.size(); ++n) {
    auto r = SparseStore::decode(std::span(image).first(n));
    ASSERT_FALSE(r) << n;
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  }
  // A huge count fails on the missing bytes instead of allocating for it.
  std::vector<uint8_t> huge(16, 0xff);
  EXPECT_FALSE(SparseStore::decode(huge));

  EXPECT_EQ(SparseStore::load((dir_ / "missing").string()).error().kind(), ErrorKind::Io);
  EXPECT_EQ(s.save((dir_ / "no" / "sparse.bin").string()).error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace kovra

#include "core/collection/sparse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <unordered_set>
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

// ---- the pruned top-P against exhaustive scoring

// How a table case draws its data.
struct PruneCase {
  const char* name;
  size_t vectors;
  uint32_t vocabulary;
  double zipf;          // 0: dimensions drawn uniformly
  size_t per_vector;    // distinct dimensions per vector
  float low, high;      // weights uniform in [low, high)
  size_t per_query;     // 0: an empty query
  float query_low, query_high;
  size_t limit;
  bool rarity = false;  // weights grow with the dimension, as term weights grow with rarity
};

std::ostream& operator<<(std::ostream& os, const PruneCase& c) { return os << c.name; }

class DimensionDraw {
 public:
  DimensionDraw(uint32_t vocabulary, double zipf) {
    std::vector<double> w(vocabulary);
    for (uint32_t d = 0; d < vocabulary; ++d) w[d] = zipf > 0 ? std::pow(d + 1.0, -zipf) : 1.0;
    dist_ = std::discrete_distribution<uint32_t>(w.begin(), w.end());
  }
  SparseVector draw(std::mt19937& rng, size_t count, float low, float high, bool rarity = false) {
    std::vector<uint32_t> idx;
    while (idx.size() < count) {
      uint32_t d = dist_(rng);
      if (std::find(idx.begin(), idx.end(), d) == idx.end()) idx.push_back(d);
    }
    std::sort(idx.begin(), idx.end());
    std::uniform_real_distribution<float> weight(low, high);
    std::vector<float> w;
    for (size_t i = 0; i < idx.size(); ++i)
      w.push_back(weight(rng) * (rarity ? static_cast<float>(std::log(2.0 + idx[i])) : 1.0f));
    return sv(std::move(idx), std::move(w));
  }

 private:
  std::discrete_distribution<uint32_t> dist_;
};

// `top` must be the `limit` best of score(query): the same scores bit for
// bit, highest first, and every vector scoring above the last one present.
void expect_best_of_score(const SparseStore& s, const SparseVector& query, size_t limit,
                          const std::vector<std::pair<VectorId, float>>& top,
                          const std::function<bool(VectorId)>& keep = {}) {
  std::unordered_map<VectorId, float> all = s.score(query);
  if (keep) std::erase_if(all, [&](const auto& e) { return !keep(e.first); });
  ASSERT_EQ(top.size(), std::min(limit, all.size()));
  std::unordered_set<VectorId> members;
  for (size_t i = 0; i < top.size(); ++i) {
    ASSERT_TRUE(all.contains(top[i].first)) << top[i].first;
    const float want = all.at(top[i].first);
    EXPECT_EQ(std::memcmp(&want, &top[i].second, sizeof(float)), 0) << top[i].first;
    if (i) {
      EXPECT_GE(top[i - 1].second, top[i].second);
    }
    members.insert(top[i].first);
  }
  if (top.empty()) return;
  for (const auto& [id, score] : all) {
    if (score > top.back().second) {
      EXPECT_TRUE(members.contains(id)) << id << " scores " << score;
    }
  }
}

class PrunedTopScores : public ::testing::TestWithParam<PruneCase> {};

TEST_P(PrunedTopScores, EqualExhaustiveScoringThroughDeletesReplacementsAndAReload) {
  const PruneCase& c = GetParam();
  std::mt19937 rng(1234);
  DimensionDraw dims(c.vocabulary, c.zipf);
  SparseStore s;
  for (VectorId id = 0; id < c.vectors; ++id) s.upsert(id * 3 + 1, dims.draw(rng, c.per_vector, c.low, c.high, c.rarity));
  std::vector<SparseVector> queries;
  for (int i = 0; i < 25; ++i) queries.push_back(dims.draw(rng, c.per_query, c.query_low, c.query_high));
  auto check = [&](const SparseStore& store, const char* stage) {
    SCOPED_TRACE(stage);
    for (const SparseVector& q : queries) {
      expect_best_of_score(store, q, c.limit, store.top_scores(q, c.limit));
      expect_best_of_score(store, q, c.limit, store.top_scores_exhaustive(q, c.limit));
      auto even = [](VectorId id) { return id % 2 == 0; };
      expect_best_of_score(store, q, c.limit, store.top_scores(q, c.limit, even), even);
      if (HasFatalFailure()) return;
    }
  };
  check(s, "filled");
  // Deletes free slots that replacements and new vectors take again.
  for (VectorId id = 0; id < c.vectors; id += 3) s.remove(id * 3 + 1);
  for (VectorId id = 1; id < c.vectors; id += 5) s.upsert(id * 3 + 1, dims.draw(rng, c.per_vector, c.low, c.high, c.rarity));
  for (VectorId id = 0; id < c.vectors / 4; ++id)
    s.upsert(1'000'000 + id, dims.draw(rng, c.per_vector, c.low, c.high, c.rarity));
  check(s, "after deletes and replacements");
  auto back = SparseStore::decode(s.encode());
  ASSERT_TRUE(back);
  check(*back, "decoded");
}

INSTANTIATE_TEST_SUITE_P(
    Distributions, PrunedTopScores,
    ::testing::Values(
        PruneCase{"skewed", 4000, 3000, 1.1, 20, 0.1f, 1.0f, 5, 0.1f, 1.0f, 100},
        PruneCase{"skewed_small_pool", 4000, 3000, 1.1, 20, 0.1f, 1.0f, 5, 0.1f, 1.0f, 3},
        PruneCase{"steep", 3000, 500, 2.0, 8, 0.0f, 4.0f, 4, 0.5f, 2.0f, 30},
        PruneCase{"flat", 3000, 200, 0.0, 10, 0.1f, 1.0f, 6, 0.1f, 1.0f, 50},
        PruneCase{"negative_weights", 3000, 300, 1.0, 12, -1.0f, 1.0f, 5, -1.0f, 1.0f, 40},
        PruneCase{"negative_query", 3000, 300, 1.0, 12, 0.0f, 1.0f, 5, -2.0f, -0.5f, 40},
        PruneCase{"one_term", 3000, 100, 1.0, 6, 0.1f, 1.0f, 1, 0.2f, 1.0f, 20},
        PruneCase{"empty_query", 500, 100, 1.0, 6, 0.1f, 1.0f, 0, 0.2f, 1.0f, 20},
        PruneCase{"pool_beyond_the_store", 300, 50, 1.0, 5, 0.1f, 1.0f, 3, 0.2f, 1.0f, 100000},
        PruneCase{"rare_terms_weigh_more", 20000, 3000, 1.1, 20, 0.1f, 1.0f, 5, 1.0f, 1.001f, 100, true},
        PruneCase{"rare_terms_weigh_more_small_pool", 20000, 3000, 1.1, 20, 0.1f, 1.0f, 5, 1.0f, 1.001f, 10, true},
        PruneCase{"tiny_weights", 2000, 200, 1.1, 10, 1e-30f, 1e-29f, 5, 1e-10f, 1e-9f, 25}),
    [](const ::testing::TestParamInfo<PruneCase>& info) { return std::string(info.param.name); });

// Every query of a thread shares one working array over slots, which a query
// leaves for the next to clear: a store of another size, touched in other
// places, must not see any of it.
TEST(PrunedTopScores, StoresOfDifferentSizesShareTheThreadsArrays) {
  std::mt19937 rng(99);
  DimensionDraw dims(400, 1.1);
  SparseStore big, small, empty;
  for (VectorId id = 0; id < 6000; ++id) big.upsert(id, dims.draw(rng, 12, 0.1f, 1.0f));
  for (VectorId id = 0; id < 40; ++id) small.upsert(id, dims.draw(rng, 12, 0.1f, 1.0f));
  const SparseStore* order[] = {&big, &small, &big, &empty, &small, &small, &big};
  for (int round = 0; round < 3; ++round) {
    for (const SparseStore* s : order) {
      const SparseVector q = dims.draw(rng, 1 + static_cast<size_t>(round) * 3, 0.1f, 1.0f);
      expect_best_of_score(*s, q, 30, s->top_scores(q, 30));
      expect_best_of_score(*s, q, 30, s->top_scores_exhaustive(q, 30));
      if (HasFatalFailure()) return;
    }
  }
}

// Stores where the pruned path would not be safe answer exhaustively, still
// bit for bit.
TEST(PrunedTopScoresFallback, UnsafeWeightsAndIrregularVectors) {
  struct Case {
    const char* name;
    std::vector<std::pair<VectorId, SparseVector>> rows;
    SparseVector query;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Case> cases = {
      {"infinite_weight", {{1, sv({1, 2}, {inf, 1.0f})}, {2, sv({1}, {2.0f})}, {3, sv({2}, {3.0f})}}, sv({1, 2}, {1.0f, 1.0f})},
      {"nan_query", {{1, sv({1}, {1.0f})}, {2, sv({1}, {2.0f})}}, sv({1}, {nan})},
      {"overflowing_sums", {{1, sv({1, 2}, {3e38f, 3e38f})}, {2, sv({1}, {1.0f})}}, sv({1, 2}, {1.0f, 1.0f})},
      {"repeated_indices", {{1, sv({4, 4}, {1.0f, 2.0f})}, {2, sv({4}, {2.5f})}, {3, sv({4}, {0.5f})}}, sv({4}, {3.0f})},
      {"descending_indices", {{1, sv({9, 4}, {1.0f, 2.0f})}, {2, sv({4, 9}, {2.5f, 1.0f})}}, sv({4, 9}, {1.0f, 1.0f})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SparseStore s;
    for (const auto& [id, v] : c.rows) s.upsert(id, v);
    for (size_t limit : {1u, 2u, 10u}) {
      auto top = s.top_scores(c.query, limit);
      auto all = s.score(c.query);
      ASSERT_EQ(top.size(), std::min(limit, all.size()));
      for (const auto& [id, score] : top) {
        const float want = all.at(id);
        EXPECT_EQ(std::memcmp(&want, &score, sizeof(float)), 0) << id;
      }
    }
  }
}

// A file whose id lists do not match its vectors still answers as its id
// lists say, as score() does.
TEST(PrunedTopScoresFallback, DecodedListsThatDisagreeWithTheVectors) {
  SparseStore s;
  s.upsert(1, sv({1, 3}, {2.0f, 0.5f}));
  s.upsert(2, sv({3}, {1.0f}));
  std::vector<uint8_t> image = s.encode();
  // The weight 1.0 (0x3f800000) of id 2's posting becomes 4.0 (0x40800000)
  // in its list, not in its vector.
  const std::vector<uint8_t> one = {0, 0, 0x80, 0x3f};
  auto at = std::search(image.begin(), image.end(), one.begin(), one.end());
  ASSERT_NE(at, image.end());
  at[3] = 0x40;
  auto back = SparseStore::decode(image);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->slot_of(2), std::nullopt);
  auto top = back->top_scores(sv({3}, {1.0f}), 1);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0], (std::pair<VectorId, float>{2, 4.0f}));
}

}  // namespace
}  // namespace kovra

#include "core/index/topk_buffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace kovra {
namespace {

// The streamed selection keeps the same distances as a selection over all
// hits, with many ties and some NaNs among them.
TEST(TopKBuffer, MatchesSelectionOverAllHits) {
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> level(0, 40);
  for (size_t k : {0u, 1u, 5u, 10u, 300u, 5000u}) {
    std::vector<Hit> all;
    TopKBuffer top(k, 10);
    for (VectorId id = 0; id < 20000; ++id) {
      float d = id % 97 == 0 ? std::nanf("") : static_cast<float>(level(rng));
      all.push_back({id, d});
      top.push(id, d);
    }
    std::vector<Hit> got = top.take();
    select_k_smallest(all, k);
    ASSERT_EQ(got.size(), all.size()) << k;
    for (size_t i = 0; i < got.size(); ++i) {
      if (std::isnan(all[i].distance)) {
        EXPECT_TRUE(std::isnan(got[i].distance));
      } else {
        EXPECT_EQ(got[i].distance, all[i].distance) << k << " " << i;
      }
    }
  }
}

TEST(TopKBuffer, FewerHitsThanKAreAllKept) {
  TopKBuffer top(10, 3);
  top.push(1, 3.0f);
  top.push(2, std::nanf(""));
  top.push(3, 1.0f);
  auto got = top.take();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].id, 3u);
  EXPECT_EQ(got[1].id, 1u);
  EXPECT_EQ(got[2].id, 2u);  // NaN last
}

}  // namespace
}  // namespace kovra

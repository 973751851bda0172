#include "core/index/batch_search.h"

#include <gtest/gtest.h>

#include <limits>

#include "core/index/flat.h"
#include "testutil.h"

namespace kovra {
namespace {

TEST(BatchSearchTest, TheLowestFailingItemsErrorIsReturned) {
  Status st = parallel_items(40, 4, [](size_t item, size_t) -> Status {
    return item % 10 == 9 ? Status(fail(Error::dimension_mismatch(item, 0))) : ok();
  });
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(), Error::dimension_mismatch(9, 0).message());
}

// Wide rows make the grouped flat scan's blocks smaller than search's, and an
// odd slot count leaves a tail after the last group of four. Rows must equal
// search, distances bit for bit, padding included.
class FlatBatchTest : public ::testing::TestWithParam<std::tuple<Metric, size_t, size_t>> {};

TEST_P(FlatBatchTest, RowsMatchSearch) {
  const auto [metric, d, k] = GetParam();
  const size_t n = 1003, rows = 20;
  std::vector<float> data = testutil::random_block(n, d, 5), queries = testutil::random_block(rows, d, 9);
  FlatIndex index(d, metric);
  ASSERT_TRUE(index.add_flat_batch(std::span<const float>(data), d, 0));
  for (VectorId gone : {0, 17, 500, 1002}) ASSERT_TRUE(index.remove(gone));
  std::vector<int64_t> ids(rows * k);
  std::vector<float> distances(rows * k);
  const QueryBlock block{queries, rows, d};
  ASSERT_TRUE(index.search_batch(block, 2, {ids.data(), distances.data(), k}));
  for (size_t r = 0; r < rows; ++r) {
    auto hits = index.search(block.row(r), k);
    ASSERT_TRUE(hits);
    for (size_t i = 0; i < k; ++i) {
      const bool hit = i < hits->size();
      EXPECT_EQ(ids[r * k + i], hit ? static_cast<int64_t>((*hits)[i].id) : -1) << r << " " << i;
      EXPECT_EQ(distances[r * k + i], hit ? (*hits)[i].distance : std::numeric_limits<float>::infinity());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, FlatBatchTest,
                         ::testing::Values(std::tuple{Metric::L2, size_t{1000}, size_t{1}},
                                           std::tuple{Metric::Cosine, size_t{300}, size_t{5}},
                                           std::tuple{Metric::DotProduct, size_t{129}, size_t{1010}}));

}  // namespace
}  // namespace kovra

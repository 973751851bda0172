#include "core/index/batch_search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>

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

// Rows must equal search, distances bit for bit, padding included, on both
// of the flat batch's paths: few queries per worker take the grouped exact
// scan (wide rows make its blocks smaller than search's, an odd slot count
// leaves a tail after the last group of four); many take the block products,
// whose candidates are rescored and checked. Forty near copies of one vector
// (some exact) put ties and near ties around the k-th place of the query
// equal to it, too close for the products to settle; a NaN stored makes the
// products unusable, and so do queries whose products overflow.
struct FlatBatchCase {
  Metric metric;
  size_t d, k, rows, workers;
  bool nan_stored = false;

  friend void PrintTo(const FlatBatchCase& c, std::ostream* os) {
    *os << metric_name(c.metric) << " d=" << c.d << " k=" << c.k << " rows=" << c.rows << " workers=" << c.workers
        << (c.nan_stored ? " nan" : "");
  }
};

class FlatBatchTest : public ::testing::TestWithParam<FlatBatchCase> {};

TEST_P(FlatBatchTest, RowsMatchSearch) {
  const auto [metric, d, k, rows, workers, nan_stored] = GetParam();
  const size_t n = 1003;
  std::vector<float> data = testutil::random_block(n, d, 5), queries = testutil::random_block(rows, d, 9);
  for (size_t r = 100; r < 140; ++r) {
    std::copy_n(data.begin() + 3 * d, d, data.begin() + r * d);
    data[r * d + r % d] *= 1.0f + 1e-6f * static_cast<float>(r % 7);
  }
  std::copy_n(data.begin() + 3 * d, d, queries.begin());
  if (rows > 2) {
    for (size_t i = 0; i < d; ++i) queries[d + i] *= 1e38f;  // products overflow: answered exactly
    queries[2 * d] = std::numeric_limits<float>::infinity();
  }
  if (nan_stored) data[600 * d] = std::numeric_limits<float>::quiet_NaN();
  FlatIndex index(d, metric);
  ASSERT_TRUE(index.add_flat_batch(std::span<const float>(data), d, 0));
  for (VectorId gone : {0, 17, 120, 500, 1002}) ASSERT_TRUE(index.remove(gone));
  std::vector<int64_t> ids(rows * k);
  std::vector<float> distances(rows * k);
  const QueryBlock block{queries, rows, d};
  ASSERT_TRUE(index.search_batch(block, workers, {ids.data(), distances.data(), k}));
  for (size_t r = 0; r < rows; ++r) {
    auto hits = index.search(block.row(r), k);
    ASSERT_TRUE(hits);
    for (size_t i = 0; i < k; ++i) {
      const bool hit = i < hits->size();
      ASSERT_EQ(ids[r * k + i], hit ? static_cast<int64_t>((*hits)[i].id) : -1) << r << " " << i;
      const float want = hit ? (*hits)[i].distance : std::numeric_limits<float>::infinity();
      if (!(std::isnan(want) && std::isnan(distances[r * k + i]))) {
        ASSERT_EQ(distances[r * k + i], want);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, FlatBatchTest,
                         ::testing::Values(FlatBatchCase{Metric::L2, 1000, 1, 20, 2},
                                           FlatBatchCase{Metric::Cosine, 300, 5, 20, 2},
                                           FlatBatchCase{Metric::DotProduct, 129, 1010, 20, 2},
                                           FlatBatchCase{Metric::L2, 37, 10, 250, 2},
                                           FlatBatchCase{Metric::Cosine, 64, 20, 130, 1},
                                           FlatBatchCase{Metric::DotProduct, 5, 3, 40, 2},
                                           FlatBatchCase{Metric::L2, 16, 1100, 33, 1},
                                           FlatBatchCase{Metric::L2, 24, 10, 64, 1, true}));

}  // namespace
}  // namespace kovra

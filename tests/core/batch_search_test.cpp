#include "core/index/batch_search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/index/flat.h"
#include "core/index/hnsw.h"
#include "testutil.h"

namespace kovra {
namespace {

using testutil::random_block;

struct Arrays {
  std::vector<int64_t> ids;
  std::vector<float> distances;
  BatchOutput out;
  Arrays(size_t rows, size_t k) : ids(rows * k, 7), distances(rows * k, 7.0f), out{ids.data(), distances.data(), k} {}
};

TEST(BatchSearchTest, RowsArePaddedAfterTheirHits) {
  Arrays a(2, 3);
  write_batch_row(a.out, 1, std::vector<Hit>{{5, 0.5f}});
  EXPECT_EQ(a.ids, (std::vector<int64_t>{7, 7, 7, 5, -1, -1}));
  EXPECT_EQ(a.distances[3], 0.5f);
  EXPECT_EQ(a.distances[4], std::numeric_limits<float>::infinity());
  EXPECT_EQ(a.distances[0], 7.0f);
}

TEST(BatchSearchTest, TheLowestFailingRowsErrorIsReturned) {
  Arrays a(40, 1);
  Status st = run_batch(40, 4, a.out, [](size_t row, size_t) -> Result<std::vector<Hit>> {
    if (row % 10 == 9) return fail(Error::dimension_mismatch(row, 0));
    return std::vector<Hit>{{row, 0.0f}};
  });
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(), Error::dimension_mismatch(9, 0).message());
  EXPECT_EQ(a.ids[8], 8);
}

TEST(BatchSearchTest, WorkersAreBoundedByRows) {
  EXPECT_EQ(batch_workers(0, 4), 1u);
  EXPECT_EQ(batch_workers(3, 8), 3u);
  EXPECT_EQ(batch_workers(100, 2), 2u);
  EXPECT_GE(batch_workers(100, 0), 1u);
}

// Each worker's own scratch (HNSW) and the grouped scan (flat) must give the
// answers of the single search, distances bit for bit.
template <class Index>
void expect_rows_match_search(const Index& index, size_t d, size_t k) {
  const size_t rows = 64;
  std::vector<float> queries = random_block(rows, d, 99);
  Arrays a(rows, k);
  const QueryBlock block{queries, rows, d};
  Status st;
  st = index.search_batch(block, 2, a.out);
  ASSERT_TRUE(st);
  for (size_t r = 0; r < rows; ++r) {
    auto hits = index.search(block.row(r), k);
    ASSERT_TRUE(hits);
    for (size_t i = 0; i < k; ++i) {
      const bool hit = i < hits->size();
      EXPECT_EQ(a.ids[r * k + i], hit ? static_cast<int64_t>((*hits)[i].id) : -1) << r << " " << i;
      EXPECT_EQ(a.distances[r * k + i], hit ? (*hits)[i].distance : std::numeric_limits<float>::infinity());
    }
  }
}

TEST(BatchSearchTest, HnswRowsMatchSearch) {
  const size_t d = 8, n = 500;
  std::vector<float> data = random_block(n, d, 5);
  HnswIndex hnsw(d, Metric::L2);
  ASSERT_TRUE(hnsw.add_batch_np(data, d, 0));
  expect_rows_match_search(hnsw, d, 10);
}

// Wide rows make the grouped scan's blocks smaller than search's, and an odd
// slot count leaves a tail after the last group of four.
class FlatBatchTest : public ::testing::TestWithParam<std::tuple<Metric, size_t, size_t>> {};

TEST_P(FlatBatchTest, RowsMatchSearch) {
  const auto [metric, d, k] = GetParam();
  const size_t n = 1003;
  std::vector<float> data = random_block(n, d, 5);
  FlatIndex flat(d, metric);
  ASSERT_TRUE(flat.add_flat_batch(std::span<const float>(data), d, 0));
  for (VectorId gone : {0, 17, 500, 1002}) ASSERT_TRUE(flat.remove(gone));
  expect_rows_match_search(flat, d, k);
}

INSTANTIATE_TEST_SUITE_P(Shapes, FlatBatchTest,
                         ::testing::Values(std::tuple{Metric::L2, size_t{8}, size_t{10}},
                                           std::tuple{Metric::Cosine, size_t{300}, size_t{5}},
                                           std::tuple{Metric::DotProduct, size_t{129}, size_t{1010}},
                                           std::tuple{Metric::L2, size_t{1000}, size_t{1}}));

}  // namespace
}  // namespace kovra

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

// Each worker's own scratch must give the answers of the shared one.
template <class Index>
void expect_rows_match_search(const Index& index, size_t d, size_t k) {
  const size_t rows = 64;
  std::vector<float> queries = random_block(rows, d, 99);
  Arrays a(rows, k);
  const QueryBlock block{queries, rows, d};
  Status st;
  if constexpr (std::is_same_v<Index, HnswIndex>) st = index.search_batch(block, 2, a.out);
  else st = search_batch_rows(index, block, 2, a.out);
  ASSERT_TRUE(st);
  for (size_t r = 0; r < rows; ++r) {
    auto hits = index.search(block.row(r), k);
    ASSERT_TRUE(hits);
    for (size_t i = 0; i < k; ++i) {
      int64_t id = i < hits->size() ? static_cast<int64_t>((*hits)[i].id) : -1;
      EXPECT_EQ(a.ids[r * k + i], id) << r << " " << i;
    }
  }
}

TEST(BatchSearchTest, HnswAndFlatRowsMatchSearch) {
  const size_t d = 8, n = 500;
  std::vector<float> data = random_block(n, d, 5);
  HnswIndex hnsw(d, Metric::L2);
  ASSERT_TRUE(hnsw.add_batch_np(data, d, 0));
  FlatIndex flat(d, Metric::Cosine);
  ASSERT_TRUE(flat.add_flat_batch(std::span<const float>(data), d, 0));
  expect_rows_match_search(hnsw, d, 10);
  expect_rows_match_search(flat, d, n + 3);
}

}  // namespace
}  // namespace kovra

#include "core/index/ivf_coarse.h"

#include <gtest/gtest.h>

#include <vector>

namespace kovra {
namespace {

TEST(IvfCoarseTest, SwapRemoveMovesLastRowIntoTheGap) {
  std::vector<VectorId> ids = {10, 11, 12};
  std::vector<uint8_t> rows = {1, 1, 2, 2, 3, 3};
  EXPECT_TRUE(ivf_detail::swap_remove(ids, rows, 2, 10));
  EXPECT_EQ(ids, (std::vector<VectorId>{12, 11}));
  EXPECT_EQ(rows, (std::vector<uint8_t>{3, 3, 2, 2}));
  EXPECT_FALSE(ivf_detail::swap_remove(ids, rows, 2, 10));
  EXPECT_EQ(ids.size(), 2u);
}

TEST(IvfCoarseTest, BufferSignalsTrainingAtTrainSize) {
  IvfCoarse coarse(2, Metric::L2, IvfConfig{1, 1, 2, 5});
  const std::vector<float> v = {1.0f, 2.0f};
  EXPECT_FALSE(coarse.buffer(1, v));
  EXPECT_TRUE(coarse.buffer(2, v));
  EXPECT_TRUE(coarse.remove_pending(1));
  EXPECT_FALSE(coarse.remove_pending(1));
  EXPECT_EQ(coarse.pending_ids(), (std::vector<VectorId>{2}));
}

TEST(IvfCoarseTest, BlockRowsChecksShape) {
  IvfCoarse coarse(2, Metric::L2, IvfConfig{});
  const std::vector<float> data(6, 0.0f);
  EXPECT_EQ(*coarse.block_rows(data, 2), 3u);
  EXPECT_EQ(coarse.block_rows(data, 3).error().kind(), ErrorKind::DimensionMismatch);
  const std::vector<float> ragged(5, 0.0f);
  EXPECT_EQ(coarse.block_rows(ragged, 2).error().message(),
            "invalid configuration: raw_data length 5 is not a multiple of dim 2");
  IvfCoarse empty(0, Metric::L2, IvfConfig{});
  EXPECT_EQ(*empty.block_rows(ragged, 0), 0u);
}

TEST(IvfCoarseTest, ForgetDropsTheIdAndRefusesListsOutOfRange) {
  IvfCoarse coarse(2, Metric::L2, IvfConfig{});
  coarse.note(7, 1);
  coarse.note(8, 5);
  EXPECT_EQ(coarse.forget(7, 2), std::optional<uint64_t>(1));
  EXPECT_EQ(coarse.forget(7, 2), std::nullopt);
  EXPECT_EQ(coarse.forget(8, 2), std::nullopt);
  EXPECT_EQ(coarse.forget(8, 6), std::nullopt);  // already dropped
}

}  // namespace
}  // namespace kovra

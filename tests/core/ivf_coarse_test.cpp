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

struct IdList {
  std::vector<VectorId> ids;
};

// Lists as an index keeps them, with every id noted at its latest entry.
IvfCoarse noted(std::vector<IdList>& lists) {
  IvfCoarse coarse(2, Metric::L2, IvfConfig{});
  KMeansResult km;
  km.k = lists.size();
  km.centroids.assign(2 * lists.size(), 0.0f);
  coarse.adopt(km);
  for (size_t l = 0; l < lists.size(); ++l)
    for (size_t p = 0; p < lists[l].ids.size(); ++p)
      coarse.note(lists[l].ids[p], ListRef{static_cast<uint32_t>(l), p}, lists);
  return coarse;
}

TEST(IvfCoarseTest, RemoveListedTakesTheFirstEntryOfTheLatestListAndKeepsTheMapTrue) {
  struct Case {
    const char* name;
    std::vector<IdList> lists;
    VectorId id;
    bool removed;
    std::vector<IdList> after;
  };
  const std::vector<Case> cases = {
      {"last entry", {{{1, 2, 3}}}, 3, true, {{{1, 2}}}},
      {"first entry, last moves in", {{{1, 2, 3}}}, 1, true, {{{3, 2}}}},
      {"only entry", {{{1}}, {{2}}}, 1, true, {{{}}, {{2}}}},
      {"not listed", {{{1, 2}}}, 9, false, {{{1, 2}}}},
      // Re-added into another list: the stale entry stays, the latest goes.
      {"stale entry elsewhere", {{{5, 1}}, {{2, 5}}}, 5, true, {{{5, 1}}, {{2}}}},
      // Twice in one list: the first entry goes, as a scan of the list finds it.
      {"twice in one list", {{{5, 1, 5, 2}}}, 5, true, {{{2, 1, 5}}}},
  };
  for (const Case& c : cases) {
    std::vector<IdList> lists = c.lists;
    IvfCoarse coarse = noted(lists);
    EXPECT_EQ(coarse.remove_listed(c.id, lists).has_value(), c.removed) << c.name;
    ASSERT_EQ(lists.size(), c.after.size()) << c.name;
    for (size_t l = 0; l < lists.size(); ++l) EXPECT_EQ(lists[l].ids, c.after[l].ids) << c.name;
    // Every id the map still holds points at an entry with that id.
    size_t held = 0;
    coarse.for_each_placed(lists, [&](VectorId id, ListRef ref) {
      EXPECT_EQ(lists[ref.list].ids[ref.pos], id) << c.name;
      ++held;
    });
    EXPECT_EQ(held, coarse.placed_count()) << c.name;
    // A removed id is gone from the map, stale entries or not.
    if (c.removed) {
      EXPECT_FALSE(coarse.remove_listed(c.id, lists).has_value()) << c.name;
    }
  }
}

TEST(IvfCoarseTest, FileMapPointsAtTheLastEntryInItsListAndDropsIdsTheListLacks) {
  std::vector<IdList> lists = {{{4, 7, 4}}, {{8}}};
  IvfCoarse coarse(2, Metric::L2, IvfConfig{});
  auto bytes = io::encode_to_bytes([](io::Encoder& e) {
    e.put_count(3);
    e.put_u64(4), e.put_u64(0);
    e.put_u64(8), e.put_u64(1);
    e.put_u64(7), e.put_u64(1);  // list 1 does not hold 7
    e.put_bool(true);
  });
  io::SpanSource src(*bytes);
  io::Decoder dec(src);
  ASSERT_TRUE(coarse.decode_map(dec));
  ASSERT_TRUE(coarse.check_map(lists));
  EXPECT_EQ(coarse.find(4, lists), (ListRef{0, 2}));
  EXPECT_EQ(coarse.find(8, lists), (ListRef{1, 0}));
  EXPECT_EQ(coarse.find(7, lists), std::nullopt);
  EXPECT_EQ(coarse.placed_count(), 2u);
}

}  // namespace
}  // namespace kovra

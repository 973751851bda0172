#include "core/index/flat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <random>

#include "core/distance.h"
#include "core/io/codec.h"
#include "core/io/file.h"
#include "testutil.h"

namespace kovra {
namespace {

using testutil::random_block;

TEST(FlatIndex, DistancesAreBitIdenticalToTheKernel) {
  const size_t n = 1003, d = 37;
  auto data = random_block(n, d, 1);
  auto q = random_block(1, d, 2);
  for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    FlatIndex index(d, m);
    ASSERT_TRUE(index.add_flat_batch(data, d, 0));
    auto hits = index.search(q, n);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), n);
    for (const Hit& h : *hits) {
      std::span<const float> v(data.data() + h.id * d, d);
      EXPECT_EQ(h.distance, distance(m, q, v));
    }
    for (size_t i = 1; i < n; ++i) EXPECT_LE((*hits)[i - 1].distance, (*hits)[i].distance);
  }
}

TEST(FlatIndex, CosineWithCachedNormsMatchesTheUncachedScorer) {
  std::vector<size_t> lengths{128};
  for (size_t d = 0; d <= 40; ++d) lengths.push_back(d);
  const std::string path = (std::filesystem::temp_directory_path() / "kovra_flat_norms").string();
  for (size_t d : lengths) {
    const size_t n = 9;
    auto data = random_block(n, d, 3);
    auto q = random_block(1, d, 4);
    // Norms cached one add at a time, for a whole block, and again on load.
    FlatIndex one_by_one(d, Metric::Cosine), block(d, Metric::Cosine);
    for (size_t i = 0; i < n; ++i) ASSERT_TRUE(one_by_one.add(i, std::span<const float>(data.data() + i * d, d)));
    ASSERT_TRUE(block.add_flat_batch(data, d, 0));
    ASSERT_TRUE(block.remove(4));
    ASSERT_TRUE(block.save(path));
    auto loaded = FlatIndex::load(path);
    ASSERT_TRUE(loaded);
    DistanceScorer uncached(Metric::Cosine, q, false);
    for (const FlatIndex* index : {&one_by_one, &block, &*loaded}) {
      auto hits = index->search(q, n);
      ASSERT_TRUE(hits);
      ASSERT_EQ(hits->size(), index->len());
      for (const Hit& h : *hits) {
        EXPECT_EQ(std::bit_cast<uint32_t>(h.distance), std::bit_cast<uint32_t>(uncached.one(data.data() + h.id * d)))
            << d << " " << h.id;
      }
    }
  }
  std::filesystem::remove(path);
}

TEST(FlatIndex, FailuresLeaveTheIndexUnchanged) {
  FlatIndex index(3, Metric::L2);
  std::vector<float> ten(10, 1.0f);
  auto s = index.add_flat_batch(ten, 3, 0);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "invalid configuration: data length 10 is not divisible by dimension 3");
  s = index.add_flat_batch(ten, 2, 0);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "dimension mismatch: expected 3, got 2");
  EXPECT_EQ(index.len(), 0u);
  EXPECT_EQ(index.slot_count(), 0u);
}

TEST(FlatIndex, DeletedSlotsStayInTheFileButNotInResults) {
  FlatIndex index(2, Metric::L2);
  std::vector<Entry> entries{{1, {0, 0}}, {2, {1, 1}}, {3, {2, 2}}};
  ASSERT_TRUE(index.add_batch(entries));
  EXPECT_TRUE(*index.remove(2));
  auto path = (std::filesystem::temp_directory_path() / "kovra_flat_test.bin").string();
  ASSERT_TRUE(index.save(path));
  auto loaded = FlatIndex::load(path);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->len(), 2u);
  EXPECT_EQ(loaded->slot_count(), 3u);
  auto it = loaded->iterate();
  ASSERT_EQ(it.size(), 2u);
  EXPECT_EQ(it[0].first, 1u);
  EXPECT_EQ(it[1].first, 3u);
  EXPECT_EQ(it[1].second, (std::vector<float>{2, 2}));
  std::filesystem::remove(path);
}

// A file whose id is live in more than one slot (written before repeated ids
// were refused): every slot counts as stored, and a delete reaches the last.
struct RepeatCase {
  const char* name;
  std::vector<VectorId> ids;
  size_t left_after_deletes;
};

class FlatRepeats : public ::testing::TestWithParam<RepeatCase> {};

TEST_P(FlatRepeats, EverySlotCountsAndADeleteTakesTheLast) {
  const RepeatCase& c = GetParam();
  const size_t n = c.ids.size();
  auto bytes = *io::encode_to_bytes([&](io::Encoder& e) {
    e.put_u64(1);
    e.put_enum(0);
    std::vector<float> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<float>(i);
    e.put_array(data);
    e.put_array(c.ids);
    e.put_count(n);
    for (size_t i = 0; i < n; ++i) e.put_u8(1);
  });
  auto path = (std::filesystem::temp_directory_path() / ("kovra_flat_repeat_" + std::string(c.name))).string();
  ASSERT_TRUE(io::write_whole_file(path, bytes));
  auto index = FlatIndex::load(path);
  std::filesystem::remove(path);
  ASSERT_TRUE(index) << index.error().message();
  EXPECT_EQ(index->len(), n);
  EXPECT_EQ(index->iterate().size(), n);
  std::vector<VectorId> distinct(c.ids);
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  for (VectorId id : distinct) {
    const size_t last = static_cast<size_t>(std::find(c.ids.rbegin(), c.ids.rend(), id) - c.ids.rbegin());
    const float at = static_cast<float>(n - 1 - last);
    EXPECT_EQ((*index->search(std::vector<float>{at}, 1))[0], (Hit{id, 0.0f}));
    EXPECT_TRUE(*index->remove(id));
    const std::vector<Hit> after = *index->search(std::vector<float>{at}, 1);
    for (const Hit& h : after) EXPECT_NE(h.distance, 0.0f);
  }
  EXPECT_EQ(index->len(), c.left_after_deletes);
}

INSTANTIATE_TEST_SUITE_P(Files, FlatRepeats,
                         ::testing::Values(RepeatCase{"distinct", {4, 9, 1}, 0}, RepeatCase{"twice", {7, 7}, 1},
                                           RepeatCase{"interleaved", {5, 6, 5, 6, 5}, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// An index that reclaims dead slots (a collection's) moves its live slots
// down in order once the dead ones pile up: whatever the removals and
// re-adds, every live id keeps its own vector and norm, iteration lists the
// ids in the order they were added (so a compaction writes the same records
// as an index that never moves a slot), and dead slots stay bounded.
struct ReclaimCase {
  const char* name;
  std::vector<VectorId> removed;  // from ids 0..199, in this order
  std::vector<VectorId> added;    // then added again with their own vectors
  size_t rounds = 1;              // removals and re-adds repeated
};

std::vector<VectorId> id_range(VectorId from, VectorId to, VectorId step = 1) {
  std::vector<VectorId> out;
  for (VectorId id = from; id < to; id += step) out.push_back(id);
  return out;
}

class FlatReclaim : public ::testing::TestWithParam<ReclaimCase> {};

TEST_P(FlatReclaim, LiveSlotsKeepTheirOrderVectorsAndNorms) {
  const ReclaimCase& c = GetParam();
  const size_t n = 200, d = 5;
  auto data = random_block(n, d, 7);
  auto row = [&](VectorId id) { return std::span<const float>(data.data() + id * d, d); };
  FlatIndex index(d, Metric::Cosine);
  index.reclaim_dead_slots_on_removal();
  ASSERT_TRUE(index.add_flat_batch(data, d, 0));
  std::vector<VectorId> live = id_range(0, n);  // in the order added
  for (size_t r = 0; r < c.rounds; ++r) {
    for (VectorId id : c.removed) {
      EXPECT_TRUE(*index.remove(id));
      live.erase(std::find(live.begin(), live.end(), id));
      const size_t dead = index.slot_count() - index.len();
      EXPECT_TRUE(dead < FlatIndex::kReclaimFloor || dead * 4 < index.len()) << dead;
    }
    for (VectorId id : c.added) {
      ASSERT_TRUE(index.add(id, row(id)));
      live.push_back(id);
    }
  }
  EXPECT_EQ(index.len(), live.size());
  std::vector<VectorId> listed;
  for (const auto& [id, v] : index.iterate()) {
    listed.push_back(id);
    EXPECT_EQ(v, std::vector<float>(row(id).begin(), row(id).end()));
  }
  EXPECT_EQ(listed, live);
  auto q = random_block(1, d, 8);
  auto hits = index.search(q, n);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), live.size());
  for (const Hit& h : *hits) EXPECT_EQ(h.distance, distance(Metric::Cosine, q, row(h.id))) << h.id;
  for (VectorId id : live) EXPECT_TRUE(index.vectors_of(std::vector<VectorId>{id})[0]) << id;
}

INSTANTIATE_TEST_SUITE_P(
    Removals, FlatReclaim,
    ::testing::Values(ReclaimCase{"few", {0, 199, 57}, {}}, ReclaimCase{"first_hundred", id_range(0, 100), {}},
                      ReclaimCase{"last_hundred", id_range(100, 200), {}},
                      ReclaimCase{"every_second", id_range(0, 200, 2), {}}, ReclaimCase{"all", id_range(0, 200), {}},
                      ReclaimCase{"then_added_again", id_range(50, 150), id_range(50, 150)},
                      ReclaimCase{"updated_many_times", id_range(10, 40), id_range(10, 40), 50}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FlatIndex, ReclaimKeepsAnIdStoredTwiceAndItsLaterSlotMapped) {
  // Id 5 live twice, as an old file can hold it: the map reaches the later slot.
  std::vector<VectorId> ids = id_range(0, 200);
  ids.push_back(5);
  std::vector<float> data(ids.size());
  for (size_t s = 0; s < ids.size(); ++s) data[s] = static_cast<float>(s);
  auto bytes = *io::encode_to_bytes([&](io::Encoder& e) {
    e.put_u64(1);
    e.put_enum(0);
    e.put_array(data);
    e.put_array(ids);
    e.put_count(ids.size());
    for (size_t s = 0; s < ids.size(); ++s) e.put_u8(1);
  });
  auto path = (std::filesystem::temp_directory_path() / "kovra_flat_reclaim_repeat").string();
  ASSERT_TRUE(io::write_whole_file(path, bytes));
  auto index = FlatIndex::load(path);
  std::filesystem::remove(path);
  ASSERT_TRUE(index);
  index->reclaim_dead_slots_on_removal();
  for (VectorId id = 100; id < 200; ++id) EXPECT_TRUE(*index->remove(id)) << id;
  EXPECT_LT(index->slot_count(), 101u + FlatIndex::kReclaimFloor);  // reclaimed on the way
  EXPECT_EQ(index->len(), 101u);
  // The later slot (value 200) is the one a delete reaches; the earlier stays stored.
  EXPECT_EQ((*index->search(std::vector<float>{200}, 1))[0], (Hit{5, 0.0f}));
  EXPECT_TRUE(*index->remove(5));
  EXPECT_EQ(index->len(), 100u);
  EXPECT_EQ((*index->search(std::vector<float>{5}, 1))[0], (Hit{5, 0.0f}));
  EXPECT_FALSE(*index->remove(5));
}

TEST(FlatIndex, NanDistancesDoNotBreakSelection) {
  FlatIndex index(1, Metric::L2);
  std::vector<float> data;
  for (int i = 0; i < 200; ++i) data.push_back(i % 3 == 0 ? NAN : static_cast<float>(i));
  ASSERT_TRUE(index.add_flat_batch(data, 1, 0));
  std::vector<float> q{0.0f};
  auto hits = index.search(q, 50);
  ASSERT_TRUE(hits);
  EXPECT_EQ(hits->size(), 50u);
  auto all = index.search(q, 1000);
  EXPECT_EQ(all->size(), 200u);
}

TEST(FlatIndex, WorksBehindTheCommonInterface) {
  std::unique_ptr<VectorIndex> index = std::make_unique<FlatIndex>(2, Metric::Cosine);
  ASSERT_TRUE(index->add(5, std::vector<float>{1, 0}));
  EXPECT_EQ(index->params().dimensions, 2u);
  EXPECT_TRUE(index->flush());
  EXPECT_TRUE(index->save_graph("/nonexistent/x"));
  EXPECT_TRUE(index->restore_graph("/nonexistent/x"));
  EXPECT_FALSE(index->is_empty());
}

}  // namespace
}  // namespace kovra

#include "core/index/hnsw.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <random>
#include <set>

#include "core/index/flat.h"
#include "testutil.h"

namespace kovra {
namespace {

using testutil::random_block;

// Well-separated clusters: the data on which a graph that only links each node
// to its plain nearest neighbours falls apart.
std::vector<float> clustered_block(size_t n, size_t d, size_t clusters, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  std::vector<float> centres(clusters * d);
  for (auto& x : centres) x = 6.0f * g(rng);
  std::vector<float> out(n * d);
  for (size_t i = 0; i < n; ++i) {
    size_t c = rng() % clusters;
    for (size_t j = 0; j < d; ++j) out[i * d + j] = centres[c * d + j] + g(rng);
  }
  return out;
}

std::span<const float> row(const std::vector<float>& block, size_t d, size_t i) {
  return {block.data() + i * d, d};
}

double recall_against_flat(const HnswIndex& index, const std::vector<float>& data, const std::vector<float>& queries,
                           size_t d, Metric metric, size_t k) {
  FlatIndex flat(d, metric);
  EXPECT_TRUE(flat.add_flat_batch(data, d, 0));
  size_t nq = queries.size() / d, found = 0;
  for (size_t i = 0; i < nq; ++i) {
    auto truth = flat.search(row(queries, d, i), k);
    auto got = index.search(row(queries, d, i), k);
    EXPECT_TRUE(got);
    std::set<VectorId> want;
    for (const Hit& h : *truth) want.insert(h.id);
    for (const Hit& h : *got) found += want.count(h.id);
  }
  return double(found) / double(nq * k);
}

// Levels from a fixed sequence, so that two builds draw the same levels.
std::function<uint8_t()> level_sequence(uint32_t seed, double multiplier) {
  auto rng = std::make_shared<std::mt19937_64>(seed);
  return [rng, multiplier] {
    double u = static_cast<double>((*rng)() >> 11) * 0x1.0p-53;
    return static_cast<uint8_t>(std::floor(-std::log(std::max(u, 1e-15)) * multiplier));
  };
}

size_t reachable_on_layer0(const HnswGraph& g) {
  if (!g.entry_point) return 0;
  std::vector<char> seen(g.slot_count());
  std::deque<Slot> todo{*g.entry_point};
  seen[*g.entry_point] = 1;
  size_t count = 0;
  while (!todo.empty()) {
    Slot s = todo.front();
    todo.pop_front();
    ++count;
    for (size_t i = 0; i < g.layer0_counts[s]; ++i) {
      Slot n = g.layer0_links[s * g.stride() + i];
      if (g.live[n] && !seen[n]) {
        seen[n] = 1;
        todo.push_back(n);
      }
    }
  }
  return count;
}

// The upper-layer lists of every slot, [slot][layer - 1], as plain vectors.
std::vector<std::vector<std::vector<Slot>>> upper_lists(const HnswGraph& g) {
  std::vector<std::vector<std::vector<Slot>>> out(g.slot_count());
  for (size_t s = 0; s < g.slot_count(); ++s) {
    for (size_t l = 1; l <= g.levels[s]; ++l) {
      const Slot* list = g.upper_list(static_cast<Slot>(s), l);
      if (!list) break;
      out[s].emplace_back(list + 1, list + 1 + list[0]);
    }
  }
  return out;
}

void expect_graph_invariants(const HnswGraph& g) {
  const auto upper = upper_lists(g);
  size_t live = 0;
  for (size_t s = 0; s < g.slot_count(); ++s) {
    live += g.live[s];
    EXPECT_LE(g.layer0_counts[s], g.m0) << "slot " << s;
    for (size_t i = 0; i < g.layer0_counts[s]; ++i) {
      EXPECT_NE(g.layer0_links[s * g.stride() + i], s) << "slot " << s << " lists itself";
    }
    EXPECT_EQ(upper[s].empty(), !g.live[s] || g.levels[s] == 0) << "slot " << s;
    for (const auto& list : upper[s]) {
      EXPECT_LE(list.size(), g.m);
      for (Slot n : list) EXPECT_NE(n, s);
    }
  }
  EXPECT_EQ(live, g.live_count);
  if (live == 0) {
    EXPECT_FALSE(g.entry_point);
  } else {
    ASSERT_TRUE(g.entry_point);
    EXPECT_TRUE(g.live[*g.entry_point]);
    for (size_t s = 0; s < g.slot_count(); ++s) {
      if (g.live[s]) {
        EXPECT_LE(g.levels[s], g.levels[*g.entry_point]);
      }
    }
  }
}

TEST(HnswIndex, FreshIndex) {
  HnswIndex index(4, Metric::L2);
  EXPECT_EQ(index.len(), 0u);
  EXPECT_TRUE(index.is_empty());
  auto hits = index.search(std::vector<float>{0, 0, 0, 0}, 3);
  ASSERT_TRUE(hits);
  EXPECT_TRUE(hits->empty());
  EXPECT_EQ(*index.remove(0), false);
  EXPECT_EQ(index.graph().m0, 24u);
  EXPECT_DOUBLE_EQ(index.graph().level_multiplier, 1.0 / std::log(12.0));
  EXPECT_DOUBLE_EQ(HnswIndex(4, Metric::L2, {200, 50, 1}).graph().level_multiplier, 1.0 / std::log(2.0));
}

TEST(HnswIndex, OneVectorReportsEuclideanDistance) {
  HnswIndex index(2, Metric::L2);
  ASSERT_TRUE(index.add(3, std::vector<float>{3, 4}));
  for (size_t k : {1, 5}) {
    auto hits = index.search(std::vector<float>{0, 0}, k);
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ((*hits)[0], (Hit{3, 5.0f}));
  }
  EXPECT_TRUE(index.search(std::vector<float>{0, 0}, 0)->empty());
  auto bad = index.search(std::vector<float>{0, 0, 0}, 1);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "dimension mismatch: expected 2, got 3");
}

TEST(HnswIndex, RecallAgainstFlatOnEveryMetric) {
  const size_t n = 3000, d = 24;
  auto data = random_block(n, d, 1);
  auto queries = random_block(100, d, 2);
  for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    HnswIndex index(d, m, {100, 64, 12});
    ASSERT_TRUE(index.add_batch_np(data, d, 0));
    EXPECT_GE(recall_against_flat(index, data, queries, d, m, 10), 0.95) << metric_name(m);
    // Reported distances are the ones the exact scan reports.
    auto hits = index.search(row(queries, d, 0), 5);
    for (const Hit& h : *hits) {
      EXPECT_NEAR(h.distance, distance(m, row(queries, d, 0), row(data, d, h.id)), 1e-4);
    }
    expect_graph_invariants(index.graph());
  }
}

TEST(HnswIndex, ClusteredDataStaysReachable) {
  const size_t n = 4000, d = 32;
  auto data = clustered_block(n, d, 40, 3);
  HnswIndex index(d, Metric::L2, {100, 50, 8});
  ASSERT_TRUE(index.add_batch_np(data, d, 0));
  EXPECT_GE(reachable_on_layer0(index.graph()), n * 99 / 100);
  auto queries = clustered_block(100, d, 40, 3);  // same centres, other points
  EXPECT_GE(recall_against_flat(index, data, queries, d, Metric::L2, 10), 0.95);
}

TEST(HnswIndex, EqualDistancesComeInAscendingIdOrder) {
  HnswIndex index(2, Metric::L2);
  ASSERT_TRUE(index.add(9, std::vector<float>{1, 0}));
  ASSERT_TRUE(index.add(4, std::vector<float>{0, 1}));
  ASSERT_TRUE(index.add(6, std::vector<float>{-1, 0}));
  ASSERT_TRUE(index.add(1, std::vector<float>{0, 2}));
  auto hits = index.search(std::vector<float>{0, 0}, 4);
  ASSERT_EQ(hits->size(), 4u);
  EXPECT_EQ((*hits)[0].id, 4u);
  EXPECT_EQ((*hits)[1].id, 6u);
  EXPECT_EQ((*hits)[2].id, 9u);
  EXPECT_EQ((*hits)[3].id, 1u);
}

TEST(HnswIndex, DuplicatesAndFailedBatchesChangeNothing) {
  HnswIndex index(2, Metric::L2);
  ASSERT_TRUE(index.add(5, std::vector<float>{1, 1}));
  auto dup = index.add(5, std::vector<float>{2, 2});
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error().message(), "duplicate vector ID: 5");
  EXPECT_EQ(*index.remove(5), true);
  EXPECT_EQ(*index.remove(5), false);
  ASSERT_TRUE(index.add(5, std::vector<float>{2, 2}));
  EXPECT_EQ(index.len(), 1u);

  std::vector<Entry> batch{{1, {0, 0}}, {2, {1, 0}}, {3, {1, 0, 0}}};
  auto bad = index.add_batch(batch);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::DimensionMismatch);
  std::vector<Entry> live_id{{1, {0, 0}}, {5, {1, 0}}};
  EXPECT_EQ(index.add_batch(live_id).error().message(), "duplicate vector ID: 5");
  EXPECT_EQ(index.len(), 1u);
  EXPECT_EQ(index.graph().slot_count(), 1u);  // the refused batches claimed nothing
  EXPECT_TRUE(index.add_batch({}));
}

TEST(HnswIndex, BlocksMayStartAtAnyIdAndWrapLikeEveryIndex) {
  HnswIndex index(2, Metric::L2);
  ASSERT_TRUE(index.add(5, std::vector<float>{1, 1}));
  std::vector<float> block{0, 0, 1, 0, 2, 0, 3, 0};
  ASSERT_TRUE(index.add_batch_np(block, 2, UINT64_MAX - 1));  // ids 2^64 - 2, 2^64 - 1, 0, 1
  EXPECT_EQ(index.len(), 5u);
  EXPECT_EQ(index.graph().slot_count(), 5u);
  EXPECT_EQ((*index.search(std::vector<float>{1, 0}, 1))[0].id, UINT64_MAX);
  EXPECT_EQ((*index.search(std::vector<float>{3, 0}, 1))[0].id, 1u);
  // An empty block is fine at any start.
  EXPECT_TRUE(index.add_batch_np({}, 2, UINT64_MAX));
  EXPECT_TRUE(index.add_batch_parallel({}, 2, UINT64_MAX, 0, 0));
  EXPECT_EQ(index.len(), 5u);
}

TEST(HnswIndex, BlockChecks) {
  HnswIndex index(3, Metric::L2);
  std::vector<float> block(8, 1.0f);
  EXPECT_EQ(index.add_batch_np(block, 4, 0).error().message(), "dimension mismatch: expected 3, got 4");
  EXPECT_EQ(index.add_batch_parallel(block, 3, 0, 0, 0).error().message(),
            "invalid configuration: data length 8 is not divisible by dimension 3");
  EXPECT_EQ(index.len(), 0u);
  HnswIndex zero(0, Metric::L2);
  EXPECT_TRUE(zero.add_batch_np({}, 0, 0));
  EXPECT_EQ(zero.len(), 0u);
}

TEST(HnswIndex, DeletingTheEntryPointAndEverything) {
  const size_t n = 300, d = 8;
  auto data = random_block(n, d, 4);
  HnswIndex index(d, Metric::L2, {64, 32, 6});
  ASSERT_TRUE(index.add_batch_np(data, d, 0));
  for (int round = 0; round < 5; ++round) {
    Slot entry = *index.graph().entry_point;
    EXPECT_EQ(*index.remove(entry), true);
    expect_graph_invariants(index.graph());
    auto hits = index.search(row(data, d, entry), 5);
    ASSERT_EQ(hits->size(), 5u);
    for (const Hit& h : *hits) EXPECT_NE(h.id, entry);
  }
  for (size_t i = 0; i < n; ++i) (void)index.remove(i);
  EXPECT_EQ(index.len(), 0u);
  EXPECT_FALSE(index.graph().entry_point);
  EXPECT_TRUE(index.search(row(data, d, 0), 3)->empty());
  ASSERT_TRUE(index.add(17, row(data, d, 17)));
  EXPECT_EQ((*index.search(row(data, d, 17), 1))[0].id, 17u);
  EXPECT_EQ(index.graph().slot_count(), n);
}

TEST(HnswIndex, SearchesNeverStartFromDeletedNodes) {
  const size_t n = 2000, d = 8;
  auto data = random_block(n, d, 5);
  HnswIndex index(d, Metric::L2, {64, 16, 4});
  ASSERT_TRUE(index.add_batch_np(data, d, 0));
  std::mt19937 rng(6);
  // Delete the nodes of the upper layers first: their links stay in the lists
  // of other nodes and would lead a descent onto them.
  for (size_t s = 0; s < n; ++s)
    if (index.graph().levels[s] > 0 && rng() % 4 != 0) (void)index.remove(s);
  for (size_t s = 0; s < n; ++s)
    if (rng() % 2) (void)index.remove(s);
  expect_graph_invariants(index.graph());
  for (size_t i = 0; i < 200; ++i) {
    auto hits = index.search(row(data, d, i), 3);
    ASSERT_FALSE(hits->empty()) << i;
    for (const Hit& h : *hits) EXPECT_TRUE(index.graph().live[h.id]);
  }
}

TEST(HnswIndex, LargeIdTakesOneSlot) {
  HnswIndex index(2, Metric::L2);
  ASSERT_TRUE(index.add(1'000'000, std::vector<float>{1, 2}));
  EXPECT_EQ(index.graph().slot_count(), 1u);
  EXPECT_EQ(index.len(), 1u);
  EXPECT_EQ((*index.search(std::vector<float>{1, 2}, 3))[0].id, 1'000'000u);
}

TEST(HnswIndex, DotProductReportsTheNegatedDot) {
  HnswIndex index(2, Metric::DotProduct);
  ASSERT_TRUE(index.add(1, std::vector<float>{1, 2}));
  auto hits = index.search(std::vector<float>{3, 4}, 1);
  EXPECT_EQ((*hits)[0].distance, -11.0f);
}

TEST(HnswIndex, ReinsertingLiveIdsKeepsTheGraphWhole) {
  const size_t n = 1500, d = 8;
  auto data = random_block(n, d, 7);
  auto other = random_block(n, d, 8);
  HnswIndex index(d, Metric::L2, {64, 64, 6});
  ASSERT_TRUE(index.add_batch_np(data, d, 0));
  // Re-insert the entry point (twice in one batch) and a large part of the
  // graph through the bulk paths.
  Slot entry = *index.graph().entry_point;
  ASSERT_TRUE(*index.remove(entry));
  std::vector<Entry> batch{{entry, std::vector<float>(other.begin() + entry * d, other.begin() + (entry + 1) * d)},
                           {entry, std::vector<float>(other.begin() + entry * d, other.begin() + (entry + 1) * d)}};
  ASSERT_TRUE(index.add_batch(batch));
  ASSERT_TRUE(index.add_batch_np(std::span<const float>(other.data(), 400 * d), d, 0));
  ASSERT_TRUE(index.add_batch_parallel(std::span<const float>(other.data() + 400 * d, 600 * d), d, 400, 2, 100));
  EXPECT_EQ(index.len(), n);
  expect_graph_invariants(index.graph());
  EXPECT_GE(reachable_on_layer0(index.graph()), n * 95 / 100);
  size_t self_found = 0;
  for (size_t i = 0; i < n; ++i) {
    const auto& src = i < 1000 ? other : data;
    auto hits = index.search(row(src, d, i), 1);
    self_found += (*hits)[0].id == i;
  }
  // Unlinking does not reconnect the old neighbours, so some recall is lost;
  // linking the re-inserted entry point only to itself would lose nearly all.
  EXPECT_GE(self_found, n * 70 / 100);
}

TEST(HnswIndex, LargeMWorks) {
  const size_t n = 600, d = 8;
  auto data = random_block(n, d, 9);
  HnswIndex index(d, Metric::L2, {80, 80, 40});
  ASSERT_TRUE(index.add_batch_np(data, d, 0));
  expect_graph_invariants(index.graph());
  auto queries = random_block(30, d, 10);
  EXPECT_GE(recall_against_flat(index, data, queries, d, Metric::L2, 10), 0.98);
  EXPECT_FALSE(HnswIndex::check_config({200, 50, 40000}));
  EXPECT_TRUE(HnswIndex::check_config({200, 50, 32767}));
}

TEST(HnswIndex, ChurnAboveLayerZeroKeepsTheListsWhole) {
  // Nodes above layer 0 are removed and their slots re-used at other levels,
  // enough times for the pool of upper lists to be compacted more than once.
  struct Case {
    const char* what;
    uint8_t level;  // level of every re-inserted node
  };
  const Case cases[] = {{"re-used at layer 0", 0}, {"re-used one layer up", 1}, {"re-used higher", 3}};
  const size_t n = 1500, d = 8;
  auto data = random_block(n, d, 31);
  for (const Case& c : cases) {
    HnswIndex index(d, Metric::L2, {40, 40, 4});
    index.set_level_source_for_testing(level_sequence(32, index.graph().level_multiplier));
    ASSERT_TRUE(index.add_batch_np(data, d, 0));
    index.set_level_source_for_testing([&] { return c.level; });
    for (int round = 0; round < 3; ++round) {
      for (size_t i = 0; i < n; ++i) {
        if (index.graph().levels[*index.graph().find(i)] == 0) continue;
        ASSERT_TRUE(*index.remove(i));
        ASSERT_TRUE(index.add(i, row(data, d, i)));
      }
      expect_graph_invariants(index.graph());
    }
    EXPECT_LE(index.graph().upper_garbage * 2, index.graph().upper_pool.size() + 4096) << c.what;
    size_t found = 0;
    for (size_t i = 0; i < n; ++i) found += (*index.search(row(data, d, i), 1))[0].id == i;
    EXPECT_GE(found, n * 98 / 100) << c.what;
  }
}

TEST(HnswIndex, ParallelBuildDoesNotDependOnTheThreadCount) {
  const size_t n = 2000, d = 16;
  auto data = random_block(n, d, 11);
  auto build = [&](size_t threads) {
    auto index = std::make_unique<HnswIndex>(d, Metric::L2, HnswConfig{48, 32, 6});
    index->set_level_source_for_testing(level_sequence(12, index->graph().level_multiplier));
    EXPECT_TRUE(index->add_batch_parallel(data, d, 0, threads, 64));
    return index;
  };
  auto one = build(1), two = build(2);
  const HnswGraph &a = one->graph(), &b = two->graph();
  EXPECT_EQ(a.levels, b.levels);
  EXPECT_EQ(a.layer0_counts, b.layer0_counts);
  EXPECT_EQ(a.layer0_links, b.layer0_links);
  EXPECT_EQ(upper_lists(a), upper_lists(b));
  EXPECT_EQ(a.entry_point, b.entry_point);
  expect_graph_invariants(a);
}

TEST(HnswIndex, ParallelBuildOfOrderedRowsKeepsTheSequentialRecall) {
  // A random walk: each row's nearest neighbours are the rows just before and
  // after it, so they arrive in the same micro-batch.
  const size_t n = 6000, d = 16;
  std::mt19937 rng(21);
  std::normal_distribution<float> g;
  std::vector<float> data(n * d);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < d; ++j) data[i * d + j] = (i ? data[(i - 1) * d + j] : 0.0f) + g(rng);
  std::vector<float> queries(200 * d);
  for (size_t i = 0; i < 200; ++i)
    for (size_t j = 0; j < d; ++j) queries[i * d + j] = data[(i * 29 % n) * d + j] + 0.5f * g(rng);

  const HnswConfig config{64, 10, 8};
  HnswIndex sequential(d, Metric::L2, config), parallel(d, Metric::L2, config);
  sequential.set_level_source_for_testing(level_sequence(22, sequential.graph().level_multiplier));
  parallel.set_level_source_for_testing(level_sequence(22, parallel.graph().level_multiplier));
  ASSERT_TRUE(sequential.add_batch_np(data, d, 0));
  ASSERT_TRUE(parallel.add_batch_parallel(data, d, 0, 2, 256));
  expect_graph_invariants(parallel.graph());
  const double want = recall_against_flat(sequential, data, queries, d, Metric::L2, 10);
  EXPECT_GE(recall_against_flat(parallel, data, queries, d, Metric::L2, 10), want - 0.03);
}

TEST(HnswIndex, ParallelBuildFindsEveryRow) {
  const size_t n = 3000, d = 16;
  auto data = random_block(n, d, 13);
  HnswIndex index(d, Metric::L2, {100, 64, 8});
  ASSERT_TRUE(index.add(100000, row(data, d, 0)));
  ASSERT_TRUE(index.add_batch_parallel(data, d, 10, 0, 0));
  EXPECT_EQ(index.len(), n + 1);
  expect_graph_invariants(index.graph());
  size_t found = 0;
  for (size_t i = 0; i < n; ++i) {
    auto hits = index.search(row(data, d, i), 2);
    for (const Hit& h : *hits) found += h.id == i + 10;
  }
  EXPECT_GE(found, n * 99 / 100);
}

TEST(HnswIndex, SmallParallelBatchIsSequential) {
  // With no more rows than one micro-batch the result equals add_batch_np.
  const size_t n = 200, d = 8;
  auto data = random_block(n, d, 14);
  HnswIndex a(d, Metric::L2), b(d, Metric::L2);
  a.set_level_source_for_testing(level_sequence(15, a.graph().level_multiplier));
  b.set_level_source_for_testing(level_sequence(15, b.graph().level_multiplier));
  ASSERT_TRUE(a.add_batch_np(data, d, 0));
  ASSERT_TRUE(b.add_batch_parallel(data, d, 0, 4, 256));
  EXPECT_EQ(a.graph().layer0_links, b.graph().layer0_links);
  EXPECT_EQ(upper_lists(a.graph()), upper_lists(b.graph()));
}

TEST(HnswIndex, IterateListsLiveSlotsInOrder) {
  HnswIndex index(2, Metric::L2);
  ASSERT_TRUE(index.add(4, std::vector<float>{4, 4}));
  ASSERT_TRUE(index.add(1, std::vector<float>{1, 1}));
  ASSERT_TRUE(index.add(2, std::vector<float>{2, 2}));
  (void)index.remove(2);
  auto all = index.iterate();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], (Entry{1, {1, 1}}));
  EXPECT_EQ(all[1], (Entry{4, {4, 4}}));
}

// Ids from anywhere in the 64-bit range, through every way of adding: each
// vector is found under its own id, deletes free slots for later ids, and the
// graph costs one slot per node.
struct IdCase {
  const char* name;
  std::vector<VectorId> ids;
  int path;  // 0 add, 1 add_batch, 2 add_parallel
};

std::vector<VectorId> spread_ids() {
  std::vector<VectorId> ids{0, uint64_t{1} << 32, uint64_t{1} << 63, UINT64_MAX, (uint64_t{1} << 32) - 1};
  std::mt19937_64 rng(11);
  while (ids.size() < 400) ids.push_back(rng());
  return ids;
}

class HnswIds : public ::testing::TestWithParam<IdCase> {};

TEST_P(HnswIds, AnySixtyFourBitIdIsFoundDeletedAndReused) {
  const IdCase& c = GetParam();
  const size_t n = c.ids.size(), d = 8;
  auto data = random_block(n, d, 21);
  HnswIndex index(d, Metric::L2, {64, 400, 8});  // a beam over the whole graph: exact answers
  switch (c.path) {
    case 0:
      for (size_t i = 0; i < n; ++i) ASSERT_TRUE(index.add(c.ids[i], row(data, d, i)));
      break;
    case 1: {
      std::vector<Entry> entries;
      for (size_t i = 0; i < n; ++i) {
        auto v = row(data, d, i);
        entries.emplace_back(c.ids[i], std::vector<float>(v.begin(), v.end()));
      }
      ASSERT_TRUE(index.add_batch(entries));
      break;
    }
    default:
      ASSERT_TRUE(index.add_parallel(c.ids, data, 2, 64));
  }
  EXPECT_EQ(index.len(), n);
  EXPECT_EQ(index.graph().slot_count(), n);
  expect_graph_invariants(index.graph());
  // A parallel build links concurrently, and may leave a node no beam
  // reaches: it must find all but a few; the serial paths find every one.
  size_t first_found = 0;
  for (size_t i = 0; i < n; ++i) first_found += (*index.search(row(data, d, i), 1))[0].id == c.ids[i];
  EXPECT_GE(first_found, c.path == 2 ? n * 99 / 100 : n);
  std::set<VectorId> listed;
  for (const Entry& e : index.iterate()) listed.insert(e.first);
  EXPECT_EQ(listed, std::set<VectorId>(c.ids.begin(), c.ids.end()));

  // Delete every fourth id; none comes back, and the freed slots take new ids.
  for (size_t i = 0; i < n; i += 4) EXPECT_TRUE(*index.remove(c.ids[i]));
  for (size_t i = 0; i < n; i += 4) EXPECT_FALSE(*index.remove(c.ids[i]));
  std::set<VectorId> deleted;
  for (size_t i = 0; i < n; i += 4) deleted.insert(c.ids[i]);
  expect_graph_invariants(index.graph());
  size_t found = 0, kept = 0;
  for (size_t i = 0; i < n; ++i) {
    auto hits = *index.search(row(data, d, i), 3);
    for (const Hit& h : hits) EXPECT_FALSE(deleted.count(h.id)) << h.id;
    if (i % 4 != 0) {
      ++kept;
      found += hits[0].id == c.ids[i];
    }
  }
  EXPECT_GE(found, kept * 9 / 10);
  const uint64_t shift = 0x9E3779B97F4A7C15ull;  // new ids, none of them live
  for (size_t i = 0; i < n; i += 4) ASSERT_TRUE(index.add(c.ids[i] + shift, row(data, d, i)));
  EXPECT_EQ(index.graph().slot_count(), n);
  EXPECT_EQ(index.len(), n);
  // The graph is approximate: after many deletes a new node may lose its last
  // link back in pruning.
  size_t again = 0;
  for (size_t i = 0; i < n; i += 4) again += (*index.search(row(data, d, i), 1))[0].id == c.ids[i] + shift;
  EXPECT_GE(again, (n / 4) * 8 / 10);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, HnswIds,
    ::testing::Values(IdCase{"spread_add", spread_ids(), 0}, IdCase{"spread_add_batch", spread_ids(), 1},
                      IdCase{"spread_add_parallel", spread_ids(), 2},
                      IdCase{"top_of_range_parallel", {UINT64_MAX, UINT64_MAX - 1, UINT64_MAX - 2, 0, 1, 2}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HnswIndex, GrowthIsCheckedByNodeCountNotByIds) {
  HnswIndex index(128, Metric::L2);
  ASSERT_TRUE(index.add(UINT64_MAX, std::vector<float>(128, 1.0f)));
  EXPECT_TRUE(index.check_capacity(UINT64_MAX - 1));
  EXPECT_TRUE(index.check_capacity(UINT64_MAX));
  // More nodes than the machine's memory holds, or than 32-bit slots number.
  auto huge = index.graph().check_growth(uint64_t{1} << 31);
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().kind(), ErrorKind::OutOfMemory);
  EXPECT_NE(huge.error().message().find("bytes of memory"), std::string::npos) << huge.error().message();
  HnswIndex small(1, Metric::L2);
  auto many = small.graph().check_growth(kMaxHnswNodes + 1);
  ASSERT_FALSE(many);
  EXPECT_NE(many.error().message().find("slots, more than the graph's"), std::string::npos) << many.error().message();
}

}  // namespace
}  // namespace kovra

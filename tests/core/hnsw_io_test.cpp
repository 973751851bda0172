#include "core/index/hnsw_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "core/io/file.h"
#include "testutil.h"

namespace kovra {
namespace {

namespace fs = std::filesystem;

using testutil::random_block;

class HnswFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kovra_hnsw_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }

  static std::vector<uint8_t> bytes_of(const std::string& p) { return *io::read_whole_file(p); }
  static void write(const std::string& p, const std::vector<uint8_t>& b) {
    ASSERT_TRUE(io::write_whole_file(p, b));
  }
  template <class Fn>
  static std::vector<uint8_t> encode(Fn&& fn) {
    return *io::encode_to_bytes(fn);
  }

  static void expect_same_results(const HnswIndex& a, const HnswIndex& b, const std::vector<float>& queries,
                                  size_t d) {
    for (size_t i = 0; i < queries.size() / d; ++i) {
      std::span<const float> q(queries.data() + i * d, d);
      EXPECT_EQ(*a.search(q, 10), *b.search(q, 10)) << "query " << i;
    }
  }

  fs::path dir_;
};

void put_header(io::Encoder& e, uint64_t dims, uint32_t metric, uint64_t efc, uint64_t efs, uint64_t m) {
  e.put_u64(dims);
  e.put_enum(metric);
  e.put_u64(efc);
  e.put_u64(efs);
  e.put_u64(m);
}

TEST_F(HnswFiles, EmptyIndexIs77Bytes) {
  HnswIndex index(4, Metric::Cosine, {150, 40, 10});
  ASSERT_TRUE(index.save(path("empty")));
  auto b = bytes_of(path("empty"));
  auto want = encode([](io::Encoder& e) {
    put_header(e, 4, 1, 150, 40, 10);
    e.put_u64(0);
    e.put_u8(0);
    e.put_u64(10);
    e.put_u64(20);
    e.put_u64(150);
    e.put_f64(1.0 / std::log(10.0));
  });
  EXPECT_EQ(b.size(), 77u);
  EXPECT_EQ(b, want);
  auto loaded = HnswIndex::load(path("empty"));
  ASSERT_TRUE(loaded) << loaded.error().message();
  EXPECT_EQ(loaded->dimensions(), 4u);
  EXPECT_EQ(loaded->metric(), Metric::Cosine);
  EXPECT_EQ(loaded->config().ef_construction, 150u);
  EXPECT_EQ(loaded->config().ef_search, 40u);
  EXPECT_EQ(loaded->config().m, 10u);
  EXPECT_EQ(loaded->len(), 0u);
}

TEST_F(HnswFiles, OneVectorLayout) {
  HnswIndex index(2, Metric::L2);
  index.set_level_source_for_testing([] { return uint8_t{2}; });
  ASSERT_TRUE(index.add(7, std::vector<float>{1.5f, -2.0f}));
  ASSERT_TRUE(index.save(path("one")));
  auto want = encode([](io::Encoder& e) {
    put_header(e, 2, 0, 200, 50, 12);
    e.put_u64(1);
    e.put_u64(7);
    e.put_u64(2);
    e.put_f32(1.5f);
    e.put_f32(-2.0f);
    e.put_u64(3);
    for (int l = 0; l < 3; ++l) e.put_u64(0);
    e.put_u64(2);
    e.put_u8(1);
    e.put_u64(7);
    e.put_u64(12);
    e.put_u64(24);
    e.put_u64(200);
    e.put_f64(1.0 / std::log(12.0));
  });
  EXPECT_EQ(bytes_of(path("one")), want);
  auto loaded = HnswIndex::load(path("one"));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->len(), 1u);
  EXPECT_EQ((*loaded->search(std::vector<float>{0, 0}, 3))[0].id, 7u);
}

TEST_F(HnswFiles, SaveLoadGivesIdenticalResultsAlsoAfterDeletions) {
  const size_t n = 2000, d = 12;
  auto data = random_block(n, d, 1);
  auto queries = random_block(50, d, 2);
  for (Metric m : {Metric::L2, Metric::Cosine}) {
    HnswIndex index(d, m, {64, 40, 8});
    ASSERT_TRUE(index.add_batch_np(data, d, 0));
    ASSERT_TRUE(index.save(path("a")));
    expect_same_results(index, *HnswIndex::load(path("a")), queries, d);

    // Delete the entry point, the highest slot and a spread of others.
    ASSERT_TRUE(*index.remove(*index.graph().entry_point));
    ASSERT_TRUE(*index.remove(n - 1));
    for (size_t i = 0; i < n; i += 7) (void)index.remove(i);
    ASSERT_TRUE(index.save(path("b")));
    auto loaded = HnswIndex::load(path("b"));
    ASSERT_TRUE(loaded) << loaded.error().message();
    EXPECT_EQ(loaded->len(), index.len());
    // Slots are renumbered densely on load; the entry point is the same node.
    const HnswGraph &a = index.graph(), &b = loaded->graph();
    EXPECT_EQ(b.ids[*b.entry_point], a.ids[*a.entry_point]);
    EXPECT_EQ(b.slot_count(), index.len());
    expect_same_results(index, *loaded, queries, d);

    // The graph file alone, restored into an index built from the same settings.
    ASSERT_TRUE(index.save_graph(path("hnsw.graph")));
    HnswIndex restored(d, m, {64, 40, 8});
    ASSERT_TRUE(restored.restore_graph(path("hnsw.graph")));
    EXPECT_EQ(restored.len(), index.len());
    expect_same_results(index, restored, queries, d);
  }
}

TEST_F(HnswFiles, LegacyLayoutIsRebuilt) {
  const size_t n = 300, d = 6;
  auto data = random_block(n, d, 3);
  auto legacy = encode([&](io::Encoder& e) {
    put_header(e, d, 0, 100, 30, 8);
    e.put_u64(n + 1);
    for (size_t i = 0; i < n; ++i) {
      e.put_u64(i * 3);
      e.put_array(std::span<const float>(data.data() + i * d, d));
    }
    // A repeated id keeps its last vector.
    e.put_u64(0);
    e.put_array(std::span<const float>(data.data() + 5 * d, d));
  });
  write(path("legacy"), legacy);
  auto loaded = HnswIndex::load(path("legacy"));
  ASSERT_TRUE(loaded) << loaded.error().message();
  EXPECT_EQ(loaded->len(), n);
  EXPECT_EQ(loaded->config().ef_search, 30u);
  EXPECT_EQ(loaded->graph().m0, 16u);
  for (size_t i = 1; i < n; ++i) {
    if (i == 5) continue;  // stored twice: ids 0 and 15 tie
    auto hits = loaded->search(std::span<const float>(data.data() + i * d, d), 1);
    EXPECT_EQ((*hits)[0].id, i * 3);
    EXPECT_EQ((*hits)[0].distance, 0.0f);
  }
  auto zero = loaded->iterate();
  EXPECT_EQ(zero[0].second, std::vector<float>(data.begin() + 5 * d, data.begin() + 6 * d));
}

TEST_F(HnswFiles, UnreadableFilesFail) {
  auto missing = HnswIndex::load(path("missing"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);

  write(path("junk"), {1, 2, 3});
  auto junk = HnswIndex::load(path("junk"));
  ASSERT_FALSE(junk);
  EXPECT_EQ(junk.error().kind(), ErrorKind::Serialization);

  HnswIndex index(3, Metric::L2);
  ASSERT_TRUE(index.add(1, std::vector<float>{1, 2, 3}));
  ASSERT_TRUE(index.save(path("good")));
  auto good = bytes_of(path("good"));
  // A metric index of 3 is rejected by both layouts.
  auto bad_metric = good;
  bad_metric[8] = 3;
  write(path("metric"), bad_metric);
  auto m = HnswIndex::load(path("metric"));
  ASSERT_FALSE(m);
  EXPECT_NE(m.error().message().find("variant index 0 <= i < 3"), std::string::npos);
  // Every truncation fails cleanly, except prefixes that happen to hold a
  // complete legacy file (header, count 1, the node's key and vector) followed
  // by bytes that a reader ignores.
  for (size_t len = 0; len < good.size(); ++len) {
    write(path("cut"), std::vector<uint8_t>(good.begin(), good.begin() + len));
    auto r = HnswIndex::load(path("cut"));
    if (len >= 72) {
      ASSERT_TRUE(r);
      EXPECT_EQ(r->len(), 1u);
      continue;
    }
    ASSERT_FALSE(r) << len;
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  }
  EXPECT_EQ(HnswIndex::load(dir_.string()).error().kind(), ErrorKind::Io);
}

// A graph record with one hand-written node list per case.
std::vector<uint8_t> graph_file(uint64_t dims, uint64_t vector_len, uint64_t link, std::optional<uint64_t> entry,
                                uint64_t level = 0, uint64_t m0 = 24) {
  return *io::encode_to_bytes([&](io::Encoder& e) {
    e.put_u64(2);
    for (uint64_t key : {0, 1}) {
      e.put_u64(key);
      e.put_array(std::vector<float>(key == 1 ? vector_len : dims, 1.0f));
      e.put_u64(1);
      e.put_array(std::vector<uint64_t>{key == 0 ? link : 0});
      e.put_u64(key == 0 ? level : 0);
    }
    e.put_option(entry, [](io::Encoder& x, uint64_t v) { x.put_u64(v); });
    e.put_u64(12);
    e.put_u64(m0);
    e.put_u64(200);
    e.put_f64(0.4);
  });
}

TEST_F(HnswFiles, DamagedGraphsAreRejectedAndLeaveTheIndexUnchanged) {
  HnswIndex index(3, Metric::L2);
  ASSERT_TRUE(index.add(4, std::vector<float>{1, 2, 3}));
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"link outside the slots", graph_file(3, 3, 2, 0)},
      {"entry point outside the slots", graph_file(3, 3, 1, 5)},
      {"entry point that is no node", graph_file(3, 3, 1, std::nullopt)},
      {"vector of the wrong length", graph_file(3, 2, 1, 0)},
      {"level above 255", graph_file(3, 3, 1, 0, 256)},
      {"m0 beyond the 16-bit counts", graph_file(3, 3, 1, 0, 0, 70000)},
  };
  for (const Case& c : cases) {
    write(path("hnsw.graph"), c.bytes);
    auto r = index.restore_graph(path("hnsw.graph"));
    ASSERT_FALSE(r) << c.what;
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization) << c.what;
    EXPECT_EQ(index.len(), 1u);
    EXPECT_EQ((*index.search(std::vector<float>{0, 0, 0}, 1))[0].id, 4u);

    // The same graph behind an index header fails load as well.
    auto file = *io::encode_to_bytes([](io::Encoder& e) { put_header(e, 3, 0, 200, 50, 12); });
    file.insert(file.end(), c.bytes.begin(), c.bytes.end());
    write(path("index"), file);
    auto loaded = HnswIndex::load(path("index"));
    ASSERT_FALSE(loaded) << c.what;
    EXPECT_EQ(loaded.error().kind(), ErrorKind::Serialization) << c.what;
  }
  write(path("hnsw.graph"), graph_file(3, 3, 1, 0));
  ASSERT_TRUE(index.restore_graph(path("hnsw.graph")));
  EXPECT_EQ(index.len(), 2u);
  EXPECT_EQ(index.graph().m0, 24u);
}

TEST_F(HnswFiles, GraphFileLifecycle) {
  HnswIndex index(2, Metric::L2);
  // No file: success, unchanged.
  ASSERT_TRUE(index.add(1, std::vector<float>{1, 1}));
  ASSERT_TRUE(index.restore_graph(path("hnsw.graph")));
  EXPECT_EQ(index.len(), 1u);
  ASSERT_TRUE(index.save_graph(path("hnsw.graph")));
  auto first = bytes_of(path("hnsw.graph"));
  // Nothing live: the old file stays as it was.
  ASSERT_TRUE(*index.remove(1));
  ASSERT_TRUE(index.save_graph(path("hnsw.graph")));
  EXPECT_EQ(bytes_of(path("hnsw.graph")), first);
  ASSERT_TRUE(index.restore_graph(path("hnsw.graph")));
  EXPECT_EQ(index.len(), 1u);
  EXPECT_EQ((*index.search(std::vector<float>{0, 0}, 1))[0].id, 1u);
  // An empty file does not decode.
  write(path("empty.graph"), {});
  EXPECT_EQ(index.restore_graph(path("empty.graph")).error().kind(), ErrorKind::Serialization);
  // Failing to create the file is an I/O error.
  EXPECT_EQ(index.save((dir_ / "no" / "such").string()).error().kind(), ErrorKind::Io);
}

// A hand-written graph record: nodes under `keys` (in this order), node i
// linking on layer 0 to the next two keys (cyclically), the first key the
// entry point on level 1 linking to the second. Written as a graph whose
// slots were its ids has always been written, so a load and a save must give
// the same bytes back whatever the keys.
std::vector<uint8_t> keyed_graph(const std::vector<uint64_t>& keys) {
  return *io::encode_to_bytes([&](io::Encoder& e) {
    put_header(e, 2, 0, 200, 50, 12);
    e.put_u64(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      e.put_u64(keys[i]);
      e.put_array(std::vector<float>{static_cast<float>(i), 1.0f});
      e.put_u64(i == 0 ? 2 : 1);
      e.put_array(std::vector<uint64_t>{keys[(i + 1) % keys.size()], keys[(i + 2) % keys.size()]});
      if (i == 0) e.put_array(std::vector<uint64_t>{keys[1]});
      e.put_u64(i == 0 ? 1 : 0);
    }
    e.put_option(std::optional<uint64_t>(keys[0]), [](io::Encoder& x, uint64_t v) { x.put_u64(v); });
    e.put_u64(12);
    e.put_u64(24);
    e.put_u64(200);
    e.put_f64(0.4);
  });
}

struct KeyCase {
  const char* name;
  std::vector<uint64_t> keys;  // ascending, as files are written
};

class HnswKeys : public HnswFiles, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(HnswKeys, FilesRoundTripByteForByteAndNodesKeepTheirIds) {
  const KeyCase& c = GetParam();
  const auto file = keyed_graph(c.keys);
  write(path("in"), file);
  auto index = HnswIndex::load(path("in"));
  ASSERT_TRUE(index) << index.error().message();
  EXPECT_EQ(index->len(), c.keys.size());
  EXPECT_EQ(index->graph().slot_count(), c.keys.size());
  ASSERT_TRUE(index->save(path("out")));
  EXPECT_EQ(bytes_of(path("out")), file);
  for (size_t i = 0; i < c.keys.size(); ++i) {
    auto hits = *index->search(std::vector<float>{static_cast<float>(i), 1.0f}, 1);
    EXPECT_EQ(hits[0].id, c.keys[i]);
  }
  // A delete and an add under a new key: the freed slot is reused and the
  // file still lists the nodes by key, ascending.
  ASSERT_TRUE(*index->remove(c.keys[1]));
  ASSERT_TRUE(index->add(c.keys[1] ^ 0x8000000000000000ull, std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(index->graph().slot_count(), c.keys.size());
  ASSERT_TRUE(index->save(path("again")));
  auto reloaded = HnswIndex::load(path("again"));
  ASSERT_TRUE(reloaded) << reloaded.error().message();
  auto all = reloaded->iterate();
  ASSERT_EQ(all.size(), c.keys.size());
  for (size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1].first, all[i].first);
  EXPECT_EQ((*reloaded->search(std::vector<float>{1.0f, 1.0f}, 1))[0].id, c.keys[1] ^ 0x8000000000000000ull);
  ASSERT_TRUE(reloaded->save(path("third")));
  EXPECT_EQ(bytes_of(path("third")), bytes_of(path("again")));
}

INSTANTIATE_TEST_SUITE_P(Keys, HnswKeys,
                         ::testing::Values(KeyCase{"dense", {0, 1, 2, 3}},
                                           KeyCase{"edges", {0, uint64_t{1} << 32, uint64_t{1} << 63, UINT64_MAX}},
                                           KeyCase{"sparse", {7, 40'000'000, 0x0123456789abcdefull}}),
                         [](const auto& info) { return std::string(info.param.name); });

// Files written elsewhere may list their nodes in any key order, or a key
// twice: such a file loads through the id map instead of the sorted keys.
TEST_F(HnswFiles, NodesInAnyKeyOrderLoad) {
  struct Case {
    const char* what;
    std::vector<uint64_t> keys;  // file order
    std::vector<std::pair<uint64_t, float>> live;  // ascending key, first coordinate of its vector
  };
  const Case cases[] = {
      {"descending", {9, 5, 1}, {{1, 2.0f}, {5, 1.0f}, {9, 0.0f}}},
      {"a repeated key keeps its last node", {4, 2, 4}, {{2, 1.0f}, {4, 2.0f}}},
      {"ascending with a gap", {3, 8, 9}, {{3, 0.0f}, {8, 1.0f}, {9, 2.0f}}},
  };
  for (const Case& c : cases) {
    write(path("in"), keyed_graph(c.keys));
    auto index = HnswIndex::load(path("in"));
    ASSERT_TRUE(index) << c.what << ": " << index.error().message();
    auto all = index->iterate();
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    ASSERT_EQ(all.size(), c.live.size()) << c.what;
    for (size_t i = 0; i < all.size(); ++i) {
      EXPECT_EQ(all[i].first, c.live[i].first) << c.what;
      EXPECT_EQ(all[i].second[0], c.live[i].second) << c.what;
      auto hits = *index->search(all[i].second, 1);
      EXPECT_EQ(hits[0].id, c.live[i].first) << c.what;
    }
  }
}

TEST_F(HnswFiles, LinksToKeysThatAreNotStoredAreDropped) {
  // Node 0 links to key 3, below the largest key 5 but not stored: a link
  // toward a deleted node, which loads and is left out when saved again.
  auto graph = [](std::vector<uint64_t> links0) {
    return *io::encode_to_bytes([&](io::Encoder& e) {
      put_header(e, 2, 0, 200, 50, 12);
      e.put_u64(2);
      for (uint64_t key : {0, 5}) {
        e.put_u64(key);
        e.put_array(std::vector<float>{static_cast<float>(key), 0.0f});
        e.put_u64(1);
        e.put_array(key == 0 ? links0 : std::vector<uint64_t>{0});
        e.put_u64(0);
      }
      e.put_option(std::optional<uint64_t>(5), [](io::Encoder& x, uint64_t v) { x.put_u64(v); });
      e.put_u64(12);
      e.put_u64(24);
      e.put_u64(200);
      e.put_f64(0.4);
    });
  };
  write(path("gap"), graph({3, 5}));
  auto index = HnswIndex::load(path("gap"));
  ASSERT_TRUE(index) << index.error().message();
  EXPECT_EQ(index->len(), 2u);
  EXPECT_EQ((*index->search(std::vector<float>{0, 0}, 2))[1].id, 5u);
  ASSERT_TRUE(index->save(path("saved")));
  EXPECT_EQ(bytes_of(path("saved")), graph({5}));
}

}  // namespace
}  // namespace kovra

namespace kovra {
namespace {

// Three nodes 0, 1, 2 on a line; node 0 is the entry point at `level` with
// the given lists (layer 0 first) and graph m `m`.
std::vector<uint8_t> upper_graph(uint64_t level, const std::vector<std::vector<uint64_t>>& lists0, uint64_t m = 1) {
  return *io::encode_to_bytes([&](io::Encoder& e) {
    put_header(e, 2, 0, 200, 50, 12);
    e.put_u64(3);
    for (uint64_t key : {0, 1, 2}) {
      e.put_u64(key);
      e.put_array(std::vector<float>{static_cast<float>(key), 0.0f});
      if (key == 0) {
        e.put_u64(lists0.size());
        for (const auto& l : lists0) e.put_array(l);
      } else {
        e.put_u64(1);
        e.put_array(std::vector<uint64_t>{0});
      }
      e.put_u64(key == 0 ? level : 0);
    }
    e.put_option(std::optional<uint64_t>(0), [](io::Encoder& x, uint64_t v) { x.put_u64(v); });
    e.put_u64(m);
    e.put_u64(2);
    e.put_u64(200);
    e.put_f64(0.4);
  });
}

TEST_F(HnswFiles, UpperListsLoadAsTheFileHasThem) {
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    std::vector<uint8_t> saved;  // empty: the file itself
  };
  const Case cases[] = {
      {"a list longer than m is kept whole", upper_graph(1, {{1, 2}, {1, 2}}), {}},
      {"an empty list on the top layer", upper_graph(2, {{1}, {2}, {}}), {}},
      {"fewer lists than the level: the missing ones are empty", upper_graph(2, {{1}, {2}}),
       upper_graph(2, {{1}, {2}, {}})},
      {"lists above the level are neither kept nor saved", upper_graph(1, {{1}, {2}, {1}}),
       upper_graph(1, {{1}, {2}})},
  };
  for (const Case& c : cases) {
    write(path("in"), c.file);
    auto index = HnswIndex::load(path("in"));
    ASSERT_TRUE(index) << c.what << ": " << index.error().message();
    ASSERT_TRUE(index->save(path("out")));
    EXPECT_EQ(bytes_of(path("out")), c.saved.empty() ? c.file : c.saved) << c.what;
    for (uint64_t key : {0, 1, 2})
      EXPECT_EQ((*index->search(std::vector<float>{static_cast<float>(key), 0.0f}, 1))[0].id, key) << c.what;
    // A new node links into the loaded lists; a node above layer 0 is removed.
    ASSERT_TRUE(index->add(3, std::vector<float>{3, 0}));
    ASSERT_TRUE(*index->remove(0));
    EXPECT_EQ((*index->search(std::vector<float>{3, 0}, 1))[0].id, 3u) << c.what;
  }
  // A graph m that no list could use is refused before anything is sized by it.
  write(path("wide"), upper_graph(1, {{1}, {2}}, uint64_t{1} << 40));
  auto wide = HnswIndex::load(path("wide"));
  ASSERT_FALSE(wide);
  EXPECT_EQ(wide.error().kind(), ErrorKind::Serialization);
}

}  // namespace
}  // namespace kovra

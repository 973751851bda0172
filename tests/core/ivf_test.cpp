#include "core/index/ivf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "cluster_data.h"
#include "core/index/flat.h"
#include "core/index/kmeans.h"
#include "core/io/codec.h"

namespace kovra {
namespace {

using testing_ivf::blobs;
using testing_ivf::read_bytes;
using testing_ivf::ScratchFile;
using testing_ivf::uniform;
using testing_ivf::write_bytes;

IvfIndex make(size_t dims, Metric metric, IvfConfig config) {
  auto r = IvfIndex::create(dims, metric, config);
  EXPECT_TRUE(r);
  return std::move(*r);
}

std::span<const float> row(const std::vector<float>& data, size_t dims, size_t i) {
  return std::span<const float>(data.data() + i * dims, dims);
}

std::vector<VectorId> ids_of(const std::vector<Hit>& hits) {
  std::vector<VectorId> out;
  for (const Hit& h : hits) out.push_back(h.id);
  return out;
}

TEST(IvfConfigCheck, ZeroListsIsRejectedAtConstruction) {
  auto r = IvfIndex::create(4, Metric::L2, {0, 1, 10, 5});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidConfig);
  EXPECT_EQ(r.error().message(), "invalid configuration: n_lists must be at least 1");
}

TEST(IvfUntrained, SearchIsExactOverTheBuffer) {
  const size_t dims = 6;
  std::vector<float> data = uniform(40, dims);
  for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    IvfIndex ivf = make(dims, m, {8, 2, 1000, 25});
    FlatIndex flat(dims, m);
    for (size_t i = 0; i < 40; ++i) {
      ASSERT_TRUE(ivf.add(i, row(data, dims, i)));
      ASSERT_TRUE(flat.add(i, row(data, dims, i)));
    }
    EXPECT_FALSE(ivf.is_trained());
    std::vector<float> q = uniform(1, dims, 77);
    auto a = ivf.search(q, 7);
    auto b = flat.search(q, 7);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b) << metric_name(m);
  }
}

TEST(IvfTraining, TrainsWhenTheBufferReachesTrainSize) {
  const size_t dims = 4;
  std::vector<float> data = uniform(10, dims);
  IvfIndex ivf = make(dims, Metric::L2, {16, 16, 3, 25});
  ASSERT_TRUE(ivf.add(1, row(data, dims, 0)));
  ASSERT_TRUE(ivf.add(2, row(data, dims, 1)));
  EXPECT_FALSE(ivf.is_trained());
  ASSERT_TRUE(ivf.add(3, row(data, dims, 2)));
  EXPECT_TRUE(ivf.is_trained());
  EXPECT_EQ(ivf.n_centroids(), 3u);
  EXPECT_EQ(ivf.len(), 3u);
  EXPECT_TRUE(ivf.pending_ids().empty());
  // Later adds go straight to the nearest list.
  ASSERT_TRUE(ivf.add(4, row(data, dims, 3)));
  size_t want = assign_nearest(Metric::L2, row(data, dims, 3), ivf.centroids().data(), 3);
  const auto& ids = ivf.lists()[want].ids;
  EXPECT_NE(std::find(ids.begin(), ids.end(), 4u), ids.end());
  auto hits = ivf.search(row(data, dims, 3), 1);
  ASSERT_TRUE(hits);
  EXPECT_EQ(ids_of(*hits), std::vector<VectorId>{4});
}

TEST(IvfTraining, FlushTrainsOnWhatIsBufferedOnce) {
  const size_t dims = 3;
  std::vector<float> data = uniform(8, dims);
  IvfIndex empty = make(dims, Metric::L2, {256, 4, 4096, 25});
  ASSERT_TRUE(empty.flush());
  EXPECT_FALSE(empty.is_trained());

  IvfIndex ivf = make(dims, Metric::L2, {256, 4, 4096, 25});
  for (size_t i = 0; i < 5; ++i) ASSERT_TRUE(ivf.add(i, row(data, dims, i)));
  ASSERT_TRUE(ivf.save_graph("unused"));  // does nothing
  EXPECT_FALSE(ivf.is_trained());
  ASSERT_TRUE(ivf.flush());
  EXPECT_TRUE(ivf.is_trained());
  EXPECT_EQ(ivf.n_centroids(), 5u);
  EXPECT_EQ(ivf.lists().size(), 5u);
  std::vector<float> before = ivf.centroids();
  ASSERT_TRUE(ivf.add(9, row(data, dims, 6)));
  ASSERT_TRUE(ivf.flush());
  ASSERT_TRUE(ivf.restore_graph("ignored"));
  EXPECT_EQ(ivf.centroids(), before);
  EXPECT_EQ(ivf.len(), 6u);
}

TEST(IvfTraining, ZeroIterationsPutsEverythingInListZero) {
  std::vector<float> data = uniform(20, 4);
  IvfIndex ivf = make(4, Metric::L2, {5, 5, 20, 0});
  for (size_t i = 0; i < 20; ++i) ASSERT_TRUE(ivf.add(i, row(data, 4, i)));
  ASSERT_TRUE(ivf.is_trained());
  EXPECT_EQ(ivf.lists()[0].ids.size(), 20u);
}

TEST(IvfSearch, ProbingEveryListMatchesTheExactScan) {
  const size_t dims = 16, n = 600;
  std::vector<float> data = blobs(n, dims, 12);
  std::vector<float> queries = uniform(10, dims, 3);
  for (float& x : queries) x = x * 300.0f + 500.0f;
  for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    IvfIndex ivf = make(dims, m, {12, 12, n, 25});
    FlatIndex flat(dims, m);
    ASSERT_TRUE(ivf.add_flat_batch(data, dims, 0));
    ASSERT_TRUE(flat.add_flat_batch(data, dims, 0));
    ASSERT_TRUE(ivf.is_trained());
    for (size_t qi = 0; qi < 10; ++qi) {
      auto a = ivf.search(row(queries, dims, qi), 10);
      auto b = flat.search(row(queries, dims, qi), 10);
      ASSERT_TRUE(a && b);
      ASSERT_EQ(a->size(), 10u);
      for (size_t j = 0; j < 10; ++j) EXPECT_EQ((*a)[j].distance, (*b)[j].distance) << metric_name(m);
    }
  }
}

TEST(IvfSearch, FewProbesKeepHighRecallOnClusteredData) {
  const size_t dims = 32, n = 3000;
  std::vector<float> data = blobs(n, dims, 30);
  IvfIndex ivf = make(dims, Metric::L2, {30, 3, n, 25});
  FlatIndex flat(dims, Metric::L2);
  ASSERT_TRUE(ivf.add_flat_batch(data, dims, 0));
  ASSERT_TRUE(flat.add_flat_batch(data, dims, 0));
  size_t found = 0;
  for (size_t qi = 0; qi < 50; ++qi) {
    auto a = ivf.search(row(data, dims, qi * 7), 10);
    auto b = flat.search(row(data, dims, qi * 7), 10);
    ASSERT_TRUE(a && b);
    std::set<VectorId> truth;
    for (const Hit& h : *b) truth.insert(h.id);
    for (const Hit& h : *a) found += truth.count(h.id);
  }
  EXPECT_GE(found, 450u);
}

TEST(IvfSearch, EdgeArguments) {
  std::vector<float> data = uniform(10, 4);
  IvfIndex ivf = make(4, Metric::L2, {3, 0, 10, 25});
  ASSERT_TRUE(ivf.add_flat_batch(data, 4, 0));
  ASSERT_TRUE(ivf.is_trained());
  // nprobe 0 scans no list: only the (empty) buffer.
  auto none = ivf.search(row(data, 4, 0), 5);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  auto k0 = ivf.search(row(data, 4, 0), 0);
  ASSERT_TRUE(k0);
  EXPECT_TRUE(k0->empty());
  std::vector<float> short_q(3);
  auto bad = ivf.search(short_q, 1);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "dimension mismatch: expected 4, got 3");
  auto bad_add = ivf.add(1, short_q);
  ASSERT_FALSE(bad_add);
  EXPECT_EQ(bad_add.error().kind(), ErrorKind::DimensionMismatch);
  EXPECT_EQ(ivf.len(), 10u);
}

TEST(IvfBatch, FlatBatchChecksShapeAndTrainsPartWay) {
  const size_t dims = 4;
  std::vector<float> data = blobs(25, dims, 5);
  IvfIndex ivf = make(dims, Metric::L2, {5, 5, 10, 25});
  auto width = ivf.add_flat_batch(data, 3, 0);
  ASSERT_FALSE(width);
  EXPECT_EQ(width.error().message(), "dimension mismatch: expected 4, got 3");
  auto ragged = ivf.add_flat_batch(std::span<const float>(data.data(), 10), dims, 0);
  ASSERT_FALSE(ragged);
  EXPECT_EQ(ragged.error().message(), "invalid configuration: raw_data length 10 is not a multiple of dim 4");
  EXPECT_EQ(ivf.len(), 0u);

  ASSERT_TRUE(ivf.add_flat_batch(data, dims, 100));
  EXPECT_TRUE(ivf.is_trained());
  EXPECT_EQ(ivf.len(), 25u);
  // Rows after training went to their nearest list with their sequential ids.
  for (size_t i = 10; i < 25; ++i) {
    size_t want = assign_nearest(Metric::L2, row(data, dims, i), ivf.centroids().data(), ivf.n_centroids());
    const auto& ids = ivf.lists()[want].ids;
    EXPECT_NE(std::find(ids.begin(), ids.end(), 100 + i), ids.end()) << i;
  }
  // A trained batch under a non-L2 metric assigns row by row.
  IvfIndex cos = make(dims, Metric::Cosine, {2, 2, 2, 25});
  ASSERT_TRUE(cos.add_flat_batch(data, dims, 0));
  EXPECT_EQ(cos.len(), 25u);
}

TEST(IvfBatch, TupleBatchStopsAtTheFirstFailure) {
  IvfIndex ivf = make(2, Metric::L2, {2, 2, 100, 25});
  std::vector<Entry> entries{{1, {0, 1}}, {2, {1, 0}}, {3, {1}}, {4, {2, 2}}};
  auto r = ivf.add_batch(entries);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::DimensionMismatch);
  EXPECT_EQ(ivf.len(), 2u);
}

TEST(IvfDelete, PendingDeleteMovesTheLastRowIntoTheGap) {
  IvfIndex ivf = make(2, Metric::L2, {2, 2, 100, 25});
  for (VectorId i = 0; i < 4; ++i) ASSERT_TRUE(ivf.add(i, std::vector<float>{float(i), float(i)}));
  ASSERT_TRUE(*ivf.remove(1));
  std::vector<Entry> it = ivf.iterate();
  ASSERT_EQ(it.size(), 3u);
  EXPECT_EQ(it[0].first, 0u);
  EXPECT_EQ(it[1].first, 3u);
  EXPECT_EQ(it[1].second, (std::vector<float>{3, 3}));
  EXPECT_EQ(it[2].first, 2u);
  EXPECT_FALSE(*ivf.remove(1));
  EXPECT_FALSE(*ivf.remove(99));
}

TEST(IvfDelete, ReAddedIdKeepsBothEntriesAndDeleteTakesTheNewer) {
  const size_t dims = 2;
  IvfIndex ivf = make(dims, Metric::L2, {2, 2, 4, 25});
  std::vector<std::vector<float>> pts{{0, 0}, {0, 1}, {100, 100}, {100, 101}};
  for (VectorId i = 0; i < 4; ++i) ASSERT_TRUE(ivf.add(i, pts[i]));
  ASSERT_TRUE(ivf.is_trained());
  // id 0 again, now in the far cluster.
  ASSERT_TRUE(ivf.add(0, std::vector<float>{100, 99}));
  EXPECT_EQ(ivf.len(), 5u);
  auto hits = ivf.search(std::vector<float>{50, 50}, 5);
  ASSERT_TRUE(hits);
  EXPECT_EQ(std::count_if(hits->begin(), hits->end(), [](const Hit& h) { return h.id == 0; }), 2);
  ASSERT_TRUE(*ivf.remove(0));
  std::vector<Entry> left = ivf.iterate();
  ASSERT_EQ(left.size(), 4u);
  bool old_kept = false;
  for (const Entry& e : left) {
    if (e.first == 0) old_kept = e.second == std::vector<float>{0, 0};
  }
  EXPECT_TRUE(old_kept);
  // The map entry is gone, so the stale copy cannot be deleted by id.
  EXPECT_FALSE(*ivf.remove(0));
  EXPECT_EQ(ivf.len(), 4u);
}

TEST(IvfIterate, PendingFirstThenListOrder) {
  std::vector<float> data = blobs(12, 3, 3);
  IvfIndex ivf = make(3, Metric::L2, {3, 3, 12, 25});
  ASSERT_TRUE(ivf.add_flat_batch(data, 3, 0));
  std::vector<Entry> it = ivf.iterate();
  ASSERT_EQ(it.size(), 12u);
  size_t pos = 0;
  for (const PostingList& l : ivf.lists()) {
    for (size_t i = 0; i < l.ids.size(); ++i, ++pos) {
      EXPECT_EQ(it[pos].first, l.ids[i]);
      EXPECT_EQ(it[pos].second, std::vector<float>(data.begin() + l.ids[i] * 3, data.begin() + l.ids[i] * 3 + 3));
    }
  }
}

class IvfSnapshot : public ::testing::Test {
 protected:
  static constexpr size_t kDims = 8;

  void fill(IvfIndex& ivf, size_t n) {
    data_ = blobs(n, kDims, 6);
    ASSERT_TRUE(ivf.add_flat_batch(data_, kDims, 1000));
  }
  void expect_same(const IvfIndex& a, const IvfIndex& b) {
    EXPECT_EQ(a.len(), b.len());
    EXPECT_EQ(a.is_trained(), b.is_trained());
    EXPECT_EQ(a.centroids(), b.centroids());
    EXPECT_EQ(a.config(), b.config());
    EXPECT_EQ(a.metric(), b.metric());
    for (size_t q = 0; q < 6; ++q) {
      auto x = a.search(row(data_, kDims, q), 5);
      auto y = b.search(row(data_, kDims, q), 5);
      ASSERT_TRUE(x && y);
      EXPECT_EQ(*x, *y);
    }
  }
  Result<IvfIndex> reload(const std::vector<uint8_t>& bytes) {
    write_bytes(file_.path(), bytes);
    return IvfIndex::load(file_.path());
  }

  ScratchFile file_{"ivf_snapshot"};
  std::vector<float> data_;
};

TEST_F(IvfSnapshot, UntrainedAndTrainedRoundTrip) {
  for (size_t train_size : {1000u, 40u}) {
    IvfIndex ivf = make(kDims, Metric::Cosine, {6, 2, train_size, 25});
    fill(ivf, 60);
    ASSERT_TRUE(ivf.remove(1003));
    ASSERT_TRUE(ivf.save(file_.path()));
    auto back = IvfIndex::load(file_.path());
    ASSERT_TRUE(back) << back.error().message();
    expect_same(ivf, *back);
    EXPECT_EQ(back->iterate().size(), ivf.iterate().size());
    // The map survives: deleting by id still finds listed entries.
    EXPECT_TRUE(*back->remove(1059));
  }
}

TEST_F(IvfSnapshot, ExactBytesOfAnUntrainedIndex) {
  IvfIndex ivf = make(2, Metric::DotProduct, {3, 4, 5, 6});
  ASSERT_TRUE(ivf.add(7, std::vector<float>{1.0f, -2.0f}));
  ASSERT_TRUE(ivf.save(file_.path()));
  auto want = io::encode_to_bytes([](io::Encoder& e) {
    e.put_u64(2);
    e.put_u32(2);
    for (uint64_t v : {3, 4, 5, 6}) e.put_u64(v);
    e.put_array(std::vector<uint64_t>{7});
    e.put_array(std::vector<float>{1.0f, -2.0f});
    e.put_array(std::vector<float>{});
    e.put_u64(0);
    e.put_u64(0);  // lists
    e.put_u64(0);  // map
    e.put_u8(0);
  });
  ASSERT_TRUE(want);
  EXPECT_EQ(read_bytes(file_.path()), *want);
}

TEST_F(IvfSnapshot, EveryTruncationFailsCleanly) {
  IvfIndex ivf = make(2, Metric::L2, {2, 2, 4, 25});
  std::vector<float> data = blobs(6, 2, 2);
  ASSERT_TRUE(ivf.add_flat_batch(data, 2, 0));
  ASSERT_TRUE(ivf.remove(5));
  ASSERT_TRUE(ivf.save(file_.path()));
  std::vector<uint8_t> bytes = read_bytes(file_.path());
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    auto r = reload(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
    ASSERT_FALSE(r) << "cut " << cut;
    ASSERT_EQ(r.error().kind(), ErrorKind::Serialization) << "cut " << cut;
  }
  // Trailing bytes are ignored.
  bytes.push_back(0xAB);
  EXPECT_TRUE(reload(bytes));
}

TEST_F(IvfSnapshot, BadMetricAndBoolBytes) {
  IvfIndex ivf = make(kDims, Metric::L2, {3, 2, 100, 25});
  fill(ivf, 4);
  ASSERT_TRUE(ivf.save(file_.path()));
  std::vector<uint8_t> bytes = read_bytes(file_.path());
  std::vector<uint8_t> metric3 = bytes;
  metric3[8] = 3;
  auto r = reload(metric3);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  EXPECT_NE(r.error().message().find("0 <= i < 3"), std::string::npos);
  std::vector<uint8_t> bad_bool = bytes;
  bad_bool.back() = 2;
  auto b = reload(bad_bool);
  ASSERT_FALSE(b);
  EXPECT_EQ(b.error().kind(), ErrorKind::Serialization);
  EXPECT_EQ(IvfIndex::load(file_.path() + ".missing").error().kind(), ErrorKind::Io);
}

// Writes a snapshot by hand so that one part can disagree with the others.
struct Parts {
  uint64_t dims = 2;
  IvfConfig config{2, 2, 10, 5};
  std::vector<uint64_t> pending_ids;
  std::vector<float> pending_vectors;
  std::vector<float> centroids{0, 0, 1, 1};
  uint64_t n_centroids = 2;
  std::vector<std::pair<std::vector<uint64_t>, std::vector<float>>> lists{{{1}, {0, 0}}, {{2}, {1, 1}}};
  std::vector<uint64_t> list_dims{2, 2};
  std::vector<std::pair<uint64_t, uint64_t>> map{{1, 0}, {2, 1}};
  bool trained = true;

  std::vector<uint8_t> bytes() const {
    return *io::encode_to_bytes([&](io::Encoder& e) {
      e.put_u64(dims);
      e.put_u32(0);
      encode_ivf_config(e, config);
      e.put_array(pending_ids);
      e.put_array(pending_vectors);
      e.put_array(centroids);
      e.put_u64(n_centroids);
      e.put_count(lists.size());
      for (size_t j = 0; j < lists.size(); ++j) {
        e.put_array(lists[j].first);
        e.put_array(lists[j].second);
        e.put_u64(list_dims[j]);
      }
      e.put_count(map.size());
      for (auto [k, v] : map) {
        e.put_u64(k);
        e.put_u64(v);
      }
      e.put_bool(trained);
    });
  }
};

TEST_F(IvfSnapshot, PartsThatDisagreeAreRejected) {
  Parts good;
  auto ok_load = reload(good.bytes());
  ASSERT_TRUE(ok_load) << ok_load.error().message();
  EXPECT_EQ(ok_load->len(), 2u);

  std::vector<Parts> bad(8, good);
  bad[0].lists[1].second.push_back(5);       // list vectors not ids x dims
  bad[1].centroids.pop_back();               // centroids not n_centroids x dims
  bad[2].map[1].second = 2;                  // list index out of range
  bad[3].n_centroids = 3;                    // fewer lists than centroids
  bad[3].centroids.resize(6);
  bad[4].pending_ids = {9};                  // pending buffer without its vector
  bad[5].list_dims[0] = 3;                   // list of another width
  bad[6].config.n_lists = 0;                 // untrainable configuration
  bad[7].n_centroids = 0;                    // trained without centroids
  bad[7].centroids.clear();
  bad[7].lists.clear();
  bad[7].list_dims.clear();
  bad[7].map.clear();
  for (size_t i = 0; i < bad.size(); ++i) {
    auto r = reload(bad[i].bytes());
    ASSERT_FALSE(r) << "case " << i;
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization) << "case " << i;
  }
}

TEST_F(IvfSnapshot, HugeCountsDoNotAllocate) {
  Parts p;
  std::vector<uint8_t> bytes = p.bytes();
  // The pending-id count sits after dims, metric and config.
  const size_t at = 8 + 4 + 32;
  for (int b = 0; b < 8; ++b) bytes[at + b] = 0xFF;
  auto r = reload(bytes);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
}

}  // namespace
}  // namespace kovra

#include "core/index/ivf_pq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "cluster_data.h"
#include "core/index/flat.h"
#include "core/io/codec.h"

namespace kovra {
namespace {

using testing_ivf::blobs;
using testing_ivf::read_bytes;
using testing_ivf::ScratchFile;
using testing_ivf::uniform;
using testing_ivf::write_bytes;

IvfPqConfig config(uint64_t n_lists, uint64_t nprobe, uint64_t train_size, uint64_t m, uint64_t k_sub) {
  return IvfPqConfig{n_lists, nprobe, train_size, 25, PqConfig{m, k_sub, 25}};
}

IvfPqIndex make(size_t dims, Metric metric, const IvfPqConfig& c) {
  auto r = IvfPqIndex::create(dims, metric, c);
  EXPECT_TRUE(r) << r.error().message();
  return std::move(*r);
}

std::span<const float> row(const std::vector<float>& data, size_t dims, size_t i) {
  return std::span<const float>(data.data() + i * dims, dims);
}

TEST(IvfPqConfigCheck, UntrainableParametersAreRejectedAtConstruction) {
  struct Case {
    size_t dims;
    IvfPqConfig c;
    const char* message;
  };
  std::vector<Case> cases{
      {8, config(0, 1, 10, 2, 16), "invalid configuration: n_lists must be at least 1"},
      {8, config(4, 1, 10, 0, 16), "invalid configuration: pq_m must be at least 1"},
      {10, config(4, 1, 10, 3, 16), "invalid configuration: dimensions (10) must be divisible by m (3)"},
      {8, config(4, 1, 10, 2, 0), "invalid configuration: pq_k_sub must be between 1 and 256, got 0"},
      {8, config(4, 1, 10, 2, 257), "invalid configuration: pq_k_sub must be between 1 and 256, got 257"},
  };
  for (const Case& c : cases) {
    auto r = IvfPqIndex::create(c.dims, Metric::L2, c.c);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.message);
  }
  EXPECT_TRUE(IvfPqIndex::create(8, Metric::L2, config(1, 1, 1, 8, 256)));
}

TEST(IvfPqSearch, UntrainedIsExactAndTrainedReportsSquaredL2Estimates) {
  const size_t dims = 8, n = 20;
  std::vector<float> data = uniform(n, dims);
  IvfPqIndex pq = make(dims, Metric::Cosine, config(2, 2, 1000, 4, 256));
  FlatIndex flat(dims, Metric::Cosine);
  ASSERT_TRUE(pq.add_flat_batch(data, dims, 0));
  ASSERT_TRUE(flat.add_flat_batch(data, dims, 0));
  std::span<const float> q = row(data, dims, 3);
  auto exact = pq.search(q, 5);
  ASSERT_TRUE(exact);
  EXPECT_EQ(*exact, *flat.search(q, 5));

  ASSERT_TRUE(pq.flush());
  ASSERT_TRUE(pq.is_trained());
  ASSERT_TRUE(pq.quantizer().has_value());
  // Fewer residuals than k_sub: every residual sub-vector is a centroid, so
  // the estimate is the squared Euclidean distance, not the cosine one.
  auto est = pq.search(q, static_cast<size_t>(n));
  ASSERT_TRUE(est);
  ASSERT_EQ(est->size(), n);
  for (const Hit& h : *est) {
    float want = raw_distance(Metric::L2, q, row(data, dims, h.id));
    EXPECT_NEAR(h.distance, want, 1e-4f * std::max(1.0f, want)) << h.id;
  }
  EXPECT_EQ((*est)[0].id, 3u);
  EXPECT_EQ((*est)[0].distance, 0.0f);
}

TEST(IvfPqSearch, UnrolledScansAgreeWithThePlainSum) {
  // 8, 16 and 32 codes of 256 centroids take the unrolled scan; lists of
  // more than eight entries cover its blocks and its tail.
  const size_t dims = 32, n = 60;
  std::vector<float> data = uniform(n, dims, 4);
  for (uint64_t m : {4u, 8u, 16u, 32u}) {
    IvfPqIndex pq = make(dims, Metric::L2, config(3, 3, n, m, 256));
    ASSERT_TRUE(pq.add_flat_batch(data, dims, 0));
    ASSERT_TRUE(pq.is_trained());
    std::vector<float> q = uniform(1, dims, 40 + static_cast<uint32_t>(m));
    auto hits = pq.search(q, n);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), n);
    const ProductQuantizer& quant = *pq.quantizer();
    std::vector<float> residual(dims);
    for (size_t c = 0; c < pq.n_centroids(); ++c) {
      for (size_t j = 0; j < dims; ++j) residual[j] = q[j] - pq.centroids()[c * dims + j];
      std::vector<float> table = quant.distance_table(residual);
      const PqList& l = pq.lists()[c];
      for (size_t i = 0; i < l.ids.size(); ++i) {
        float want = quant.adc_distance(table.data(), l.codes.data() + i * m);
        auto it = std::find_if(hits->begin(), hits->end(), [&](const Hit& h) { return h.id == l.ids[i]; });
        ASSERT_NE(it, hits->end());
        EXPECT_EQ(it->distance, want) << "m=" << m << " id " << l.ids[i];
      }
    }
  }
}

TEST(IvfPqSearch, RecallAgainstTheExactScan) {
  const size_t dims = 32, n = 4000;
  std::vector<float> data = blobs(n, dims, 20);
  // Spread points inside each blob so the residuals carry information.
  std::vector<float> jitter = uniform(n, dims, 8);
  for (size_t i = 0; i < data.size(); ++i) data[i] += 10.0f * jitter[i];
  IvfPqIndex pq = make(dims, Metric::L2, config(20, 4, n, 16, 64));
  FlatIndex flat(dims, Metric::L2);
  ASSERT_TRUE(pq.add_flat_batch(data, dims, 0));
  ASSERT_TRUE(flat.add_flat_batch(data, dims, 0));
  ASSERT_TRUE(pq.is_trained());
  size_t found = 0;
  for (size_t qi = 0; qi < 40; ++qi) {
    auto a = pq.search(row(data, dims, qi * 13), 10);
    auto b = flat.search(row(data, dims, qi * 13), 10);
    ASSERT_TRUE(a && b);
    std::set<VectorId> truth;
    for (const Hit& h : *b) truth.insert(h.id);
    for (const Hit& h : *a) found += truth.count(h.id);
  }
  EXPECT_GE(found, 200u);  // recall@10 of at least 0.5 at 2 bytes per 4 dims
}

TEST(IvfPqSearch, EdgeArguments) {
  std::vector<float> data = uniform(12, 4);
  IvfPqIndex pq = make(4, Metric::L2, config(3, 0, 12, 2, 4));
  ASSERT_TRUE(pq.add_flat_batch(data, 4, 0));
  ASSERT_TRUE(pq.is_trained());
  EXPECT_TRUE(pq.search(row(data, 4, 0), 3)->empty());  // nprobe 0
  EXPECT_TRUE(pq.search(row(data, 4, 0), 0)->empty());
  auto bad = pq.search(std::vector<float>(5), 1);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "dimension mismatch: expected 4, got 5");
  auto ragged = pq.add_flat_batch(std::span<const float>(data.data(), 6), 4, 0);
  ASSERT_FALSE(ragged);
  EXPECT_EQ(ragged.error().message(), "invalid configuration: raw_data length 6 is not a multiple of dim 4");
  EXPECT_EQ(pq.add_flat_batch(data, 3, 0).error().kind(), ErrorKind::DimensionMismatch);
  EXPECT_EQ(pq.len(), 12u);
}

TEST(IvfPqEntries, DeleteDropsTheExactCopy) {
  const size_t dims = 4;
  std::vector<float> data = blobs(10, dims, 2);
  IvfPqIndex pq = make(dims, Metric::L2, config(2, 2, 6, 2, 8));
  ASSERT_TRUE(pq.add_flat_batch(data, dims, 0));
  ASSERT_EQ(pq.len(), 10u);
  ASSERT_TRUE(*pq.remove(2));
  EXPECT_FALSE(*pq.remove(2));
  EXPECT_EQ(pq.len(), 9u);
  std::vector<Entry> it = pq.iterate();
  ASSERT_EQ(it.size(), 9u);
  for (const Entry& e : it) {
    EXPECT_NE(e.first, 2u);
    EXPECT_EQ(e.second, std::vector<float>(row(data, dims, e.first).begin(), row(data, dims, e.first).end()));
  }
  // Pending deletes work the same way before training.
  IvfPqIndex pending = make(dims, Metric::L2, config(2, 2, 100, 2, 8));
  ASSERT_TRUE(pending.add_flat_batch(data, dims, 0));
  ASSERT_TRUE(*pending.remove(0));
  std::vector<Entry> p = pending.iterate();
  ASSERT_EQ(p.size(), 9u);
  EXPECT_EQ(p[0].first, 9u);  // the last row took the gap
}

TEST(IvfPqEntries, ReAddedIdKeepsTheOldCodesAndTheNewCopy) {
  const size_t dims = 4;
  std::vector<float> data = blobs(8, dims, 2);
  IvfPqIndex pq = make(dims, Metric::L2, config(2, 2, 8, 2, 8));
  ASSERT_TRUE(pq.add_flat_batch(data, dims, 0));
  std::vector<float> fresh{7, 7, 7, 7};
  ASSERT_TRUE(pq.add(1, fresh));
  EXPECT_EQ(pq.len(), 9u);
  std::vector<Entry> it = pq.iterate();
  ASSERT_EQ(it.size(), 9u);
  for (const Entry& e : it) {
    if (e.first == 1) {
      EXPECT_EQ(e.second, fresh);
    }
  }
  ASSERT_TRUE(*pq.remove(1));
  // The older entry remains listed but has no copy left to iterate.
  EXPECT_EQ(pq.len(), 8u);
  EXPECT_EQ(pq.iterate().size(), 7u);
}

// The exact copies live on disk; every path that reads them must give each
// listed id its latest vector, whether the copy sits in the file the index was
// loaded from, in the rows written since, or in rows not yet written out.
class IvfPqExactCopies : public ::testing::Test {
 protected:
  static constexpr size_t kDims = 8;
  using Model = std::map<VectorId, std::vector<float>>;

  static std::vector<float> vec(VectorId id, float salt) {
    std::vector<float> v(kDims);
    for (size_t j = 0; j < kDims; ++j) v[j] = static_cast<float>((id * 7 + j * 3) % 11) + salt;
    return v;
  }

  // Adds ids [from, to) with `salt` to the index and the model.
  static void add(IvfPqIndex& pq, Model& model, VectorId from, VectorId to, float salt) {
    for (VectorId id = from; id < to; ++id) {
      ASSERT_TRUE(pq.add(id, vec(id, salt)));
      model[id] = vec(id, salt);
    }
  }

  static void expect_matches(const IvfPqIndex& pq, const Model& model, const std::string& name) {
    std::set<VectorId> seen;
    for (const auto& [id, v] : pq.iterate()) {
      ASSERT_TRUE(model.contains(id)) << name << ": id " << id;
      EXPECT_EQ(v, model.at(id)) << name << ": id " << id;
      seen.insert(id);
    }
    EXPECT_EQ(seen.size(), model.size()) << name;
    std::vector<VectorId> ask;
    for (const auto& [id, v] : model) ask.push_back(id);
    ask.push_back(1'000'000);  // never added
    auto got = pq.vectors_of(ask);
    for (size_t i = 0; i + 1 < ask.size(); ++i) {
      ASSERT_TRUE(got[i].has_value()) << name << ": id " << ask[i];
      EXPECT_EQ(*got[i], model.at(ask[i])) << name << ": id " << ask[i];
    }
    EXPECT_FALSE(got.back().has_value()) << name;
  }

  IvfPqIndex load(const std::string& path) {
    auto r = IvfPqIndex::load(path);
    EXPECT_TRUE(r) << r.error().message();
    return std::move(*r);
  }

  ScratchFile file_{"ivf_pq_exact"};
  ScratchFile other_{"ivf_pq_exact_other"};
};

TEST_F(IvfPqExactCopies, EveryWayOfReadingThemBackGivesTheLatestVector) {
  struct Case {
    const char* name;
    VectorId count;   // ids 0 .. count - 1 first (training at 24)
    bool reload;      // save and load before the changes
    bool changes;     // then re-add 3 and 20, delete 5 and 21
    bool save_over;   // then save over the loaded file and load it again
    std::string dir;  // where new copies are written
  };
  const std::vector<Case> cases = {
      {"fresh", 40, false, true, false, ""},
      {"loaded", 40, true, false, false, ""},
      {"changed after load", 40, true, true, false, ""},
      {"saved over the file it came from", 40, true, true, true, ""},
      // 64 KiB of rows go out at a time: several blocks, then a partial one.
      {"several written blocks", 5000, true, true, true, ""},
      {"no directory to write to", 300, true, true, true, "/nonexistent/kovra"},
  };
  for (const Case& c : cases) {
    auto made = IvfPqIndex::create(kDims, Metric::L2, config(4, 4, 24, 2, 16), c.dir);
    ASSERT_TRUE(made);
    IvfPqIndex pq = std::move(*made);
    Model model;
    add(pq, model, 0, c.count, 0.5f);
    if (c.reload) {
      ASSERT_TRUE(pq.save(file_.path()));
      pq = load(file_.path());
    }
    if (c.changes) {
      add(pq, model, 3, 4, 100.0f);  // a stale entry stays in the old list
      add(pq, model, 20, 21, 200.0f);
      for (VectorId id : {VectorId(5), VectorId(21)}) {
        ASSERT_TRUE(*pq.remove(id)) << c.name;
        model.erase(id);
      }
      add(pq, model, c.count, c.count + 10, 0.25f);
    }
    if (c.save_over) {
      ASSERT_TRUE(pq.save(file_.path())) << c.name;
      expect_matches(pq, model, std::string(c.name) + " (before the reload)");
      pq = load(file_.path());
      add(pq, model, c.count + 10, c.count + 12, 0.75f);
    }
    expect_matches(pq, model, c.name);
    // The same index saves the same bytes, wherever it came from.
    ASSERT_TRUE(pq.save(file_.path()));
    ASSERT_TRUE(load(file_.path()).save(other_.path()));
    EXPECT_EQ(read_bytes(file_.path()), read_bytes(other_.path())) << c.name;
    expect_matches(load(other_.path()), model, std::string(c.name) + " (reloaded)");
  }
}

// Replaced and deleted copies are dropped from the appended rows once they
// are as many as the live ones: under churn the rows stay within a bound of
// the live count, and every reader still gets each id's latest vector.
TEST_F(IvfPqExactCopies, ChurnKeepsTheAppendedRowsBounded) {
  struct Case {
    const char* name;
    VectorId count;   // ids 0 .. count - 1 first
    int rounds;       // then this many rounds of churn
    bool deletes;     // each round deletes every other id and adds it back, else re-adds every id
    bool reload;      // saved and loaded before the churn
    std::string dir;  // where appended rows are written
  };
  const std::vector<Case> cases = {
      {"every id replaced", 1500, 6, false, false, ""},
      {"deleted and added back", 1500, 6, true, false, ""},
      {"churn after a load", 1500, 4, false, true, ""},
      {"rows kept in memory", 1500, 4, true, false, "/nonexistent/kovra"},
      {"below the threshold", 300, 3, false, false, ""},
  };
  for (const Case& c : cases) {
    auto made = IvfPqIndex::create(kDims, Metric::L2, config(4, 4, 24, 2, 16), c.dir);
    ASSERT_TRUE(made);
    IvfPqIndex pq = std::move(*made);
    Model model;
    add(pq, model, 0, c.count, 0.5f);
    if (c.reload) {
      ASSERT_TRUE(pq.save(file_.path()));
      pq = load(file_.path());
    }
    uint64_t most = 0;
    for (int r = 0; r < c.rounds; ++r) {
      for (VectorId id = r % 2; id < c.count; id += c.deletes ? 2 : 1) {
        if (c.deletes) {
          ASSERT_TRUE(*pq.remove(id)) << c.name;
          model.erase(id);
        } else {
          add(pq, model, id, id + 1, 10.0f + r);
        }
        const ExactRows& rows = pq.exact_rows();
        most = std::max(most, rows.rows() - rows.loaded_rows());
      }
      if (c.deletes) {
        for (VectorId id = r % 2; id < c.count; id += 2) add(pq, model, id, id + 1, 20.0f + r);
      }
      expect_matches(pq, model, std::string(c.name) + " round " + std::to_string(r));
    }
    EXPECT_LE(most, 2 * c.count + 1024) << c.name;
    ASSERT_TRUE(pq.save(file_.path()));
    expect_matches(load(file_.path()), model, std::string(c.name) + " (reloaded)");
    // The same contents save the same bytes as an index that never churned.
    IvfPqIndex again = load(file_.path());
    ASSERT_TRUE(again.save(other_.path()));
    EXPECT_EQ(read_bytes(file_.path()), read_bytes(other_.path())) << c.name;
  }
}

TEST_F(IvfPqExactCopies, ALoadedIndexKeepsReadingWhenItsFileIsReplacedOrRemoved) {
  IvfPqIndex pq = make(kDims, Metric::L2, config(4, 4, 24, 2, 16));
  Model model;
  add(pq, model, 0, 60, 0.5f);
  ASSERT_TRUE(pq.save(file_.path()));
  IvfPqIndex loaded = load(file_.path());
  // Another index saved over the path, then the path removed: the loaded
  // index still holds the old file open.
  IvfPqIndex stranger = make(kDims, Metric::L2, config(2, 2, 4, 2, 16));
  Model ignored;
  add(stranger, ignored, 0, 30, 9.0f);
  ASSERT_TRUE(stranger.save(file_.path()));
  expect_matches(loaded, model, "replaced");
  std::remove(file_.path().c_str());
  expect_matches(loaded, model, "removed");
}

TEST_F(IvfPqExactCopies, OldFilesLoadWhateverTheOrderOfTheirCopiesAndMap) {
  // Files of earlier versions list copies and the id map in hash order, with
  // an id's copy possibly missing or without a list: rewrite a saved file's
  // tail in reverse order and drop one copy.
  IvfPqIndex pq = make(kDims, Metric::L2, config(3, 3, 12, 2, 16));
  Model model;
  add(pq, model, 0, 20, 0.5f);
  ASSERT_TRUE(pq.save(file_.path()));
  std::vector<uint8_t> bytes = read_bytes(file_.path());
  const size_t record = 16 + 4 * kDims;
  const size_t map_bytes = 8 + 16 * 20 + 1;
  const size_t copies_at = bytes.size() - map_bytes - (8 + record * 20);
  std::vector<uint8_t> out(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(copies_at));
  auto put_u64 = [&](uint64_t v) {
    for (int b = 0; b < 8; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
  };
  put_u64(19);
  for (size_t r = 20; r-- > 1;) {  // copy of record 0 dropped
    const auto* rec = bytes.data() + copies_at + 8 + r * record;
    out.insert(out.end(), rec, rec + record);
  }
  const size_t map_at = bytes.size() - map_bytes;
  put_u64(20);
  for (size_t e = 20; e-- > 0;) {
    const auto* pair = bytes.data() + map_at + 8 + e * 16;
    out.insert(out.end(), pair, pair + 16);
  }
  out.push_back(1);
  write_bytes(other_.path(), out);
  IvfPqIndex back = load(other_.path());
  const VectorId dropped = [&] {
    uint64_t id = 0;
    std::memcpy(&id, bytes.data() + copies_at + 8, 8);
    return id;
  }();
  model.erase(dropped);
  EXPECT_EQ(back.len(), 20u);  // listed, but iterated without a copy
  expect_matches(back, model, "reordered");
  EXPECT_TRUE(*back.remove(dropped));
}

class IvfPqSnapshot : public ::testing::Test {
 protected:
  Result<IvfPqIndex> reload(const std::vector<uint8_t>& bytes) {
    write_bytes(file_.path(), bytes);
    return IvfPqIndex::load(file_.path());
  }
  // Offset of the quantizer's option byte for an index with `pending` rows
  // and `n_centroids` centroids.
  static size_t quantizer_offset(size_t dims, size_t pending, size_t n_centroids) {
    return 8 + 4 + 56 + (8 + 8 * pending) + (8 + 4 * pending * dims) + (8 + 4 * n_centroids * dims) + 8;
  }

  ScratchFile file_{"ivf_pq_snapshot"};
};

TEST_F(IvfPqSnapshot, UntrainedAndTrainedRoundTrip) {
  const size_t dims = 8;
  std::vector<float> data = blobs(50, dims, 5);
  for (bool train : {false, true}) {
    IvfPqIndex pq = make(dims, Metric::DotProduct, config(5, 3, train ? 40 : 1000, 4, 16));
    ASSERT_TRUE(pq.add_flat_batch(data, dims, 500));
    ASSERT_TRUE(pq.save(file_.path()));
    std::vector<uint8_t> bytes = read_bytes(file_.path());
    const size_t pending = train ? 0 : 50;
    EXPECT_EQ(bytes[quantizer_offset(dims, pending, pq.n_centroids())], train ? 1 : 0);
    auto back = IvfPqIndex::load(file_.path());
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(back->len(), pq.len());
    EXPECT_EQ(back->centroids(), pq.centroids());
    EXPECT_EQ(back->config(), pq.config());
    EXPECT_EQ(back->is_trained(), train);
    for (size_t q = 0; q < 8; ++q) {
      auto a = pq.search(row(data, dims, q), 6);
      auto b = back->search(row(data, dims, q), 6);
      ASSERT_TRUE(a && b);
      EXPECT_EQ(*a, *b);
    }
    EXPECT_EQ(back->iterate().size(), pq.iterate().size());
    EXPECT_TRUE(*back->remove(549));
  }
}

TEST_F(IvfPqSnapshot, EveryTruncationFailsCleanly) {
  std::vector<float> data = blobs(5, 2, 2);
  IvfPqIndex pq = make(2, Metric::L2, config(2, 2, 4, 2, 2));
  ASSERT_TRUE(pq.add_flat_batch(data, 2, 0));
  ASSERT_TRUE(pq.save(file_.path()));
  std::vector<uint8_t> bytes = read_bytes(file_.path());
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    auto r = reload(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
    ASSERT_FALSE(r) << "cut " << cut;
    ASSERT_EQ(r.error().kind(), ErrorKind::Serialization) << "cut " << cut;
  }
  bytes.push_back(7);
  EXPECT_TRUE(reload(bytes));
}

// A hand-written trained snapshot: dims 2, one list with one entry.
struct PqParts {
  uint64_t dims = 2;
  bool has_quantizer = true;
  uint64_t m = 2, k_sub = 2, d_sub = 1;
  std::vector<float> codebooks{0, 1, 0, 1};
  std::vector<uint8_t> codes{1, 0};
  uint64_t list_of_id = 0;
  std::vector<float> copy{1, 0};
  bool trained = true;

  std::vector<uint8_t> bytes() const {
    return *io::encode_to_bytes([&](io::Encoder& e) {
      e.put_u64(dims);
      e.put_u32(0);
      encode_ivf_pq_config(e, IvfPqConfig{1, 1, 1, 5, PqConfig{2, 2, 5}});
      e.put_array(std::vector<uint64_t>{});
      e.put_array(std::vector<float>{});
      e.put_array(std::vector<float>{0, 0});
      e.put_u64(1);
      e.put_bool(has_quantizer);
      if (has_quantizer) {
        e.put_u64(m);
        e.put_u64(k_sub);
        e.put_u64(d_sub);
        e.put_array(codebooks);
      }
      e.put_count(1);          // lists
      e.put_count(1);          // entries of list 0
      e.put_u64(42);
      e.put_bytes(codes);
      e.put_count(1);          // exact copies
      e.put_u64(42);
      e.put_array(copy);
      e.put_count(1);          // id_to_list
      e.put_u64(42);
      e.put_u64(list_of_id);
      e.put_bool(trained);
    });
  }
};

TEST_F(IvfPqSnapshot, PartsThatDisagreeAreRejected) {
  PqParts good;
  auto r = reload(good.bytes());
  ASSERT_TRUE(r) << r.error().message();
  auto hits = r->search(std::vector<float>{1, 0}, 1);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].id, 42u);
  EXPECT_EQ((*hits)[0].distance, 0.0f);

  std::vector<PqParts> bad(7, good);
  bad[0].codes = {1};                 // codes of the wrong length
  bad[1].codes = {1, 2};              // code beyond k_sub: the table has no such column
  bad[2].has_quantizer = false;       // trained entries without a quantizer
  bad[3].codebooks.pop_back();        // codebooks not m x k_sub x d_sub
  bad[4].list_of_id = 1;              // list index out of range
  bad[5].copy = {1, 0, 0};            // exact copy of another width
  bad[6].d_sub = 2;                   // quantizer of another width
  bad[6].codebooks.resize(8);
  for (size_t i = 0; i < bad.size(); ++i) {
    auto b = reload(bad[i].bytes());
    ASSERT_FALSE(b) << "case " << i;
    EXPECT_EQ(b.error().kind(), ErrorKind::Serialization) << "case " << i;
  }
  std::vector<uint8_t> option2 = good.bytes();
  option2[quantizer_offset(2, 0, 1)] = 2;
  auto o = reload(option2);
  ASSERT_FALSE(o);
  EXPECT_EQ(o.error().kind(), ErrorKind::Serialization);
}

}  // namespace
}  // namespace kovra

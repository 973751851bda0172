#include "core/index/mmap_flat.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "core/distance.h"
#include "core/io/file.h"

namespace kovra {
namespace {

namespace fs = std::filesystem;

class MmapFlatIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kovra_mmap_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "vectors.kvec").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  MmapFlatIndex open(size_t d, Metric m = Metric::L2) {
    auto r = MmapFlatIndex::open(path_, d, m);
    EXPECT_TRUE(r) << r.error().message();
    return std::move(*r);
  }
  std::string open_error(size_t d, Metric m = Metric::L2) {
    auto r = MmapFlatIndex::open(path_, d, m);
    EXPECT_FALSE(r);
    return r ? "" : r.error().message();
  }
  std::vector<uint8_t> file() { return *io::read_whole_file(path_); }
  void write(const std::vector<uint8_t>& bytes) { ASSERT_TRUE(io::write_whole_file(path_, bytes)); }

  fs::path dir_;
  std::string path_;
};

std::multiset<VectorId> ids_of(const std::vector<Hit>& hits) {
  std::multiset<VectorId> out;
  for (const Hit& h : hits) out.insert(h.id);
  return out;
}

TEST_F(MmapFlatIndexTest, FirstFlushCreatesTheFile) {
  auto index = open(3);
  EXPECT_EQ(index.len(), 0u);
  EXPECT_FALSE(fs::exists(path_));
  ASSERT_TRUE(index.flush());  // nothing pending: still no file
  EXPECT_FALSE(fs::exists(path_));
  ASSERT_TRUE(index.add(0x1122334455667788ull, std::vector<float>{1.0f, 2.0f, 3.0f}));
  ASSERT_TRUE(index.flush());
  std::vector<uint8_t> expect{'K', 'V', 'E', 'C', 1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0,
                              1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                              0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,
                              0, 0, 0x80, 0x3F, 0, 0, 0, 0x40, 0, 0, 0x40, 0x40};
  EXPECT_EQ(file(), expect);
  EXPECT_EQ(fs::file_size(path_), 32u + 8 + 4 * 3);
}

TEST_F(MmapFlatIndexTest, ReopenFindsFlushedVectorsAndChecksTheHeader) {
  {
    auto index = open(2);
    ASSERT_TRUE(index.add(1, std::vector<float>{0, 0}));
    ASSERT_TRUE(index.add(2, std::vector<float>{3, 4}));
    ASSERT_TRUE(index.flush());
    ASSERT_TRUE(index.add(3, std::vector<float>{9, 9}));  // never flushed: lost
  }
  auto index = open(2);
  EXPECT_EQ(index.len(), 2u);
  auto hits = index.search(std::vector<float>{0, 0}, 5);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[1].id, 2u);
  EXPECT_EQ((*hits)[1].distance, 5.0f);  // Euclidean, not squared

  EXPECT_EQ(open_error(3), "dimension mismatch: expected 3, got 2");
  EXPECT_EQ(open_error(2, Metric::Cosine), "invalid configuration: metric mismatch: file=L2, expected=Cosine");
  auto bytes = file();
  bytes[12] = 7;
  write(bytes);
  EXPECT_EQ(open_error(2), "serialization error: unknown metric id 7");
}

TEST_F(MmapFlatIndexTest, DamagedFilesAreRefused) {
  write(std::vector<uint8_t>(10, 'K'));
  EXPECT_EQ(open_error(2), "serialization error: mmap file too small");
  write(std::vector<uint8_t>(31, 0));
  EXPECT_EQ(open_error(2), "serialization error: mmap file too small");
  write(std::vector<uint8_t>(32, 'x'));
  EXPECT_EQ(open_error(2), "serialization error: invalid KVEC magic");
  write({});
  EXPECT_EQ(open_error(2), "serialization error: mmap file too small");

  // A header count past the end of the file: refused, never scanned.
  fs::remove(path_);
  {
    auto index = open(2);
    ASSERT_TRUE(index.add(1, std::vector<float>{1, 1}));
    ASSERT_TRUE(index.add(2, std::vector<float>{2, 2}));
    ASSERT_TRUE(index.flush());
  }
  auto bytes = file();
  bytes.resize(bytes.size() - 1);
  write(bytes);
  auto r = MmapFlatIndex::open(path_, 2, Metric::L2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  bytes = file();
  bytes[23] = 0x40;  // enormous count
  write(bytes);
  r = MmapFlatIndex::open(path_, 2, Metric::L2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);

  // A directory at the path cannot be mapped.
  fs::remove(path_);
  fs::create_directory(path_);
  r = MmapFlatIndex::open(path_, 2, Metric::L2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
}

TEST_F(MmapFlatIndexTest, DeletionHidesRecordsAtOnceAndFlushDropsThem) {
  auto index = open(1);
  for (VectorId id = 1; id <= 4; ++id) ASSERT_TRUE(index.add(id, std::vector<float>{float(id)}));
  ASSERT_TRUE(index.flush());
  EXPECT_TRUE(*index.remove(2));
  EXPECT_FALSE(*index.remove(2));
  EXPECT_FALSE(*index.remove(99));
  EXPECT_EQ(index.len(), 3u);
  EXPECT_EQ(ids_of(*index.search(std::vector<float>{2}, 10)), (std::multiset<VectorId>{1, 3, 4}));
  ASSERT_TRUE(index.flush());
  EXPECT_EQ(fs::file_size(path_), 32u + 3 * 12);
  EXPECT_EQ(index.file_count(), 3u);
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
  auto reopened = open(1);
  EXPECT_EQ(ids_of(*reopened.search(std::vector<float>{2}, 10)), (std::multiset<VectorId>{1, 3, 4}));
}

TEST_F(MmapFlatIndexTest, AnIdCanBeTwiceInTheFileAndDeleteHidesBoth) {
  auto index = open(1);
  ASSERT_TRUE(index.add(7, std::vector<float>{1}));
  ASSERT_TRUE(index.flush());
  ASSERT_TRUE(index.add(7, std::vector<float>{2}));  // no duplicate check against the file
  EXPECT_EQ(index.len(), 2u);
  EXPECT_EQ(ids_of(*index.search(std::vector<float>{0}, 10)), (std::multiset<VectorId>{7, 7}));
  ASSERT_TRUE(index.flush());  // appended
  EXPECT_EQ(index.file_count(), 2u);
  EXPECT_EQ(fs::file_size(path_), 32u + 2 * 12);
  EXPECT_TRUE(*index.remove(7));
  EXPECT_EQ(index.len(), 0u);  // both records hidden
  EXPECT_TRUE(index.search(std::vector<float>{0}, 10)->empty());
}

// Re-adding a deleted id shows only the new vector, before and after flush.
TEST_F(MmapFlatIndexTest, ReAddingADeletedIdShowsOnlyTheNewVector) {
  auto index = open(1);
  ASSERT_TRUE(index.add(5, std::vector<float>{10}));
  ASSERT_TRUE(index.add(6, std::vector<float>{20}));
  ASSERT_TRUE(index.flush());
  EXPECT_TRUE(*index.remove(5));
  ASSERT_TRUE(index.add(5, std::vector<float>{30}));
  EXPECT_EQ(index.len(), 2u);
  auto hits = *index.search(std::vector<float>{30}, 10);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].id, 5u);
  EXPECT_EQ(hits[0].distance, 0.0f);
  EXPECT_EQ(hits[1].id, 6u);
  EXPECT_TRUE(*index.remove(5));  // the pending one
  EXPECT_EQ(index.len(), 1u);
  ASSERT_TRUE(index.add(5, std::vector<float>{40}));
  ASSERT_TRUE(index.flush());
  EXPECT_EQ(index.file_count(), 2u);
  auto entries = index.iterate();
  ASSERT_EQ(entries.size(), 2u);
  for (auto& [id, v] : entries) {
    if (id == 5) {
      EXPECT_EQ(v[0], 40.0f);
    }
  }
}

TEST_F(MmapFlatIndexTest, BatchesAndRowBlocks) {
  auto index = open(2);
  std::vector<Entry> entries{{1, {1, 1}}, {2, {1}}, {3, {1, 1}}};
  auto s = index.add_batch(entries);
  ASSERT_FALSE(s);
  EXPECT_EQ(index.len(), 1u);
  ASSERT_TRUE(index.add_flat_batch(std::vector<float>{1, 2, 3, 4}, 2, VectorId{1} << 40));
  EXPECT_EQ(ids_of(*index.search(std::vector<float>{0, 0}, 10)),
            (std::multiset<VectorId>{1, VectorId{1} << 40, (VectorId{1} << 40) + 1}));
  s = index.add_flat_batch(std::vector<float>{1, 2, 3}, 3, 0);
  EXPECT_EQ(s.error().message(), "dimension mismatch: expected 2, got 3");
  s = index.add_flat_batch(std::vector<float>{1, 2, 3}, 2, 0);
  EXPECT_EQ(s.error().message(), "invalid configuration: raw_data length 3 is not a multiple of dim 2");
  ASSERT_TRUE(index.add_flat_batch(std::vector<float>{}, 2, 0));
  EXPECT_EQ(index.len(), 3u);
  EXPECT_EQ(index.search(std::vector<float>{0}, 1).error().message(), "dimension mismatch: expected 2, got 1");
  EXPECT_TRUE(index.search(std::vector<float>{0, 0}, 0)->empty());
  EXPECT_EQ(index.search(std::vector<float>{0, 0}, SIZE_MAX)->size(), 3u);
}

TEST_F(MmapFlatIndexTest, ZeroDimensionsHoldIdsOnly) {
  {
    auto index = open(0, Metric::Cosine);
    ASSERT_TRUE(index.add(4, std::vector<float>{}));
    ASSERT_TRUE(index.add_flat_batch(std::vector<float>{}, 0, 9));  // adds nothing
    ASSERT_TRUE(index.flush());
  }
  EXPECT_EQ(fs::file_size(path_), 32u + 8);
  auto index = open(0, Metric::Cosine);
  auto hits = index.search(std::vector<float>{}, 5);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].id, 4u);
  EXPECT_TRUE(*index.remove(4));
  ASSERT_TRUE(index.flush());
  EXPECT_EQ(fs::file_size(path_), 32u);
}

// A failed flush reports Io and keeps everything pending or deleted.
TEST_F(MmapFlatIndexTest, FailedFlushKeepsTheState) {
  auto index = open(1);
  ASSERT_TRUE(index.add(1, std::vector<float>{1}));
  ASSERT_TRUE(index.add(2, std::vector<float>{2}));
  ASSERT_TRUE(index.flush());
  ASSERT_TRUE(index.add(3, std::vector<float>{3}));
  // Append fails: the path is now a directory.
  fs::remove(path_);
  fs::create_directory(path_);
  auto s = index.flush();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::Io);
  EXPECT_EQ(index.len(), 3u);
  EXPECT_EQ(index.pending_count(), 1u);
  // Rewrite fails too; the deletion stays in force.
  EXPECT_TRUE(*index.remove(1));
  s = index.flush();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::Io);
  EXPECT_EQ(ids_of(*index.search(std::vector<float>{0}, 10)), (std::multiset<VectorId>{2, 3}));
  // Once the path is usable again the same flush succeeds.
  fs::remove(path_);
  ASSERT_TRUE(index.flush());
  auto reopened = open(1);
  EXPECT_EQ(ids_of(*reopened.search(std::vector<float>{0}, 10)), (std::multiset<VectorId>{2, 3}));

  // No directory at all for a first file.
  auto lost = MmapFlatIndex::open((dir_ / "missing" / "x.kvec").string(), 1, Metric::L2);
  ASSERT_TRUE(lost);
  ASSERT_TRUE(lost->add(1, std::vector<float>{1}));
  s = lost->flush();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::Io);
  EXPECT_EQ(lost->len(), 1u);
}

// Removes and lookups go through the id map; every pattern of adds, flushes
// (appending or rewriting), removes and reopens must leave the index agreeing
// with a model that keeps the file's records as a list and scans it.
TEST_F(MmapFlatIndexTest, IdMapAgreesWithAScanOfTheRecords) {
  enum Op { Add, Remove, Flush, Reopen };
  struct Step {
    Op op;
    VectorId from = 0, to = 0;  // ids [from, to) for Add and Remove
    float salt = 0;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"flushed then removed", {{Add, 0, 100, 1}, {Flush}, {Remove, 10, 12}, {Remove, 200, 201}, {Remove, 10, 11}}},
      {"an id twice in the file", {{Add, 0, 10, 1}, {Flush}, {Add, 3, 4, 2}, {Flush}, {Remove, 3, 4}, {Flush}}},
      {"re-added after a delete", {{Add, 0, 20, 1}, {Flush}, {Remove, 5, 6}, {Add, 5, 6, 3}, {Flush}, {Remove, 5, 6}}},
      {"reopened", {{Add, 0, 50, 1}, {Flush}, {Add, 7, 8, 2}, {Flush}, {Reopen}, {Remove, 7, 8}, {Flush}, {Reopen}}},
      {"appends after a rewrite",
       {{Add, 0, 300, 1}, {Flush}, {Remove, 0, 150}, {Flush}, {Add, 400, 500, 2}, {Flush}, {Add, 450, 460, 3},
        {Flush}, {Remove, 440, 455}, {Reopen}, {Remove, 150, 160}, {Add, 0, 5, 4}, {Flush}}},
      {"removed before the first flush", {{Add, 0, 5, 1}, {Remove, 2, 3}, {Flush}, {Remove, 2, 3}}},
  };
  constexpr size_t kD = 3;
  auto vec = [](VectorId id, float salt) {
    return std::vector<float>{static_cast<float>(id), salt, static_cast<float>(id % 7)};
  };
  for (const Case& c : cases) {
    fs::remove(path_);
    std::vector<Entry> file_records;  // the model
    std::map<VectorId, std::vector<float>> pending;
    std::set<VectorId> deleted;
    bool exists = false;
    auto index = std::make_unique<MmapFlatIndex>(open(kD));
    for (const Step& st : c.steps) {
      switch (st.op) {
        case Add:
          for (VectorId id = st.from; id < st.to; ++id) {
            ASSERT_TRUE(index->add(id, vec(id, st.salt)));
            pending[id] = vec(id, st.salt);
          }
          break;
        case Remove:
          for (VectorId id = st.from; id < st.to; ++id) {
            bool present = pending.erase(id) > 0;
            if (!deleted.contains(id)) {
              for (const Entry& e : file_records) present |= e.first == id && !deleted.contains(id);
              for (const Entry& e : file_records) {
                if (e.first == id) deleted.insert(id);
              }
            }
            EXPECT_EQ(*index->remove(id), present) << c.name << ": id " << id;
          }
          break;
        case Flush: {
          ASSERT_TRUE(index->flush()) << c.name;
          if (!deleted.empty() || (!pending.empty() && !exists)) {
            std::erase_if(file_records, [&](const Entry& e) { return deleted.contains(e.first); });
            deleted.clear();
          }
          for (auto& [id, v] : pending) file_records.emplace_back(id, v);
          pending.clear();
          exists = exists || !file_records.empty();
          break;
        }
        case Reopen:
          index.reset();
          index = std::make_unique<MmapFlatIndex>(open(kD));
          pending.clear();
          deleted.clear();
          break;
      }
      std::multiset<std::pair<VectorId, std::vector<float>>> want, got;
      std::map<VectorId, std::vector<float>> latest;
      for (const Entry& e : file_records) {
        if (deleted.contains(e.first)) continue;
        want.insert(e);
        latest[e.first] = e.second;
      }
      for (auto& [id, v] : pending) want.emplace(id, v), latest[id] = v;
      for (Entry& e : index->iterate()) got.insert(std::move(e));
      ASSERT_EQ(got, want) << c.name;
      EXPECT_EQ(index->len(), want.size()) << c.name;
      std::vector<VectorId> ask;
      for (VectorId id = 0; id < 510; ++id) ask.push_back(id);
      const auto vs = index->vectors_of(ask);
      for (VectorId id : ask) {
        auto it = latest.find(id);
        ASSERT_EQ(vs[id].has_value(), it != latest.end()) << c.name << ": id " << id;
        if (vs[id]) {
          EXPECT_EQ(*vs[id], it->second) << c.name << ": id " << id;
        }
      }
    }
  }
}

TEST_F(MmapFlatIndexTest, SearchMatchesTheFlatScanAcrossFileAndPending) {
  const size_t d = 13, n = 700;
  std::mt19937 rng(3);
  std::normal_distribution<float> g;
  std::vector<float> data(n * d);
  for (auto& x : data) x = g(rng);
  for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    fs::remove(path_);
    auto index = *MmapFlatIndex::open(path_, d, m);
    ASSERT_TRUE(index.add_flat_batch(std::span(data.data(), 500 * d), d, 0));
    ASSERT_TRUE(index.flush());
    ASSERT_TRUE(index.add_flat_batch(std::span(data.data() + 500 * d, 200 * d), d, 500));
    for (VectorId id = 0; id < n; id += 7) ASSERT_TRUE(*index.remove(id));
    std::vector<float> q(d);
    for (auto& x : q) x = g(rng);
    std::vector<Hit> expect;
    for (VectorId id = 0; id < n; ++id) {
      if (id % 7 == 0) continue;
      expect.push_back({id, distance(m, q, std::span<const float>(data.data() + id * d, d))});
    }
    std::sort(expect.begin(), expect.end(), [](const Hit& a, const Hit& b) { return a.distance < b.distance; });
    auto hits = *index.search(q, 20);
    ASSERT_EQ(hits.size(), 20u);
    for (size_t i = 0; i < 20; ++i) EXPECT_EQ(hits[i].distance, expect[i].distance);
    EXPECT_EQ(index.iterate().size(), index.len());
  }
}

// A process killed in the middle of a large flush after deletions leaves a
// file that opens with either all the old records or all the new ones. The
// kills land at growing delays after the flush starts; the last round is not
// killed and must leave the new file.
TEST_F(MmapFlatIndexTest, KillDuringRewriteLeavesOldOrNewFile) {
  const size_t d = 64, n = 80000;
  std::vector<float> data(n * d);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<float>(i % 1013);
  {
    auto index = open(d);
    ASSERT_TRUE(index.add_flat_batch(data, d, 0));
    ASSERT_TRUE(index.flush());
  }
  const int kNoKill = -1;
  for (int delay_us : {0, 1000, 3000, 10000, 30000, 100000, kNoKill}) {
    auto before = MmapFlatIndex::open(path_, d, Metric::L2);
    ASSERT_TRUE(before);
    const uint64_t old_count = before->file_count();
    // Delete ids that are still in the file, a different set every round.
    std::vector<VectorId> victims;
    for (auto& [id, v] : before->iterate()) {
      if (victims.size() == 100) break;
      if (id % 7 == static_cast<VectorId>(delay_us + 7) % 7) victims.push_back(id);
    }
    ASSERT_EQ(victims.size(), 100u);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto r = MmapFlatIndex::open(path_, d, Metric::L2);
      if (!r) ::_exit(2);
      for (VectorId id : victims) (void)r->remove(id);
      char c = 1;
      if (::write(ready[1], &c, 1) != 1) ::_exit(3);
      ::_exit(r->flush() ? 0 : 4);
    }
    ::close(ready[1]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    if (delay_us != kNoKill) {
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
      ::kill(child, SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (delay_us == kNoKill) {
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    auto reopened = MmapFlatIndex::open(path_, d, Metric::L2);
    ASSERT_TRUE(reopened) << reopened.error().message();
    const uint64_t count = reopened->file_count();
    ASSERT_TRUE(count == old_count || count == old_count - victims.size()) << count;
    if (delay_us == kNoKill) {
      EXPECT_EQ(count, old_count - victims.size());
    }
    ASSERT_EQ(fs::file_size(path_), 32 + count * (8 + 4 * d));
    // Every record is whole, and the victims are all there or all gone.
    std::set<VectorId> seen;
    for (auto& [id, v] : reopened->iterate()) {
      ASSERT_LT(id, n);
      ASSERT_EQ(std::memcmp(v.data(), data.data() + id * d, 4 * d), 0) << id;
      seen.insert(id);
    }
    ASSERT_EQ(seen.size(), count);
    size_t victims_left = 0;
    for (VectorId id : victims) victims_left += seen.count(id);
    EXPECT_EQ(victims_left, count == old_count ? victims.size() : 0u);
  }
}

}  // namespace
}  // namespace kovra

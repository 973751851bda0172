// Behaviour shared by the three hash-keyed compressed indexes: replacement on
// a present id, non-atomic batches, the search guards, the row-block insertion
// and the save file's robustness against damage.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>

#include "core/index/binary_flat.h"
#include "core/index/quantized_flat.h"
#include "core/index/quantized_fp16.h"
#include "core/io/file.h"

namespace kovra {
namespace {

std::string temp_path(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("kovra_keyed_" + std::to_string(::getpid()) + "_" + name))
      .string();
}

std::vector<float> random_block(size_t n, size_t d, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  std::vector<float> out(n * d);
  for (auto& x : out) x = g(rng);
  return out;
}

template <class Index>
class KeyedIndex : public ::testing::Test {};

using Indexes = ::testing::Types<QuantizedFlatIndex, Fp16FlatIndex, BinaryFlatIndex>;
TYPED_TEST_SUITE(KeyedIndex, Indexes);

TYPED_TEST(KeyedIndex, AddingAPresentIdReplacesIt) {
  TypeParam index(2, Metric::L2);
  ASSERT_TRUE(index.add(5, std::vector<float>{1, 1}));
  ASSERT_TRUE(index.add(5, std::vector<float>{-1, -1}));
  EXPECT_EQ(index.len(), 1u);
  auto hits = index.search(std::vector<float>{-1, -1}, 10);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].id, 5u);
  EXPECT_EQ((*hits)[0].distance, 0.0f);
  EXPECT_TRUE(*index.remove(5));
  EXPECT_FALSE(*index.remove(5));
  EXPECT_TRUE(index.is_empty());
}

TYPED_TEST(KeyedIndex, BatchStopsAtTheFirstWrongLengthKeepingEarlierEntries) {
  TypeParam index(3, Metric::L2);
  std::vector<Entry> entries{{1, {1, 2, 3}}, {2, {1, 2, 3}}, {3, {1, 2}}, {4, {1, 2, 3}}};
  auto s = index.add_batch(entries);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "dimension mismatch: expected 3, got 2");
  EXPECT_EQ(index.len(), 2u);
}

TYPED_TEST(KeyedIndex, SearchGuards) {
  TypeParam index(4, Metric::L2);
  // Empty: no length check at all.
  auto empty = index.search(std::vector<float>{1}, 3);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  ASSERT_TRUE(index.add(1, std::vector<float>{1, 2, 3, 4}));
  auto wrong = index.search(std::vector<float>{1}, 3);
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().message(), "dimension mismatch: expected 4, got 1");
  auto all = index.search(std::vector<float>{1, 2, 3, 4}, SIZE_MAX);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 1u);
  auto none = index.search(std::vector<float>{1, 2, 3, 4}, 0);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TYPED_TEST(KeyedIndex, RowBlocksGetConsecutiveIdsAndAreCheckedFirst) {
  TypeParam index(4, Metric::L2);
  std::vector<float> two_rows(8, 0.5f);
  ASSERT_TRUE(index.add_flat_batch(two_rows, 4, 7));
  EXPECT_EQ(index.len(), 2u);
  std::map<VectorId, bool> seen;
  for (const auto& [id, v] : index.iterate()) seen[id] = true;
  EXPECT_TRUE(seen.count(7) && seen.count(8));

  auto s = index.add_flat_batch(std::vector<float>(6, 0.5f), 3, 0);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "dimension mismatch: expected 4, got 3");
  s = index.add_flat_batch(std::vector<float>(10, 0.5f), 4, 0);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "invalid configuration: raw_data length 10 is not a multiple of dim 4");
  EXPECT_EQ(index.len(), 2u);

  // Ids wrap at 2^64; a present id is replaced.
  ASSERT_TRUE(index.add_flat_batch(two_rows, 4, ~VectorId{0}));
  EXPECT_EQ(index.len(), 4u);
  ASSERT_TRUE(index.add_flat_batch(two_rows, 4, 7));
  EXPECT_EQ(index.len(), 4u);
}

TYPED_TEST(KeyedIndex, ZeroDimensionsNeitherCrashNorAdd) {
  TypeParam index(0, Metric::DotProduct);
  ASSERT_TRUE(index.add_flat_batch(std::vector<float>{}, 0, 0));
  EXPECT_EQ(index.len(), 0u);
  ASSERT_TRUE(index.add(3, std::vector<float>{}));
  auto hits = index.search(std::vector<float>{}, 5);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].id, 3u);
  auto path = temp_path("zero.bin");
  ASSERT_TRUE(index.save(path));
  auto loaded = TypeParam::load(path);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->len(), 1u);
  std::filesystem::remove(path);
}

// Deletion moves rows around; every survivor must keep its own vector.
TYPED_TEST(KeyedIndex, DeletionsKeepEverySurvivorIntact) {
  const size_t n = 300, d = 20;
  auto data = random_block(n, d, 9);
  TypeParam index(d, Metric::L2);
  ASSERT_TRUE(index.add_flat_batch(data, d, 0));
  std::map<VectorId, std::vector<float>> before;
  for (auto& [id, v] : index.iterate()) before[id] = v;
  std::mt19937 rng(10);
  std::vector<VectorId> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (size_t i = 0; i < n / 2; ++i) {
    ASSERT_TRUE(*index.remove(order[i]));
    before.erase(order[i]);
  }
  EXPECT_EQ(index.len(), before.size());
  auto after = index.iterate();
  ASSERT_EQ(after.size(), before.size());
  for (auto& [id, v] : after) EXPECT_EQ(v, before.at(id)) << id;
}

TYPED_TEST(KeyedIndex, SaveThenLoadGivesTheSameIndex) {
  const size_t n = 200, d = 70;
  auto data = random_block(n, d, 11);
  for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    TypeParam index(d, m);
    ASSERT_TRUE(index.add_flat_batch(data, d, 1000));
    ASSERT_TRUE(*index.remove(1005));
    auto path = temp_path("roundtrip.bin");
    ASSERT_TRUE(index.save(path));
    auto loaded = TypeParam::load(path);
    ASSERT_TRUE(loaded) << loaded.error().message();
    EXPECT_EQ(loaded->len(), n - 1);
    EXPECT_EQ(loaded->dimensions(), d);
    EXPECT_EQ(loaded->metric(), m);
    for (VectorId id = 1000; id < 1000 + n; ++id) {
      auto a = index.get(id), b = loaded->get(id);
      EXPECT_TRUE(a == b) << id;  // same codes/halves/words and scale/norm
    }
    std::vector<float> q(data.begin(), data.begin() + d);
    auto ha = index.search(q, 10), hb = loaded->search(q, 10);
    ASSERT_TRUE(ha && hb);
    ASSERT_EQ(ha->size(), hb->size());
    for (size_t i = 0; i < ha->size(); ++i) EXPECT_EQ((*ha)[i].distance, (*hb)[i].distance);
    std::filesystem::remove(path);
  }
}

// Every truncation and a wrong entry width fail with Serialization; none
// crashes. A missing file is Io.
TYPED_TEST(KeyedIndex, DamagedFilesFailToLoad) {
  TypeParam index(5, Metric::Cosine);
  ASSERT_TRUE(index.add(1, std::vector<float>{1, 2, 3, 4, 5}));
  ASSERT_TRUE(index.add(2, std::vector<float>{-1, 2, -3, 4, 5}));
  auto path = temp_path("damaged.bin");
  ASSERT_TRUE(index.save(path));
  auto bytes = *io::read_whole_file(path);
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    ASSERT_TRUE(io::write_whole_file(path, std::span(bytes.data(), cut)));
    auto r = TypeParam::load(path);
    ASSERT_FALSE(r) << cut;
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization) << cut;
  }
  auto bad_metric = bytes;
  bad_metric[8] = 3;
  ASSERT_TRUE(io::write_whole_file(path, bad_metric));
  auto r = TypeParam::load(path);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message().rfind("serialization error: ", 0), 0u);

  auto bad_width = bytes;
  bad_width[28] += 1;  // first entry's count, after dims, metric, entry count and id
  ASSERT_TRUE(io::write_whole_file(path, bad_width));
  r = TypeParam::load(path);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);

  auto huge = bytes;
  huge[0] = 0xFF, huge[7] = 0x0F;  // enormous dimensions: refused, never allocated
  ASSERT_TRUE(io::write_whole_file(path, huge));
  r = TypeParam::load(path);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);

  std::filesystem::remove(path);
  r = TypeParam::load(path);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
}

// Dimensions so large that a record's byte size wraps around 64 bits must
// not turn into a small reservation times the row width.
TYPED_TEST(KeyedIndex, DimensionsWhoseRecordSizeWrapsFailToLoad) {
  TypeParam index(2, Metric::L2);
  ASSERT_TRUE(index.add(1, std::vector<float>{1, 2}));
  ASSERT_TRUE(index.add(2, std::vector<float>{3, 4}));
  auto path = temp_path("wrapping.bin");
  ASSERT_TRUE(index.save(path));
  auto bytes = *io::read_whole_file(path);
  for (uint64_t dims : {uint64_t{1} << 63, (uint64_t{1} << 63) + 3, ~uint64_t{0} - 19, ~uint64_t{0} - 17,
                        ~uint64_t{0}}) {
    std::memcpy(bytes.data(), &dims, 8);
    ASSERT_TRUE(io::write_whole_file(path, bytes));
    auto r = TypeParam::load(path);
    ASSERT_FALSE(r) << dims;
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization) << dims;
  }
  std::filesystem::remove(path);
}

TYPED_TEST(KeyedIndex, ALaterEntryOfTheSameIdWinsAtLoad) {
  TypeParam a(2, Metric::L2);
  ASSERT_TRUE(a.add(9, std::vector<float>{1, 1}));
  ASSERT_TRUE(a.add(8, std::vector<float>{-1, -1}));
  auto path = temp_path("repeat.bin");
  ASSERT_TRUE(a.save(path));
  auto bytes = *io::read_whole_file(path);
  // Give the second entry the first one's id.
  size_t entry = (bytes.size() - 20) / 2;
  uint64_t first_id;
  std::memcpy(&first_id, bytes.data() + 20, 8);
  std::memcpy(bytes.data() + 20 + entry, &first_id, 8);
  ASSERT_TRUE(io::write_whole_file(path, bytes));
  auto loaded = TypeParam::load(path);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->len(), 1u);
  VectorId other = first_id == 9 ? 8 : 9;
  std::vector<float> expect;
  for (auto& [id, v] : a.iterate())
    if (id == other) expect = v;
  EXPECT_EQ(loaded->iterate()[0].second, expect);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace kovra

#include "core/index/binary_flat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "core/io/file.h"

namespace kovra {
namespace {

TEST(Binarize, SignBitsAndNorm) {
  BinaryVector b = binarize(std::vector<float>{0.5f, -0.2f, 0.0f, -0.0f});
  EXPECT_EQ(b.bits, (std::vector<uint64_t>{13}));
  float sum = -0.0f;
  for (float x : {0.5f, -0.2f, 0.0f, -0.0f}) sum += x * x;
  EXPECT_EQ(b.norm, std::sqrt(sum));

  std::vector<float> v(65, -1.0f);
  v[64] = 1.0f;
  v[0] = std::nanf("");  // NaN gives a clear bit
  b = binarize(v);
  ASSERT_EQ(b.bits.size(), 2u);
  EXPECT_EQ(b.bits[0], 0u);
  EXPECT_EQ(b.bits[1], 1u);  // component 64 is bit 0 of the second word
}

TEST(BinaryFlatIndex, HammingFractionUnderL2AndCosine) {
  for (Metric m : {Metric::L2, Metric::Cosine}) {
    BinaryFlatIndex index(8, m);
    std::vector<float> v{1, -1, 1, -1, 1, -1, 1, -1};
    ASSERT_TRUE(index.add(1, v));
    std::vector<float> flipped(8), one_off = v;
    for (int i = 0; i < 8; ++i) flipped[i] = -v[i];
    one_off[3] = 2.0f;
    EXPECT_EQ((*index.search(v, 1))[0].distance, 0.0f);
    EXPECT_EQ((*index.search(flipped, 1))[0].distance, 1.0f);
    EXPECT_EQ((*index.search(one_off, 1))[0].distance, 0.125f);
  }
}

TEST(BinaryFlatIndex, DotProductEstimate) {
  BinaryFlatIndex index(2, Metric::DotProduct);
  ASSERT_TRUE(index.add(1, std::vector<float>{3, 4}));
  EXPECT_EQ((*index.search(std::vector<float>{3, 4}, 1))[0].distance, -25.0f);
  EXPECT_EQ((*index.search(std::vector<float>{-3, -4}, 1))[0].distance, 25.0f);
}

TEST(BinaryFlatIndex, RanksByHammingDistanceAcrossManyRows) {
  const size_t n = 3000, d = 128;
  std::mt19937 rng(4);
  std::normal_distribution<float> g;
  std::vector<float> data(n * d), q(d);
  for (auto& x : data) x = g(rng);
  for (auto& x : q) x = g(rng);
  BinaryFlatIndex index(d, Metric::L2);
  ASSERT_TRUE(index.add_flat_batch(data, d, 0));
  // Reference: the fraction of differing signs, every row.
  std::vector<float> expect(n);
  for (size_t r = 0; r < n; ++r) {
    int h = 0;
    for (size_t i = 0; i < d; ++i) h += (data[r * d + i] >= 0) != (q[i] >= 0);
    expect[r] = static_cast<float>(h) / 128.0f;
  }
  auto hits = index.search(q, 25);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 25u);
  std::vector<float> sorted = expect;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 0; i < 25; ++i) {
    EXPECT_EQ((*hits)[i].distance, expect[(*hits)[i].id]);
    EXPECT_EQ((*hits)[i].distance, sorted[i]);
  }
}

TEST(BinaryFlatIndex, ZeroDimensionDistancesAreNaN) {
  for (Metric m : {Metric::L2, Metric::DotProduct}) {
    BinaryFlatIndex index(0, m);
    ASSERT_TRUE(index.add(1, std::vector<float>{}));
    auto hits = index.search(std::vector<float>{}, 1);
    ASSERT_TRUE(hits);
    EXPECT_TRUE(std::isnan((*hits)[0].distance));
  }
}

TEST(BinaryFlatIndex, IterateReconstructsSignedMagnitudes) {
  BinaryFlatIndex index(4, Metric::L2);
  ASSERT_TRUE(index.add(1, std::vector<float>{3, -4, 0, 0}));
  auto entries = index.iterate();
  ASSERT_EQ(entries.size(), 1u);
  float x = 5.0f / 2.0f;
  EXPECT_EQ(entries[0].second, (std::vector<float>{x, -x, x, x}));
}

TEST(BinaryFlatIndex, SaveFileLayout) {
  BinaryFlatIndex index(3, Metric::L2);
  ASSERT_TRUE(index.add(2, std::vector<float>{1, -1, 1}));
  auto path = (std::filesystem::temp_directory_path() / "kovra_binary_layout.bin").string();
  ASSERT_TRUE(index.save(path));
  auto bytes = *io::read_whole_file(path);
  std::vector<uint8_t> expect{3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
                              2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
                              5, 0, 0, 0, 0, 0, 0, 0};
  float norm = std::sqrt(3.0f);
  const auto* nb = reinterpret_cast<const uint8_t*>(&norm);
  expect.insert(expect.end(), nb, nb + 4);
  EXPECT_EQ(bytes, expect);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace kovra

#include "core/index/quantized_fp16.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>

#include "core/distance.h"
#include "core/fp16.h"
#include "core/io/file.h"

namespace kovra {
namespace {

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

TEST(Fp16FlatIndex, StoresTheRoundedHalves) {
  Fp16FlatIndex index(8, Metric::L2);
  ASSERT_TRUE(index.add(1, std::vector<float>{1.0f, 0.1f, 65504.0f, 65520.0f, 1e6f, -1e-8f, 0x1p-24f,
                                              std::numeric_limits<float>::quiet_NaN()}));
  auto h = *index.get(1);
  EXPECT_EQ(h[0], 0x3C00);
  EXPECT_EQ(h[1], 0x2E66);
  EXPECT_EQ(h[2], 0x7BFF);
  EXPECT_EQ(h[3], 0x7C00);
  EXPECT_EQ(h[4], 0x7C00);
  EXPECT_EQ(h[5], 0x8000);
  EXPECT_EQ(h[6], 0x0001);
  EXPECT_EQ(h[7] & 0x7C00, 0x7C00);
  EXPECT_NE(h[7] & 0x03FF, 0);
  EXPECT_EQ(index.iterate()[0].second[1], 0.0999755859375f);
  auto hits = index.search(std::vector<float>(8, 0.0f), 1);
  ASSERT_TRUE(hits);
  EXPECT_TRUE(std::isnan((*hits)[0].distance));
}

TEST(Fp16FlatIndex, DistancesAreThoseOfTheDecodedVectors) {
  const size_t n = 301, d = 67;
  std::mt19937 rng(3);
  std::normal_distribution<float> g;
  std::vector<float> data(n * d), q(d);
  for (auto& x : data) x = g(rng);
  for (auto& x : q) x = g(rng);
  for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    Fp16FlatIndex index(d, m);
    ASSERT_TRUE(index.add_flat_batch(data, d, 0));
    auto hits = index.search(q, n);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), n);
    for (const Hit& h : *hits) {
      std::vector<uint16_t> halves = *index.get(h.id);
      std::vector<float> decoded(d);
      for (size_t i = 0; i < d; ++i) decoded[i] = to_float(halves[i]);
      EXPECT_EQ(bits(h.distance), bits(distance(m, q, decoded))) << h.id;
    }
  }
}

TEST(Fp16FlatIndex, SaveFileLayout) {
  Fp16FlatIndex index(2, Metric::Cosine);
  ASSERT_TRUE(index.add(5, std::vector<float>{1.0f, -2.0f}));
  auto path = (std::filesystem::temp_directory_path() / "kovra_fp16_layout.bin").string();
  ASSERT_TRUE(index.save(path));
  auto bytes = *io::read_whole_file(path);
  std::vector<uint8_t> expect{2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
                              5, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x3C, 0x00, 0xC0};
  EXPECT_EQ(bytes, expect);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace kovra

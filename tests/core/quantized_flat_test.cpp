#include "core/index/quantized_flat.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>

#include "core/distance.h"
#include "core/io/file.h"

namespace kovra {
namespace {

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

TEST(Quantize, KnownCodesAndScales) {
  QuantizedVector q = quantize(std::vector<float>{0.5f, -1.0f, 0.25f});
  EXPECT_EQ(q.scale, 127.0f);
  EXPECT_EQ(q.codes, (std::vector<int8_t>{64, -127, 32}));  // 63.5 -> 64, 31.75 -> 32
  EXPECT_EQ(dequantize(q), (std::vector<float>{64.0f / 127.0f, -1.0f, 32.0f / 127.0f}));

  QuantizedVector zero = quantize(std::vector<float>{0, 0, 0});
  EXPECT_EQ(zero.scale, 1.0f);
  EXPECT_EQ(zero.codes, (std::vector<int8_t>{0, 0, 0}));

  QuantizedVector empty = quantize(std::vector<float>{});
  EXPECT_EQ(empty.scale, 1.0f);
  EXPECT_TRUE(empty.codes.empty());

  // A NaN never sets the maximum and quantises to 0.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  QuantizedVector with_nan = quantize(std::vector<float>{nan, 2.0f, -1.0f});
  EXPECT_EQ(with_nan.scale, 63.5f);
  EXPECT_EQ(with_nan.codes, (std::vector<int8_t>{0, 127, -64}));  // -63.5 rounds away from zero

  // Infinity: scale 0, every code 0, every decoded component NaN.
  QuantizedVector inf = quantize(std::vector<float>{std::numeric_limits<float>::infinity(), 1.0f});
  EXPECT_EQ(inf.scale, 0.0f);
  EXPECT_EQ(inf.codes, (std::vector<int8_t>{0, 0}));
  for (float v : dequantize(inf)) EXPECT_TRUE(std::isnan(v));
}

// The codes equal the textbook round-half-away-from-zero and clamp, on
// ordinary values, exact halves, huge and tiny magnitudes.
TEST(Quantize, CodesMatchRoundingReference) {
  std::mt19937 rng(7);
  std::normal_distribution<float> g;
  std::uniform_int_distribution<int> half(-254, 254);
  for (int t = 0; t < 500; ++t) {
    std::vector<float> v(37);
    for (auto& x : v) x = g(rng) * std::ldexp(1.0f, t % 60 - 30);
    if (t % 5 == 0) {
      for (auto& x : v) x = static_cast<float>(half(rng)) / 2.0f;  // exact halves at scale 1-ish
      v[0] = 127.0f;
    }
    QuantizedVector q = quantize(v);
    for (size_t i = 0; i < v.size(); ++i) {
      float p = v[i] * q.scale;
      float r = std::isnan(p) ? 0.0f : std::fmin(std::fmax(std::round(p), -127.0f), 127.0f);
      ASSERT_EQ(q.codes[i], static_cast<int8_t>(r)) << t << " " << i << " " << v[i];
    }
  }
}

TEST(Quantize, CodesStayWithinSymmetricRange) {
  std::mt19937 rng(1);
  std::normal_distribution<float> g;
  for (int t = 0; t < 200; ++t) {
    std::vector<float> v(33);
    for (auto& x : v) x = g(rng) * 1e3f;
    for (int8_t c : quantize(v).codes) EXPECT_GE(c, -127);
  }
}

TEST(QuantizedFlatIndex, DistancesAreThoseOfTheDecodedVectors) {
  const size_t n = 517, d = 45;
  std::mt19937 rng(2);
  std::normal_distribution<float> g;
  std::vector<float> data(n * d), q(d);
  for (auto& x : data) x = g(rng);
  for (auto& x : q) x = g(rng);
  for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    QuantizedFlatIndex index(d, m);
    ASSERT_TRUE(index.add_flat_batch(data, d, 0));
    auto hits = index.search(q, n + 5);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), n);
    for (const Hit& h : *hits) {
      std::vector<float> decoded = dequantize(*index.get(h.id));
      EXPECT_EQ(bits(h.distance), bits(distance(m, q, decoded))) << h.id;
    }
    for (size_t i = 1; i < n; ++i) EXPECT_LE((*hits)[i - 1].distance, (*hits)[i].distance);
    auto top = index.search(q, 7);
    ASSERT_TRUE(top);
    ASSERT_EQ(top->size(), 7u);
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ((*top)[i].distance, (*hits)[i].distance);
  }
}

TEST(QuantizedFlatIndex, SpecialVectorsScoreAsTheirDecodedForms) {
  QuantizedFlatIndex index(3, Metric::Cosine);
  ASSERT_TRUE(index.add(1, std::vector<float>{0, 0, 0}));
  ASSERT_TRUE(index.add(2, std::vector<float>{std::numeric_limits<float>::infinity(), 1, 1}));
  auto hits = index.search(std::vector<float>{1, 2, 3}, 2);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].id, 1u);
  EXPECT_EQ((*hits)[0].distance, 1.0f);  // zero vector: exactly 1
  EXPECT_TRUE(std::isnan((*hits)[1].distance));
}

TEST(QuantizedFlatIndex, SaveFileLayout) {
  QuantizedFlatIndex index(3, Metric::DotProduct);
  ASSERT_TRUE(index.add(0x0102030405060708ull, std::vector<float>{0.5f, -1.0f, 0.25f}));
  auto path = (std::filesystem::temp_directory_path() / "kovra_quantized_layout.bin").string();
  ASSERT_TRUE(index.save(path));
  auto bytes = *io::read_whole_file(path);
  std::vector<uint8_t> expect{3, 0, 0, 0, 0, 0, 0, 0,  // dimensions
                              2, 0, 0, 0,              // metric
                              1, 0, 0, 0, 0, 0, 0, 0,  // entries
                              8, 7, 6, 5, 4, 3, 2, 1,  // id
                              3, 0, 0, 0, 0, 0, 0, 0,  // code count
                              64, 0x81, 32,            // codes
                              0, 0, 0xFE, 0x42};       // scale 127.0f
  EXPECT_EQ(bytes, expect);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace kovra

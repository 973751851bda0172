#include "core/distance.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "core/cpu.h"

namespace kovra {
namespace {

struct Impl {
  const char* name;
  const KernelTable* table;
  float (*cosine)(const float*, const float*, size_t);
};

std::vector<Impl> implementations() {
  std::vector<Impl> out{{"scalar", &scalar::table(), &scalar::cosine_distance}};
  if (cpu::has_avx2_fma()) out.push_back({"avx2", &avx2::table(), &avx2::cosine_distance});
  return out;
}

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

TEST(Distance, KnownValues) {
  std::vector<float> a{0, 0}, b{3, 4};
  EXPECT_EQ(distance(Metric::L2, a, b), 5.0f);
  EXPECT_EQ(raw_distance(Metric::L2, a, b), 25.0f);
  std::vector<float> c{1, 2}, d{3, 4};
  EXPECT_EQ(distance(Metric::DotProduct, c, d), -11.0f);
  std::vector<float> v{1, 2, 3}, twice{2, 4, 6}, neg{-1, -2, -3}, zero{0, 0, 0};
  EXPECT_NEAR(distance(Metric::Cosine, v, twice), 0.0f, 1e-6);
  EXPECT_NEAR(distance(Metric::Cosine, v, neg), 2.0f, 1e-6);
  EXPECT_EQ(distance(Metric::Cosine, v, zero), 1.0f);
  EXPECT_EQ(distance(Metric::Cosine, zero, v), 1.0f);
  std::vector<float> empty;
  EXPECT_EQ(distance(Metric::Cosine, empty, empty), 1.0f);
  EXPECT_EQ(distance(Metric::L2, empty, empty), 0.0f);
}

TEST(Distance, UnequalLengthsAreAnInternalFailure) {
  std::vector<float> a{1, 2, 3}, b{1, 2};
  try {
    (void)distance(Metric::L2, a, b);
    FAIL() << "expected an internal failure";
  } catch (const InternalFailure& e) {
    std::string text = e.what();
    EXPECT_NE(text.find("vector dimension mismatch"), std::string::npos);
    EXPECT_NE(text.find('3'), std::string::npos);
    EXPECT_NE(text.find('2'), std::string::npos);
  }
}

TEST(Distance, ScalarEmptySumIsNegativeZero) {
  EXPECT_EQ(bits(scalar::l2_squared(nullptr, nullptr, 0)), bits(-0.0f));
  EXPECT_EQ(bits(scalar::dot(nullptr, nullptr, 0)), bits(-0.0f));
  if (cpu::has_avx2_fma()) {
    EXPECT_EQ(bits(avx2::l2_squared(nullptr, nullptr, 0)), bits(0.0f));
  }
}

// Integer-valued inputs: every partial sum is exact, so both paths agree with
// a plain double reference to the bit.
TEST(Distance, IntegerInputsAgreeExactlyOnBothPaths) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> small(-8, 8);
  for (size_t n = 0; n <= 40; ++n) {
    std::vector<float> a(n), b(n);
    double l2 = 0, dp = 0;
    for (size_t i = 0; i < n; ++i) {
      a[i] = static_cast<float>(small(rng));
      b[i] = static_cast<float>(small(rng));
      l2 += double(a[i] - b[i]) * (a[i] - b[i]);
      dp += double(a[i]) * b[i];
    }
    for (const Impl& impl : implementations()) {
      EXPECT_EQ(impl.table->l2_squared(a.data(), b.data(), n), float(l2)) << impl.name << " n=" << n;
      EXPECT_EQ(impl.table->dot(a.data(), b.data(), n), float(dp)) << impl.name << " n=" << n;
    }
  }
}

// The vector path's order: 8-lane chunks, fixed lane reduction, tail in order.
float avx2_reference_l2(const std::vector<float>& a, const std::vector<float>& b) {
  size_t n = a.size();
  float lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int j = 0; j < 8; ++j) {
      float d = a[i + j] - b[i + j];
      lanes[j] = std::fma(d, d, lanes[j]);
    }
  float s = ((lanes[0] + lanes[4]) + (lanes[1] + lanes[5])) + ((lanes[2] + lanes[6]) + (lanes[3] + lanes[7]));
  for (; i < n; ++i) {
    float d = a[i] - b[i];
    float t = d * d;
    s += t;
  }
  return s;
}

float scalar_reference_dot(const std::vector<float>& a, const std::vector<float>& b) {
  float s = -0.0f;
  for (size_t i = 0; i < a.size(); ++i) {
    float t = a[i] * b[i];
    s += t;
  }
  return s;
}

TEST(Distance, AccumulationOrderMatchesTheReference) {
  std::mt19937 rng(11);
  std::normal_distribution<float> g;
  for (size_t n : {1u, 7u, 8u, 9u, 16u, 17u, 31u, 128u, 129u}) {
    std::vector<float> a(n), b(n);
    for (size_t i = 0; i < n; ++i) a[i] = g(rng), b[i] = g(rng);
    EXPECT_EQ(bits(scalar::dot(a.data(), b.data(), n)), bits(scalar_reference_dot(a, b))) << n;
    if (cpu::has_avx2_fma()) {
      EXPECT_EQ(bits(avx2::l2_squared(a.data(), b.data(), n)), bits(avx2_reference_l2(a, b))) << n;
    }
  }
}

TEST(Distance, FourVectorFormsAreBitIdenticalToSingleCalls) {
  std::mt19937 rng(3);
  std::normal_distribution<float> g;
  for (const Impl& impl : implementations()) {
    for (size_t n = 0; n <= 40; ++n) {
      std::vector<float> q(n);
      std::vector<std::vector<float>> v(4, std::vector<float>(n));
      for (auto& x : q) x = g(rng);
      for (auto& row : v)
        for (auto& x : row) x = g(rng);
      if (n == 5) v[2].assign(n, 0.0f);  // zero norm inside the group
      const float* p[4] = {v[0].data(), v[1].data(), v[2].data(), v[3].data()};
      float l2[4], dp[4], dots[4], norms[4];
      impl.table->l2_squared_4(q.data(), p, n, l2);
      impl.table->dot_4(q.data(), p, n, dp);
      impl.table->dot_norm_4(q.data(), p, n, dots, norms);
      for (int j = 0; j < 4; ++j) {
        EXPECT_EQ(bits(l2[j]), bits(impl.table->l2_squared(q.data(), p[j], n))) << impl.name << n;
        EXPECT_EQ(bits(dp[j]), bits(impl.table->dot(q.data(), p[j], n))) << impl.name << n;
        EXPECT_EQ(bits(dots[j]), bits(impl.table->dot(q.data(), p[j], n))) << impl.name << n;
        EXPECT_EQ(bits(norms[j]), bits(impl.table->dot(p[j], p[j], n))) << impl.name << n;
      }
      for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        DistanceScorer raw(m, q, true, *impl.table), full(m, q, false, *impl.table);
        float r4[4], f4[4];
        raw.four(p, r4);
        full.four(p, f4);
        for (int j = 0; j < 4; ++j) {
          EXPECT_EQ(bits(r4[j]), bits(raw.one(p[j])));
          EXPECT_EQ(bits(f4[j]), bits(full.one(p[j])));
          if (m == Metric::Cosine) {
            EXPECT_EQ(bits(f4[j]), bits(impl.cosine(q.data(), p[j], n)));
          }
        }
      }
    }
  }
}

TEST(Distance, RawDistance4MatchesRawDistance) {
  std::mt19937 rng(5);
  std::normal_distribution<float> g;
  std::vector<float> q(37);
  std::vector<std::vector<float>> v(4, std::vector<float>(37));
  for (auto& x : q) x = g(rng);
  for (auto& row : v)
    for (auto& x : row) x = g(rng);
  for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    auto four = raw_distance_4(m, q, {v[0].data(), v[1].data(), v[2].data(), v[3].data()});
    for (int j = 0; j < 4; ++j) EXPECT_EQ(bits(four[j]), bits(raw_distance(m, q, v[j])));
  }
}

TEST(Distance, DotProductSignFlipsZero) {
  std::vector<float> a{0.0f}, b{1.0f};
  EXPECT_TRUE(std::signbit(distance(Metric::DotProduct, a, b)));
}

}  // namespace
}  // namespace kovra

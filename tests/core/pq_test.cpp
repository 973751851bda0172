#include "core/index/pq.h"

#include <gtest/gtest.h>

#include <cmath>

#include "cluster_data.h"
#include "core/cpu.h"
#include "core/distance.h"

namespace kovra {
namespace {

using testing_ivf::uniform;

TEST(PqConfigCheck, RejectsUntrainableParameters) {
  EXPECT_TRUE(validate_pq_config(16, {8, 256, 25}));
  EXPECT_TRUE(validate_pq_config(16, {16, 1, 25}));
  auto m0 = validate_pq_config(16, {0, 256, 25});
  ASSERT_FALSE(m0);
  EXPECT_EQ(m0.error().kind(), ErrorKind::InvalidConfig);
  auto indivisible = validate_pq_config(10, {3, 256, 25});
  ASSERT_FALSE(indivisible);
  EXPECT_EQ(indivisible.error().message(),
            "invalid configuration: dimensions (10) must be divisible by m (3)");
  EXPECT_FALSE(validate_pq_config(16, {8, 0, 25}));
  EXPECT_FALSE(validate_pq_config(16, {8, 257, 25}));
}

TEST(PqTrain, EmptySetIsRejected) {
  auto r = ProductQuantizer::train(nullptr, 0, 8, {2, 4, 5});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "invalid configuration: cannot train PQ on empty set");
}

TEST(PqTrain, FewVectorsArePaddedWithZeroCentroids) {
  const size_t dims = 8, n = 10;
  // Strictly positive coordinates: no real centroid is the zero vector.
  std::vector<float> data = uniform(n, dims);
  for (float& x : data) x = std::fabs(x) + 0.5f;
  auto pq = ProductQuantizer::train(data.data(), n, dims, {4, 256, 25});
  ASSERT_TRUE(pq);
  EXPECT_EQ(pq->m(), 4u);
  EXPECT_EQ(pq->k_sub(), 256u);
  EXPECT_EQ(pq->d_sub(), 2u);
  ASSERT_EQ(pq->codebooks().size(), 4u * 256u * 2u);
  for (size_t s = 0; s < 4; ++s) {
    for (size_t c = 10; c < 256; ++c) {
      const float* cent = pq->codebooks().data() + (s * 256 + c) * 2;
      EXPECT_EQ(cent[0], 0.0f);
      EXPECT_EQ(cent[1], 0.0f);
    }
  }
  std::vector<float> zero(dims, 0.0f);
  EXPECT_EQ(pq->encode(zero), std::vector<uint8_t>(4, 10));
  // With as many centroids as vectors every sub-vector is its own centroid.
  for (size_t i = 0; i < n; ++i) {
    std::span<const float> v(data.data() + i * dims, dims);
    std::vector<float> table = pq->distance_table(v);
    std::vector<uint8_t> codes = pq->encode(v);
    EXPECT_EQ(pq->adc_distance(table.data(), codes.data()), 0.0f);
  }
}

TEST(PqTrain, OneCentroidKeepsTheSampledSubVector) {
  const size_t dims = 6, n = 12;
  std::vector<float> data = uniform(n, dims);
  auto pq = ProductQuantizer::train(data.data(), n, dims, {3, 1, 25});
  ASSERT_TRUE(pq);
  for (size_t s = 0; s < 3; ++s) {
    const float* c = pq->codebooks().data() + s * 2;
    bool found = false;
    for (size_t i = 0; i < n; ++i) {
      found = found || (data[i * dims + s * 2] == c[0] && data[i * dims + s * 2 + 1] == c[1]);
    }
    EXPECT_TRUE(found) << "sub-space " << s;
  }
  EXPECT_EQ(pq->encode(std::span<const float>(data.data(), dims)), std::vector<uint8_t>(3, 0));
}

TEST(PqEncode, NearestCentroidAndTableAgreeWithThePlainKernel) {
  const size_t dims = 12, n = 300;
  std::vector<float> data = uniform(n, dims, 21);
  auto pq = ProductQuantizer::train(data.data(), n, dims, {3, 16, 10});
  ASSERT_TRUE(pq);
  std::vector<float> q = uniform(1, dims, 99);
  std::vector<float> table = pq->distance_table(q);
  std::vector<uint8_t> codes = pq->encode(q);
  for (size_t s = 0; s < 3; ++s) {
    size_t best = 0;
    for (size_t c = 0; c < 16; ++c) {
      const float* cent = pq->codebooks().data() + (s * 16 + c) * 4;
      float want = scalar::l2_squared(q.data() + s * 4, cent, 4);
      EXPECT_NEAR(table[s * 16 + c], want, 1e-5f);
      if (table[s * 16 + c] < table[s * 16 + best]) best = c;
    }
    EXPECT_EQ(codes[s], best);
  }
}

TEST(PqEncode, AdcOfOwnCodesIsTheQuantizationError) {
  const size_t dims = 16, n = 500;
  std::vector<float> data = uniform(n, dims, 5);
  auto pq = ProductQuantizer::train(data.data(), n, dims, {4, 8, 15});
  ASSERT_TRUE(pq);
  for (size_t i = 0; i < 20; ++i) {
    std::span<const float> v(data.data() + i * dims, dims);
    std::vector<uint8_t> codes = pq->encode(v);
    std::vector<float> table = pq->distance_table(v);
    float err = 0.0f;
    for (size_t s = 0; s < 4; ++s) {
      const float* cent = pq->codebooks().data() + (s * 8 + codes[s]) * 4;
      for (size_t j = 0; j < 4; ++j) {
        float t = v[s * 4 + j] - cent[j];
        err += t * t;
      }
    }
    EXPECT_NEAR(pq->adc_distance(table.data(), codes.data()), err, 1e-4f);
  }
}

TEST(PqEncode, ScalarQuantizationWhenMEqualsTheDimension) {
  const size_t dims = 5, n = 50;
  std::vector<float> data = uniform(n, dims);
  auto pq = ProductQuantizer::train(data.data(), n, dims, {5, 4, 10});
  ASSERT_TRUE(pq);
  EXPECT_EQ(pq->d_sub(), 1u);
  EXPECT_EQ(pq->encode(std::span<const float>(data.data(), dims)).size(), 5u);
}

TEST(PqKernels, BothPathsAgreeExactlyOnIntegers) {
  if (!cpu::has_avx2_fma()) GTEST_SKIP() << "no AVX2+FMA";
  for (size_t d : {0u, 1u, 3u, 8u, 17u}) {
    for (size_t kp : {8u, 32u, 40u, 256u}) {
      std::vector<float> x(d), ct(d * kp);
      for (size_t j = 0; j < d; ++j) x[j] = static_cast<float>(static_cast<int>(j * 7 % 11) - 5);
      for (size_t i = 0; i < ct.size(); ++i) ct[i] = static_cast<float>(static_cast<int>(i * 13 % 17) - 8);
      std::vector<float> a(kp, -1.0f), b(kp, -2.0f);
      pq_kernels::l2_to_many_scalar(x.data(), ct.data(), d, kp, a.data());
      pq_kernels::l2_to_many_avx2(x.data(), ct.data(), d, kp, b.data());
      EXPECT_EQ(a, b) << "d=" << d << " kp=" << kp;
    }
  }
}

TEST(PqStored, FromPartsChecksThatTheFieldsAgree) {
  EXPECT_TRUE(ProductQuantizer::from_parts(2, 3, 4, std::vector<float>(24)));
  for (auto [m, k, d, size] : std::vector<std::array<uint64_t, 4>>{
           {2, 3, 4, 23}, {0, 3, 4, 0}, {2, 0, 4, 0}, {2, 257, 1, 514}, {1ull << 62, 256, 1ull << 40, 0}}) {
    auto r = ProductQuantizer::from_parts(m, k, d, std::vector<float>(size));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  }
}

// Zero-wide sub-spaces hold no codebook floats, so m is not limited by the
// file's size; building the quantizer must not take time in m.
TEST(PqStored, ZeroWideSubspacesAreBuiltAtOnce) {
  auto r = ProductQuantizer::from_parts(uint64_t{1} << 60, 4, 0, {});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->m(), uint64_t{1} << 60);
  EXPECT_EQ(r->dimensions(), 0u);
}

}  // namespace
}  // namespace kovra

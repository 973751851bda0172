#include "core/index/kmeans.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "cluster_data.h"
#include "core/cpu.h"

namespace kovra {
namespace {

using testing_ivf::blobs;
using testing_ivf::uniform;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kMax = std::numeric_limits<float>::max();

TEST(KMeansPermutation, IsAPermutationOfEverySize) {
  for (size_t n : {0u, 1u, 2u, 17u, 1000u}) {
    std::vector<size_t> p = random_permutation(n, thread_rng());
    ASSERT_EQ(p.size(), n);
    std::sort(p.begin(), p.end());
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(p[i], i);
  }
}

TEST(KMeansPermutation, EveryPositionIsReached) {
  // Each element lands first in some draw: the sample is not stuck on a prefix.
  std::vector<int> seen(5, 0);
  for (int t = 0; t < 400; ++t) seen[random_permutation(5, thread_rng())[0]]++;
  for (int c : seen) EXPECT_GT(c, 30);
}

TEST(KMeansFirstMin, TiesNaNAndStart) {
  std::vector<float> d{3, 1, 1, 2, 1};
  EXPECT_EQ(first_min_index(d.data(), d.size(), kMax), 1u);
  std::vector<float> nan_first{kNaN, 5, kNaN, 4, 4, kNaN, 9, 8, 4};
  EXPECT_EQ(first_min_index(nan_first.data(), nan_first.size(), kMax), 3u);
  std::vector<float> all_nan(9, kNaN);
  EXPECT_EQ(first_min_index(all_nan.data(), all_nan.size(), kMax), 0u);
  // Nothing strictly below the start leaves index 0, even a value equal to it.
  std::vector<float> at_max{kMax, kMax, std::numeric_limits<float>::infinity()};
  EXPECT_EQ(first_min_index(at_max.data(), at_max.size(), kMax), 0u);
  // Starting from d[0]: a later equal value does not replace it.
  std::vector<float> start0{2, 2, 3, 2, 5, 6};
  EXPECT_EQ(first_min_index(start0.data(), start0.size(), start0[0]), 0u);
  EXPECT_EQ(first_min_index(nan_first.data(), nan_first.size(), kNaN), 0u);
  // +0 then -0: the earlier one stays.
  std::vector<float> zeros{1, 0.0f, -0.0f, 1, 1};
  EXPECT_EQ(first_min_index(zeros.data(), zeros.size(), kMax), 1u);
  EXPECT_EQ(first_min_index(nullptr, 0, kMax), 0u);
}

TEST(KMeansAssign, NearestIsTheFirstMinimumForEveryMetric) {
  const size_t dims = 5;
  // Seven centroids: one group of four and three single calls; 2 and 5 tie.
  std::vector<float> c = uniform(7, dims, 3);
  std::copy_n(c.begin() + 2 * dims, dims, c.begin() + 5 * dims);
  for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    for (size_t target : {2u, 6u}) {
      std::vector<float> q(c.begin() + target * dims, c.begin() + (target + 1) * dims);
      std::vector<float> d(7);
      for (size_t j = 0; j < 7; ++j) d[j] = raw_distance(m, q, std::span<const float>(c.data() + j * dims, dims));
      size_t want = first_min_index(d.data(), d.size(), kMax);
      EXPECT_EQ(assign_nearest(m, q, c.data(), 7), want) << metric_name(m);
    }
  }
  std::vector<float> q(dims, 0.0f);
  EXPECT_EQ(assign_nearest(Metric::L2, q, c.data(), 0), 0u);
}

TEST(KMeansAssign, BatchL2AgreesWithSingleAssignment) {
  const size_t dims = 24, k = 13;
  // More rows than one product block, so block edges are covered.
  std::vector<float> rows = blobs(2500, dims, 13, 5);
  std::vector<float> cents = blobs(k, dims, 13, 9);
  std::vector<size_t> got = assign_batch_l2(rows.data(), 2500, cents.data(), k, dims);
  for (size_t i = 0; i < 2500; ++i) {
    ASSERT_EQ(got[i], assign_nearest(Metric::L2, std::span<const float>(rows.data() + i * dims, dims),
                                     cents.data(), k))
        << "row " << i;
  }
  // Equal centroids: the lower index wins.
  std::vector<float> same(3 * dims, 1.0f);
  std::vector<size_t> tie = assign_batch_l2(rows.data(), 4, same.data(), 3, dims);
  for (size_t a : tie) EXPECT_EQ(a, 0u);
  EXPECT_EQ(assign_batch_l2(rows.data(), 3, cents.data(), 0, dims), std::vector<size_t>(3, 0));
  EXPECT_TRUE(assign_batch_l2(rows.data(), 0, cents.data(), k, dims).empty());
}

TEST(KMeansAssign, RowArgminPathsAgree) {
  std::vector<float> c_norm{4, 1, 1, 9, 2, 2, 5, 1, 1, 3, 7};
  for (size_t count : {0u, 1u, 7u, 8u, 9u, 11u}) {
    for (float x_norm : {0.0f, 1.0f, kNaN}) {
      std::vector<float> dots(count, 0.5f);
      if (count > 4) dots[4] = kNaN;
      std::vector<float> s1(count), s2(count);
      std::vector<float> want(count);
      for (size_t c = 0; c < count; ++c) want[c] = (c_norm[c] + x_norm) - 2.0f * dots[c];
      size_t expect = first_min_index(want.data(), count, kMax);
      EXPECT_EQ(kmeans_kernels::l2_row_argmin_scalar(c_norm.data(), x_norm, dots.data(), count, s1.data()),
                expect);
      if (cpu::has_avx2_fma()) {
        EXPECT_EQ(kmeans_kernels::l2_row_argmin_avx2(c_norm.data(), x_norm, dots.data(), count, s2.data()),
                  expect)
            << count;
      }
    }
  }
}

TEST(KMeansRun, ConvergesToAFixedPoint) {
  // Whatever the sample, a converged run leaves every vector with the centroid
  // its last assignment pass chose against the final centroids, and every
  // non-empty centroid at the mean of its members.
  const size_t dims = 8, n = 400, k = 6;
  std::vector<float> data = uniform(n, dims, 17);
  KMeansResult r = train_coarse(Metric::L2, data.data(), n, dims, k, 200);
  ASSERT_EQ(r.k, k);
  std::vector<double> sums(k * dims, 0.0);
  std::vector<size_t> counts(k, 0);
  EXPECT_EQ(r.assignments, assign_batch_l2(data.data(), n, r.centroids.data(), k, dims));
  for (size_t i = 0; i < n; ++i) {
    std::span<const float> x(data.data() + i * dims, dims);
    for (size_t j = 0; j < dims; ++j) sums[r.assignments[i] * dims + j] += x[j];
    ++counts[r.assignments[i]];
  }
  for (size_t c = 0; c < k; ++c) {
    if (counts[c] == 0) continue;
    for (size_t j = 0; j < dims; ++j) {
      EXPECT_NEAR(r.centroids[c * dims + j], sums[c * dims + j] / counts[c], 1e-2) << c;
    }
  }
  // With as many clusters as rows every row is sampled and stays its own
  // centroid.
  KMeansResult all = train_coarse(Metric::L2, data.data(), n, dims, n, 5);
  EXPECT_EQ(all.k, n);
  for (size_t i = 0; i < n; ++i) {
    EXPECT_TRUE(std::equal(data.begin() + i * dims, data.begin() + (i + 1) * dims,
                           all.centroids.begin() + all.assignments[i] * dims));
  }
}

TEST(KMeansRun, SingleClusterKeepsTheSampledVector) {
  const size_t dims = 3, n = 20;
  std::vector<float> data = uniform(n, dims);
  KMeansResult r = train_coarse(Metric::L2, data.data(), n, dims, 1, 25);
  ASSERT_EQ(r.k, 1u);
  bool is_a_row = false;
  for (size_t i = 0; i < n; ++i) {
    is_a_row = is_a_row || std::equal(r.centroids.begin(), r.centroids.end(), data.begin() + i * dims);
  }
  EXPECT_TRUE(is_a_row);
}

TEST(KMeansRun, ZeroIterationsLeavesEverythingInClusterZero) {
  const size_t dims = 4, n = 30;
  std::vector<float> data = uniform(n, dims);
  KMeansResult r = train_coarse(Metric::L2, data.data(), n, dims, 6, 0);
  EXPECT_EQ(r.k, 6u);
  EXPECT_EQ(r.assignments, std::vector<size_t>(n, 0));
  EXPECT_EQ(train_coarse(Metric::L2, data.data(), 4, dims, 10, 5).k, 4u);
  EXPECT_EQ(train_coarse(Metric::L2, data.data(), 0, dims, 10, 5).k, 0u);
}

TEST(KMeansRun, EmptyClusterKeepsItsCentroidAndLastAssignmentsStay) {
  const size_t dims = 2, n = 4;
  std::vector<float> data{0, 0, 2, 2, 4, 4, 6, 6};
  int calls = 0;
  // Pass 1 puts everything into cluster 1, pass 2 alternates, pass 3 would
  // put everything back into 0 but max_iter stops at 2.
  AssignFn assign = [&](const float*, size_t, std::vector<size_t>& out) {
    ++calls;
    for (size_t i = 0; i < n; ++i) out[i] = calls == 1 ? 1 : i % 2;
  };
  std::mt19937_64 rng(1);
  KMeansResult r = run_kmeans(data.data(), n, dims, 2, 2, rng, assign);
  EXPECT_EQ(calls, 2);
  // The stored assignments are those of pass 2, made before the last update.
  EXPECT_EQ(r.assignments, (std::vector<size_t>{0, 1, 0, 1}));
  // After pass 2's update: cluster 0 = mean of rows 0, 2; cluster 1 = rows 1, 3.
  EXPECT_EQ(r.centroids, (std::vector<float>{2, 2, 4, 4}));

  // After pass 1 only, cluster 0 was empty and kept its sampled row.
  calls = 0;
  std::mt19937_64 rng2(1);
  KMeansResult one = run_kmeans(data.data(), n, dims, 2, 1, rng2, assign);
  EXPECT_EQ(one.centroids[2], 3.0f);  // cluster 1 = mean of all
  EXPECT_EQ(one.centroids[3], 3.0f);
  const float c0 = one.centroids[0];
  EXPECT_TRUE(c0 == 0 || c0 == 2 || c0 == 4 || c0 == 6);
  EXPECT_EQ(one.centroids[1], c0);
}

TEST(KMeansRun, ConvergedRunStopsBeforeUpdating) {
  const size_t dims = 1, n = 3;
  std::vector<float> data{1, 2, 3};
  int calls = 0;
  AssignFn assign = [&](const float*, size_t, std::vector<size_t>& out) {
    ++calls;
    std::fill(out.begin(), out.end(), 0);  // never differs from the start
  };
  std::mt19937_64 rng(3);
  KMeansResult r = run_kmeans(data.data(), n, dims, 3, 25, rng, assign);
  EXPECT_EQ(calls, 1);
  // Centroids are still the sample: a permutation of the rows.
  std::vector<float> c = r.centroids;
  std::sort(c.begin(), c.end());
  EXPECT_EQ(c, data);
}

}  // namespace
}  // namespace kovra

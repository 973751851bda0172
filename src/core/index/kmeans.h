// k-means for the clustered indexes: the random sample that seeds it, the
// nearest-centroid assignment (one vector at a time, or a whole block under L2
// through one matrix product), and Lloyd iterations with a convergence stop.
#pragma once

#include <cstddef>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "core/distance.h"
#include "core/metric.h"

namespace kovra {

// The calling thread's generator, seeded once from operating-system entropy.
// No seed is ever fixed, so training is not reproducible.
std::mt19937_64& thread_rng();

// A uniformly random permutation of 0..n-1 (Fisher-Yates: for i from n down to
// 2, swap position i-1 with a uniform position in [0, i)).
std::vector<size_t> random_permutation(size_t n, std::mt19937_64& rng);

// Index of the first minimum of d[0..n): a value replaces the best only when
// strictly smaller, starting from `start` at index 0. NaN never wins, and when
// nothing is below `start` the answer is 0.
size_t first_min_index(const float* d, size_t n, float start);

// Index of the closest of `count` centroids (rows of scorer.dims() floats),
// scored four per kernel call. The first minimum wins: a later centroid
// replaces the best only when strictly closer, starting from the largest
// finite float with index 0.
size_t assign_nearest(const DistanceScorer& scorer, const float* centroids, size_t count);
// The same under raw_distance of `metric` (vector.size() floats per centroid).
size_t assign_nearest(Metric metric, std::span<const float> vector, const float* centroids,
                      size_t count);

// Nearest centroid of each of `n_rows` rows under squared L2, as
// (|c|^2 + |x|^2) - 2 x.c with the dot products from one single-precision
// matrix product. `rows` holds n_rows * dims floats, `centroids` count * dims.
// First minimum wins; with no centroids every row gets 0. `row_norms`, when
// given, holds |x|^2 of every row (as the dot kernel computes it), so repeated
// passes over the same rows need not recompute them.
std::vector<size_t> assign_batch_l2(const float* rows, size_t n_rows, const float* centroids,
                                    size_t count, size_t dims, const float* row_norms = nullptr);

namespace kmeans_kernels {
// First minimum over c of (c_norm[c] + x_norm) - 2 * dots[c], as
// first_min_index from the largest finite float; `scratch` holds `count`
// floats. The two paths give the same index.
size_t l2_row_argmin_scalar(const float* c_norm, float x_norm, const float* dots, size_t count,
                            float* scratch);
// Callable only when cpu::has_avx2_fma() is true.
size_t l2_row_argmin_avx2(const float* c_norm, float x_norm, const float* dots, size_t count,
                          float* scratch);
}  // namespace kmeans_kernels

// Outcome of a k-means run.
struct KMeansResult {
  std::vector<float> centroids;     // k * dims floats
  size_t k = 0;                     // min(n, n_clusters)
  std::vector<size_t> assignments;  // one per vector: the last stored assignment
};

// Assigns every one of `n` vectors to one of `k` centroids (k * dims floats),
// writing `out[i]`.
using AssignFn = std::function<void(const float* centroids, size_t k, std::vector<size_t>& out)>;

// Lloyd's k-means over `n` rows of `dims` floats in `data`: k = min(n,
// n_clusters) initial centroids sampled without replacement, then up to
// `max_iter` rounds of assignment (stopping as soon as no assignment changes)
// and update (each non-empty cluster becomes the float mean of its members; an
// empty one keeps its centroid). When the rounds run out the assignments are
// those of the last assignment pass, made against the centroids before the
// final update.
KMeansResult run_kmeans(const float* data, size_t n, size_t dims, size_t n_clusters,
                        size_t max_iter, std::mt19937_64& rng, const AssignFn& assign);

// The coarse quantizer's k-means: under L2 every assignment pass is one
// assign_batch_l2, otherwise assign_nearest per vector under raw_distance.
KMeansResult train_coarse(Metric metric, const float* data, size_t n, size_t dims,
                          size_t n_clusters, size_t max_iter);

}  // namespace kovra

#include "core/index/kmeans.h"

#include <cblas.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

#include "core/cpu.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kovra {

namespace {

constexpr float kFloatMax = std::numeric_limits<float>::max();

// Rows per matrix product: large enough that the product's packing of the
// centroids is paid rarely, small enough that a 100k-row training set does not
// need a 100 MB product matrix.
constexpr size_t kRowBlock = 4096;

// The matrix product comes from OpenBLAS's single-threaded build, linked
// statically with its symbols hidden. A threaded BLAS would start a pool of its
// own threads inside the caller's Python process and spin them against the
// interpreter's threads; a shared serial library would collide by soname with
// the threaded one that NumPy or FAISS may already have loaded. The serial
// build keeps no locks around its work buffers, so two indexes training on two
// threads at once must not enter it together: this mutex serialises the calls.
std::mutex& blas_mutex() {
  static std::mutex m;
  return m;
}

// out[r * count + c] = rows[r] . centroids[c] for a block of rows.
void dot_block(const float* rows, size_t n_rows, const float* centroids, size_t count,
               size_t dims, float* out) {
  std::lock_guard<std::mutex> lock(blas_mutex());
  const blasint ld = static_cast<blasint>(dims);
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(n_rows),
              static_cast<blasint>(count), static_cast<blasint>(dims), 1.0f, rows, ld,
              centroids, ld, 0.0f, out, static_cast<blasint>(count));
}

}  // namespace

// The minimum is found with vector min, then its first occurrence; equal values
// (including +0 and -0) keep the earliest, as a sequential scan would.
size_t first_min_index(const float* d, size_t n, float start) {
  if (!(start == start)) return 0;  // nothing is below NaN
  float best = start;
  size_t j = 0;
#if defined(__SSE2__)
  __m128 m = _mm_set1_ps(start);
  for (; j + 4 <= n; j += 4) m = _mm_min_ps(_mm_loadu_ps(d + j), m);  // NaN lanes keep m
  float lanes[4];
  _mm_storeu_ps(lanes, m);
  for (float v : lanes) best = v < best ? v : best;
#endif
  for (; j < n; ++j) best = d[j] < best ? d[j] : best;
  if (!(best < start)) return 0;
  for (size_t i = 0; i < n; ++i) {
    if (d[i] == best) return i;
  }
  return 0;
}

namespace kmeans_kernels {
size_t l2_row_argmin_scalar(const float* c_norm, float x_norm, const float* dots, size_t count,
                            float* scratch) {
  for (size_t c = 0; c < count; ++c) scratch[c] = (c_norm[c] + x_norm) - 2.0f * dots[c];
  return first_min_index(scratch, count, kFloatMax);
}
}  // namespace kmeans_kernels

std::mt19937_64& thread_rng() {
  thread_local std::mt19937_64 rng = [] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937_64(seq);
  }();
  return rng;
}

std::vector<size_t> random_permutation(size_t n, std::mt19937_64& rng) {
  std::vector<size_t> perm(n);
  for (size_t i = 0; i < n; ++i) perm[i] = i;
  for (size_t i = n; i >= 2; --i) {
    std::uniform_int_distribution<size_t> pick(0, i - 1);
    std::swap(perm[i - 1], perm[pick(rng)]);
  }
  return perm;
}

size_t assign_nearest(const DistanceScorer& scorer, const float* centroids, size_t count) {
  const size_t d = scorer.dims();
  float best = kFloatMax;
  size_t best_i = 0;
  size_t j = 0;
  float out[4];
  for (; j + 4 <= count; j += 4) {
    const float* v[4] = {centroids + j * d, centroids + (j + 1) * d, centroids + (j + 2) * d,
                         centroids + (j + 3) * d};
    scorer.four(v, out);
    for (size_t t = 0; t < 4; ++t) {
      if (out[t] < best) {
        best = out[t];
        best_i = j + t;
      }
    }
  }
  for (; j < count; ++j) {
    float x = scorer.one(centroids + j * d);
    if (x < best) {
      best = x;
      best_i = j;
    }
  }
  return best_i;
}

size_t assign_nearest(Metric metric, std::span<const float> vector, const float* centroids,
                      size_t count) {
  DistanceScorer scorer(metric, vector, /*raw=*/true);
  return assign_nearest(scorer, centroids, count);
}

std::vector<size_t> assign_batch_l2(const float* rows, size_t n_rows, const float* centroids,
                                    size_t count, size_t dims, const float* row_norms) {
  std::vector<size_t> out(n_rows, 0);
  if (count == 0 || n_rows == 0) return out;
  const KernelTable& kt = active_kernels();
  const auto argmin = cpu::has_avx2_fma() ? &kmeans_kernels::l2_row_argmin_avx2
                                          : &kmeans_kernels::l2_row_argmin_scalar;
  std::vector<float> c_norm(count);
  for (size_t c = 0; c < count; ++c) c_norm[c] = kt.dot(centroids + c * dims, centroids + c * dims, dims);

  const size_t block = std::min(kRowBlock, n_rows);
  std::vector<float> dots(block * count);
  std::vector<float> dist(count);
  for (size_t r0 = 0; r0 < n_rows; r0 += block) {
    const size_t nb = std::min(block, n_rows - r0);
    if (dims == 0) {
      std::fill(dots.begin(), dots.end(), 0.0f);
    } else {
      dot_block(rows + r0 * dims, nb, centroids, count, dims, dots.data());
    }
    for (size_t r = 0; r < nb; ++r) {
      const float* x = rows + (r0 + r) * dims;
      const float x_norm = row_norms ? row_norms[r0 + r] : kt.dot(x, x, dims);
      out[r0 + r] = argmin(c_norm.data(), x_norm, dots.data() + r * count, count, dist.data());
    }
  }
  return out;
}

KMeansResult run_kmeans(const float* data, size_t n, size_t dims, size_t n_clusters,
                        size_t max_iter, std::mt19937_64& rng, const AssignFn& assign) {
  KMeansResult res;
  const size_t k = std::min(n, n_clusters);
  res.k = k;
  res.assignments.assign(n, 0);
  if (k == 0) return res;

  std::vector<size_t> perm = random_permutation(n, rng);
  res.centroids.resize(k * dims);
  for (size_t c = 0; c < k && dims > 0; ++c) {
    std::memcpy(res.centroids.data() + c * dims, data + perm[c] * dims, dims * sizeof(float));
  }

  std::vector<size_t> next(n);
  std::vector<float> sums(k * dims);
  std::vector<size_t> counts(k);
  for (size_t iter = 0; iter < max_iter; ++iter) {
    assign(res.centroids.data(), k, next);
    bool changed = next != res.assignments;
    res.assignments.swap(next);
    if (!changed) break;

    std::fill(sums.begin(), sums.end(), 0.0f);
    std::fill(counts.begin(), counts.end(), 0);
    for (size_t i = 0; i < n; ++i) {
      const size_t c = res.assignments[i];
      float* s = sums.data() + c * dims;
      const float* x = data + i * dims;
      for (size_t j = 0; j < dims; ++j) s[j] += x[j];
      ++counts[c];
    }
    for (size_t c = 0; c < k; ++c) {
      if (counts[c] == 0) continue;
      const float cnt = static_cast<float>(counts[c]);
      float* dst = res.centroids.data() + c * dims;
      const float* s = sums.data() + c * dims;
      for (size_t j = 0; j < dims; ++j) dst[j] = s[j] / cnt;
    }
  }
  return res;
}

KMeansResult train_coarse(Metric metric, const float* data, size_t n, size_t dims,
                          size_t n_clusters, size_t max_iter) {
  AssignFn assign;
  std::vector<float> norms;
  if (metric == Metric::L2) {
    const KernelTable& kt = active_kernels();
    norms.resize(n);
    for (size_t i = 0; i < n; ++i) norms[i] = kt.dot(data + i * dims, data + i * dims, dims);
    assign = [&](const float* centroids, size_t k, std::vector<size_t>& out) {
      out = assign_batch_l2(data, n, centroids, k, dims, norms.data());
    };
  } else {
    assign = [&](const float* centroids, size_t k, std::vector<size_t>& out) {
      for (size_t i = 0; i < n; ++i) {
        out[i] = assign_nearest(metric, std::span<const float>(data + i * dims, dims), centroids, k);
      }
    };
  }
  return run_kmeans(data, n, dims, n_clusters, max_iter, thread_rng(), assign);
}

}  // namespace kovra

// Batch-assignment inner loop for AVX2: distances of one row to every centroid
// from the matrix product, and the first minimum among them. Built with -mavx2
// -mfma and entered only after the processor check.
#include <immintrin.h>

#include <limits>

#include "core/index/kmeans.h"

namespace kovra::kmeans_kernels {

size_t l2_row_argmin_avx2(const float* c_norm, float x_norm, const float* dots, size_t count,
                          float* scratch) {
  const float start = std::numeric_limits<float>::max();
  const __m256 xn = _mm256_set1_ps(x_norm);
  const __m256 two = _mm256_set1_ps(2.0f);
  __m256 m = _mm256_set1_ps(start);
  size_t c = 0;
  for (; c + 8 <= count; c += 8) {
    // (|c|^2 + |x|^2) - 2 x.c, each step rounded as in the scalar loop.
    __m256 d = _mm256_sub_ps(_mm256_add_ps(_mm256_loadu_ps(c_norm + c), xn),
                             _mm256_mul_ps(two, _mm256_loadu_ps(dots + c)));
    _mm256_storeu_ps(scratch + c, d);
    m = _mm256_min_ps(d, m);  // a NaN lane keeps m
  }
  float lanes[8];
  _mm256_storeu_ps(lanes, m);
  float best = start;
  for (float v : lanes) best = v < best ? v : best;
  for (size_t t = c; t < count; ++t) {
    scratch[t] = (c_norm[t] + x_norm) - 2.0f * dots[t];
    best = scratch[t] < best ? scratch[t] : best;
  }
  if (!(best < start)) return 0;
  const __m256 b = _mm256_set1_ps(best);
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    int mask = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(scratch + i), b, _CMP_EQ_OQ));
    if (mask) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
  for (; i < count; ++i) {
    if (scratch[i] == best) return i;
  }
  return 0;
}

}  // namespace kovra::kmeans_kernels

// Batched sub-space distances for the product quantizer, eight centroids per
// register. Built with -mavx2 -mfma and entered only after the processor check.
#include <immintrin.h>

#include "core/index/pq.h"

namespace kovra::pq_kernels {

void l2_to_many_avx2(const float* x, const float* ct, size_t d, size_t kp, float* out) {
  size_t c = 0;
  // Four registers of centroids per pass keep four independent FMA chains.
  for (; c + 32 <= kp; c += 32) {
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (size_t j = 0; j < d; ++j) {
      const __m256 xj = _mm256_set1_ps(x[j]);
      const float* row = ct + j * kp + c;
      __m256 d0 = _mm256_sub_ps(xj, _mm256_loadu_ps(row));
      __m256 d1 = _mm256_sub_ps(xj, _mm256_loadu_ps(row + 8));
      __m256 d2 = _mm256_sub_ps(xj, _mm256_loadu_ps(row + 16));
      __m256 d3 = _mm256_sub_ps(xj, _mm256_loadu_ps(row + 24));
      a0 = _mm256_fmadd_ps(d0, d0, a0);
      a1 = _mm256_fmadd_ps(d1, d1, a1);
      a2 = _mm256_fmadd_ps(d2, d2, a2);
      a3 = _mm256_fmadd_ps(d3, d3, a3);
    }
    _mm256_storeu_ps(out + c, a0);
    _mm256_storeu_ps(out + c + 8, a1);
    _mm256_storeu_ps(out + c + 16, a2);
    _mm256_storeu_ps(out + c + 24, a3);
  }
  for (; c < kp; c += 8) {
    __m256 a = _mm256_setzero_ps();
    for (size_t j = 0; j < d; ++j) {
      __m256 diff = _mm256_sub_ps(_mm256_set1_ps(x[j]), _mm256_loadu_ps(ct + j * kp + c));
      a = _mm256_fmadd_ps(diff, diff, a);
    }
    _mm256_storeu_ps(out + c, a);
  }
}

}  // namespace kovra::pq_kernels

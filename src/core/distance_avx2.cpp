// AVX2+FMA kernels: one 8-lane accumulator per vector over whole 8-element
// chunks, a fixed lane reduction, then the tail one term at a time. Built with
// -mavx2 -mfma and entered only after the processor check.
#include <immintrin.h>

#include "core/distance.h"

namespace kovra::avx2 {
namespace {

// ((l0 + l4) + (l1 + l5)) + ((l2 + l6) + (l3 + l7))
inline float reduce(__m256 acc) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
  __m128 h = _mm_hadd_ps(s, s);  // [s0+s1, s2+s3, ...]
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_movehdup_ps(h)));
}

}  // namespace

float l2_squared(const float* a, const float* b, size_t n) {
  __m256 acc = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    acc = _mm256_fmadd_ps(d, d, acc);
  }
  float sum = reduce(acc);
  for (; i < n; ++i) {
    float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

float dot(const float* a, const float* b, size_t n) {
  __m256 acc = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) acc = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc);
  float sum = reduce(acc);
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

float cosine_distance(const float* a, const float* b, size_t n) {
  return cosine_from_parts(dot(a, b, n), dot(a, a, n), dot(b, b, n));
}

namespace {

void l2_squared_4(const float* q, const float* const* v, size_t n, float* out) {
  const float *v0 = v[0], *v1 = v[1], *v2 = v[2], *v3 = v[3];
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 x = _mm256_loadu_ps(q + i);
    __m256 d0 = _mm256_sub_ps(x, _mm256_loadu_ps(v0 + i));
    __m256 d1 = _mm256_sub_ps(x, _mm256_loadu_ps(v1 + i));
    __m256 d2 = _mm256_sub_ps(x, _mm256_loadu_ps(v2 + i));
    __m256 d3 = _mm256_sub_ps(x, _mm256_loadu_ps(v3 + i));
    a0 = _mm256_fmadd_ps(d0, d0, a0);
    a1 = _mm256_fmadd_ps(d1, d1, a1);
    a2 = _mm256_fmadd_ps(d2, d2, a2);
    a3 = _mm256_fmadd_ps(d3, d3, a3);
  }
  float s0 = reduce(a0), s1 = reduce(a1), s2 = reduce(a2), s3 = reduce(a3);
  for (; i < n; ++i) {
    float x = q[i];
    float d0 = x - v0[i], d1 = x - v1[i], d2 = x - v2[i], d3 = x - v3[i];
    s0 += d0 * d0;
    s1 += d1 * d1;
    s2 += d2 * d2;
    s3 += d3 * d3;
  }
  out[0] = s0, out[1] = s1, out[2] = s2, out[3] = s3;
}

void dot_4(const float* q, const float* const* v, size_t n, float* out) {
  const float *v0 = v[0], *v1 = v[1], *v2 = v[2], *v3 = v[3];
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 x = _mm256_loadu_ps(q + i);
    a0 = _mm256_fmadd_ps(x, _mm256_loadu_ps(v0 + i), a0);
    a1 = _mm256_fmadd_ps(x, _mm256_loadu_ps(v1 + i), a1);
    a2 = _mm256_fmadd_ps(x, _mm256_loadu_ps(v2 + i), a2);
    a3 = _mm256_fmadd_ps(x, _mm256_loadu_ps(v3 + i), a3);
  }
  float s0 = reduce(a0), s1 = reduce(a1), s2 = reduce(a2), s3 = reduce(a3);
  for (; i < n; ++i) {
    float x = q[i];
    s0 += x * v0[i];
    s1 += x * v1[i];
    s2 += x * v2[i];
    s3 += x * v3[i];
  }
  out[0] = s0, out[1] = s1, out[2] = s2, out[3] = s3;
}

void dot_norm_4(const float* q, const float* const* v, size_t n, float* dots, float* norms) {
  const float *v0 = v[0], *v1 = v[1], *v2 = v[2], *v3 = v[3];
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  __m256 b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 x = _mm256_loadu_ps(q + i);
    __m256 y0 = _mm256_loadu_ps(v0 + i), y1 = _mm256_loadu_ps(v1 + i);
    __m256 y2 = _mm256_loadu_ps(v2 + i), y3 = _mm256_loadu_ps(v3 + i);
    a0 = _mm256_fmadd_ps(x, y0, a0);
    a1 = _mm256_fmadd_ps(x, y1, a1);
    a2 = _mm256_fmadd_ps(x, y2, a2);
    a3 = _mm256_fmadd_ps(x, y3, a3);
    b0 = _mm256_fmadd_ps(y0, y0, b0);
    b1 = _mm256_fmadd_ps(y1, y1, b1);
    b2 = _mm256_fmadd_ps(y2, y2, b2);
    b3 = _mm256_fmadd_ps(y3, y3, b3);
  }
  float d[4] = {reduce(a0), reduce(a1), reduce(a2), reduce(a3)};
  float m[4] = {reduce(b0), reduce(b1), reduce(b2), reduce(b3)};
  const float* vs[4] = {v0, v1, v2, v3};
  for (; i < n; ++i) {
    float x = q[i];
    for (int j = 0; j < 4; ++j) {
      float y = vs[j][i];
      d[j] += x * y;
      m[j] += y * y;
    }
  }
  for (int j = 0; j < 4; ++j) dots[j] = d[j], norms[j] = m[j];
}

}  // namespace

const KernelTable& table() {
  static const KernelTable t{&l2_squared, &dot, &l2_squared_4, &dot_4, &dot_norm_4};
  return t;
}

}  // namespace kovra::avx2

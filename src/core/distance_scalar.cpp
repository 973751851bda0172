// Reference kernels: one running sum from -0.0, terms added left to right.
#include "core/distance.h"

namespace kovra::scalar {

float l2_squared(const float* a, const float* b, size_t n) {
  float sum = -0.0f;
  for (size_t i = 0; i < n; ++i) {
    float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

float dot(const float* a, const float* b, size_t n) {
  float sum = -0.0f;
  for (size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

float cosine_distance(const float* a, const float* b, size_t n) {
  return cosine_from_parts(dot(a, b, n), dot(a, a, n), dot(b, b, n));
}

namespace {

void l2_squared_4(const float* q, const float* const* v, size_t n, float* out) {
  float s0 = -0.0f, s1 = -0.0f, s2 = -0.0f, s3 = -0.0f;
  for (size_t i = 0; i < n; ++i) {
    float x = q[i];
    float d0 = x - v[0][i], d1 = x - v[1][i], d2 = x - v[2][i], d3 = x - v[3][i];
    s0 += d0 * d0;
    s1 += d1 * d1;
    s2 += d2 * d2;
    s3 += d3 * d3;
  }
  out[0] = s0, out[1] = s1, out[2] = s2, out[3] = s3;
}

void dot_4(const float* q, const float* const* v, size_t n, float* out) {
  float s0 = -0.0f, s1 = -0.0f, s2 = -0.0f, s3 = -0.0f;
  for (size_t i = 0; i < n; ++i) {
    float x = q[i];
    s0 += x * v[0][i];
    s1 += x * v[1][i];
    s2 += x * v[2][i];
    s3 += x * v[3][i];
  }
  out[0] = s0, out[1] = s1, out[2] = s2, out[3] = s3;
}

void dot_norm_4(const float* q, const float* const* v, size_t n, float* dots, float* norms) {
  dot_4(q, v, n, dots);
  for (int j = 0; j < 4; ++j) norms[j] = dot(v[j], v[j], n);
}

}  // namespace

const KernelTable& table() {
  static const KernelTable t{&l2_squared, &dot, &l2_squared_4, &dot_4, &dot_norm_4};
  return t;
}

}  // namespace kovra::scalar

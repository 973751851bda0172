// Distance kernels. Two implementations differ only in the order of their
// floating-point additions:
//  - avx2: one 8-lane accumulator fed by fused multiply-adds over whole
//    8-element chunks, lanes reduced as ((l0+l4)+(l1+l5))+((l2+l6)+(l3+l7)),
//    then the n mod 8 tail added one term at a time (separate multiply, add);
//  - scalar: one running sum starting at -0.0, terms added in index order.
// The four-vector forms give each vector its own accumulator with exactly the
// single-vector order, so their results are bit-identical to single calls.
#pragma once

#include <array>
#include <cstddef>
#include <cmath>
#include <span>

#include "core/metric.h"

namespace kovra {

// One implementation of the kernels. Pointers are to `n` floats each; the
// four-vector forms take four vector pointers and write four results.
struct KernelTable {
  float (*l2_squared)(const float* a, const float* b, size_t n);
  float (*dot)(const float* a, const float* b, size_t n);
  void (*l2_squared_4)(const float* q, const float* const* v, size_t n, float* out);
  void (*dot_4)(const float* q, const float* const* v, size_t n, float* out);
  // dots[i] = dot(q, v[i]) and norms[i] = dot(v[i], v[i]).
  void (*dot_norm_4)(const float* q, const float* const* v, size_t n, float* dots, float* norms);
};

namespace scalar {
float l2_squared(const float* a, const float* b, size_t n);
float dot(const float* a, const float* b, size_t n);
float cosine_distance(const float* a, const float* b, size_t n);
const KernelTable& table();
}  // namespace scalar

// Callable only when cpu::has_avx2_fma() is true.
namespace avx2 {
float l2_squared(const float* a, const float* b, size_t n);
float dot(const float* a, const float* b, size_t n);
float cosine_distance(const float* a, const float* b, size_t n);
const KernelTable& table();
}  // namespace avx2

// The implementation this processor uses, chosen from the cached feature check.
const KernelTable& active_kernels();

// 1 - d / (sqrt(na) * sqrt(nb)); exactly 1.0 when either norm is zero.
inline float cosine_from_parts(float d, float na, float nb) {
  if (na == 0.0f || nb == 0.0f) return 1.0f;
  float denom = std::sqrt(na) * std::sqrt(nb);
  return 1.0f - d / denom;
}

float l2_squared(std::span<const float> a, std::span<const float> b);
float dot(std::span<const float> a, std::span<const float> b);
float cosine_distance(std::span<const float> a, std::span<const float> b);

// The distance searches report. Unequal lengths are a broken precondition.
float distance(Metric metric, std::span<const float> a, std::span<const float> b);
// As `distance`, but squared for L2. Orders pairs exactly as `distance`.
float raw_distance(Metric metric, std::span<const float> a, std::span<const float> b);
// raw_distance of `query` to each of four vectors of query.size() floats.
std::array<float, 4> raw_distance_4(Metric metric, std::span<const float> query,
                                    const std::array<const float*, 4>& vectors);

// Scores many stored vectors against one query with a kernel table picked once,
// four vectors per pass; each result is bit-identical to a single call.
class DistanceScorer {
 public:
  // `raw` = true gives raw_distance, false gives distance. `query` must outlive
  // the scorer.
  DistanceScorer(Metric metric, std::span<const float> query, bool raw,
                 const KernelTable& kernels = active_kernels());

  float one(const float* v) const;
  void four(const float* const* v, float* out) const;
  // Scores `count` vectors stored back to back (`dims` floats apart). Rows
  // ahead are prefetched up to `readable_end` (default: the last row), so a
  // caller scanning a larger array block by block keeps the stream warm.
  void contiguous(const float* base, size_t count, float* out, const float* readable_end = nullptr) const;
  // As `contiguous`, with norms[i] = kernels.dot(row i, row i) computed
  // beforehand by the same kernel table. A cosine scan then costs one dot
  // product per row instead of two, and gives the same bits: the kernels'
  // four-vector forms already match their single calls, so the norm a scan
  // would compute is exactly the cached one. Other metrics ignore `norms`.
  void contiguous_with_norms(const float* base, const float* norms, size_t count, float* out,
                             const float* readable_end = nullptr) const;

  size_t dims() const { return n_; }

 private:
  Metric metric_;
  const float* q_;
  size_t n_;
  bool raw_;
  float q_norm_;
  const KernelTable* k_;
};

}  // namespace kovra

#include "core/distance.h"

#include <algorithm>
#include <cstdint>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/cpu.h"

namespace kovra {

const KernelTable& active_kernels() {
  return cpu::has_avx2_fma() ? avx2::table() : scalar::table();
}

namespace {

// cosine_from_parts on four lanes: the same correctly rounded square roots,
// product and quotient, hence the same bits, without four scalar divisions
// in a row.
void cosine_from_parts_4(const float* dots, float na, const float* nb, float* out) {
#if defined(__SSE2__)
  const __m128 one = _mm_set1_ps(1.0f);
  if (na == 0.0f) {
    _mm_storeu_ps(out, one);
    return;
  }
  const __m128 b = _mm_loadu_ps(nb);
  const __m128 denom = _mm_mul_ps(_mm_set1_ps(std::sqrt(na)), _mm_sqrt_ps(b));
  const __m128 r = _mm_sub_ps(one, _mm_div_ps(_mm_loadu_ps(dots), denom));
  const __m128 zero = _mm_cmpeq_ps(b, _mm_setzero_ps());
  _mm_storeu_ps(out, _mm_or_ps(_mm_and_ps(zero, one), _mm_andnot_ps(zero, r)));
#else
  for (int j = 0; j < 4; ++j) out[j] = cosine_from_parts(dots[j], na, nb[j]);
#endif
}

void check_lengths(size_t a, size_t b) {
  KOVRA_CHECK(a == b, "vector dimension mismatch: " + std::to_string(a) + " vs " + std::to_string(b));
}

}  // namespace

float l2_squared(std::span<const float> a, std::span<const float> b) {
  check_lengths(a.size(), b.size());
  return active_kernels().l2_squared(a.data(), b.data(), a.size());
}

float dot(std::span<const float> a, std::span<const float> b) {
  check_lengths(a.size(), b.size());
  return active_kernels().dot(a.data(), b.data(), a.size());
}

float cosine_distance(std::span<const float> a, std::span<const float> b) {
  check_lengths(a.size(), b.size());
  const KernelTable& k = active_kernels();
  size_t n = a.size();
  return cosine_from_parts(k.dot(a.data(), b.data(), n), k.dot(a.data(), a.data(), n),
                           k.dot(b.data(), b.data(), n));
}

float raw_distance(Metric metric, std::span<const float> a, std::span<const float> b) {
  check_lengths(a.size(), b.size());
  return DistanceScorer(metric, a, true).one(b.data());
}

float distance(Metric metric, std::span<const float> a, std::span<const float> b) {
  check_lengths(a.size(), b.size());
  return DistanceScorer(metric, a, false).one(b.data());
}

std::array<float, 4> raw_distance_4(Metric metric, std::span<const float> query,
                                    const std::array<const float*, 4>& vectors) {
  std::array<float, 4> out;
  DistanceScorer(metric, query, true).four(vectors.data(), out.data());
  return out;
}

DistanceScorer::DistanceScorer(Metric metric, std::span<const float> query, bool raw,
                               const KernelTable& kernels)
    : metric_(metric), q_(query.data()), n_(query.size()), raw_(raw), q_norm_(0.0f), k_(&kernels) {
  // The query's own norm is the same sum at every comparison, so computing it
  // once changes no bit of any result.
  if (metric_ == Metric::Cosine) q_norm_ = k_->dot(q_, q_, n_);
}

float DistanceScorer::one(const float* v) const {
  switch (metric_) {
    case Metric::L2: {
      float s = k_->l2_squared(q_, v, n_);
      return raw_ ? s : std::sqrt(s);
    }
    case Metric::Cosine:
      return cosine_from_parts(k_->dot(q_, v, n_), q_norm_, k_->dot(v, v, n_));
    case Metric::DotProduct:
      return -k_->dot(q_, v, n_);
  }
  return 0.0f;
}

void DistanceScorer::four(const float* const* v, float* out) const {
  switch (metric_) {
    case Metric::L2:
      k_->l2_squared_4(q_, v, n_, out);
      if (!raw_)
        for (int j = 0; j < 4; ++j) out[j] = std::sqrt(out[j]);
      return;
    case Metric::Cosine: {
      float dots[4], norms[4];
      k_->dot_norm_4(q_, v, n_, dots, norms);
      cosine_from_parts_4(dots, q_norm_, norms, out);
      return;
    }
    case Metric::DotProduct:
      k_->dot_4(q_, v, n_, out);
      for (int j = 0; j < 4; ++j) out[j] = -out[j];
      return;
  }
}

namespace {

// Scores `count` rows of `n` floats stored back to back: `group(rows, out, i)`
// scores rows i..i+3 and `single(row, i)` returns the score of row i.
template <class Group, class Single>
void scan_rows(const float* base, size_t n, size_t count, float* out, const float* readable_end, Group group,
               Single single) {
  // Four rows at a time read four streams at once, which the hardware
  // prefetcher follows poorly; fetching rows some way ahead keeps the
  // scan at memory speed.
  const size_t row_bytes = n * sizeof(float);
  // About 8 KiB ahead, and at least two groups.
  const size_t ahead = (std::max<size_t>(8, 8192 / (row_bytes ? row_bytes : 1)) + 3) & ~size_t(3);
  const uintptr_t start = reinterpret_cast<uintptr_t>(base);
  const uintptr_t end = readable_end ? reinterpret_cast<uintptr_t>(readable_end) : start + count * row_bytes;
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    uintptr_t from = start + (i + ahead) * row_bytes;
    uintptr_t to = std::min(end, from + 4 * row_bytes);
    for (uintptr_t p = from; p < to; p += 64) __builtin_prefetch(reinterpret_cast<const void*>(p), 0, 3);
    const float* v[4] = {base + i * n, base + (i + 1) * n, base + (i + 2) * n, base + (i + 3) * n};
    group(v, out + i, i);
  }
  for (; i < count; ++i) out[i] = single(base + i * n, i);
}

}  // namespace

void DistanceScorer::contiguous(const float* base, size_t count, float* out, const float* readable_end) const {
  scan_rows(
      base, n_, count, out, readable_end, [&](const float* const* v, float* o, size_t) { four(v, o); },
      [&](const float* v, size_t) { return one(v); });
}

void DistanceScorer::contiguous_with_norms(const float* base, const float* norms, size_t count, float* out,
                                           const float* readable_end) const {
  if (metric_ != Metric::Cosine) return contiguous(base, count, out, readable_end);
  scan_rows(
      base, n_, count, out, readable_end,
      [&](const float* const* v, float* o, size_t i) {
        float dots[4];
        k_->dot_4(q_, v, n_, dots);
        cosine_from_parts_4(dots, q_norm_, norms + i, o);
      },
      [&](const float* v, size_t i) { return cosine_from_parts(k_->dot(q_, v, n_), q_norm_, norms[i]); });
}

}  // namespace kovra

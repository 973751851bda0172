// Fused decode-and-score kernels for int8 and binary16 rows. Each row keeps its own 8-lane accumulator fed
// by fused multiply-adds over whole 8-element chunks, the lanes are reduced as
// ((l0+l4)+(l1+l5))+((l2+l6)+(l3+l7)), and the tail is added one term at a
// time with a separate multiply: exactly the order of distance_avx2.cpp, with
// the decoded floats in place of a stored float row. Built with -mavx2 -mfma
// -mf16c and entered only after the processor check.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/index/compressed_scan.h"

namespace kovra::scan::avx2 {
namespace {

inline float reduce(__m256 acc) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
  __m128 h = _mm_hadd_ps(s, s);
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_movehdup_ps(h)));
}

// The correctly rounded quotient code / scale without a division: q0 = code *
// (1/scale) is within a few ulps, the remainder code - q0 * scale is exact under
// FMA, and one correction step lands on the rounded quotient. Checked
// exhaustively for every significand of the scale and every code 1..127 (the
// exponent only shifts all terms exactly, the sign mirrors them). Scales far
// from 1 could push the terms into the subnormal range, so those rows divide.
inline bool reciprocal_is_exact(float scale) { return scale >= 0x1p-100f && scale <= 0x1p100f; }

// kRecip chooses the decode at compile time, so the inner loops carry no
// branch; both give the same quotient.
template <bool kRecip>
struct Int8Row {
  static constexpr size_t kAhead = 16;  // rows fetched ahead (128-byte rows at 128 dimensions)
  const int8_t* codes;
  float scale;
  __m256 s, r;

  Int8Row() = default;
  Int8Row(const int8_t* c, float sc) : codes(c), scale(sc) {
    s = _mm256_set1_ps(sc);
    r = _mm256_set1_ps(1.0f / sc);
  }
  __m256 load(size_t i) const {
    __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + i));
    __m256 x = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(bytes));
    if constexpr (!kRecip) {
      return _mm256_div_ps(x, s);
    } else {
      __m256 q0 = _mm256_mul_ps(x, r);
      __m256 rem = _mm256_fnmadd_ps(q0, s, x);
      return _mm256_fmadd_ps(rem, r, q0);
    }
  }
  float at(size_t i) const { return decode_int8(codes[i], scale); }
};

struct HalfRow {
  static constexpr size_t kAhead = 8;
  const uint16_t* halves;

  __m256 load(size_t i) const {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(halves + i)));
  }
  float at(size_t i) const { return _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(halves[i]))); }
};

template <class Row>
void l2_4(const float* q, size_t n, const Row* v, float* out) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 x = _mm256_loadu_ps(q + i);
    __m256 d0 = _mm256_sub_ps(x, v[0].load(i));
    __m256 d1 = _mm256_sub_ps(x, v[1].load(i));
    __m256 d2 = _mm256_sub_ps(x, v[2].load(i));
    __m256 d3 = _mm256_sub_ps(x, v[3].load(i));
    a0 = _mm256_fmadd_ps(d0, d0, a0);
    a1 = _mm256_fmadd_ps(d1, d1, a1);
    a2 = _mm256_fmadd_ps(d2, d2, a2);
    a3 = _mm256_fmadd_ps(d3, d3, a3);
  }
  float s[4] = {reduce(a0), reduce(a1), reduce(a2), reduce(a3)};
  for (; i < n; ++i) {
    for (int j = 0; j < 4; ++j) {
      float d = q[i] - v[j].at(i);
      s[j] += d * d;
    }
  }
  for (int j = 0; j < 4; ++j) out[j] = s[j];
}

template <class Row>
float l2_1(const float* q, size_t n, const Row& v) {
  __m256 acc = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 d = _mm256_sub_ps(_mm256_loadu_ps(q + i), v.load(i));
    acc = _mm256_fmadd_ps(d, d, acc);
  }
  float sum = reduce(acc);
  for (; i < n; ++i) {
    float d = q[i] - v.at(i);
    sum += d * d;
  }
  return sum;
}

// dots[j] = dot(q, v[j]); with `norms`, also norms[j] = dot(v[j], v[j]).
template <class Row, bool kNorms>
void dot_4(const float* q, size_t n, const Row* v, float* dots, float* norms) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  __m256 b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 x = _mm256_loadu_ps(q + i);
    __m256 y0 = v[0].load(i), y1 = v[1].load(i), y2 = v[2].load(i), y3 = v[3].load(i);
    a0 = _mm256_fmadd_ps(x, y0, a0);
    a1 = _mm256_fmadd_ps(x, y1, a1);
    a2 = _mm256_fmadd_ps(x, y2, a2);
    a3 = _mm256_fmadd_ps(x, y3, a3);
    if constexpr (kNorms) {
      b0 = _mm256_fmadd_ps(y0, y0, b0);
      b1 = _mm256_fmadd_ps(y1, y1, b1);
      b2 = _mm256_fmadd_ps(y2, y2, b2);
      b3 = _mm256_fmadd_ps(y3, y3, b3);
    }
  }
  float d[4] = {reduce(a0), reduce(a1), reduce(a2), reduce(a3)};
  float m[4] = {reduce(b0), reduce(b1), reduce(b2), reduce(b3)};
  for (; i < n; ++i) {
    float x = q[i];
    for (int j = 0; j < 4; ++j) {
      float y = v[j].at(i);
      d[j] += x * y;
      if constexpr (kNorms) m[j] += y * y;
    }
  }
  for (int j = 0; j < 4; ++j) {
    dots[j] = d[j];
    if constexpr (kNorms) norms[j] = m[j];
  }
}

template <class Row, bool kNorms>
void dot_1(const float* q, size_t n, const Row& v, float* dot, float* norm) {
  __m256 a = _mm256_setzero_ps(), b = a;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 y = v.load(i);
    a = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), y, a);
    if constexpr (kNorms) b = _mm256_fmadd_ps(y, y, b);
  }
  float d = reduce(a), m = reduce(b);
  for (; i < n; ++i) {
    float y = v.at(i);
    d += q[i] * y;
    if constexpr (kNorms) m += y * y;
  }
  *dot = d;
  if constexpr (kNorms) *norm = m;
}

// Four rows at a time read four streams at once, which the hardware
// prefetcher follows poorly; the rows two groups ahead are fetched explicitly.
// Rows are contiguous from `base`, `row_bytes` apart, and readable up to `end`.
template <size_t kAhead>
inline void prefetch_ahead(uintptr_t base, size_t row_bytes, uintptr_t end, size_t r) {
  uintptr_t from = base + (r + kAhead) * row_bytes;
  uintptr_t to = std::min(end, from + 4 * row_bytes);
  for (uintptr_t p = from; p < to; p += 64) __builtin_prefetch(reinterpret_cast<const void*>(p), 0, 3);
}

// Scores `count` rows; make(r) builds the decoder of row r.
template <class Row, class Make>
void score_rows(Metric metric, const float* q, float q_norm, size_t n, size_t count, float* out,
                const void* rows, size_t row_bytes, const void* readable_end, Make&& make) {
  const uintptr_t base = reinterpret_cast<uintptr_t>(rows);
  const uintptr_t end = readable_end ? reinterpret_cast<uintptr_t>(readable_end) : base + count * row_bytes;
  size_t r = 0;
  Row v[4];
  switch (metric) {
    case Metric::L2:
      for (; r + 4 <= count; r += 4) {
        prefetch_ahead<Row::kAhead>(base, row_bytes, end, r);
        for (size_t j = 0; j < 4; ++j) v[j] = make(r + j);
        l2_4(q, n, v, out + r);
        // One correctly rounded vector root: the same bits as four scalar roots.
        _mm_storeu_ps(out + r, _mm_sqrt_ps(_mm_loadu_ps(out + r)));
      }
      for (; r < count; ++r) out[r] = std::sqrt(l2_1(q, n, make(r)));
      return;
    case Metric::Cosine: {
      float dots[4], norms[4];
      for (; r + 4 <= count; r += 4) {
        prefetch_ahead<Row::kAhead>(base, row_bytes, end, r);
        for (size_t j = 0; j < 4; ++j) v[j] = make(r + j);
        dot_4<Row, true>(q, n, v, dots, norms);
        for (size_t j = 0; j < 4; ++j) out[r + j] = cosine_from_parts(dots[j], q_norm, norms[j]);
      }
      for (; r < count; ++r) {
        dot_1<Row, true>(q, n, make(r), dots, norms);
        out[r] = cosine_from_parts(dots[0], q_norm, norms[0]);
      }
      return;
    }
    case Metric::DotProduct: {
      float dots[4];
      for (; r + 4 <= count; r += 4) {
        prefetch_ahead<Row::kAhead>(base, row_bytes, end, r);
        for (size_t j = 0; j < 4; ++j) v[j] = make(r + j);
        dot_4<Row, false>(q, n, v, dots, nullptr);
        for (size_t j = 0; j < 4; ++j) out[r + j] = -dots[j];
      }
      for (; r < count; ++r) {
        dot_1<Row, false>(q, n, make(r), dots, nullptr);
        out[r] = -dots[0];
      }
      return;
    }
  }
}

}  // namespace

void int8_fused(Metric metric, const float* q, float q_norm, size_t n, const int8_t* codes,
                const float* scales, size_t count, float* out, const int8_t* readable_end) {
  if (!readable_end) readable_end = codes + count * n;
  // Runs of rows that take the same decode (almost always one run).
  size_t start = 0;
  while (start < count) {
    const bool recip = reciprocal_is_exact(scales[start]);
    size_t stop = start + 1;
    while (stop < count && reciprocal_is_exact(scales[stop]) == recip) ++stop;
    const int8_t* run = codes + start * n;
    if (recip) {
      score_rows<Int8Row<true>>(metric, q, q_norm, n, stop - start, out + start, run, n, readable_end,
                                [&](size_t r) { return Int8Row<true>(run + r * n, scales[start + r]); });
    } else {
      score_rows<Int8Row<false>>(metric, q, q_norm, n, stop - start, out + start, run, n, readable_end,
                                 [&](size_t r) { return Int8Row<false>(run + r * n, scales[start + r]); });
    }
    start = stop;
  }
}

void half_fused(Metric metric, const float* q, float q_norm, size_t n, const uint16_t* halves,
                size_t count, float* out, const uint16_t* readable_end) {
  score_rows<HalfRow>(metric, q, q_norm, n, count, out, halves, 2 * n, readable_end,
                      [&](size_t r) { return HalfRow{halves + r * n}; });
}

void hamming_counts(const uint64_t* q, const uint64_t* rows, size_t words, size_t count, uint32_t* out) {
  if (words == 2) {  // 65..128 dimensions: the common case, unrolled
    const uint64_t q0 = q[0], q1 = q[1];
    for (size_t r = 0; r < count; ++r) {
      const uint64_t* row = rows + 2 * r;
      out[r] = static_cast<uint32_t>(_mm_popcnt_u64(q0 ^ row[0]) + _mm_popcnt_u64(q1 ^ row[1]));
    }
    return;
  }
  for (size_t r = 0; r < count; ++r) {
    const uint64_t* row = rows + r * words;
    uint64_t h = 0;
    for (size_t w = 0; w < words; ++w) h += static_cast<uint64_t>(_mm_popcnt_u64(q[w] ^ row[w]));
    out[r] = static_cast<uint32_t>(h);
  }
}

}  // namespace kovra::scan::avx2


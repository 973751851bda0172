// Scans over compressed rows: int8 codes with a per-row scale, binary16
// halves, and sign bits. A compressed row is compared after decoding it to
// floats; the fused kernels decode and accumulate in one pass but produce the
// very floats and the very accumulation order of decode-then-`distance`, so a
// search reports the same bits either way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/distance.h"

namespace kovra::scan {

// Element of a decoded int8 row: a division, not a multiplication by the
// reciprocal, so every path must produce exactly this quotient.
inline float decode_int8(int8_t code, float scale) { return static_cast<float>(code) / scale; }

// Decode-then-score: each row of `scorer.dims()` cells is decoded into floats
// and scored by `scorer`. `out` gets `count` distances. These are the paths
// of processors without AVX2 (halves are then converted a block at a time).
void int8_decoded(const DistanceScorer& scorer, const int8_t* codes, const float* scales, size_t count,
                  float* out);
void half_decoded(const DistanceScorer& scorer, const uint16_t* halves, size_t count, float* out);

// Population count of (q XOR row) over `words` 64-bit words, for `count` rows
// stored back to back.
void hamming_counts(const uint64_t* q, const uint64_t* rows, size_t words, size_t count, uint32_t* out);

namespace scalar {
void hamming_counts(const uint64_t* q, const uint64_t* rows, size_t words, size_t count, uint32_t* out);
}  // namespace scalar

// Callable only when cpu::has_avx2_fma() is true (and cpu::has_f16c() for
// halves). Bit-identical to the decode-then-score forms used with
// avx2::table(); `q_norm` must be avx2::dot(q, q, n) (read for Cosine only).
// Rows ahead are prefetched up to `readable_end` (default: the last row), so
// a caller scanning a larger store block by block keeps the stream warm.
namespace avx2 {
void int8_fused(Metric metric, const float* q, float q_norm, size_t n, const int8_t* codes,
                const float* scales, size_t count, float* out, const int8_t* readable_end = nullptr);
void half_fused(Metric metric, const float* q, float q_norm, size_t n, const uint16_t* halves,
                size_t count, float* out, const uint16_t* readable_end = nullptr);
void hamming_counts(const uint64_t* q, const uint64_t* rows, size_t words, size_t count, uint32_t* out);
}  // namespace avx2

}  // namespace kovra::scan

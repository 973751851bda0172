#include "core/index/compressed_scan.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "core/cpu.h"
#include "core/fp16.h"

namespace kovra::scan {
namespace {

// Decodes rows four at a time into one scratch block and scores them.
template <class Decode>
void score_decoded(const DistanceScorer& scorer, size_t count, float* out, Decode&& decode) {
  const size_t n = scorer.dims();
  std::vector<float> scratch(4 * n);
  const float* rows[4] = {scratch.data(), scratch.data() + n, scratch.data() + 2 * n, scratch.data() + 3 * n};
  size_t r = 0;
  for (; r + 4 <= count; r += 4) {
    for (size_t j = 0; j < 4; ++j) decode(r + j, scratch.data() + j * n);
    scorer.four(rows, out + r);
  }
  for (; r < count; ++r) {
    decode(r, scratch.data());
    out[r] = scorer.one(scratch.data());
  }
}

}  // namespace

void int8_decoded(const DistanceScorer& scorer, const int8_t* codes, const float* scales, size_t count,
                  float* out) {
  const size_t n = scorer.dims();
  score_decoded(scorer, count, out, [&](size_t row, float* dst) {
    const int8_t* c = codes + row * n;
    float scale = scales[row];
    for (size_t i = 0; i < n; ++i) dst[i] = decode_int8(c[i], scale);
  });
}

void half_decoded(const DistanceScorer& scorer, const uint16_t* halves, size_t count, float* out) {
  const size_t n = scorer.dims();
  constexpr size_t kRows = 8;
  std::vector<float> block(kRows * n);
  const uintptr_t start = reinterpret_cast<uintptr_t>(halves);
  const uintptr_t end = start + count * n * sizeof(uint16_t);
  for (size_t base = 0; base < count; base += kRows) {
    size_t rows = std::min(kRows, count - base);
    // The block after next is fetched while this one is scored.
    uintptr_t from = start + (base + 2 * kRows) * n * sizeof(uint16_t);
    for (uintptr_t p = from; p < std::min(end, from + kRows * n * sizeof(uint16_t)); p += 64) {
      __builtin_prefetch(reinterpret_cast<const void*>(p), 0, 3);
    }
    to_float_n(halves + base * n, block.data(), rows * n);
    scorer.contiguous(block.data(), rows, out + base);
  }
}

namespace scalar {

void hamming_counts(const uint64_t* q, const uint64_t* rows, size_t words, size_t count, uint32_t* out) {
  for (size_t r = 0; r < count; ++r) {
    const uint64_t* row = rows + r * words;
    uint32_t h = 0;
    for (size_t w = 0; w < words; ++w) h += static_cast<uint32_t>(std::popcount(q[w] ^ row[w]));
    out[r] = h;
  }
}

}  // namespace scalar

void hamming_counts(const uint64_t* q, const uint64_t* rows, size_t words, size_t count, uint32_t* out) {
  if (cpu::has_avx2_fma()) return avx2::hamming_counts(q, rows, words, count, out);
  scalar::hamming_counts(q, rows, words, count, out);
}

}  // namespace kovra::scan

// The AVX-512 score kernels: a tile of six queries by sixteen rows, one
// register per query with the dimensions split over two accumulator sets so
// that two chains of fused multiply-adds are in flight per query, and a
// sixteen-lane threshold scan.
#include <immintrin.h>

#include "core/dot_block.h"

namespace kovra::avx512 {
namespace {

void tile(const float* a, const float* b, size_t dims, size_t tile_rows, const float* bias, const float* scale,
          float* out, size_t ld) {
  __m512 c[2][kQueryTile];
  for (auto& set : c)
    for (auto& v : set) v = _mm512_setzero_ps();
  size_t p = 0;
  for (; p + 2 <= dims; p += 2, a += 2 * kQueryTile, b += 2 * kPanelRows) {
    const __m512 b0 = _mm512_loadu_ps(b), b1 = _mm512_loadu_ps(b + kPanelRows);
    for (size_t r = 0; r < kQueryTile; ++r) {
      c[0][r] = _mm512_fmadd_ps(_mm512_set1_ps(a[r]), b0, c[0][r]);
      c[1][r] = _mm512_fmadd_ps(_mm512_set1_ps(a[kQueryTile + r]), b1, c[1][r]);
    }
  }
  if (p < dims) {
    const __m512 b0 = _mm512_loadu_ps(b);
    for (size_t r = 0; r < kQueryTile; ++r) c[0][r] = _mm512_fmadd_ps(_mm512_set1_ps(a[r]), b0, c[0][r]);
  }
  const __m512 s = _mm512_loadu_ps(scale), o = _mm512_loadu_ps(bias);
  for (size_t r = 0; r < tile_rows; ++r)
    _mm512_storeu_ps(out + r * ld, _mm512_fmadd_ps(_mm512_add_ps(c[0][r], c[1][r]), s, o));
}

size_t at_most(const float* scores, size_t count, float bound, uint32_t* positions) {
  const __m512 t = _mm512_set1_ps(bound);
  size_t found = 0, i = 0;
  for (; i + 16 <= count; i += 16) {
    const uint32_t mask = _mm512_cmp_ps_mask(_mm512_loadu_ps(scores + i), t, _CMP_LE_OQ);
    found += append_mask_positions(mask, i, positions + found);
  }
  return found + positions_at_most_from(scores, i, count, bound, positions + found);
}

}  // namespace

const ScoreKernels& score_kernels() {
  static const ScoreKernels k{tile, at_most};
  return k;
}

}  // namespace kovra::avx512

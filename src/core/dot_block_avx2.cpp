// The AVX2+FMA score kernels: a tile of six queries by sixteen rows in twelve
// accumulators, and an eight-lane threshold scan.
#include <immintrin.h>

#include "core/dot_block.h"

namespace kovra::avx2 {
namespace {

void tile(const float* a, const float* b, size_t dims, size_t tile_rows, const float* bias, const float* scale,
          float* out, size_t ld) {
  __m256 c[kQueryTile][2];
  for (auto& row : c) row[0] = row[1] = _mm256_setzero_ps();
  for (size_t p = 0; p < dims; ++p, a += kQueryTile, b += kPanelRows) {
    const __m256 b0 = _mm256_loadu_ps(b), b1 = _mm256_loadu_ps(b + 8);
    for (size_t r = 0; r < kQueryTile; ++r) {
      const __m256 x = _mm256_broadcast_ss(a + r);
      c[r][0] = _mm256_fmadd_ps(x, b0, c[r][0]);
      c[r][1] = _mm256_fmadd_ps(x, b1, c[r][1]);
    }
  }
  const __m256 s0 = _mm256_loadu_ps(scale), s1 = _mm256_loadu_ps(scale + 8);
  const __m256 o0 = _mm256_loadu_ps(bias), o1 = _mm256_loadu_ps(bias + 8);
  for (size_t r = 0; r < tile_rows; ++r) {
    _mm256_storeu_ps(out + r * ld, _mm256_fmadd_ps(c[r][0], s0, o0));
    _mm256_storeu_ps(out + r * ld + 8, _mm256_fmadd_ps(c[r][1], s1, o1));
  }
}

size_t at_most(const float* scores, size_t count, float bound, uint32_t* positions) {
  const __m256 t = _mm256_set1_ps(bound);
  size_t found = 0, i = 0;
  for (; i + 8 <= count; i += 8) {
    const auto mask = static_cast<uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(scores + i), t, _CMP_LE_OQ)));
    found += append_mask_positions(mask, i, positions + found);
  }
  return found + positions_at_most_from(scores, i, count, bound, positions + found);
}

}  // namespace

const ScoreKernels& score_kernels() {
  static const ScoreKernels k{tile, at_most};
  return k;
}

}  // namespace kovra::avx2

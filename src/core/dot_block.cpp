#include "core/dot_block.h"

#include <algorithm>

#include "core/cpu.h"

namespace kovra {

void pack_query_tiles(const float* queries, size_t count, size_t dims, float* packed) {
  const size_t tiles = round_up(count, kQueryTile) / kQueryTile;
  for (size_t t = 0; t < tiles; ++t) {
    float* dst = packed + t * dims * kQueryTile;
    for (size_t r = 0; r < kQueryTile; ++r) {
      const size_t q = t * kQueryTile + r;
      const float* src = q < count ? queries + q * dims : nullptr;
      for (size_t p = 0; p < dims; ++p) dst[p * kQueryTile + r] = src ? src[p] : 0.0f;
    }
  }
}

void pack_row_panels(const float* rows, size_t count, size_t dims, float* packed) {
  const size_t panels = round_up(count, kPanelRows) / kPanelRows;
  for (size_t j = 0; j < panels; ++j) {
    float* dst = packed + j * dims * kPanelRows;
    const size_t n = std::min(kPanelRows, count - j * kPanelRows);
    if (n < kPanelRows) std::fill_n(dst, dims * kPanelRows, 0.0f);
    const float* src = rows + j * kPanelRows * dims;
    // Each source row is read in order; its values land a panel line apart,
    // in lines that the panel's next rows fill too.
    for (size_t c = 0; c < n; ++c, src += dims)
      for (size_t p = 0; p < dims; ++p) dst[p * kPanelRows + c] = src[p];
  }
}

namespace scalar {
namespace {

void tile(const float* a, const float* b, size_t dims, size_t tile_rows, const float* bias, const float* scale,
          float* out, size_t ld) {
  float sums[kQueryTile][kPanelRows] = {};
  for (size_t p = 0; p < dims; ++p)
    for (size_t r = 0; r < kQueryTile; ++r)
      for (size_t c = 0; c < kPanelRows; ++c) sums[r][c] += a[p * kQueryTile + r] * b[p * kPanelRows + c];
  for (size_t r = 0; r < tile_rows; ++r)
    for (size_t c = 0; c < kPanelRows; ++c) out[r * ld + c] = bias[c] + scale[c] * sums[r][c];
}

size_t at_most(const float* scores, size_t count, float bound, uint32_t* positions) {
  return positions_at_most_from(scores, 0, count, bound, positions);
}

}  // namespace

const ScoreKernels& score_kernels() {
  static const ScoreKernels k{tile, at_most};
  return k;
}

}  // namespace scalar

namespace {

const ScoreKernels& active_score_kernels() {
  static const ScoreKernels& k = cpu::has_avx512f()    ? avx512::score_kernels()
                                 : cpu::has_avx2_fma() ? avx2::score_kernels()
                                                       : scalar::score_kernels();
  return k;
}

}  // namespace

void score_block(const float* packed_queries, size_t queries, const float* packed_rows, size_t rows,
                 size_t dims, const float* bias, const float* scale, float* out, size_t ld) {
  const auto tile = active_score_kernels().tile;
  const size_t panels = round_up(rows, kPanelRows) / kPanelRows;
  const size_t tiles = round_up(queries, kQueryTile) / kQueryTile;
  // A panel stays in the first-level cache while every query tile passes it.
  for (size_t j = 0; j < panels; ++j) {
    const float* b = packed_rows + j * dims * kPanelRows;
    const size_t c = j * kPanelRows;
    for (size_t t = 0; t < tiles; ++t) {
      const size_t n = std::min(kQueryTile, queries - t * kQueryTile);
      tile(packed_queries + t * dims * kQueryTile, b, dims, n, bias + c, scale + c, out + t * kQueryTile * ld + c,
           ld);
    }
  }
}

size_t positions_at_most(const float* scores, size_t count, float bound, uint32_t* positions) {
  return active_score_kernels().at_most(scores, count, bound, positions);
}

}  // namespace kovra

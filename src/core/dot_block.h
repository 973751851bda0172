// Scores of a block of queries against a block of stored rows from their dot
// products, register blocked: the queries are packed in tiles of kQueryTile
// rows and the stored rows in panels of kPanelRows, both dimension-major, so
// that the inner loop keeps a kQueryTile x kPanelRows tile of sums in
// registers and reads each packed value once per tile. The sums follow no
// fixed order: callers use the scores to pick candidates and compute the
// distances they report with the exact kernels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra {

inline constexpr size_t kQueryTile = 6;
inline constexpr size_t kPanelRows = 16;

inline size_t round_up(size_t n, size_t m) { return (n + m - 1) / m * m; }

// packed[(t * dims + p) * kQueryTile + r] = queries[(t * kQueryTile + r) * dims + p],
// zero past the last query. `packed` holds round_up(count, kQueryTile) * dims floats.
void pack_query_tiles(const float* queries, size_t count, size_t dims, float* packed);

// packed[(j * dims + p) * kPanelRows + c] = rows[(j * kPanelRows + c) * dims + p],
// zero past the last row. `packed` holds round_up(count, kPanelRows) * dims floats.
void pack_row_panels(const float* rows, size_t count, size_t dims, float* packed);

// out[q * ld + c] = bias[c] + scale[c] * dot(query q, row c) for q < queries
// and c < round_up(rows, kPanelRows); bias and scale cover the padded width
// and ld is at least that width.
void score_block(const float* packed_queries, size_t queries, const float* packed_rows, size_t rows,
                 size_t dims, const float* bias, const float* scale, float* out, size_t ld);

// Writes the positions i < count with scores[i] <= bound (in ascending
// order) to `positions` and returns how many there are.
size_t positions_at_most(const float* scores, size_t count, float bound, uint32_t* positions);

// The pieces every positions_at_most shares: the positions of the set bits
// of a lane mask (lowest first) from `base`, and the scalar scan of a tail.
inline size_t append_mask_positions(uint32_t mask, size_t base, uint32_t* positions) {
  size_t n = 0;
  for (; mask; mask &= mask - 1) positions[n++] = static_cast<uint32_t>(base + static_cast<size_t>(__builtin_ctz(mask)));
  return n;
}
inline size_t positions_at_most_from(const float* scores, size_t from, size_t count, float bound,
                                     uint32_t* positions) {
  size_t n = 0;
  for (size_t i = from; i < count; ++i)
    if (scores[i] <= bound) positions[n++] = static_cast<uint32_t>(i);
  return n;
}

struct ScoreKernels {
  void (*tile)(const float* a, const float* b, size_t dims, size_t tile_rows, const float* bias,
               const float* scale, float* out, size_t ld);
  size_t (*at_most)(const float* scores, size_t count, float bound, uint32_t* positions);
};

namespace scalar {
const ScoreKernels& score_kernels();
}
// Callable only when cpu::has_avx2_fma() is true.
namespace avx2 {
const ScoreKernels& score_kernels();
}
// Callable only when cpu::has_avx512f() is true.
namespace avx512 {
const ScoreKernels& score_kernels();
}

}  // namespace kovra

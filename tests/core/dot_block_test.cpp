#include "core/dot_block.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/cpu.h"
#include "testutil.h"

namespace kovra {
namespace {

std::vector<std::pair<const char*, const ScoreKernels*>> available() {
  std::vector<std::pair<const char*, const ScoreKernels*>> out{{"scalar", &scalar::score_kernels()}};
  if (cpu::has_avx2_fma()) out.emplace_back("avx2", &avx2::score_kernels());
  if (cpu::has_avx512f()) out.emplace_back("avx512", &avx512::score_kernels());
  return out;
}

// Every kernel table against float64 sums, on shapes that leave partial
// query tiles and row panels, and odd dimension counts for the paired loop.
TEST(ScoreKernels, TilesScoreAsTheirDefinitionAndScansFindTheSamePositions) {
  for (auto [name, kernels] : available()) {
    for (auto [queries, rows, dims] : {std::tuple{size_t{1}, size_t{1}, size_t{1}}, std::tuple{size_t{7}, size_t{33}, size_t{129}},
                                       std::tuple{size_t{12}, size_t{16}, size_t{8}}}) {
      std::vector<float> q = testutil::random_block(queries, dims, 1), x = testutil::random_block(rows, dims, 2);
      const size_t width = round_up(rows, kPanelRows), ld = width + 3;
      std::vector<float> pq(round_up(queries, kQueryTile) * dims), px(width * dims), bias(width), scale(width);
      pack_query_tiles(q.data(), queries, dims, pq.data());
      pack_row_panels(x.data(), rows, dims, px.data());
      for (size_t c = 0; c < width; ++c) bias[c] = 0.5f * static_cast<float>(c), scale[c] = c % 2 ? -2.0f : 1.0f;
      std::vector<float> out(queries * ld, -1.0f);
      for (size_t t = 0; t * kQueryTile < queries; ++t)
        for (size_t j = 0; j < width / kPanelRows; ++j)
          kernels->tile(pq.data() + t * kQueryTile * dims, px.data() + j * kPanelRows * dims, dims,
                        std::min(kQueryTile, queries - t * kQueryTile), bias.data() + j * kPanelRows,
                        scale.data() + j * kPanelRows, out.data() + t * kQueryTile * ld + j * kPanelRows, ld);
      for (size_t r = 0; r < queries; ++r) {
        for (size_t c = 0; c < width; ++c) {
          double dot = 0.0;
          for (size_t p = 0; c < rows && p < dims; ++p) dot += double{q[r * dims + p]} * x[c * dims + p];
          EXPECT_NEAR(out[r * ld + c], bias[c] + scale[c] * dot, 1e-4 * (1.0 + std::abs(dot))) << name;
        }
        EXPECT_EQ(out[r * ld + width], -1.0f) << name << ": wrote past the padded width";
      }
      std::vector<uint32_t> found(ld), want;
      const float bound = out[ld / 2];
      for (size_t i = 0; i < ld; ++i)
        if (out[i] <= bound) want.push_back(static_cast<uint32_t>(i));
      found.resize(kernels->at_most(out.data(), ld, bound, found.data()));
      EXPECT_EQ(found, want) << name;
    }
  }
}

}  // namespace
}  // namespace kovra

#include "core/index/quantized_fp16.h"

#include "core/cpu.h"
#include "core/distance.h"
#include "core/fp16.h"
#include "core/index/compressed_scan.h"
#include "core/index/topk.h"

namespace kovra {

void Fp16FlatIndex::put(VectorId id, const float* vector) {
  to_half_n(vector, rows_.cell(rows_.upsert(id)), dimensions_);
}

Result<std::vector<Hit>> Fp16FlatIndex::search(std::span<const float> query, size_t k) const {
  if (auto answer = unscanned(query, k)) return std::move(*answer);
  const size_t count = rows_.size();

  const bool fused = cpu::has_avx2_fma() && cpu::has_f16c();
  DistanceScorer scorer(metric_, query, /*raw=*/false);
  const float q_norm =
      metric_ == Metric::Cosine ? active_kernels().dot(query.data(), query.data(), dimensions_) : 0.0f;
  TopK top(k);
  constexpr size_t kBlock = 256;
  float dist[kBlock];
  for (size_t base = 0; base < count; base += kBlock) {
    size_t n = std::min(kBlock, count - base);
    const uint16_t* halves = rows_.cell(base);
    if (fused) {
      scan::avx2::half_fused(metric_, query.data(), q_norm, dimensions_, halves, n, dist,
                             rows_.cells() + count * dimensions_);
    } else {
      scan::half_decoded(scorer, halves, n, dist);
    }
    for (size_t i = 0; i < n; ++i) top.offer(rows_.id(base + i), dist[i]);
  }
  return top.finish();
}

void Fp16FlatIndex::decode_row(size_t r, float* v) const { to_float_n(rows_.cell(r), v, dimensions_); }

std::vector<Entry> Fp16FlatIndex::iterate() const { return decode_rows(); }

std::optional<std::vector<uint16_t>> Fp16FlatIndex::get(VectorId id) const {
  auto s = stored(id);
  if (!s) return std::nullopt;
  return std::move(s->first);
}

}  // namespace kovra

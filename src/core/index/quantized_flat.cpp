#include "core/index/quantized_flat.h"

#include <cmath>

#include "core/cpu.h"
#include "core/distance.h"
#include "core/index/compressed_scan.h"
#include "core/index/topk.h"

namespace kovra {
namespace {

// Largest magnitude, NaN ignored (a NaN never replaces the running maximum).
float max_magnitude(const float* v, size_t n) {
  float m = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    float a = std::fabs(v[i]);
    if (a > m) m = a;
  }
  return m;
}

// Returns the scale and writes n codes: round(v * scale), halves away from
// zero, clamped to -127..127, and 0 for a NaN product. Written without library
// rounding calls or branches so the loop vectorises; the product is clamped to
// +-128 first (rounding a larger magnitude would only be clamped to 127 too),
// and p - trunc(p) is exact at that size.
float quantize_into(const float* v, size_t n, int8_t* codes) {
  float m = max_magnitude(v, n);
  float scale = m > 0.0f ? 127.0f / m : 1.0f;
  for (size_t i = 0; i < n; ++i) {
    float p = v[i] * scale;
    p = p == p ? p : 0.0f;
    p = p < -128.0f ? -128.0f : p;
    p = p > 128.0f ? 128.0f : p;
    int32_t t = static_cast<int32_t>(p);  // toward zero
    float frac = p - static_cast<float>(t);
    t += static_cast<int32_t>(frac >= 0.5f) - static_cast<int32_t>(frac <= -0.5f);
    t = t < -127 ? -127 : t;
    t = t > 127 ? 127 : t;
    codes[i] = static_cast<int8_t>(t);
  }
  return scale;
}

}  // namespace

QuantizedVector quantize(std::span<const float> vector) {
  QuantizedVector q;
  q.codes.resize(vector.size());
  q.scale = quantize_into(vector.data(), vector.size(), q.codes.data());
  return q;
}

std::vector<float> dequantize(const QuantizedVector& q) {
  std::vector<float> out(q.codes.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = scan::decode_int8(q.codes[i], q.scale);
  return out;
}

void QuantizedFlatIndex::put(VectorId id, const float* vector) {
  size_t row = rows_.upsert(id);
  rows_.extra(row) = quantize_into(vector, dimensions_, rows_.cell(row));
}

Result<std::vector<Hit>> QuantizedFlatIndex::search(std::span<const float> query, size_t k) const {
  if (auto answer = unscanned(query, k)) return std::move(*answer);
  const size_t count = rows_.size();

  const bool fused = cpu::has_avx2_fma();
  DistanceScorer scorer(metric_, query, /*raw=*/false);
  const float q_norm = metric_ == Metric::Cosine ? active_kernels().dot(query.data(), query.data(), dimensions_) : 0.0f;
  TopK top(k);
  constexpr size_t kBlock = 256;
  float dist[kBlock];
  for (size_t base = 0; base < count; base += kBlock) {
    size_t n = std::min(kBlock, count - base);
    const int8_t* codes = rows_.cell(base);
    const float* scales = rows_.extras() + base;
    if (fused) {
      scan::avx2::int8_fused(metric_, query.data(), q_norm, dimensions_, codes, scales, n, dist,
                             rows_.cells() + count * dimensions_);
    } else {
      scan::int8_decoded(scorer, codes, scales, n, dist);
    }
    for (size_t i = 0; i < n; ++i) top.offer(rows_.id(base + i), dist[i]);
  }
  return top.finish();
}

void QuantizedFlatIndex::decode_row(size_t r, float* v) const {
  const int8_t* c = rows_.cell(r);
  for (size_t i = 0; i < dimensions_; ++i) v[i] = scan::decode_int8(c[i], rows_.extra(r));
}

std::vector<Entry> QuantizedFlatIndex::iterate() const { return decode_rows(); }

std::optional<QuantizedVector> QuantizedFlatIndex::get(VectorId id) const {
  auto s = stored(id);
  if (!s) return std::nullopt;
  return QuantizedVector{std::move(s->first), s->second};
}

}  // namespace kovra

#include "core/index/quantized_flat.h"

#include <cmath>
#include <cstring>

#include "core/cpu.h"
#include "core/distance.h"
#include "core/index/compressed_scan.h"
#include "core/index/saved_image.h"
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

Status QuantizedFlatIndex::add(VectorId id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
  put(id, vector.data());
  return ok();
}

Status QuantizedFlatIndex::add_batch(std::span<const Entry> entries) {
  for (const auto& [id, vector] : entries) KOVRA_TRY(add(id, vector));
  return ok();
}

Status QuantizedFlatIndex::add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id) {
  if (columns != dimensions_) return fail(Error::dimension_mismatch(dimensions_, columns));
  if (dimensions_ == 0) return ok();  // a zero-column block carries no rows
  if (data.size() % dimensions_ != 0) {
    return fail(Error::invalid_config("raw_data length " + std::to_string(data.size()) +
                                      " is not a multiple of dim " + std::to_string(dimensions_)));
  }
  size_t n = data.size() / dimensions_;
  rows_.reserve_more(n);
  for (size_t r = 0; r < n; ++r) put(start_id + r, data.data() + r * dimensions_);
  return ok();
}

Result<std::vector<Hit>> QuantizedFlatIndex::search(std::span<const float> query, size_t k) const {
  const size_t count = rows_.size();
  if (count == 0) return std::vector<Hit>();
  if (query.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, query.size()));
  if (k == 0) return std::vector<Hit>();

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

std::vector<Entry> QuantizedFlatIndex::iterate() const {
  std::vector<Entry> out;
  out.reserve(rows_.size());
  for (size_t r = 0; r < rows_.size(); ++r) {
    std::vector<float> v(dimensions_);
    const int8_t* c = rows_.cell(r);
    for (size_t i = 0; i < dimensions_; ++i) v[i] = scan::decode_int8(c[i], rows_.extra(r));
    out.emplace_back(rows_.id(r), std::move(v));
  }
  return out;
}

std::optional<QuantizedVector> QuantizedFlatIndex::get(VectorId id) const {
  auto row = rows_.find(id);
  if (!row) return std::nullopt;
  const int8_t* c = rows_.cell(*row);
  return QuantizedVector{std::vector<int8_t>(c, c + dimensions_), rows_.extra(*row)};
}

Status QuantizedFlatIndex::save(const std::string& path) const {
  const size_t count = rows_.size();
  return write_image(path, 20 + count * (20 + dimensions_), [&](io::Encoder& enc) {
    enc.put_u64(dimensions_);
    enc.put_enum(metric_id(metric_));
    enc.put_count(count);
    for (size_t r = 0; r < count; ++r) {
      enc.put_u64(rows_.id(r));
      enc.put_count(dimensions_);
      enc.raw(rows_.cell(r), dimensions_);
      enc.put_f32(rows_.extra(r));
    }
  });
}

Result<QuantizedFlatIndex> QuantizedFlatIndex::load(const std::string& path) {
  return read_image<QuantizedFlatIndex>(path, [](io::Decoder& dec, size_t file_size) -> Result<QuantizedFlatIndex> {
    KOVRA_ASSIGN_OR_RETURN(uint64_t dims, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(uint32_t metric, dec.get_enum(kMetricCount));
    KOVRA_ASSIGN_OR_RETURN(uint64_t count, dec.get_count());
    QuantizedFlatIndex index(dims, *metric_from_id(metric));
    index.rows_.reserve_more(io::Decoder::reserve_hint(count, 20 + dims));
    std::vector<int8_t> codes;
    for (uint64_t e = 0; e < count; ++e) {
      KOVRA_ASSIGN_OR_RETURN(uint64_t id, dec.get_u64());
      KOVRA_ASSIGN_OR_RETURN(uint64_t n, dec.get_count());
      if (n != dims) return fail(wrong_entry_width(id, n, dims));
      if (n > file_size) return fail(entry_past_end(id, n));
      codes.resize(n);
      KOVRA_TRY(dec.read_exact(codes.data(), n));
      KOVRA_ASSIGN_OR_RETURN(float scale, dec.get_f32());
      size_t row = index.rows_.upsert(id);  // a repeated id keeps the later entry
      if (n) std::memcpy(index.rows_.cell(row), codes.data(), n);
      index.rows_.extra(row) = scale;
    }
    return index;
  });
}

}  // namespace kovra

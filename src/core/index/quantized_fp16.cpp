#include "core/index/quantized_fp16.h"

#include <cstring>

#include "core/cpu.h"
#include "core/distance.h"
#include "core/fp16.h"
#include "core/index/compressed_scan.h"
#include "core/index/saved_image.h"
#include "core/index/topk.h"

namespace kovra {

Status Fp16FlatIndex::add(VectorId id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
  to_half_n(vector.data(), rows_.cell(rows_.upsert(id)), dimensions_);
  return ok();
}

Status Fp16FlatIndex::add_batch(std::span<const Entry> entries) {
  for (const auto& [id, vector] : entries) KOVRA_TRY(add(id, vector));
  return ok();
}

Status Fp16FlatIndex::add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id) {
  if (columns != dimensions_) return fail(Error::dimension_mismatch(dimensions_, columns));
  if (dimensions_ == 0) return ok();  // a zero-column block carries no rows
  if (data.size() % dimensions_ != 0) {
    return fail(Error::invalid_config("raw_data length " + std::to_string(data.size()) +
                                      " is not a multiple of dim " + std::to_string(dimensions_)));
  }
  size_t n = data.size() / dimensions_;
  rows_.reserve_more(n);
  for (size_t r = 0; r < n; ++r) {
    to_half_n(data.data() + r * dimensions_, rows_.cell(rows_.upsert(start_id + r)), dimensions_);
  }
  return ok();
}

Result<std::vector<Hit>> Fp16FlatIndex::search(std::span<const float> query, size_t k) const {
  const size_t count = rows_.size();
  if (count == 0) return std::vector<Hit>();
  if (query.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, query.size()));
  if (k == 0) return std::vector<Hit>();

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

std::vector<Entry> Fp16FlatIndex::iterate() const {
  std::vector<Entry> out;
  out.reserve(rows_.size());
  for (size_t r = 0; r < rows_.size(); ++r) {
    std::vector<float> v(dimensions_);
    to_float_n(rows_.cell(r), v.data(), dimensions_);
    out.emplace_back(rows_.id(r), std::move(v));
  }
  return out;
}

std::optional<std::vector<uint16_t>> Fp16FlatIndex::get(VectorId id) const {
  auto row = rows_.find(id);
  if (!row) return std::nullopt;
  const uint16_t* h = rows_.cell(*row);
  return std::vector<uint16_t>(h, h + dimensions_);
}

Status Fp16FlatIndex::save(const std::string& path) const {
  const size_t count = rows_.size();
  return write_image(path, 20 + count * (16 + 2 * dimensions_), [&](io::Encoder& enc) {
    enc.put_u64(dimensions_);
    enc.put_enum(metric_id(metric_));
    enc.put_count(count);
    for (size_t r = 0; r < count; ++r) {
      enc.put_u64(rows_.id(r));
      enc.put_count(dimensions_);
      enc.raw(rows_.cell(r), 2 * dimensions_);
    }
  });
}

Result<Fp16FlatIndex> Fp16FlatIndex::load(const std::string& path) {
  return read_image<Fp16FlatIndex>(path, [](io::Decoder& dec, size_t file_size) -> Result<Fp16FlatIndex> {
    KOVRA_ASSIGN_OR_RETURN(uint64_t dims, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(uint32_t metric, dec.get_enum(kMetricCount));
    KOVRA_ASSIGN_OR_RETURN(uint64_t count, dec.get_count());
    Fp16FlatIndex index(dims, *metric_from_id(metric));
    index.rows_.reserve_more(io::Decoder::reserve_hint(count, 16 + 2 * dims));
    std::vector<uint16_t> halves;
    for (uint64_t e = 0; e < count; ++e) {
      KOVRA_ASSIGN_OR_RETURN(uint64_t id, dec.get_u64());
      KOVRA_ASSIGN_OR_RETURN(uint64_t n, dec.get_count());
      if (n != dims) return fail(wrong_entry_width(id, n, dims));
      if (n > file_size / 2) return fail(entry_past_end(id, n));
      halves.resize(n);
      KOVRA_TRY(dec.read_exact(halves.data(), 2 * n));
      size_t row = index.rows_.upsert(id);  // a repeated id keeps the later entry
      if (n) std::memcpy(index.rows_.cell(row), halves.data(), 2 * n);
    }
    return index;
  });
}

}  // namespace kovra

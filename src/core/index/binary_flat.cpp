#include "core/index/binary_flat.h"

#include <cmath>
#include <cstring>

#include "core/index/compressed_scan.h"
#include "core/index/saved_image.h"
#include "core/index/topk.h"

namespace kovra {
namespace {

// Writes the sign bits into `words` (all of them) and returns the sum of
// squares, added in index order from -0.0.
float binarize_into(const float* v, size_t n, uint64_t* words, size_t word_count) {
  if (word_count) std::memset(words, 0, word_count * sizeof(uint64_t));
  float sum = -0.0f;
  for (size_t i = 0; i < n; ++i) {
    if (v[i] >= 0.0f) words[i / 64] |= uint64_t{1} << (i % 64);
    float sq = v[i] * v[i];
    sum += sq;
  }
  return sum;
}

}  // namespace

BinaryVector binarize(std::span<const float> vector) {
  BinaryVector b;
  b.bits.resize(vector.size() / 64 + (vector.size() % 64 != 0));
  b.norm = std::sqrt(binarize_into(vector.data(), vector.size(), b.bits.data(), b.bits.size()));
  return b;
}

void BinaryFlatIndex::put(VectorId id, const float* vector) {
  size_t row = rows_.upsert(id);
  rows_.extra(row) = std::sqrt(binarize_into(vector, dimensions_, rows_.cell(row), words_));
}

Status BinaryFlatIndex::add(VectorId id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
  put(id, vector.data());
  return ok();
}

Status BinaryFlatIndex::add_batch(std::span<const Entry> entries) {
  for (const auto& [id, vector] : entries) KOVRA_TRY(add(id, vector));
  return ok();
}

Status BinaryFlatIndex::add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id) {
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

Result<std::vector<Hit>> BinaryFlatIndex::search(std::span<const float> query, size_t k) const {
  const size_t count = rows_.size();
  if (count == 0) return std::vector<Hit>();
  if (query.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, query.size()));
  if (k == 0) return std::vector<Hit>();

  std::vector<uint64_t> qb(words_);
  const float nq = std::sqrt(binarize_into(query.data(), dimensions_, qb.data(), words_));
  const float d = static_cast<float>(dimensions_);
  // Under L2 and Cosine the distance h / D only grows with h, so the k best are
  // chosen on h and divided at the end. With D = 0 every distance is NaN.
  const bool by_count = metric_ != Metric::DotProduct;
  TopK top(k);
  constexpr size_t kBlock = 256;
  uint32_t h[kBlock];
  float dist[kBlock];
  for (size_t base = 0; base < count; base += kBlock) {
    size_t n = std::min(kBlock, count - base);
    scan::hamming_counts(qb.data(), rows_.cells() + base * words_, words_, n, h);
    if (by_count) {
      for (size_t i = 0; i < n; ++i) dist[i] = static_cast<float>(h[i]);
    } else {
      const float* norms = rows_.extras() + base;
      for (size_t i = 0; i < n; ++i) {
        float hf = static_cast<float>(h[i]);
        float t = d - (hf + hf);
        t = t * nq;
        t = norms[i] * t;
        dist[i] = -t / d;
      }
    }
    for (size_t i = 0; i < n; ++i) {
      if (top.accepts(dist[i])) top.push(rows_.id(base + i), dist[i]);
    }
  }
  std::vector<Hit> hits = top.finish();
  if (by_count)
    for (Hit& hit : hits) hit.distance = hit.distance / d;
  return hits;
}

std::vector<Entry> BinaryFlatIndex::iterate() const {
  std::vector<Entry> out;
  out.reserve(rows_.size());
  const float root = std::sqrt(static_cast<float>(dimensions_));
  for (size_t r = 0; r < rows_.size(); ++r) {
    const float x = rows_.extra(r) / root;
    const uint64_t* w = rows_.cell(r);
    std::vector<float> v(dimensions_);
    for (size_t i = 0; i < dimensions_; ++i) v[i] = (w[i / 64] >> (i % 64)) & 1 ? x : -x;
    out.emplace_back(rows_.id(r), std::move(v));
  }
  return out;
}

std::optional<BinaryVector> BinaryFlatIndex::get(VectorId id) const {
  auto row = rows_.find(id);
  if (!row) return std::nullopt;
  const uint64_t* w = rows_.cell(*row);
  return BinaryVector{std::vector<uint64_t>(w, w + words_), rows_.extra(*row)};
}

Status BinaryFlatIndex::save(const std::string& path) const {
  const size_t count = rows_.size();
  return write_image(path, 20 + count * (20 + 8 * words_), [&](io::Encoder& enc) {
    enc.put_u64(dimensions_);
    enc.put_enum(metric_id(metric_));
    enc.put_count(count);
    for (size_t r = 0; r < count; ++r) {
      enc.put_u64(rows_.id(r));
      enc.put_count(words_);
      enc.raw(rows_.cell(r), 8 * words_);
      enc.put_f32(rows_.extra(r));
    }
  });
}

Result<BinaryFlatIndex> BinaryFlatIndex::load(const std::string& path) {
  return read_image<BinaryFlatIndex>(path, [](io::Decoder& dec, size_t file_size) -> Result<BinaryFlatIndex> {
    KOVRA_ASSIGN_OR_RETURN(uint64_t dims, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(uint32_t metric, dec.get_enum(kMetricCount));
    KOVRA_ASSIGN_OR_RETURN(uint64_t count, dec.get_count());
    BinaryFlatIndex index(dims, *metric_from_id(metric));
    const uint64_t words = index.words_;
    index.rows_.reserve_more(io::Decoder::reserve_hint(count, 20 + 8 * words));
    std::vector<uint64_t> bits;
    for (uint64_t e = 0; e < count; ++e) {
      KOVRA_ASSIGN_OR_RETURN(uint64_t id, dec.get_u64());
      KOVRA_ASSIGN_OR_RETURN(uint64_t n, dec.get_count());
      if (n != words) return fail(wrong_entry_width(id, n, words));
      if (n > file_size / 8) return fail(entry_past_end(id, n));
      bits.resize(n);
      KOVRA_TRY(dec.read_exact(bits.data(), 8 * n));
      KOVRA_ASSIGN_OR_RETURN(float norm, dec.get_f32());
      size_t row = index.rows_.upsert(id);  // a repeated id keeps the later entry
      if (n) std::memcpy(index.rows_.cell(row), bits.data(), 8 * n);
      index.rows_.extra(row) = norm;
    }
    return index;
  });
}

}  // namespace kovra

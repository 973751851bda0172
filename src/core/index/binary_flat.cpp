#include "core/index/binary_flat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "core/index/compressed_scan.h"
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

Result<std::vector<Hit>> BinaryFlatIndex::search(std::span<const float> query, size_t k) const {
  if (auto answer = unscanned(query, k)) return std::move(*answer);
  const size_t count = rows_.size();

  std::vector<uint64_t> qb(words_);
  const float nq = std::sqrt(binarize_into(query.data(), dimensions_, qb.data(), words_));
  const float d = static_cast<float>(dimensions_);
  if (metric_ != Metric::DotProduct) return search_by_count(qb.data(), k, d);

  TopK top(k);
  constexpr size_t kBlock = 256;
  uint32_t h[kBlock];
  for (size_t base = 0; base < count; base += kBlock) {
    size_t n = std::min(kBlock, count - base);
    scan::hamming_counts(qb.data(), rows_.cells() + base * words_, words_, n, h);
    const float* norms = rows_.extras() + base;
    for (size_t i = 0; i < n; ++i) {
      float hf = static_cast<float>(h[i]);
      float t = d - (hf + hf);
      t = t * nq;
      t = norms[i] * t;
      top.offer(rows_.id(base + i), -t / d);
    }
  }
  return top.finish();
}

// Under L2 and Cosine the distance h / D only grows with the Hamming count h,
// a small integer, so the k best are found by counting: a histogram of h gives
// the k-th smallest count, then one pass keeps the rows below it and enough
// rows at it. Counts tie often, and ties come in no defined order.
std::vector<Hit> BinaryFlatIndex::search_by_count(const uint64_t* qb, size_t k, float d) const {
  const size_t count = rows_.size();
  // Every element is written before it is read: no zero fill.
  std::unique_ptr<uint32_t[]> h(new uint32_t[count]);
  // Four interleaved histograms, so that runs of equal counts do not wait on
  // each other's increments.
  const size_t bins = 64 * words_ + 1;
  std::vector<size_t> hist4(4 * bins, 0);
  constexpr size_t kBlock = 1024;
  for (size_t base = 0; base < count; base += kBlock) {
    size_t n = std::min(kBlock, count - base);
    uint32_t* hb = h.get() + base;
    scan::hamming_counts(qb, rows_.cells() + base * words_, words_, n, hb);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      ++hist4[hb[i]];
      ++hist4[bins + hb[i + 1]];
      ++hist4[2 * bins + hb[i + 2]];
      ++hist4[3 * bins + hb[i + 3]];
    }
    for (; i < n; ++i) ++hist4[hb[i]];
  }
  std::vector<size_t> histogram(bins);
  for (size_t b = 0; b < bins; ++b) histogram[b] = hist4[b] + hist4[bins + b] + hist4[2 * bins + b] + hist4[3 * bins + b];
  const size_t m = std::min(k, count);
  uint32_t cut = 0;  // the m-th smallest count
  size_t below = 0;  // rows with a count under `cut`
  while (below + histogram[cut] < m) below += histogram[cut++];
  size_t at_cut = m - below;  // rows with exactly `cut` that are taken
  std::vector<Hit> hits;
  hits.reserve(m);
  constexpr size_t kRun = 64;
  for (size_t base = 0; base < count; base += kRun) {
    const uint32_t* hb = h.get() + base;
    const size_t n = std::min(kRun, count - base);
    uint32_t low = UINT32_MAX;  // most runs hold nothing at or under the cut
    for (size_t i = 0; i < n; ++i) low = std::min(low, hb[i]);
    if (low > cut) continue;
    for (size_t i = 0; i < n; ++i) {
      if (hb[i] < cut || (hb[i] == cut && at_cut > 0 && at_cut--)) {
        hits.push_back({rows_.id(base + i), static_cast<float>(hb[i])});
      }
    }
  }
  std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.distance < b.distance; });
  // With D = 0 every distance is 0 / 0, NaN.
  for (Hit& hit : hits) hit.distance = hit.distance / d;
  return hits;
}

void BinaryFlatIndex::decode_row(size_t r, float* v) const {
  const float x = rows_.extra(r) / std::sqrt(static_cast<float>(dimensions_));
  const uint64_t* w = rows_.cell(r);
  for (size_t i = 0; i < dimensions_; ++i) v[i] = (w[i / 64] >> (i % 64)) & 1 ? x : -x;
}

std::vector<Entry> BinaryFlatIndex::iterate() const { return decode_rows(); }

std::optional<BinaryVector> BinaryFlatIndex::get(VectorId id) const {
  auto s = stored(id);
  if (!s) return std::nullopt;
  return BinaryVector{std::move(s->first), s->second};
}

}  // namespace kovra

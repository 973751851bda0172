#include "core/index/flat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "core/distance.h"
#include "core/dot_block.h"
#include "core/index/topk.h"
#include "core/io/file.h"

namespace kovra {

void FlatIndex::append(VectorId id, const float* vector) {
  size_t slot = ids_.size();
  data_.insert(data_.end(), vector, vector + dimensions_);
  ids_.push_back(id);
  alive_.push_back(1);
  id_to_slot_.insert(id, static_cast<uint32_t>(slot), id_of());
  ++count_;
  cache_norms();
}

void FlatIndex::cache_norms() {
  const KernelTable& kernels = active_kernels();
  // Geometric growth, so that adding one vector at a time stays linear.
  if (norms_.capacity() < ids_.size()) norms_.reserve(std::max(ids_.size(), 2 * norms_.capacity()));
  for (size_t s = norms_.size(); s < ids_.size(); ++s) {
    const float* v = data_.data() + s * dimensions_;
    norms_.push_back(kernels.dot(v, v, dimensions_));
  }
}

void FlatIndex::reserve_more(size_t n) {
  grow_for(data_, n * dimensions_);
  grow_for(ids_, n);
  grow_for(alive_, n);
  grow_for(norms_, n);
  id_to_slot_.reserve(id_to_slot_.size() + n, id_of());
}

Status FlatIndex::add(VectorId id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
  if (id_to_slot_.find(id, id_of())) return fail(Error::duplicate_id(id));
  append(id, vector.data());
  return ok();
}

Status FlatIndex::add_batch(std::span<const Entry> entries) {
  // An id repeated inside the batch would leave a live slot that delete can
  // no longer reach, so it is refused like an id that is already stored.
  std::unordered_set<VectorId> seen;
  seen.reserve(entries.size());
  for (const auto& [id, vector] : entries) {
    if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
    if (id_to_slot_.find(id, id_of()) || !seen.insert(id).second) return fail(Error::duplicate_id(id));
  }
  reserve_more(entries.size());
  for (const auto& [id, vector] : entries) append(id, vector.data());
  return ok();
}

Status FlatIndex::check_flat_batch(size_t floats, size_t columns, VectorId start_id) const {
  if (columns != dimensions_) return fail(Error::dimension_mismatch(dimensions_, columns));
  if (dimensions_ == 0) return ok();  // a zero-column block carries no rows to add
  if (floats % dimensions_ != 0) {
    return fail(Error::invalid_config("data length " + std::to_string(floats) +
                                      " is not divisible by dimension " + std::to_string(dimensions_)));
  }
  // Rows get consecutive ids, so the block holds no id twice; only stored ids
  // can collide, and a collision would leave a live slot that delete can no
  // longer reach.
  if (!id_to_slot_.empty()) {
    size_t n = floats / dimensions_;
    for (size_t r = 0; r < n; ++r) {
      VectorId id = start_id + r;
      if (id_to_slot_.find(id, id_of())) return fail(Error::duplicate_id(id));
    }
  }
  return ok();
}

void FlatIndex::link_flat_batch(size_t first, size_t n, VectorId start_id) {
  ids_.resize(first + n);
  alive_.resize(first + n, 1);
  for (size_t r = 0; r < n; ++r) ids_[first + r] = start_id + r;
  id_to_slot_.reserve(id_to_slot_.size() + n, id_of());
  constexpr size_t kAhead = 16;  // hide the map's cache misses
  for (size_t r = 0; r < n; ++r) {
    VectorId id = start_id + r;
    if (r + kAhead < n) id_to_slot_.prefetch(id + kAhead);
    id_to_slot_.insert(id, static_cast<uint32_t>(first + r), id_of());
  }
  count_ += n;
  cache_norms();
}

Status FlatIndex::add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id) {
  KOVRA_TRY(check_flat_batch(data.size(), columns, start_id));
  if (dimensions_ == 0) return ok();
  size_t n = data.size() / dimensions_;
  size_t first = ids_.size();
  data_.insert(data_.end(), data.data(), data.data() + data.size());
  link_flat_batch(first, n, start_id);
  return ok();
}

Status FlatIndex::add_flat_batch(FloatBuffer&& data, size_t columns, VectorId start_id) {
  if (!data_.empty()) return add_flat_batch(std::span<const float>(data), columns, start_id);
  KOVRA_TRY(check_flat_batch(data.size(), columns, start_id));
  if (dimensions_ == 0) return ok();
  size_t n = data.size() / dimensions_;
  size_t first = ids_.size();
  data_ = std::move(data);
  link_flat_batch(first, n, start_id);
  return ok();
}

Result<std::vector<Hit>> FlatIndex::search(std::span<const float> query, size_t k) const {
  if (query.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, query.size()));
  if (k == 0 || count_ == 0) return std::vector<Hit>();

  // L2 is ranked on squared distances and only the k survivors take the
  // square root: the root is monotonic and computed from the same sum, so the
  // reported distances are bit-identical to distance().
  const bool squared = metric_ == Metric::L2;
  DistanceScorer scorer(metric_, query, /*raw=*/squared);
  const size_t slots = ids_.size();
  TopK top(k);
  // Score a block of slots four at a time, then offer the live ones.
  constexpr size_t kBlock = 1024;
  float dist[kBlock];
  const float* data_end = data_.data() + data_.size();
  for (size_t base = 0; base < slots; base += kBlock) {
    size_t n = std::min(kBlock, slots - base);
    const float* norms = metric_ == Metric::Cosine ? norms_.data() + base : nullptr;
    scorer.contiguous_with_norms(data_.data() + base * dimensions_, norms, n, dist, data_end);
    const uint8_t* alive = alive_.data() + base;
    for (size_t i = 0; i < n; ++i) {
      if (top.accepts(dist[i]) && alive[i]) top.push(ids_[base + i], dist[i]);
    }
  }
  std::vector<Hit> hits = top.finish();
  if (squared)
    for (Hit& h : hits) h.distance = std::sqrt(h.distance);
  return hits;
}

Result<std::vector<Hit>> FlatIndex::search_ids(std::span<const float> query, size_t k,
                                               std::span<const VectorId> ids) const {
  if (query.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, query.size()));
  if (k == 0 || count_ == 0 || ids.empty()) return std::vector<Hit>();
  // The ids' slots, looked up with the probes of later ids already on their
  // way, then in ascending order, so the rows are read front to back.
  std::vector<uint32_t> slots;
  slots.reserve(ids.size());
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i + kAhead < ids.size()) id_to_slot_.prefetch(ids[i + kAhead]);
    if (auto s = id_to_slot_.find(ids[i], id_of())) slots.push_back(*s);
  }
  std::sort(slots.begin(), slots.end());

  // The same kernels as the scan (four rows at a time give the bits of one),
  // so distances and ties come out as search() gives them.
  const bool squared = metric_ == Metric::L2;
  DistanceScorer scorer(metric_, query, /*raw=*/squared);
  const size_t row_bytes = dimensions_ * sizeof(float);
  auto row = [&](size_t i) { return data_.data() + size_t{slots[i]} * dimensions_; };
  auto prefetch = [&](size_t i) {
    const char* p = reinterpret_cast<const char*>(row(i));
    for (size_t b = 0; b < row_bytes; b += 64) __builtin_prefetch(p + b);
  };
  TopK top(k);
  const size_t n = slots.size();
  for (size_t i = 0; i < std::min<size_t>(8, n); ++i) prefetch(i);
  size_t i = 0;
  float dist[4];
  for (; i + 4 <= n; i += 4) {
    for (size_t j = i + 8; j < std::min(i + 12, n); ++j) prefetch(j);
    const float* v[4] = {row(i), row(i + 1), row(i + 2), row(i + 3)};
    scorer.four(v, dist);
    for (size_t j = 0; j < 4; ++j) top.offer(ids_[slots[i + j]], dist[j]);
  }
  for (; i < n; ++i) top.offer(ids_[slots[i]], scorer.one(row(i)));
  std::vector<Hit> hits = top.finish();
  if (squared)
    for (Hit& h : hits) h.distance = std::sqrt(h.distance);
  return hits;
}

std::vector<std::optional<std::vector<float>>> FlatIndex::vectors_of(std::span<const VectorId> ids) const {
  std::vector<std::optional<std::vector<float>>> out(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    if (auto s = id_to_slot_.find(ids[i], id_of())) {
      const float* v = data_.data() + size_t{*s} * dimensions_;
      out[i].emplace(v, v + dimensions_);
    }
  }
  return out;
}

Status FlatIndex::search_batch(const QueryBlock& queries, size_t num_threads, const BatchOutput& out) const {
  // Rows that need no scan, and a block of the wrong width, answer as search does.
  if (queries.columns != dimensions_ || out.k == 0 || count_ == 0 || dimensions_ == 0)
    return search_batch_rows(*this, queries, num_threads, out);
  const size_t workers = batch_workers(queries.rows, num_threads);
  const size_t share = (queries.rows + workers - 1) / workers;
  // A handful of queries per worker is bound by memory, not arithmetic: the
  // products would save nothing over the exact scan.
  if (share >= kMinProductGroup) {
    std::optional<double> max_norm = largest_norm();
    if (max_norm) {
      // One share of the queries per worker, so that each block of stored
      // vectors is packed once for all of a worker's queries.
      const size_t shares = (queries.rows + share - 1) / share;
      return parallel_items(shares, workers, [&](size_t w, size_t) {
        const size_t first = w * share;
        return search_by_products(queries, first, std::min(share, queries.rows - first), *max_norm, out);
      });
    }
  }
  return search_batch_scan(queries, workers, out);
}

Status FlatIndex::search_batch_scan(const QueryBlock& queries, size_t workers, const BatchOutput& out) const {
  // A group of queries walks the stored vectors together, one cache-sized
  // block at a time, so memory is read once per group instead of once per
  // query. Each query is still scored by the same kernel, with the rows
  // grouped in fours from slot 0 and offered in slot order, so its top k and
  // distances are exactly those of search().
  constexpr size_t kGroup = 8;
  constexpr size_t kBlockBytes = 128 * 1024;
  const size_t block = std::clamp<size_t>(kBlockBytes / (dimensions_ * sizeof(float)) / 4 * 4, 4, 1024);
  const size_t groups = (queries.rows + kGroup - 1) / kGroup;
  const bool squared = metric_ == Metric::L2;
  const size_t slots = ids_.size();
  const float* data_end = data_.data() + data_.size();

  return parallel_items(groups, std::min(workers, groups), [&](size_t g, size_t) -> Status {
    const size_t first = g * kGroup;
    const size_t n = std::min(kGroup, queries.rows - first);
    std::vector<DistanceScorer> scorers;
    std::vector<TopK> tops;
    scorers.reserve(n);
    tops.reserve(n);
    for (size_t q = 0; q < n; ++q) {
      scorers.emplace_back(metric_, queries.row(first + q), /*raw=*/squared);
      tops.emplace_back(out.k);
    }
    std::vector<float> dist(block);
    for (size_t base = 0; base < slots; base += block) {
      const size_t m = std::min(block, slots - base);
      const uint8_t* alive = alive_.data() + base;
      for (size_t q = 0; q < n; ++q) {
        scorers[q].contiguous_with_norms(data_.data() + base * dimensions_, norms_.data() + base, m, dist.data(),
                                         data_end);
        TopK& top = tops[q];
        for (size_t i = 0; i < m; ++i) {
          if (top.accepts(dist[i]) && alive[i]) top.push(ids_[base + i], dist[i]);
        }
      }
    }
    for (size_t q = 0; q < n; ++q) {
      std::vector<Hit> hits = tops[q].finish();
      if (squared)
        for (Hit& h : hits) h.distance = std::sqrt(h.distance);
      write_batch_row(out, first + q, hits);
    }
    return ok();
  });
}

std::optional<double> FlatIndex::largest_norm() const {
  // The products' error is bounded through the largest stored norm; a vector
  // that is not finite (or whose squared norm overflows) leaves no bound, and
  // the batch then takes the exact scan.
  double largest = 0.0;
  for (float n : norms_) {
    if (!(n <= kLargestProductNorm)) return std::nullopt;  // also NaN
    largest = std::max(largest, static_cast<double>(n));
  }
  return largest;
}

Status FlatIndex::search_by_products(const QueryBlock& queries, size_t first, size_t n, double max_norm,
                                     const BatchOutput& out) const {
  // Candidates come from the dot products of a group of queries with one
  // block of stored vectors at a time, turned into a score that orders the
  // vectors as the metric does. The products round differently from the
  // exact kernels, so each query keeps more than k candidates, rescores them
  // with the exact kernel, and checks that no vector left out could have come
  // as close as its k-th: with a unit roundoff u, a sum of d products is
  // within about d * u * (the sum of their magnitudes) of the true value, for
  // the products and for the exact kernel alike. A query whose margin is too
  // thin (near duplicates around its k-th neighbour) is answered by search().
  const size_t d = dimensions_;
  const size_t k = out.k;
  const size_t keep = k + std::max<size_t>(kExtraCandidates, k / 4);
  const size_t slots = ids_.size();
  const size_t block = std::min(kProductBlock, round_up(slots, kPanelRows));
  const size_t group = std::min(kProductGroup, n);  // a whole number of query tiles, or all of them

  std::vector<float> packed_queries(round_up(n, kQueryTile) * d);
  pack_query_tiles(queries.data.data() + first * d, n, d, packed_queries.data());
  std::vector<float> packed_rows(block * d), bias(block), scale(block), scores(group * block);
  std::vector<uint32_t> positions(block);
  std::vector<TopK> candidates(n, TopK(keep));

  for (size_t base = 0; base < slots; base += block) {
    const size_t m = std::min(block, slots - base);
    const size_t width = round_up(m, kPanelRows);
    pack_row_panels(data_.data() + base * d, m, d, packed_rows.data());
    // Smaller is closer; the query's own term is the same for every vector.
    const float* norms = norms_.data() + base;
    for (size_t i = 0; i < width; ++i) {
      const bool real = i < m;
      switch (metric_) {
        case Metric::L2:
          bias[i] = real ? norms[i] : 0.0f;
          scale[i] = -2.0f;
          break;
        case Metric::DotProduct:
          bias[i] = 0.0f;
          scale[i] = -1.0f;
          break;
        case Metric::Cosine:
          bias[i] = 0.0f;
          scale[i] = real && norms[i] != 0.0f ? -1.0f / std::sqrt(norms[i]) : 0.0f;
          break;
      }
    }
    const uint8_t* alive = alive_.data() + base;
    for (size_t g = 0; g < n; g += group) {
      const size_t gn = std::min(group, n - g);
      score_block(packed_queries.data() + g * d, gn, packed_rows.data(), m, d, bias.data(), scale.data(),
                  scores.data(), block);
      for (size_t q = 0; q < gn; ++q) {
        const float* s = scores.data() + q * block;
        TopK& top = candidates[g + q];
        const size_t found = positions_at_most(s, m, top.bound(), positions.data());
        for (size_t j = 0; j < found; ++j) {
          const size_t i = positions[j];
          if (top.accepts(s[i]) && alive[i]) top.push(base + i, s[i]);
        }
      }
    }
  }

  const bool squared = metric_ == Metric::L2;
  const double u = 0x1p-24;
  for (size_t q = 0; q < n; ++q) {
    std::span<const float> query = queries.row(first + q);
    double qq = 0.0;
    for (float x : query) qq += static_cast<double>(x) * x;
    // A query too large (or not finite) may have overflowed its products to
    // inf or NaN, which would drop vectors from the candidates unseen.
    std::vector<Hit> hits;
    if (!(qq <= kLargestProductNorm)) {
      KOVRA_ASSIGN_OR_RETURN(hits, search(query, k));
      write_batch_row(out, first + q, hits);
      continue;
    }
    std::vector<Hit> kept = candidates[q].finish();  // ids are slots here
    DistanceScorer scorer(metric_, query, /*raw=*/squared);
    TopK exact(k);
    for (const Hit& h : kept) exact.push(ids_[h.id], scorer.one(data_.data() + h.id * d));
    hits = exact.finish();

    bool certain = kept.size() < keep || count_ <= keep;
    if (!certain && hits.size() == k) {
      const double worst = kept.back().distance;  // every vector left out scores at least this
      const double slack = 4.0 * (static_cast<double>(d) + 8.0) * u;
      double lower = -HUGE_VAL;
      switch (metric_) {
        case Metric::L2:
          lower = qq + worst - slack * 2.0 * (qq + max_norm);
          break;
        case Metric::DotProduct:
          lower = worst - slack * std::sqrt(qq * max_norm);
          break;
        case Metric::Cosine:
          if (qq > 0.0) lower = 1.0 + worst / std::sqrt(qq) - slack - 16.0 * u;
          break;
      }
      certain = std::isfinite(lower) && lower > static_cast<double>(hits.back().distance);
    }
    if (!certain) {
      KOVRA_ASSIGN_OR_RETURN(hits, search(query, k));
    } else if (squared) {
      for (Hit& h : hits) h.distance = std::sqrt(h.distance);
    }
    write_batch_row(out, first + q, hits);
  }
  return ok();
}

Result<bool> FlatIndex::remove(VectorId id) {
  auto slot = id_to_slot_.erase(id, id_of());
  if (!slot) return false;
  alive_[*slot] = 0;
  --count_;
  const size_t dead = ids_.size() - count_;
  if (reclaims_ && dead >= kReclaimFloor && dead * 4 >= count_) reclaim_dead_slots();
  return true;
}

void FlatIndex::reclaim_dead_slots() {
  const size_t d = dimensions_;
  size_t kept = 0;
  for (size_t s = 0; s < ids_.size(); ++s) {
    if (!alive_[s]) continue;
    if (kept != s) {
      std::memmove(data_.data() + kept * d, data_.data() + s * d, d * sizeof(float));
      ids_[kept] = ids_[s];
      alive_[kept] = 1;
      norms_[kept] = norms_[s];
    }
    ++kept;
  }
  data_.resize(kept * d);
  ids_.resize(kept);
  alive_.resize(kept);
  norms_.resize(kept);
  // Every slot moved: the map is built again, the later of two live slots of
  // one id winning as it does on load.
  id_to_slot_.clear();
  id_to_slot_.reserve(kept, id_of());
  for (size_t s = 0; s < kept; ++s) {
    if (id_to_slot_.find(ids_[s], id_of())) {
      id_to_slot_.move(ids_[s], static_cast<uint32_t>(s), id_of());
    } else {
      id_to_slot_.insert(ids_[s], static_cast<uint32_t>(s), id_of());
    }
  }
}

std::vector<Entry> FlatIndex::iterate() const {
  std::vector<Entry> out;
  out.reserve(count_);
  for (size_t s = 0; s < ids_.size(); ++s) {
    if (!alive_[s]) continue;
    const float* v = data_.data() + s * dimensions_;
    out.emplace_back(ids_[s], std::vector<float>(v, v + dimensions_));
  }
  return out;
}

Status FlatIndex::save(const std::string& path) const {
  return io::save_file_replacing(path, [&](io::Encoder& enc) {
    enc.put_u64(dimensions_);
    enc.put_enum(metric_id(metric_));
    enc.put_array(std::span<const float>(data_.data(), data_.size()));
    enc.put_array(std::span<const VectorId>(ids_.data(), ids_.size()));
    enc.put_count(alive_.size());
    enc.raw(alive_.data(), alive_.size());  // each flag is already 0 or 1
  });
}

Result<FlatIndex> FlatIndex::load(const std::string& path) {
  return io::load_file<FlatIndex>(path, [](io::Decoder& dec) -> Result<FlatIndex> {
    KOVRA_ASSIGN_OR_RETURN(uint64_t dims, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(uint32_t metric, dec.get_enum(kMetricCount));
    FlatIndex index(dims, *metric_from_id(metric));
    KOVRA_ASSIGN_OR_RETURN(index.data_, dec.get_array<float, FloatBuffer>());
    KOVRA_ASSIGN_OR_RETURN(index.ids_, (dec.get_array<VectorId, GrowBuffer<VectorId>>()));
    KOVRA_ASSIGN_OR_RETURN(std::vector<uint8_t> flags, dec.get_bool_array());
    index.alive_.assign(flags.data(), flags.data() + flags.size());
    // The arrays must agree, or a later search would read past the data.
    if (index.ids_.size() != index.alive_.size()) {
      return fail(Error::serialization("slot arrays disagree: " + std::to_string(index.ids_.size()) +
                                       " ids, " + std::to_string(index.alive_.size()) + " flags"));
    }
    uint64_t want;
    if (__builtin_mul_overflow(static_cast<uint64_t>(index.ids_.size()), dims, &want) ||
        index.data_.size() != want) {
      return fail(Error::serialization("data holds " + std::to_string(index.data_.size()) +
                                       " floats, expected " + std::to_string(index.ids_.size()) +
                                       " ids x " + std::to_string(dims) + " dimensions"));
    }
    if (index.ids_.size() >= SlotMap::kEmpty)
      return fail(Error::serialization(std::to_string(index.ids_.size()) + " slots, more than an index holds"));
    index.id_to_slot_.reserve(index.ids_.size(), index.id_of());
    for (size_t i = 0; i < index.ids_.size(); ++i) {
      if (!index.alive_[i]) continue;
      const VectorId id = index.ids_[i];
      // Files written before repeated ids were refused may hold one live in
      // two slots: both count as stored, and the map (a delete) reaches the
      // later one.
      if (index.id_to_slot_.find(id, index.id_of())) {
        index.id_to_slot_.move(id, static_cast<uint32_t>(i), index.id_of());
      } else {
        index.id_to_slot_.insert(id, static_cast<uint32_t>(i), index.id_of());
      }
      ++index.count_;
    }
    index.cache_norms();
    return index;
  });
}

}  // namespace kovra

#include "core/index/ivf_pq.h"

#include <algorithm>

#include "core/distance.h"
#include "core/index/kmeans.h"
#include "core/io/file.h"

namespace kovra {

Status validate_ivf_pq_config(uint64_t dimensions, const IvfPqConfig& config) {
  KOVRA_TRY(validate_ivf_config(IvfConfig{config.n_lists, config.nprobe, config.train_size, config.max_iter}));
  return validate_pq_config(dimensions, config.pq);
}

void encode_ivf_pq_config(io::Encoder& enc, const IvfPqConfig& config) {
  enc.put_u64(config.n_lists);
  enc.put_u64(config.nprobe);
  enc.put_u64(config.train_size);
  enc.put_u64(config.max_iter);
  enc.put_u64(config.pq.m);
  enc.put_u64(config.pq.k_sub);
  enc.put_u64(config.pq.max_iter);
}

Result<IvfPqConfig> decode_ivf_pq_config(io::Decoder& dec) {
  IvfPqConfig c;
  KOVRA_ASSIGN_OR_RETURN(c.n_lists, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(c.nprobe, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(c.train_size, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(c.max_iter, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(c.pq.m, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(c.pq.k_sub, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(c.pq.max_iter, dec.get_u64());
  return c;
}

Result<IvfPqIndex> IvfPqIndex::create(size_t dimensions, Metric metric, const IvfPqConfig& config) {
  KOVRA_TRY(validate_ivf_pq_config(dimensions, config));
  return IvfPqIndex(dimensions, metric, config);
}

void IvfPqIndex::place(VectorId id, const float* vector, size_t list, float* residual) {
  const float* c = centroids_.data() + list * dimensions_;
  for (size_t j = 0; j < dimensions_; ++j) residual[j] = vector[j] - c[j];
  PqList& l = lists_[list];
  const size_t at = l.codes.size();
  l.codes.resize(at + quantizer_->m());
  quantizer_->encode(residual, l.codes.data() + at);
  l.ids.push_back(id);
  id_to_list_[id] = list;
  raw_vectors_[id].assign(vector, vector + dimensions_);
}

Status IvfPqIndex::add(VectorId id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
  if (trained_) {
    std::vector<float> residual(dimensions_);
    place(id, vector.data(), assign_nearest(metric_, vector, centroids_.data(), n_centroids_),
          residual.data());
    return ok();
  }
  pending_ids_.push_back(id);
  pending_vectors_.insert(pending_vectors_.end(), vector.begin(), vector.end());
  if (pending_ids_.size() >= config_.train_size) return train();
  return ok();
}

Status IvfPqIndex::add_batch(std::span<const Entry> entries) {
  for (const auto& [id, vector] : entries) KOVRA_TRY(add(id, vector));
  return ok();
}

Status IvfPqIndex::add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id) {
  if (columns != dimensions_) return fail(Error::dimension_mismatch(dimensions_, columns));
  if (columns == 0) return ok();  // a zero-column block carries no rows to add
  if (data.size() % columns != 0) {
    return fail(Error::invalid_config("raw_data length " + std::to_string(data.size()) +
                                      " is not a multiple of dim " + std::to_string(columns)));
  }
  const size_t n = data.size() / columns;
  for (size_t r = 0; r < n; ++r) KOVRA_TRY(add(start_id + r, data.subspan(r * columns, columns)));
  return ok();
}

Status IvfPqIndex::train() {
  if (trained_ || pending_ids_.empty()) return ok();
  const size_t n = pending_ids_.size();
  const size_t d = dimensions_;
  KMeansResult km = train_coarse(metric_, pending_vectors_.data(), n, d, config_.n_lists, config_.max_iter);
  KOVRA_CHECK(km.k > 0, "k-means produced no centroid");

  std::vector<float> residuals(n * d);
  for (size_t i = 0; i < n; ++i) {
    const float* x = pending_vectors_.data() + i * d;
    const float* c = km.centroids.data() + km.assignments[i] * d;
    float* r = residuals.data() + i * d;
    for (size_t j = 0; j < d; ++j) r[j] = x[j] - c[j];
  }
  KOVRA_ASSIGN_OR_RETURN(ProductQuantizer pq, ProductQuantizer::train(residuals.data(), n, d, config_.pq));

  centroids_ = std::move(km.centroids);
  n_centroids_ = km.k;
  quantizer_ = std::move(pq);
  lists_.assign(n_centroids_, PqList{});
  id_to_list_.reserve(id_to_list_.size() + n);
  raw_vectors_.reserve(raw_vectors_.size() + n);
  std::vector<float> residual(d);
  for (size_t i = 0; i < n; ++i) {
    place(pending_ids_[i], pending_vectors_.data() + i * d, km.assignments[i], residual.data());
  }
  pending_ids_.clear();
  pending_ids_.shrink_to_fit();
  pending_vectors_.clear();
  pending_vectors_.shrink_to_fit();
  trained_ = true;
  return ok();
}

namespace {

// Adds the table estimate of every entry of one list. Eight entries go side by
// side so that their sums (each still in sub-space order from 0) overlap in
// the pipeline; with the code count and codebook size known at compile time
// the sub-space loop unrolls and the table offsets become constants.
template <size_t M, size_t KS>
void scan_codes_fixed(const float* table, const PqList& list, TopK& top) {
  const size_t n = list.ids.size();
  const uint8_t* codes = list.codes.data();
  const VectorId* ids = list.ids.data();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint8_t* c = codes + i * M;
    float sum[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    // Fully unrolled, so the eight sums live in registers.
#pragma GCC unroll 32
    for (size_t s = 0; s < M; ++s) {
      const float* t = table + s * KS;
#pragma GCC unroll 8
      for (size_t e = 0; e < 8; ++e) sum[e] += t[c[e * M + s]];
    }
    for (size_t e = 0; e < 8; ++e) top.offer(ids[i + e], sum[e]);
  }
  for (; i < n; ++i) {
    float sum = 0.0f;
    for (size_t s = 0; s < M; ++s) sum += table[s * KS + codes[i * M + s]];
    top.offer(ids[i], sum);
  }
}

void scan_codes(const ProductQuantizer& pq, const float* table, const PqList& list, TopK& top) {
  if (pq.k_sub() == 256) {
    switch (pq.m()) {
      case 8: return scan_codes_fixed<8, 256>(table, list, top);
      case 16: return scan_codes_fixed<16, 256>(table, list, top);
      case 32: return scan_codes_fixed<32, 256>(table, list, top);
      default: break;
    }
  }
  const size_t m = pq.m();
  const uint8_t* codes = list.codes.data();
  for (size_t i = 0; i < list.ids.size(); ++i) top.offer(list.ids[i], pq.adc_distance(table, codes + i * m));
}

}  // namespace

Result<std::vector<Hit>> IvfPqIndex::search(std::span<const float> query, size_t k) const {
  if (query.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, query.size()));
  if (k == 0) return std::vector<Hit>();

  TopK top(k);
  if (trained_ && n_centroids_ > 0) {
    DistanceScorer raw(metric_, query, /*raw=*/true);
    const ProductQuantizer& pq = *quantizer_;
    std::vector<float> residual(dimensions_);
    std::vector<float> table(pq.m() * pq.k_sub());
    for (uint32_t c : ivf_detail::probe_order(raw, centroids_.data(), n_centroids_, config_.nprobe)) {
      const PqList& l = lists_[c];
      if (l.ids.empty()) continue;  // no entry would read the table
      const float* cent = centroids_.data() + static_cast<size_t>(c) * dimensions_;
      for (size_t j = 0; j < dimensions_; ++j) residual[j] = query[j] - cent[j];
      pq.distance_table(residual.data(), table.data());
      scan_codes(pq, table.data(), l, top);
    }
  }
  if (!pending_ids_.empty()) {
    DistanceScorer exact(metric_, query, /*raw=*/false);
    constexpr size_t kBlock = 256;
    float dist[kBlock];
    for (size_t base = 0; base < pending_ids_.size(); base += kBlock) {
      const size_t nb = std::min(kBlock, pending_ids_.size() - base);
      exact.contiguous(pending_vectors_.data() + base * dimensions_, nb, dist);
      for (size_t i = 0; i < nb; ++i) top.offer(pending_ids_[base + i], dist[i]);
    }
  }
  return top.finish();
}

Result<bool> IvfPqIndex::remove(VectorId id) {
  const size_t d = dimensions_;
  for (size_t i = 0; i < pending_ids_.size(); ++i) {
    if (pending_ids_[i] != id) continue;
    const size_t last = pending_ids_.size() - 1;
    pending_ids_[i] = pending_ids_[last];
    std::copy_n(pending_vectors_.begin() + static_cast<std::ptrdiff_t>(last * d), d,
                pending_vectors_.begin() + static_cast<std::ptrdiff_t>(i * d));
    pending_ids_.pop_back();
    pending_vectors_.resize(last * d);
    raw_vectors_.erase(id);
    return true;
  }
  auto it = id_to_list_.find(id);
  if (it == id_to_list_.end()) return false;
  const uint64_t list = it->second;
  id_to_list_.erase(it);
  if (list >= lists_.size()) return false;
  PqList& l = lists_[list];
  const size_t m = quantizer_ ? quantizer_->m() : 0;
  for (size_t i = 0; i < l.ids.size(); ++i) {
    if (l.ids[i] != id) continue;
    const size_t last = l.ids.size() - 1;
    l.ids[i] = l.ids[last];
    std::copy_n(l.codes.begin() + static_cast<std::ptrdiff_t>(last * m), m,
                l.codes.begin() + static_cast<std::ptrdiff_t>(i * m));
    l.ids.pop_back();
    l.codes.resize(last * m);
    raw_vectors_.erase(id);
    return true;
  }
  return false;
}

size_t IvfPqIndex::len() const {
  size_t n = pending_ids_.size();
  for (const PqList& l : lists_) n += l.ids.size();
  return n;
}

std::vector<Entry> IvfPqIndex::iterate() const {
  std::vector<Entry> out;
  out.reserve(len());
  for (size_t i = 0; i < pending_ids_.size(); ++i) {
    const float* v = pending_vectors_.data() + i * dimensions_;
    out.emplace_back(pending_ids_[i], std::vector<float>(v, v + dimensions_));
  }
  for (const PqList& l : lists_) {
    for (VectorId id : l.ids) {
      auto it = raw_vectors_.find(id);
      if (it != raw_vectors_.end()) out.emplace_back(id, it->second);
    }
  }
  return out;
}

Status IvfPqIndex::save(const std::string& path) const {
  return io::save_file(path, [&](io::Encoder& enc) {
    enc.put_u64(dimensions_);
    enc.put_enum(metric_id(metric_));
    encode_ivf_pq_config(enc, config_);
    enc.put_array(pending_ids_);
    enc.put_array(pending_vectors_);
    enc.put_array(centroids_);
    enc.put_u64(n_centroids_);
    enc.put_option(quantizer_, [](io::Encoder& e, const ProductQuantizer& pq) { pq.encode_to(e); });
    const size_t m = quantizer_ ? quantizer_->m() : 0;
    enc.put_count(lists_.size());
    for (const PqList& l : lists_) {
      enc.put_count(l.ids.size());
      for (size_t i = 0; i < l.ids.size(); ++i) {
        enc.put_u64(l.ids[i]);
        enc.put_bytes(std::span<const uint8_t>(l.codes.data() + i * m, m));
      }
    }
    enc.put_count(raw_vectors_.size());
    for (const auto& [id, v] : raw_vectors_) {
      enc.put_u64(id);
      enc.put_array(v);
    }
    enc.put_count(id_to_list_.size());
    for (const auto& [id, list] : id_to_list_) {
      enc.put_u64(id);
      enc.put_u64(list);
    }
    enc.put_bool(trained_);
  });
}

Result<IvfPqIndex> IvfPqIndex::load(const std::string& path) {
  return io::load_file<IvfPqIndex>(path, [](io::Decoder& dec) -> Result<IvfPqIndex> {
    KOVRA_ASSIGN_OR_RETURN(uint64_t dims, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(uint32_t metric, dec.get_enum(kMetricCount));
    KOVRA_ASSIGN_OR_RETURN(IvfPqConfig config, decode_ivf_pq_config(dec));
    IvfPqIndex index(dims, *metric_from_id(metric), config);
    KOVRA_ASSIGN_OR_RETURN(index.pending_ids_, dec.get_array<VectorId>());
    KOVRA_ASSIGN_OR_RETURN(index.pending_vectors_, dec.get_array<float>());
    KOVRA_ASSIGN_OR_RETURN(index.centroids_, dec.get_array<float>());
    KOVRA_ASSIGN_OR_RETURN(index.n_centroids_, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(index.quantizer_,
                           dec.get_option<ProductQuantizer>(&ProductQuantizer::decode_from));
    // Code lengths are checked as they are read, so a damaged length can
    // neither misalign the flat code array nor force a large allocation.
    const uint64_t m = index.quantizer_ ? index.quantizer_->m() : 0;
    const uint64_t k_sub = index.quantizer_ ? index.quantizer_->k_sub() : 0;
    KOVRA_ASSIGN_OR_RETURN(uint64_t list_count, dec.get_count());
    index.lists_.reserve(io::Decoder::reserve_hint(list_count, sizeof(PqList)));
    for (uint64_t j = 0; j < list_count; ++j) {
      PqList l;
      KOVRA_ASSIGN_OR_RETURN(uint64_t entries, dec.get_count());
      l.ids.reserve(io::Decoder::reserve_hint(entries, sizeof(VectorId)));
      for (uint64_t i = 0; i < entries; ++i) {
        KOVRA_ASSIGN_OR_RETURN(VectorId id, dec.get_u64());
        KOVRA_ASSIGN_OR_RETURN(uint64_t len, dec.get_count());
        if (!index.quantizer_ || len != m) {
          return fail(Error::serialization("list " + std::to_string(j) + " entry " + std::to_string(i) +
                                           " has " + std::to_string(len) + " code bytes, expected " +
                                           (index.quantizer_ ? std::to_string(m) : "no entries without a quantizer")));
        }
        const size_t at = l.codes.size();
        l.codes.resize(at + m);
        KOVRA_TRY(dec.read_exact(l.codes.data() + at, m));
        for (size_t s = 0; s < m; ++s) {
          if (l.codes[at + s] >= k_sub) {
            return fail(Error::serialization("list " + std::to_string(j) + " entry " + std::to_string(i) +
                                             " has code " + std::to_string(l.codes[at + s]) + " of " +
                                             std::to_string(k_sub) + " centroids"));
          }
        }
        l.ids.push_back(id);
      }
      index.lists_.push_back(std::move(l));
    }
    KOVRA_ASSIGN_OR_RETURN(uint64_t raw_count, dec.get_count());
    index.raw_vectors_.reserve(io::Decoder::reserve_hint(raw_count, 64));
    for (uint64_t i = 0; i < raw_count; ++i) {
      KOVRA_ASSIGN_OR_RETURN(VectorId id, dec.get_u64());
      KOVRA_ASSIGN_OR_RETURN(std::vector<float> v, dec.get_array<float>());
      if (v.size() != dims) {
        return fail(Error::serialization("exact copy of id " + std::to_string(id) + " holds " +
                                         std::to_string(v.size()) + " floats, expected " + std::to_string(dims)));
      }
      index.raw_vectors_[id] = std::move(v);
    }
    KOVRA_ASSIGN_OR_RETURN(uint64_t map_count, dec.get_count());
    index.id_to_list_.reserve(io::Decoder::reserve_hint(map_count, 16));
    for (uint64_t i = 0; i < map_count; ++i) {
      KOVRA_ASSIGN_OR_RETURN(uint64_t id, dec.get_u64());
      KOVRA_ASSIGN_OR_RETURN(uint64_t list, dec.get_u64());
      index.id_to_list_[id] = list;
    }
    KOVRA_ASSIGN_OR_RETURN(index.trained_, dec.get_bool());

    // The parts must agree, or a later search, add or training would read or
    // write out of bounds.
    if (Status s = validate_ivf_pq_config(dims, config); !s) {
      return fail(Error::serialization("snapshot configuration: " + s.error().text()));
    }
    const uint64_t n_centroids = index.n_centroids_;
    uint64_t want;
    if (__builtin_mul_overflow(static_cast<uint64_t>(index.pending_ids_.size()), dims, &want) ||
        index.pending_vectors_.size() != want) {
      return fail(Error::serialization("pending buffer of " + std::to_string(index.pending_ids_.size()) +
                                       " ids holds " + std::to_string(index.pending_vectors_.size()) +
                                       " floats, expected " + std::to_string(want)));
    }
    if (__builtin_mul_overflow(n_centroids, dims, &want) || index.centroids_.size() != want) {
      return fail(Error::serialization("centroids of " + std::to_string(n_centroids) + " rows hold " +
                                       std::to_string(index.centroids_.size()) + " floats, expected " +
                                       std::to_string(want)));
    }
    if (index.trained_ && n_centroids == 0) {
      return fail(Error::serialization("trained snapshot has no centroids"));
    }
    if (index.lists_.size() != n_centroids) {
      return fail(Error::serialization("snapshot has " + std::to_string(index.lists_.size()) +
                                       " lists for " + std::to_string(n_centroids) + " centroids"));
    }
    if (index.quantizer_ && index.quantizer_->dimensions() != dims) {
      return fail(Error::serialization("quantizer covers " + std::to_string(index.quantizer_->dimensions()) +
                                       " dimensions, expected " + std::to_string(dims)));
    }
    if (index.trained_ && !index.quantizer_) {
      return fail(Error::serialization("trained snapshot has no quantizer"));
    }
    for (const auto& [id, list] : index.id_to_list_) {
      if (list >= index.lists_.size()) {
        return fail(Error::serialization("id " + std::to_string(id) + " maps to list " + std::to_string(list) +
                                         " of " + std::to_string(index.lists_.size())));
      }
    }
    return index;
  });
}

}  // namespace kovra

#include "core/index/ivf.h"

#include <algorithm>
#include <cmath>

#include "core/index/kmeans.h"
#include "core/io/file.h"

namespace kovra {

Status validate_ivf_config(const IvfConfig& config) {
  if (config.n_lists == 0) return fail(Error::invalid_config("n_lists must be at least 1"));
  return ok();
}

void encode_ivf_config(io::Encoder& enc, const IvfConfig& config) {
  enc.put_u64(config.n_lists);
  enc.put_u64(config.nprobe);
  enc.put_u64(config.train_size);
  enc.put_u64(config.max_iter);
}

Result<IvfConfig> decode_ivf_config(io::Decoder& dec) {
  IvfConfig c;
  KOVRA_ASSIGN_OR_RETURN(c.n_lists, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(c.nprobe, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(c.train_size, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(c.max_iter, dec.get_u64());
  return c;
}

namespace ivf_detail {

std::vector<uint32_t> probe_order(const DistanceScorer& raw_scorer, const float* centroids,
                                  size_t count, uint64_t nprobe) {
  std::vector<float> dist(count);
  raw_scorer.contiguous(centroids, count, dist.data());
  std::vector<uint32_t> order(count);
  for (size_t c = 0; c < count; ++c) order[c] = static_cast<uint32_t>(c);
  auto less = [&](uint32_t a, uint32_t b) {
    return hit_less(Hit{a, dist[a]}, Hit{b, dist[b]});
  };
  const size_t take = static_cast<size_t>(std::min<uint64_t>(nprobe, count));
  if (take < count) {
    std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(take), order.end(), less);
    order.resize(take);
  }
  std::sort(order.begin(), order.end(), less);
  return order;
}

}  // namespace ivf_detail

Result<IvfIndex> IvfIndex::create(size_t dimensions, Metric metric, const IvfConfig& config) {
  KOVRA_TRY(validate_ivf_config(config));
  return IvfIndex(dimensions, metric, config);
}

void IvfIndex::place(VectorId id, const float* vector, size_t list) {
  id_to_list_[id] = list;
  PostingList& l = lists_[list];
  l.ids.push_back(id);
  l.vectors.insert(l.vectors.end(), vector, vector + dimensions_);
}

Status IvfIndex::add(VectorId id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
  if (trained_) {
    place(id, vector.data(), assign_nearest(metric_, vector, centroids_.data(), n_centroids_));
    return ok();
  }
  pending_ids_.push_back(id);
  pending_vectors_.insert(pending_vectors_.end(), vector.begin(), vector.end());
  if (pending_ids_.size() >= config_.train_size) return train();
  return ok();
}

Status IvfIndex::add_batch(std::span<const Entry> entries) {
  for (const auto& [id, vector] : entries) KOVRA_TRY(add(id, vector));
  return ok();
}

Status IvfIndex::add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id) {
  if (columns != dimensions_) return fail(Error::dimension_mismatch(dimensions_, columns));
  if (columns == 0) return ok();  // a zero-column block carries no rows to add
  if (data.size() % columns != 0) {
    return fail(Error::invalid_config("raw_data length " + std::to_string(data.size()) +
                                      " is not a multiple of dim " + std::to_string(columns)));
  }
  const size_t n = data.size() / columns;
  if (!trained_) {
    // Rows that will wait in the buffer (training may take it part-way).
    const uint64_t room = config_.train_size > pending_ids_.size() ? config_.train_size - pending_ids_.size() : 1;
    const size_t waiting = static_cast<size_t>(std::min<uint64_t>(n, room));
    pending_ids_.reserve(pending_ids_.size() + waiting);
    pending_vectors_.reserve(pending_vectors_.size() + waiting * columns);
  }
  size_t r = 0;
  for (; r < n && !trained_; ++r) {
    KOVRA_TRY(add(start_id + r, data.subspan(r * columns, columns)));
  }
  if (r == n) return ok();

  // Trained (possibly part-way through the block): assign the remaining rows
  // at once, reserve, then append in row order.
  const float* rows = data.data() + r * columns;
  const size_t left = n - r;
  std::vector<size_t> assigned;
  if (metric_ == Metric::L2) {
    assigned = assign_batch_l2(rows, left, centroids_.data(), n_centroids_, dimensions_);
  } else {
    assigned.resize(left);
    for (size_t i = 0; i < left; ++i) {
      assigned[i] = assign_nearest(metric_, std::span<const float>(rows + i * columns, columns),
                                   centroids_.data(), n_centroids_);
    }
  }
  id_to_list_.reserve(id_to_list_.size() + left);
  std::vector<size_t> per_list(lists_.size(), 0);
  for (size_t a : assigned) ++per_list[a];
  for (size_t j = 0; j < lists_.size(); ++j) {
    if (per_list[j] == 0) continue;
    lists_[j].ids.reserve(lists_[j].ids.size() + per_list[j]);
    lists_[j].vectors.reserve(lists_[j].vectors.size() + per_list[j] * dimensions_);
  }
  for (size_t i = 0; i < left; ++i) place(start_id + r + i, rows + i * columns, assigned[i]);
  return ok();
}

Status IvfIndex::train() {
  if (trained_ || pending_ids_.empty()) return ok();
  const size_t n = pending_ids_.size();
  KMeansResult km = train_coarse(metric_, pending_vectors_.data(), n, dimensions_, config_.n_lists,
                                 config_.max_iter);
  KOVRA_CHECK(km.k > 0, "k-means produced no centroid");
  centroids_ = std::move(km.centroids);
  n_centroids_ = km.k;
  lists_.assign(n_centroids_, PostingList{});
  for (PostingList& l : lists_) l.dimensions = dimensions_;
  id_to_list_.reserve(id_to_list_.size() + n);
  for (size_t i = 0; i < n; ++i) {
    place(pending_ids_[i], pending_vectors_.data() + i * dimensions_, km.assignments[i]);
  }
  pending_ids_.clear();
  pending_ids_.shrink_to_fit();
  pending_vectors_.clear();
  pending_vectors_.shrink_to_fit();
  trained_ = true;
  return ok();
}

Result<std::vector<Hit>> IvfIndex::search(std::span<const float> query, size_t k) const {
  if (query.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, query.size()));
  if (k == 0) return std::vector<Hit>();

  // Everything is scored with the raw distance and turned into the reported
  // one at the end: for L2 that is the square root of the same sum, so the
  // order is the same and only the k survivors pay for it.
  DistanceScorer scorer(metric_, query, /*raw=*/true);
  TopK top(k);
  constexpr size_t kBlock = 256;
  float dist[kBlock];
  auto scan = [&](const VectorId* ids, const float* vectors, size_t count) {
    for (size_t base = 0; base < count; base += kBlock) {
      const size_t nb = std::min(kBlock, count - base);
      scorer.contiguous(vectors + base * dimensions_, nb, dist);
      for (size_t i = 0; i < nb; ++i) top.offer(ids[base + i], dist[i]);
    }
  };
  if (trained_ && n_centroids_ > 0) {
    for (uint32_t c : ivf_detail::probe_order(scorer, centroids_.data(), n_centroids_, config_.nprobe)) {
      const PostingList& l = lists_[c];
      scan(l.ids.data(), l.vectors.data(), l.ids.size());
    }
  }
  scan(pending_ids_.data(), pending_vectors_.data(), pending_ids_.size());
  std::vector<Hit> hits = top.finish();
  if (metric_ == Metric::L2) {
    for (Hit& h : hits) h.distance = std::sqrt(h.distance);
  }
  return hits;
}

Result<bool> IvfIndex::remove(VectorId id) {
  const size_t d = dimensions_;
  for (size_t i = 0; i < pending_ids_.size(); ++i) {
    if (pending_ids_[i] != id) continue;
    const size_t last = pending_ids_.size() - 1;
    pending_ids_[i] = pending_ids_[last];
    std::copy_n(pending_vectors_.begin() + static_cast<std::ptrdiff_t>(last * d), d,
                pending_vectors_.begin() + static_cast<std::ptrdiff_t>(i * d));
    pending_ids_.pop_back();
    pending_vectors_.resize(last * d);
    return true;
  }
  auto it = id_to_list_.find(id);
  if (it == id_to_list_.end()) return false;
  const uint64_t list = it->second;
  id_to_list_.erase(it);
  if (list >= lists_.size()) return false;
  PostingList& l = lists_[list];
  for (size_t i = 0; i < l.ids.size(); ++i) {
    if (l.ids[i] != id) continue;
    const size_t last = l.ids.size() - 1;
    l.ids[i] = l.ids[last];
    std::copy_n(l.vectors.begin() + static_cast<std::ptrdiff_t>(last * d), d,
                l.vectors.begin() + static_cast<std::ptrdiff_t>(i * d));
    l.ids.pop_back();
    l.vectors.resize(last * d);
    return true;
  }
  return false;
}

size_t IvfIndex::len() const {
  size_t n = pending_ids_.size();
  for (const PostingList& l : lists_) n += l.ids.size();
  return n;
}

std::vector<Entry> IvfIndex::iterate() const {
  std::vector<Entry> out;
  out.reserve(len());
  auto emit = [&](const std::vector<VectorId>& ids, const std::vector<float>& vectors) {
    for (size_t i = 0; i < ids.size(); ++i) {
      const float* v = vectors.data() + i * dimensions_;
      out.emplace_back(ids[i], std::vector<float>(v, v + dimensions_));
    }
  };
  emit(pending_ids_, pending_vectors_);
  for (const PostingList& l : lists_) emit(l.ids, l.vectors);
  return out;
}

Status IvfIndex::save(const std::string& path) const {
  return io::save_file(path, [&](io::Encoder& enc) {
    enc.put_u64(dimensions_);
    enc.put_enum(metric_id(metric_));
    encode_ivf_config(enc, config_);
    enc.put_array(pending_ids_);
    enc.put_array(pending_vectors_);
    enc.put_array(centroids_);
    enc.put_u64(n_centroids_);
    enc.put_seq(lists_, [](io::Encoder& e, const PostingList& l) {
      e.put_array(l.ids);
      e.put_array(l.vectors);
      e.put_u64(l.dimensions);
    });
    enc.put_count(id_to_list_.size());
    for (const auto& [id, list] : id_to_list_) {
      enc.put_u64(id);
      enc.put_u64(list);
    }
    enc.put_bool(trained_);
  });
}

namespace {

// rows * dims without overflow, or false.
bool rows_times(uint64_t rows, uint64_t dims, uint64_t* out) {
  return !__builtin_mul_overflow(rows, dims, out);
}

Error disagree(const std::string& what, uint64_t got, uint64_t want) {
  return Error::serialization(what + " holds " + std::to_string(got) + " floats, expected " +
                              std::to_string(want));
}

}  // namespace

Result<IvfIndex> IvfIndex::load(const std::string& path) {
  return io::load_file<IvfIndex>(path, [](io::Decoder& dec) -> Result<IvfIndex> {
    KOVRA_ASSIGN_OR_RETURN(uint64_t dims, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(uint32_t metric, dec.get_enum(kMetricCount));
    KOVRA_ASSIGN_OR_RETURN(IvfConfig config, decode_ivf_config(dec));
    IvfIndex index(dims, *metric_from_id(metric), config);
    KOVRA_ASSIGN_OR_RETURN(index.pending_ids_, dec.get_array<VectorId>());
    KOVRA_ASSIGN_OR_RETURN(index.pending_vectors_, dec.get_array<float>());
    KOVRA_ASSIGN_OR_RETURN(index.centroids_, dec.get_array<float>());
    KOVRA_ASSIGN_OR_RETURN(uint64_t n_centroids, dec.get_u64());
    index.n_centroids_ = n_centroids;
    KOVRA_ASSIGN_OR_RETURN(index.lists_, dec.get_seq<PostingList>([](io::Decoder& d) -> Result<PostingList> {
      PostingList l;
      KOVRA_ASSIGN_OR_RETURN(l.ids, d.get_array<VectorId>());
      KOVRA_ASSIGN_OR_RETURN(l.vectors, d.get_array<float>());
      KOVRA_ASSIGN_OR_RETURN(l.dimensions, d.get_u64());
      return l;
    }));
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
    if (Status s = validate_ivf_config(config); !s) {
      return fail(Error::serialization("snapshot configuration: " + s.error().text()));
    }
    uint64_t want;
    if (!rows_times(index.pending_ids_.size(), dims, &want) || index.pending_vectors_.size() != want) {
      return fail(disagree("pending buffer of " + std::to_string(index.pending_ids_.size()) + " ids",
                           index.pending_vectors_.size(), want));
    }
    if (!rows_times(n_centroids, dims, &want) || index.centroids_.size() != want) {
      return fail(disagree("centroids of " + std::to_string(n_centroids) + " rows",
                           index.centroids_.size(), want));
    }
    if (index.trained_ && n_centroids == 0) {
      return fail(Error::serialization("trained snapshot has no centroids"));
    }
    if (index.lists_.size() != n_centroids) {
      return fail(Error::serialization("snapshot has " + std::to_string(index.lists_.size()) +
                                       " posting lists for " + std::to_string(n_centroids) + " centroids"));
    }
    for (size_t j = 0; j < index.lists_.size(); ++j) {
      const PostingList& l = index.lists_[j];
      if (l.dimensions != dims) {
        return fail(Error::serialization("posting list " + std::to_string(j) + " has dimensions " +
                                         std::to_string(l.dimensions) + ", expected " + std::to_string(dims)));
      }
      if (!rows_times(l.ids.size(), dims, &want) || l.vectors.size() != want) {
        return fail(disagree("posting list " + std::to_string(j) + " of " + std::to_string(l.ids.size()) + " ids",
                             l.vectors.size(), want));
      }
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

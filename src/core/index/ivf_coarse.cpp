#include "core/index/ivf_coarse.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace kovra {

Status validate_ivf_config(const IvfConfig& config) {
  if (config.n_lists == 0) return fail(Error::invalid_config("n_lists must be at least 1"));
  return ok();
}

Status IvfCoarse::set_nprobe(uint64_t nprobe) {
  if (nprobe < 1) return fail(Error::invalid_config("nprobe must be at least 1"));
  config_.nprobe = nprobe;
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

std::vector<uint32_t> probe_order(const DistanceScorer& scorer, const float* centroids,
                                  size_t count, uint64_t nprobe) {
  std::vector<float> dist(count);
  scorer.contiguous(centroids, count, dist.data());
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

void append_rows(std::vector<Entry>& out, const std::vector<VectorId>& ids,
                 const std::vector<float>& vectors, size_t dimensions) {
  for (size_t i = 0; i < ids.size(); ++i) {
    const float* v = vectors.data() + i * dimensions;
    out.emplace_back(ids[i], std::vector<float>(v, v + dimensions));
  }
}

}  // namespace ivf_detail

Status IvfCoarse::check_vector(std::span<const float> vector) const {
  if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
  return ok();
}

Result<size_t> IvfCoarse::block_rows(std::span<const float> data, size_t columns) const {
  if (columns != dimensions_) return fail(Error::dimension_mismatch(dimensions_, columns));
  if (columns == 0) return 0;  // a zero-column block carries no rows to add
  if (data.size() % columns != 0) {
    return fail(Error::invalid_config("raw_data length " + std::to_string(data.size()) +
                                      " is not a multiple of dim " + std::to_string(columns)));
  }
  return data.size() / columns;
}

size_t IvfCoarse::assign(std::span<const float> vector) const {
  return assign_nearest(metric_, vector, centroids_.data(), n_centroids_);
}

std::vector<size_t> IvfCoarse::assign_rows(const float* rows, size_t n) const {
  if (metric_ == Metric::L2) return assign_batch_l2(rows, n, centroids_.data(), n_centroids_, dimensions_);
  std::vector<size_t> assigned(n);
  for (size_t i = 0; i < n; ++i) {
    assigned[i] = assign(std::span<const float>(rows + i * dimensions_, dimensions_));
  }
  return assigned;
}

bool IvfCoarse::buffer(VectorId id, std::span<const float> vector) {
  pending_ids_.push_back(id);
  pending_vectors_.insert(pending_vectors_.end(), vector.begin(), vector.end());
  return pending_ids_.size() >= config_.train_size;
}

void IvfCoarse::reserve_pending(size_t rows) {
  const uint64_t room = config_.train_size > pending_ids_.size() ? config_.train_size - pending_ids_.size() : 1;
  const size_t waiting = static_cast<size_t>(std::min<uint64_t>(rows, room));
  grow_for(pending_ids_, waiting);
  grow_for(pending_vectors_, waiting * dimensions_);
}

KMeansResult IvfCoarse::cluster() const {
  KMeansResult km = train_coarse(metric_, pending_vectors_.data(), pending_ids_.size(), dimensions_,
                                 config_.n_lists, config_.max_iter);
  KOVRA_CHECK(km.k > 0, "k-means produced no centroid");
  return km;
}

void IvfCoarse::adopt(KMeansResult& km) {
  centroids_ = std::move(km.centroids);
  n_centroids_ = km.k;
  id_to_list_.clear();
  id_to_list_.set_list_count(n_centroids_);
  // Nothing is listed yet, so the map reads no id while it grows.
  id_to_list_.reserve(pending_ids_.size(), [](ListRef) -> VectorId { return 0; });
}

void IvfCoarse::finish_training() {
  pending_ids_.clear();
  pending_ids_.shrink_to_fit();
  pending_vectors_.clear();
  pending_vectors_.shrink_to_fit();
  trained_ = true;
#ifdef __GLIBC__
  // Training's buffers (the pending rows, residuals, k-means scratch) are
  // megabytes freed at once. glibc raises its mmap threshold after the first
  // such free, so the later ones came from the heap and would stay resident
  // for good, about as much as the codes of 100,000 vectors: hand them back.
  ::malloc_trim(0);
#endif
}

bool IvfCoarse::remove_pending(VectorId id) {
  return ivf_detail::swap_remove(pending_ids_, pending_vectors_, dimensions_, id);
}

void IvfCoarse::encode_stage(io::Encoder& enc) const {
  enc.put_array(pending_ids_);
  enc.put_array(pending_vectors_);
  enc.put_array(centroids_);
  enc.put_u64(n_centroids_);
}

Status IvfCoarse::decode_stage(io::Decoder& dec) {
  KOVRA_ASSIGN_OR_RETURN(pending_ids_, dec.get_array<VectorId>());
  KOVRA_ASSIGN_OR_RETURN(pending_vectors_, dec.get_array<float>());
  KOVRA_ASSIGN_OR_RETURN(centroids_, dec.get_array<float>());
  KOVRA_ASSIGN_OR_RETURN(n_centroids_, dec.get_u64());
  return ok();
}

Status IvfCoarse::decode_map(io::Decoder& dec) {
  KOVRA_ASSIGN_OR_RETURN(uint64_t map_count, dec.get_count());
  loaded_map_.clear();
  loaded_map_.reserve(io::Decoder::reserve_hint(map_count, 16));
  for (uint64_t i = 0; i < map_count; ++i) {
    KOVRA_ASSIGN_OR_RETURN(uint64_t id, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(uint64_t list, dec.get_u64());
    loaded_map_.emplace_back(id, list);
  }
  KOVRA_ASSIGN_OR_RETURN(trained_, dec.get_bool());
  return ok();
}

Status IvfCoarse::check_stage(size_t list_count, const char* lists_noun, const char* centroids_verb) const {
  const uint64_t dims = dimensions_;
  const uint64_t n_centroids = n_centroids_;
  uint64_t want;
  if (__builtin_mul_overflow(static_cast<uint64_t>(pending_ids_.size()), dims, &want) ||
      pending_vectors_.size() != want) {
    return fail(Error::serialization("pending buffer of " + std::to_string(pending_ids_.size()) +
                                     " ids holds " + std::to_string(pending_vectors_.size()) +
                                     " floats, expected " + std::to_string(want)));
  }
  if (__builtin_mul_overflow(n_centroids, dims, &want) || centroids_.size() != want) {
    return fail(Error::serialization("centroids of " + std::to_string(n_centroids) + " rows " + centroids_verb +
                                     " " + std::to_string(centroids_.size()) + " floats, expected " +
                                     std::to_string(want)));
  }
  if (trained_ && n_centroids == 0) {
    return fail(Error::serialization("trained snapshot has no centroids"));
  }
  if (list_count != n_centroids) {
    return fail(Error::serialization("snapshot has " + std::to_string(list_count) + " " + lists_noun + " for " +
                                     std::to_string(n_centroids) + " centroids"));
  }
  return ok();
}

}  // namespace kovra

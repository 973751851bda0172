// The coarse stage shared by the inverted-file indexes: the pending buffer that
// holds vectors until training, the k-means centroids, the map from each id to
// the list it was placed in, and the leading and trailing parts of a snapshot.
// What a list stores (raw rows, PQ codes) stays with the index that owns the
// lists; this stage only says which list a vector belongs to.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/buffer.h"
#include "core/distance.h"
#include "core/index/id_map.h"
#include "core/index/kmeans.h"
#include "core/index/list_map.h"
#include "core/index/topk.h"
#include "core/index/vector_index.h"
#include "core/io/codec.h"

namespace kovra {

struct IvfConfig {
  uint64_t n_lists = 256;     // clusters requested; at least 1
  uint64_t nprobe = 16;       // lists scanned per query
  uint64_t train_size = 4096; // buffered vectors that trigger training
  uint64_t max_iter = 25;     // k-means iteration bound
  bool operator==(const IvfConfig&) const = default;
};

// Rejects n_lists = 0: training would have no list to place vectors into.
Status validate_ivf_config(const IvfConfig& config);

void encode_ivf_config(io::Encoder& enc, const IvfConfig& config);
Result<IvfConfig> decode_ivf_config(io::Decoder& dec);

namespace ivf_detail {

// Centroid indexes sorted by raw distance to the scorer's query (unstable,
// NaN last), cut to the first min(nprobe, count). Four centroids per kernel call.
std::vector<uint32_t> probe_order(const DistanceScorer& scorer, const float* centroids,
                                  size_t count, uint64_t nprobe);

// Offers `count` rows of `dimensions` floats to `top`, scored 256 at a time.
inline void scan_rows(const DistanceScorer& scorer, const VectorId* ids, const float* vectors,
                      size_t count, size_t dimensions, TopK& top) {
  constexpr size_t kBlock = 256;
  float dist[kBlock];
  for (size_t base = 0; base < count; base += kBlock) {
    const size_t nb = std::min(kBlock, count - base);
    scorer.contiguous(vectors + base * dimensions, nb, dist);
    for (size_t i = 0; i < nb; ++i) top.offer(ids[base + i], dist[i]);
  }
}

// Appends (ids[i], row i) for every id, rows `dimensions` floats wide.
void append_rows(std::vector<Entry>& out, const std::vector<VectorId>& ids,
                 const std::vector<float>& vectors, size_t dimensions);

// Removes `id` from parallel arrays (rows `width` elements wide) by moving the
// last entry into its place. False when the id is not there.
template <typename T>
bool swap_remove(std::vector<VectorId>& ids, std::vector<T>& rows, size_t width, VectorId id) {
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] != id) continue;
    const size_t last = ids.size() - 1;
    ids[i] = ids[last];
    std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(last * width), width,
                rows.begin() + static_cast<std::ptrdiff_t>(i * width));
    ids.pop_back();
    rows.resize(last * width);
    return true;
  }
  return false;
}

// Moves row `last` of an array of `width` elements per row into row `pos`
// and drops it: the rows' side of IvfCoarse::remove_listed.
template <typename T, typename Alloc>
void drop_row(std::vector<T, Alloc>& rows, size_t width, size_t pos, size_t last) {
  if (pos != last) {
    std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(last * width), width,
                rows.begin() + static_cast<std::ptrdiff_t>(pos * width));
  }
  rows.resize(last * width);
}

}  // namespace ivf_detail

class IvfCoarse {
 public:
  IvfCoarse(size_t dimensions, Metric metric, const IvfConfig& config)
      : dimensions_(dimensions), metric_(metric), config_(config) {}

  size_t dimensions() const { return dimensions_; }
  Metric metric() const { return metric_; }
  const IvfConfig& config() const { return config_; }
  // Lists probed per query from the next search on; InvalidConfig below 1,
  // since a query that probes nothing finds nothing once trained.
  Status set_nprobe(uint64_t nprobe);
  bool is_trained() const { return trained_; }
  // Trained with at least one centroid, so a query can probe lists.
  bool can_probe() const { return trained_ && n_centroids_ > 0; }
  size_t n_centroids() const { return n_centroids_; }
  const std::vector<float>& centroids() const { return centroids_; }
  const float* centroid(size_t c) const { return centroids_.data() + c * dimensions_; }
  const std::vector<VectorId>& pending_ids() const { return pending_ids_; }
  const float* pending_row(size_t i) const { return pending_vectors_.data() + i * dimensions_; }

  // DimensionMismatch unless `vector` has the index's dimensions.
  Status check_vector(std::span<const float> vector) const;
  // Rows in a row-major block of `columns` floats per row; a zero-column
  // block carries none. Fails on a column count other than the dimensions or
  // a length that is not a whole number of rows.
  Result<size_t> block_rows(std::span<const float> data, size_t columns) const;

  // Nearest centroid of one vector, and of `n` contiguous rows.
  size_t assign(std::span<const float> vector) const;
  std::vector<size_t> assign_rows(const float* rows, size_t n) const;
  // The lists to scan for a query, nearest centroid first.
  std::vector<uint32_t> probe(const DistanceScorer& raw_scorer) const {
    return ivf_detail::probe_order(raw_scorer, centroids_.data(), n_centroids_, config_.nprobe);
  }

  // Buffers an entry before training; true once train_size entries wait.
  bool buffer(VectorId id, std::span<const float> vector);
  // Room for the part of `rows` that will wait in the buffer, training being
  // able to take it part-way.
  void reserve_pending(size_t rows);
  // Scores the buffered entries exactly as the scorer says.
  void scan_pending(const DistanceScorer& scorer, TopK& top) const {
    ivf_detail::scan_rows(scorer, pending_ids_.data(), pending_vectors_.data(), pending_ids_.size(),
                          dimensions_, top);
  }
  void append_pending(std::vector<Entry>& out) const {
    ivf_detail::append_rows(out, pending_ids_, pending_vectors_, dimensions_);
  }

  // Training runs in three steps so that an index can train its own codec
  // between clustering and placement and still fail without a change:
  // cluster() touches nothing, adopt() takes the centroids, and once the
  // index has placed every pending entry finish_training() empties the buffer.
  KMeansResult cluster() const;
  void adopt(KMeansResult& km);
  void finish_training();

  // Where `id` was placed last, if it is listed. `lists` are the index's
  // lists (each with an `ids` array); the map reads ids back from them.
  template <class Lists>
  std::optional<ListRef> find(VectorId id, const Lists& lists) const {
    return id_to_list_.find(id, ids_in(lists));
  }
  // Records that `id` now lives at `ref` (lists[ref.list].ids[ref.pos] is
  // already `id`); a re-added id overwrites its earlier placement.
  template <class Lists>
  void note(VectorId id, ListRef ref, const Lists& lists) {
    id_to_list_.put(id, ref, ids_in(lists));
  }
  template <class Lists>
  void reserve_ids(size_t more, const Lists& lists) {
    id_to_list_.reserve(id_to_list_.size() + more, ids_in(lists));
  }
  // Takes `id` out of the buffer; false when it is not pending.
  bool remove_pending(VectorId id);
  // Removes the id's listed entry: the first entry of the id in the list it
  // was placed in last, whose place the list's last entry takes. Only the ids
  // array is changed; the caller moves its own rows with ivf_detail::drop_row.
  // Nothing when the id is not listed.
  struct Vacated {
    uint32_t list;  // the list the entry left
    size_t pos;     // its position, now the former last entry's
    size_t last;    // the former last position, now past the end
  };
  template <class Lists>
  std::optional<Vacated> remove_listed(VectorId id, Lists& lists);
  // Calls fn(id, ListRef) for every listed id at its latest placement, list by
  // list and entry by entry.
  template <class Lists, class Fn>
  void for_each_placed(const Lists& lists, Fn&& fn) const {
    for (size_t l = 0; l < lists.size(); ++l) {
      const std::vector<VectorId>& ids = lists[l].ids;
      for (size_t p = 0; p < ids.size(); ++p) {
        const ListRef ref{static_cast<uint32_t>(l), p};
        if (id_to_list_.find(ids[p], ids_in(lists)) == ref) fn(ids[p], ref);
      }
    }
  }
  size_t placed_count() const { return id_to_list_.size(); }

  // Snapshot: the pending buffer and centroids follow the index's
  // configuration; the id map and trained flag close the record. The map is
  // written list by list in entry order, so the same index always gives the
  // same bytes.
  void encode_stage(io::Encoder& enc) const;
  template <class Lists>
  void encode_map(io::Encoder& enc, const Lists& lists) const {
    encode_placements(enc, [&](auto&& put) {
      for_each_placed(lists, [&](VectorId id, ListRef ref) { put(id, ref.list); });
    });
  }
  // The same record from placements the caller already gathered:
  // `each(put)` calls put(id, list) for every placed id in for_each_placed's
  // order.
  template <class Each>
  void encode_placements(io::Encoder& enc, Each&& each) const {
    enc.put_count(id_to_list_.size());
    each([&](VectorId id, uint32_t list) {
      enc.put_u64(id);
      enc.put_u64(list);
    });
    enc.put_bool(trained_);
  }
  Status decode_stage(io::Decoder& dec);
  // Reads the map as it is stored (id, list); check_map resolves it.
  Status decode_map(io::Decoder& dec);
  // The sizes must agree, or a later search, add or training would read or
  // write out of bounds. `lists_noun` and `centroids_verb` word the messages.
  Status check_stage(size_t list_count, const char* lists_noun, const char* centroids_verb) const;
  // Checks the map read by decode_map against the lists and points each id
  // at its last entry in its list. An id whose list does not hold it could
  // never be found or deleted there, and is dropped.
  template <class Lists>
  Status check_map(const Lists& lists);

 private:
  size_t dimensions_;
  Metric metric_;
  IvfConfig config_;
  std::vector<VectorId> pending_ids_;
  std::vector<float> pending_vectors_;  // pending_ids_.size() * dimensions_
  std::vector<float> centroids_;        // n_centroids_ * dimensions_
  size_t n_centroids_ = 0;
  // Accessor through which the map reads an entry's id.
  template <class Lists>
  static auto ids_in(const Lists& lists) {
    return [&lists](ListRef ref) { return lists[ref.list].ids[ref.pos]; };
  }

  // Latest placement of each listed id; a re-added id overwrites it.
  ListMap id_to_list_;
  // The (id, list) pairs of a file being loaded, until check_map.
  std::vector<std::pair<VectorId, uint64_t>> loaded_map_;
  bool trained_ = false;
};

template <class Lists>
std::optional<IvfCoarse::Vacated> IvfCoarse::remove_listed(VectorId id, Lists& lists) {
  const std::optional<ListRef> ref = id_to_list_.erase(id, ids_in(lists));
  if (!ref) return std::nullopt;
  std::vector<VectorId>& ids = lists[ref->list].ids;
  size_t q = 0;
  while (ids[q] != id) ++q;  // the entry at ref->pos holds the id, so one is found
  const size_t last = ids.size() - 1;
  if (q != last) {
    id_to_list_.moved(ids[last], ListRef{ref->list, last}, ListRef{ref->list, q}, ids_in(lists));
    ids[q] = ids[last];
  }
  ids.pop_back();
  return Vacated{ref->list, q, last};
}

template <class Lists>
Status IvfCoarse::check_map(const Lists& lists) {
  IdMap latest;  // id -> list, the last pair of an id winning
  latest.reserve(loaded_map_.size());
  for (const auto& [id, list] : loaded_map_) {
    if (list >= lists.size()) {
      return fail(Error::serialization("id " + std::to_string(id) + " maps to list " + std::to_string(list) +
                                       " of " + std::to_string(lists.size())));
    }
    latest.put(id, list);
  }
  std::vector<std::pair<VectorId, uint64_t>>().swap(loaded_map_);
  id_to_list_.clear();
  id_to_list_.set_list_count(lists.size());
  id_to_list_.reserve(latest.size(), ids_in(lists));
  for (size_t l = 0; l < lists.size(); ++l) {
    const std::vector<VectorId>& ids = lists[l].ids;
    for (size_t p = 0; p < ids.size(); ++p) {
      if (latest.get(ids[p]) == std::optional<uint64_t>(l)) {
        id_to_list_.put(ids[p], ListRef{static_cast<uint32_t>(l), p}, ids_in(lists));
      }
    }
  }
  return ok();
}

// Adds entries in order through index.add; the first failure stops (earlier ones stay).
template <typename Index>
Status add_each(Index& index, std::span<const Entry> entries) {
  for (const auto& [id, vector] : entries) KOVRA_TRY(index.add(id, vector));
  return ok();
}

}  // namespace kovra

// Exact brute-force index over full-precision vectors kept back to back in one
// array. Deletion marks a slot dead and keeps its storage (a saved file shows
// it), unless the index reclaims dead slots (a collection's does).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/buffer.h"
#include "core/index/batch_search.h"
#include "core/index/slot_map.h"
#include "core/index/vector_index.h"

namespace kovra {

class FlatIndex final : public VectorIndex {
 public:
  FlatIndex(size_t dimensions, Metric metric) : dimensions_(dimensions), metric_(metric) {}

  Status add(VectorId id, std::span<const float> vector) override;
  // Rejects the whole batch on the first wrong length or on an id that is live
  // or repeated inside the batch; nothing is added then.
  Status add_batch(std::span<const Entry> entries) override;
  // `data` is row-major with `columns` floats per row; row r gets id
  // start_id + r (wrapping). Rejects ids that are already live.
  Status add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id);
  // Same; takes over the block's storage when the index holds no slots yet.
  Status add_flat_batch(FloatBuffer&& data, size_t columns, VectorId start_id);
  Result<std::vector<Hit>> search(std::span<const float> query, size_t k) const override;
  std::vector<std::optional<std::vector<float>>> vectors_of(std::span<const VectorId> ids) const override;
  Result<std::vector<Hit>> search_ids(std::span<const float> query, size_t k,
                                      std::span<const VectorId> ids) const override;
  // Every row of the block answered as search() answers it, bit for bit, on
  // `num_threads` workers (0 = default count).
  Status search_batch(const QueryBlock& queries, size_t num_threads, const BatchOutput& out) const;
  Result<bool> remove(VectorId id) override;
  size_t len() const override { return count_; }
  bool is_empty() const override { return count_ == 0; }
  IndexParams params() const override { return {dimensions_, metric_}; }
  std::vector<Entry> iterate() const override;
  Status flush() override { return ok(); }
  Status save_graph(const std::string&) const override { return ok(); }
  Status restore_graph(const std::string&) override { return ok(); }

  void prefetch(VectorId id) const override { id_to_slot_.prefetch(id); }
  size_t dimensions() const { return dimensions_; }
  Metric metric() const { return metric_; }
  size_t slot_count() const { return ids_.size(); }
  // From now on, once a removal leaves dead slots numbering a quarter of the
  // live ones (and at least kReclaimFloor), the live slots move down over
  // them, in order. A collection's index works this way: it updates by
  // removing and adding, and would otherwise scan one dead slot for every
  // update ever made, and keep its memory. Slots keep the order in which they
  // were added, so iteration (and a compaction written from it) lists the
  // same vectors in the same order as without.
  void reclaim_dead_slots_on_removal() { reclaims_ = true; }
  static constexpr size_t kReclaimFloor = 64;

  Status save(const std::string& path) const;
  static Result<FlatIndex> load(const std::string& path);

 private:
  void append(VectorId id, const float* vector);
  void reserve_more(size_t n);
  Status check_flat_batch(size_t floats, size_t columns, VectorId start_id) const;
  void link_flat_batch(size_t first, size_t n, VectorId start_id);
  // Extends norms_ to cover every slot.
  void cache_norms();

  // The batch answered through products of query and vector blocks, for
  // workers with at least kMinProductGroup queries, taken kProductGroup at a
  // time (a whole number of query tiles).
  static constexpr size_t kMinProductGroup = 16;
  static constexpr size_t kProductGroup = 120;
  static constexpr size_t kProductBlock = 1024;     // stored vectors per product block
  static constexpr size_t kExtraCandidates = 16;    // candidates kept beyond k
  // Squared norms (stored or query) up to which no product, score or bound
  // can overflow a float; larger ones take the exact path.
  static constexpr double kLargestProductNorm = 1e37;
  // The largest squared norm stored, or nothing when one is not finite or
  // above kLargestProductNorm.
  std::optional<double> largest_norm() const;
  Status search_by_products(const QueryBlock& queries, size_t first, size_t n, double max_norm,
                            const BatchOutput& out) const;
  void reclaim_dead_slots();
  Status search_batch_scan(const QueryBlock& queries, size_t workers, const BatchOutput& out) const;

  size_t dimensions_;
  Metric metric_;
  FloatBuffer data_;            // ids_.size() * dimensions_ floats
  GrowBuffer<VectorId> ids_;    // one per slot
  GrowBuffer<uint8_t> alive_;   // one per slot, 0 = deleted
  // Each slot's dot(v, v) from the active kernels: a cosine scan computes the
  // same sum, so caching it changes no result, and batch search bounds and
  // ranks its products with it. Never saved.
  FloatBuffer norms_;
  SlotMap id_to_slot_;          // live slots only, keyed through ids_

  auto id_of() const {
    return [this](uint32_t s) { return ids_[s]; };
  }
  size_t count_ = 0;
  bool reclaims_ = false;
};

}  // namespace kovra

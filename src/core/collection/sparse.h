// Sparse vectors (dimension index, weight pairs) and the per-collection store
// that keeps them with an inverted index from dimension to ids.
//
// "sparse.bin" is one store in the record encoding:
//   u64 postings count, then per dimension: u32 index, u64 n, n x (u64 id, f32 weight)
//   u64 vectors count, then per id: u64 id, SparseVector
// Entries follow the hash maps' order; readers accept any order.
//
// In memory, every stored vector also has a dense slot, and each dimension a
// second posting list of (slot, weight) entries that mirrors the id list
// entry for entry. Queries score those: a slot indexes flat per-thread
// arrays, where an id would need a hash table.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/index/vector_index.h"
#include "core/io/codec.h"

namespace kovra {

// Built from Python, `indices` is strictly ascending and as long as `values`.
// A decoded vector is used unchanged: only the first min(len, len) pairs count.
struct SparseVector {
  std::vector<uint32_t> indices;
  std::vector<float> values;
  bool operator==(const SparseVector&) const = default;

  size_t pair_count() const { return std::min(indices.size(), values.size()); }
};

// u64 count and the u32 indices, then u64 count and the f32 weights.
void encode_sparse(io::Encoder& enc, const SparseVector& v);
Result<SparseVector> decode_sparse(io::Decoder& dec);
std::vector<uint8_t> sparse_to_bytes(const SparseVector& v);
// Bytes after the record are ignored.
Result<SparseVector> sparse_from_bytes(std::span<const uint8_t> bytes);

struct SparsePosting {
  VectorId id;
  float weight;
  bool operator==(const SparsePosting&) const = default;
};

struct SlotPosting {
  Slot slot;
  float weight;
};

// One dimension's postings by slot, with bounds of its weights. The bounds
// only widen while the list lives (a removal leaves them as they were), so
// they stay safe upper and lower bounds of every weight in the list.
struct SlotList {
  std::vector<SlotPosting> entries;
  float max_weight = -std::numeric_limits<float>::infinity();
  float min_weight = std::numeric_limits<float>::infinity();
  uint32_t non_finite = 0;  // entries whose weight is NaN or infinite
};

class SparseStore {
 public:
  SparseStore() = default;
  // Slots point into the vector map: a copy would point into the original.
  SparseStore(const SparseStore&) = delete;
  SparseStore& operator=(const SparseStore&) = delete;
  SparseStore(SparseStore&&) = default;
  SparseStore& operator=(SparseStore&&) = default;

  // Replaces the id's sparse vector and its postings.
  void upsert(VectorId id, SparseVector v);
  // Drops the id's vector and, for every one of its indices, the first posting
  // of the id (the list's last entry takes its place; empty lists go).
  void remove(VectorId id);
  size_t count() const { return vectors_.size(); }
  const SparseVector* find(VectorId id) const;
  // The posting list of one dimension, or nullptr when none holds it.
  const std::vector<SparsePosting>* postings(uint32_t index) const;
  size_t dimension_count() const { return postings_.size(); }

  // Dot product of the query with every stored vector sharing an index with
  // it. Touches only the query's posting lists.
  std::unordered_map<VectorId, float> score(const SparseVector& query) const;
  // The `limit` best of score(query) (scores bit for bit the same), highest
  // first; equal scores in no particular order. `keep`, when given, leaves
  // out the ids it refuses before the cut.
  //
  // Lists are read from the shortest up; once the P-th best exact score so
  // far is above what the unread lists could add to any vector, they are
  // skipped (MaxScore): a vector found in the read lists is then scored
  // exactly from its own pairs, in the query's order, only when the partial
  // sum plus the unread lists' bounds can still reach the cut. Falls back to
  // top_scores_exhaustive when bounds are not safe (weights that are not
  // finite or could overflow, vectors with repeated or unordered indices).
  std::vector<std::pair<VectorId, float>> top_scores(const SparseVector& query, size_t limit,
                                                     const std::function<bool(VectorId)>& keep = {}) const;
  // The same answer from every posting of the query's dimensions summed in
  // the query's order.
  std::vector<std::pair<VectorId, float>> top_scores_exhaustive(const SparseVector& query, size_t limit,
                                                                const std::function<bool(VectorId)>& keep = {}) const;
  // The same answer from the id lists, summed in a hash table keyed by id:
  // what a store whose slot lists are off (a damaged file) answers with.
  std::vector<std::pair<VectorId, float>> top_scores_by_id(const SparseVector& query, size_t limit,
                                                           const std::function<bool(VectorId)>& keep = {}) const;
  // The dot product of the query with the vector in `slot`, added in the
  // query's order: bit for bit the sum score() forms. The vector must have
  // strictly ascending indices.
  float score_slot(const SparseVector& query, Slot slot) const;
  // Slots, for tests: nullopt for an id without a vector.
  std::optional<Slot> slot_of(VectorId id) const;
  const SlotList* slot_postings(uint32_t index) const;

  // One buffer of the exact final size, written as a whole file
  // (create/truncate); any failure is Io.
  Status save(const std::string& path) const;
  // Read failure Io, decode failure Serialization.
  static Result<SparseStore> load(const std::string& path);
  std::vector<uint8_t> encode() const;
  // The maps are taken as decoded; postings are not re-derived from vectors.
  static Result<SparseStore> decode(std::span<const uint8_t> bytes);

 private:
  size_t encoded_size() const;
  // Builds the slots and the slot lists from the id lists, entry for entry;
  // leaves them off (mirrored_ false) when the id lists name an id without
  // a vector or differ from the vectors' pairs, as a damaged file may.
  void build_slots();

  std::unordered_map<uint32_t, std::vector<SparsePosting>> postings_;
  std::unordered_map<VectorId, SparseVector> vectors_;

  std::unordered_map<uint32_t, SlotList> slot_postings_;
  std::unordered_map<VectorId, Slot> slot_of_;
  std::vector<VectorId> slot_ids_;
  std::vector<const SparseVector*> slot_vectors_;  // null for a free slot
  std::vector<uint8_t> slot_regular_;              // 1 = indices strictly ascending
  std::vector<Slot> free_slots_;
  size_t irregular_ = 0;  // live vectors whose indices are not strictly ascending
  bool mirrored_ = true;
};

}  // namespace kovra

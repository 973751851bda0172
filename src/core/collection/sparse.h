// Sparse vectors (dimension index, weight pairs) and the per-collection store
// that keeps them with an inverted index from dimension to ids.
//
// "sparse.bin" is one store in the record encoding:
//   u64 postings count, then per dimension: u32 index, u64 n, n x (u64 id, f32 weight)
//   u64 vectors count, then per id: u64 id, SparseVector
// Entries follow the hash maps' order; readers accept any order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
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

class SparseStore {
 public:
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
  // first; equal scores in no particular order. Accumulates into a flat
  // table reused by the calling thread, so a query touching most of the
  // store allocates nothing per id.
  // `keep`, when given, leaves out the ids it refuses before the cut.
  std::vector<std::pair<VectorId, float>> top_scores(const SparseVector& query, size_t limit,
                                                     const std::function<bool(VectorId)>& keep = {}) const;

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

  std::unordered_map<uint32_t, std::vector<SparsePosting>> postings_;
  std::unordered_map<VectorId, SparseVector> vectors_;
};

}  // namespace kovra

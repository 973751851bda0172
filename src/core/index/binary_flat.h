// One sign bit per component plus the vector's Euclidean norm: 32 times less
// memory than FlatIndex. Searches rank by Hamming distance (population counts);
// under DotProduct the Hamming distance and the two norms give an estimated
// dot product. Keyed by id: adding a present id replaces it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/index/row_store.h"
#include "core/index/vector_index.h"

namespace kovra {

// Component i is bit (i mod 64) of word (i div 64); bits past the last
// component are 0.
struct BinaryVector {
  std::vector<uint64_t> bits;
  float norm = 0.0f;
  bool operator==(const BinaryVector&) const = default;
};

// Bit set for components >= 0.0 (so both zeros); negative and NaN clear.
BinaryVector binarize(std::span<const float> vector);

class BinaryFlatIndex final : public VectorIndex {
 public:
  BinaryFlatIndex(size_t dimensions, Metric metric)
      : dimensions_(dimensions), metric_(metric), words_(dimensions / 64 + (dimensions % 64 != 0)),
        rows_(words_) {}

  // Replaces the vector of an id that is present.
  Status add(VectorId id, std::span<const float> vector) override;
  // Adds in order and stops at the first failure; earlier entries stay added.
  Status add_batch(std::span<const Entry> entries) override;
  // Row r of the row-major block gets id start_id + r (wrapping).
  Status add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id);
  Result<std::vector<Hit>> search(std::span<const float> query, size_t k) const override;
  Result<bool> remove(VectorId id) override { return rows_.remove(id); }
  size_t len() const override { return rows_.size(); }
  bool is_empty() const override { return rows_.size() == 0; }
  IndexParams params() const override { return {dimensions_, metric_}; }
  // Component i of a reconstructed vector is +x or -x by its bit, with
  // x = norm / sqrt(dimensions).
  std::vector<Entry> iterate() const override;
  Status flush() override { return ok(); }
  Status save_graph(const std::string&) const override { return ok(); }
  Status restore_graph(const std::string&) override { return ok(); }

  size_t dimensions() const { return dimensions_; }
  Metric metric() const { return metric_; }
  std::optional<BinaryVector> get(VectorId id) const;

  Status save(const std::string& path) const;
  static Result<BinaryFlatIndex> load(const std::string& path);

 private:
  void put(VectorId id, const float* vector);
  std::vector<Hit> search_by_count(const uint64_t* qb, size_t k, float d) const;

  size_t dimensions_;
  Metric metric_;
  size_t words_;              // ceil(dimensions / 64)
  RowStore<uint64_t> rows_;  // bit words per row, norm as the row's extra
};

}  // namespace kovra

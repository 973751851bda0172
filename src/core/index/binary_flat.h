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

#include "core/index/keyed_rows_index.h"

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

// Bit words per row, the norm as the row's extra (saved after the words).
class BinaryFlatIndex final : public KeyedRowsIndex<BinaryFlatIndex, uint64_t, true> {
 public:
  BinaryFlatIndex(size_t dimensions, Metric metric)
      : KeyedRowsIndex(dimensions, metric, dimensions / 64 + (dimensions % 64 != 0)), words_(rows_.width()) {}

  Result<std::vector<Hit>> search(std::span<const float> query, size_t k) const override;
  // Component i of a reconstructed vector is +x or -x by its bit, with
  // x = norm / sqrt(dimensions).
  std::vector<Entry> iterate() const override;
  // Row `r` decoded into `dimensions()` floats, as iterate() gives it.
  void decode_row(size_t r, float* v) const;
  std::optional<BinaryVector> get(VectorId id) const;

 private:
  friend KeyedRowsIndex;
  void put(VectorId id, const float* vector);
  std::vector<Hit> search_by_count(const uint64_t* qb, size_t k, float d) const;

  size_t words_;  // ceil(dimensions / 64)
};

}  // namespace kovra

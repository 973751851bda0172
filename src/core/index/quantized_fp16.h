// Exact scan over binary16 halves: half the memory of FlatIndex. Each stored
// vector is decoded back to floats and compared with the unquantised query.
// Keyed by id: adding a present id replaces it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/index/keyed_rows_index.h"

namespace kovra {

// Halves per row; the row's extra float is unused and not saved.
class Fp16FlatIndex final : public KeyedRowsIndex<Fp16FlatIndex, uint16_t, false> {
 public:
  Fp16FlatIndex(size_t dimensions, Metric metric) : KeyedRowsIndex(dimensions, metric, dimensions) {}

  Result<std::vector<Hit>> search(std::span<const float> query, size_t k) const override;
  std::vector<Entry> iterate() const override;
  // Row `r` decoded into `dimensions()` floats, as iterate() gives it.
  void decode_row(size_t r, float* v) const;
  // The stored binary16 bit patterns of `id`, if present.
  std::optional<std::vector<uint16_t>> get(VectorId id) const;

 private:
  friend KeyedRowsIndex;
  void put(VectorId id, const float* vector);
};

}  // namespace kovra

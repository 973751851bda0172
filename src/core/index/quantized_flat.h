// Exact scan over int8 codes with one scale per vector: about a quarter of the
// memory of FlatIndex. A query is compared, unquantised, with each stored
// vector decoded back to floats. Keyed by id: adding a present id replaces it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/index/keyed_rows_index.h"

namespace kovra {

// The stored form of one vector: code ~= value * scale.
struct QuantizedVector {
  std::vector<int8_t> codes;  // one per dimension, each in -127..127
  float scale = 1.0f;
  bool operator==(const QuantizedVector&) const = default;
};

QuantizedVector quantize(std::span<const float> vector);
std::vector<float> dequantize(const QuantizedVector& q);

// Codes per row, the scale as the row's extra (saved after the codes).
class QuantizedFlatIndex final : public KeyedRowsIndex<QuantizedFlatIndex, int8_t, true> {
 public:
  QuantizedFlatIndex(size_t dimensions, Metric metric) : KeyedRowsIndex(dimensions, metric, dimensions) {}

  Result<std::vector<Hit>> search(std::span<const float> query, size_t k) const override;
  std::vector<Entry> iterate() const override;
  // Row `r` decoded into `dimensions()` floats, as iterate() gives it.
  void decode_row(size_t r, float* v) const;
  // The stored codes and scale of `id`, if present.
  std::optional<QuantizedVector> get(VectorId id) const;

 private:
  friend KeyedRowsIndex;
  void put(VectorId id, const float* vector);
};

}  // namespace kovra

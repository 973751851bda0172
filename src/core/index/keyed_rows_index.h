// What the hash-keyed compressed exact indexes have in common: vectors are
// encoded into a RowStore keyed by id, so adding a present id replaces it,
// and the save file is the dimensions, the metric and then one record per
// row (id, cell count, cells, and the row's float where the codec keeps one).
// Each index supplies `void put(VectorId, const float*)`, which encodes one
// vector of `dimensions_` floats into its row, plus its own search, iterate
// and get; the scan loops stay in the index that owns the encoding.
#pragma once

#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/index/flat_batch.h"
#include "core/index/row_store.h"
#include "core/index/saved_image.h"
#include "core/index/vector_index.h"

namespace kovra {

// `kSavesExtra`: whether each saved record ends with the row's float.
template <class Derived, class Cell, bool kSavesExtra>
class KeyedRowsIndex : public VectorIndex {
 public:
  // Replaces the vector of an id that is present.
  Status add(VectorId id, std::span<const float> vector) override {
    if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
    self().put(id, vector.data());
    return ok();
  }

  // Adds in order and stops at the first failure; earlier entries stay added.
  Status add_batch(std::span<const Entry> entries) override {
    for (const auto& [id, vector] : entries) KOVRA_TRY(add(id, vector));
    return ok();
  }

  // Row r of the row-major block gets id start_id + r (wrapping).
  Status add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id) {
    KOVRA_TRY(check_flat_batch(data.size(), columns, dimensions_));
    if (dimensions_ == 0) return ok();  // a zero-column block carries no rows
    size_t n = data.size() / dimensions_;
    rows_.reserve_more(n);
    for (size_t r = 0; r < n; ++r) self().put(start_id + r, data.data() + r * dimensions_);
    return ok();
  }

  Result<bool> remove(VectorId id) override { return rows_.remove(id); }

  std::vector<std::optional<std::vector<float>>> vectors_of(std::span<const VectorId> ids) const override {
    std::vector<std::optional<std::vector<float>>> out(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      if (auto row = rows_.find(ids[i])) {
        out[i].emplace(dimensions_);
        static_cast<const Derived&>(*this).decode_row(*row, out[i]->data());
      }
    }
    return out;
  }
  size_t len() const override { return rows_.size(); }
  bool is_empty() const override { return rows_.size() == 0; }
  IndexParams params() const override { return {dimensions_, metric_}; }
  Status flush() override { return ok(); }
  Status save_graph(const std::string&) const override { return ok(); }
  Status restore_graph(const std::string&) override { return ok(); }

  size_t dimensions() const { return dimensions_; }
  Metric metric() const { return metric_; }

  Status save(const std::string& path) const {
    const size_t count = rows_.size();
    const size_t width = rows_.width();
    return write_image(path, 20 + count * record_size(width), [&](io::Encoder& enc) {
      enc.put_u64(dimensions_);
      enc.put_enum(metric_id(metric_));
      enc.put_count(count);
      for (size_t r = 0; r < count; ++r) {
        enc.put_u64(rows_.id(r));
        enc.put_count(width);
        enc.raw(rows_.cell(r), sizeof(Cell) * width);
        if constexpr (kSavesExtra) enc.put_f32(rows_.extra(r));
      }
    });
  }

  static Result<Derived> load(const std::string& path) {
    return read_image<Derived>(path, [](io::Decoder& dec, size_t file_size) -> Result<Derived> {
      KOVRA_ASSIGN_OR_RETURN(uint64_t dims, dec.get_u64());
      KOVRA_ASSIGN_OR_RETURN(uint32_t metric, dec.get_enum(kMetricCount));
      KOVRA_ASSIGN_OR_RETURN(uint64_t count, dec.get_count());
      Derived index(dims, *metric_from_id(metric));
      RowStore<Cell>& rows = static_cast<KeyedRowsIndex&>(index).rows_;
      const uint64_t width = rows.width();
      // A row wider than the whole file cannot be in it, and its record size
      // could wrap around to a small number: reserve only for rows that fit.
      if (width <= file_size / sizeof(Cell)) {
        rows.reserve_more(io::Decoder::reserve_hint(count, record_size(width)));
      }
      std::vector<Cell> cells;
      for (uint64_t e = 0; e < count; ++e) {
        KOVRA_ASSIGN_OR_RETURN(uint64_t id, dec.get_u64());
        KOVRA_ASSIGN_OR_RETURN(uint64_t n, dec.get_count());
        if (n != width) return fail(wrong_entry_width(id, n, width));
        if (n > file_size / sizeof(Cell)) return fail(entry_past_end(id, n));
        cells.resize(n);
        KOVRA_TRY(dec.read_exact(cells.data(), sizeof(Cell) * n));
        float extra = 0.0f;
        if constexpr (kSavesExtra) {
          KOVRA_ASSIGN_OR_RETURN(float saved, dec.get_f32());
          extra = saved;
        }
        size_t row = rows.upsert(id);  // a repeated id keeps the later entry
        if (n) std::memcpy(rows.cell(row), cells.data(), sizeof(Cell) * n);
        if constexpr (kSavesExtra) rows.extra(row) = extra;
      }
      return index;
    });
  }

 protected:
  KeyedRowsIndex(size_t dimensions, Metric metric, size_t width)
      : dimensions_(dimensions), metric_(metric), rows_(width) {}

  // What a search answers without scanning: nothing from an empty index (a
  // query of any length), a wrong-length query's error, nothing for k == 0.
  // Empty when the rows must be scanned.
  std::optional<Result<std::vector<Hit>>> unscanned(std::span<const float> query, size_t k) const {
    if (rows_.size() == 0) return std::vector<Hit>();
    if (query.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, query.size()));
    if (k == 0) return std::vector<Hit>();
    return std::nullopt;
  }

  // Every row in map order, decoded by the index's decode_row(row, out),
  // which writes `dimensions_` floats.
  std::vector<Entry> decode_rows() const {
    const Derived& self = static_cast<const Derived&>(*this);
    std::vector<Entry> out;
    out.reserve(rows_.size());
    for (size_t r = 0; r < rows_.size(); ++r) {
      std::vector<float> v(dimensions_);
      self.decode_row(r, v.data());
      out.emplace_back(rows_.id(r), std::move(v));
    }
    return out;
  }

  // A copy of the cells of `id` and its row's float, if the id is present.
  std::optional<std::pair<std::vector<Cell>, float>> stored(VectorId id) const {
    auto row = rows_.find(id);
    if (!row) return std::nullopt;
    const Cell* c = rows_.cell(*row);
    return std::pair{std::vector<Cell>(c, c + rows_.width()), rows_.extra(*row)};
  }

  size_t dimensions_;
  Metric metric_;
  RowStore<Cell> rows_;

 private:
  // Bytes of one saved record: id, cell count, cells and the optional float.
  static uint64_t record_size(uint64_t width) { return 16 + sizeof(Cell) * width + (kSavesExtra ? 4 : 0); }

  Derived& self() { return static_cast<Derived&>(*this); }
};

}  // namespace kovra

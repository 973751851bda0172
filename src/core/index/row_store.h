// Dense storage for the hash-keyed compressed indexes: fixed-width rows of
// cells kept back to back with one float per row (scale or norm) and the row's
// id, plus a map from id to row. Deleting moves the last row into the hole, so
// rows stay contiguous for the scan and memory follows the live count. The row
// order is the index's "map order": defined by nothing but this history.
#pragma once

#include <cstring>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/buffer.h"
#include "core/index/vector_index.h"

namespace kovra {

template <class Cell>
class RowStore {
 public:
  explicit RowStore(size_t width) : width_(width) {}

  size_t width() const { return width_; }
  size_t size() const { return ids_.size(); }

  void reserve_more(size_t n) {
    grow_for(cells_, n * width_);
    grow_for(extra_, n);
    grow_for(ids_, n);
    grow_map_for(rows_, n);
  }

  // The row of `id`, added at the end when the id is new. A new row's cells
  // are uninitialised: the caller writes all of them.
  size_t upsert(VectorId id) {
    auto [it, inserted] = rows_.try_emplace(id, ids_.size());
    if (inserted) {
      cells_.resize(cells_.size() + width_);
      extra_.push_back(0.0f);
      ids_.push_back(id);
    }
    return it->second;
  }

  std::optional<size_t> find(VectorId id) const {
    auto it = rows_.find(id);
    if (it == rows_.end()) return std::nullopt;
    return it->second;
  }

  bool remove(VectorId id) {
    auto it = rows_.find(id);
    if (it == rows_.end()) return false;
    size_t row = it->second;
    size_t last = ids_.size() - 1;
    rows_.erase(it);
    if (row != last) {
      if (width_) std::memcpy(cell(row), cell(last), width_ * sizeof(Cell));
      extra_[row] = extra_[last];
      ids_[row] = ids_[last];
      rows_[ids_[row]] = row;
    }
    cells_.resize(last * width_);
    extra_.pop_back();
    ids_.pop_back();
    return true;
  }

  Cell* cell(size_t row) { return cells_.data() + row * width_; }
  const Cell* cell(size_t row) const { return cells_.data() + row * width_; }
  const Cell* cells() const { return cells_.data(); }
  float& extra(size_t row) { return extra_[row]; }
  float extra(size_t row) const { return extra_[row]; }
  const float* extras() const { return extra_.data(); }
  VectorId id(size_t row) const { return ids_[row]; }
  const VectorId* ids() const { return ids_.data(); }

 private:
  size_t width_;
  // size() * width_ cells; large stores sit on huge pages, which spares the
  // scan a TLB miss every 4 KiB.
  std::vector<Cell, BulkAllocator<Cell>> cells_;
  std::vector<float> extra_;  // one per row
  std::vector<VectorId> ids_;  // one per row
  std::unordered_map<VectorId, size_t> rows_;
};

}  // namespace kovra

// Dense storage for the hash-keyed compressed indexes: fixed-width rows of
// cells kept back to back with one float per row (scale or norm) and the row's
// id, plus a map from id to row that reads each row's id back from that array
// (a few bytes per row). Deleting moves the last row into the hole, so
// rows stay contiguous for the scan and memory follows the live count. The row
// order is the index's "map order": defined by nothing but this history.
#pragma once

#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "core/buffer.h"
#include "core/index/slot_map.h"
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
    rows_.reserve(ids_.size() + n, id_of());
  }

  // The row of `id`, added at the end when the id is new. A new row's cells
  // are uninitialised: the caller writes all of them.
  size_t upsert(VectorId id) {
    if (auto row = rows_.find(id, id_of())) return *row;
    const size_t row = ids_.size();
    cells_.resize(cells_.size() + width_);
    extra_.push_back(0.0f);
    ids_.push_back(id);
    rows_.insert(id, static_cast<uint32_t>(row), id_of());
    return row;
  }

  std::optional<size_t> find(VectorId id) const {
    auto row = rows_.find(id, id_of());
    if (!row) return std::nullopt;
    return *row;
  }

  bool remove(VectorId id) {
    auto found = rows_.erase(id, id_of());
    if (!found) return false;
    size_t row = *found;
    size_t last = ids_.size() - 1;
    if (row != last) {
      if (width_) std::memcpy(cell(row), cell(last), width_ * sizeof(Cell));
      extra_[row] = extra_[last];
      ids_[row] = ids_[last];
      rows_.move(ids_[row], static_cast<uint32_t>(row), id_of());
    }
    cells_.resize(last * width_);
    extra_.resize(last);
    ids_.resize(last);
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
  // scan a TLB miss every 4 KiB. Mappings sized to their capacity: an
  // allocation rounded up to whole huge pages kept a partly used huge page
  // resident at its end.
  GrowBuffer<Cell> cells_;
  GrowBuffer<float> extra_;    // one per row
  GrowBuffer<VectorId> ids_;   // one per row
  SlotMap rows_;               // rows below 2^32 - 1

  auto id_of() const {
    return [this](uint32_t row) { return ids_[row]; };
  }
};

}  // namespace kovra

// The payloads of a collection's live vectors, kept in dense rows so that a
// filter can be answered without walking every stored payload.
//
// Every live vector has a row (with or without a payload); rows of deleted
// vectors are reused. A filter is answered as a set of rows. For each field
// path a filter names, a column of the scalar found at that path in every row
// is built the first time the path is asked for, and kept up to date by every
// write from then on. Beside a column, the rows holding numbers and strings
// are kept sorted by value, so that an equality or a range finds its rows in
// time proportional to their number. Writes do not re-sort: rows changed since
// the last sort are checked one by one, and a column whose changes pile up is
// re-sorted by the next filter that reads it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/collection/filter.h"
#include "core/collection/payload.h"
#include "core/buffer.h"
#include "core/index/slot_map.h"
#include "core/index/vector_index.h"

namespace kovra {

// Stored payloads are immutable and shared: a search result holds a
// reference that stays valid after the client's lock is released, whatever
// writes follow.
using SharedPayload = std::shared_ptr<const JsonValue>;

// A set of rows as a bitmap, with its size.
struct RowSet {
  std::vector<uint64_t> words;
  size_t count = 0;

  bool test(size_t row) const { return row / 64 < words.size() && (words[row / 64] >> (row % 64)) & 1; }
  // Calls fn(row) for every row of the set, in ascending order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (size_t w = 0; w < words.size(); ++w) {
      for (uint64_t bits = words[w]; bits; bits &= bits - 1) fn(w * 64 + static_cast<size_t>(__builtin_ctzll(bits)));
    }
  }
};

class PayloadTable {
 public:
  PayloadTable();
  ~PayloadTable();
  PayloadTable(const PayloadTable&) = delete;
  PayloadTable& operator=(const PayloadTable&) = delete;

  // Makes `id` live (giving it a row if it has none) with this payload; a
  // null pointer means no payload.
  void put(VectorId id, SharedPayload payload);
  // Makes `id` live, keeping its payload if it has a row already.
  void keep(VectorId id) {
    if (!row_of_.find(id, id_of())) put(id, nullptr);
  }
  // Drops the row of `id`, if it has one.
  void erase(VectorId id);
  void clear();

  // Brings the cells a put or lookup of `id` reads first into cache.
  void prefetch(VectorId id) const { row_of_.prefetch(id); }

  // Live rows.
  size_t size() const { return row_of_.size(); }
  const JsonValue* get(VectorId id) const {
    auto row = row_of_.find(id, id_of());
    return row ? payloads_[*row].get() : nullptr;
  }
  SharedPayload shared(VectorId id) const {
    auto row = row_of_.find(id, id_of());
    return row ? payloads_[*row] : nullptr;
  }
  // The payload of each of `ids`, in order (null for none), looked up a
  // group at a time so that the cache misses of the group overlap.
  void shared_many(std::span<const VectorId> ids, std::vector<SharedPayload>& out) const;
  std::optional<size_t> row_of(VectorId id) const {
    auto row = row_of_.find(id, id_of());
    if (!row) return std::nullopt;
    return static_cast<size_t>(*row);
  }
  VectorId id_at(size_t row) const { return ids_[row]; }
  const SharedPayload& payload_at(size_t row) const { return payloads_[row]; }

  // The live rows whose payload matches (a row without payload is evaluated
  // as null), exactly as matches() decides. Safe to call from several threads
  // at once, but not beside a write.
  RowSet select(const FilterCondition& condition) const;

  // Bytes held by the rows and by the columns built so far.
  size_t memory_bytes() const;

 private:
  struct Column;
  Column& column(const FilterCondition& field, std::shared_lock<std::shared_mutex>& shared) const;
  void select_into(const FilterCondition& condition, RowSet& out, std::shared_lock<std::shared_mutex>& shared) const;
  void select_field(const FilterCondition& field, RowSet& out, std::shared_lock<std::shared_mutex>& shared) const;
  void fill_cell(Column& col, size_t row) const;

  // The map's cells are rows; it reads their ids back from `ids_`.
  struct RowIds {
    const PayloadTable* table;
    VectorId operator()(uint32_t row) const { return table->ids_[row]; }
  };
  RowIds id_of() const { return RowIds{this}; }

  SlotMap row_of_;                      // live ids only
  GrowBuffer<VectorId> ids_;            // per row
  std::vector<SharedPayload> payloads_; // per row, null for no payload
  std::vector<uint64_t> live_;          // bitmap of live rows
  std::vector<uint32_t> free_rows_;

  // Columns are built by the first filter that names their path, under the
  // exclusive side of the mutex; filters otherwise share it. Writes take no
  // lock here: they run under the client's exclusive lock, with no filter
  // beside them.
  mutable std::shared_mutex mutex_;
  mutable std::unordered_map<std::string, std::unique_ptr<Column>> columns_;
};

}  // namespace kovra

// Hash map from vector id to slot: open addressing with linear probing over
// one flat array, so bulk inserts of many ids touch no per-entry allocation.
// Iteration order is not defined (and nothing may depend on it).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kovra {

// splitmix64 finaliser: sequential ids spread over the whole of a table.
inline size_t spread_id(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 31;
  return static_cast<size_t>(x);
}

class IdMap {
 public:
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  void reserve(size_t n) {
    size_t want = capacity_for(n);
    if (want > cells_.size()) rehash(want);
  }

  // Brings the id's first cell into cache ahead of a lookup or insert.
  void prefetch(uint64_t id) const {
    if (!cells_.empty()) __builtin_prefetch(&cells_[hash(id) & (cells_.size() - 1)], 1, 3);
  }

  bool contains(uint64_t id) const { return find_cell(id) != kNone; }

  std::optional<uint64_t> get(uint64_t id) const {
    size_t c = find_cell(id);
    if (c == kNone) return std::nullopt;
    return cells_[c].value;
  }

  // Inserts or replaces.
  void put(uint64_t id, uint64_t value) {
    if ((size_ + tombstones_ + 1) * 8 > cells_.size() * 7 || cells_.empty()) {
      rehash(capacity_for(size_ + 1));
    }
    size_t mask = cells_.size() - 1;
    size_t reuse = kNone;
    for (size_t i = hash(id) & mask;; i = (i + 1) & mask) {
      Cell& cell = cells_[i];
      if (cell.state == kFull) {
        if (cell.key == id) {
          cell.value = value;
          return;
        }
      } else if (cell.state == kDeleted) {
        if (reuse == kNone) reuse = i;
      } else {
        if (reuse != kNone) {
          --tombstones_;
          i = reuse;
        }
        cells_[i] = Cell{id, value, kFull};
        ++size_;
        return;
      }
    }
  }

  // Removes the id; returns its value if it was present.
  std::optional<uint64_t> erase(uint64_t id) {
    size_t c = find_cell(id);
    if (c == kNone) return std::nullopt;
    cells_[c].state = kDeleted;
    --size_;
    ++tombstones_;
    return cells_[c].value;
  }

  void clear() {
    cells_.clear();
    size_ = tombstones_ = 0;
  }

  template <class Fn>
  void for_each(Fn&& fn) const {
    for (const Cell& c : cells_)
      if (c.state == kFull) fn(c.key, c.value);
  }

 private:
  static constexpr uint8_t kEmpty = 0, kFull = 1, kDeleted = 2;
  static constexpr size_t kNone = ~size_t(0);

  struct Cell {
    uint64_t key;
    uint64_t value;
    uint8_t state;
  };

  static size_t hash(uint64_t x) { return spread_id(x); }

  static size_t capacity_for(size_t n) {
    size_t cap = 16;
    while (cap * 7 < n * 8 + 8) cap <<= 1;
    return cap;
  }

  size_t find_cell(uint64_t id) const {
    if (cells_.empty()) return kNone;
    size_t mask = cells_.size() - 1;
    for (size_t i = hash(id) & mask;; i = (i + 1) & mask) {
      const Cell& cell = cells_[i];
      if (cell.state == kEmpty) return kNone;
      if (cell.state == kFull && cell.key == id) return i;
    }
  }

  void rehash(size_t cap) {
    std::vector<Cell> old;
    old.swap(cells_);
    cells_.assign(cap, Cell{0, 0, kEmpty});
    size_ = tombstones_ = 0;
    for (const Cell& c : old)
      if (c.state == kFull) put(c.key, c.value);
  }

  std::vector<Cell> cells_;
  size_t size_ = 0;
  size_t tombstones_ = 0;
};

}  // namespace kovra

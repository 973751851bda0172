// Map from vector id to slot for stores that already keep each slot's id in
// an array of their own. The table holds only 32-bit slots and reads a
// slot's id back through the caller's `id_of(slot)` to compare keys, so a
// cell costs 4 bytes: 5 to 10 bytes per id at the load kept here, where a
// table of (key, value, state) cells costs 30 or more and a node-based map
// about 70. Linear probing with backward-shift deletion, so deletes leave no
// tombstones behind to lengthen later probes.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

#include "core/buffer.h"
#include "core/error.h"
#include "core/index/id_map.h"

namespace kovra {

// `Slot` is the cell type: 32 bits where every slot fits, 64 where a slot
// packs more (a list and a position in it).
template <class Slot>
class BasicSlotMap {
 public:
  // Slots must be below this.
  static constexpr Slot kEmpty = std::numeric_limits<Slot>::max();

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t memory_bytes() const { return cells_.capacity() * sizeof(Slot); }

  void clear() {
    GrowBuffer<Slot>().swap(cells_);
    size_ = 0;
  }

  // Room for `n` ids in all; `id_of` gives the id of every slot already held.
  template <class IdOf>
  void reserve(size_t n, IdOf id_of) {
    const size_t want = capacity_for(n);
    if (want > cells_.size()) rehash(want, id_of);
  }

  void prefetch(uint64_t id) const {
    if (!cells_.empty()) __builtin_prefetch(&cells_[hash(id) & (cells_.size() - 1)], 0, 3);
  }

  // The slot in the first cell a lookup of `id` reads (the likeliest
  // answer), or nothing when that cell is empty: what a caller prefetching
  // the slot's data ahead of find() can go by.
  std::optional<Slot> first_probe(uint64_t id) const {
    if (cells_.empty()) return std::nullopt;
    const Slot s = cells_[hash(id) & (cells_.size() - 1)];
    if (s == kEmpty) return std::nullopt;
    return s;
  }

  template <class IdOf>
  std::optional<Slot> find(uint64_t id, IdOf id_of) const {
    if (cells_.empty()) return std::nullopt;
    const size_t mask = cells_.size() - 1;
    for (size_t i = hash(id) & mask;; i = (i + 1) & mask) {
      const Slot s = cells_[i];
      if (s == kEmpty) return std::nullopt;
      if (id_of(s) == id) return s;
    }
  }

  // Adds an id that is not in the map; id_of(slot) must already give `id`.
  template <class IdOf>
  void insert(uint64_t id, Slot slot, IdOf id_of) {
    KOVRA_CHECK(slot != kEmpty, "slot map holds slots below its empty mark");
    if ((size_ + 1) * 5 > cells_.size() * 4) rehash(capacity_for(size_ + 1), id_of);
    place(id, slot);
    ++size_;
  }

  // Points a present id at another slot; id_of(slot) must give `id`.
  template <class IdOf>
  void move(uint64_t id, Slot slot, IdOf id_of) {
    const size_t mask = cells_.size() - 1;
    for (size_t i = hash(id) & mask;; i = (i + 1) & mask) {
      if (cells_[i] != kEmpty && id_of(cells_[i]) == id) {
        cells_[i] = slot;
        return;
      }
    }
  }

  // Points `id` at `to` if it points at `from` now (an entry that moved within
  // its store); any other slot of the id stays. id_of must give the ids of
  // every slot in the map.
  template <class IdOf>
  void replace(uint64_t id, Slot from, Slot to, IdOf id_of) {
    if (cells_.empty()) return;
    const size_t mask = cells_.size() - 1;
    for (size_t i = hash(id) & mask;; i = (i + 1) & mask) {
      if (cells_[i] == kEmpty) return;
      if (id_of(cells_[i]) == id) {
        if (cells_[i] == from) cells_[i] = to;
        return;
      }
    }
  }

  // Every slot held, in table order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (Slot s : cells_)
      if (s != kEmpty) fn(s);
  }

  // Removes the id; returns its slot if it was present. id_of must still give
  // the ids of every slot in the map, this one included.
  template <class IdOf>
  std::optional<Slot> erase(uint64_t id, IdOf id_of) {
    if (cells_.empty()) return std::nullopt;
    const size_t mask = cells_.size() - 1;
    size_t i = hash(id) & mask;
    for (;; i = (i + 1) & mask) {
      if (cells_[i] == kEmpty) return std::nullopt;
      if (id_of(cells_[i]) == id) break;
    }
    const Slot found = cells_[i];
    // Shift later members of the probe run back into the hole, as long as
    // that keeps each reachable from its home cell.
    size_t hole = i;
    for (size_t j = (i + 1) & mask; cells_[j] != kEmpty; j = (j + 1) & mask) {
      const size_t home = hash(id_of(cells_[j])) & mask;
      if (((j - home) & mask) >= ((j - hole) & mask)) {
        cells_[hole] = cells_[j];
        hole = j;
      }
    }
    cells_[hole] = kEmpty;
    --size_;
    return found;
  }

 private:
  static size_t hash(uint64_t x) { return spread_id(x); }

  // At most four fifths full.
  static size_t capacity_for(size_t n) {
    size_t cap = 16;
    while (cap * 4 < n * 5) cap <<= 1;
    return cap;
  }

  void place(uint64_t id, Slot slot) {
    const size_t mask = cells_.size() - 1;
    size_t i = hash(id) & mask;
    while (cells_[i] != kEmpty) i = (i + 1) & mask;
    cells_[i] = slot;
  }

  template <class IdOf>
  void rehash(size_t cap, IdOf id_of) {
    GrowBuffer<Slot> old(cap, kEmpty);
    old.swap(cells_);
    for (Slot s : old)
      if (s != kEmpty) place(id_of(s), s);
  }

  // A mapping of its own once large, so that the copy a rehash drops goes back
  // to the system.
  GrowBuffer<Slot> cells_;
  size_t size_ = 0;
};

using SlotMap = BasicSlotMap<uint32_t>;

}  // namespace kovra

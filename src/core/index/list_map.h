// Where each id of an inverted file was placed last: its list and its
// position in that list. The table keeps only the packed (list, position) and
// reads an entry's id back from the list to compare keys, so it costs 4 bytes a
// cell (5 to 10 bytes per id) while every position fits beside the list number
// in 32 bits, and 8 bytes a cell after that. Positions change when a delete
// moves a list's last entry into a hole; the owner reports such moves.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>

#include "core/error.h"
#include "core/index/slot_map.h"

namespace kovra {

struct ListRef {
  uint32_t list = 0;
  uint64_t pos = 0;
  bool operator==(const ListRef&) const = default;
};

class ListMap {
 public:
  // Fixes how many bits the list number takes; the map must be empty.
  void set_list_count(uint64_t lists) {
    KOVRA_CHECK(size() == 0, "list count set on a map in use");
    list_bits_ = lists <= 1 ? 0 : static_cast<unsigned>(std::bit_width(lists - 1));
    wide_mode_ = list_bits_ >= 32;
  }

  size_t size() const { return wide_mode_ ? wide_.size() : narrow_.size(); }
  size_t memory_bytes() const { return narrow_.memory_bytes() + wide_.memory_bytes(); }

  void clear() {
    narrow_.clear();
    wide_.clear();
    wide_mode_ = list_bits_ >= 32;
  }

  // `id_at(ListRef) -> VectorId` reads an entry's id from the lists; every
  // ref held by the map must be readable through it.
  template <class IdAt>
  void reserve(size_t n, IdAt id_at) {
    if (wide_mode_) {
      wide_.reserve(n, wide_ids(id_at));
    } else {
      narrow_.reserve(n, narrow_ids(id_at));
    }
  }

  template <class IdAt>
  std::optional<ListRef> find(uint64_t id, IdAt id_at) const {
    if (wide_mode_) {
      if (auto s = wide_.find(id, wide_ids(id_at))) return unpack_wide(*s);
    } else if (auto s = narrow_.find(id, narrow_ids(id_at))) {
      return unpack_narrow(*s);
    }
    return std::nullopt;
  }

  // Records `ref` as the id's latest placement; id_at(ref) must give `id`.
  template <class IdAt>
  void put(uint64_t id, ListRef ref, IdAt id_at) {
    if (!wide_mode_ && !fits_narrow(ref)) widen(id_at);
    if (wide_mode_) {
      KOVRA_CHECK(ref.pos < 0xFFFFFFFFull, "a list holds fewer than 2^32 - 1 entries");
      put_in(wide_, id, pack_wide(ref), wide_ids(id_at));
    } else {
      put_in(narrow_, id, pack_narrow(ref), narrow_ids(id_at));
    }
  }

  // Removes the id; returns where it pointed.
  template <class IdAt>
  std::optional<ListRef> erase(uint64_t id, IdAt id_at) {
    if (wide_mode_) {
      if (auto s = wide_.erase(id, wide_ids(id_at))) return unpack_wide(*s);
    } else if (auto s = narrow_.erase(id, narrow_ids(id_at))) {
      return unpack_narrow(*s);
    }
    return std::nullopt;
  }

  // The entry of `id` at `from` moved to `to` (a position no greater than
  // `from`, in the same list); the map follows if it pointed there.
  template <class IdAt>
  void moved(uint64_t id, ListRef from, ListRef to, IdAt id_at) {
    if (wide_mode_) {
      wide_.replace(id, pack_wide(from), pack_wide(to), wide_ids(id_at));
    } else {
      narrow_.replace(id, pack_narrow(from), pack_narrow(to), narrow_ids(id_at));
    }
  }

  // fn(ListRef) for every id held, in table order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    if (wide_mode_) {
      wide_.for_each([&](uint64_t s) { fn(unpack_wide(s)); });
    } else {
      narrow_.for_each([&](uint32_t s) { fn(unpack_narrow(s)); });
    }
  }

 private:
  template <class Map, class Slot, class IdOf>
  static void put_in(Map& map, uint64_t id, Slot slot, IdOf id_of) {
    if (map.find(id, id_of)) {
      map.move(id, slot, id_of);
    } else {
      map.insert(id, slot, id_of);
    }
  }

  // A position fits when the packed value stays below the table's empty mark.
  bool fits_narrow(ListRef ref) const {
    return ref.pos < (uint64_t(1) << (32 - list_bits_)) - 1;
  }
  uint32_t pack_narrow(ListRef ref) const {
    return static_cast<uint32_t>((ref.pos << list_bits_) | ref.list);
  }
  ListRef unpack_narrow(uint32_t s) const {
    const uint64_t v = s;
    return ListRef{static_cast<uint32_t>(v & ((uint64_t(1) << list_bits_) - 1)), v >> list_bits_};
  }
  static uint64_t pack_wide(ListRef ref) { return (ref.pos << 32) | ref.list; }
  static ListRef unpack_wide(uint64_t s) { return ListRef{static_cast<uint32_t>(s), s >> 32}; }

  template <class IdAt>
  auto narrow_ids(IdAt& id_at) const {
    return [this, &id_at](uint32_t s) { return id_at(unpack_narrow(s)); };
  }
  template <class IdAt>
  static auto wide_ids(IdAt& id_at) {
    return [&id_at](uint64_t s) { return id_at(unpack_wide(s)); };
  }

  // A list grew past what 32 bits can point into: every cell moves to the
  // 64-bit table, once.
  template <class IdAt>
  void widen(IdAt& id_at) {
    auto ids = wide_ids(id_at);
    wide_.reserve(narrow_.size() + 1, ids);
    narrow_.for_each([&](uint32_t s) {
      const ListRef ref = unpack_narrow(s);
      wide_.insert(id_at(ref), pack_wide(ref), ids);
    });
    narrow_.clear();
    wide_mode_ = true;
  }

  BasicSlotMap<uint32_t> narrow_;
  BasicSlotMap<uint64_t> wide_;
  unsigned list_bits_ = 0;
  bool wide_mode_ = false;
};

}  // namespace kovra

#include "core/index/slot_map.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace kovra {
namespace {

// Random inserts, deletes and moves against a reference map, over ids that
// collide in the table (a small id range) or spread over 64 bits: deletions
// shift probe runs back, also across the end of the table, and every id
// present must stay reachable.
struct MapCase {
  const char* name;
  uint64_t id_range;  // 0: the whole 64-bit range
  size_t ops;
};

class SlotMaps : public ::testing::TestWithParam<MapCase> {};

TEST_P(SlotMaps, AgreeWithAReferenceMapThroughInsertsDeletesAndMoves) {
  const MapCase& c = GetParam();
  std::mt19937_64 rng(3);
  std::vector<uint64_t> ids;  // slot -> id, the store's own array
  std::vector<uint32_t> free;
  std::unordered_map<uint64_t, uint32_t> want;
  SlotMap map;
  auto id_of = [&](uint32_t s) { return ids[s]; };
  for (size_t op = 0; op < c.ops; ++op) {
    const uint64_t id = c.id_range ? rng() % c.id_range : rng();
    const auto found = map.find(id, id_of);
    auto it = want.find(id);
    ASSERT_EQ(found.has_value(), it != want.end()) << op;
    if (found) {
      ASSERT_EQ(*found, it->second);
    }
    switch (rng() % 3) {
      case 0:
      case 1:
        if (!found) {
          uint32_t s;
          if (!free.empty()) {
            s = free.back();
            free.pop_back();
          } else {
            s = static_cast<uint32_t>(ids.size());
            ids.push_back(0);
          }
          ids[s] = id;
          map.insert(id, s, id_of);
          want[id] = s;
        } else {
          ASSERT_EQ(map.erase(id, id_of), found);
          free.push_back(*found);
          want.erase(id);
        }
        break;
      default:
        if (found && !free.empty()) {  // the store moves the id to another slot
          const uint32_t to = free.back();
          free.back() = *found;
          ids[to] = id;
          map.move(id, to, id_of);
          want[id] = to;
        }
    }
    ASSERT_EQ(map.size(), want.size());
  }
  for (const auto& [id, s] : want) ASSERT_EQ(map.find(id, id_of), std::optional<uint32_t>(s)) << id;
  // Four bytes a cell, the table never more than 2.5 times the peak count.
  EXPECT_LE(map.memory_bytes(), std::max<size_t>(64, 10 * 4 * want.size()));
}

INSTANTIATE_TEST_SUITE_P(Maps, SlotMaps,
                         ::testing::Values(MapCase{"crowded", 300, 20'000}, MapCase{"sparse", 0, 20'000},
                                           MapCase{"tiny", 20, 2'000}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kovra

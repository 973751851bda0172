// Files of the graph index, all in the shared record encoding:
//  - graph record ("hnsw.graph", and the tail of the index file): node count,
//    then per node its key (u64: the node's id), vector (u64 length +
//    floats), neighbour lists (u64 count = level + 1, each a u64 length + u64
//    keys, list l being layer l) and level (u64); then the entry point's key
//    as an option of u64, m, m0, ef_construction (u64 each) and the level
//    multiplier (f64);
//  - index file: dimensions (u64), metric (u32 variant), ef_construction,
//    ef_search, m (u64 each), then the graph record;
//  - legacy index file (read only): the same header, then a u64 count of
//    (id u64, u64 length, floats) entries, from which the graph is rebuilt.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/index/hnsw.h"
#include "core/io/codec.h"

namespace kovra {

// A graph record as read, node by node in file order, in flat arrays: a
// record of a million nodes decodes without a million small allocations, and
// the arrays grow without copying (see GrowBuffer).
struct HnswGraphSnapshot {
  GrowBuffer<uint64_t> keys;        // node i's key
  FloatBuffer vectors;              // node i's vector at i * dimensions
  GrowBuffer<uint64_t> levels;      // node i's level
  GrowBuffer<uint64_t> node_lists;  // node i's lists are [node_lists[i], node_lists[i + 1])
  GrowBuffer<uint64_t> list_ends;   // list j's keys are links[list_ends[j - 1] (0 for j = 0), list_ends[j])
  GrowBuffer<uint64_t> links;
  // The first node that no graph of these dimensions can take (a vector of
  // another length, whose floats are not kept, or a level above 255).
  std::optional<std::string> fault;
  std::optional<uint64_t> entry_point;
  uint64_t m = 0;
  uint64_t m0 = 0;
  uint64_t ef_construction = 0;
  double level_multiplier = 0.0;

  size_t size() const { return keys.size(); }
  std::span<const uint64_t> list(size_t j) const {
    const uint64_t begin = j ? list_ends[j - 1] : 0;
    return {links.data() + begin, static_cast<size_t>(list_ends[j] - begin)};
  }
};

// Writes the graph record of `graph`: its live nodes in ascending id order,
// each list holding only links to live nodes.
void encode_graph(io::Encoder& enc, const HnswGraph& graph);
// Reads a graph record for a graph of `dimensions`.
Result<HnswGraphSnapshot> decode_graph(io::Decoder& dec, uint64_t dimensions);

// Rebuilds a graph of `dimensions` from a snapshot; links to keys that are
// not stored are dropped. Rejects (Serialization) a vector of another length,
// a link or entry point above the largest key, an entry point that is not
// stored, a level above 255, an m0 that the 16-bit counts cannot hold, and
// nodes without an entry point.
Result<HnswGraph> from_snapshot(HnswGraphSnapshot snapshot, uint64_t dimensions);

}  // namespace kovra

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
#include <utility>
#include <vector>

#include "core/index/hnsw.h"
#include "core/io/codec.h"

namespace kovra {

struct HnswNodeSnapshot {
  std::vector<float> vector;
  std::vector<std::vector<uint64_t>> neighbors;  // list l is the node's list on layer l
  uint64_t level = 0;
};

struct HnswGraphSnapshot {
  std::vector<std::pair<uint64_t, HnswNodeSnapshot>> nodes;  // keyed by id, any order
  std::optional<uint64_t> entry_point;
  uint64_t m = 0;
  uint64_t m0 = 0;
  uint64_t ef_construction = 0;
  double level_multiplier = 0.0;
};

// Writes the graph record of `graph`: its live nodes in ascending id order,
// each list holding only links to live nodes.
void encode_graph(io::Encoder& enc, const HnswGraph& graph);
Result<HnswGraphSnapshot> decode_graph(io::Decoder& dec);

// Rebuilds a graph of `dimensions` from a snapshot; links to keys that are
// not stored are dropped. Rejects (Serialization) a vector of another length,
// a link or entry point above the largest key, an entry point that is not
// stored, a level above 255, an m0 that the 16-bit counts cannot hold, and
// nodes without an entry point.
Result<HnswGraph> from_snapshot(HnswGraphSnapshot snapshot, uint64_t dimensions);

}  // namespace kovra

// Inputs that the graph index may legitimately refuse only by running out of
// memory. Its storage is one entry per node, each with room for m0 + 1
// layer-0 links. A file of a few hundred bytes can therefore name m0 = 65534
// and ask for gigabytes, exactly as the index in memory would with that m;
// that is the layout, not a decoding fault. The graph targets skip such inputs (decoded here the way the
// loader decodes them) so that the allocation limit keeps watching everything
// else.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "core/index/hnsw_io.h"
#include "core/io/codec.h"

namespace kovra::fuzz {

inline constexpr double kMaxGraphBytes = 64.0 * 1024 * 1024;

// Bytes of the slot arrays (with the ids, their map and a search's visited
// marks) for `slots` slots.
inline double graph_bytes(uint64_t slots, uint64_t dims, uint64_t m0) {
  const double per_slot = 4.0 * static_cast<double>(dims) + 4.0 * (static_cast<double>(m0) + 1) + 64.0;
  return static_cast<double>(slots) * per_slot;
}

// Each node of the file takes at most one slot.
inline bool graph_too_large(const HnswGraphSnapshot& snap, uint64_t dims) {
  return graph_bytes(snap.size(), dims, snap.m0) > kMaxGraphBytes;
}

// A graph file (the graph record alone) read into an index of `dims`.
inline bool graph_file_too_large(std::span<const uint8_t> data, uint64_t dims) {
  io::SpanSource source(data);
  io::Decoder dec(source);
  auto snap = decode_graph(dec, dims);
  return snap && graph_too_large(*snap, dims);
}

// An index file: the header, then the graph record; when that fails, the
// loader also reads the legacy layout, (id, vector) entries inserted one by
// one with m0 = 2 * m.
inline bool index_file_too_large(std::span<const uint8_t> data) {
  io::SpanSource source(data);
  io::Decoder dec(source);
  auto dims = dec.get_u64();
  if (!dims || !dec.get_enum(kMetricCount) || !dec.get_u64() || !dec.get_u64()) return false;
  auto m = dec.get_u64();
  if (!m) return false;
  const uint64_t header_end = dec.offset();
  if (auto snap = decode_graph(dec, *dims); snap && graph_too_large(*snap, *dims)) return true;

  io::SpanSource legacy_source(data.subspan(header_end));
  io::Decoder legacy(legacy_source);
  auto count = legacy.get_count();
  if (!count || *count == 0) return false;
  for (uint64_t i = 0; i < *count; ++i) {
    auto id = legacy.get_u64();
    if (!id) return false;
    auto vector = legacy.get_array<float>();
    if (!vector || vector->size() != *dims) return false;  // refused before inserting
  }
  return graph_bytes(*count, *dims, 2 * *m) > kMaxGraphBytes;
}

}  // namespace kovra::fuzz

// Graph checkpoints. "hnsw.graph" holds a collection's graph as it stood
// after the first L bytes of "wal.log", with L and a digest of those bytes,
// so that an open takes the graph over and re-inserts only what the log holds
// after them. The file is the graph record exactly as the index saves it,
// then a trailer of 48 bytes:
//   u64 graph bytes      (length of the record before the trailer)
//   u64 graph digest     (StreamHash of those bytes)
//   u64 log bytes L
//   u64 log digest       (StreamHash of the log's first L bytes)
//   u64 trailer digest   (StreamHash of the four fields above)
//   8 bytes "kvckpt01"
// Readers of the graph record ignore bytes after it, so the file still reads
// as a plain graph file. A checkpoint is only ever a shortcut: the log alone
// describes the collection, and one that does not match it changes nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/index/hnsw.h"

namespace kovra {

// The log prefix a checkpoint was taken after.
struct LogMark {
  uint64_t bytes = 0;
  uint64_t digest = 0;
  bool operator==(const LogMark&) const = default;
};

inline constexpr size_t kCheckpointTrailerSize = 48;

// Saves the index's graph under `tmp` with the trailer for `mark`, then
// renames it over `path`. A failure leaves `path` as it was and no `tmp`.
// The index must hold at least one vector (an empty graph is not saved).
Status write_graph_checkpoint(const VectorIndex& index, const std::string& path, const std::string& tmp,
                              const LogMark& mark);

struct GraphCheckpoint {
  HnswGraph graph;
  LogMark mark;
};

// The checkpoint at `path` for a graph of `dimensions`, or nullopt when there
// is none to trust: no file, no trailer (a graph saved without a binding), a
// digest that differs (a torn or damaged file), a record that does not decode
// or fails the graph's checks.
std::optional<GraphCheckpoint> read_graph_checkpoint(const std::string& path, uint64_t dimensions);

// The log prefix the checkpoint at `path` claims, from its trailer alone (the
// graph is neither read nor checked): what an open needs to start reading the
// log while the graph is decoded. read_graph_checkpoint still decides whether
// the checkpoint can be used.
std::optional<LogMark> read_checkpoint_mark(const std::string& path);

}  // namespace kovra

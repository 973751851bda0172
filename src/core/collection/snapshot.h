// Named snapshots of a collection: directories below the collection's
// "snapshots" directory, each holding a byte copy of "meta.json", a compacted
// "wal.log", "sparse.bin" when the collection held sparse vectors, and
// "snapshot.json" (written last: a snapshot without it is not listed).
//
// Restoring replaces the live files and needs the client's map, so it lives
// with the client (ClientState::restore_snapshot).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/collection/collection.h"

namespace kovra {

struct SnapshotMeta {
  std::string name;
  uint64_t created_at = 0;  // seconds since the Unix epoch
  uint64_t vector_count = 0;
  uint64_t sparse_count = 0;
  bool operator==(const SnapshotMeta&) const = default;
};

// The name as one plain path component: not empty, not ".", without "/",
// "\", NUL or "..". Otherwise InvalidConfig "invalid snapshot name: <name>".
Status check_snapshot_name(std::string_view name);
std::string snapshot_dir(const std::string& collection_dir, std::string_view name);
// The graph saved with a snapshot of a graph collection, beside (not inside)
// the snapshot's directory, so that a restore need not rebuild the graph.
// "<name>..hnsw.graph": no snapshot name holds "..", so it names no snapshot.
// The open takes it over only where it matches the restored log.
std::string snapshot_graph_path(const std::string& collection_dir, std::string_view name);

// Pretty JSON, keys in declaration order, no newline at the end.
// Serialization when the name is not valid UTF-8.
Result<std::string> snapshot_meta_to_json(const SnapshotMeta& meta);
// nullopt for anything but an object with the four keys of the right types
// (other keys are ignored).
std::optional<SnapshotMeta> parse_snapshot_meta(std::string_view text);

// Captures the collection's current state; the live collection and its files
// are left as they are.
Result<SnapshotMeta> create_snapshot(const Collection& collection, const std::string& name);
// Every readable snapshot, oldest first (a stable sort: equal times keep the
// directory's order). Snapshots whose "snapshot.json" does not parse are left
// out.
Result<std::vector<SnapshotMeta>> list_snapshots(const std::string& collection_dir);
Status delete_snapshot(const std::string& collection_dir, const std::string& name);

}  // namespace kovra

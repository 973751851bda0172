#include "core/collection/snapshot.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "core/collection/wal_format.h"
#include "core/io/file.h"

namespace kovra {
namespace {

constexpr char kSnapshotsDir[] = "snapshots";
constexpr char kSnapshotMetaFile[] = "snapshot.json";

// Writes a new file and syncs it with its directory. A short write is
// reported as Serialization by the file layer; here every failure is Io.
Status write_file(const std::string& path, std::string_view text) {
  auto written = io::write_new_file(
      path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  if (!written && written.error().kind() != ErrorKind::Io) return fail(Error::io_text(written.error().text()));
  return written;
}

// Whether anything (a dangling link included) is at `path`.
Result<bool> exists(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT) return false;
  return fail(Error::io(errno));
}

uint64_t seconds_now() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
}

}  // namespace

Status check_snapshot_name(std::string_view name) {
  bool valid = !name.empty() && name != "." &&
               name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos &&
               name.find("..") == std::string_view::npos;
  if (!valid) return fail(Error::invalid_config("invalid snapshot name: " + std::string(name)));
  return ok();
}

std::string snapshot_dir(const std::string& collection_dir, std::string_view name) {
  return collection_dir + "/" + kSnapshotsDir + "/" + std::string(name);
}

std::string snapshot_graph_path(const std::string& collection_dir, std::string_view name) {
  return snapshot_dir(collection_dir, name) + "..hnsw.graph";
}

Result<std::string> snapshot_meta_to_json(const SnapshotMeta& meta) {
  nlohmann::ordered_json j;
  j["name"] = meta.name;
  j["created_at"] = meta.created_at;
  j["vector_count"] = meta.vector_count;
  j["sparse_count"] = meta.sparse_count;
  try {
    return j.dump(2);
  } catch (const nlohmann::json::exception& e) {
    return fail(Error::serialization(e.what()));
  }
}

std::optional<SnapshotMeta> parse_snapshot_meta(std::string_view text) {
  auto value = parse_json_text(text);
  if (!value || !value->is_object()) return std::nullopt;
  auto name = value->find("name");
  if (name == value->end() || !name->is_string()) return std::nullopt;
  SnapshotMeta meta;
  meta.name = name->get<std::string>();
  for (auto [key, field] : {std::pair{"created_at", &meta.created_at}, std::pair{"vector_count", &meta.vector_count},
                            std::pair{"sparse_count", &meta.sparse_count}}) {
    auto it = value->find(key);
    if (it == value->end() || !it->is_number_unsigned()) return std::nullopt;
    *field = it->get<uint64_t>();
  }
  return meta;
}

Result<SnapshotMeta> create_snapshot(const Collection& collection, const std::string& name) {
  KOVRA_TRY(check_snapshot_name(name));
  const std::string dir = snapshot_dir(collection.dir(), name);
  KOVRA_ASSIGN_OR_RETURN(bool taken, exists(dir));
  if (taken) return fail(Error::snapshot_already_exists(name));
  KOVRA_TRY(io::create_directories(dir));
  std::error_code ec;
  std::filesystem::copy_file(collection.dir() + "/meta.json", dir + "/meta.json",
                             std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return fail(Error::io(ec.value()));
  KOVRA_TRY(io::sync_file(dir + "/meta.json"));

  SnapshotMeta meta;
  meta.name = name;
  KOVRA_ASSIGN_OR_RETURN(LogPosition log, collection.write_compacted_log(dir + "/" + wal::kLogTmpFile));
  meta.vector_count = log.records;
  KOVRA_TRY(io::replace_file(dir + "/" + wal::kLogTmpFile, dir + "/" + wal::kLogFile));
  meta.sparse_count = collection.sparse_count();
  if (meta.sparse_count > 0) {
    KOVRA_TRY(collection.sparse().save(dir + "/sparse.bin"));
    KOVRA_TRY(io::sync_file(dir + "/sparse.bin"));
  }
  if (collection.meta().index_type == IndexType::Hnsw && collection.count() > 0) {
    // Bound to the snapshot's own log, so that a restore takes it over.
    const std::string graph = snapshot_graph_path(collection.dir(), name);
    KOVRA_TRY(write_graph_checkpoint(collection.index(), graph, graph + ".tmp",
                                     LogMark{log.bytes, log.hash.digest()}));
  }
  meta.created_at = seconds_now();
  KOVRA_ASSIGN_OR_RETURN(std::string text, snapshot_meta_to_json(meta));
  // Written last and synced with its directory only after every other file
  // of the snapshot: a listed snapshot is a whole one, after any crash.
  KOVRA_TRY(io::sync_dir(dir));
  KOVRA_TRY(write_file(dir + "/" + kSnapshotMetaFile, text));
  return meta;
}

Result<std::vector<SnapshotMeta>> list_snapshots(const std::string& collection_dir) {
  const std::string root = collection_dir + "/" + kSnapshotsDir;
  std::vector<SnapshotMeta> out;
  KOVRA_ASSIGN_OR_RETURN(bool any, exists(root));
  if (!any) return out;
  DIR* dir = ::opendir(root.c_str());
  if (!dir) return fail(Error::io(errno));
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(dir);
    if (!entry) {
      if (errno != 0) return fail(Error::io(errno));
      break;
    }
    std::string_view file = entry->d_name;
    if (file == "." || file == "..") continue;
    const std::string path = root + "/" + std::string(file);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;  // a dangling link, or gone meanwhile
      return fail(Error::io(errno));
    }
    if (!S_ISDIR(st.st_mode)) continue;
    const std::string meta_path = path + "/" + kSnapshotMetaFile;
    KOVRA_ASSIGN_OR_RETURN(bool described, exists(meta_path));
    if (!described) continue;
    auto bytes = io::read_whole_file(meta_path);
    if (!bytes) {
      if (bytes.error().kind() == ErrorKind::Io) return fail(bytes.error());
      return fail(Error::io_text(bytes.error().text()));
    }
    auto meta = parse_snapshot_meta(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    if (meta) out.push_back(std::move(*meta));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const SnapshotMeta& a, const SnapshotMeta& b) { return a.created_at < b.created_at; });
  return out;
}

Status delete_snapshot(const std::string& collection_dir, const std::string& name) {
  KOVRA_TRY(check_snapshot_name(name));
  const std::string dir = snapshot_dir(collection_dir, name);
  KOVRA_ASSIGN_OR_RETURN(bool found, exists(dir));
  if (!found) return fail(Error::snapshot_not_found(name));
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (ec) return fail(Error::io(ec.value()));
  std::filesystem::remove(snapshot_graph_path(collection_dir, name), ec);
  if (ec) return fail(Error::io(ec.value()));
  // A deleted snapshot must not come back after a power cut.
  KOVRA_TRY(io::sync_dir(collection_dir + "/" + kSnapshotsDir));
  return io::sync_dir(collection_dir);
}

}  // namespace kovra

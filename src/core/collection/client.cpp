#include "core/collection/client.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "core/collection/meta.h"
#include "core/collection/snapshot.h"
#include "core/collection/wal_format.h"
#include "core/io/file.h"

namespace kovra {
namespace {

// Live client states by the real path of their directory.
std::mutex g_registry_mutex;
std::unordered_map<std::string, std::weak_ptr<ClientState>> g_registry;

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool valid_collection_name(std::string_view name) {
  if (name.empty() || name == ".") return false;
  if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) return false;
  return name.find("..") == std::string_view::npos;
}

std::string invalid_collection_name_message(std::string_view name) {
  std::string out = "invalid collection name: ";
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;  // UTF-8 bytes of printable characters pass as they are
    }
  }
  return out;
}

Result<std::shared_ptr<ClientState>> ClientState::open(const std::string& data_dir) {
  KOVRA_TRY(io::create_directories(data_dir));
  char real[PATH_MAX];
  if (!::realpath(data_dir.c_str(), real)) return fail(Error::io(errno));

  std::lock_guard<std::mutex> registry(g_registry_mutex);
  auto it = g_registry.find(real);
  if (it != g_registry.end()) {
    if (auto live = it->second.lock()) return live;
  }

  auto state = std::shared_ptr<ClientState>(new ClientState());
  state->data_dir_ = data_dir;
  state->real_dir_ = real;
  state->lock_fd_ = ::open(real, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (state->lock_fd_ < 0) return fail(Error::io(errno));
  if (::flock(state->lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return fail(Error::io_text("data directory '" + data_dir +
                                 "' is in use: another process holds it open"));
    }
    return fail(Error::io(errno));
  }
  KOVRA_TRY(state->scan());
  g_registry[real] = state;
  state->registered_ = true;
  return state;
}

ClientState::~ClientState() {
  collections_.clear();  // flushes and closes every log before the lock goes
  if (lock_fd_ >= 0) ::close(lock_fd_);
  // A state that failed to open is dropped while the registry is locked.
  if (!registered_) return;
  std::lock_guard<std::mutex> registry(g_registry_mutex);
  auto it = g_registry.find(real_dir_);
  if (it != g_registry.end() && it->second.expired()) g_registry.erase(it);
}

void ClientState::checkpoint_open_clients() {
  std::vector<std::shared_ptr<ClientState>> open;
  {
    std::lock_guard<std::mutex> registry(g_registry_mutex);
    for (const auto& [dir, weak] : g_registry)
      if (auto state = weak.lock()) open.push_back(std::move(state));
  }
  // Outside the registry lock: the last reference may go here, and the
  // destructor takes that lock.
  for (const auto& state : open) {
    std::unique_lock lock(state->mutex_, std::try_to_lock);
    if (!lock.owns_lock() || state->poisoned_) continue;
    for (const auto& [name, entry] : state->collections_)
      if (entry->collection) (void)entry->collection->checkpoint();
  }
}

void ClientState::check_poison() const {
  if (poisoned_) {
    internal_failure("the client's lock is poisoned: an earlier operation failed while holding it");
  }
}

Status ClientState::scan() {
  DIR* dir = ::opendir(data_dir_.c_str());
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
    std::string path = data_dir_ + "/" + std::string(file);
    if (!is_directory(path) || !io::file_exists(path + "/meta.json")) continue;
    // A collection whose metadata does not read stays on disk untouched,
    // unlisted; its log waits for the first use.
    auto meta = read_meta(path);
    if (!meta || !valid_collection_name(meta->name)) continue;
    add_entry(meta->name, std::move(path));
  }
  return ok();
}

ClientState::Entry& ClientState::add_entry(const std::string& name, std::string dir) {
  auto entry = std::make_unique<Entry>();
  entry->dir = std::move(dir);
  Entry& out = *entry;
  collections_.insert_or_assign(name, std::move(entry));
  return out;
}

Collection* ClientState::find(const std::string& name) const {
  auto it = collections_.find(name);
  if (it == collections_.end()) return nullptr;
  Entry& entry = *it->second;
  if (Collection* ready = entry.ready.load(std::memory_order_acquire)) return ready;
  std::lock_guard<std::mutex> opening(open_mutex_);
  if (entry.collection) return entry.collection.get();
  if (entry.failed.load(std::memory_order_relaxed)) return nullptr;
  // A collection that fails to open stays on disk untouched and leaves the
  // listing, as if it had never been there.
  auto opened = Collection::open(entry.dir);
  if (!opened) {
    entry.failed.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  entry.collection = std::move(*opened);
  entry.ready.store(entry.collection.get(), std::memory_order_release);
  return entry.collection.get();
}

size_t ClientState::collection_count() const {
  size_t n = 0;
  for (const auto& [name, entry] : collections_) n += !entry->failed.load(std::memory_order_relaxed);
  return n;
}

Status ClientState::create_collection(const std::string& name, uint64_t dimensions, Metric metric,
                                      IndexType type) {
  auto it = collections_.find(name);
  if (it != collections_.end() && !it->second->failed) return fail(Error::collection_already_exists(name));
  KOVRA_ASSIGN_OR_RETURN(auto collection, Collection::create(data_dir_, name, dimensions, metric, type));
  Entry& entry = add_entry(name, collection->dir());
  entry.collection = std::move(collection);
  entry.ready.store(entry.collection.get(), std::memory_order_release);
  return ok();
}

Result<bool> ClientState::delete_collection(const std::string& name) {
  auto it = collections_.find(name);
  if (it == collections_.end() || it->second->failed) return false;
  std::string dir = it->second->dir;
  // Its files go with it: closing the log first keeps the drop from saving
  // a checkpoint into the directory about to be removed.
  if (it->second->collection) (void)it->second->collection->close_log();
  collections_.erase(it);
  if (is_directory(dir)) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (ec) return fail(Error::io(ec.value()));
    // A deleted collection must not come back after a power cut.
    KOVRA_TRY(io::sync_dir(data_dir_));
  }
  return true;
}

namespace {

// The files a restore replaces, staged as "<file>.tmp" in the collection
// directory. "wal.log" comes first: its rename is the first replacement.
struct StagedRestore {
  std::string dir;
  std::vector<std::string> files;  // staged, in rename order
  bool has_sparse = false;
  bool has_graph = false;

  std::string live(const std::string& file) const { return dir + "/" + file; }
  std::string temp(const std::string& file) const { return dir + "/" + file + ".tmp"; }
  void discard() const {
    for (const auto& file : files) ::unlink(temp(file).c_str());
  }
};

Status copy_file(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return fail(Error::io(ec.value()));
  return ok();
}

// Checks the snapshot and copies its files beside the live ones; nothing
// live is touched. On failure the copies made so far are removed.
Result<StagedRestore> stage_restore(const std::string& dir, const std::string& name) {
  KOVRA_TRY(check_snapshot_name(name));
  const std::string from = snapshot_dir(dir, name);
  std::error_code ec;
  auto status = std::filesystem::symlink_status(from, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) return fail(Error::io(ec.value()));
  if (!std::filesystem::exists(status)) return fail(Error::snapshot_not_found(name));
  // Metadata that does not read would leave a collection that cannot open.
  KOVRA_TRY(read_meta(from));

  StagedRestore staged;
  staged.dir = dir;
  staged.has_sparse = io::file_exists(from + "/sparse.bin");
  std::vector<std::string> files = {wal::kLogFile, "meta.json"};
  if (staged.has_sparse) files.push_back("sparse.bin");
  // The live "sparse.bin" and "hnsw.graph" are only ever replaced by renames,
  // never written in place, so a second name for the snapshot's file serves
  // as well as a copy. The log is appended to and "meta.json" may be
  // rewritten in place: those get copies of their own.
  auto stage = [&](const std::string& source, const std::string& file) -> Status {
    staged.files.push_back(file);
    const std::string temp = staged.temp(file);
    (void)::unlink(temp.c_str());
    const bool shareable = file == "sparse.bin" || file == "hnsw.graph";
    if (shareable && ::link(source.c_str(), temp.c_str()) == 0) return ok();
    return copy_file(source, temp);
  };
  for (const auto& file : files) {
    if (Status st = stage(from + "/" + file, file); !st) {
      staged.discard();
      return fail(st.error());
    }
  }
  const std::string graph = snapshot_graph_path(dir, name);
  if (io::file_exists(graph)) {
    staged.has_graph = true;
    if (Status st = stage(graph, "hnsw.graph"); !st) {
      staged.discard();
      return fail(st.error());
    }
  }
  return staged;
}

Status remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail(Error::io(errno));
  return ok();
}

// Everything after the first replacement: the other renames, the removal of
// a "sparse.bin" the snapshot does not have, and of the saved graph, which
// belongs to the replaced log.
Status finish_restore(const StagedRestore& staged) {
  for (size_t i = 1; i < staged.files.size(); ++i) {
    const std::string& file = staged.files[i];
    if (Status renamed = io::replace_file(staged.temp(file), staged.live(file)); !renamed) {
      for (size_t j = i; j < staged.files.size(); ++j) ::unlink(staged.temp(staged.files[j]).c_str());
      return renamed;
    }
  }
  if (!staged.has_sparse) KOVRA_TRY(remove_file(staged.live("sparse.bin")));
  if (!staged.has_graph) KOVRA_TRY(remove_file(staged.live("hnsw.graph")));
  // The removals, like the renames, must reach the disk.
  return io::sync_dir(staged.dir);
}

}  // namespace

Status ClientState::restore_snapshot(const std::string& collection, const std::string& snapshot) {
  Collection* opened = find(collection);
  if (!opened) return fail(Error::collection_not_found(collection));
  auto it = collections_.find(collection);
  Collection& live = *opened;
  const std::string dir = live.dir();
  KOVRA_ASSIGN_OR_RETURN(StagedRestore staged, stage_restore(dir, snapshot));
  // Whatever the log writer still holds reaches the file it belongs to before
  // that file is replaced.
  Status replaced = live.close_log();
  if (replaced) replaced = io::replace_file(staged.temp(wal::kLogFile), staged.live(wal::kLogFile));
  if (!replaced) {
    staged.discard();
    (void)live.ensure_log();
    return replaced;
  }

  Status rest = finish_restore(staged);
  // The old state goes before the directory is opened again: nothing of it
  // may write to the restored files.
  collections_.erase(it);
  auto reopened = Collection::open(dir);
  if (reopened) {
    Entry& entry = add_entry(collection, dir);
    entry.collection = std::move(*reopened);
    entry.ready.store(entry.collection.get(), std::memory_order_release);
  }
  if (!rest) return rest;
  if (!reopened) return fail(reopened.error());
  return ok();
}

std::vector<std::string> ClientState::names() const {
  std::vector<std::string> out;
  out.reserve(collections_.size());
  for (const auto& [name, entry] : collections_)
    if (!entry->failed.load(std::memory_order_relaxed)) out.push_back(name);
  return out;
}

}  // namespace kovra

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
  return "invalid collection name: " + std::string(name);
}

Result<std::shared_ptr<ClientState>> ClientState::open(const std::string& data_dir) {
  std::error_code ec;
  std::filesystem::create_directories(data_dir, ec);
  if (ec) return fail(Error::io(ec.value()));
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
    // A collection that fails to open stays on disk untouched, unlisted.
    auto opened = Collection::open(path);
    if (!opened) continue;
    std::string name = (*opened)->meta().name;
    if (!valid_collection_name(name)) continue;
    collections_.insert_or_assign(std::move(name), std::move(*opened));
  }
  return ok();
}

Collection* ClientState::find(const std::string& name) const {
  auto it = collections_.find(name);
  return it == collections_.end() ? nullptr : it->second.get();
}

Status ClientState::create_collection(const std::string& name, uint64_t dimensions, Metric metric,
                                      IndexType type) {
  if (collections_.contains(name)) return fail(Error::collection_already_exists(name));
  KOVRA_ASSIGN_OR_RETURN(auto collection, Collection::create(data_dir_, name, dimensions, metric, type));
  collections_.emplace(name, std::move(collection));
  return ok();
}

Result<bool> ClientState::delete_collection(const std::string& name) {
  auto it = collections_.find(name);
  if (it == collections_.end()) return false;
  std::string dir = it->second->dir();
  collections_.erase(it);
  if (is_directory(dir)) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (ec) return fail(Error::io(ec.value()));
  }
  return true;
}

std::vector<std::string> ClientState::names() const {
  std::vector<std::string> out;
  out.reserve(collections_.size());
  for (const auto& [name, c] : collections_) out.push_back(name);
  return out;
}

}  // namespace kovra

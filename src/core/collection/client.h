// The database: one data directory and every collection opened from it,
// guarded by one fair reader-writer lock (fair_lock.h). Within a process,
// clients of the same directory share one state, so one log never has two
// writers; across processes, an advisory lock on the directory keeps a second
// owner out.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>  // std::shared_lock
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/fair_lock.h"

namespace kovra {

// A name that is one plain path component: not empty, not ".", without "/",
// "\", NUL or "..".
bool valid_collection_name(std::string_view name);
// "invalid collection name: <name>", with the name's backslashes and ASCII
// control characters escaped as Python's repr escapes them: a backslash
// doubled, \t, \n and \r, other control characters as \xNN. The message
// then shows every character of the name (a NUL would end it wherever it is
// handed on as a C string), and no escape reads as characters of the name.
std::string invalid_collection_name_message(std::string_view name);

class ClientState {
 public:
  // Opens (creating it if needed) the directory and lists the collections in
  // it by their metadata; returns the live state of a client of the same
  // directory if there is one. A collection's log is read the first time the
  // collection is asked for (find), so a client over many collections opens
  // at the cost of their "meta.json" files, not of their logs.
  static Result<std::shared_ptr<ClientState>> open(const std::string& data_dir);
  ~ClientState();
  ClientState(const ClientState&) = delete;
  ClientState& operator=(const ClientState&) = delete;

  const std::string& data_dir() const { return data_dir_; }

  // Runs `fn(state)` under the write lock. An unrecoverable failure thrown
  // while the lock is held poisons it; every later locked call then fails.
  template <class Fn>
  auto write(Fn&& fn) {
    std::unique_lock lock(mutex_);
    check_poison();
    try {
      return fn(*this);
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }
  template <class Fn>
  auto read(Fn&& fn) const {
    std::shared_lock lock(mutex_);
    check_poison();
    return fn(*this);
  }

  // These run under the lock taken by write() or read().
  // Opens the collection on its first use; nullptr when there is none, or
  // when it fails to open (it then leaves the listing, its files untouched).
  Collection* find(const std::string& name) const;
  // The caller has checked the name; CollectionAlreadyExists if taken.
  Status create_collection(const std::string& name, uint64_t dimensions, Metric metric, IndexType type);
  Result<bool> delete_collection(const std::string& name);
  // Rolls the collection back to a snapshot. The live log is closed and the
  // snapshot's files are copied beside the live ones before the first of them
  // is renamed over its original: a failure up to then changes nothing. From
  // the first rename on, the collection is opened again from whatever its
  // directory holds, so that memory never differs from disk; if that open
  // fails, the collection leaves the map (its directory stays for repair).
  Status restore_snapshot(const std::string& collection, const std::string& snapshot);
  std::vector<std::string> names() const;
  size_t collection_count() const;

  // Saves the graph checkpoint of every collection of every client still
  // open in this process, for the end of the process: what is never dropped
  // would otherwise leave its whole log tail to the next open. A client whose
  // lock is held (a thread still in a call) is passed over, never waited for.
  static void checkpoint_open_clients();

 private:
  ClientState() = default;
  void check_poison() const;
  Status scan();

  std::string data_dir_;
  std::string real_dir_;
  int lock_fd_ = -1;
  bool registered_ = false;
  mutable FairSharedMutex mutex_;
  bool poisoned_ = false;
  // A listed collection: opened on first use. Under the shared lock several
  // readers may ask for it at once; `open_mutex_` lets one of them open it,
  // and `ready` publishes the result to the others without that mutex.
  struct Entry {
    std::string dir;
    std::unique_ptr<Collection> collection;
    std::atomic<Collection*> ready{nullptr};
    std::atomic<bool> failed{false};
  };
  Entry& add_entry(const std::string& name, std::string dir);

  mutable std::mutex open_mutex_;
  std::unordered_map<std::string, std::unique_ptr<Entry>> collections_;
};

}  // namespace kovra

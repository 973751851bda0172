// The write-ahead log of one collection: appending records, replaying them at
// open, and the file handle that compaction swaps. Framing in wal_format.h.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/index/vector_index.h"
#include "core/io/codec.h"
#include "core/io/hash.h"

namespace kovra {

// One decoded entry, viewing the body it came from (valid during the visit).
struct WalEntryView {
  bool is_add = false;
  VectorId id = 0;
  std::span<const float> vector;                     // Add only
  std::optional<std::string_view> payload;           // compact JSON text
  std::optional<std::span<const uint8_t>> sparse;    // an encoded sparse vector
  uint64_t end = 0;                                  // offset just past the record (set by replay)
};

// How far a log reaches: its length, its whole records, and the running hash
// of its bytes, from which a checkpoint's binding is taken.
struct LogPosition {
  uint64_t bytes = 0;
  uint64_t records = 0;
  io::StreamHash hash;
  bool known = true;  // false when the file holds bytes the hash has not seen
};

// Decodes one record body. nullopt when it does not decode: shorter than its
// variant needs, an unknown variant, a count running past the end, an option
// tag other than 0 or 1. Bytes after the entry are ignored. `floats` is the
// caller's reusable storage for the vector.
std::optional<WalEntryView> decode_wal_body(std::span<const uint8_t> body, std::vector<float>& floats);

struct WalReplayStats {
  uint64_t records = 0;    // whole records read, decodable or not
  uint64_t valid_end = 0;  // offset just past the last whole record
  bool torn = false;       // stopped early: a short length or body, or an oversized length
  LogPosition end;         // at valid_end: the hash covers exactly the whole records
  // When a mark was asked for and a record ends exactly there: the digest of
  // the bytes before it and the records they hold.
  std::optional<uint64_t> mark_digest;
  uint64_t mark_records = 0;
};

using WalVisitor = std::function<void(const WalEntryView&)>;

// Replays the log at `path` through an 8192-byte buffered reader, handing
// every decodable record to `visit` in file order. A missing file replays
// nothing. A read error other than the end of the file is Io. With a `mark`,
// the stats tell the digest of the first `mark` bytes if a record ends there.
Result<WalReplayStats> replay_wal(const std::string& path, const WalVisitor& visit,
                                  std::optional<uint64_t> mark = std::nullopt);
// The same over an in-memory image.
WalReplayStats replay_wal_bytes(std::span<const uint8_t> bytes, const WalVisitor& visit);

// Appends records to the log. Records collect in memory until flush() hands
// them to the operating system in one write; a flush that fails cuts the file
// back to where it stood before, so no torn record is left behind for the
// records that follow to be swallowed by.
class WalWriter {
 public:
  ~WalWriter();
  WalWriter(const WalWriter&) = delete;
  WalWriter& operator=(const WalWriter&) = delete;

  // Opens for appending (created if missing). When `keep` is given and the
  // file is longer, it is first cut back to `keep` bytes: a torn tail must not
  // precede new records. `at` is what the caller knows of the file's bytes
  // (from the replay, or from the writer that wrote them); the position goes
  // on from there. Without it, a file that holds bytes has no known position.
  static Result<std::unique_ptr<WalWriter>> open_append(const std::string& path, std::optional<uint64_t> keep,
                                                        const LogPosition& at = LogPosition());
  // Creates or truncates, for a rewrite under a temporary name.
  static Result<std::unique_ptr<WalWriter>> create(const std::string& path);

  void append_add(VectorId id, std::span<const float> vector, const std::string* payload,
                  const std::vector<uint8_t>* sparse);
  void append_delete(VectorId id);
  // Writes what was appended since the last flush. Io on failure, with the
  // file back at its earlier length and the records dropped.
  Status flush();
  // Drops records appended since the last flush.
  void discard() {
    buf_.clear();
    pending_records_ = 0;
  }
  // Flushes and closes; reports a failure.
  Status close();
  uint64_t pending_bytes() const { return buf_.size(); }
  // The file as flushed so far.
  const LogPosition& position() const { return pos_; }
  // The open file, for LogSync; -1 once closed.
  int fd() const { return fd_; }

 private:
  WalWriter() = default;
  template <class T>
  void put(const T& v) {
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    buf_.insert(buf_.end(), p, p + sizeof(T));
  }

  int fd_ = -1;
  LogPosition pos_;  // the file after the last successful flush
  uint64_t pending_records_ = 0;
  std::vector<uint8_t> buf_;
};

// Group commit for one collection's log. A write that must reach the disk
// before it returns takes a ticket right after its records were handed to the
// file, while the client's write lock is still held, and waits for it after
// the lock is released. One fdatasync covers every record handed over before
// it started, so the writers that queue up while one sync runs share the next
// one instead of syncing one after another.
//
// Syncing the file now at the log's path covers every record ever handed
// over: a compaction syncs the file that replaces the log before renaming it.
class LogSync {
 public:
  LogSync() = default;
  LogSync(const LogSync&) = delete;
  LogSync& operator=(const LogSync&) = delete;

  // Under the client's write lock, after a write handed its records to the
  // log open as `fd`. Io if the file cannot be examined.
  Result<uint64_t> ticket(int fd);
  // Without the client's lock: returns once the records handed over before
  // `ticket` was taken are on the disk. Io if a sync fails; once one has
  // failed, every later wait on the same file fails too (the kernel may have
  // dropped the pages it could not write, so a later success proves nothing).
  Status wait(uint64_t ticket);
  // Syncs completed so far.
  uint64_t syncs() const;

 private:
  struct File {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    int error = 0;  // errno of the first failed sync
    ~File();
  };

  mutable std::mutex mutex_;
  std::condition_variable done_;
  std::shared_ptr<File> file_;
  uint64_t issued_ = 0;   // last ticket handed out
  uint64_t durable_ = 0;  // every ticket up to this one is on the disk
  bool syncing_ = false;
  uint64_t syncs_ = 0;
};

}  // namespace kovra

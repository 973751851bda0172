// One open collection: its metadata, log, dense index, payloads and sparse
// vectors, and the operations on them. Every write is logged and flushed
// before it is applied; the log alone describes the collection, and the graph
// checkpoint written beside it is only used where it provably agrees with it
// (see checkpoint.h).
//
// A collection has no lock of its own: the client's lock guards it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/collection/checkpoint.h"
#include "core/collection/filter.h"
#include "core/collection/meta.h"
#include "core/collection/payload.h"
#include "core/collection/payload_table.h"
#include "core/collection/sparse.h"
#include "core/collection/wal.h"
#include "core/index/batch_search.h"
#include "core/index/hnsw.h"
#include "core/index/vector_index.h"

namespace kovra {

// Vectors waiting to go into a graph at the end of a replay: the latest
// vector of each id, in the order the ids first appeared.
class PendingRows {
 public:
  explicit PendingRows(size_t dimensions) : dimensions_(dimensions) {}
  void put(VectorId id, const float* row) {
    auto [it, fresh] = at_.try_emplace(id, ids_.size());
    if (fresh) {
      ids_.push_back(id);
      rows_.resize(rows_.size() + dimensions_);
    }
    std::memcpy(rows_.data() + it->second * dimensions_, row, dimensions_ * sizeof(float));
    if (!fresh) live_[it->second] = 1;
    else live_.push_back(1);
  }
  void erase(VectorId id) {
    auto it = at_.find(id);
    if (it == at_.end()) return;
    live_[it->second] = 0;
  }
  bool empty() const { return ids_.empty(); }
  // The live ids and their rows, packed.
  std::pair<std::vector<VectorId>, std::vector<float>> take() {
    std::vector<VectorId> ids;
    std::vector<float> rows;
    ids.reserve(ids_.size());
    rows.reserve(rows_.size());
    for (size_t i = 0; i < ids_.size(); ++i) {
      if (!live_[i]) continue;
      ids.push_back(ids_[i]);
      rows.insert(rows.end(), rows_.begin() + i * dimensions_, rows_.begin() + (i + 1) * dimensions_);
    }
    return {std::move(ids), std::move(rows)};
  }

 private:
  size_t dimensions_;
  std::unordered_map<VectorId, size_t> at_;
  std::vector<VectorId> ids_;
  std::vector<float> rows_;
  std::vector<uint8_t> live_;
};


// One upsert, prepared before any lock is taken: the payload's log text and
// the sparse vector's encoding are computed by prepare().
struct UpsertItem {
  VectorId id = 0;
  std::vector<float> vector;          // the item's own vector, or
  std::span<const float> borrowed;    // a row of the caller's block, alive for the call
  std::span<const float> values() const { return borrowed.data() ? borrowed : std::span<const float>(vector); }
  std::optional<JsonValue> payload;
  std::optional<SparseVector> sparse;
  std::string payload_text;         // compact JSON of `payload`
  std::vector<uint8_t> sparse_bytes;  // encoding of `sparse`

  void prepare();
  // Body length of the item's log record.
  uint64_t record_size() const;
};

// The message of a write whose log record would be larger than replay reads,
// or nullopt when it fits.
std::optional<std::string> oversized_record_message(uint64_t record_size);

struct CollectionHit {
  VectorId id;
  float distance;
  SharedPayload payload;  // null when the vector has none
};

// What a write waits on, after the client's lock is released, until its log
// records are on the disk.
struct DurableTicket {
  std::shared_ptr<LogSync> sync;
  uint64_t ticket = 0;
  Status wait() const { return sync->wait(ticket); }
};

struct HybridHit {
  VectorId id;
  float score;
  float dense_distance;
  float sparse_score;
  SharedPayload payload;  // null when the vector has none
};

// A stored vector and its payload, as get reads them back.
struct CollectionRecord {
  VectorId id;
  std::vector<float> vector;  // as stored (decoded for the compressed types); empty when not asked for
  SharedPayload payload;      // null when the vector has none
};

class Collection {
 public:
  ~Collection();
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  // Opens the collection stored in `dir`.
  static Result<std::unique_ptr<Collection>> open(const std::string& dir);
  // Creates `data_dir`/`name` (reusing an existing directory) with fresh
  // metadata and an empty log.
  static Result<std::unique_ptr<Collection>> create(const std::string& data_dir, const std::string& name,
                                                    uint64_t dimensions, Metric metric, IndexType type);

  Status upsert(UpsertItem item);
  // Entries before the first one the index would reject are logged and
  // applied; that entry's error is returned and nothing after it is stored.
  Status upsert_batch(std::vector<UpsertItem> items);
  Result<bool> remove(VectorId id);
  // Nearest vectors with a copy of their payloads. With a filter, the k
  // nearest of the vectors whose payload matches (all of them when fewer
  // match): the matches are found in the payload table, then either scored
  // directly, when they are few, or met by searches of the index that widen
  // until k of them are found.
  Result<std::vector<CollectionHit>> search(std::span<const float> query, size_t k,
                                            const FilterCondition* filter) const;
  // Dense and sparse candidates (10 k of each), their scores scaled to the
  // pool's range and summed with the weights. The filter applies after the
  // pools are formed; when they hold fewer than k matches, the pools are
  // formed again from matching vectors only.
  Result<std::vector<HybridHit>> search_hybrid(std::span<const float> dense_query, const SparseVector& sparse_query,
                                               size_t k, float dense_weight, float sparse_weight,
                                               const FilterCondition* filter) const;
  // Row i of `out` is search_hybrid of dense row i and sparse query i, the
  // rows shared among `num_threads` workers (0 = default count). On failure,
  // the error of the lowest failing row.
  Status search_hybrid_batch(const QueryBlock& dense_queries, std::span<const SparseVector> sparse_queries, size_t k,
                             float dense_weight, float sparse_weight, const FilterCondition* filter,
                             size_t num_threads, std::vector<std::vector<HybridHit>>& out) const;

  // The records of `ids`, in the order asked; empty for an id not stored.
  std::vector<std::optional<CollectionRecord>> get_batch(std::span<const VectorId> ids, bool with_vectors) const;
  // The live ids, ascending; with a filter, those whose payload matches.
  std::vector<VectorId> ids(const FilterCondition* filter) const;
  size_t count_where(const FilterCondition& filter) const { return payloads_.select(filter).count; }
  // Deletes the ids that are stored, as one write (one flush of the log);
  // returns how many were.
  Result<size_t> delete_batch(std::span<const VectorId> ids);
  Result<size_t> delete_where(const FilterCondition& filter);
  // Replaces the payload of a stored vector (none removes it): logged as an
  // Add of the stored vector with the new payload. False when `id` is absent.
  Result<bool> set_payload(VectorId id, std::optional<JsonValue> payload);
  // Every row of the block answered as search() answers it, on `num_threads`
  // workers (0 = default count).
  Status search_batch(const QueryBlock& queries, const FilterCondition* filter, size_t num_threads,
                      const BatchOutput& out) const;

  size_t count() const { return index_->len(); }
  size_t sparse_count() const { return sparse_.count(); }
  const CollectionMeta& meta() const { return meta_; }
  const std::string& dir() const { return dir_; }
  const VectorIndex& index() const { return *index_; }
  const SparseStore& sparse() const { return sparse_; }
  const JsonValue* payload(VectorId id) const { return payloads_.get(id); }
  SharedPayload shared_payload(VectorId id) const { return payloads_.shared(id); }
  const PayloadTable& payloads() const { return payloads_; }
  // Records appended since the open or the last compaction check.
  uint64_t entry_count() const { return entry_count_; }
  // The log as flushed so far.
  const LogPosition& log_position() const { return log_ ? log_->position() : log_pos_; }
  // The log prefix the graph checkpoint on disk was taken after (or taken
  // over at the open); none (0 bytes) when there is none.
  const LogMark& checkpoint_mark() const { return checkpoint_; }

  // The compaction check, run every wal_compact_threshold writes: the log is
  // rewritten only when its dead records (overwritten or deleted vectors and
  // delete records) are at least as many as its live vectors; otherwise the
  // graph checkpoint and "sparse.bin" are saved. Either way the write count
  // starts again.
  Status maintain_log();
  // Rewrites the log as one Add per live vector; saves the graph checkpoint
  // and "sparse.bin" (or removes a stale "sparse.bin").
  Status compact();
  // Saves the graph as of the log's current end through a temporary name and
  // a rename, unless the checkpoint on disk is already that one. Nothing to
  // do for indexes without a graph.
  Status checkpoint();
  // Writes one Add per live vector, with its payload and sparse vector, to a
  // new log at `path`; returns where that log ends (its record count among
  // it). A failed write leaves no file behind.
  Result<LogPosition> write_compacted_log(const std::string& path) const;

  // Under the client's write lock, right after a write that succeeded: the
  // ticket that covers its log records (group commit, LogSync).
  Result<DurableTicket> durable_ticket();

  // Flushes and closes the log, so that its file can be replaced; a
  // collection dropped with its log closed writes no checkpoint. The next
  // write (or ensure_log) opens it again.
  Status close_log();
  // Opens the log for appending unless it is open.
  Status ensure_log();

 private:
  Collection() = default;
  // What the index would reject, checked before the record is logged.
  Status check_upsert(const UpsertItem& item) const;
  Status apply_upsert(UpsertItem& item);
  void append(const UpsertItem& item);
  void apply_entry(const WalEntryView& e);
  void apply_payload_and_sparse(const WalEntryView& e);
  Status replay();
  // One pass over the log. Records ending within the first `prefix` bytes
  // (those a taken-over checkpoint already holds) set payloads and sparse
  // vectors only.
  // What the records past a checkpoint do to the graph: every id they write
  // leaves it, and the last vector of each id still live goes back in.
  struct Tail {
    explicit Tail(size_t dimensions) : rows(dimensions) {}
    std::vector<VectorId> touched;
    PendingRows rows;
  };
  // Reads the log into the payloads and sparse vectors, and into the index:
  // the records past `prefix` only, for a graph (into `tail` when given, to
  // be applied by apply_tail once the graph is in place).
  Result<WalReplayStats> replay_records(std::optional<LogMark> prefix, Tail* tail = nullptr);
  Status apply_tail(Tail& tail);
  // Whether the log has grown enough past the last checkpoint to save a new one.
  bool checkpoint_due() const;
  // Saves "sparse.bin" through a temporary name, or removes it when no
  // sparse vector is left.
  Status save_sparse_file() const;
  // Compaction check, then (after upserts) the promotion check.
  Status after_write(bool upsert);
  Status maybe_promote();
  // The filtered search: the k nearest among `rows` of the payload table.
  Result<std::vector<Hit>> search_rows(std::span<const float> query, size_t k, const RowSet& rows) const;
  // search_hybrid; a graph index searches in `scratch` when one is given.
  Result<std::vector<HybridHit>> hybrid_query(std::span<const float> dense_query, const SparseVector& sparse_query,
                                              size_t k, float dense_weight, float sparse_weight,
                                              const FilterCondition* filter, SearchScratch* scratch) const;
  std::string path(const char* file) const;

  CollectionMeta meta_;
  std::string dir_;
  std::unique_ptr<VectorIndex> index_;
  void store_payload(VectorId id, std::optional<JsonValue>& payload);
  PayloadTable payloads_;
  SparseStore sparse_;
  std::unique_ptr<WalWriter> log_;
  LogPosition log_pos_;  // where the log stood when it was last closed
  std::shared_ptr<LogSync> log_sync_ = std::make_shared<LogSync>();
  uint64_t entry_count_ = 0;
  LogMark checkpoint_;
  uint64_t checkpoint_records_ = 0;  // log records the checkpoint covers
};

}  // namespace kovra

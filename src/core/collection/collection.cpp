#include "core/collection/collection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>
#include <unordered_set>

#include "core/collection/wal_format.h"
#include "core/index/flat.h"
#include "core/index/hnsw.h"
#include "core/index/hnsw_io.h"
#include "core/io/file.h"

namespace kovra {
namespace {

constexpr char kGraphFile[] = "hnsw.graph";
constexpr char kGraphTmpFile[] = "hnsw.graph.tmp";
constexpr char kSparseFile[] = "sparse.bin";
constexpr char kSparseTmpFile[] = "sparse.bin.tmp";
constexpr char kVectorFile[] = "vectors.mmap";

// Batches at least this long go into a graph through the parallel insert.
constexpr size_t kParallelBatch = 64;
// Compaction hands its records to the file in pieces of about this size.
constexpr uint64_t kCompactionChunk = 1 << 20;

Status remove_if_exists(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail(Error::io(errno));
  return ok();
}

// A checkpoint is saved once the log holds this many records past it, or a
// tenth of the graph's vectors if that is more: a reopen after a crash
// re-inserts at most about that many, and ingest saves the graph a bounded
// number of times per tenfold growth.
constexpr uint64_t kCheckpointMinRecords = 10000;
constexpr uint64_t kCheckpointGrowthDivisor = 10;

uint64_t file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

void UpsertItem::prepare() {
  if (payload) payload_text = to_compact_json(*payload);
  if (sparse) sparse_bytes = sparse_to_bytes(*sparse);
}

uint64_t UpsertItem::record_size() const {
  uint64_t m = payload_text.size();
  uint64_t s = sparse_bytes.size();
  return wal::add_body_size(values().size(), payload ? &m : nullptr, sparse ? &s : nullptr);
}

std::optional<std::string> oversized_record_message(uint64_t record_size) {
  if (record_size <= wal::kMaxBodySize) return std::nullopt;
  return "log record of " + std::to_string(record_size) + " bytes exceeds the limit of " +
         std::to_string(wal::kMaxBodySize) + " bytes";
}

Collection::~Collection() {
  // A collection closed normally leaves a checkpoint of its graph, so that
  // the next open re-inserts nothing. One whose log was closed (a restore or
  // a delete replaces its files) leaves nothing behind.
  if (!log_) return;
  (void)close_log();
  (void)checkpoint();
}

std::string Collection::path(const char* file) const { return dir_ + "/" + file; }

Result<std::unique_ptr<Collection>> Collection::create(const std::string& data_dir, const std::string& name,
                                                       uint64_t dimensions, Metric metric, IndexType type) {
  auto c = std::unique_ptr<Collection>(new Collection());
  c->dir_ = data_dir + "/" + name;
  KOVRA_TRY(io::create_directories(c->dir_));
  // A reused directory may still hold the files of an earlier collection that
  // failed to open. The new collection starts empty, so its first reopen must
  // not bring their vectors back; its snapshots stay.
  for (const char* stale : {wal::kLogFile, wal::kLogTmpFile, kGraphFile, kGraphTmpFile, kSparseFile,
                            kSparseTmpFile, kVectorFile}) {
    KOVRA_TRY(remove_if_exists(c->path(stale)));
  }
  c->meta_ = new_collection_meta(name, dimensions, metric, type);
  KOVRA_TRY(write_meta_direct(c->dir_, c->meta_));
  KOVRA_ASSIGN_OR_RETURN(c->index_, build_index(c->meta_, c->dir_));
  KOVRA_ASSIGN_OR_RETURN(c->log_, WalWriter::open_append(c->path(wal::kLogFile), std::nullopt, LogPosition()));
  // The log's name must outlast a power cut as surely as its records.
  KOVRA_TRY(io::sync_dir(c->dir_));
  return c;
}

Result<std::unique_ptr<Collection>> Collection::open(const std::string& dir) {
  auto c = std::unique_ptr<Collection>(new Collection());
  c->dir_ = dir;
  KOVRA_TRY(remove_if_exists(c->path(wal::kLogTmpFile)));
  // What a checkpoint killed part-way through left behind.
  KOVRA_TRY(remove_if_exists(c->path(kGraphTmpFile)));
  KOVRA_ASSIGN_OR_RETURN(c->meta_, read_meta(dir));
  KOVRA_ASSIGN_OR_RETURN(c->index_, build_index(c->meta_, dir));
  KOVRA_TRY(c->replay());
  return c;
}

// Rebuilds the state from the log. "sparse.bin" is not read: every sparse
// vector is in the log. A graph takes its checkpoint over when the log still
// begins with the bytes the checkpoint was taken after; the records past them
// are applied on top. Whether it does is known only at the end of the pass,
// so a checkpoint whose prefix turns out to differ (a stale, swapped or
// damaged file) costs a second pass from the log alone.
Status Collection::replay() {
  // Records of "vectors.mmap" that the log does not add again must not
  // survive the open (a file older or newer than the log).
  if (meta_.index_type == IndexType::MmapFlat) {
    for (const auto& [id, vector] : index_->iterate()) (void)index_->remove(id);
  }

  auto* hnsw = dynamic_cast<HnswIndex*>(index_.get());
  std::optional<WalReplayStats> stats;
  const std::optional<LogMark> mark = hnsw ? read_checkpoint_mark(path(kGraphFile)) : std::nullopt;
  if (mark && mark->bytes <= file_size(path(wal::kLogFile))) {
    // The graph is decoded on a second thread while this one reads the log:
    // the two are the whole cost of an open, and neither needs the other
    // until the records past the checkpoint go into the graph.
    std::optional<GraphCheckpoint> saved;
    std::jthread loader([&] {
      try {
        saved = read_graph_checkpoint(path(kGraphFile), meta_.dimensions);
      } catch (const std::bad_alloc&) {
        saved.reset();  // taken for a checkpoint that cannot be used
      }
    });
    Tail tail(meta_.dimensions);
    auto taken = replay_records(*mark, &tail);
    loader.join();
    if (!taken) return fail(taken.error());
    if (saved && saved->mark == *mark && taken->mark_digest == mark->digest) {
      hnsw->adopt_graph(std::move(saved->graph));
      saved.reset();
      KOVRA_TRY(apply_tail(tail));
      checkpoint_ = *mark;
      checkpoint_records_ = taken->mark_records;
      stats = std::move(*taken);
    } else {
      KOVRA_ASSIGN_OR_RETURN(index_, build_index(meta_, dir_));
      payloads_.clear();
      sparse_ = SparseStore();
    }
  }
  if (!stats) {
    KOVRA_ASSIGN_OR_RETURN(WalReplayStats full, replay_records(std::nullopt));
    stats = std::move(full);
  }

  if (!hnsw) KOVRA_TRY(index_->restore_graph(path(kGraphFile)));
  // Cut a torn tail off before anything new is appended behind it.
  KOVRA_ASSIGN_OR_RETURN(log_, WalWriter::open_append(path(wal::kLogFile), stats->valid_end, stats->end));
  entry_count_ = 0;
  return ok();
}

Result<WalReplayStats> Collection::replay_records(std::optional<LogMark> prefix, Tail* tail) {
  auto* hnsw = dynamic_cast<HnswIndex*>(index_.get());
  const uint64_t covered = prefix ? prefix->bytes : 0;
  // A graph gets the vectors the log leaves live in one parallel insert at
  // the end, not one insertion per record.
  Tail own(meta_.dimensions);
  Tail& pending = tail ? *tail : own;
  auto stats = replay_wal(
      path(wal::kLogFile),
      [&](const WalEntryView& e) {
        if (e.end <= covered) {
          // The checkpoint holds the vector; payloads and sparse vectors are
          // read from the log alone.
          if (e.is_add) {
            apply_payload_and_sparse(e);
          } else {
            payloads_.erase(e.id);
            sparse_.remove(e.id);
          }
          return;
        }
        if (!hnsw) return apply_entry(e);
        // The graph drops every id the tail writes (it may not be here yet:
        // a checkpoint being decoded beside this pass gets the removals later).
        pending.touched.push_back(e.id);
        pending.rows.erase(e.id);
        if (!e.is_add) {
          payloads_.erase(e.id);
          sparse_.remove(e.id);
          return;
        }
        // What the graph would reject is dropped, as a single insert would drop it.
        if (e.vector.size() == meta_.dimensions) pending.rows.put(e.id, e.vector.data());
        apply_payload_and_sparse(e);
      },
      prefix ? std::optional<uint64_t>(prefix->bytes) : std::nullopt);
  if (!stats) return fail(stats.error());
  if (hnsw && !tail) KOVRA_TRY(apply_tail(own));
  return std::move(*stats);
}

Status Collection::apply_tail(Tail& tail) {
  auto* hnsw = dynamic_cast<HnswIndex*>(index_.get());
  for (VectorId id : tail.touched) (void)hnsw->remove(id);
  if (tail.rows.empty()) return ok();
  auto [ids, rows] = tail.rows.take();
  return hnsw->add_parallel(ids, rows, 0, 256);
}

void Collection::apply_payload_and_sparse(const WalEntryView& e) {
  if (!e.payload) {
    payloads_.put(e.id, nullptr);
  } else if (auto value = parse_json_text(*e.payload)) {
    payloads_.put(e.id, std::make_shared<const JsonValue>(std::move(*value)));
  } else {
    payloads_.keep(e.id);  // a payload that does not parse leaves the earlier one
  }
  if (e.sparse) {
    if (auto sv = sparse_from_bytes(*e.sparse)) sparse_.upsert(e.id, std::move(*sv));
  }
}

void Collection::apply_entry(const WalEntryView& e) {
  (void)index_->remove(e.id);
  if (!e.is_add) {
    payloads_.erase(e.id);
    sparse_.remove(e.id);
    return;
  }
  // A vector the index rejects is dropped; its payload and sparse vector
  // still apply.
  (void)index_->add(e.id, e.vector);
  apply_payload_and_sparse(e);
}

Status Collection::check_upsert(const UpsertItem& item) const {
  if (item.values().size() != meta_.dimensions)
    return fail(Error::dimension_mismatch(meta_.dimensions, item.values().size()));
  KOVRA_TRY(index_->check_capacity(item.id));
  if (auto message = oversized_record_message(item.record_size())) return fail(Error::invalid_config(*message));
  return ok();
}

Status Collection::ensure_log() {
  if (log_) return ok();
  KOVRA_ASSIGN_OR_RETURN(log_, WalWriter::open_append(path(wal::kLogFile), std::nullopt, log_pos_));
  return ok();
}

void Collection::append(const UpsertItem& item) {
  log_->append_add(item.id, item.values(), item.payload ? &item.payload_text : nullptr,
                   item.sparse ? &item.sparse_bytes : nullptr);
}

Status Collection::apply_upsert(UpsertItem& item) {
  (void)index_->remove(item.id);
  Status added = index_->add(item.id, item.values());
  if (!added) return added;
  if (item.sparse) sparse_.upsert(item.id, std::move(*item.sparse));
  store_payload(item.id, item.payload);
  return ok();
}

void Collection::store_payload(VectorId id, std::optional<JsonValue>& payload) {
  payloads_.put(id, payload ? std::make_shared<const JsonValue>(std::move(*payload)) : nullptr);
}

Status Collection::upsert(UpsertItem item) {
  KOVRA_TRY(check_upsert(item));
  KOVRA_TRY(ensure_log());
  append(item);
  KOVRA_TRY(log_->flush());
  ++entry_count_;
  KOVRA_TRY(apply_upsert(item));
  return after_write(true);
}

Status Collection::upsert_batch(std::vector<UpsertItem> items) {
  size_t good = items.size();
  Status rejected = ok();
  for (size_t i = 0; i < items.size(); ++i) {
    if (Status st = check_upsert(items[i]); !st) {
      good = i;
      rejected = std::move(st);
      break;
    }
  }
  if (good > 0) {
    KOVRA_TRY(ensure_log());
    for (size_t i = 0; i < good; ++i) append(items[i]);
    KOVRA_TRY(log_->flush());
    entry_count_ += good;
  }

  Status applied = ok();
  auto* hnsw = dynamic_cast<HnswIndex*>(index_.get());
  if (hnsw && good >= kParallelBatch) {
    // The graph takes the last vector of each id in one parallel insert;
    // payloads and sparse vectors follow in order, as one upsert after
    // another would leave them.
    std::unordered_map<VectorId, size_t> last;
    last.reserve(good);
    for (size_t i = 0; i < good; ++i) last[items[i].id] = i;
    std::vector<VectorId> ids;
    std::vector<float> rows;
    ids.reserve(last.size());
    rows.reserve(last.size() * meta_.dimensions);
    for (size_t i = 0; i < good; ++i) {
      if (last[items[i].id] != i) continue;
      ids.push_back(items[i].id);
      const std::span<const float> v = items[i].values();
      rows.insert(rows.end(), v.begin(), v.end());
    }
    applied = hnsw->add_parallel(ids, rows, 0, 256);
    for (size_t i = 0; i < good; ++i) {
      UpsertItem& item = items[i];
      if (item.sparse) sparse_.upsert(item.id, std::move(*item.sparse));
      store_payload(item.id, item.payload);
    }
  } else {
    // Every logged entry is applied, as a replay would, even after one fails.
    constexpr size_t kAhead = 8;
    for (size_t i = 0; i < good; ++i) {
      if (i + kAhead < good) {
        index_->prefetch(items[i + kAhead].id);
        payloads_.prefetch(items[i + kAhead].id);
      }
      Status st = apply_upsert(items[i]);
      if (!st && applied) applied = std::move(st);
    }
  }
  if (!rejected) return rejected;
  if (!applied) return applied;
  return after_write(true);
}

Result<bool> Collection::remove(VectorId id) {
  KOVRA_TRY(ensure_log());
  log_->append_delete(id);
  KOVRA_TRY(log_->flush());
  ++entry_count_;
  KOVRA_ASSIGN_OR_RETURN(bool found, index_->remove(id));
  sparse_.remove(id);
  payloads_.erase(id);
  KOVRA_TRY(after_write(false));
  return found;
}

Status Collection::after_write(bool upsert) {
  if (entry_count_ >= meta_.wal_compact_threshold) {
    KOVRA_TRY(maintain_log());
  } else if (checkpoint_due()) {
    KOVRA_TRY(checkpoint());
  }
  if (upsert) KOVRA_TRY(maybe_promote());
  return ok();
}

Status Collection::maintain_log() {
  const uint64_t records = log_position().records;
  const uint64_t live = index_->len();
  // Rewriting costs the whole live set; it is worth it once at least half of
  // the log is dead, so an update-heavy log stays within a constant factor of
  // its compacted size and an insert-only log is never rewritten.
  if (log_position().known && records >= live && records - live >= live) return compact();
  entry_count_ = 0;
  KOVRA_TRY(checkpoint());
  return save_sparse_file();
}

bool Collection::checkpoint_due() const {
  if (meta_.index_type != IndexType::Hnsw) return false;
  const uint64_t since = log_position().records - std::min(log_position().records, checkpoint_records_);
  return since >= std::max(kCheckpointMinRecords, index_->len() / kCheckpointGrowthDivisor);
}

Status Collection::checkpoint() {
  if (!dynamic_cast<HnswIndex*>(index_.get())) return ok();
  const LogPosition& at = log_position();
  // Bytes the hash has not seen cannot be vouched for; the next rewrite of
  // the log brings the position back.
  if (!at.known) return ok();
  const LogMark mark{at.bytes, at.hash.digest()};
  if (checkpoint_ == mark && checkpoint_.bytes > 0) return ok();
  if (index_->len() == 0) {
    // No graph to save: an older one could only be stale.
    KOVRA_TRY(remove_if_exists(path(kGraphFile)));
  } else {
    KOVRA_TRY(write_graph_checkpoint(*index_, path(kGraphFile), path(kGraphTmpFile), mark));
  }
  checkpoint_ = mark;
  checkpoint_records_ = at.records;
  return ok();
}

Result<std::vector<CollectionHit>> Collection::search(std::span<const float> query, size_t k,
                                                      const FilterCondition* filter) const {
  std::vector<Hit> hits;
  if (!filter) {
    KOVRA_ASSIGN_OR_RETURN(hits, index_->search(query, k));
  } else {
    if (k == 0) return std::vector<CollectionHit>();
    // A query of the wrong length fails as it does unfiltered, whatever matches.
    KOVRA_TRY(index_->search(query, 0));
    KOVRA_ASSIGN_OR_RETURN(hits, search_rows(query, k, payloads_.select(*filter)));
  }
  std::vector<VectorId> ids(hits.size());
  for (size_t i = 0; i < hits.size(); ++i) ids[i] = hits[i].id;
  std::vector<SharedPayload> payloads;
  payloads.reserve(hits.size());
  payloads_.shared_many(ids, payloads);
  std::vector<CollectionHit> out;
  out.reserve(hits.size());
  for (size_t i = 0; i < hits.size(); ++i) out.push_back({hits[i].id, hits[i].distance, std::move(payloads[i])});
  return out;
}

namespace {

// Exact scans whose search_ids is no faster than their scan: widening their
// search to everything they hold gives the exact answer as cheaply.
bool scans_only(IndexType t) {
  return t == IndexType::QuantizedFlat || t == IndexType::Fp16Flat || t == IndexType::BinaryFlat ||
         t == IndexType::MmapFlat;
}

// A graph search with a beam of b costs about as much as scoring this many
// times b vectors directly.
constexpr double kGraphCostPerCandidate = 16.0;

}  // namespace

Result<std::vector<Hit>> Collection::search_rows(std::span<const float> query, size_t k, const RowSet& rows) const {
  const size_t n = index_->len();
  const size_t m = rows.count;
  if (m == 0 || n == 0) return std::vector<Hit>();
  auto direct = [&]() -> Result<std::vector<Hit>> {
    std::vector<VectorId> ids;
    ids.reserve(m);
    rows.for_each([&](size_t r) { ids.push_back(payloads_.id_at(r)); });
    return index_->search_ids(query, k, ids);
  };

  const IndexType type = meta_.index_type;
  const bool exact = type == IndexType::Flat || scans_only(type);
  // Candidates a search needs for k matches when matches are spread as the
  // filter's share of the index says, with a margin.
  const double share = std::min(1.0, static_cast<double>(m) / static_cast<double>(n));
  auto saturate = [](double x) {
    return x >= 1.8e19 ? std::numeric_limits<size_t>::max() : static_cast<size_t>(x);
  };
  size_t fetch = std::min(n, saturate(static_cast<double>(k) / share * 1.5) + k);

  // Few matches are scored directly: a scan of a gathered row costs about two
  // streamed ones, and a graph search about kGraphCostPerCandidate scores per
  // candidate of its beam.
  if (type == IndexType::Flat && m * 2 <= n) return direct();
  if (type == IndexType::Hnsw && static_cast<double>(m) <= kGraphCostPerCandidate * static_cast<double>(fetch))
    return direct();
  if (m <= k && !scans_only(type)) return direct();

  // Otherwise the index is searched for more and more candidates until k of
  // them match; an exact index ends, at worst, with everything it holds.
  std::vector<Hit> kept;
  for (;;) {
    KOVRA_ASSIGN_OR_RETURN(std::vector<Hit> hits, index_->search(query, fetch));
    kept.clear();
    for (const Hit& h : hits) {
      auto row = payloads_.row_of(h.id);
      if (!row || !rows.test(*row)) continue;
      kept.push_back(h);
      if (kept.size() == k) return kept;
    }
    if (hits.size() < fetch || fetch >= n) break;  // nothing more to be had from a search
    fetch = fetch > n / 4 ? n : fetch * 4;
    if (type == IndexType::Hnsw && static_cast<double>(m) <= kGraphCostPerCandidate * static_cast<double>(fetch))
      return direct();
  }
  if (exact) return kept;
  // An approximate search that ran dry of matches: score them all.
  return direct();
}

std::vector<std::optional<CollectionRecord>> Collection::get_batch(std::span<const VectorId> ids,
                                                                   bool with_vectors) const {
  std::vector<std::optional<CollectionRecord>> out(ids.size());
  if (!with_vectors) {
    for (size_t i = 0; i < ids.size(); ++i)
      if (auto row = payloads_.row_of(ids[i])) out[i] = CollectionRecord{ids[i], {}, payloads_.payload_at(*row)};
    return out;
  }
  // What the index holds decides: a logged vector it refused is not stored.
  auto vectors = index_->vectors_of(ids);
  for (size_t i = 0; i < ids.size(); ++i)
    if (vectors[i]) out[i] = CollectionRecord{ids[i], std::move(*vectors[i]), payloads_.shared(ids[i])};
  return out;
}

std::vector<VectorId> Collection::ids(const FilterCondition* filter) const {
  static const FilterCondition kEverything;  // an empty $and
  const RowSet rows = payloads_.select(filter ? *filter : kEverything);
  std::vector<VectorId> out;
  out.reserve(rows.count);
  rows.for_each([&](size_t r) { out.push_back(payloads_.id_at(r)); });
  std::sort(out.begin(), out.end());
  return out;
}

Result<size_t> Collection::delete_batch(std::span<const VectorId> ids) {
  std::vector<VectorId> present;
  present.reserve(ids.size());
  for (VectorId id : ids)
    if (payloads_.row_of(id)) present.push_back(id);
  std::sort(present.begin(), present.end());
  present.erase(std::unique(present.begin(), present.end()), present.end());
  if (present.empty()) return size_t{0};
  KOVRA_TRY(ensure_log());
  for (VectorId id : present) log_->append_delete(id);
  KOVRA_TRY(log_->flush());
  entry_count_ += present.size();
  size_t deleted = 0;
  for (VectorId id : present) {
    KOVRA_ASSIGN_OR_RETURN(bool found, index_->remove(id));
    deleted += found;
    sparse_.remove(id);
    payloads_.erase(id);
  }
  KOVRA_TRY(after_write(false));
  return deleted;
}

Result<size_t> Collection::delete_where(const FilterCondition& filter) {
  const std::vector<VectorId> matching = ids(&filter);
  return delete_batch(matching);
}

Result<bool> Collection::set_payload(VectorId id, std::optional<JsonValue> payload) {
  auto stored = index_->vectors_of(std::span<const VectorId>(&id, 1));
  if (!stored[0]) return false;
  UpsertItem item;
  item.id = id;
  item.vector = std::move(*stored[0]);
  item.payload = std::move(payload);
  item.prepare();
  if (auto message = oversized_record_message(item.record_size())) return fail(Error::invalid_config(*message));
  KOVRA_TRY(ensure_log());
  append(item);
  KOVRA_TRY(log_->flush());
  ++entry_count_;
  // The compressed stores hold a decoded vector that a replay encodes again:
  // do the same now, so that what is in memory is what a reopen rebuilds. The
  // other indexes keep their vector bit for bit, and are left as they are.
  const IndexType t = meta_.index_type;
  if (t == IndexType::QuantizedFlat || t == IndexType::Fp16Flat || t == IndexType::BinaryFlat) {
    (void)index_->remove(id);
    KOVRA_TRY(index_->add(id, item.vector));
  }
  store_payload(id, item.payload);
  KOVRA_TRY(after_write(false));
  return true;
}

Status Collection::search_batch(const QueryBlock& queries, const FilterCondition* filter, size_t num_threads,
                                const BatchOutput& out) const {
  const size_t workers = batch_workers(queries.rows, num_threads);
  // A graph search shares one working memory per index behind a mutex; the
  // workers of a batch each get their own.
  if (auto* hnsw = dynamic_cast<const HnswIndex*>(index_.get()); hnsw && !filter) {
    std::vector<SearchScratch> scratch(workers);
    return run_batch(queries.rows, workers, out, [&](size_t row, size_t worker) {
      return hnsw->search_with(queries.row(row), out.k, scratch[worker]);
    });
  }
  if (!filter) {
    if (auto* flat = dynamic_cast<const FlatIndex*>(index_.get())) return flat->search_batch(queries, num_threads, out);
  }
  // The filter's rows are found once for the whole batch.
  std::optional<RowSet> rows;
  if (filter && out.k > 0) rows = payloads_.select(*filter);
  return run_batch(queries.rows, workers, out, [&](size_t row, size_t) -> Result<std::vector<Hit>> {
    const std::span<const float> q = queries.row(row);
    if (!filter) return index_->search(q, out.k);
    if (out.k == 0) return std::vector<Hit>();
    KOVRA_TRY(index_->search(q, 0));
    return search_rows(q, out.k, *rows);
  });
}

Result<LogPosition> Collection::write_compacted_log(const std::string& target) const {
  KOVRA_ASSIGN_OR_RETURN(auto writer, WalWriter::create(target));
  Status written = ok();
  for (const auto& [id, vector] : index_->iterate()) {
    const JsonValue* p = payload(id);
    const SparseVector* sv = sparse_.find(id);
    std::string text = p ? to_compact_json(*p) : std::string();
    std::vector<uint8_t> bytes = sv ? sparse_to_bytes(*sv) : std::vector<uint8_t>();
    writer->append_add(id, vector, p ? &text : nullptr, sv ? &bytes : nullptr);
    if (writer->pending_bytes() >= kCompactionChunk && !(written = writer->flush())) break;
  }
  if (written) written = writer->close();
  if (!written) {
    writer.reset();
    (void)remove_if_exists(target);
    return fail(written.error());
  }
  return writer->position();
}

Result<DurableTicket> Collection::durable_ticket() {
  KOVRA_TRY(ensure_log());
  KOVRA_ASSIGN_OR_RETURN(uint64_t ticket, log_sync_->ticket(log_->fd()));
  return DurableTicket{log_sync_, ticket};
}

Status Collection::close_log() {
  if (!log_) return ok();
  Status closed = log_->close();
  log_pos_ = log_->position();
  log_.reset();
  return closed;
}

namespace {

// Higher scores first; NaN after every number, so that the order stays a
// strict weak ordering.
bool score_greater(float a, float b) { return a > b || (b != b && a == a); }

// Minimum and maximum of the values that are not NaN; 0 and 1 when there are
// none.
template <class Map>
std::pair<float, float> value_range(const Map& values) {
  float lo = std::numeric_limits<float>::infinity();
  float hi = -std::numeric_limits<float>::infinity();
  bool any = false;
  for (const auto& [id, v] : values) {
    if (v != v) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    any = true;
  }
  if (!any) return {0.0f, 1.0f};
  return {lo, hi};
}

}  // namespace

Result<std::vector<HybridHit>> Collection::search_hybrid(std::span<const float> dense_query,
                                                         const SparseVector& sparse_query, size_t k,
                                                         float dense_weight, float sparse_weight,
                                                         const FilterCondition* filter) const {
  return hybrid_query(dense_query, sparse_query, k, dense_weight, sparse_weight, filter, nullptr);
}

Status Collection::search_hybrid_batch(const QueryBlock& dense_queries, std::span<const SparseVector> sparse_queries,
                                       size_t k, float dense_weight, float sparse_weight,
                                       const FilterCondition* filter, size_t num_threads,
                                       std::vector<std::vector<HybridHit>>& out) const {
  KOVRA_CHECK(sparse_queries.size() == dense_queries.rows, "one sparse query per dense query");
  out.assign(dense_queries.rows, {});
  const size_t workers = batch_workers(dense_queries.rows, num_threads);
  // A graph search shares one working memory per index behind a mutex; the
  // workers each get their own, so that they never wait on each other.
  std::vector<SearchScratch> scratch(dynamic_cast<const HnswIndex*>(index_.get()) ? workers : 0);
  return parallel_items(dense_queries.rows, workers, [&](size_t row, size_t worker) -> Status {
    KOVRA_ASSIGN_OR_RETURN(out[row], hybrid_query(dense_queries.row(row), sparse_queries[row], k, dense_weight,
                                                  sparse_weight, filter, scratch.empty() ? nullptr : &scratch[worker]));
    return ok();
  });
}

Result<std::vector<HybridHit>> Collection::hybrid_query(std::span<const float> dense_query,
                                                        const SparseVector& sparse_query, size_t k,
                                                        float dense_weight, float sparse_weight,
                                                        const FilterCondition* filter, SearchScratch* scratch) const {
  if (k == 0) return std::vector<HybridHit>();
  const size_t pool = k > std::numeric_limits<size_t>::max() / 10 ? std::numeric_limits<size_t>::max() : k * 10;
  // No index returns more than it holds; a huge pool must not size a beam.
  const size_t dense_pool = std::min(pool, index_->len());
  std::vector<Hit> dense;
  if (scratch) {
    KOVRA_ASSIGN_OR_RETURN(dense, static_cast<const HnswIndex&>(*index_).search_with(dense_query, dense_pool, *scratch));
  } else {
    KOVRA_ASSIGN_OR_RETURN(dense, index_->search(dense_query, dense_pool));
  }
  std::vector<std::pair<VectorId, float>> sparse = sparse_.top_scores(sparse_query, pool);

  static const JsonValue kNull;
  std::vector<HybridHit> out;
  // Scales both pools to their ranges and scores their union; with a filter,
  // only matching candidates are kept.
  auto fuse = [&](const std::vector<Hit>& dense_pool, const std::vector<std::pair<VectorId, float>>& sparse_pool,
                  bool check_filter) {
    std::unordered_map<VectorId, float> dense_map;
    dense_map.reserve(dense_pool.size());
    for (const Hit& h : dense_pool) dense_map.insert_or_assign(h.id, h.distance);
    std::unordered_map<VectorId, float> sparse_map(sparse_pool.begin(), sparse_pool.end());

    const auto [d_min, d_max] = value_range(dense_map);
    const auto [s_min, s_max] = value_range(sparse_map);
    const float d_range = std::fmax(d_max - d_min, 1e-9f);
    const float s_range = std::fmax(s_max - s_min, 1e-9f);

    out.clear();
    out.reserve(dense_map.size() + sparse_map.size());
    auto consider = [&](VectorId id, float d, float s) {
      if (check_filter) {
        const JsonValue* p = payload(id);
        if (!matches(p ? *p : kNull, *filter)) return;
      }
      const float score = dense_weight * (1.0f - (d - d_min) / d_range) + sparse_weight * ((s - s_min) / s_range);
      out.push_back({id, score, d, s, nullptr});
    };
    for (const auto& [id, d] : dense_map) {
      auto s = sparse_map.find(id);
      consider(id, d, s == sparse_map.end() ? 0.0f : s->second);
    }
    for (const auto& [id, s] : sparse_map) {
      if (!dense_map.contains(id)) consider(id, d_max, s);
    }
  };
  fuse(dense, sparse, filter != nullptr);

  if (filter && out.size() < k) {
    // The pools held fewer than k matches: both are formed again from the
    // matching vectors alone, so that every match can be reached.
    const RowSet rows = payloads_.select(*filter);
    if (rows.count > out.size()) {
      KOVRA_ASSIGN_OR_RETURN(dense, search_rows(dense_query, pool, rows));
      sparse = sparse_.top_scores(sparse_query, pool, [&](VectorId id) {
        auto row = payloads_.row_of(id);
        return row && rows.test(*row);
      });
      fuse(dense, sparse, false);
    }
  }

  auto hit_greater = [](const HybridHit& a, const HybridHit& b) { return score_greater(a.score, b.score); };
  if (out.size() > k) {
    std::nth_element(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(k), out.end(), hit_greater);
    out.resize(k);
  }
  std::sort(out.begin(), out.end(), hit_greater);
  // Only the hits that are returned carry a copy of their payload.
  for (HybridHit& h : out) {
    h.payload = shared_payload(h.id);
  }
  return out;
}

Status Collection::compact() {
  const std::string tmp = path(wal::kLogTmpFile);
  KOVRA_ASSIGN_OR_RETURN(LogPosition written, write_compacted_log(tmp));
  if (Status renamed = io::replace_file(tmp, path(wal::kLogFile)); !renamed) {
    (void)remove_if_exists(tmp);
    return renamed;
  }
  // The old handle points at the replaced file; appending there would lose
  // writes. Without a new handle, the next write opens one.
  log_.reset();
  log_pos_ = std::move(written);
  entry_count_ = 0;
  KOVRA_TRY(ensure_log());

  KOVRA_TRY(checkpoint());
  return save_sparse_file();
}

Status Collection::save_sparse_file() const {
  if (sparse_.count() > 0) {
    KOVRA_TRY(sparse_.save(path(kSparseTmpFile)));
    return io::replace_file(path(kSparseTmpFile), path(kSparseFile));
  }
  // Sparse vectors of deleted ids must not come back from an older file.
  return remove_if_exists(path(kSparseFile));
}

Status Collection::maybe_promote() {
  if (!meta_.auto_promote_threshold || meta_.index_type != IndexType::Flat ||
      index_->len() < *meta_.auto_promote_threshold)
    return ok();
  std::vector<Entry> entries = index_->iterate();
  HnswConfig config = meta_.promotion_hnsw_config.value_or(HnswConfig{});
  KOVRA_TRY(HnswIndex::check_config(config));
  auto graph = std::make_unique<HnswIndex>(meta_.dimensions, meta_.metric, config);
  for (const auto& [id, vector] : entries) KOVRA_TRY(graph->add(id, vector));
  index_ = std::move(graph);
  meta_.index_type = IndexType::Hnsw;
  meta_.hnsw_config = config;
  return write_meta_atomic(dir_, meta_);
}

}  // namespace kovra

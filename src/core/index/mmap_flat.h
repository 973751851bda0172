// Exact scan over a memory-mapped vector file. New vectors wait in an
// in-memory pending table and deletions in a tombstone set until `flush` moves
// them into the file: appended records when nothing was deleted, otherwise a
// rewrite of the whole file under a temporary name renamed over the old one,
// so a crash leaves either the old file or the new one.
//
// The vector file ("KVEC"), little-endian:
//   0  magic "KVEC"          4  u32 version (1)     8  u32 dimensions
//   12 u32 metric id         16 u64 record count    24 8 reserved bytes (0)
//   32 records: u64 id, then `dimensions` floats
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/index/slot_map.h"
#include "core/index/vector_index.h"
#include "core/io/file.h"

namespace kovra {

inline constexpr size_t kVectorFileHeaderSize = 32;

class MmapFlatIndex final : public VectorIndex {
 public:
  // Opens and validates the file at `path` if it exists; otherwise nothing is
  // created until the first flush.
  static Result<MmapFlatIndex> open(const std::string& path, size_t dimensions, Metric metric);

  // Goes to the pending table, replacing a pending vector of the same id. A
  // record of the id already in the file stays (the id is then present twice).
  Status add(VectorId id, std::span<const float> vector) override;
  // Adds in order and stops at the first failure; earlier entries stay added.
  Status add_batch(std::span<const Entry> entries) override;
  // Row r of the row-major block gets id start_id + r.
  Status add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id);
  Result<std::vector<Hit>> search(std::span<const float> query, size_t k) const override;
  // Drops the id's pending vector and hides every record of it in the file.
  Result<bool> remove(VectorId id) override;
  // The pending vector of an id, else its last visible record in the file.
  std::vector<std::optional<std::vector<float>>> vectors_of(std::span<const VectorId> ids) const override;
  size_t len() const override;
  bool is_empty() const override { return len() == 0; }
  IndexParams params() const override { return {dimensions_, metric_}; }
  // The visible file records in file order, then the pending vectors.
  std::vector<Entry> iterate() const override;
  // On failure the in-memory state is as before the call: nothing pending or
  // deleted is lost, and searches still see it.
  Status flush() override;
  Status save_graph(const std::string&) const override { return ok(); }
  Status restore_graph(const std::string&) override { return flush(); }

  size_t dimensions() const { return dimensions_; }
  Metric metric() const { return metric_; }
  const std::string& path() const { return path_; }
  uint64_t file_count() const { return file_count_; }
  size_t pending_count() const { return pending_.size(); }

 private:
  MmapFlatIndex(std::string path, size_t dimensions, Metric metric)
      : path_(std::move(path)), dimensions_(dimensions), metric_(metric) {}

  size_t record_size() const { return 8 + 4 * dimensions_; }
  const uint8_t* record(uint64_t i) const {
    return mapping_.bytes().data() + kVectorFileHeaderSize + i * record_size();
  }
  VectorId record_id(uint64_t i) const;
  // Records are 4-byte aligned in a page-aligned mapping.
  const float* record_vector(uint64_t i) const { return reinterpret_cast<const float*>(record(i) + 8); }
  bool hidden(VectorId id) const { return !deleted_.empty() && deleted_.contains(id); }

  Status rewrite();
  Status append();
  // Indexes records [from, file_count_) by id in by_id_.
  void index_records(uint64_t from);
  // How many records of `id` the file holds, and the last one's number.
  uint64_t records_of(VectorId id, uint64_t* last) const;
  auto record_ids() const {
    return [this](uint32_t r) { return record_id(r); };
  }

  io::MappedFile mapping_;  // empty until a file exists
  std::string path_;
  size_t dimensions_;
  Metric metric_;
  std::unordered_map<VectorId, std::vector<float>> pending_;
  // Ids whose records in the file are hidden. Pending vectors are never hidden.
  std::unordered_set<VectorId> deleted_;
  uint64_t file_count_ = 0;
  uint64_t hidden_count_ = 0;  // file records whose id is in deleted_
  // Id -> the number of its last record in the file. The table keeps only
  // record numbers and reads each record's id from the mapping to compare
  // keys: 4 bytes a cell, 5 to 10 bytes per record. Files of 2^32 - 1 records
  // or more are scanned instead (by_id_indexed_ false).
  SlotMap by_id_;
  bool by_id_indexed_ = true;
  // Records beyond the first of ids the file holds more than once (an id
  // added again after its record was flushed).
  std::unordered_map<VectorId, uint64_t> repeats_;
};

}  // namespace kovra

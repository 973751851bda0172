#include "core/index/mmap_flat.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <limits>

#include "core/buffer.h"
#include "core/distance.h"
#include "core/index/flat_batch.h"
#include "core/index/topk.h"

namespace kovra {
namespace {

constexpr char kMagic[4] = {'K', 'V', 'E', 'C'};
constexpr uint32_t kVersion = 1;

// Hints for a mapping that is scanned from start to end on every search: read
// it in ahead, and back it with huge pages where the file system allows.
void advise_scan(const io::MappedFile& m) {
  std::span<const uint8_t> b = m.bytes();
  if (b.empty()) return;
  void* p = const_cast<uint8_t*>(b.data());
#ifdef MADV_HUGEPAGE
  ::madvise(p, b.size(), MADV_HUGEPAGE);  // hints only; failures change nothing
#endif
  ::madvise(p, b.size(), MADV_WILLNEED);
}

template <class T>
T load_le(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The metric as the mismatch message names it.
const char* metric_title(Metric m) {
  switch (m) {
    case Metric::L2:
      return "L2";
    case Metric::Cosine:
      return "Cosine";
    case Metric::DotProduct:
      return "DotProduct";
  }
  return "?";
}

void put_header(io::Encoder& enc, size_t dimensions, Metric metric, uint64_t count) {
  enc.raw(kMagic, 4);
  enc.put_u32(kVersion);
  enc.put_u32(static_cast<uint32_t>(dimensions));
  enc.put_u32(metric_id(metric));
  enc.put_u64(count);
  enc.put_u64(0);
}

// Every failure of a flush reaches the caller as a file failure.
Error as_io(Error e) { return e.kind() == ErrorKind::Io ? e : Error::io_text(e.text()); }

int pwrite_all(int fd, const uint8_t* p, size_t size, uint64_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return 0;
}

}  // namespace

Result<MmapFlatIndex> MmapFlatIndex::open(const std::string& path, size_t dimensions, Metric metric) {
  MmapFlatIndex index(path, dimensions, metric);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    // The header keeps the dimensions in 32 bits; a wider index could write a
    // file that never opens again.
    if (dimensions > std::numeric_limits<uint32_t>::max()) {
      return fail(Error::invalid_config("dimensions " + std::to_string(dimensions) +
                                        " exceed the vector file's limit of 4294967295"));
    }
    return index;
  }
  if (static_cast<uint64_t>(st.st_size) > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max())) {
    return fail(Error::io_text("memory map length overflows isize"));
  }
  KOVRA_ASSIGN_OR_RETURN(index.mapping_, io::MappedFile::open(path));
  std::span<const uint8_t> bytes = index.mapping_.bytes();
  if (bytes.size() < kVectorFileHeaderSize) return fail(Error::serialization("mmap file too small"));
  if (std::memcmp(bytes.data(), kMagic, 4) != 0) return fail(Error::serialization("invalid KVEC magic"));
  uint32_t file_dims = load_le<uint32_t>(bytes.data() + 8);
  if (file_dims != dimensions) return fail(Error::dimension_mismatch(dimensions, file_dims));
  uint32_t file_metric_id = load_le<uint32_t>(bytes.data() + 12);
  std::optional<Metric> file_metric = metric_from_id(file_metric_id);
  if (!file_metric) return fail(Error::serialization("unknown metric id " + std::to_string(file_metric_id)));
  if (*file_metric != metric) {
    return fail(Error::invalid_config(std::string("metric mismatch: file=") + metric_title(*file_metric) +
                                      ", expected=" + metric_title(metric)));
  }
  uint64_t count = load_le<uint64_t>(bytes.data() + 16);
  // A count that needs more bytes than the file holds would send the scan past
  // the end of the mapping.
  uint64_t need;
  if (__builtin_mul_overflow(count, static_cast<uint64_t>(index.record_size()), &need) ||
      __builtin_add_overflow(need, kVectorFileHeaderSize, &need) || need > bytes.size()) {
    return fail(Error::serialization("mmap file truncated: header count " + std::to_string(count) +
                                     " needs more than the " + std::to_string(bytes.size()) +
                                     " bytes the file holds"));
  }
  index.file_count_ = count;
  advise_scan(index.mapping_);
  index.index_records(0);
  return index;
}

void MmapFlatIndex::index_records(uint64_t from) {
  if (from == 0) {
    by_id_.clear();
    repeats_.clear();
  }
  by_id_indexed_ = file_count_ < SlotMap::kEmpty;
  if (!by_id_indexed_) {
    by_id_.clear();
    repeats_.clear();
    return;
  }
  const auto ids = record_ids();
  by_id_.reserve(by_id_.size() + static_cast<size_t>(file_count_ - from), ids);
  for (uint64_t r = from; r < file_count_; ++r) {
    const VectorId id = record_id(r);
    if (by_id_.find(id, ids)) {
      by_id_.move(id, static_cast<uint32_t>(r), ids);  // the last record answers for the id
      ++repeats_[id];
    } else {
      by_id_.insert(id, static_cast<uint32_t>(r), ids);
    }
  }
}

uint64_t MmapFlatIndex::records_of(VectorId id, uint64_t* last) const {
  if (!by_id_indexed_) {
    uint64_t records = 0;
    for (uint64_t r = 0; r < file_count_; ++r) {
      if (record_id(r) == id) {
        ++records;
        *last = r;
      }
    }
    return records;
  }
  const std::optional<uint32_t> r = by_id_.find(id, record_ids());
  if (!r) return 0;
  *last = *r;
  if (repeats_.empty()) return 1;
  const auto more = repeats_.find(id);
  return 1 + (more == repeats_.end() ? 0 : more->second);
}

VectorId MmapFlatIndex::record_id(uint64_t i) const { return load_le<VectorId>(record(i)); }

Status MmapFlatIndex::add(VectorId id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
  pending_.insert_or_assign(id, std::vector<float>(vector.begin(), vector.end()));
  return ok();
}

Status MmapFlatIndex::add_batch(std::span<const Entry> entries) {
  grow_map_for(pending_, entries.size());
  for (const auto& [id, vector] : entries) KOVRA_TRY(add(id, vector));
  return ok();
}

Status MmapFlatIndex::add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id) {
  KOVRA_TRY(check_flat_batch(data.size(), columns, dimensions_));
  if (columns == 0) return ok();  // a zero-column block carries no rows
  size_t n = data.size() / columns;
  grow_map_for(pending_, n);
  for (size_t r = 0; r < n; ++r) {
    const float* row = data.data() + r * columns;
    pending_.insert_or_assign(start_id + r, std::vector<float>(row, row + columns));
  }
  return ok();
}

Result<std::vector<Hit>> MmapFlatIndex::search(std::span<const float> query, size_t k) const {
  if (query.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, query.size()));
  if (k == 0) return std::vector<Hit>();

  DistanceScorer scorer(metric_, query, /*raw=*/false);
  TopK top(k);
  constexpr size_t kBlock = 256;
  const float* vectors[kBlock];
  VectorId ids[kBlock];
  float dist[kBlock];
  auto score_block = [&](size_t n) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) scorer.four(vectors + i, dist + i);
    for (; i < n; ++i) dist[i] = scorer.one(vectors[i]);
    for (i = 0; i < n; ++i) top.offer(ids[i], dist[i]);
  };

  // Every file record is scored, a group of four at a time, and the hidden
  // ones are skipped only when offered: reading ids ahead of the scoring would
  // stall on each record's first cache line. Four records at a time read four
  // streams at once, which the hardware prefetcher follows poorly (and never
  // across a page), so records a few groups ahead are fetched explicitly.
  const size_t rs = record_size();
  const uint64_t kAhead = (std::max<size_t>(8, 8192 / rs) + 3) & ~size_t(3);  // about 8 KiB
  const uintptr_t file_start = file_count_ ? reinterpret_cast<uintptr_t>(record(0)) : 0;
  const uintptr_t file_end = file_start + file_count_ * rs;
  for (uint64_t base = 0; base < file_count_; base += kBlock) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(kBlock, file_count_ - base));
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
      uintptr_t from = file_start + (base + i + kAhead) * rs;
      uintptr_t to = std::min(file_end, from + 4 * rs);
      for (uintptr_t p = from; p < to; p += 64) __builtin_prefetch(reinterpret_cast<const void*>(p), 0, 3);
      const float* group[4] = {record_vector(base + i), record_vector(base + i + 1), record_vector(base + i + 2),
                               record_vector(base + i + 3)};
      scorer.four(group, dist + i);
    }
    for (; i < count; ++i) dist[i] = scorer.one(record_vector(base + i));
    for (i = 0; i < count; ++i) {
      if (!top.accepts(dist[i])) continue;
      VectorId id = record_id(base + i);
      if (!hidden(id)) top.push(id, dist[i]);
    }
  }
  size_t n = 0;
  for (const auto& [id, vector] : pending_) {
    ids[n] = id;
    vectors[n] = vector.data();
    if (++n == kBlock) score_block(n), n = 0;
  }
  score_block(n);
  return top.finish();
}

Result<bool> MmapFlatIndex::remove(VectorId id) {
  bool was_pending = pending_.erase(id) > 0;
  if (file_count_ == 0 || deleted_.contains(id)) return was_pending;
  uint64_t last = 0;
  const uint64_t records = records_of(id, &last);
  if (records == 0) return was_pending;
  deleted_.insert(id);
  hidden_count_ += records;
  return true;
}

std::vector<std::optional<std::vector<float>>> MmapFlatIndex::vectors_of(std::span<const VectorId> ids) const {
  std::vector<std::optional<std::vector<float>>> out(ids.size());
  uint64_t last = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (auto p = pending_.find(ids[i]); p != pending_.end()) {
      out[i] = p->second;
    } else if (!hidden(ids[i]) && records_of(ids[i], &last) > 0) {
      const float* v = record_vector(last);
      out[i].emplace(v, v + dimensions_);
    }
  }
  return out;
}

size_t MmapFlatIndex::len() const { return file_count_ - hidden_count_ + pending_.size(); }

std::vector<Entry> MmapFlatIndex::iterate() const {
  std::vector<Entry> out;
  out.reserve(len());
  for (uint64_t r = 0; r < file_count_; ++r) {
    VectorId id = record_id(r);
    if (hidden(id)) continue;
    const float* v = record_vector(r);
    out.emplace_back(id, std::vector<float>(v, v + dimensions_));
  }
  for (const auto& [id, vector] : pending_) out.emplace_back(id, vector);
  return out;
}

Status MmapFlatIndex::flush() {
  if (!deleted_.empty() || (!pending_.empty() && !mapping_.is_open())) return rewrite();
  if (pending_.empty()) return ok();
  return append();
}

Status MmapFlatIndex::rewrite() {
  // The old mapping stays valid on the old file until the new one replaces it,
  // and a crash at any point leaves one complete file at `path_`.
  const std::string tmp = path_ + ".tmp";
  const uint64_t count = len();
  {
    auto writer = io::FileWriter::create(tmp);
    if (!writer) return fail(as_io(std::move(writer).error()));
    io::Encoder enc(**writer);
    put_header(enc, dimensions_, metric_, count);
    for (uint64_t r = 0; r < file_count_ && enc.finish(); ++r) {
      if (!hidden(record_id(r))) enc.raw(record(r), record_size());
    }
    for (const auto& [id, vector] : pending_) {
      enc.put_u64(id);
      enc.raw(vector.data(), 4 * dimensions_);
    }
    Status s = enc.finish();
    if (s) s = (*writer)->close();
    if (!s) {
      ::unlink(tmp.c_str());
      return fail(as_io(std::move(s).error()));
    }
  }
  if (Status replaced = io::replace_file(tmp, path_); !replaced) {
    ::unlink(tmp.c_str());
    return replaced;
  }
  KOVRA_ASSIGN_OR_RETURN(io::MappedFile fresh, io::MappedFile::open(path_));
  mapping_ = std::move(fresh);
  advise_scan(mapping_);
  file_count_ = count;
  hidden_count_ = 0;
  pending_.clear();
  deleted_.clear();
  index_records(0);
  return ok();
}

Status MmapFlatIndex::append() {
  int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return fail(Error::io(errno));
  // Records go after the last counted one, then the count is rewritten: a
  // crash before the count leaves the old file (extra bytes past its records
  // are never read).
  const uint64_t new_count = file_count_ + pending_.size();
  uint64_t offset = kVectorFileHeaderSize + file_count_ * record_size();
  std::vector<uint8_t> chunk;
  chunk.reserve(1 << 20);
  int err = 0;
  auto drain = [&] {
    if (!err && !chunk.empty()) err = pwrite_all(fd, chunk.data(), chunk.size(), offset);
    offset += chunk.size();
    chunk.clear();
  };
  for (const auto& [id, vector] : pending_) {
    const auto* id_bytes = reinterpret_cast<const uint8_t*>(&id);
    const auto* v_bytes = reinterpret_cast<const uint8_t*>(vector.data());
    chunk.insert(chunk.end(), id_bytes, id_bytes + 8);
    chunk.insert(chunk.end(), v_bytes, v_bytes + 4 * dimensions_);
    if (chunk.size() >= (1 << 20)) drain();
  }
  drain();
  if (!err) err = pwrite_all(fd, reinterpret_cast<const uint8_t*>(&new_count), 8, 16);
  if (::close(fd) != 0 && !err) err = errno;
  if (err) return fail(Error::io(err));
  // If the new mapping fails, the old one and the pending table still agree
  // with each other; the next flush writes the same records at the same place.
  KOVRA_ASSIGN_OR_RETURN(io::MappedFile fresh, io::MappedFile::open(path_));
  if (fresh.bytes().size() < kVectorFileHeaderSize + new_count * record_size()) {
    return fail(Error::io_text("vector file shrank during flush"));
  }
  mapping_ = std::move(fresh);
  advise_scan(mapping_);
  const uint64_t from = file_count_;
  file_count_ = new_count;
  pending_.clear();
  index_records(by_id_indexed_ ? from : 0);
  return ok();
}

}  // namespace kovra

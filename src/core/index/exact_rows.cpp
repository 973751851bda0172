#include "core/index/exact_rows.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace kovra {
namespace {

// About 64 KiB of rows wait in memory before they are written.
constexpr size_t kSpillBytes = size_t(64) << 10;

// Reads gather up to this many bytes at once, and take the unwanted rows
// between two wanted ones along when the gap is below kGapBytes: copying a few
// KiB more costs less than another call.
constexpr size_t kBlockBytes = size_t(1) << 20;
constexpr size_t kGapBytes = size_t(16) << 10;

// Moves all `size` bytes at `offset` through `io` (pread or pwrite), which
// may move fewer at a time or be interrupted.
template <class Bytes, class Io>
bool transfer_all(Io io, int fd, Bytes* p, size_t size, uint64_t offset) {
  while (size > 0) {
    ssize_t n = io(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool pread_all(int fd, uint8_t* p, size_t size, uint64_t offset) { return transfer_all(::pread, fd, p, size, offset); }

bool pwrite_all(int fd, const uint8_t* p, size_t size, uint64_t offset) {
  return transfer_all(::pwrite, fd, p, size, offset);
}

// An unnamed file in `dir`; where the file system cannot make one, a named
// file that is unlinked at once. -1 if neither can be made.
int make_temp_file(const std::string& dir_in) {
  std::string dir = dir_in;
  if (dir.empty()) {
    std::error_code ec;
    dir = std::filesystem::temp_directory_path(ec).string();
    if (ec || dir.empty()) dir = "/tmp";
  }
  int fd = -1;
#ifdef O_TMPFILE
  fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  std::string name = dir + "/.kovra-exact-XXXXXX";
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  ::unlink(name.c_str());
  return fd;
}

// A read-only view of the first `size` bytes of `fd`, or null. A file that
// has become shorter (cut by someone else) is not mapped, so that reading it
// fails instead of faulting.
const uint8_t* map_prefix(int fd, size_t size) {
  struct stat st;
  if (fd < 0 || size == 0 || ::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < size) return nullptr;
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(p);
}

}  // namespace

ExactRows::~ExactRows() { close_all(); }

void ExactRows::close_all() {
  if (file_fd_ >= 0) ::close(file_fd_);
  if (spill_fd_ >= 0) ::close(spill_fd_);
  file_fd_ = spill_fd_ = -1;
}

ExactRows::ExactRows(ExactRows&& other) noexcept
    : dimensions_(other.dimensions_),
      dir_(std::move(other.dir_)),
      file_fd_(std::exchange(other.file_fd_, -1)),
      file_offset_(other.file_offset_),
      file_stride_(other.file_stride_),
      file_rows_(std::exchange(other.file_rows_, 0)),
      spill_fd_(std::exchange(other.spill_fd_, -1)),
      spilled_rows_(std::exchange(other.spilled_rows_, 0)),
      spill_failed_(other.spill_failed_),
      tail_(std::move(other.tail_)),
      tail_count_(std::exchange(other.tail_count_, 0)) {}

ExactRows& ExactRows::operator=(ExactRows&& other) noexcept {
  if (this != &other) {
    close_all();
    dimensions_ = other.dimensions_;
    dir_ = std::move(other.dir_);
    file_fd_ = std::exchange(other.file_fd_, -1);
    file_offset_ = other.file_offset_;
    file_stride_ = other.file_stride_;
    file_rows_ = std::exchange(other.file_rows_, 0);
    spill_fd_ = std::exchange(other.spill_fd_, -1);
    spilled_rows_ = std::exchange(other.spilled_rows_, 0);
    spill_failed_ = other.spill_failed_;
    tail_ = std::move(other.tail_);
    tail_count_ = std::exchange(other.tail_count_, 0);
  }
  return *this;
}

void ExactRows::adopt_file(int fd, uint64_t offset, uint64_t stride, uint64_t count) {
  KOVRA_CHECK(rows() == 0 && file_fd_ < 0, "exact rows adopt a file only when empty");
  file_fd_ = fd;
  file_offset_ = offset;
  file_stride_ = stride;
  file_rows_ = count;
}

Result<uint32_t> ExactRows::append(const float* vector) {
  const uint64_t row = rows();
  if (row >= kNone) {
    return fail(Error::invalid_config("an index keeps at most " + std::to_string(kNone) + " exact vectors"));
  }
  if (dimensions_ == 0) {
    ++tail_count_;
  } else {
    if (tail_.empty() && !spill_failed_) tail_.reserve(std::max<size_t>(1, kSpillBytes / row_bytes()) * dimensions_);
    tail_.insert(tail_.end(), vector, vector + dimensions_);
    if (!spill_failed_ && tail_.size() * sizeof(float) >= kSpillBytes) spill();
  }
  return static_cast<uint32_t>(row);
}

bool ExactRows::spill() {
  if (spill_fd_ < 0) spill_fd_ = make_temp_file(dir_);
  const uint64_t n = tail_rows();
  if (spill_fd_ < 0 || !pwrite_all(spill_fd_, reinterpret_cast<const uint8_t*>(tail_.data()),
                                   tail_.size() * sizeof(float), spilled_rows_ * row_bytes())) {
    // Kept in memory from now on: slower to grow, but nothing is lost.
    spill_failed_ = true;
    return false;
  }
  spilled_rows_ += n;
  tail_.clear();
  return true;
}

bool ExactRows::read(uint32_t row, float* out) const {
  if (dimensions_ == 0) return true;
  auto* dst = reinterpret_cast<uint8_t*>(out);
  if (row < file_rows_) return pread_all(file_fd_, dst, row_bytes(), file_offset_ + row * file_stride_);
  uint64_t r = row - file_rows_;
  if (r < spilled_rows_) return pread_all(spill_fd_, dst, row_bytes(), r * row_bytes());
  r -= spilled_rows_;
  std::memcpy(out, tail_.data() + r * dimensions_, row_bytes());
  return true;
}

bool ExactRows::read_rows(std::span<const uint32_t> rows, float* out) const {
  if (dimensions_ == 0 || rows.empty()) return true;
  const size_t bytes = row_bytes();
  // (row, position asked) in one word, so one sort gives the file order.
  std::vector<uint64_t> order(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) order[i] = (uint64_t(rows[i]) << 32) | i;
  std::sort(order.begin(), order.end());
  auto row_of = [&](size_t j) { return static_cast<uint32_t>(order[j] >> 32); };
  auto dst_of = [&](size_t j) { return out + (order[j] & 0xFFFFFFFFu) * dimensions_; };

  std::vector<uint8_t> block;
  const uint64_t spill_end = file_rows_ + spilled_rows_;
  for (size_t a = 0; a < order.size();) {
    const uint64_t first = row_of(a);
    if (first >= spill_end) {
      std::memcpy(dst_of(a), tail_.data() + (first - spill_end) * dimensions_, bytes);
      ++a;
      continue;
    }
    const bool loaded = first < file_rows_;
    const int fd = loaded ? file_fd_ : spill_fd_;
    const uint64_t stride = loaded ? file_stride_ : bytes;
    const uint64_t start = loaded ? 0 : file_rows_;
    const uint64_t end = loaded ? file_rows_ : spill_end;
    const uint64_t base = loaded ? file_offset_ : 0;
    const uint64_t max_span = std::max<uint64_t>(1, kBlockBytes / stride);
    const uint64_t max_gap = std::max<uint64_t>(1, kGapBytes / stride);
    uint64_t last = first;
    size_t b = a + 1;
    for (; b < order.size(); ++b) {
      const uint64_t r = row_of(b);
      if (r >= end || r - first >= max_span || r - last > max_gap) break;
      last = r;
    }
    const size_t span = static_cast<size_t>((last - first) * stride + bytes);
    if (block.size() < span) block.resize(std::max(span, std::min<size_t>(kBlockBytes, bytes * 64)));
    if (!pread_all(fd, block.data(), span, base + (first - start) * stride)) return false;
    for (; a < b; ++a) std::memcpy(dst_of(a), block.data() + (row_of(a) - first) * stride, bytes);
  }
  return true;
}

bool ExactRows::compact(std::span<uint32_t* const> live) {
  std::vector<uint32_t*> order(live.begin(), live.end());
  std::sort(order.begin(), order.end(), [](const uint32_t* a, const uint32_t* b) { return *a < *b; });
  if (dimensions_ == 0) {
    tail_count_ = order.size();
    spilled_rows_ = 0;
    for (size_t k = 0; k < order.size(); ++k) *order[k] = static_cast<uint32_t>(file_rows_ + k);
    return true;
  }
  const size_t bytes = row_bytes();
  std::vector<uint32_t> rows;
  std::vector<float> block;
  if (spill_failed_) {
    // The rows live in memory: the kept ones make a new buffer.
    rows.reserve(order.size());
    for (uint32_t* p : order) rows.push_back(*p);
    block.resize(rows.size() * dimensions_);
    if (!read_rows(rows, block.data())) return false;
    tail_ = std::move(block);
    tail_.shrink_to_fit();
    if (spill_fd_ >= 0) ::close(spill_fd_);
    spill_fd_ = -1;
    spilled_rows_ = 0;
  } else {
    const int fd = make_temp_file(dir_);
    if (fd < 0) return false;
    // A block of rows at a time, read in file order and written in one call.
    const size_t per_block = std::max<size_t>(1, kBlockBytes * 4 / bytes);
    for (size_t at = 0; at < order.size(); at += per_block) {
      const size_t n = std::min(per_block, order.size() - at);
      rows.resize(n);
      for (size_t k = 0; k < n; ++k) rows[k] = *order[at + k];
      block.resize(n * dimensions_);
      if (!read_rows(rows, block.data()) ||
          !pwrite_all(fd, reinterpret_cast<const uint8_t*>(block.data()), n * bytes, at * bytes)) {
        ::close(fd);
        return false;
      }
    }
    if (spill_fd_ >= 0) ::close(spill_fd_);
    spill_fd_ = fd;
    spilled_rows_ = order.size();
    tail_.clear();
  }
  for (size_t k = 0; k < order.size(); ++k) *order[k] = static_cast<uint32_t>(file_rows_ + k);
  return true;
}

ExactRows::Reader::Reader(const ExactRows& rows) : rows_(rows) {
  if (rows.file_rows_ > 0) {
    file_map_size_ = rows.file_offset_ + (rows.file_rows_ - 1) * rows.file_stride_ + rows.row_bytes();
    file_map_ = map_prefix(rows.file_fd_, file_map_size_);
  }
  spill_map_size_ = rows.spilled_rows_ * rows.row_bytes();
  spill_map_ = map_prefix(rows.spill_fd_, spill_map_size_);
}

ExactRows::Reader::~Reader() {
  if (file_map_) ::munmap(const_cast<uint8_t*>(file_map_), file_map_size_);
  if (spill_map_) ::munmap(const_cast<uint8_t*>(spill_map_), spill_map_size_);
}

bool ExactRows::Reader::read(uint32_t row, float* out) const {
  const size_t bytes = rows_.row_bytes();
  if (row < rows_.file_rows_) {
    if (!file_map_) return rows_.read(row, out);
    std::memcpy(out, file_map_ + rows_.file_offset_ + row * rows_.file_stride_, bytes);
    return true;
  }
  const uint64_t r = row - rows_.file_rows_;
  if (r < rows_.spilled_rows_ && spill_map_) {
    std::memcpy(out, spill_map_ + r * bytes, bytes);
    return true;
  }
  return rows_.read(row, out);
}

bool ExactRows::Reader::read_rows(std::span<const uint32_t> rows, float* out) const {
  if ((rows_.file_rows_ > 0 && !file_map_) || (rows_.spilled_rows_ > 0 && !spill_map_)) {
    return rows_.read_rows(rows, out);
  }
  const size_t d = rows_.dimensions_;
  std::vector<uint64_t> order(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) order[i] = (uint64_t(rows[i]) << 32) | i;
  std::sort(order.begin(), order.end());
  for (uint64_t o : order) {
    if (!read(static_cast<uint32_t>(o >> 32), out + (o & 0xFFFFFFFFu) * d)) return false;
  }
  return true;
}

}  // namespace kovra

#include "core/index/exact_rows.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace kovra {
namespace {

// About 64 KiB of rows wait in memory before they are written.
constexpr size_t kSpillBytes = size_t(64) << 10;

bool pread_all(int fd, uint8_t* p, size_t size, uint64_t offset) {
  while (size > 0) {
    ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool pwrite_all(int fd, const uint8_t* p, size_t size, uint64_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
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

}  // namespace kovra

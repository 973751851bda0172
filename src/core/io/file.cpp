#include "core/io/file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace kovra::io {
namespace {

Error write_error(int err) {
  return Error::serialization(std::string("write failed: ") + std::strerror(err) + " (os error " +
                              std::to_string(err) + ")");
}

// Writes all of `size` bytes, retrying short writes and interrupts.
int write_all(int fd, const uint8_t* p, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

FileWriter::~FileWriter() {
  if (fd_ >= 0) {
    (void)flush();
    ::close(fd_);
  }
}

Result<std::unique_ptr<FileWriter>> FileWriter::create(const std::string& path, bool append) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return fail(Error::io(errno));
  auto w = std::unique_ptr<FileWriter>(new FileWriter());
  w->fd_ = fd;
  w->buf_.reserve(kFileBufferSize);
  return w;
}

Status FileWriter::write(const void* data, size_t size) {
  if (fd_ < 0) return fail(Error::serialization("write to a closed file"));
  const auto* p = static_cast<const uint8_t*>(data);
  if (buf_.size() + size <= kFileBufferSize) {
    buf_.insert(buf_.end(), p, p + size);
    return ok();
  }
  KOVRA_TRY(flush());
  if (size >= kFileBufferSize) {
    if (int err = write_all(fd_, p, size)) return fail(write_error(err));
    return ok();
  }
  buf_.insert(buf_.end(), p, p + size);
  return ok();
}

Status FileWriter::flush() {
  if (fd_ < 0 || buf_.empty()) return ok();
  int err = write_all(fd_, buf_.data(), buf_.size());
  buf_.clear();
  if (err) return fail(write_error(err));
  return ok();
}

Status FileWriter::close() {
  if (fd_ < 0) return ok();
  Status s = flush();
  if (::close(fd_) != 0 && s) s = fail(write_error(errno));
  fd_ = -1;
  return s;
}

FileReader::~FileReader() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::unique_ptr<FileReader>> FileReader::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(Error::io(errno));
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return fail(Error::io(EISDIR));
  }
  auto r = std::unique_ptr<FileReader>(new FileReader());
  r->fd_ = fd;
  r->buf_.resize(kFileBufferSize);
  return r;
}

Result<size_t> FileReader::read(void* out, size_t size) {
  auto* p = static_cast<uint8_t*>(out);
  size_t done = 0;
  while (done < size) {
    if (pos_ == end_) {
      // Large reads bypass the buffer.
      if (size - done >= kFileBufferSize) {
        ssize_t n = ::read(fd_, p + done, size - done);
        if (n < 0) {
          if (errno == EINTR) continue;
          return fail(Error::serialization(std::string("read failed: ") + std::strerror(errno)));
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
        continue;
      }
      ssize_t n = ::read(fd_, buf_.data(), buf_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(Error::serialization(std::string("read failed: ") + std::strerror(errno)));
      }
      if (n == 0) break;
      pos_ = 0;
      end_ = static_cast<size_t>(n);
    }
    size_t take = std::min(size - done, end_ - pos_);
    std::memcpy(p + done, buf_.data() + pos_, take);
    pos_ += take;
    done += take;
  }
  return done;
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<uint8_t*>(data_), size_);
}

MappedFile::MappedFile(MappedFile&& o) noexcept : data_(o.data_), size_(o.size_), opened_(o.opened_) {
  o.data_ = nullptr;
  o.size_ = 0;
  o.opened_ = false;
}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
  if (this != &o) {
    if (data_) ::munmap(const_cast<uint8_t*>(data_), size_);
    data_ = o.data_;
    size_ = o.size_;
    opened_ = o.opened_;
    o.data_ = nullptr;
    o.size_ = 0;
    o.opened_ = false;
  }
  return *this;
}

Result<MappedFile> MappedFile::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(Error::io(errno));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return fail(Error::io(err));
  }
  MappedFile m;
  m.opened_ = true;
  m.size_ = static_cast<size_t>(st.st_size);
  if (m.size_ > 0) {
    void* p = ::mmap(nullptr, m.size_, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      int err = errno;
      ::close(fd);
      m.size_ = 0;
      return fail(Error::io(err));
    }
    m.data_ = static_cast<const uint8_t*>(p);
  }
  ::close(fd);
  return m;
}

Status write_whole_file(const std::string& path, std::span<const uint8_t> bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(Error::io(errno));
  int err = write_all(fd, bytes.data(), bytes.size());
  if (::close(fd) != 0 && !err) err = errno;
  if (err) return fail(write_error(err));
  return ok();
}

Result<std::vector<uint8_t>> read_whole_file(const std::string& path) {
  KOVRA_ASSIGN_OR_RETURN(auto reader, FileReader::open(path));
  std::vector<uint8_t> out;
  uint8_t buf[kFileBufferSize];
  for (;;) {
    KOVRA_ASSIGN_OR_RETURN(size_t n, reader->read(buf, sizeof buf));
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

namespace {

std::mutex g_observer_mutex;
DurabilityObserver g_observer;

void observe(const char* step, const std::string& path) {
  std::lock_guard<std::mutex> lock(g_observer_mutex);
  if (g_observer) g_observer(step, path);
}

// fsync(2) of whatever is at `path`, opened read-only (enough for fsync, and
// the only way to open a directory).
int fsync_path(const std::string& path, int extra_flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | extra_flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  int err = 0;
  if (::fsync(fd) != 0) err = errno;
  ::close(fd);
  return err;
}

}  // namespace

void set_durability_observer_for_testing(DurabilityObserver observer) {
  std::lock_guard<std::mutex> lock(g_observer_mutex);
  g_observer = std::move(observer);
}

std::string parent_dir(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

Status sync_file(const std::string& path) {
  if (int err = fsync_path(path, 0)) return fail(Error::io(err));
  observe("sync", path);
  return ok();
}

Status sync_dir(const std::string& dir) {
  const std::string target = dir.empty() ? "." : dir;
  if (int err = fsync_path(target, O_DIRECTORY)) return fail(Error::io(err));
  observe("sync_dir", target);
  return ok();
}

Status replace_file(const std::string& tmp, const std::string& target) {
  // The data first: a rename that reaches the disk before the data would
  // leave the name pointing at an empty or partial file.
  KOVRA_TRY(sync_file(tmp));
  if (::rename(tmp.c_str(), target.c_str()) != 0) return fail(Error::io(errno));
  observe("rename", target);
  return sync_dir(parent_dir(target));
}

Status write_replacing(const std::string& path, const std::function<Status(const std::string& tmp)>& write) {
  const std::string tmp = path + ".tmp";
  Status s = write(tmp);
  if (s) s = replace_file(tmp, path);
  if (!s) ::unlink(tmp.c_str());
  return s;
}

Status write_new_file(const std::string& path, std::span<const uint8_t> bytes) {
  KOVRA_TRY(write_whole_file(path, bytes));
  KOVRA_TRY(sync_file(path));
  return sync_dir(parent_dir(path));
}

Status create_directories(const std::string& dir) {
  if (dir.empty()) return ok();
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return ok();
    return fail(Error::io(ENOTDIR));
  }
  if (errno != ENOENT) return fail(Error::io(errno));
  std::string trimmed = dir;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::string parent = parent_dir(trimmed);
  if (parent != trimmed) KOVRA_TRY(create_directories(parent));
  if (::mkdir(trimmed.c_str(), 0755) != 0) {
    // Made meanwhile by another thread: synced below all the same.
    if (errno != EEXIST || ::stat(trimmed.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return fail(Error::io(errno));
  }
  return sync_dir(parent);
}

}  // namespace kovra::io

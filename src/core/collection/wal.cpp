#include "core/collection/wal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/buffer.h"
#include "core/collection/wal_format.h"
#include "core/io/file.h"

namespace kovra {
namespace {

uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Reads an option of a counted byte string at `*pos`; false when it does not
// decode.
bool read_option_bytes(std::span<const uint8_t> body, size_t* pos,
                       std::optional<std::span<const uint8_t>>* out) {
  if (*pos >= body.size()) return false;
  uint8_t tag = body[*pos];
  ++*pos;
  if (tag == 0) {
    out->reset();
    return true;
  }
  if (tag != 1 || body.size() - *pos < 8) return false;
  uint64_t len = load_u64(body.data() + *pos);
  *pos += 8;
  if (len > body.size() - *pos) return false;
  *out = body.subspan(*pos, static_cast<size_t>(len));
  *pos += static_cast<size_t>(len);
  return true;
}

// Reads until `size` bytes or the end of input; returns how many arrived.
Result<size_t> read_up_to(io::Source& src, uint8_t* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    auto n = src.read(out + done, size - done);
    if (!n) return fail(Error::io_text(n.error().text()));
    if (*n == 0) break;
    done += *n;
  }
  return done;
}

Result<WalReplayStats> replay_source(io::Source& src, const WalVisitor& visit, std::optional<uint64_t> mark) {
  WalReplayStats stats;
  if (mark && *mark == 0) stats.mark_digest = stats.end.hash.digest();
  std::vector<uint8_t> body;
  std::vector<float> floats;
  for (;;) {
    uint8_t len_bytes[wal::kLengthSize];
    KOVRA_ASSIGN_OR_RETURN(size_t got, read_up_to(src, len_bytes, sizeof len_bytes));
    if (got < sizeof len_bytes) {
      stats.torn = got > 0;
      return stats;
    }
    uint32_t len = load_u32(len_bytes);
    if (len > wal::kMaxBodySize) {
      stats.torn = true;
      return stats;
    }
    // Grow the body as bytes arrive, so a damaged length costs no more memory
    // than the file holds.
    body.clear();
    size_t have = 0;
    while (have < len) {
      size_t step = std::min<size_t>(len - have, wal::kMaxReserveBytes);
      body.resize(have + step);
      KOVRA_ASSIGN_OR_RETURN(size_t n, read_up_to(src, body.data() + have, step));
      have += n;
      if (n < step) break;
    }
    if (have < len) {
      stats.torn = true;
      return stats;
    }
    ++stats.records;
    stats.valid_end += wal::kLengthSize + len;
    stats.end.hash.update(len_bytes, sizeof len_bytes);
    stats.end.hash.update(body.data(), len);
    stats.end.bytes = stats.valid_end;
    stats.end.records = stats.records;
    if (mark && *mark == stats.valid_end) {
      stats.mark_digest = stats.end.hash.digest();
      stats.mark_records = stats.records;
    }
    if (auto entry = decode_wal_body(std::span<const uint8_t>(body.data(), len), floats)) {
      entry->end = stats.valid_end;
      visit(*entry);
    }
  }
}

}  // namespace

std::optional<WalEntryView> decode_wal_body(std::span<const uint8_t> body, std::vector<float>& floats) {
  if (body.size() < 4) return std::nullopt;
  uint32_t variant = load_u32(body.data());
  WalEntryView e;
  if (variant == wal::kDeleteVariant) {
    if (body.size() < wal::kDeleteBodySize) return std::nullopt;
    e.id = load_u64(body.data() + 4);
    return e;
  }
  if (variant != wal::kAddVariant || body.size() < wal::kAddHeadSize) return std::nullopt;
  e.is_add = true;
  e.id = load_u64(body.data() + 4);
  uint64_t n = load_u64(body.data() + 12);
  size_t pos = wal::kAddHeadSize;
  if (n > (body.size() - pos) / 4) return std::nullopt;
  floats.resize(static_cast<size_t>(n));
  if (n) std::memcpy(floats.data(), body.data() + pos, static_cast<size_t>(n) * 4);
  pos += static_cast<size_t>(n) * 4;
  e.vector = floats;
  std::optional<std::span<const uint8_t>> payload;
  if (!read_option_bytes(body, &pos, &payload)) return std::nullopt;
  if (payload) e.payload = std::string_view(reinterpret_cast<const char*>(payload->data()), payload->size());
  if (!read_option_bytes(body, &pos, &e.sparse)) return std::nullopt;
  return e;
}

Result<WalReplayStats> replay_wal(const std::string& path, const WalVisitor& visit, std::optional<uint64_t> mark) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    WalReplayStats none;
    if (mark && *mark == 0) none.mark_digest = none.end.hash.digest();
    return none;
  }
  KOVRA_ASSIGN_OR_RETURN(auto reader, io::FileReader::open(path));
  return replay_source(*reader, visit, mark);
}

WalReplayStats replay_wal_bytes(std::span<const uint8_t> bytes, const WalVisitor& visit) {
  io::SpanSource src(bytes);
  auto r = replay_source(src, visit, std::nullopt);
  return r ? *r : WalReplayStats{};
}

// ---------------------------------------------------------------------------

WalWriter::~WalWriter() { (void)close(); }

Result<std::unique_ptr<WalWriter>> WalWriter::open_append(const std::string& path, std::optional<uint64_t> keep,
                                                         const LogPosition& at) {
  // Not O_APPEND: a batch patches its first length after the rest is written
  // (see flush), and every write goes to an explicit offset anyway.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return fail(Error::io(errno));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return fail(Error::io(err));
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (keep && *keep < size) {
    if (::ftruncate(fd, static_cast<off_t>(*keep)) != 0) {
      int err = errno;
      ::close(fd);
      return fail(Error::io(err));
    }
    size = *keep;
  }
  auto w = std::unique_ptr<WalWriter>(new WalWriter());
  w->fd_ = fd;
  w->pos_ = at;
  // Bytes the caller did not know of (a file changed behind its back) leave
  // a position no checkpoint can match, so none is ever bound to them.
  if (at.bytes != size) {
    w->pos_ = LogPosition();
    w->pos_.bytes = size;
    w->pos_.known = false;
  }
  w->buf_.reserve(io::kFileBufferSize);
  return w;
}

Result<std::unique_ptr<WalWriter>> WalWriter::create(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(Error::io(errno));
  auto w = std::unique_ptr<WalWriter>(new WalWriter());
  w->fd_ = fd;
  w->buf_.reserve(io::kFileBufferSize);
  return w;
}

void WalWriter::append_add(VectorId id, std::span<const float> vector, const std::string* payload,
                           const std::vector<uint8_t>* sparse) {
  uint64_t m = payload ? payload->size() : 0;
  uint64_t s = sparse ? sparse->size() : 0;
  uint64_t len = wal::add_body_size(vector.size(), payload ? &m : nullptr, sparse ? &s : nullptr);
  KOVRA_CHECK(len <= wal::kMaxBodySize, "log record above the size limit");
  grow_for(buf_, wal::kLengthSize + len);  // a batch appends many records: keep the growth geometric
  put(static_cast<uint32_t>(len));
  put(wal::kAddVariant);
  put(id);
  put(static_cast<uint64_t>(vector.size()));
  const auto* f = reinterpret_cast<const uint8_t*>(vector.data());
  buf_.insert(buf_.end(), f, f + vector.size_bytes());
  put(static_cast<uint8_t>(payload ? 1 : 0));
  if (payload) {
    put(m);
    buf_.insert(buf_.end(), payload->begin(), payload->end());
  }
  put(static_cast<uint8_t>(sparse ? 1 : 0));
  if (sparse) {
    put(s);
    buf_.insert(buf_.end(), sparse->begin(), sparse->end());
  }
  ++pending_records_;
}

void WalWriter::append_delete(VectorId id) {
  put(static_cast<uint32_t>(wal::kDeleteBodySize));
  put(wal::kDeleteVariant);
  put(id);
  ++pending_records_;
}

namespace {

// Writes all of [p, p + n) at `offset`; errno on failure.
int write_all_at(int fd, const uint8_t* p, size_t n, uint64_t offset) {
  while (n > 0) {
    ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return w < 0 ? errno : EIO;
    p += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return 0;
}

}  // namespace

Status WalWriter::flush() {
  if (buf_.empty()) return ok();
  if (fd_ < 0) {
    discard();
    return fail(Error::io_text("the log is closed"));
  }
  // Several records go in as one batch: whole or not at all. A process that
  // dies part-way through a large write leaves a prefix of it in the file,
  // and replay would apply the whole records of that prefix. So the first
  // record's length is written as a value replay takes for a torn tail, and
  // set right only once everything behind it is in the file: until then a
  // reopen cuts the log where the batch starts.
  uint32_t first_length;
  std::memcpy(&first_length, buf_.data(), sizeof first_length);
  const bool batch = buf_.size() > wal::kLengthSize + uint64_t{first_length};
  if (batch) {
    const uint32_t held = 0xFFFFFFFFu;
    std::memcpy(buf_.data(), &held, sizeof held);
  }
  int err = write_all_at(fd_, buf_.data(), buf_.size(), pos_.bytes);
  if (!err && batch)
    err = write_all_at(fd_, reinterpret_cast<const uint8_t*>(&first_length), sizeof first_length, pos_.bytes);
  if (err) {
    // Take back whatever part of the records reached the file.
    (void)::ftruncate(fd_, static_cast<off_t>(pos_.bytes));
    discard();
    return fail(Error::io(err));
  }
  // The position's hash covers the bytes as they now stand in the file.
  if (batch) std::memcpy(buf_.data(), &first_length, sizeof first_length);
  pos_.bytes += buf_.size();
  pos_.records += pending_records_;
  pos_.hash.update(buf_.data(), buf_.size());
  discard();
  return ok();
}

Status WalWriter::close() {
  if (fd_ < 0) return ok();
  Status s = flush();
  if (::close(fd_) != 0 && s) s = fail(Error::io(errno));
  fd_ = -1;
  return s;
}

// ---------------------------------------------------------------------------

LogSync::File::~File() {
  if (fd >= 0) ::close(fd);
}

Result<uint64_t> LogSync::ticket(int fd) {
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) return fail(Error::io(fd < 0 ? EBADF : errno));
  std::lock_guard lock(mutex_);
  // A compaction or a reopen gives the log a new file: sync that one from now
  // on. The descriptor is our own, so a sync in progress keeps the old file
  // open whatever the writer does with its descriptor.
  if (!file_ || file_->dev != st.st_dev || file_->ino != st.st_ino) {
    auto file = std::make_shared<File>();
    file->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (file->fd < 0) return fail(Error::io(errno));
    file->dev = st.st_dev;
    file->ino = st.st_ino;
    file_ = std::move(file);
  }
  return ++issued_;
}

Status LogSync::wait(uint64_t ticket) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (durable_ >= ticket) return ok();
    if (file_->error) return fail(Error::io(file_->error));
    if (!syncing_) break;
    done_.wait(lock);
  }
  // Lead a sync for everyone whose records were handed over by now.
  syncing_ = true;
  const uint64_t target = issued_;
  std::shared_ptr<File> file = file_;
  lock.unlock();
  int err = 0;
  while (::fdatasync(file->fd) != 0) {
    if (errno == EINTR) continue;
    err = errno;
    break;
  }
  lock.lock();
  syncing_ = false;
  ++syncs_;
  if (err) file->error = err;
  else durable_ = std::max(durable_, target);
  done_.notify_all();
  // Without an error, `target` covers `ticket`: it was drawn before this wait.
  if (err) return fail(Error::io(err));
  return ok();
}

uint64_t LogSync::syncs() const {
  std::lock_guard lock(mutex_);
  return syncs_;
}

}  // namespace kovra

// Files: a buffered writer and reader that plug into the record codec, a
// read-only whole-file mapping, and durable replace-by-rename.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/io/codec.h"

namespace kovra::io {

inline constexpr size_t kFileBufferSize = 8192;

// Writes through an 8192-byte buffer. Failing to create the file is Io; a
// failed write (including the last buffered bytes at close) is Serialization,
// as it is met while encoding.
class FileWriter final : public Sink {
 public:
  FileWriter() = default;
  ~FileWriter() override;
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Creates or truncates; `append` opens for appending instead (created if
  // missing).
  static Result<std::unique_ptr<FileWriter>> create(const std::string& path, bool append = false);

  Status write(const void* data, size_t size) override;
  // Hands the buffered bytes to the operating system.
  Status flush();
  // Flushes and closes; reports the failure of the last write.
  Status close();

 private:
  int fd_ = -1;
  std::vector<uint8_t> buf_;
};

// Reads through an 8192-byte buffer.
class FileReader final : public Source {
 public:
  ~FileReader() override;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  static Result<std::unique_ptr<FileReader>> open(const std::string& path);
  Result<size_t> read(void* out, size_t size) override;

 private:
  FileReader() = default;
  int fd_ = -1;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

// A whole file mapped read-only. Empty files map to an empty span.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  static Result<MappedFile> open(const std::string& path);
  std::span<const uint8_t> bytes() const { return {data_, size_}; }
  bool is_open() const { return data_ != nullptr || opened_; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  bool opened_ = false;
};

// Encodes a whole file through a FileWriter: `fn(Encoder&)`. Creation failure is
// Io, any encode/write/close failure Serialization.
template <class Fn>
Status save_file(const std::string& path, Fn&& fn) {
  KOVRA_ASSIGN_OR_RETURN(auto writer, FileWriter::create(path));
  Encoder enc(*writer);
  fn(enc);
  KOVRA_TRY(enc.finish());
  return writer->close();
}

Status write_replacing(const std::string& path, const std::function<Status(const std::string& tmp)>& write);

// save_file under "<path>.tmp", then replace_file: a save never leaves a
// truncated file where the previous one was.
template <class Fn>
Status save_file_replacing(const std::string& path, Fn&& fn) {
  return write_replacing(path, [&](const std::string& tmp) { return save_file(tmp, fn); });
}

// Decodes a file through a FileReader: `fn(Decoder&) -> Result<T>`.
template <class T, class Fn>
Result<T> load_file(const std::string& path, Fn&& fn) {
  KOVRA_ASSIGN_OR_RETURN(auto reader, FileReader::open(path));
  Decoder dec(*reader);
  return fn(dec);
}

// Writes `bytes` to the file in one piece (create/truncate).
Status write_whole_file(const std::string& path, std::span<const uint8_t> bytes);
Result<std::vector<uint8_t>> read_whole_file(const std::string& path);
bool file_exists(const std::string& path);

// ---------------------------------------------------------------------------
// Durability. write(2) and rename(2) only reach the page cache: after a power
// cut or an OS crash, a renamed file can be empty or partial under its new
// name, and a new or renamed name can be missing altogether, since it lives in
// the directory, which is written back on its own schedule. The helpers below
// are the only places that force anything to the disk; every writer of a file
// that replaces another, or of a new file or directory that must be found
// again, goes through them.

// fsync(2) of the file or directory at `path`; failure is Io.
Status sync_file(const std::string& path);
// fsync(2) of the directory `dir` ("" is the current directory): makes the
// names created, renamed or removed in it durable.
Status sync_dir(const std::string& dir);
// The directory part of `path` ("." when it has none).
std::string parent_dir(const std::string& path);

// The one way to replace a file: `tmp`, written completely and closed by the
// caller, is synced, renamed over `target`, and the target's directory is
// synced. After a crash at any point `target` is either the old file or the
// whole new one. Failure is Io; `tmp` is left for the caller to remove.
Status replace_file(const std::string& tmp, const std::string& target);

// Writes a whole file as `write(tmp)` under "<path>.tmp" and replaces `path`
// with it (replace_file). On failure the temporary file is removed and `path`
// is as it was.
Status write_replacing(const std::string& path, const std::function<Status(const std::string& tmp)>& write);

// Writes `bytes` to a new file at `path` (create/truncate) and syncs the file
// and its directory.
Status write_new_file(const std::string& path, std::span<const uint8_t> bytes);

// Creates `dir` and its missing parents, and syncs the parent of each one it
// creates, so that none of them vanishes in a power cut. An existing
// directory is fine. Failure is Io.
Status create_directories(const std::string& dir);

// Test seam: every durability step above (and nothing else) is reported to
// `observer` in the order it happens, after it succeeded: "sync" with the
// file, "rename" with the target, "sync_dir" with the directory. An empty
// function turns it off.
using DurabilityObserver = std::function<void(const char* step, const std::string& path)>;
void set_durability_observer_for_testing(DurabilityObserver observer);

}  // namespace kovra::io

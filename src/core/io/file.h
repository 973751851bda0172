// Files: a buffered writer and reader that plug into the record codec, a
// read-only whole-file mapping, and replace-by-rename.
#pragma once

#include <cstdint>
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
// rename(2) with replace; failure is Io.
Status rename_file(const std::string& from, const std::string& to);
bool file_exists(const std::string& path);

}  // namespace kovra::io

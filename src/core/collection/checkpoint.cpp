#include "core/collection/checkpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "core/index/hnsw_io.h"
#include "core/io/file.h"
#include "core/io/hash.h"

namespace kovra {
namespace {

constexpr char kMagic[8] = {'k', 'v', 'c', 'k', 'p', 't', '0', '1'};
constexpr size_t kFields = 4;

uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

Status append_trailer(const std::string& tmp, const LogMark& mark) {
  KOVRA_ASSIGN_OR_RETURN(io::MappedFile graph, io::MappedFile::open(tmp));
  uint64_t fields[kFields + 1] = {graph.bytes().size(), io::StreamHash::of(graph.bytes()), mark.bytes,
                                  mark.digest, 0};
  fields[kFields] = io::StreamHash::of({reinterpret_cast<const uint8_t*>(fields), kFields * 8});
  uint8_t trailer[kCheckpointTrailerSize];
  std::memcpy(trailer, fields, sizeof fields);
  std::memcpy(trailer + sizeof fields, kMagic, sizeof kMagic);
  KOVRA_ASSIGN_OR_RETURN(auto writer, io::FileWriter::create(tmp, /*append=*/true));
  KOVRA_TRY(writer->write(trailer, sizeof trailer));
  return writer->close();
}

}  // namespace

Status write_graph_checkpoint(const VectorIndex& index, const std::string& path, const std::string& tmp,
                              const LogMark& mark) {
  Status st = index.save_graph(tmp);
  if (st) st = append_trailer(tmp, mark);
  if (st) st = io::replace_file(tmp, path);
  if (!st) (void)::unlink(tmp.c_str());
  return st;
}

// Whether the trailer's tag and digest hold.
static bool trailer_fields(const uint8_t* trailer) {
  return std::memcmp(trailer + (kFields + 1) * 8, kMagic, sizeof kMagic) == 0 &&
         io::StreamHash::of({trailer, kFields * 8}) == load_u64(trailer + kFields * 8);
}

std::optional<LogMark> read_checkpoint_mark(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  uint8_t trailer[kCheckpointTrailerSize];
  struct stat st;
  bool read = ::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= kCheckpointTrailerSize &&
              ::pread(fd, trailer, sizeof trailer, st.st_size - static_cast<off_t>(sizeof trailer)) ==
                  static_cast<ssize_t>(sizeof trailer);
  ::close(fd);
  if (!read || !trailer_fields(trailer)) return std::nullopt;
  return LogMark{load_u64(trailer + 16), load_u64(trailer + 24)};
}

std::optional<GraphCheckpoint> read_graph_checkpoint(const std::string& path, uint64_t dimensions) {
  if (!io::file_exists(path)) return std::nullopt;
  auto file = io::MappedFile::open(path);
  if (!file) return std::nullopt;
  std::span<const uint8_t> bytes = file->bytes();
  if (bytes.size() < kCheckpointTrailerSize) return std::nullopt;
  const uint8_t* trailer = bytes.data() + bytes.size() - kCheckpointTrailerSize;
  if (!trailer_fields(trailer)) return std::nullopt;
  const uint64_t graph_bytes = load_u64(trailer);
  if (graph_bytes != bytes.size() - kCheckpointTrailerSize) return std::nullopt;
  std::span<const uint8_t> graph = bytes.first(static_cast<size_t>(graph_bytes));
  if (io::StreamHash::of(graph) != load_u64(trailer + 8)) return std::nullopt;

  io::SpanSource source(graph);
  io::Decoder dec(source);
  auto snap = decode_graph(dec);
  if (!snap) return std::nullopt;
  auto decoded = from_snapshot(std::move(*snap), dimensions);
  if (!decoded) return std::nullopt;
  GraphCheckpoint out{std::move(*decoded), LogMark{load_u64(trailer + 16), load_u64(trailer + 24)}};
  return out;
}

}  // namespace kovra

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

namespace {

struct Trailer {
  uint64_t graph_bytes;
  uint64_t graph_digest;
  LogMark mark;
};

// The trailer of the checkpoint at `path`, when its tag and digest hold and
// it sizes the graph record as the file does.
std::optional<Trailer> read_trailer(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  uint8_t trailer[kCheckpointTrailerSize];
  struct stat st;
  bool read = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_size) >= kCheckpointTrailerSize &&
              ::pread(fd, trailer, sizeof trailer, st.st_size - static_cast<off_t>(sizeof trailer)) ==
                  static_cast<ssize_t>(sizeof trailer);
  ::close(fd);
  if (!read || !trailer_fields(trailer)) return std::nullopt;
  Trailer t{load_u64(trailer), load_u64(trailer + 8), LogMark{load_u64(trailer + 16), load_u64(trailer + 24)}};
  if (t.graph_bytes != static_cast<uint64_t>(st.st_size) - kCheckpointTrailerSize) return std::nullopt;
  return t;
}

// Hands the first `limit` bytes of a file to the decoder and hashes them on
// the way, so that one pass over the file both checks and decodes it.
class HashingSource final : public io::Source {
 public:
  HashingSource(io::Source& inner, uint64_t limit) : inner_(inner), left_(limit) {}
  Result<size_t> read(void* out, size_t size) override {
    KOVRA_ASSIGN_OR_RETURN(size_t n, inner_.read(out, static_cast<size_t>(std::min<uint64_t>(size, left_))));
    hash_.update(out, n);
    left_ -= n;
    return n;
  }
  bool exhausted() const { return left_ == 0; }
  uint64_t digest() const { return hash_.digest(); }

 private:
  io::Source& inner_;
  uint64_t left_;
  io::StreamHash hash_;
};

}  // namespace

std::optional<LogMark> read_checkpoint_mark(const std::string& path) {
  auto trailer = read_trailer(path);
  if (!trailer) return std::nullopt;
  return trailer->mark;
}

std::optional<GraphCheckpoint> read_graph_checkpoint(const std::string& path, uint64_t dimensions) {
  auto trailer = read_trailer(path);
  if (!trailer) return std::nullopt;
  auto reader = io::FileReader::open(path);
  if (!reader) return std::nullopt;
  HashingSource source(**reader, trailer->graph_bytes);
  io::Decoder dec(source);
  auto snap = decode_graph(dec, dimensions);
  // The record must be the whole of the bytes the trailer vouches for.
  if (!snap || !source.exhausted() || source.digest() != trailer->graph_digest) return std::nullopt;
  auto decoded = from_snapshot(std::move(*snap), dimensions);
  if (!decoded) return std::nullopt;
  return GraphCheckpoint{std::move(*decoded), trailer->mark};
}

}  // namespace kovra

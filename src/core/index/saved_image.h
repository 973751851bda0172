// Save files of the hash-keyed compressed indexes: the whole file is built in
// memory through the record codec and written with one call; loading reads
// the whole file first and decodes from memory.
#pragma once

#include <string>
#include <utility>

#include "core/io/codec.h"
#include "core/io/file.h"

namespace kovra {

// `fn(Encoder&)` encodes the file; `size` is the exact or estimated size.
template <class Fn>
Status write_image(const std::string& path, size_t size, Fn&& fn) {
  io::VectorSink sink;
  sink.bytes.reserve(size);
  io::Encoder enc(sink);
  fn(enc);
  KOVRA_TRY(enc.finish());
  Status s = io::write_replacing(path, [&](const std::string& tmp) { return io::write_whole_file(tmp, sink.bytes); });
  // Writing the finished image is a file failure, not an encoding one.
  if (!s && s.error().kind() == ErrorKind::Serialization) return fail(Error::io_text(s.error().text()));
  return s;
}

// `fn(Decoder&, size_t file_size) -> Result<T>` decodes the file read whole.
template <class T, class Fn>
Result<T> read_image(const std::string& path, Fn&& fn) {
  auto bytes = io::read_whole_file(path);
  if (!bytes) {
    // Only failing to open is Io; a failed read is met while decoding.
    return fail(std::move(bytes).error());
  }
  io::SpanSource source(*bytes);
  io::Decoder dec(source);
  return fn(dec, bytes->size());
}

// An entry whose cell count differs from what the dimensions need would be
// read past its end by a scan.
inline Error wrong_entry_width(uint64_t id, uint64_t got, uint64_t want) {
  return Error::serialization("entry " + std::to_string(id) + " holds " + std::to_string(got) +
                              " values, expected " + std::to_string(want));
}

// A count larger than the whole file cannot be real; refused before any
// allocation of that size.
inline Error entry_past_end(uint64_t id, uint64_t count) {
  return Error::serialization("entry " + std::to_string(id) + " claims " + std::to_string(count) +
                              " values, more than the file holds");
}

}  // namespace kovra

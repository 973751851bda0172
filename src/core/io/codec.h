// Binary record codec shared by every file format: fields in declaration
// order, fixed-width little-endian integers and IEEE floats, booleans as one
// byte 0/1, u64-counted sequences, strings and maps, one-byte option tags and
// u32 enum variant indexes. No magic, version or checksum.
//
// Encoding failures are latched in the Encoder (LevelDB-style chaining) and
// reported once by finish(). Decoding failures are Serialization errors whose
// text names the byte offset. A decoder never reserves more than 1 MiB worth
// of elements ahead of what it has actually read, so a damaged count cannot
// force a huge allocation.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace kovra::io {

static_assert(std::endian::native == std::endian::little,
              "the bulk float/integer paths assume a little-endian host");

inline constexpr size_t kMaxReserveBytes = 1 << 20;

// Where encoded bytes go.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual Status write(const void* data, size_t size) = 0;
};

// Collects the bytes in memory.
class VectorSink final : public Sink {
 public:
  Status write(const void* data, size_t size) override {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
    return ok();
  }
  std::vector<uint8_t> bytes;
};

class Encoder {
 public:
  explicit Encoder(Sink& sink) : sink_(&sink) {}

  void put_u8(uint8_t v) { raw(&v, 1); }
  void put_u16(uint16_t v) { raw(&v, 2); }
  void put_u32(uint32_t v) { raw(&v, 4); }
  void put_u64(uint64_t v) { raw(&v, 8); }
  void put_i64(int64_t v) { raw(&v, 8); }
  void put_f32(float v) { raw(&v, 4); }
  void put_f64(double v) { raw(&v, 8); }
  void put_bool(bool v) { put_u8(v ? 1 : 0); }
  void put_count(size_t n) { put_u64(static_cast<uint64_t>(n)); }
  void put_enum(uint32_t variant) { put_u32(variant); }
  void put_string(std::string_view s) {
    put_count(s.size());
    raw(s.data(), s.size());
  }
  void put_bytes(std::span<const uint8_t> b) {
    put_count(b.size());
    raw(b.data(), b.size());
  }
  // A counted sequence of plain numbers, written in one piece.
  template <class T>
    requires std::is_arithmetic_v<T>
  void put_array(std::span<const T> v) {
    put_count(v.size());
    if constexpr (std::is_same_v<T, bool>) {
      for (bool b : v) put_bool(b);
    } else {
      raw(v.data(), v.size() * sizeof(T));
    }
  }
  template <class T, class A>
    requires std::is_arithmetic_v<T>
  void put_array(const std::vector<T, A>& v) {
    put_array(std::span<const T>(v.data(), v.size()));
  }
  void put_array(const std::vector<bool>& v) {
    put_count(v.size());
    for (bool b : v) put_bool(b);
  }
  // A counted sequence of records: `each(Encoder&, const Elem&)` per element.
  template <class Range, class Fn>
  void put_seq(const Range& range, Fn&& each) {
    put_count(std::size(range));
    for (const auto& e : range) each(*this, e);
  }
  // Tag byte, then the value when present.
  template <class T, class Fn>
  void put_option(const std::optional<T>& v, Fn&& each) {
    put_bool(v.has_value());
    if (v) each(*this, *v);
  }

  void raw(const void* data, size_t size) {
    if (!status_ || size == 0) return;
    status_ = sink_->write(data, size);
    if (status_) written_ += size;
  }

  uint64_t written() const { return written_; }
  // The first failure met, if any.
  Status finish() const { return status_; }

 private:
  Sink* sink_;
  Status status_;
  uint64_t written_ = 0;
};

// Where encoded bytes come from.
class Source {
 public:
  virtual ~Source() = default;
  // Copies up to `size` bytes; returns how many were copied (short only at the
  // end of input), or an error.
  virtual Result<size_t> read(void* out, size_t size) = 0;
};

class SpanSource final : public Source {
 public:
  explicit SpanSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  Result<size_t> read(void* out, size_t size) override {
    size_t n = std::min(size, bytes_.size() - pos_);
    if (n) std::memcpy(out, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

class Decoder {
 public:
  explicit Decoder(Source& source) : source_(&source) {}

  Result<uint8_t> get_u8() { return get_plain<uint8_t>(); }
  Result<uint16_t> get_u16() { return get_plain<uint16_t>(); }
  Result<uint32_t> get_u32() { return get_plain<uint32_t>(); }
  Result<uint64_t> get_u64() { return get_plain<uint64_t>(); }
  Result<int64_t> get_i64() { return get_plain<int64_t>(); }
  Result<float> get_f32() { return get_plain<float>(); }
  Result<double> get_f64() { return get_plain<double>(); }
  Result<bool> get_bool();
  Result<uint64_t> get_count() { return get_u64(); }
  // A u32 variant index that must be below `variants`.
  Result<uint32_t> get_enum(uint32_t variants);
  Result<std::string> get_string();
  Result<std::vector<uint8_t>> get_bytes();

  // A counted sequence of plain numbers, into any vector type.
  template <class T, class Vec = std::vector<T>>
    requires std::is_arithmetic_v<T>
  Result<Vec> get_array() {
    KOVRA_ASSIGN_OR_RETURN(uint64_t n, get_count());
    Vec out;
    if constexpr (std::is_same_v<T, bool>) {
      out.reserve(reserve_hint(n, 1));
      for (uint64_t i = 0; i < n; ++i) {
        KOVRA_ASSIGN_OR_RETURN(bool b, get_bool());
        out.push_back(b);
      }
    } else {
      // Grow chunk by chunk so that only bytes actually present are allocated.
      constexpr uint64_t kChunk = kMaxReserveBytes / sizeof(T);
      uint64_t done = 0;
      while (done < n) {
        uint64_t take = std::min<uint64_t>(kChunk, n - done);
        out.resize(done + take);
        KOVRA_TRY(read_exact(out.data() + done, take * sizeof(T)));
        done += take;
      }
    }
    return out;
  }
  // Booleans into a byte vector (0/1), checked like get_bool.
  Result<std::vector<uint8_t>> get_bool_array();

  // A counted sequence of records: `each(Decoder&) -> Result<Elem>`.
  template <class Elem, class Fn>
  Result<std::vector<Elem>> get_seq(Fn&& each) {
    KOVRA_ASSIGN_OR_RETURN(uint64_t n, get_count());
    std::vector<Elem> out;
    out.reserve(reserve_hint(n, sizeof(Elem)));
    for (uint64_t i = 0; i < n; ++i) {
      KOVRA_ASSIGN_OR_RETURN(Elem e, each(*this));
      out.push_back(std::move(e));
    }
    return out;
  }
  // Tag byte 0 (absent) or 1 (present), then the value.
  template <class T, class Fn>
  Result<std::optional<T>> get_option(Fn&& each) {
    KOVRA_ASSIGN_OR_RETURN(bool present, get_bool());
    if (!present) return std::optional<T>();
    KOVRA_ASSIGN_OR_RETURN(T v, each(*this));
    return std::optional<T>(std::move(v));
  }

  // How many elements of `elem_size` bytes may be reserved for a count read
  // from the input.
  static size_t reserve_hint(uint64_t count, size_t elem_size) {
    uint64_t cap = kMaxReserveBytes / (elem_size ? elem_size : 1);
    return static_cast<size_t>(std::min<uint64_t>(count, cap));
  }

  Status read_exact(void* out, size_t size);
  uint64_t offset() const { return offset_; }

 private:
  template <class T>
  Result<T> get_plain() {
    T v;
    KOVRA_TRY(read_exact(&v, sizeof(T)));
    return v;
  }

  Source* source_;
  uint64_t offset_ = 0;
};

// Encodes into a byte vector with `fn(Encoder&)`.
template <class Fn>
Result<std::vector<uint8_t>> encode_to_bytes(Fn&& fn) {
  VectorSink sink;
  Encoder enc(sink);
  fn(enc);
  KOVRA_TRY(enc.finish());
  return std::move(sink.bytes);
}

}  // namespace kovra::io

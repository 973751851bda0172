#include "core/io/codec.h"

namespace kovra::io {

Status Decoder::read_exact(void* out, size_t size) {
  auto* p = static_cast<uint8_t*>(out);
  size_t done = 0;
  while (done < size) {
    KOVRA_ASSIGN_OR_RETURN(size_t n, source_->read(p + done, size - done));
    if (n == 0) {
      return fail(Error::serialization("unexpected end of input at byte " +
                                       std::to_string(offset_ + done) + ", " +
                                       std::to_string(size - done) + " more bytes expected"));
    }
    done += n;
  }
  offset_ += size;
  return ok();
}

Result<bool> Decoder::get_bool() {
  uint64_t at = offset_;
  KOVRA_ASSIGN_OR_RETURN(uint8_t b, get_u8());
  if (b > 1) {
    return fail(Error::serialization("invalid boolean byte " + std::to_string(b) + " at byte " +
                                     std::to_string(at) + ", expected 0 or 1"));
  }
  return b == 1;
}

Result<uint32_t> Decoder::get_enum(uint32_t variants) {
  uint64_t at = offset_;
  KOVRA_ASSIGN_OR_RETURN(uint32_t v, get_u32());
  if (v >= variants) {
    return fail(Error::serialization("invalid variant index " + std::to_string(v) + " at byte " +
                                     std::to_string(at) + ", expected variant index 0 <= i < " +
                                     std::to_string(variants)));
  }
  return v;
}

Result<std::string> Decoder::get_string() {
  KOVRA_ASSIGN_OR_RETURN(std::vector<uint8_t> b, get_array<uint8_t>());
  return std::string(b.begin(), b.end());
}

Result<std::vector<uint8_t>> Decoder::get_bytes() { return get_array<uint8_t>(); }

Result<std::vector<uint8_t>> Decoder::get_bool_array() {
  KOVRA_ASSIGN_OR_RETURN(uint64_t n, get_count());
  std::vector<uint8_t> out;
  out.reserve(reserve_hint(n, 1));
  constexpr size_t kChunk = 64 * 1024;
  uint8_t buf[kChunk];
  uint64_t done = 0;
  while (done < n) {
    size_t take = static_cast<size_t>(std::min<uint64_t>(kChunk, n - done));
    uint64_t at = offset_;
    KOVRA_TRY(read_exact(buf, take));
    for (size_t i = 0; i < take; ++i) {
      if (buf[i] > 1) {
        return fail(Error::serialization("invalid boolean byte " + std::to_string(buf[i]) +
                                         " at byte " + std::to_string(at + i) + ", expected 0 or 1"));
      }
    }
    out.insert(out.end(), buf, buf + take);
    done += take;
  }
  return out;
}

}  // namespace kovra::io

// Error kinds, the error value every core operation returns, and the
// propagation helpers. Ordinary failures never throw; only a broken internal
// precondition (KOVRA_CHECK) and std::bad_alloc unwind.
#pragma once

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace kovra {

// Kinds in code order; the order is part of the public contract.
enum class ErrorKind : uint8_t {
  DimensionMismatch = 0,
  DuplicateId,
  NotFound,
  EmptyIndex,
  InvalidConfig,
  Serialization,
  Io,
  CollectionAlreadyExists,
  CollectionNotFound,
  WalCorruption,
  EmbeddingError,
  NoEmbedder,
  SnapshotAlreadyExists,
  SnapshotNotFound,
  // A request for more memory than the machine has, refused before anything
  // changed (Python's MemoryError).
  OutOfMemory,
};

inline constexpr int kErrorKindCount = 15;

class Error {
 public:
  static Error dimension_mismatch(uint64_t expected, uint64_t got) {
    return Error(ErrorKind::DimensionMismatch, expected, got, {});
  }
  static Error duplicate_id(uint64_t id) { return Error(ErrorKind::DuplicateId, id, 0, {}); }
  static Error not_found(uint64_t id) { return Error(ErrorKind::NotFound, id, 0, {}); }
  static Error empty_index() { return Error(ErrorKind::EmptyIndex, 0, 0, {}); }
  static Error invalid_config(std::string text) {
    return Error(ErrorKind::InvalidConfig, 0, 0, std::move(text));
  }
  static Error serialization(std::string text) {
    return Error(ErrorKind::Serialization, 0, 0, std::move(text));
  }
  // `os_errno` is the operating system's error number; the message carries its
  // own description of it.
  static Error io(int os_errno);
  // An I/O failure that has no errno (for example a short write); `text` is the
  // description shown after "I/O error: ".
  static Error io_text(std::string text) { return Error(ErrorKind::Io, 0, 0, std::move(text)); }
  static Error collection_already_exists(std::string name) {
    return Error(ErrorKind::CollectionAlreadyExists, 0, 0, std::move(name));
  }
  static Error collection_not_found(std::string name) {
    return Error(ErrorKind::CollectionNotFound, 0, 0, std::move(name));
  }
  static Error wal_corruption(uint64_t entry, std::string reason) {
    return Error(ErrorKind::WalCorruption, entry, 0, std::move(reason));
  }
  static Error embedding(std::string text) {
    return Error(ErrorKind::EmbeddingError, 0, 0, std::move(text));
  }
  static Error no_embedder(std::string name) {
    return Error(ErrorKind::NoEmbedder, 0, 0, std::move(name));
  }
  static Error snapshot_already_exists(std::string name) {
    return Error(ErrorKind::SnapshotAlreadyExists, 0, 0, std::move(name));
  }
  static Error out_of_memory(std::string text) { return Error(ErrorKind::OutOfMemory, 0, 0, std::move(text)); }
  static Error snapshot_not_found(std::string name) {
    return Error(ErrorKind::SnapshotNotFound, 0, 0, std::move(name));
  }

  ErrorKind kind() const { return kind_; }
  // Numeric payload: expected/got, the id, or the WAL entry number.
  uint64_t first() const { return a_; }
  uint64_t second() const { return b_; }
  // Text payload: the config/serialization/embedding text, a name, the OS
  // error description or the WAL reason.
  const std::string& text() const { return text_; }

  // The display text of the error, exactly as users see it.
  std::string message() const;

  bool operator==(const Error&) const = default;

 private:
  Error(ErrorKind kind, uint64_t a, uint64_t b, std::string text)
      : kind_(kind), a_(a), b_(b), text_(std::move(text)) {}

  ErrorKind kind_;
  uint64_t a_;
  uint64_t b_;
  std::string text_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }
inline Status ok() { return {}; }

// A broken internal precondition. It is not an ordinary error: it ends the
// current call and the Python layer reports it as PanicException.
class InternalFailure : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void internal_failure(const std::string& text);

}  // namespace kovra

#define KOVRA_CONCAT_INNER(a, b) a##b
#define KOVRA_CONCAT(a, b) KOVRA_CONCAT_INNER(a, b)

// Propagate the error of a Status/Result expression.
#define KOVRA_TRY(expr)                                                   \
  do {                                                                    \
    auto&& kovra_try_r_ = (expr);                                         \
    if (!kovra_try_r_) return ::kovra::fail(std::move(kovra_try_r_).error()); \
  } while (0)

// Evaluate a Result expression; on success move its value into `lhs`.
#define KOVRA_ASSIGN_OR_RETURN(lhs, ...) \
  KOVRA_ASSIGN_OR_RETURN_IMPL(KOVRA_CONCAT(kovra_r_, __LINE__), lhs, (__VA_ARGS__))
#define KOVRA_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)              \
  auto tmp = expr;                                              \
  if (!tmp) return ::kovra::fail(std::move(tmp).error());       \
  lhs = std::move(*tmp)

#define KOVRA_CHECK(cond, text)                     \
  do {                                              \
    if (!(cond)) ::kovra::internal_failure(text);   \
  } while (0)

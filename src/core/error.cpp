#include "core/error.h"

#include <cstring>
#include <string>

namespace kovra {

Error Error::io(int os_errno) {
  std::string text = std::strerror(os_errno);
  text += " (os error " + std::to_string(os_errno) + ")";
  return Error(ErrorKind::Io, static_cast<uint64_t>(os_errno), 0, std::move(text));
}

std::string Error::message() const {
  switch (kind_) {
    case ErrorKind::DimensionMismatch:
      return "dimension mismatch: expected " + std::to_string(a_) + ", got " + std::to_string(b_);
    case ErrorKind::DuplicateId:
      return "duplicate vector ID: " + std::to_string(a_);
    case ErrorKind::NotFound:
      return "vector ID not found: " + std::to_string(a_);
    case ErrorKind::EmptyIndex:
      return "index is empty";
    case ErrorKind::InvalidConfig:
      return "invalid configuration: " + text_;
    case ErrorKind::Serialization:
      return "serialization error: " + text_;
    case ErrorKind::Io:
      return "I/O error: " + text_;
    case ErrorKind::CollectionAlreadyExists:
      return "collection already exists: " + text_;
    case ErrorKind::CollectionNotFound:
      return "collection not found: " + text_;
    case ErrorKind::WalCorruption:
      return "WAL corruption at entry " + std::to_string(a_) + ": " + text_;
    case ErrorKind::EmbeddingError:
      return "embedding error: " + text_;
    case ErrorKind::NoEmbedder:
      return "no embedder configured for collection '" + text_ + "'";
    case ErrorKind::SnapshotAlreadyExists:
      return "snapshot already exists: " + text_;
    case ErrorKind::SnapshotNotFound:
      return "snapshot not found: " + text_;
    case ErrorKind::OutOfMemory:
      return "out of memory: " + text_;
  }
  return "unknown error";
}

void internal_failure(const std::string& text) { throw InternalFailure(text); }

}  // namespace kovra

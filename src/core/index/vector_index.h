// The interface through which a collection drives whichever index it owns.
// Concrete indexes are final; save/load, training and tuning stay outside it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/metric.h"

namespace kovra {

// User-visible vector id.
using VectorId = uint64_t;
// Position of a vector inside an index's storage.
using Slot = uint32_t;

// One search result: id and the distance reported to the caller.
struct Hit {
  VectorId id;
  float distance;
  bool operator==(const Hit&) const = default;
};

struct IndexParams {
  size_t dimensions;
  Metric metric;
};

// An (id, vector) pair owned by the caller.
using Entry = std::pair<VectorId, std::vector<float>>;

class VectorIndex {
 public:
  virtual ~VectorIndex() = default;
  virtual Status add(VectorId id, std::span<const float> vector) = 0;
  virtual Status add_batch(std::span<const Entry> entries) = 0;
  virtual Result<std::vector<Hit>> search(std::span<const float> query, size_t k) const = 0;
  // `delete` is a keyword; returns whether the id was present.
  virtual Result<bool> remove(VectorId id) = 0;
  virtual size_t len() const = 0;
  virtual bool is_empty() const = 0;
  virtual IndexParams params() const = 0;
  // Every live (id, vector) pair, vectors copied, in the index's own order.
  virtual std::vector<Entry> iterate() const = 0;
  virtual Status flush() = 0;
  virtual Status save_graph(const std::string& path) const = 0;
  virtual Status restore_graph(const std::string& path) = 0;
  // Whether the index could grow to hold `id` without asking for more memory
  // than the machine has: callers that log a write before applying it check
  // first. Only an index whose storage is sized by its largest id can refuse.
  virtual Status check_capacity(VectorId) const { return ok(); }
  // Brings what a remove or add of `id` reads first into cache: a batch
  // calls it a few entries ahead, so the misses of one entry overlap the
  // work of the entries before it.
  virtual void prefetch(VectorId) const {}
  // The k nearest of the vectors under `ids` (ids the index does not hold are
  // skipped; no id may repeat), with the distances search() reports for them
  // and in its order. A filtered search that has few matches scores them
  // here instead of searching the whole index; an index that cannot address
  // its vectors by id answers from a search for everything it holds.
  virtual Result<std::vector<Hit>> search_ids(std::span<const float> query, size_t k,
                                              std::span<const VectorId> ids) const;
  // The stored vectors of `ids` (decoded for the compressed stores), in the
  // order asked, empty for an id the index does not hold. The default walks
  // iterate() once; indexes that address their vectors by id override it.
  virtual std::vector<std::optional<std::vector<float>>> vectors_of(std::span<const VectorId> ids) const;
};

}  // namespace kovra

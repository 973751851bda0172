// A collection's fixed settings ("meta.json"), the index types a collection can
// hold, and the factory that builds an empty index of the configured type.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/index/hnsw.h"
#include "core/index/ivf_coarse.h"
#include "core/index/ivf_pq.h"
#include "core/index/vector_index.h"
#include "core/metric.h"

namespace kovra {

// The numeric values are part of the contract (declaration order).
enum class IndexType : uint32_t { Flat, Hnsw, QuantizedFlat, Ivf, IvfPq, Fp16Flat, MmapFlat, BinaryFlat, Faiss };

// The JSON name: "flat", "hnsw", "quantized_flat", "ivf", "ivf_pq",
// "fp16_flat", "mmap_flat", "binary_flat" or "faiss".
std::string_view index_type_name(IndexType t);
// One of the eight names a collection can be created with ("faiss" cannot be
// built, so it is refused here); otherwise nullopt.
std::optional<IndexType> parse_index_type(std::string_view text);
// `unknown index_type "<escaped text>"`
std::string unknown_index_type_message(std::string_view text);

// Fields in declaration order, which is also the order of the JSON keys.
struct CollectionMeta {
  std::string name;
  uint64_t dimensions = 0;
  Metric metric = Metric::Cosine;
  IndexType index_type = IndexType::Hnsw;
  std::optional<HnswConfig> hnsw_config;
  uint64_t wal_compact_threshold = 50000;
  std::optional<uint64_t> auto_promote_threshold;
  std::optional<HnswConfig> promotion_hnsw_config;
  std::optional<std::string> embedding_model;  // stored and written back only
  std::optional<IvfConfig> ivf_config;
  std::optional<IvfPqConfig> ivf_pq_config;
  std::optional<std::string> faiss_factory;    // stored and written back only
};

inline constexpr uint64_t kDefaultWalCompactThreshold = 50000;

// A collection trains with fewer k-means iterations than a standalone index
// (10 instead of 25 for the coarse stage).
IvfConfig default_collection_ivf_config();
IvfPqConfig default_collection_ivf_pq_config();

// The metadata of a new collection: the tuning record of its type at its
// defaults ("hnsw", "ivf" and "ivf_pq" only), everything else optional absent.
CollectionMeta new_collection_meta(std::string name, uint64_t dimensions, Metric metric, IndexType type);

// Indented JSON: two spaces per level, ": " between key and value, absent
// optional keys left out, no newline after the closing brace.
std::string meta_to_json(const CollectionMeta& meta);
// One JSON value and only whitespace after it: an object (unknown keys
// skipped, repeated keys refused) or an array of the fields in order. Every
// failure is Serialization: "<text> at line N column M".
Result<CollectionMeta> parse_meta(std::string_view text);

// "meta.json" in the collection directory. Unreadable is Io.
Result<CollectionMeta> read_meta(const std::string& collection_dir);
// One write of the whole file (create/truncate), synced with its directory;
// failure is Io.
Status write_meta_direct(const std::string& collection_dir, const CollectionMeta& meta);
// Writes "meta.json.tmp" and replaces "meta.json" with it (io::replace_file),
// so a reader, or a reopen after a power cut, sees either the old file or the
// new one; failure is Io.
Status write_meta_atomic(const std::string& collection_dir, const CollectionMeta& meta);

// An empty index of the configured type with the collection's dimensions and
// metric. A configuration the index refuses is an ordinary error. "faiss" and
// an existing "vectors.mmap" that cannot be opened are unrecoverable: they
// raise InternalFailure.
Result<std::unique_ptr<VectorIndex>> build_index(const CollectionMeta& meta, const std::string& collection_dir);

}  // namespace kovra

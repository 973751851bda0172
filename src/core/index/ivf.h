// Inverted-file index: a coarse quantizer of up to n_lists k-means centroids
// and one posting list of raw vectors per centroid. A query ranks the centroids
// and scans the nprobe nearest lists exactly. Vectors that arrive before
// training wait in a pending buffer, searched by brute force, until train_size
// of them are there (or flush is called); the index then trains once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/distance.h"
#include "core/index/topk.h"
#include "core/index/vector_index.h"
#include "core/io/codec.h"

namespace kovra {

struct IvfConfig {
  uint64_t n_lists = 256;     // clusters requested; at least 1
  uint64_t nprobe = 16;       // lists scanned per query
  uint64_t train_size = 4096; // buffered vectors that trigger training
  uint64_t max_iter = 25;     // k-means iteration bound
  bool operator==(const IvfConfig&) const = default;
};

// Rejects n_lists = 0: training would have no list to place vectors into.
Status validate_ivf_config(const IvfConfig& config);

void encode_ivf_config(io::Encoder& enc, const IvfConfig& config);
Result<IvfConfig> decode_ivf_config(io::Decoder& dec);

struct PostingList {
  std::vector<VectorId> ids;   // insertion order until a delete swaps entries
  std::vector<float> vectors;  // ids.size() * dimensions floats; row i is ids[i]'s
  uint64_t dimensions = 0;
};

namespace ivf_detail {

// Centroid indexes sorted by raw distance to the scorer's query (unstable,
// NaN last), cut to the first min(nprobe, count). Four centroids per kernel call.
std::vector<uint32_t> probe_order(const DistanceScorer& raw_scorer, const float* centroids,
                                  size_t count, uint64_t nprobe);

}  // namespace ivf_detail

class IvfIndex final : public VectorIndex {
 public:
  // Fails with InvalidConfig when the configuration cannot be trained.
  static Result<IvfIndex> create(size_t dimensions, Metric metric, const IvfConfig& config);

  Status add(VectorId id, std::span<const float> vector) override;
  // Entries in order through add; the first failure stops (earlier ones stay).
  Status add_batch(std::span<const Entry> entries) override;
  // `data` is row-major with `columns` floats per row; row r gets id
  // start_id + r (wrapping). Untrained: row by row through add (training may
  // happen part-way). Trained: all rows assigned at once, then appended.
  Status add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id);
  Result<std::vector<Hit>> search(std::span<const float> query, size_t k) const override;
  Result<bool> remove(VectorId id) override;
  size_t len() const override;
  bool is_empty() const override { return len() == 0; }
  IndexParams params() const override { return {dimensions_, metric_}; }
  // Pending entries in buffer order, then each list's entries in list order.
  std::vector<Entry> iterate() const override;
  // Trains now if untrained and the buffer holds vectors.
  Status flush() override { return train(); }
  Status save_graph(const std::string&) const override { return ok(); }
  Status restore_graph(const std::string&) override { return train(); }

  size_t dimensions() const { return dimensions_; }
  Metric metric() const { return metric_; }
  const IvfConfig& config() const { return config_; }
  bool is_trained() const { return trained_; }
  size_t n_centroids() const { return n_centroids_; }
  const std::vector<float>& centroids() const { return centroids_; }
  const std::vector<PostingList>& lists() const { return lists_; }
  const std::vector<VectorId>& pending_ids() const { return pending_ids_; }

  Status save(const std::string& path) const;
  static Result<IvfIndex> load(const std::string& path);

 private:
  IvfIndex(size_t dimensions, Metric metric, const IvfConfig& config)
      : dimensions_(dimensions), metric_(metric), config_(config) {}

  Status train();
  void place(VectorId id, const float* vector, size_t list);

  size_t dimensions_;
  Metric metric_;
  IvfConfig config_;
  std::vector<VectorId> pending_ids_;
  std::vector<float> pending_vectors_;  // pending_ids_.size() * dimensions_
  std::vector<float> centroids_;        // n_centroids_ * dimensions_
  size_t n_centroids_ = 0;
  std::vector<PostingList> lists_;      // n_centroids_ lists once trained
  // List of the latest placement of each id; a re-added id overwrites it.
  std::unordered_map<VectorId, uint64_t> id_to_list_;
  bool trained_ = false;
};

}  // namespace kovra

// Inverted-file index: a coarse quantizer of up to n_lists k-means centroids
// and one posting list of raw vectors per centroid. A query ranks the centroids
// and scans the nprobe nearest lists exactly. Vectors that arrive before
// training wait in a pending buffer, searched by brute force, until train_size
// of them are there (or flush is called); the index then trains once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/index/ivf_coarse.h"
#include "core/index/vector_index.h"

namespace kovra {

struct PostingList {
  std::vector<VectorId> ids;   // insertion order until a delete swaps entries
  std::vector<float> vectors;  // ids.size() * dimensions floats; row i is ids[i]'s
  uint64_t dimensions = 0;
};

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
  std::vector<std::optional<std::vector<float>>> vectors_of(std::span<const VectorId> ids) const override;
  // Every list is looked at, not only the probed ones.
  Result<std::vector<Hit>> search_ids(std::span<const float> query, size_t k,
                                      std::span<const VectorId> ids) const override;
  Result<bool> remove(VectorId id) override;
  size_t len() const override;
  bool is_empty() const override { return len() == 0; }
  IndexParams params() const override { return {coarse_.dimensions(), coarse_.metric()}; }
  // Pending entries in buffer order, then each list's entries in list order.
  std::vector<Entry> iterate() const override;
  // Trains now if untrained and the buffer holds vectors.
  Status flush() override { return train(); }
  Status save_graph(const std::string&) const override { return ok(); }
  Status restore_graph(const std::string&) override { return train(); }

  size_t dimensions() const { return coarse_.dimensions(); }
  Metric metric() const { return coarse_.metric(); }
  const IvfConfig& config() const { return coarse_.config(); }
  // Lists probed per query; saved with the configuration. InvalidConfig below 1.
  Status set_nprobe(uint64_t nprobe) { return coarse_.set_nprobe(nprobe); }
  bool is_trained() const { return coarse_.is_trained(); }
  size_t n_centroids() const { return coarse_.n_centroids(); }
  const std::vector<float>& centroids() const { return coarse_.centroids(); }
  const std::vector<PostingList>& lists() const { return lists_; }
  const std::vector<VectorId>& pending_ids() const { return coarse_.pending_ids(); }

  Status save(const std::string& path) const;
  static Result<IvfIndex> load(const std::string& path);

 private:
  IvfIndex(size_t dimensions, Metric metric, const IvfConfig& config) : coarse_(dimensions, metric, config) {}

  Status train();
  void place(VectorId id, const float* vector, size_t list);

  IvfCoarse coarse_;
  std::vector<PostingList> lists_;  // n_centroids() lists once trained
};

}  // namespace kovra

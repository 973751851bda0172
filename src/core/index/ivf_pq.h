// IVF with product quantization: the coarse stage of the inverted-file index
// assigns each vector to a list, and the list keeps only the vector's residual
// (vector minus its centroid) as m one-byte codes. A query ranks the centroids
// by the index's metric, scans the nprobe nearest lists and estimates each
// entry's squared L2 distance from a per-list table of sub-distances; results
// are not re-ranked with exact vectors. Exact copies serve only save,
// iteration and lookups, so they are kept on disk (see ExactRows): memory holds
// the codes, the ids, the lists and the codebooks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/index/exact_rows.h"
#include "core/index/ivf_coarse.h"
#include "core/index/pq.h"
#include "core/index/vector_index.h"

namespace kovra {

struct IvfPqConfig {
  uint64_t n_lists = 256;     // coarse clusters requested; at least 1
  uint64_t nprobe = 16;       // lists scanned per query
  uint64_t train_size = 4096; // buffered vectors that trigger training
  uint64_t max_iter = 25;     // coarse k-means iteration bound
  PqConfig pq;                // the residual quantizer
  bool operator==(const IvfPqConfig&) const = default;
};

// Rejects what would make training impossible: n_lists = 0, pq.m = 0,
// dimensions not divisible by pq.m, pq.k_sub = 0 or above 256.
Status validate_ivf_pq_config(uint64_t dimensions, const IvfPqConfig& config);

// The coarse stage's part of the configuration.
inline IvfConfig coarse_config(const IvfPqConfig& config) {
  return IvfConfig{config.n_lists, config.nprobe, config.train_size, config.max_iter};
}

void encode_ivf_pq_config(io::Encoder& enc, const IvfPqConfig& config);
Result<IvfPqConfig> decode_ivf_pq_config(io::Decoder& dec);

// One coarse list: entry i is (ids[i], codes[i * m .. (i + 1) * m)), and
// rows[i] is the entry's exact copy in the index's ExactRows (kNone for none).
// Only an id's latest placement has its copy read.
struct PqList {
  std::vector<VectorId> ids;
  std::vector<uint8_t> codes;
  std::vector<uint32_t> rows;
};

class IvfPqIndex final : public VectorIndex {
 public:
  // Fails with InvalidConfig when the configuration cannot be trained.
  // `exact_dir` is where the exact copies are written (an unnamed file); empty
  // for the system's temporary directory.
  static Result<IvfPqIndex> create(size_t dimensions, Metric metric, const IvfPqConfig& config,
                                   std::string exact_dir = {});

  Status add(VectorId id, std::span<const float> vector) override;
  // Entries in order through add; the first failure stops (earlier ones stay).
  Status add_batch(std::span<const Entry> entries) override;
  // Row r of the row-major block (`columns` floats per row) is added with id
  // start_id + r (wrapping) through add, stopping at the first failure.
  Status add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id);
  // Listed entries report the quantized squared-L2 estimate whatever the
  // metric; pending entries report the metric's exact distance.
  Result<std::vector<Hit>> search(std::span<const float> query, size_t k) const override;
  // Every list is looked at, not only the probed ones; codes are scored as a
  // search scores them.
  Result<std::vector<Hit>> search_ids(std::span<const float> query, size_t k,
                                      std::span<const VectorId> ids) const override;
  Result<bool> remove(VectorId id) override;
  // Listed ids give their exact copy, read from disk; pending ids their
  // buffered vector.
  std::vector<std::optional<std::vector<float>>> vectors_of(std::span<const VectorId> ids) const override;
  size_t len() const override;
  bool is_empty() const override { return len() == 0; }
  IndexParams params() const override { return {coarse_.dimensions(), coarse_.metric()}; }
  // Pending entries (exact) first, then list by list each listed id with its
  // exact copy; ids without a copy are skipped.
  std::vector<Entry> iterate() const override;
  Status flush() override { return train(); }
  Status save_graph(const std::string&) const override { return ok(); }
  Status restore_graph(const std::string&) override { return train(); }

  size_t dimensions() const { return coarse_.dimensions(); }
  Metric metric() const { return coarse_.metric(); }
  const IvfPqConfig& config() const { return config_; }
  // Lists probed per query. The copy in config_ is the one saved, the coarse
  // stage's the one searched, so both change. InvalidConfig below 1.
  Status set_nprobe(uint64_t nprobe);
  bool is_trained() const { return coarse_.is_trained(); }
  size_t n_centroids() const { return coarse_.n_centroids(); }
  const std::vector<float>& centroids() const { return coarse_.centroids(); }
  const std::vector<PqList>& lists() const { return lists_; }
  const std::optional<ProductQuantizer>& quantizer() const { return quantizer_; }
  const std::vector<VectorId>& pending_ids() const { return coarse_.pending_ids(); }
  // Where the exact copies are kept.
  const ExactRows& exact_rows() const { return exact_; }

  // Writes `path` through a temporary file renamed over it, so saving over
  // the file the index was loaded from is safe: the exact copies are still
  // read from the old file, which stays open. Io when a copy cannot be read.
  Status save(const std::string& path) const;
  // The exact copies stay in the file and are read from it when needed; new
  // ones go to an unnamed file in the same directory.
  static Result<IvfPqIndex> load(const std::string& path);

 private:
  IvfPqIndex(size_t dimensions, Metric metric, const IvfPqConfig& config, std::string exact_dir)
      : config_(config),
        coarse_(dimensions, metric, coarse_config(config)),
        exact_(dimensions, std::move(exact_dir)) {}

  Status train();
  // Stores the exact copy, then the residual of `vector` against centroid
  // `list`, encoded and appended.
  Status place(VectorId id, const float* vector, size_t list, float* residual);
  // The row of the exact copy of a listed id, if it has one.
  std::optional<uint32_t> exact_row(VectorId id) const;
  // The row of the id's latest placement stops being read: counted, and the
  // appended rows are rewritten without the dead ones once these are as many
  // as the live ones, so each write pays O(1) for it over time.
  void retire_row(uint32_t row);
  void compact_rows();

  IvfPqConfig config_;
  IvfCoarse coarse_;
  std::optional<ProductQuantizer> quantizer_;
  std::vector<PqList> lists_;
  ExactRows exact_;
  uint64_t dead_rows_ = 0;      // appended rows no listed id reads any more
  uint64_t compact_after_ = 0;  // dead rows before the next attempt after a failed one
};

}  // namespace kovra

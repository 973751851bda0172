// HnswIndex::restore_graph on damaged graph files (the graph record alone,
// read into an index whose dimensions and metric come from elsewhere).
#include "core/index/hnsw.h"
#include "harness.h"
#include "hnsw_bound.h"

namespace kovra::fuzz {
namespace {

constexpr size_t kDims = 4;
const HnswConfig kConfig{16, 8, 2};

}  // namespace

void write_seeds(const Seeds& seeds) {
  HnswIndex index(kDims, Metric::L2, kConfig);
  uint8_t next = 0;
  index.set_level_source_for_testing([&next] { return static_cast<uint8_t>(next++ % 3); });
  if (!index.add_batch_np(sample_rows(9, kDims), kDims, 0)) std::abort();
  if (!index.remove(5)) std::abort();
  if (!index.save_graph(seeds.path("graph"))) std::abort();
}

void fuzz_one(std::span<const uint8_t> data) {
  if (graph_file_too_large(data, kDims)) return;
  const std::string& path = input_file(data);
  for (Metric m : {Metric::L2, Metric::Cosine}) {
    HnswIndex index(kDims, m, kConfig);
    if (index.restore_graph(path)) exercise(index);
  }
}

}  // namespace kovra::fuzz

// HnswIndex::load on damaged index files: the header, then the graph record
// (node lists, levels, entry point) that the loader must validate before any
// search walks it.
#include "core/index/hnsw.h"
#include "harness.h"
#include "hnsw_bound.h"

namespace kovra::fuzz {

void write_seeds(const Seeds& seeds) {
  seed_each_metric(seeds, "hnsw", [](Metric m) {
    HnswIndex index(4, m, {16, 8, 2});
    // Fixed levels so that the seed has upper layers and does not vary by run.
    uint8_t next = 0;
    index.set_level_source_for_testing([&next] { return static_cast<uint8_t>(next++ % 3); });
    if (!index.add_batch_np(sample_rows(9, 4), 4, 0)) std::abort();
    if (!index.remove(3)) std::abort();
    return index;
  });
  if (!HnswIndex(4, Metric::L2, {16, 8, 2}).save(seeds.path("hnsw-empty"))) std::abort();
}

void fuzz_one(std::span<const uint8_t> data) {
  if (index_file_too_large(data)) return;
  auto index = HnswIndex::load(input_file(data));
  if (index) exercise(*index);
}

}  // namespace kovra::fuzz

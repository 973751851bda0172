// IvfPqIndex::load on damaged save files: the coarse stage, the product
// quantizer's codebooks, the coded lists and the exact copies.
#include "core/index/ivf_pq.h"
#include "harness.h"

namespace kovra::fuzz {
namespace {

const IvfPqConfig kConfig{2, 2, 16, 5, PqConfig{2, 4, 5}};

}  // namespace

void write_seeds(const Seeds& seeds) {
  seed_each_metric(seeds, "ivf_pq", [](Metric m) {
    auto index = IvfPqIndex::create(4, m, kConfig);
    if (!index || !index->add_flat_batch(sample_rows(18, 4), 4, 100)) std::abort();
    if (!index->is_trained() || !index->remove(101)) std::abort();
    return std::move(*index);
  });
  auto pending = IvfPqIndex::create(4, Metric::L2, kConfig);
  if (!pending || !pending->add_flat_batch(sample_rows(3, 4), 4, 0)) std::abort();
  if (!pending->save(seeds.path("ivf_pq-pending"))) std::abort();
}

void fuzz_one(std::span<const uint8_t> data) {
  auto index = IvfPqIndex::load(input_file(data));
  if (index) exercise(*index);
}

}  // namespace kovra::fuzz

// IvfIndex::load on damaged save files, trained (centroids and posting lists)
// and untrained (pending vectors only).
#include "core/index/ivf.h"
#include "harness.h"

namespace kovra::fuzz {

void write_seeds(const Seeds& seeds) {
  seed_each_metric(seeds, "ivf", [](Metric m) {
    auto index = IvfIndex::create(4, m, {3, 2, 8, 5});
    if (!index || !index->add_flat_batch(sample_rows(12, 4), 4, 100)) std::abort();
    if (!index->is_trained() || !index->remove(101)) std::abort();
    return std::move(*index);
  });
  auto pending = IvfIndex::create(4, Metric::L2, {3, 2, 8, 5});
  if (!pending || !pending->add_flat_batch(sample_rows(3, 4), 4, 0)) std::abort();
  if (!pending->save(seeds.path("ivf-pending"))) std::abort();
}

void fuzz_one(std::span<const uint8_t> data) {
  auto index = IvfIndex::load(input_file(data));
  if (index) exercise(*index);
}

}  // namespace kovra::fuzz

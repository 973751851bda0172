// FlatIndex::load on damaged save files.
#include "core/index/flat.h"
#include "harness.h"

namespace kovra::fuzz {

void write_seeds(const Seeds& seeds) {
  seed_each_metric(seeds, "flat", [](Metric m) {
    FlatIndex index(3, m);
    if (!index.add_flat_batch(sample_rows(5, 3), 3, 10)) std::abort();
    if (!index.remove(12)) std::abort();  // a dead slot is saved too
    return index;
  });
  if (!FlatIndex(2, Metric::L2).save(seeds.path("flat-empty"))) std::abort();
}

void fuzz_one(std::span<const uint8_t> data) {
  auto index = FlatIndex::load(input_file(data));
  if (index) exercise(*index);
}

}  // namespace kovra::fuzz

// BinaryFlatIndex::load on damaged save files; 70 dimensions make two words
// per row, the second one partly padding.
#include "core/index/binary_flat.h"
#include "harness.h"

namespace kovra::fuzz {

void write_seeds(const Seeds& seeds) {
  seed_each_metric(seeds, "binary_flat", [](Metric m) {
    BinaryFlatIndex index(70, m);
    if (!index.add_flat_batch(sample_rows(4, 70), 70, 7)) std::abort();
    if (!index.remove(8)) std::abort();
    return index;
  });
  if (!BinaryFlatIndex(70, Metric::L2).save(seeds.path("binary_flat-empty"))) std::abort();
}

void fuzz_one(std::span<const uint8_t> data) {
  auto index = BinaryFlatIndex::load(input_file(data));
  if (index) exercise(*index);
}

}  // namespace kovra::fuzz

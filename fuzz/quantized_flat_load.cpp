// QuantizedFlatIndex::load on damaged save files.
#include "core/index/quantized_flat.h"
#include "harness.h"

namespace kovra::fuzz {

void write_seeds(const Seeds& seeds) {
  seed_each_metric(seeds, "quantized_flat", [](Metric m) {
    QuantizedFlatIndex index(3, m);
    if (!index.add_flat_batch(sample_rows(4, 3), 3, 7)) std::abort();
    if (!index.remove(8)) std::abort();
    return index;
  });
  if (!QuantizedFlatIndex(3, Metric::L2).save(seeds.path("quantized_flat-empty"))) std::abort();
}

void fuzz_one(std::span<const uint8_t> data) {
  auto index = QuantizedFlatIndex::load(input_file(data));
  if (index) exercise(*index);
}

}  // namespace kovra::fuzz

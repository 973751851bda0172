// Fp16FlatIndex::load on damaged save files.
#include "core/index/quantized_fp16.h"
#include "harness.h"

namespace kovra::fuzz {

void write_seeds(const Seeds& seeds) {
  seed_each_metric(seeds, "fp16_flat", [](Metric m) {
    Fp16FlatIndex index(3, m);
    if (!index.add_flat_batch(sample_rows(4, 3), 3, 7)) std::abort();
    if (!index.remove(8)) std::abort();
    return index;
  });
  if (!Fp16FlatIndex(3, Metric::L2).save(seeds.path("fp16_flat-empty"))) std::abort();
}

void fuzz_one(std::span<const uint8_t> data) {
  auto index = Fp16FlatIndex::load(input_file(data));
  if (index) exercise(*index);
}

}  // namespace kovra::fuzz

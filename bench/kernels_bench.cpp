// Distance kernels, scalar against AVX2+FMA, and the four-at-a-time scorer
// that exact scans use. Figures are per call; bytes/s counts the stored
// vectors read (the query stays in L1).
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <span>
#include <vector>

#include "core/cpu.h"
#include "core/distance.h"
#include "core/index/flat.h"
#include "core/index/topk.h"

namespace {

using Kernel = float (*)(const float*, const float*, size_t);

std::vector<float> random_floats(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> dist;
  std::vector<float> v(n);
  for (auto& x : v) x = dist(gen);
  return v;
}

void pair_kernel(benchmark::State& state, Kernel kernel, bool needs_avx2) {
  if (needs_avx2 && !kovra::cpu::has_avx2_fma()) {
    state.SkipWithError("no AVX2/FMA on this processor");
    return;
  }
  size_t dims = static_cast<size_t>(state.range(0));
  auto a = random_floats(dims, 1);
  auto b = random_floats(dims, 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(kernel(a.data(), b.data(), dims));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dims * sizeof(float)));
}

// Scores `rows` stored vectors against one query per iteration. 4096 rows of
// 128 floats (2 MiB) sit in L2; 65536 rows (32 MiB) come from memory.
void scorer_contiguous(benchmark::State& state, kovra::Metric metric, bool avx2) {
  if (avx2 && !kovra::cpu::has_avx2_fma()) {
    state.SkipWithError("no AVX2/FMA on this processor");
    return;
  }
  size_t dims = static_cast<size_t>(state.range(0));
  size_t rows = static_cast<size_t>(state.range(1));
  auto query = random_floats(dims, 3);
  auto data = random_floats(dims * rows, 4);
  std::vector<float> out(rows);
  const kovra::KernelTable& kernels = avx2 ? kovra::avx2::table() : kovra::scalar::table();
  kovra::DistanceScorer scorer(metric, std::span<const float>(query), /*raw=*/false, kernels);
  for (auto _ : state) {
    scorer.contiguous(data.data(), rows, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * rows * dims * sizeof(float)));
}

void dims_args(benchmark::internal::Benchmark* b) { b->Arg(128)->Arg(768); }

void scan_args(benchmark::internal::Benchmark* b) {
  for (int64_t dims : {128, 768}) {
    b->Args({dims, 4096 * 128 / dims});
    b->Args({dims, 65536 * 128 / dims});
  }
}

BENCHMARK_CAPTURE(pair_kernel, scalar_l2_squared, kovra::scalar::l2_squared, false)->Apply(dims_args);
BENCHMARK_CAPTURE(pair_kernel, avx2_l2_squared, kovra::avx2::l2_squared, true)->Apply(dims_args);
BENCHMARK_CAPTURE(pair_kernel, scalar_dot, kovra::scalar::dot, false)->Apply(dims_args);
BENCHMARK_CAPTURE(pair_kernel, avx2_dot, kovra::avx2::dot, true)->Apply(dims_args);
BENCHMARK_CAPTURE(pair_kernel, scalar_cosine, kovra::scalar::cosine_distance, false)->Apply(dims_args);
BENCHMARK_CAPTURE(pair_kernel, avx2_cosine, kovra::avx2::cosine_distance, true)->Apply(dims_args);

BENCHMARK_CAPTURE(scorer_contiguous, scalar_l2, kovra::Metric::L2, false)->Apply(scan_args);
BENCHMARK_CAPTURE(scorer_contiguous, avx2_l2, kovra::Metric::L2, true)->Apply(scan_args);
BENCHMARK_CAPTURE(scorer_contiguous, avx2_cosine, kovra::Metric::Cosine, true)->Apply(scan_args);
BENCHMARK_CAPTURE(scorer_contiguous, avx2_dot, kovra::Metric::DotProduct, true)->Apply(scan_args);

// The parts of one exact search without Python around it: the whole
// FlatIndex::search, selection over all `rows` candidates at once, and the
// bounded collector.
void flat_search(benchmark::State& state) {
  size_t dims = static_cast<size_t>(state.range(0));
  size_t rows = static_cast<size_t>(state.range(1));
  auto data = random_floats(dims * rows, 5);
  auto query = random_floats(dims, 6);
  kovra::FlatIndex index(dims, kovra::Metric::L2);
  if (!index.add_flat_batch(data, dims, 0)) {
    state.SkipWithError("add_flat_batch failed");
    return;
  }
  for (auto _ : state) {
    auto hits = index.search(query, 10);
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * rows * dims * sizeof(float)));
}

void select_k(benchmark::State& state) {
  size_t rows = static_cast<size_t>(state.range(0));
  auto dist = random_floats(rows, 7);
  std::vector<kovra::Hit> all(rows), hits;
  for (size_t i = 0; i < rows; ++i) all[i] = {i, dist[i]};
  hits.reserve(rows);
  for (auto _ : state) {
    hits.assign(all.begin(), all.end());
    kovra::select_k_smallest(hits, 10);
    benchmark::DoNotOptimize(hits.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows));
}

// The bounded collector the scan feeds: most candidates are refused by one
// comparison once the first cut has set a threshold.
void topk_offer(benchmark::State& state) {
  size_t rows = static_cast<size_t>(state.range(0));
  auto dist = random_floats(rows, 7);
  for (auto _ : state) {
    kovra::TopK top(10);
    for (size_t i = 0; i < rows; ++i) top.offer(i, dist[i]);
    auto hits = top.finish();
    benchmark::DoNotOptimize(hits.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows));
}

BENCHMARK(flat_search)->Args({128, 100000})->Unit(benchmark::kMillisecond);
BENCHMARK(select_k)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(topk_offer)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scorer_contiguous, avx2_l2_100k, kovra::Metric::L2, true)
    ->Args({128, 100000})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// The sparse store's top-P (P = 100) on the hybrid suite's synthetic set:
// 100,000 vectors of 20 distinct dimensions over a vocabulary of 30,000,
// drawn from a truncated Zipf law (exponent 1.1), weights uniform in
// [0.1, 1); queries of 5 dimensions of the same law. Three ways to the same
// answer: the pruned scorer over slots, every posting summed over slots, and
// every posting summed in a hash table keyed by id.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/collection/sparse.h"

namespace {

using kovra::SparseStore;
using kovra::SparseVector;

constexpr uint32_t kVocabulary = 30'000;
constexpr size_t kVectors = 100'000;
constexpr size_t kPool = 100;

SparseVector draw(std::mt19937_64& rng, std::discrete_distribution<uint32_t>& dims, size_t count) {
  std::vector<uint32_t> idx;
  while (idx.size() < count) {
    const uint32_t d = dims(rng);
    if (std::find(idx.begin(), idx.end(), d) == idx.end()) idx.push_back(d);
  }
  std::sort(idx.begin(), idx.end());
  std::uniform_real_distribution<float> weight(0.1f, 1.0f);
  std::vector<float> w(idx.size());
  for (float& x : w) x = weight(rng);
  return SparseVector{std::move(idx), std::move(w)};
}

struct ZipfSet {
  SparseStore store;
  std::vector<SparseVector> queries;
  ZipfSet() {
    std::vector<double> p(kVocabulary);
    for (uint32_t d = 0; d < kVocabulary; ++d) p[d] = std::pow(d + 1.0, -1.1);
    std::discrete_distribution<uint32_t> dims(p.begin(), p.end());
    std::mt19937_64 rng(20240918);
    for (size_t i = 0; i < kVectors; ++i) store.upsert(i, draw(rng, dims, 20));
    for (size_t i = 0; i < 1000; ++i) queries.push_back(draw(rng, dims, 5));
  }
};

const ZipfSet& zipf_set() {
  static const ZipfSet set;
  return set;
}

template <class Scorer>
void run(benchmark::State& state, Scorer scorer) {
  const ZipfSet& set = zipf_set();
  size_t q = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(scorer(set.store, set.queries[q]));
    q = (q + 1) % set.queries.size();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));  // queries
}

void BM_TopScoresPruned(benchmark::State& state) {
  run(state, [](const SparseStore& s, const SparseVector& q) { return s.top_scores(q, kPool); });
}
void BM_TopScoresSlotsExhaustive(benchmark::State& state) {
  run(state, [](const SparseStore& s, const SparseVector& q) { return s.top_scores_exhaustive(q, kPool); });
}
void BM_TopScoresIdHashTable(benchmark::State& state) {
  run(state, [](const SparseStore& s, const SparseVector& q) { return s.top_scores_by_id(q, kPool); });
}

}  // namespace

BENCHMARK(BM_TopScoresPruned)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_TopScoresSlotsExhaustive)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_TopScoresIdHashTable)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

BENCHMARK_MAIN();

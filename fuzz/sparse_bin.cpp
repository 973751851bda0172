// SparseStore::decode on damaged "sparse.bin" images, and sparse_from_bytes on
// the same bytes as one encoded vector. A decoded store is scored, changed and
// encoded; its encoding must decode again to a store of the same shape.
#include <array>

#include "core/collection/sparse.h"
#include "harness.h"

namespace kovra::fuzz {
namespace {

const SparseVector kQuery{{0, 1, 4, 9, 0xFFFFFFFFu}, {1.0f, -0.5f, 2.0f, 0.25f, 1.0f}};
// Ids the seeds use; a decoded store may hold any.
constexpr std::array<VectorId, 5> kIds = {0, 1, 2, 7, 1000};

void check_round_trip(const SparseStore& store) {
  const std::vector<uint8_t> bytes = store.encode();
  auto again = SparseStore::decode(bytes);
  if (!again || again->count() != store.count() || again->dimension_count() != store.dimension_count() ||
      again->encode().size() != bytes.size())
    std::abort();
}

SparseStore sample_store() {
  SparseStore s;
  s.upsert(1, SparseVector{{0, 4, 9}, {1.0f, 0.25f, -2.0f}});
  s.upsert(2, SparseVector{{4}, {3.0f}});
  s.upsert(7, SparseVector{{1, 2, 3, 4}, {0.5f, 0.5f, 0.5f, 0.5f}});
  s.upsert(1000, SparseVector{{0xFFFFFFFFu}, {-1.0f}});
  return s;
}

}  // namespace

void write_seeds(const Seeds& seeds) {
  seeds.bytes("store", sample_store().encode());
  SparseStore removed = sample_store();
  removed.remove(7);
  removed.upsert(2, SparseVector{{9, 4}, {1.0f, 1.0f}});  // unordered indices, as a decoded file may hold
  seeds.bytes("store-changed", removed.encode());
  seeds.bytes("store-empty", SparseStore().encode());
  seeds.bytes("vector", sparse_to_bytes(SparseVector{{1, 3, 8}, {0.5f, -1.0f, 2.0f}}));
  seeds.bytes("vector-uneven", sparse_to_bytes(SparseVector{{1, 3, 8}, {0.5f}}));
}

void fuzz_one(std::span<const uint8_t> data) {
  if (auto v = sparse_from_bytes(data)) {
    SparseStore store;
    store.upsert(3, *v);
    store.upsert(4, std::move(*v));
    (void)store.score(kQuery);
    store.remove(3);
    check_round_trip(store);
  }

  auto decoded = SparseStore::decode(data);
  if (!decoded) return;
  SparseStore& store = *decoded;
  (void)store.score(kQuery);
  for (VectorId id : kIds) {
    if (const SparseVector* v = store.find(id)) {
      (void)store.score(*v);
      for (size_t i = 0; i < v->indices.size() && i < 4; ++i) (void)store.postings(v->indices[i]);
    }
  }
  check_round_trip(store);
  // Changes on top of decoded maps that need not agree with each other.
  store.remove(kIds[1]);
  store.upsert(kIds[2], SparseVector{{4, 9}, {1.0f, 2.0f}});
  store.remove(kIds[3]);
  (void)store.score(kQuery);
  check_round_trip(store);
}

}  // namespace kovra::fuzz

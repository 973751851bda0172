// parse_meta on damaged "meta.json" text. What parses must come back equal
// from its own written form, and that form must be a fixed point of the
// writer. Small metas of the buildable in-memory types also build their empty
// index ("faiss" and "mmap_flat" are left out: the first is refused by
// raising, the second opens a file in the collection directory).
#include <algorithm>

#include "core/collection/meta.h"
#include "harness.h"

namespace kovra::fuzz {
namespace {

bool same(const std::optional<HnswConfig>& a, const std::optional<HnswConfig>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->ef_construction == b->ef_construction && a->ef_search == b->ef_search && a->m == b->m);
}

bool same(const CollectionMeta& a, const CollectionMeta& b) {
  return a.name == b.name && a.dimensions == b.dimensions && a.metric == b.metric &&
         a.index_type == b.index_type && same(a.hnsw_config, b.hnsw_config) &&
         a.wal_compact_threshold == b.wal_compact_threshold &&
         a.auto_promote_threshold == b.auto_promote_threshold &&
         same(a.promotion_hnsw_config, b.promotion_hnsw_config) && a.embedding_model == b.embedding_model &&
         a.ivf_config == b.ivf_config && a.ivf_pq_config == b.ivf_pq_config && a.faiss_factory == b.faiss_factory;
}

// Bounds under which building and exercising an empty index stays cheap.
constexpr uint64_t kMaxDims = 64;
constexpr uint64_t kMaxSetting = 256;

bool small(const CollectionMeta& m) {
  if (m.dimensions > kMaxDims) return false;
  if (const auto& c = m.hnsw_config; c && std::max({c->ef_construction, c->ef_search, c->m}) > kMaxSetting) return false;
  if (const auto& c = m.ivf_config; c && std::max({c->n_lists, c->nprobe, c->train_size, c->max_iter}) > kMaxSetting)
    return false;
  if (const auto& c = m.ivf_pq_config;
      c && std::max({c->n_lists, c->nprobe, c->train_size, c->max_iter, c->pq.m, c->pq.k_sub, c->pq.max_iter}) >
               kMaxSetting)
    return false;
  return true;
}

void write_text(const Seeds& seeds, std::string_view name, std::string_view text) {
  seeds.bytes(name, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace

void write_seeds(const Seeds& seeds) {
  for (IndexType t : {IndexType::Flat, IndexType::Hnsw, IndexType::QuantizedFlat, IndexType::Ivf, IndexType::IvfPq,
                      IndexType::Fp16Flat, IndexType::MmapFlat, IndexType::BinaryFlat}) {
    write_text(seeds, index_type_name(t), meta_to_json(new_collection_meta("docs", 8, Metric::Cosine, t)));
  }
  CollectionMeta full = new_collection_meta("n\"a\\m\ne\x01 \xc3\xa9", 16, Metric::DotProduct, IndexType::Flat);
  full.hnsw_config = HnswConfig{40, 20, 4};
  full.wal_compact_threshold = 7;
  full.auto_promote_threshold = 100;
  full.promotion_hnsw_config = HnswConfig{64, 32, 8};
  full.embedding_model = "model-x";
  full.ivf_config = IvfConfig{4, 2, 32, 5};
  full.ivf_pq_config = IvfPqConfig{4, 2, 32, 5, PqConfig{4, 16, 5}};
  full.faiss_factory = "IVF4,PQ4";
  write_text(seeds, "every-field", meta_to_json(full));
  full.index_type = IndexType::Faiss;
  write_text(seeds, "faiss", meta_to_json(full));
  // The array form, with nulls for absent optional fields and an early end.
  write_text(seeds, "array", R"(["a", 3, "l2", "ivf_pq", null, 10, null, null, null, null, [2, 1, 8, 3, [3, 4, 2]]])");
  write_text(seeds, "array-short", R"(["b", 2, "dot_product", "hnsw"])");
}

void fuzz_one(std::span<const uint8_t> data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  auto meta = parse_meta(text);
  if (!meta) return;
  const std::string written = meta_to_json(*meta);
  auto again = parse_meta(written);
  if (!again || !same(*meta, *again) || meta_to_json(*again) != written) std::abort();

  if (meta->index_type == IndexType::Faiss || meta->index_type == IndexType::MmapFlat || !small(*meta)) return;
  auto index = build_index(*meta, work_dir());
  if (!index) return;
  VectorIndex& built = **index;
  const size_t dims = static_cast<size_t>(meta->dimensions);
  if (dims > 0) {
    const std::vector<float> rows = sample_rows(6, dims);
    std::vector<Entry> entries;
    for (size_t i = 0; i < 6; ++i) entries.emplace_back(i + 1, std::vector<float>(&rows[i * dims], &rows[i * dims] + dims));
    (void)built.add_batch(entries);
    (void)built.flush();  // an index that trains on demand trains on what it holds
  }
  exercise(built);
}

}  // namespace kovra::fuzz

// Python class HnswIndex.
#include "core/index/hnsw.h"

#include "python/classes.h"
#include "python/index_methods.h"

namespace kovra::py {

template <>
struct ClassTraits<HnswIndex> {
  static constexpr const char* name = "HnswIndex";
  static PyTypeObject* make_type();
};

namespace {

using Self = Object<HnswIndex>;
using M = IndexMethods<HnswIndex>;

PyObject* hnsw_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig("HnswIndex.__new__", {"dimensions", "metric", "ef_construction", "ef_search", "m"},
                             1);
  return guarded([&]() -> PyObject* {
    PyObject* argv[5];
    if (!sig.bind(args, kwargs, argv)) return nullptr;
    size_t dimensions;
    Metric metric = Metric::L2;
    HnswConfig config;
    if (!to_size(argv[0], "dimensions", &dimensions)) return nullptr;
    if (argv[1] && !to_metric(argv[1], "metric", &metric)) return nullptr;
    if (argv[2] && !to_u64(argv[2], "ef_construction", &config.ef_construction)) return nullptr;
    if (argv[3] && !to_u64(argv[3], "ef_search", &config.ef_search)) return nullptr;
    if (argv[4] && !to_u64(argv[4], "m", &config.m)) return nullptr;
    if (Status st = HnswIndex::check_config(config); !st) return raise(st.error());
    return wrap(type, std::make_unique<HnswIndex>(dimensions, metric, config));
  });
}

PyObject* hnsw_add_batch_np(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("HnswIndex.add_batch_np", {"vectors", "start_id"}, 1);
  return method<HnswIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    FloatBlock block;
    uint64_t start_id = 0;
    if (!to_block(a[0], &block)) return static_cast<PyObject*>(nullptr);
    if (a[1] && !to_u64(a[1], "start_id", &start_id)) return static_cast<PyObject*>(nullptr);
    Status st = without_gil([&] { return s.core->add_batch_np(block.values, block.columns, start_id); });
    return none_or_raise(st);
  });
}

PyObject* hnsw_add_batch_parallel(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("HnswIndex.add_batch_parallel",
                             {"vectors", "start_id", "num_threads", "micro_batch_size"}, 1);
  return method<HnswIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    FloatBlock block;
    uint64_t start_id = 0;
    size_t num_threads = 0;
    size_t micro_batch_size = 256;
    if (!to_block(a[0], &block)) return static_cast<PyObject*>(nullptr);
    if (a[1] && !to_u64(a[1], "start_id", &start_id)) return static_cast<PyObject*>(nullptr);
    if (a[2] && !to_size(a[2], "num_threads", &num_threads)) return static_cast<PyObject*>(nullptr);
    if (a[3] && !to_size(a[3], "micro_batch_size", &micro_batch_size)) return static_cast<PyObject*>(nullptr);
    Status st = without_gil([&] {
      return s.core->add_batch_parallel(block.values, block.columns, start_id, num_threads, micro_batch_size);
    });
    return none_or_raise(st);
  });
}

PyObject* get_ef_search(PyObject* self, void*) {
  return method0<HnswIndex>(self, Borrow::Shared, [](Self& s) { return from_u64(s.core->config().ef_search); });
}

int set_ef_search(PyObject* self, PyObject* value, void*) {
  return M::set_knob(self, value, "ef_search",
                     [](HnswIndex& core, uint64_t v) { return core.set_ef_search(v); });
}

PyMethodDef kMethods[] = {
    {"add", M::fn(M::add), kArgs,
     "add($self, id, vector)\n--\n\nAdd a single vector with the given ID."},
    {"add_batch", M::fn(M::add_batch), kArgs,
     "add_batch($self, entries)\n--\n\nAdd multiple vectors at once. Takes a list of (id, vector) tuples."},
    {"add_batch_np", M::fn(hnsw_add_batch_np), kArgs,
     "add_batch_np($self, vectors, start_id=0)\n--\n\n"
     "Add vectors from a 2D numpy array (N \xc3\x97 dim) with sequential IDs starting from `start_id`.\n"
     "This is the fastest way to insert vectors \xe2\x80\x94 no per-element Python extraction.\n"
     "\n"
     "Example:\n"
     "    vectors = np.random.rand(10000, 128).astype(np.float32)\n"
     "    idx.add_batch_np(vectors)            # IDs: 0..9999\n"
     "    idx.add_batch_np(vectors, start_id=5000)  # IDs: 5000..14999"},
    {"add_batch_parallel", M::fn(hnsw_add_batch_parallel), kArgs,
     "add_batch_parallel($self, vectors, start_id=0, num_threads=0, micro_batch_size=256)\n--\n\n"
     "Parallel batch insert from a 2D numpy array using micro-batching.\n"
     "\n"
     "Splits the batch into micro-batches, inserts the first batch sequentially\n"
     "(bootstrapping the graph), then processes remaining batches with parallel\n"
     "neighbor search using `num_threads` threads.\n"
     "\n"
     "Args:\n"
     "    vectors: 2D numpy array of shape (N, dim), dtype float32\n"
     "    start_id: First vector ID (default 0)\n"
     "    num_threads: Number of threads (default 0 = all cores)\n"
     "    micro_batch_size: Vectors per micro-batch (default 256)"},
    {"search", M::fn(M::search), kArgs,
     "search($self, query, k)\n--\n\n"
     "Search for the k nearest vectors. Returns list of {\"id\": int, \"distance\": float}."},
    {"search_batch", M::fn(M::search_batch), kArgs, kSearchBatchDoc},
    {"delete", M::fn(M::remove), kArgs,
     "delete($self, id)\n--\n\nRemove a vector by ID. Returns True if found and removed."},
    {"flush", M::fn(M::flush), METH_NOARGS,
     "flush($self)\n--\n\nBuild the HNSW graph. Call after bulk inserts for best performance."},
    {"save", M::fn(M::save), kArgs,
     "save($self, path)\n--\n\nSave index to a binary file."},
    {"load", M::fn(M::load), kStaticArgs,
     "load(path)\n--\n\nLoad a previously saved index from a binary file."},
    {nullptr, nullptr, 0, nullptr},
};

const char kDoc[] =
    "HnswIndex(dimensions, metric=\"l2\", ef_construction=200, ef_search=50, m=12)\n--\n\n"
    "Graph-based approximate nearest-neighbour index (HNSW). 95-99% recall.\n"
    "\n"
    "Args:\n"
    "    dimensions: Number of dimensions per vector.\n"
    "    metric: Distance metric \xe2\x80\x94 \"l2\", \"cosine\", or \"dot_product\".\n"
    "    ef_construction: Build beam width (default 200). Higher = better recall, slower build.\n"
    "    ef_search: Query beam width (default 50). Tunable at runtime.\n"
    "    m: Graph edges per node (default 12). Higher = better recall, more RAM.\n";

}  // namespace

PyTypeObject* ClassTraits<HnswIndex>::make_type() {
  static const char kEfSearchDoc[] =
      "Query beam width (at least 1; searches widen it to k). Settable between searches; "
      "saved with the index.";
  return M::make_type("kovra_vector_db.HnswIndex", hnsw_new, kMethods,
                      M::properties("Number of dimensions per vector.",
                                    "Distance metric (\"l2\", \"cosine\", or \"dot_product\").",
                                    {"ef_search", get_ef_search, set_ef_search, kEfSearchDoc, nullptr}),
                      kDoc);
}

PyTypeObject* hnsw_index_type() { return class_type<HnswIndex>(); }

}  // namespace kovra::py

// Python class IvfIndex.
#include "core/index/ivf.h"

#include "python/classes.h"
#include "python/index_methods.h"

namespace kovra::py {

template <>
struct ClassTraits<IvfIndex> {
  static constexpr const char* name = "IvfIndex";
  static PyTypeObject* make_type();
};

namespace {

using M = IndexMethods<IvfIndex>;

PyObject* ivf_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig("IvfIndex.__new__", {"dimensions", "metric", "n_lists", "nprobe", "train_size"}, 1);
  return guarded([&]() -> PyObject* {
    PyObject* argv[5];
    if (!sig.bind(args, kwargs, argv)) return nullptr;
    size_t dimensions;
    Metric metric = Metric::L2;
    IvfConfig config;  // n_lists 256, nprobe 16, train_size 4096, max_iter 25
    if (!to_size(argv[0], "dimensions", &dimensions)) return nullptr;
    if (argv[1] && !to_metric(argv[1], "metric", &metric)) return nullptr;
    if (argv[2] && !to_u64(argv[2], "n_lists", &config.n_lists)) return nullptr;
    if (argv[3] && !to_u64(argv[3], "nprobe", &config.nprobe)) return nullptr;
    if (argv[4] && !to_u64(argv[4], "train_size", &config.train_size)) return nullptr;
    // n_lists = 0 is refused here, so that no add can fail half-way through
    // a training run.
    auto index = IvfIndex::create(dimensions, metric, config);
    if (!index) return raise(index.error());
    return wrap(type, std::make_unique<IvfIndex>(std::move(*index)));
  });
}

PyMethodDef kMethods[] = {
    {"add", M::fn(M::add), kArgs, "add($self, id, vector)\n--\n\n"},
    {"add_batch", M::fn(M::add_batch), kArgs, "add_batch($self, entries)\n--\n\n"},
    {"add_batch_np", M::fn(M::add_batch_np), kArgs,
     "add_batch_np($self, vectors, start_id=0)\n--\n\n"
     "Add vectors from a 2D numpy array (N \xc3\x97 dim) with sequential IDs starting from `start_id`."},
    {"search", M::fn(M::search), kArgs, "search($self, query, k)\n--\n\n"},
    {"delete", M::fn(M::remove), kArgs, "delete($self, id)\n--\n\n"},
    {"flush", M::fn(M::flush), METH_NOARGS, "flush($self)\n--\n\n"},
    {"save", M::fn(M::save), kArgs, "save($self, path)\n--\n\n"},
    {"load", M::fn(M::load), kStaticArgs, "load(path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const char kDoc[] =
    "IvfIndex(dimensions, metric=\"l2\", n_lists=256, nprobe=16, train_size=4096)\n--\n\n"
    "Inverted file index. Cluster-based ANN using k-means.\n"
    "\n"
    "Auto-trains after train_size inserts. Rule of thumb: n_lists = sqrt(N).\n"
    "\n"
    "Args:\n"
    "    dimensions: Number of dimensions per vector.\n"
    "    metric: Distance metric - \"l2\", \"cosine\", or \"dot_product\".\n"
    "    n_lists: Number of clusters (default 256).\n"
    "    nprobe: Clusters scanned per query (default 16).\n"
    "    train_size: Vectors buffered before auto-training (default 4096).";

}  // namespace

PyTypeObject* ClassTraits<IvfIndex>::make_type() {
  return M::make_type("kovra_vector_db.IvfIndex", ivf_new, kMethods, M::properties(nullptr, nullptr), kDoc);
}

PyTypeObject* ivf_index_type() { return class_type<IvfIndex>(); }

}  // namespace kovra::py

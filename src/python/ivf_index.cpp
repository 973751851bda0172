// Python class IvfIndex.
#include "core/index/ivf.h"

#include "python/classes.h"
#include "python/ivf_class.h"

namespace kovra::py {

template <>
struct ClassTraits<IvfIndex> {
  static constexpr const char* name = "IvfIndex";
  static PyTypeObject* make_type();
};

namespace {

PyObject* ivf_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig("IvfIndex.__new__", {"dimensions", "metric", "n_lists", "nprobe", "train_size"}, 1);
  return guarded([&]() -> PyObject* {
    PyObject* argv[5];
    if (!sig.bind(args, kwargs, argv)) return nullptr;
    IvfArgs a;
    if (!parse_ivf_args(argv, &a)) return nullptr;
    // n_lists = 0 is refused here, so that no add can fail half-way through
    // a training run.
    auto index = IvfIndex::create(a.dimensions, a.metric, a.config);
    if (!index) return raise(index.error());
    return wrap(type, std::make_unique<IvfIndex>(std::move(*index)));
  });
}

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
  return IvfClass<IvfIndex>::make_type("kovra_vector_db.IvfIndex", ivf_new, kDoc);
}

PyTypeObject* ivf_index_type() { return class_type<IvfIndex>(); }

}  // namespace kovra::py

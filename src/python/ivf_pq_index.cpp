// Python class IvfPqIndex.
#include "core/index/ivf_pq.h"

#include "python/classes.h"
#include "python/ivf_class.h"

namespace kovra::py {

template <>
struct ClassTraits<IvfPqIndex> {
  static constexpr const char* name = "IvfPqIndex";
  static PyTypeObject* make_type();
};

namespace {

PyObject* ivf_pq_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig("IvfPqIndex.__new__",
                             {"dimensions", "metric", "n_lists", "nprobe", "train_size", "pq_m", "pq_k_sub"}, 1);
  return guarded([&]() -> PyObject* {
    PyObject* argv[7];
    if (!sig.bind(args, kwargs, argv)) return nullptr;
    IvfArgs a;
    if (!parse_ivf_args(argv, &a)) return nullptr;
    // Coarse and quantizer max_iter 25, pq_m 8, pq_k_sub 256.
    IvfPqConfig config;
    config.n_lists = a.config.n_lists;
    config.nprobe = a.config.nprobe;
    config.train_size = a.config.train_size;
    if (argv[5] && !to_u64(argv[5], "pq_m", &config.pq.m)) return nullptr;
    if (argv[6] && !to_u64(argv[6], "pq_k_sub", &config.pq.k_sub)) return nullptr;
    // Parameters that training could not use are refused here, so that no
    // add can fail half-way through a training run.
    auto index = IvfPqIndex::create(a.dimensions, a.metric, config);
    if (!index) return raise(index.error());
    return wrap(type, std::make_unique<IvfPqIndex>(std::move(*index)));
  });
}

const char kDoc[] =
    "IvfPqIndex(dimensions, metric=\"l2\", n_lists=256, nprobe=16, train_size=4096, pq_m=8, pq_k_sub=256)\n--\n\n"
    "IVF with product quantization. Extreme memory reduction (~96x for 1536-dim).\n"
    "\n"
    "Combines IVF coarse quantizer with PQ compression for residual vectors.\n"
    "Ideal for million-scale datasets.\n"
    "\n"
    "Args:\n"
    "    dimensions: Number of dimensions per vector.\n"
    "    metric: Distance metric - \"l2\", \"cosine\", or \"dot_product\".\n"
    "    n_lists: Number of IVF clusters (default 256).\n"
    "    nprobe: Clusters scanned per query (default 16).\n"
    "    train_size: Vectors buffered before auto-training (default 4096).\n"
    "    pq_m: Number of PQ sub-quantizers (default 8, must divide dimensions).\n"
    "    pq_k_sub: Centroids per sub-quantizer (default 256).";

}  // namespace

PyTypeObject* ClassTraits<IvfPqIndex>::make_type() {
  return IvfClass<IvfPqIndex>::make_type("kovra_vector_db.IvfPqIndex", ivf_pq_new, kDoc);
}

PyTypeObject* ivf_pq_index_type() { return class_type<IvfPqIndex>(); }

}  // namespace kovra::py

// Python class IvfIndex.
#include "core/index/ivf.h"

#include "python/classes.h"
#include "python/frame.h"

namespace kovra::py {

template <>
struct ClassTraits<IvfIndex> {
  static constexpr const char* name = "IvfIndex";
  static PyTypeObject* make_type();
};

namespace {

using Self = Object<IvfIndex>;

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

PyObject* ivf_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("IvfIndex.add", {"id", "vector"}, 2);
  return method<IvfIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    uint64_t id;
    std::vector<float> vector;
    if (!to_u64(a[0], "id", &id) || !to_vector(a[1], &vector)) return static_cast<PyObject*>(nullptr);
    return none_or_raise(s.core->add(id, vector));
  });
}

PyObject* ivf_add_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("IvfIndex.add_batch", {"entries"}, 1);
  return method<IvfIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::vector<Entry> entries;
    if (!to_entries(a[0], &entries)) return static_cast<PyObject*>(nullptr);
    return none_or_raise(s.core->add_batch(entries));
  });
}

PyObject* ivf_add_batch_np(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("IvfIndex.add_batch_np", {"vectors", "start_id"}, 1);
  return method<IvfIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    FloatBlock block;
    uint64_t start_id = 0;
    if (!to_block(a[0], &block)) return static_cast<PyObject*>(nullptr);
    if (a[1] && !to_u64(a[1], "start_id", &start_id)) return static_cast<PyObject*>(nullptr);
    Status st = without_gil([&] { return s.core->add_flat_batch(block.data, block.columns, start_id); });
    return none_or_raise(st);
  });
}

PyObject* ivf_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("IvfIndex.search", {"query", "k"}, 2);
  return method<IvfIndex>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    size_t k;
    std::vector<float> query;
    if (!to_size(a[1], "k", &k) || !to_vector(a[0], &query)) return static_cast<PyObject*>(nullptr);
    auto hits = without_gil([&] { return s.core->search(query, k); });
    return result_or_raise(hits, [](std::vector<Hit>& h) { return hits_to_list(h); });
  });
}

PyObject* ivf_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("IvfIndex.delete", {"id"}, 1);
  return method<IvfIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    uint64_t id;
    if (!to_u64(a[0], "id", &id)) return static_cast<PyObject*>(nullptr);
    auto removed = s.core->remove(id);
    return result_or_raise(removed, [](bool b) { return to_bool(b); });
  });
}

PyObject* ivf_flush(PyObject* self, PyObject*) {
  return method0<IvfIndex>(self, Borrow::Exclusive, [](Self& s) {
    Status st = without_gil([&] { return s.core->flush(); });
    return none_or_raise(st);
  });
}

PyObject* ivf_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("IvfIndex.save", {"path"}, 1);
  return method<IvfIndex>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    std::string path;
    if (!to_text(a[0], "path", &path)) return static_cast<PyObject*>(nullptr);
    return none_or_raise(s.core->save(path));
  });
}

PyObject* ivf_load(PyObject*, PyObject* args, PyObject* kwargs) {
  static const Signature sig("IvfIndex.load", {"path"}, 1);
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!sig.bind(args, kwargs, argv)) return nullptr;
    std::string path;
    if (!to_text(argv[0], "path", &path)) return nullptr;
    auto loaded = IvfIndex::load(path);
    if (!loaded) return raise(loaded.error());
    return wrap(std::make_unique<IvfIndex>(std::move(*loaded)));
  });
}

Py_ssize_t ivf_len(PyObject* self) {
  Py_ssize_t n = -1;
  PyObject* r = method0<IvfIndex>(self, Borrow::Shared, [&](Self& s) -> PyObject* {
    n = static_cast<Py_ssize_t>(s.core->len());
    Py_RETURN_NONE;
  });
  if (!r) return -1;
  Py_DECREF(r);
  return n;
}

PyObject* ivf_repr(PyObject* self) {
  return method0<IvfIndex>(self, Borrow::Shared, [](Self& s) {
    return index_repr("IvfIndex", s.core->dimensions(), s.core->metric(), s.core->len());
  });
}

PyObject* ivf_get_dimensions(PyObject* self, void*) {
  return method0<IvfIndex>(self, Borrow::Shared, [](Self& s) { return from_u64(s.core->dimensions()); });
}

PyObject* ivf_get_metric(PyObject* self, void*) {
  return method0<IvfIndex>(self, Borrow::Shared, [](Self& s) { return from_text(metric_name(s.core->metric())); });
}

#define KOVRA_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef kMethods[] = {
    {"add", KOVRA_METHOD(ivf_add), METH_VARARGS | METH_KEYWORDS, "add($self, id, vector)\n--\n\n"},
    {"add_batch", KOVRA_METHOD(ivf_add_batch), METH_VARARGS | METH_KEYWORDS, "add_batch($self, entries)\n--\n\n"},
    {"add_batch_np", KOVRA_METHOD(ivf_add_batch_np), METH_VARARGS | METH_KEYWORDS,
     "add_batch_np($self, vectors, start_id=0)\n--\n\n"
     "Add vectors from a 2D numpy array (N \xc3\x97 dim) with sequential IDs starting from `start_id`."},
    {"search", KOVRA_METHOD(ivf_search), METH_VARARGS | METH_KEYWORDS, "search($self, query, k)\n--\n\n"},
    {"delete", KOVRA_METHOD(ivf_delete), METH_VARARGS | METH_KEYWORDS, "delete($self, id)\n--\n\n"},
    {"flush", KOVRA_METHOD(ivf_flush), METH_NOARGS, "flush($self)\n--\n\n"},
    {"save", KOVRA_METHOD(ivf_save), METH_VARARGS | METH_KEYWORDS, "save($self, path)\n--\n\n"},
    {"load", KOVRA_METHOD(ivf_load), METH_VARARGS | METH_KEYWORDS | METH_STATIC, "load(path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"dimensions", ivf_get_dimensions, nullptr, nullptr, nullptr},
    {"metric", ivf_get_metric, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(ivf_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<IvfIndex>)},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kGetSet},
      {Py_tp_repr, reinterpret_cast<void*>(ivf_repr)},
      {Py_sq_length, reinterpret_cast<void*>(ivf_len)},
      {Py_mp_length, reinterpret_cast<void*>(ivf_len)},
      {Py_tp_doc, const_cast<char*>(kDoc)},
      {0, nullptr},
  };
  return make_heap_type<IvfIndex>("kovra_vector_db.IvfIndex", slots);
}

PyTypeObject* ivf_index_type() { return class_type<IvfIndex>(); }

}  // namespace kovra::py

// Python class FlatIndex.
#include "core/index/flat.h"

#include "python/classes.h"
#include "python/frame.h"

namespace kovra::py {

template <>
struct ClassTraits<FlatIndex> {
  static constexpr const char* name = "FlatIndex";
  static PyTypeObject* make_type();
};

namespace {

using Self = Object<FlatIndex>;

PyObject* flat_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig("FlatIndex.__new__", {"dimensions", "metric"}, 1);
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    if (!sig.bind(args, kwargs, argv)) return nullptr;
    size_t dimensions;
    Metric metric = Metric::L2;
    if (!to_size(argv[0], "dimensions", &dimensions)) return nullptr;
    if (argv[1] && !to_metric(argv[1], "metric", &metric)) return nullptr;
    return wrap(type, std::make_unique<FlatIndex>(dimensions, metric));
  });
}

PyObject* flat_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("FlatIndex.add", {"id", "vector"}, 2);
  return method<FlatIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    uint64_t id;
    std::vector<float> vector;
    if (!to_u64(a[0], "id", &id) || !to_vector(a[1], &vector)) return static_cast<PyObject*>(nullptr);
    return none_or_raise(s.core->add(id, vector));
  });
}

PyObject* flat_add_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("FlatIndex.add_batch", {"entries"}, 1);
  return method<FlatIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::vector<Entry> entries;
    if (!to_entries(a[0], &entries)) return static_cast<PyObject*>(nullptr);
    return none_or_raise(s.core->add_batch(entries));
  });
}

PyObject* flat_add_batch_np(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("FlatIndex.add_batch_np", {"vectors", "start_id"}, 1);
  return method<FlatIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    FloatBlock block;
    uint64_t start_id = 0;
    if (!to_block(a[0], &block)) return static_cast<PyObject*>(nullptr);
    if (a[1] && !to_u64(a[1], "start_id", &start_id)) return static_cast<PyObject*>(nullptr);
    Status st = without_gil([&] { return s.core->add_flat_batch(std::move(block.data), block.columns, start_id); });
    return none_or_raise(st);
  });
}

PyObject* flat_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("FlatIndex.search", {"query", "k"}, 2);
  return method<FlatIndex>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    size_t k;
    std::vector<float> query;
    if (!to_size(a[1], "k", &k) || !to_vector(a[0], &query)) return static_cast<PyObject*>(nullptr);
    auto hits = without_gil([&] { return s.core->search(query, k); });
    return result_or_raise(hits, [](std::vector<Hit>& h) { return hits_to_list(h); });
  });
}

PyObject* flat_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("FlatIndex.delete", {"id"}, 1);
  return method<FlatIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    uint64_t id;
    if (!to_u64(a[0], "id", &id)) return static_cast<PyObject*>(nullptr);
    auto removed = s.core->remove(id);
    return result_or_raise(removed, [](bool b) { return to_bool(b); });
  });
}

PyObject* flat_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("FlatIndex.save", {"path"}, 1);
  return method<FlatIndex>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    std::string path;
    if (!to_text(a[0], "path", &path)) return static_cast<PyObject*>(nullptr);
    return none_or_raise(s.core->save(path));
  });
}

PyObject* flat_load(PyObject*, PyObject* args, PyObject* kwargs) {
  static const Signature sig("FlatIndex.load", {"path"}, 1);
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!sig.bind(args, kwargs, argv)) return nullptr;
    std::string path;
    if (!to_text(argv[0], "path", &path)) return nullptr;
    auto loaded = FlatIndex::load(path);
    if (!loaded) return raise(loaded.error());
    return wrap(std::make_unique<FlatIndex>(std::move(*loaded)));
  });
}

Py_ssize_t flat_len(PyObject* self) {
  Py_ssize_t n = -1;
  PyObject* r = method0<FlatIndex>(self, Borrow::Shared, [&](Self& s) -> PyObject* {
    n = static_cast<Py_ssize_t>(s.core->len());
    Py_RETURN_NONE;
  });
  if (!r) return -1;
  Py_DECREF(r);
  return n;
}

PyObject* flat_repr(PyObject* self) {
  return method0<FlatIndex>(self, Borrow::Shared, [](Self& s) {
    return index_repr("FlatIndex", s.core->dimensions(), s.core->metric(), s.core->len());
  });
}

PyObject* flat_get_dimensions(PyObject* self, void*) {
  return method0<FlatIndex>(self, Borrow::Shared, [](Self& s) { return from_u64(s.core->dimensions()); });
}

PyObject* flat_get_metric(PyObject* self, void*) {
  return method0<FlatIndex>(self, Borrow::Shared, [](Self& s) { return from_text(metric_name(s.core->metric())); });
}

#define KOVRA_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef kMethods[] = {
    {"add", KOVRA_METHOD(flat_add), METH_VARARGS | METH_KEYWORDS,
     "add($self, id, vector)\n--\n\nAdd a single vector with the given ID."},
    {"add_batch", KOVRA_METHOD(flat_add_batch), METH_VARARGS | METH_KEYWORDS,
     "add_batch($self, entries)\n--\n\nAdd multiple vectors at once. Takes a list of (id, vector) tuples."},
    {"add_batch_np", KOVRA_METHOD(flat_add_batch_np), METH_VARARGS | METH_KEYWORDS,
     "add_batch_np($self, vectors, start_id=0)\n--\n\n"
     "Add vectors from a 2D numpy array (N \xc3\x97 dim) with sequential IDs starting from `start_id`.\n"
     "This is the fastest way to insert vectors \xe2\x80\x94 no per-element Python extraction."},
    {"search", KOVRA_METHOD(flat_search), METH_VARARGS | METH_KEYWORDS,
     "search($self, query, k)\n--\n\n"
     "Search for the k nearest vectors. Returns list of {\"id\": int, \"distance\": float}."},
    {"delete", KOVRA_METHOD(flat_delete), METH_VARARGS | METH_KEYWORDS,
     "delete($self, id)\n--\n\nRemove a vector by ID. Returns True if found and removed."},
    {"save", KOVRA_METHOD(flat_save), METH_VARARGS | METH_KEYWORDS,
     "save($self, path)\n--\n\nSave index to a binary file."},
    {"load", KOVRA_METHOD(flat_load), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "load(path)\n--\n\nLoad a previously saved index from a binary file."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"dimensions", flat_get_dimensions, nullptr, "Number of dimensions per vector.", nullptr},
    {"metric", flat_get_metric, nullptr, "Distance metric (\"l2\", \"cosine\", or \"dot_product\").", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "FlatIndex(dimensions, metric=\"l2\")\n--\n\n"
    "Exact brute-force vector index. 100% recall, O(N*D) per query.\n"
    "\n"
    "Best for small datasets (<100K vectors) or when exact results are required.\n"
    "\n"
    "Args:\n"
    "    dimensions: Number of dimensions per vector.\n"
    "    metric: Distance metric \xe2\x80\x94 \"l2\", \"cosine\", or \"dot_product\".\n"
    "\n"
    "Example:\n"
    "    index = FlatIndex(384, \"cosine\")\n"
    "    index.add(1, [0.1] * 384)\n"
    "    results = index.search([0.1] * 384, k=10)\n";

}  // namespace

PyTypeObject* ClassTraits<FlatIndex>::make_type() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(flat_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<FlatIndex>)},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kGetSet},
      {Py_tp_repr, reinterpret_cast<void*>(flat_repr)},
      {Py_sq_length, reinterpret_cast<void*>(flat_len)},
      {Py_mp_length, reinterpret_cast<void*>(flat_len)},
      {Py_tp_doc, const_cast<char*>(kDoc)},
      {0, nullptr},
  };
  return make_heap_type<FlatIndex>("kovra_vector_db.FlatIndex", slots);
}

PyTypeObject* flat_index_type() { return class_type<FlatIndex>(); }

}  // namespace kovra::py

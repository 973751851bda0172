// Python class MmapFlatIndex.
#include "core/index/mmap_flat.h"

#include "python/classes.h"
#include "python/frame.h"

namespace kovra::py {

template <>
struct ClassTraits<MmapFlatIndex> {
  static constexpr const char* name = "MmapFlatIndex";
  static PyTypeObject* make_type();
};

namespace {

using Self = Object<MmapFlatIndex>;

PyObject* mmap_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig("MmapFlatIndex.__new__", {"dimensions", "metric", "path"}, 1);
  return guarded([&]() -> PyObject* {
    PyObject* argv[3];
    if (!sig.bind(args, kwargs, argv)) return nullptr;
    size_t dimensions;
    Metric metric = Metric::L2;
    std::string path = "./mmap_index.kvec";
    if (!to_size(argv[0], "dimensions", &dimensions)) return nullptr;
    if (argv[1] && !to_metric(argv[1], "metric", &metric)) return nullptr;
    if (argv[2] && !to_text(argv[2], "path", &path)) return nullptr;
    auto opened = MmapFlatIndex::open(path, dimensions, metric);
    if (!opened) return raise(opened.error());
    return wrap(type, std::make_unique<MmapFlatIndex>(std::move(*opened)));
  });
}

PyObject* mmap_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("MmapFlatIndex.add", {"id", "vector"}, 2);
  return method<MmapFlatIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    uint64_t id;
    std::vector<float> vector;
    if (!to_u64(a[0], "id", &id) || !to_vector(a[1], &vector)) return static_cast<PyObject*>(nullptr);
    return none_or_raise(s.core->add(id, vector));
  });
}

PyObject* mmap_add_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("MmapFlatIndex.add_batch", {"entries"}, 1);
  return method<MmapFlatIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::vector<Entry> entries;
    if (!to_entries(a[0], &entries)) return static_cast<PyObject*>(nullptr);
    return none_or_raise(s.core->add_batch(entries));
  });
}

PyObject* mmap_add_batch_np(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("MmapFlatIndex.add_batch_np", {"vectors", "start_id"}, 1);
  return method<MmapFlatIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    FloatBlock block;
    uint64_t start_id = 0;
    if (!to_block(a[0], &block)) return static_cast<PyObject*>(nullptr);
    if (a[1] && !to_u64(a[1], "start_id", &start_id)) return static_cast<PyObject*>(nullptr);
    Status st = without_gil([&] { return s.core->add_flat_batch(block.data, block.columns, start_id); });
    return none_or_raise(st);
  });
}

PyObject* mmap_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("MmapFlatIndex.search", {"query", "k"}, 2);
  return method<MmapFlatIndex>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    size_t k;
    std::vector<float> query;
    if (!to_size(a[1], "k", &k) || !to_vector(a[0], &query)) return static_cast<PyObject*>(nullptr);
    auto hits = without_gil([&] { return s.core->search(query, k); });
    return result_or_raise(hits, [](std::vector<Hit>& h) { return hits_to_list(h); });
  });
}

PyObject* mmap_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("MmapFlatIndex.delete", {"id"}, 1);
  return method<MmapFlatIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    uint64_t id;
    if (!to_u64(a[0], "id", &id)) return static_cast<PyObject*>(nullptr);
    auto removed = s.core->remove(id);
    return result_or_raise(removed, [](bool b) { return to_bool(b); });
  });
}

PyObject* mmap_flush(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("MmapFlatIndex.flush", {}, 0);
  return method<MmapFlatIndex>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const*) {
    Status st = without_gil([&] { return s.core->flush(); });
    return none_or_raise(st);
  });
}

Py_ssize_t mmap_len(PyObject* self) {
  Py_ssize_t n = -1;
  PyObject* r = method0<MmapFlatIndex>(self, Borrow::Shared, [&](Self& s) -> PyObject* {
    n = static_cast<Py_ssize_t>(s.core->len());
    Py_RETURN_NONE;
  });
  if (!r) return -1;
  Py_DECREF(r);
  return n;
}

PyObject* mmap_repr(PyObject* self) {
  return method0<MmapFlatIndex>(self, Borrow::Shared, [](Self& s) {
    return index_repr("MmapFlatIndex", s.core->dimensions(), s.core->metric(), s.core->len());
  });
}

PyObject* mmap_get_dimensions(PyObject* self, void*) {
  return method0<MmapFlatIndex>(self, Borrow::Shared, [](Self& s) { return from_u64(s.core->dimensions()); });
}

PyObject* mmap_get_metric(PyObject* self, void*) {
  return method0<MmapFlatIndex>(self, Borrow::Shared,
                                [](Self& s) { return from_text(metric_name(s.core->metric())); });
}

#define KOVRA_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef kMethods[] = {
    {"add", KOVRA_METHOD(mmap_add), METH_VARARGS | METH_KEYWORDS, "add($self, id, vector)\n--\n\n"},
    {"add_batch", KOVRA_METHOD(mmap_add_batch), METH_VARARGS | METH_KEYWORDS, "add_batch($self, entries)\n--\n\n"},
    {"add_batch_np", KOVRA_METHOD(mmap_add_batch_np), METH_VARARGS | METH_KEYWORDS,
     "add_batch_np($self, vectors, start_id=0)\n--\n\n"
     "Add vectors from a 2D numpy array (N \xc3\x97 dim) with sequential IDs starting from `start_id`.\n"
     "This is the fastest way to insert vectors \xe2\x80\x94 no per-element Python extraction."},
    {"search", KOVRA_METHOD(mmap_search), METH_VARARGS | METH_KEYWORDS, "search($self, query, k)\n--\n\n"},
    {"delete", KOVRA_METHOD(mmap_delete), METH_VARARGS | METH_KEYWORDS, "delete($self, id)\n--\n\n"},
    {"flush", KOVRA_METHOD(mmap_flush), METH_VARARGS | METH_KEYWORDS, "flush($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"dimensions", mmap_get_dimensions, nullptr, "", nullptr},
    {"metric", mmap_get_metric, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "Memory-mapped brute-force index. Near-zero RAM usage.\n"
    "Vectors are stored in a flat binary file and memory-mapped by the OS.\n"
    "Pages are loaded on demand. Best when dataset is larger than available RAM.";

}  // namespace

PyTypeObject* ClassTraits<MmapFlatIndex>::make_type() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(mmap_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MmapFlatIndex>)},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kGetSet},
      {Py_tp_repr, reinterpret_cast<void*>(mmap_repr)},
      {Py_sq_length, reinterpret_cast<void*>(mmap_len)},
      {Py_mp_length, reinterpret_cast<void*>(mmap_len)},
      {Py_tp_doc, const_cast<char*>(kDoc)},
      {0, nullptr},
  };
  return make_heap_type<MmapFlatIndex>("kovra_vector_db.MmapFlatIndex", slots);
}

PyTypeObject* mmap_flat_index_type() { return class_type<MmapFlatIndex>(); }

}  // namespace kovra::py

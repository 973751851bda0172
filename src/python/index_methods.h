// The members the index classes share, written once for any core index type:
// add, add_batch, add_batch_np, search, delete, flush, save, load, len, repr
// and the two properties, plus the setter of a tuning knob. A class file supplies its constructor, any members
// of its own, and the method table with its docstrings.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/index/batch_search.h"
#include "python/frame.h"

namespace kovra::py {

// Method-table flags.
inline constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;
inline constexpr int kStaticArgs = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

inline constexpr const char kSearchBatchDoc[] =
    "search_batch($self, queries, k, num_threads=0)\n--\n\n"
    "Search every row of a 2D float32 numpy array (N \xc3\x97 dim) on `num_threads` threads (0 = all cores).\n"
    "Returns a tuple (ids, distances) of arrays of shape (N, k), int64 and float32, each row closest first;\n"
    "rows with fewer than k results are padded with id -1 and distance inf.";

template <class Core>
struct IndexMethods {
  using Self = Object<Core>;

  static PyCFunction fn(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
  }
  static PyCFunction fn(PyObject* (*f)(PyObject*, PyObject*)) { return f; }

  // "Class.method", as binding errors name it; lives as long as the process.
  static const char* qualname(const char* method_name) {
    return (new std::string(std::string(ClassTraits<Core>::name) + "." + method_name))->c_str();
  }

  // Constructor (dimensions, metric="l2") for cores built from just those two.
  static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig(qualname("__new__"), {"dimensions", "metric"}, 1);
    return guarded([&]() -> PyObject* {
      PyObject* argv[2];
      if (!sig.bind(args, kwargs, argv)) return nullptr;
      size_t dimensions;
      Metric metric = Metric::L2;
      if (!to_size(argv[0], "dimensions", &dimensions)) return nullptr;
      if (argv[1] && !to_metric(argv[1], "metric", &metric)) return nullptr;
      return wrap(type, std::make_unique<Core>(dimensions, metric));
    });
  }

  static PyObject* add(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Signature sig(qualname("add"), {"id", "vector"}, 2);
    return method<Core>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
      uint64_t id;
      std::vector<float> vector;
      if (!to_u64(a[0], "id", &id) || !to_vector(a[1], &vector)) return static_cast<PyObject*>(nullptr);
      return none_or_raise(s.core->add(id, vector));
    });
  }

  static PyObject* add_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Signature sig(qualname("add_batch"), {"entries"}, 1);
    return method<Core>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
      std::vector<Entry> entries;
      if (!to_entries(a[0], &entries)) return static_cast<PyObject*>(nullptr);
      return none_or_raise(s.core->add_batch(entries));
    });
  }

  // The interpreter lock is released for the insertion only.
  static PyObject* add_batch_np(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Signature sig(qualname("add_batch_np"), {"vectors", "start_id"}, 1);
    return method<Core>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
      FloatBlock block;
      uint64_t start_id = 0;
      if (!to_block(a[0], &block, /*copy=*/true)) return static_cast<PyObject*>(nullptr);
      if (a[1] && !to_u64(a[1], "start_id", &start_id)) return static_cast<PyObject*>(nullptr);
      // An index that can take over the block's storage gets it moved in.
      Status st = without_gil([&] { return s.core->add_flat_batch(std::move(block.data), block.columns, start_id); });
      return none_or_raise(st);
    });
  }

  // Converts k before the query; the scan runs without the interpreter lock.
  static PyObject* search(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Signature sig(qualname("search"), {"query", "k"}, 2);
    return method<Core>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
      size_t k;
      std::vector<float> query;
      if (!to_size(a[1], "k", &k) || !to_vector(a[0], &query)) return static_cast<PyObject*>(nullptr);
      auto hits = without_gil([&] { return s.core->search(query, k); });
      return result_or_raise(hits, [](std::vector<Hit>& h) { return hits_to_list(h); });
    });
  }

  // Every query row searched as by search(); the arrays are made first and
  // filled in place while the interpreter lock is released.
  static PyObject* search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Signature sig(qualname("search_batch"), {"queries", "k", "num_threads"}, 2);
    return method<Core>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
      FloatBlock block;
      size_t k;
      size_t num_threads = 0;
      if (!to_block(a[0], &block) || !to_size(a[1], "k", &k)) return static_cast<PyObject*>(nullptr);
      if (a[2] && !to_size(a[2], "num_threads", &num_threads)) return static_cast<PyObject*>(nullptr);
      // A block of the wrong width is refused exactly as search refuses such
      // a query, even when it has no rows.
      if (block.columns != s.core->dimensions()) {
        std::vector<float> probe(block.columns);
        auto refused = s.core->search(probe, k);
        if (!refused) return raise(refused.error());
      }
      BatchArrays arrays;
      if (!arrays.create(block.rows, k)) return static_cast<PyObject*>(nullptr);
      const QueryBlock queries{block.values, block.rows, block.columns};
      const BatchOutput out{arrays.ids(), arrays.distances(), k};
      Status st = without_gil([&]() -> Status {
        if constexpr (requires { s.core->search_batch(queries, num_threads, out); })
          return s.core->search_batch(queries, num_threads, out);
        else
          return search_batch_rows(*s.core, queries, num_threads, out);
      });
      if (!st) return raise(st.error());
      return arrays.take();
    });
  }

  static PyObject* remove(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Signature sig(qualname("delete"), {"id"}, 1);
    return method<Core>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
      uint64_t id;
      if (!to_u64(a[0], "id", &id)) return static_cast<PyObject*>(nullptr);
      auto removed = s.core->remove(id);
      return result_or_raise(removed, [](bool b) { return to_bool(b); });
    });
  }

  // METH_NOARGS; the core work runs without the interpreter lock.
  static PyObject* flush(PyObject* self, PyObject*) {
    return method0<Core>(self, Borrow::Exclusive, [](Self& s) {
      Status st = without_gil([&] { return s.core->flush(); });
      return none_or_raise(st);
    });
  }

  static PyObject* save(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Signature sig(qualname("save"), {"path"}, 1);
    return method<Core>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
      std::string path;
      if (!to_text(a[0], "path", &path)) return static_cast<PyObject*>(nullptr);
      return none_or_raise(s.core->save(path));
    });
  }

  // Static method: a new object of the class around the loaded index.
  static PyObject* load(PyObject*, PyObject* args, PyObject* kwargs) {
    static const Signature sig(qualname("load"), {"path"}, 1);
    return guarded([&]() -> PyObject* {
      PyObject* argv[1];
      if (!sig.bind(args, kwargs, argv)) return nullptr;
      std::string path;
      if (!to_text(argv[0], "path", &path)) return nullptr;
      auto loaded = Core::load(path);
      if (!loaded) return raise(loaded.error());
      return wrap(std::make_unique<Core>(std::move(*loaded)));
    });
  }

  static Py_ssize_t len(PyObject* self) {
    Py_ssize_t n = -1;
    PyObject* r = method0<Core>(self, Borrow::Shared, [&](Self& s) -> PyObject* {
      n = static_cast<Py_ssize_t>(s.core->len());
      Py_RETURN_NONE;
    });
    if (!r) return -1;
    Py_DECREF(r);
    return n;
  }

  static PyObject* repr(PyObject* self) {
    return method0<Core>(self, Borrow::Shared, [](Self& s) {
      return index_repr(ClassTraits<Core>::name, s.core->dimensions(), s.core->metric(), s.core->len());
    });
  }

  static PyObject* get_dimensions(PyObject* self, void*) {
    return method0<Core>(self, Borrow::Shared, [](Self& s) { return from_u64(s.core->dimensions()); });
  }

  static PyObject* get_metric(PyObject* self, void*) {
    return method0<Core>(self, Borrow::Shared,
                         [](Self& s) { return from_text(metric_name(s.core->metric())); });
  }

  // The method table of the classes whose docstrings are their signatures
  // only (add_batch_np adds one line); flush is listed only when asked for.
  static PyMethodDef* signature_only_methods(bool with_flush) {
    static PyMethodDef all[] = {
        {"add", fn(add), kArgs, "add($self, id, vector)\n--\n\n"},
        {"add_batch", fn(add_batch), kArgs, "add_batch($self, entries)\n--\n\n"},
        {"add_batch_np", fn(add_batch_np), kArgs,
         "add_batch_np($self, vectors, start_id=0)\n--\n\n"
         "Add vectors from a 2D numpy array (N \xc3\x97 dim) with sequential IDs starting from `start_id`."},
        {"search", fn(search), kArgs, "search($self, query, k)\n--\n\n"},
        {"search_batch", fn(search_batch), kArgs, kSearchBatchDoc},
        {"delete", fn(remove), kArgs, "delete($self, id)\n--\n\n"},
        {"flush", fn(flush), METH_NOARGS, "flush($self)\n--\n\n"},
        {"save", fn(save), kArgs, "save($self, path)\n--\n\n"},
        {"load", fn(load), kStaticArgs, "load(path)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    if (with_flush) return all;
    static std::vector<PyMethodDef> without_flush = [] {
      std::vector<PyMethodDef> v;
      for (PyMethodDef* m = all; m->ml_name; ++m)
        if (std::string_view(m->ml_name) != "flush") v.push_back(*m);
      v.push_back({nullptr, nullptr, 0, nullptr});
      return v;
    }();
    return without_flush.data();
  }

  // The `set` slot of a tuning knob: converts `value` with to_knob and hands
  // it to `apply(Core&, uint64_t) -> Status` under an exclusive borrow, since
  // the next search reads it. Deletion is refused, as for a read-only attribute.
  template <class Apply>
  static int set_knob(PyObject* self, PyObject* value, const char* name, Apply apply) {
    if (!value) {
      PyErr_Format(PyExc_AttributeError, "can't delete attribute '%s'", name);
      return -1;
    }
    PyObject* r = method0<Core>(self, Borrow::Exclusive, [&](Self& s) -> PyObject* {
      uint64_t v;
      if (!to_knob(value, name, &v)) return nullptr;
      return none_or_raise(apply(*s.core, v));
    });
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
  }

  // The two read-only properties with the given docstrings (null: none),
  // followed by `extra` when the class has a property of its own.
  static PyGetSetDef* properties(const char* dimensions_doc, const char* metric_doc,
                                 PyGetSetDef extra = {nullptr, nullptr, nullptr, nullptr, nullptr}) {
    static PyGetSetDef getset[] = {
        {"dimensions", get_dimensions, nullptr, dimensions_doc, nullptr},
        {"metric", get_metric, nullptr, metric_doc, nullptr},
        extra,
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return getset;
  }

  // The heap type: `tp_new` is the class's constructor, `doc` its docstring
  // (with the text signature first when the class has one).
  static PyTypeObject* make_type(const char* qualified_name, newfunc tp_new, PyMethodDef* methods,
                                 PyGetSetDef* getset, const char* doc) {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Core>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_sq_length, reinterpret_cast<void*>(len)},
        {Py_mp_length, reinterpret_cast<void*>(len)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    return make_heap_type<Core>(qualified_name, slots);
  }
};

}  // namespace kovra::py

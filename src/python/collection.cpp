// Python class Collection: a handle on one named collection of a client.
#include <string>
#include <vector>

#include "core/collection/filter.h"
#include "core/collection/snapshot.h"
#include "python/classes.h"
#include "python/database.h"
#include "python/index_methods.h"
#include "python/payload_convert.h"
#include "python/sparse_convert.h"

namespace kovra::py {

template <>
struct ClassTraits<CollectionCore> {
  static constexpr const char* name = "Collection";
  static PyTypeObject* make_type();
};

namespace {

using Self = Object<CollectionCore>;
using M = IndexMethods<CollectionCore>;

const char kEntryShape[] = "each entry must be a tuple of (id, vector) or (id, vector, payload)";

// `payload`: None means none; anything else through the payload conversion.
// `name` is the argument a TypeError names, if any.
bool to_payload(PyObject* obj, std::optional<JsonValue>* out, const char* name = nullptr) {
  out->reset();
  if (!obj || obj == Py_None) return true;
  JsonValue value;
  if (!to_json(obj, &value)) {
    if (name) wrap_argument_error(name);
    return false;
  }
  *out = std::move(value);
  return true;
}

// Computes the record's log texts and refuses one the log could not replay.
bool prepare_item(UpsertItem& item) {
  item.prepare();
  if (auto message = oversized_record_message(item.record_size())) {
    PyErr_SetString(PyExc_ValueError, message->c_str());
    return false;
  }
  return true;
}

// `filter`: None means none; otherwise converted and parsed before any lock.
bool to_filter(PyObject* obj, std::optional<FilterCondition>* out) {
  out->reset();
  if (!obj || obj == Py_None) return true;
  JsonValue value;
  if (!to_json(obj, &value)) {
    wrap_argument_error("filter");
    return false;
  }
  auto parsed = parse_filter(value);
  if (!parsed) {
    PyErr_SetString(PyExc_ValueError, ("invalid filter: " + parsed.error()).c_str());
    return false;
  }
  *out = std::move(*parsed);
  return true;
}

bool to_upsert_entries(PyObject* obj, std::vector<UpsertItem>* out) {
  if (!PyList_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'entries': '%s' object cannot be converted to 'PyList'",
                 type_name(obj).c_str());
    return false;
  }
  const Py_ssize_t initial = PyList_Size(obj);
  std::vector<UpsertItem> items;
  items.reserve(static_cast<size_t>(initial));
  // Converting may run code that shrinks or grows the list.
  for (Py_ssize_t i = 0; i < initial && i < PyList_Size(obj); ++i) {
    PyObject* entry = PyList_GetItem(obj, i);
    if (!entry) return false;
    PyRef hold = PyRef::borrow(entry);
    Py_ssize_t n = PyTuple_Check(entry) ? PyTuple_Size(entry) : -1;
    if (n != 2 && n != 3) {
      PyErr_SetString(PyExc_ValueError, kEntryShape);
      return false;
    }
    UpsertItem item;
    if (!u64_value(PyTuple_GetItem(entry, 0), &item.id)) return false;
    if (!to_vector(PyTuple_GetItem(entry, 1), &item.vector)) return false;
    if (n == 3 && !to_payload(PyTuple_GetItem(entry, 2), &item.payload)) return false;
    if (!prepare_item(item)) return false;
    items.push_back(std::move(item));
  }
  *out = std::move(items);
  return true;
}

// The result keys, made once and kept for the life of the process.
struct HitKeys {
  PyObject* id = PyUnicode_InternFromString("id");
  PyObject* distance = PyUnicode_InternFromString("distance");
  PyObject* payload = PyUnicode_InternFromString("payload");
  bool ok() const { return id && distance && payload; }
};

PyObject* hits_with_payloads(const std::vector<CollectionHit>& hits) {
  static const HitKeys keys;
  if (!keys.ok()) return PyErr_NoMemory();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyRef id = PyRef::steal(from_u64(hits[i].id));
    PyRef distance = PyRef::steal(PyFloat_FromDouble(static_cast<double>(hits[i].distance)));
    if (!id || !distance || PyDict_SetItem(dict.get(), keys.id, id.get()) < 0 ||
        PyDict_SetItem(dict.get(), keys.distance, distance.get()) < 0)
      return nullptr;
    if (hits[i].payload) {
      PyRef payload = PyRef::steal(from_json(*hits[i].payload));
      if (!payload || PyDict_SetItem(dict.get(), keys.payload, payload.get()) < 0) return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict.release());  // steals
  }
  return list.release();
}

template <class R>
PyObject* status_result(const std::optional<R>& r, const std::string& name) {
  if (!r) return raise_collection_not_found(name);
  return none_or_raise(*r);
}

PyObject* upsert(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.upsert", {"id", "vector", "payload"}, 2);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    UpsertItem item;
    if (!to_u64(a[0], "id", &item.id) || !to_vector(a[1], &item.vector) || !to_payload(a[2], &item.payload, "payload") ||
        !prepare_item(item))
      return static_cast<PyObject*>(nullptr);
    auto r = with_collection_write(*s.core, [&](Collection& c) { return c.upsert(std::move(item)); });
    return status_result(r, s.core->name);
  });
}

PyObject* upsert_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.upsert_batch", {"entries"}, 1);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::vector<UpsertItem> items;
    if (!to_upsert_entries(a[0], &items)) return static_cast<PyObject*>(nullptr);
    auto r = with_collection_write(*s.core, [&](Collection& c) { return c.upsert_batch(std::move(items)); });
    return status_result(r, s.core->name);
  });
}

PyObject* search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.search", {"query", "k", "filter"}, 2);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    std::vector<float> query;
    size_t k;
    std::optional<FilterCondition> filter;
    if (!to_vector(a[0], &query) || !to_size(a[1], "k", &k) || !to_filter(a[2], &filter))
      return static_cast<PyObject*>(nullptr);
    auto r = with_collection_read(*s.core, [&](const Collection& c) {
      return c.search(query, k, filter ? &*filter : nullptr);
    });
    if (!r) return raise_collection_not_found(s.core->name);
    return result_or_raise(*r, [](std::vector<CollectionHit>& hits) { return hits_with_payloads(hits); });
  });
}

// A Python float (or anything float() takes), narrowed to 32 bits.
bool to_f32(PyObject* obj, const char* name, float* out) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    wrap_argument_error(name);
    return false;
  }
  *out = static_cast<float>(v);
  return true;
}

PyObject* upsert_hybrid(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.upsert_hybrid", {"id", "vector", "sparse_vector", "payload"}, 2);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    UpsertItem item;
    if (!to_u64(a[0], "id", &item.id) || !to_vector(a[1], &item.vector)) return static_cast<PyObject*>(nullptr);
    if (a[2] && a[2] != Py_None) {
      SparseVector sv;
      if (!to_sparse(a[2], "sparse_vector", &sv)) return static_cast<PyObject*>(nullptr);
      item.sparse = std::move(sv);
    }
    if (!to_payload(a[3], &item.payload, "payload") || !prepare_item(item)) return static_cast<PyObject*>(nullptr);
    auto r = with_collection_write(*s.core, [&](Collection& c) { return c.upsert(std::move(item)); });
    return status_result(r, s.core->name);
  });
}

// {"id", "vector", "payload"} of one stored record; "vector" is None when
// it was not read.
PyObject* record_dict(const CollectionRecord& r, bool with_vector) {
  static PyObject* const keys[] = {PyUnicode_InternFromString("id"), PyUnicode_InternFromString("vector"),
                                   PyUnicode_InternFromString("payload")};
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyRef fields[] = {
      PyRef::steal(from_u64(r.id)),
      with_vector ? PyRef::steal(float32_array(r.vector)) : PyRef::borrow(Py_None),
      r.payload ? PyRef::steal(from_json(*r.payload)) : PyRef::borrow(Py_None),
  };
  for (size_t f = 0; f < 3; ++f) {
    if (!keys[f] || !fields[f] || PyDict_SetItem(dict.get(), keys[f], fields[f].get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* get(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.get", {"id"}, 1);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    uint64_t id;
    if (!to_u64(a[0], "id", &id)) return static_cast<PyObject*>(nullptr);
    auto r = with_collection_read(*s.core, [&](const Collection& c) {
      return c.get_batch(std::span<const VectorId>(&id, 1), true);
    });
    if (!r) return raise_collection_not_found(s.core->name);
    if (!(*r)[0]) Py_RETURN_NONE;
    return record_dict(*(*r)[0], true);
  });
}

PyObject* get_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.get_batch", {"ids", "with_vectors"}, 1);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    std::vector<uint64_t> ids;
    bool with_vectors = true;
    if (!to_ids(a[0], "ids", &ids)) return static_cast<PyObject*>(nullptr);
    if (a[1]) {
      int truth = PyObject_IsTrue(a[1]);
      if (truth < 0) return static_cast<PyObject*>(nullptr);
      with_vectors = truth != 0;
    }
    auto r = with_collection_read(*s.core, [&](const Collection& c) { return c.get_batch(ids, with_vectors); });
    if (!r) return raise_collection_not_found(s.core->name);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(r->size())));
    if (!list) return static_cast<PyObject*>(nullptr);
    for (size_t i = 0; i < r->size(); ++i) {
      PyObject* item;
      if ((*r)[i]) {
        item = record_dict(*(*r)[i], with_vectors);
        if (!item) return static_cast<PyObject*>(nullptr);
      } else {
        Py_INCREF(Py_None);
        item = Py_None;
      }
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
  });
}

PyObject* ids(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.ids", {"filter"}, 0);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    std::optional<FilterCondition> filter;
    if (!to_filter(a[0], &filter)) return static_cast<PyObject*>(nullptr);
    auto r = with_collection_read(*s.core, [&](const Collection& c) { return c.ids(filter ? &*filter : nullptr); });
    if (!r) return raise_collection_not_found(s.core->name);
    return uint64_array(*r);
  });
}

PyObject* count_where(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.count_where", {"filter"}, 1);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    std::optional<FilterCondition> filter;
    if (!to_filter(a[0], &filter)) return static_cast<PyObject*>(nullptr);
    auto r = with_collection_read(*s.core, [&](const Collection& c) {
      return filter ? c.count_where(*filter) : c.count();
    });
    if (!r) return raise_collection_not_found(s.core->name);
    return PyLong_FromSize_t(*r);
  });
}

PyObject* delete_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.delete_batch", {"ids"}, 1);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::vector<uint64_t> ids;
    if (!to_ids(a[0], "ids", &ids)) return static_cast<PyObject*>(nullptr);
    auto r = with_collection_write(*s.core, [&](Collection& c) { return c.delete_batch(ids); });
    if (!r) return raise_collection_not_found(s.core->name);
    return result_or_raise(*r, [](size_t n) { return PyLong_FromSize_t(n); });
  });
}

PyObject* delete_where(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.delete_where", {"filter"}, 1);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::optional<FilterCondition> filter;
    if (!to_filter(a[0], &filter)) return static_cast<PyObject*>(nullptr);
    if (!filter) {
      PyErr_SetString(PyExc_TypeError, "argument 'filter': a filter is required (to delete every vector, "
                                       "use {\"$and\": []})");
      return static_cast<PyObject*>(nullptr);
    }
    auto r = with_collection_write(*s.core, [&](Collection& c) { return c.delete_where(*filter); });
    if (!r) return raise_collection_not_found(s.core->name);
    return result_or_raise(*r, [](size_t n) { return PyLong_FromSize_t(n); });
  });
}

PyObject* set_payload(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.set_payload", {"id", "payload"}, 2);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    uint64_t id;
    std::optional<JsonValue> payload;
    if (!to_u64(a[0], "id", &id) || !to_payload(a[1], &payload, "payload")) return static_cast<PyObject*>(nullptr);
    auto r = with_collection_write(*s.core, [&](Collection& c) { return c.set_payload(id, std::move(payload)); });
    if (!r) return raise_collection_not_found(s.core->name);
    if (!*r) return raise(r->error());
    if (!**r) return raise(Error::not_found(id));
    Py_RETURN_NONE;
  });
}

PyObject* upsert_batch_np(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.upsert_batch_np", {"ids", "vectors", "payloads"}, 2);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::vector<uint64_t> ids;
    FloatBlock block;
    if (!to_ids(a[0], "ids", &ids) || !to_block(a[1], &block)) return static_cast<PyObject*>(nullptr);
    if (ids.size() != block.rows) {
      PyErr_Format(PyExc_ValueError, "ids and vectors must have the same number of rows, got %zu and %zu",
                   ids.size(), block.rows);
      return static_cast<PyObject*>(nullptr);
    }
    PyObject* payloads = a[2] && a[2] != Py_None ? a[2] : nullptr;
    if (payloads) {
      if (!PyList_Check(payloads)) {
        PyErr_Format(PyExc_TypeError, "argument 'payloads': '%s' object is not a list", type_name(payloads).c_str());
        return static_cast<PyObject*>(nullptr);
      }
      if (static_cast<size_t>(PyList_Size(payloads)) != ids.size()) {
        PyErr_Format(PyExc_ValueError, "payloads must have one entry per row, got %zd for %zu rows",
                     PyList_Size(payloads), ids.size());
        return static_cast<PyObject*>(nullptr);
      }
    }
    std::vector<UpsertItem> items(ids.size());
    for (size_t r = 0; r < ids.size(); ++r) {
      UpsertItem& item = items[r];
      item.id = ids[r];
      const float* row = block.values.data() + r * block.columns;
      item.borrowed = std::span<const float>(row, block.columns);
      if (payloads && !to_payload(PyList_GetItem(payloads, static_cast<Py_ssize_t>(r)), &item.payload, "payloads"))
        return static_cast<PyObject*>(nullptr);
      if (!prepare_item(item)) return static_cast<PyObject*>(nullptr);
    }
    auto r = with_collection_write(*s.core, [&](Collection& c) { return c.upsert_batch(std::move(items)); });
    return status_result(r, s.core->name);
  });
}

PyObject* search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.search_batch", {"queries", "k", "filter", "num_threads"}, 2);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    FloatBlock block;
    size_t k;
    size_t num_threads = 0;
    std::optional<FilterCondition> filter;
    if (!to_block(a[0], &block) || !to_size(a[1], "k", &k) || !to_filter(a[2], &filter))
      return static_cast<PyObject*>(nullptr);
    if (a[3] && !to_size(a[3], "num_threads", &num_threads)) return static_cast<PyObject*>(nullptr);
    BatchArrays arrays;
    if (!arrays.create(block.rows, k)) return static_cast<PyObject*>(nullptr);
    const QueryBlock queries{block.values, block.rows, block.columns};
    const BatchOutput out{arrays.ids(), arrays.distances(), k};
    auto r = with_collection_read(*s.core, [&](const Collection& c) -> Status {
      // A block of the wrong width is refused as search refuses such a
      // query, even when it has no rows.
      if (block.columns != c.meta().dimensions) {
        std::vector<float> probe(block.columns);
        KOVRA_TRY(c.search(probe, k == 0 && filter ? 1 : k, filter ? &*filter : nullptr));
      }
      return c.search_batch(queries, filter ? &*filter : nullptr, num_threads, out);
    });
    if (!r) return raise_collection_not_found(s.core->name);
    if (!*r) return raise(r->error());
    return arrays.take();
  });
}

PyObject* hybrid_hits(const std::vector<HybridHit>& hits) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    const HybridHit& h = hits[i];
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyRef fields[] = {
        PyRef::steal(from_u64(h.id)),
        PyRef::steal(PyFloat_FromDouble(static_cast<double>(h.score))),
        PyRef::steal(PyFloat_FromDouble(static_cast<double>(h.dense_distance))),
        PyRef::steal(PyFloat_FromDouble(static_cast<double>(h.sparse_score))),
        h.payload ? PyRef::steal(from_json(*h.payload)) : PyRef::borrow(Py_None),
    };
    static const char* const kKeys[] = {"id", "score", "dense_distance", "sparse_score", "payload"};
    for (size_t f = 0; f < 5; ++f) {
      if (!fields[f] || PyDict_SetItemString(dict.get(), kKeys[f], fields[f].get()) < 0) return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict.release());  // steals
  }
  return list.release();
}

PyObject* search_hybrid(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.search_hybrid",
                             {"dense_query", "sparse_query", "k", "dense_weight", "sparse_weight", "filter"}, 3);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    std::vector<float> query;
    SparseVector sparse;
    size_t k;
    float dense_weight = 0.7f;
    float sparse_weight = 0.3f;
    std::optional<FilterCondition> filter;
    if (!to_vector(a[0], &query) || !to_sparse(a[1], "sparse_query", &sparse) || !to_size(a[2], "k", &k) ||
        (a[3] && !to_f32(a[3], "dense_weight", &dense_weight)) ||
        (a[4] && !to_f32(a[4], "sparse_weight", &sparse_weight)) || !to_filter(a[5], &filter))
      return static_cast<PyObject*>(nullptr);
    auto r = with_collection_read(*s.core, [&](const Collection& c) {
      return c.search_hybrid(query, sparse, k, dense_weight, sparse_weight, filter ? &*filter : nullptr);
    });
    if (!r) return raise_collection_not_found(s.core->name);
    return result_or_raise(*r, [](std::vector<HybridHit>& hits) { return hybrid_hits(hits); });
  });
}

PyObject* search_hybrid_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.search_hybrid_batch",
                             {"dense_queries", "sparse_queries", "k", "dense_weight", "sparse_weight", "filter"}, 3);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    FloatBlock block;
    size_t k;
    float dense_weight = 0.7f;
    float sparse_weight = 0.3f;
    std::optional<FilterCondition> filter;
    if (!to_block(a[0], &block)) return static_cast<PyObject*>(nullptr);
    if (!PyList_Check(a[1])) {
      PyErr_Format(PyExc_TypeError, "argument 'sparse_queries': '%s' object is not a list", type_name(a[1]).c_str());
      return static_cast<PyObject*>(nullptr);
    }
    const Py_ssize_t n = PyList_Size(a[1]);
    if (static_cast<size_t>(n) != block.rows) {
      PyErr_Format(PyExc_ValueError, "sparse_queries must have one dict per row, got %zd for %zu rows", n,
                   block.rows);
      return static_cast<PyObject*>(nullptr);
    }
    std::vector<SparseVector> sparse(block.rows);
    for (size_t i = 0; i < block.rows; ++i) {
      // Converting may run code that shrinks the list: a missing item raises.
      PyRef item = PyRef::borrow(PyList_GetItem(a[1], static_cast<Py_ssize_t>(i)));
      if (!item || !to_sparse(item.get(), "sparse_queries", &sparse[i])) return static_cast<PyObject*>(nullptr);
    }
    if (!to_size(a[2], "k", &k) || (a[3] && !to_f32(a[3], "dense_weight", &dense_weight)) ||
        (a[4] && !to_f32(a[4], "sparse_weight", &sparse_weight)) || !to_filter(a[5], &filter))
      return static_cast<PyObject*>(nullptr);
    const QueryBlock queries{block.values, block.rows, block.columns};
    std::vector<std::vector<HybridHit>> results;
    auto r = with_collection_read(*s.core, [&](const Collection& c) {
      return c.search_hybrid_batch(queries, sparse, k, dense_weight, sparse_weight, filter ? &*filter : nullptr, 0,
                                   results);
    });
    if (!r) return raise_collection_not_found(s.core->name);
    if (!*r) return raise(r->error());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return static_cast<PyObject*>(nullptr);
    for (size_t i = 0; i < results.size(); ++i) {
      PyObject* row = hybrid_hits(results[i]);
      if (!row) return static_cast<PyObject*>(nullptr);
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row);  // steals
    }
    return list.release();
  });
}

PyObject* remove(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.delete", {"id"}, 1);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    uint64_t id;
    if (!to_u64(a[0], "id", &id)) return static_cast<PyObject*>(nullptr);
    auto r = with_collection_write(*s.core, [&](Collection& c) { return c.remove(id); });
    if (!r) return raise_collection_not_found(s.core->name);
    return result_or_raise(*r, [](bool found) { return to_bool(found); });
  });
}

// Both counts read 0 once the collection is gone.
size_t read_count(const CollectionCore& c, bool sparse) {
  auto n = with_collection_read(c, [&](const Collection& col) { return sparse ? col.sparse_count() : col.count(); });
  return n.value_or(0);
}

PyObject* get_count(PyObject* self, void*) {
  return method0<CollectionCore>(self, Borrow::Shared, [](Self& s) { return from_u64(read_count(*s.core, false)); });
}

PyObject* get_sparse_count(PyObject* self, void*) {
  return method0<CollectionCore>(self, Borrow::Shared, [](Self& s) { return from_u64(read_count(*s.core, true)); });
}

PyObject* get_name(PyObject* self, void*) {
  return method0<CollectionCore>(self, Borrow::Shared, [](Self& s) { return from_text(s.core->name); });
}

PyObject* repr(PyObject* self) {
  return method0<CollectionCore>(self, Borrow::Shared, [](Self& s) {
    return from_text("Collection(name=\"" + s.core->name + "\", count=" +
                     std::to_string(read_count(*s.core, false)) + ")");
  });
}

// Snapshot methods keep the interpreter lock while they wait for the client
// lock: whoever holds the client lock never needs the interpreter lock.

PyObject* snapshot_dict(const SnapshotMeta& m) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyRef fields[] = {PyRef::steal(from_text(m.name)), PyRef::steal(from_u64(m.created_at)),
                    PyRef::steal(from_u64(m.vector_count)), PyRef::steal(from_u64(m.sparse_count))};
  static const char* const kKeys[] = {"name", "created_at", "vector_count", "sparse_count"};
  for (size_t f = 0; f < 4; ++f) {
    if (!fields[f] || PyDict_SetItemString(dict.get(), kKeys[f], fields[f].get()) < 0) return nullptr;
  }
  return dict.release();
}

// Runs `fn(ClientState&, Collection&)` under the write lock; KeyError when
// the collection is gone.
template <class Fn>
auto snapshot_write(const CollectionCore& c, Fn&& fn) {
  using R = decltype(fn(std::declval<ClientState&>(), std::declval<Collection&>()));
  return c.state->write([&](ClientState& state) -> std::optional<R> {
    Collection* col = state.find(c.name);
    if (!col) return std::nullopt;
    return fn(state, *col);
  });
}

PyObject* create_snapshot(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.create_snapshot", {"name"}, 1);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::string name;
    if (!to_text(a[0], "name", &name)) return static_cast<PyObject*>(nullptr);
    auto r = snapshot_write(*s.core, [&](ClientState&, Collection& c) { return kovra::create_snapshot(c, name); });
    if (!r) return raise_collection_not_found(s.core->name);
    return result_or_raise(*r, [](SnapshotMeta& m) { return snapshot_dict(m); });
  });
}

PyObject* list_snapshots(PyObject* self, PyObject*) {
  return method0<CollectionCore>(self, Borrow::Shared, [](Self& s) -> PyObject* {
    auto r = s.core->state->read([&](const ClientState& state) -> std::optional<Result<std::vector<SnapshotMeta>>> {
      const Collection* col = state.find(s.core->name);
      if (!col) return std::nullopt;
      return kovra::list_snapshots(col->dir());
    });
    if (!r) return raise_collection_not_found(s.core->name);
    return result_or_raise(*r, [](std::vector<SnapshotMeta>& metas) -> PyObject* {
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(metas.size())));
      if (!list) return nullptr;
      for (size_t i = 0; i < metas.size(); ++i) {
        PyObject* dict = snapshot_dict(metas[i]);
        if (!dict) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict);  // steals
      }
      return list.release();
    });
  });
}

PyObject* restore_snapshot(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.restore_snapshot", {"name"}, 1);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::string name;
    if (!to_text(a[0], "name", &name)) return static_cast<PyObject*>(nullptr);
    auto r = snapshot_write(*s.core, [&](ClientState& state, Collection&) {
      return state.restore_snapshot(s.core->name, name);
    });
    return status_result(r, s.core->name);
  });
}

PyObject* delete_snapshot(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Collection.delete_snapshot", {"name"}, 1);
  return method<CollectionCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::string name;
    if (!to_text(a[0], "name", &name)) return static_cast<PyObject*>(nullptr);
    auto r = snapshot_write(*s.core, [&](ClientState&, Collection& c) { return kovra::delete_snapshot(c.dir(), name); });
    return status_result(r, s.core->name);
  });
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Collection");
  return nullptr;
}

PyMethodDef kMethods[] = {
    {"upsert", M::fn(upsert), kArgs,
     "upsert($self, id, vector, payload=None)\n--\n\n"
     "Insert or update a vector by ID with optional metadata payload."},
    {"upsert_batch", M::fn(upsert_batch), kArgs,
     "upsert_batch($self, entries)\n--\n\n"
     "Batch insert or update multiple vectors at once. More efficient than\n"
     "calling upsert in a loop.\n"
     "\n"
     "Args:\n"
     "    entries: List of (id, vector) tuples or (id, vector, payload) tuples."},
    {"search", M::fn(search), kArgs,
     "search($self, query, k, filter=None)\n--\n\n"
     "Search for the k nearest vectors. Returns list of {\"id\", \"distance\", \"payload\"}.\n"
     "\n"
     "Supports optional payload filtering with operators: $eq, $ne, $in, $gt, $gte, $lt, $lte, $and, $or."},
    {"upsert_hybrid", M::fn(upsert_hybrid), kArgs,
     "upsert_hybrid($self, id, vector, sparse_vector=None, payload=None)\n--\n\n"
     "Upsert with an optional sparse vector for hybrid search.\n"
     "\n"
     "Args:\n"
     "    id: Vector ID.\n"
     "    vector: Dense vector.\n"
     "    sparse_vector: Optional dict `{dimension_index: weight}` for sparse search.\n"
     "    payload: Optional metadata dict."},
    {"search_hybrid", M::fn(search_hybrid), kArgs,
     "search_hybrid($self, dense_query, sparse_query, k, dense_weight=0.7, sparse_weight=0.3, filter=None)\n--\n\n"
     "Hybrid dense+sparse search with weighted score fusion.\n"
     "\n"
     "Args:\n"
     "    dense_query: Dense query vector.\n"
     "    sparse_query: Sparse query dict `{dimension_index: weight}`.\n"
     "    k: Number of results.\n"
     "    dense_weight: Weight for dense similarity (default 0.7).\n"
     "    sparse_weight: Weight for sparse similarity (default 0.3).\n"
     "    filter: Optional payload filter dict.\n"
     "\n"
     "Returns:\n"
     "    List of dicts with keys: id, score, dense_distance, sparse_score, payload."},
    {"delete", M::fn(remove), kArgs,
     "delete($self, id)\n--\n\nDelete a vector by ID. Returns True if found and removed."},
    {"create_snapshot", M::fn(create_snapshot), kArgs,
     "create_snapshot($self, name)\n--\n\nCreate a named snapshot of this collection's current state."},
    {"list_snapshots", M::fn(list_snapshots), METH_NOARGS,
     "list_snapshots($self)\n--\n\nList all snapshots for this collection, sorted by creation time."},
    {"restore_snapshot", M::fn(restore_snapshot), kArgs,
     "restore_snapshot($self, name)\n--\n\nRestore this collection to the state captured by snapshot `name`."},
    {"delete_snapshot", M::fn(delete_snapshot), kArgs,
     "delete_snapshot($self, name)\n--\n\nDelete a snapshot by name."},
    {"get", M::fn(get), kArgs,
     "get($self, id)\n--\n\n"
     "The stored vector of `id` and its payload, as a dict {\"id\", \"vector\", \"payload\"}, or None\n"
     "when the collection does not hold `id`. \"vector\" is a float32 numpy array as stored: the\n"
     "decoded vector for the compressed index types (int8, fp16, 1-bit, IVF-PQ); \"payload\" is None\n"
     "when the vector has none."},
    {"get_batch", M::fn(get_batch), kArgs,
     "get_batch($self, ids, with_vectors=True)\n--\n\n"
     "get() for many ids at once: a list aligned with `ids` (a sequence or 1-D integer numpy array),\n"
     "None for an id the collection does not hold. With with_vectors=False, \"vector\" is None and\n"
     "no vector is read."},
    {"ids", M::fn(ids), kArgs,
     "ids($self, filter=None)\n--\n\n"
     "The ids of the stored vectors as a sorted uint64 numpy array: all of them, or those whose\n"
     "payload matches `filter`."},
    {"count_where", M::fn(count_where), kArgs,
     "count_where($self, filter)\n--\n\n"
     "The number of stored vectors whose payload matches `filter`, without listing them."},
    {"delete_batch", M::fn(delete_batch), kArgs,
     "delete_batch($self, ids)\n--\n\n"
     "Delete many vectors in one logged write. Returns the number deleted (ids not stored are skipped).\n"
     "A process killed during the call leaves the whole batch deleted or none of it."},
    {"delete_where", M::fn(delete_where), kArgs,
     "delete_where($self, filter)\n--\n\n"
     "Delete every vector whose payload matches `filter`, in one logged write. Returns the number deleted."},
    {"set_payload", M::fn(set_payload), kArgs,
     "set_payload($self, id, payload)\n--\n\n"
     "Replace the payload of a stored vector without sending the vector again; None removes it.\n"
     "Raises KeyError when the collection does not hold `id`."},
    {"upsert_batch_np", M::fn(upsert_batch_np), kArgs,
     "upsert_batch_np($self, ids, vectors, payloads=None)\n--\n\n"
     "upsert_batch() from numpy: `ids` a 1-D integer array, `vectors` a 2-D float32 array with one\n"
     "row per id, `payloads` None or a list with one payload (or None) per row."},
    {"search_batch", M::fn(search_batch), kArgs,
     "search_batch($self, queries, k, filter=None, num_threads=0)\n--\n\n"
     "Search every row of a 2D float32 numpy array (N \xc3\x97 dim) on `num_threads` threads (0 = all cores),\n"
     "each row as search() answers it, with the same optional filter. Returns a tuple (ids, distances)\n"
     "of arrays of shape (N, k), int64 and float32, each row closest first; rows with fewer than k\n"
     "results are padded with id -1 and distance inf. Payloads come from get_batch()."},
    {"search_hybrid_batch", M::fn(search_hybrid_batch), kArgs,
     "search_hybrid_batch($self, dense_queries, sparse_queries, k, dense_weight=0.7, sparse_weight=0.3, "
     "filter=None)\n--\n\n"
     "search_hybrid() for many queries at once, on all cores.\n"
     "\n"
     "Args:\n"
     "    dense_queries: 2D float32 numpy array (N \xc3\x97 dim), one dense query per row.\n"
     "    sparse_queries: List of N sparse query dicts `{dimension_index: weight}`.\n"
     "    k: Number of results per query.\n"
     "    dense_weight: Weight for dense similarity (default 0.7).\n"
     "    sparse_weight: Weight for sparse similarity (default 0.3).\n"
     "    filter: Optional payload filter dict, applied to every query.\n"
     "\n"
     "Returns:\n"
     "    A list of N result lists, each as search_hybrid() returns it for that query."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"count", get_count, nullptr, nullptr, nullptr},
    {"sparse_count", get_sparse_count, nullptr, nullptr, nullptr},
    {"name", get_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "A named collection of vectors with WAL-backed persistence.\n"
    "\n"
    "Obtained via Client.create_collection() or Client.get_collection().\n"
    "Supports upsert, search, delete, hybrid search, and payload filtering.";

}  // namespace

PyTypeObject* ClassTraits<CollectionCore>::make_type() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<CollectionCore>)},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kProperties},
      {Py_tp_repr, reinterpret_cast<void*>(repr)},
      {Py_tp_doc, const_cast<char*>(kDoc)},
      {0, nullptr},
  };
  return make_heap_type<CollectionCore>("kovra_vector_db.Collection", slots);
}

PyTypeObject* collection_type() { return class_type<CollectionCore>(); }

PyObject* new_collection_object(std::string name, std::shared_ptr<ClientState> state, bool sync) {
  return wrap(std::make_unique<CollectionCore>(CollectionCore{std::move(name), std::move(state), sync}));
}

PyObject* raise_collection_not_found(const std::string& name) {
  PyRef text = PyRef::steal(from_text("collection '" + name + "' not found"));
  if (text) PyErr_SetObject(PyExc_KeyError, text.get());
  return nullptr;
}

}  // namespace kovra::py

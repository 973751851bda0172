// Python class Client: a data directory of collections.
#include <string>

#include "python/classes.h"
#include "python/database.h"
#include "python/index_methods.h"

namespace kovra::py {

template <>
struct ClassTraits<ClientCore> {
  static constexpr const char* name = "Client";
  static PyTypeObject* make_type();
};

namespace {

using Self = Object<ClientCore>;
using M = IndexMethods<ClientCore>;

// Client methods keep the interpreter lock while they wait for the client
// lock: whoever holds the client lock never needs the interpreter lock.

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Client.__new__", {"path", "sync"}, 0);
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    if (!sig.bind(args, kwargs, argv)) return nullptr;
    std::string path = "./data";
    if (argv[0] && !to_text(argv[0], "path", &path)) return nullptr;
    bool sync = false;
    if (argv[1]) {
      // Only True or False: a durability switch must not be set by accident.
      if (!PyBool_Check(argv[1])) {
        PyErr_Format(PyExc_TypeError, "argument 'sync': '%s' object cannot be converted to 'PyBool'",
                     type_name(argv[1]).c_str());
        return nullptr;
      }
      sync = argv[1] == Py_True;
    }
    auto state = ClientState::open(path);
    if (!state) return raise(state.error());
    return wrap(type, std::make_unique<ClientCore>(ClientCore{std::move(*state), sync}));
  });
}

bool check_name(const std::string& name) {
  if (valid_collection_name(name)) return true;
  PyErr_SetString(PyExc_ValueError, invalid_collection_name_message(name).c_str());
  return false;
}

// Creates the collection, or raises; the caller has converted the arguments.
PyObject* create(Self& s, const std::string& name, uint64_t dimensions, Metric metric, IndexType type) {
  if (!check_name(name)) return nullptr;
  Status st = s.core->state->write([&](ClientState& c) { return c.create_collection(name, dimensions, metric, type); });
  if (!st) return raise(st.error());
  return new_collection_object(name, s.core->state, s.core->sync);
}

bool to_index_type(PyObject* obj, IndexType* out) {
  std::string text;
  if (!to_text(obj, "index_type", &text)) return false;
  auto t = parse_index_type(text);
  if (!t) {
    PyErr_SetString(PyExc_ValueError, unknown_index_type_message(text).c_str());
    return false;
  }
  *out = *t;
  return true;
}

PyObject* create_collection(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Client.create_collection", {"name", "dimensions", "metric", "index_type"}, 2);
  return method<ClientCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::string name;
    size_t dimensions;
    Metric metric = Metric::Cosine;
    IndexType type = IndexType::Hnsw;
    if (!to_text(a[0], "name", &name) || !to_size(a[1], "dimensions", &dimensions) ||
        (a[2] && !to_metric(a[2], "metric", &metric)) || (a[3] && !to_index_type(a[3], &type)))
      return static_cast<PyObject*>(nullptr);
    return create(s, name, dimensions, metric, type);
  });
}

PyObject* get_collection(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Client.get_collection", {"name"}, 1);
  return method<ClientCore>(self, args, kwargs, sig, Borrow::Shared, [](Self& s, PyObject* const* a) {
    std::string name;
    if (!to_text(a[0], "name", &name)) return static_cast<PyObject*>(nullptr);
    bool found = s.core->state->read([&](const ClientState& c) { return c.find(name) != nullptr; });
    if (!found) return raise_collection_not_found(name);
    return new_collection_object(name, s.core->state, s.core->sync);
  });
}

PyObject* get_or_create_collection(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Client.get_or_create_collection", {"name", "dimensions", "metric"}, 2);
  return method<ClientCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::string name;
    size_t dimensions;
    if (!to_text(a[0], "name", &name) || !to_size(a[1], "dimensions", &dimensions))
      return static_cast<PyObject*>(nullptr);
    // An existing collection is returned as it is, whatever the other arguments say.
    bool found = s.core->state->read([&](const ClientState& c) { return c.find(name) != nullptr; });
    if (found) return new_collection_object(name, s.core->state, s.core->sync);
    Metric metric = Metric::Cosine;
    if (a[2] && !to_metric(a[2], "metric", &metric)) return static_cast<PyObject*>(nullptr);
    return create(s, name, dimensions, metric, IndexType::Hnsw);
  });
}

PyObject* delete_collection(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig("Client.delete_collection", {"name"}, 1);
  return method<ClientCore>(self, args, kwargs, sig, Borrow::Exclusive, [](Self& s, PyObject* const* a) {
    std::string name;
    if (!to_text(a[0], "name", &name)) return static_cast<PyObject*>(nullptr);
    auto r = s.core->state->write([&](ClientState& c) { return c.delete_collection(name); });
    return result_or_raise(r, [](bool removed) { return to_bool(removed); });
  });
}

PyObject* list_collections(PyObject* self, PyObject*) {
  return method0<ClientCore>(self, Borrow::Shared, [](Self& s) -> PyObject* {
    auto names = s.core->state->read([](const ClientState& c) { return c.names(); });
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < names.size(); ++i) {
      PyObject* text = from_text(names[i]);
      if (!text) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text);  // steals
    }
    return list.release();
  });
}

PyObject* repr(PyObject* self) {
  return method0<ClientCore>(self, Borrow::Shared, [](Self& s) {
    size_t n = s.core->state->read([](const ClientState& c) { return c.collection_count(); });
    return from_text("Client(collections=" + std::to_string(n) + ")");
  });
}

PyMethodDef kMethods[] = {
    {"create_collection", M::fn(create_collection), kArgs,
     "create_collection($self, name, dimensions, metric=\"cosine\", index_type=\"hnsw\")\n--\n\n"
     "Create a new collection.\n"
     "\n"
     "Args:\n"
     "    name: Collection name.\n"
     "    dimensions: Vector dimensions.\n"
     "    metric: \"cosine\", \"l2\", or \"dot_product\".\n"
     "    index_type: \"hnsw\", \"flat\", \"quantized_flat\", \"fp16_flat\", \"ivf\", \"ivf_pq\", or \"mmap_flat\"."},
    {"get_collection", M::fn(get_collection), kArgs,
     "get_collection($self, name)\n--\n\nGet an existing collection by name. Raises KeyError if not found."},
    {"get_or_create_collection", M::fn(get_or_create_collection), kArgs,
     "get_or_create_collection($self, name, dimensions, metric=\"cosine\")\n--\n\n"
     "Get a collection by name, or create it if it doesn't exist (uses HNSW)."},
    {"delete_collection", M::fn(delete_collection), kArgs,
     "delete_collection($self, name)\n--\n\nDelete a collection and all its data from disk."},
    {"list_collections", M::fn(list_collections), METH_NOARGS,
     "list_collections($self)\n--\n\nList all collection names."},
    {nullptr, nullptr, 0, nullptr},
};

const char kDoc[] =
    "Client(path=\"./data\", sync=False)\n--\n\n"
    "Persistent vector database client.\n"
    "\n"
    "Opens a directory on disk. All writes are WAL-backed and survive restarts.\n"
    "\n"
    "Args:\n"
    "    path: Directory path for data storage (default \"./data\").\n"
    "    sync: If True, each write of this client's collections returns only\n"
    "        once its log records are on the disk (fdatasync; concurrent writers\n"
    "        share one sync). If False (default), a write returns once the\n"
    "        operating system has its records: they survive a killed process,\n"
    "        not a power cut.\n"
    "\n"
    "Example:\n"
    "    >>> db = Client(path=\"./my_data\")\n"
    "    >>> col = db.create_collection(\"docs\", dimensions=384, metric=\"cosine\")\n"
    "    >>> col.upsert(id=1, vector=[...], payload={\"title\": \"hello\"})\n"
    "    >>> hits = col.search(query=[...], k=5)";

}  // namespace

PyTypeObject* ClassTraits<ClientCore>::make_type() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(construct)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ClientCore>)},
      {Py_tp_methods, kMethods},
      {Py_tp_repr, reinterpret_cast<void*>(repr)},
      {Py_tp_doc, const_cast<char*>(kDoc)},
      {0, nullptr},
  };
  return make_heap_type<ClientCore>("kovra_vector_db.Client", slots);
}

PyTypeObject* client_type() { return class_type<ClientCore>(); }

}  // namespace kovra::py

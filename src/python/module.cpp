// Module initialisation: one module object per process, refused in a second
// interpreter, with the classes registered in a fixed order.
#include <atomic>
#include <cstdint>

#include "core/collection/client.h"
#include "python/classes.h"
#include "python/errors.h"
#include "python/frame.h"

namespace kovra::py {
namespace {

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)();
};

// Registration order is part of the module's surface (it is the order of __all__).
const ClassEntry kClasses[] = {
    {"FlatIndex", &flat_index_type},
    {"HnswIndex", &hnsw_index_type},
    {"QuantizedFlatIndex", &quantized_flat_index_type},
    {"Fp16FlatIndex", &fp16_flat_index_type},
    {"IvfIndex", &ivf_index_type},
    {"IvfPqIndex", &ivf_pq_index_type},
    {"MmapFlatIndex", &mmap_flat_index_type},
    {"BinaryFlatIndex", &binary_flat_index_type},
    {"Client", &client_type},
    {"Collection", &collection_type},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "kovra_vector_db",
    "",
    0,  // no per-module state; re-imports call the init function again
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Runs at the very end of the interpreter's finalisation, after every object
// it could free is gone: collections still open then (held by a cycle or by a
// module global that outlived the clean-up) save their graphs. No Python code
// runs here.
void checkpoint_at_exit() { ClientState::checkpoint_open_clients(); }

constexpr int64_t kNoInterpreter = -1;
std::atomic<int64_t> g_interpreter{kNoInterpreter};
PyObject* g_module = nullptr;

PyObject* init_module() {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  int64_t expected = kNoInterpreter;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "kovra_vector_db does not support sub-interpreters: it can only be imported "
                    "once per process, in the main interpreter");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);

  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (!panic_exception_type()) return nullptr;
  for (const ClassEntry& entry : kClasses) {
    if (!add_class(module.get(), entry.name, entry.type())) return nullptr;
  }
  if (Py_AtExit(&checkpoint_at_exit) != 0) {
    PyErr_SetString(PyExc_ImportError, "kovra_vector_db: no room left for an exit handler");
    return nullptr;
  }
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace kovra::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_kovra_vector_db() {
  return kovra::py::guarded([] { return kovra::py::init_module(); });
}

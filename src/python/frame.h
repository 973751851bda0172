// The frame every class of the module is built on: the object layout (header,
// owned core object, borrow flag), lazily created heap types, and the method
// entry sequence: bind arguments, check self, take the borrow, convert, run
// the core work, convert the result.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace kovra::py {

// Python object of a class wrapping the core object `Core`.
template <class Core>
struct Object {
  PyObject_HEAD
  Core* core;         // owned; null only while the object is being created
  Py_ssize_t borrow;  // 0 free, n > 0 shared borrows, -1 exclusive
};

// Per-class registry: the heap type, created from `Traits::make_type()` the
// first time it is needed. Each class defines a specialisation of
// ClassTraits<Core> with `static constexpr const char* name` and
// `static PyTypeObject* make_type()`.
template <class Core>
struct ClassTraits;

template <class Core>
PyTypeObject* class_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = ClassTraits<Core>::make_type();
  return type;
}

// Heap type built from a PyType_Spec with the object layout above.
template <class Core>
PyTypeObject* make_heap_type(const char* qualified_name, PyType_Slot* slots) {
  PyType_Spec spec{qualified_name, static_cast<int>(sizeof(Object<Core>)), 0, Py_TPFLAGS_DEFAULT, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

template <class Core>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Object<Core>*>(self)->core;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// A new Python object of the class around `core` (ownership passes to it).
template <class Core>
PyObject* wrap(PyTypeObject* type, std::unique_ptr<Core> core) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (!obj) return nullptr;
  auto* o = reinterpret_cast<Object<Core>*>(obj);
  o->core = core.release();
  o->borrow = 0;
  return obj;
}

template <class Core>
PyObject* wrap(std::unique_ptr<Core> core) {
  PyTypeObject* type = class_type<Core>();
  if (!type) return nullptr;
  return wrap(type, std::move(core));
}

// Checks that `self` is an instance of the class (or a subclass).
template <class Core>
Object<Core>* self_as(PyObject* self) {
  PyTypeObject* type = class_type<Core>();
  if (!type) return nullptr;
  if (!self || !PyObject_TypeCheck(self, type)) {
    PyRef tn = PyRef::steal(self ? PyType_GetName(Py_TYPE(self)) : PyUnicode_FromString("NoneType"));
    if (!tn) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", tn.get(),
                 ClassTraits<Core>::name);
    return nullptr;
  }
  return reinterpret_cast<Object<Core>*>(self);
}

// The method entry sequence. `body(Object<Core>& self, PyObject* const* args)`
// returns a new reference or nullptr with an error set; it converts the
// arguments (in the order the method documents) and runs the core work.
template <class Core, class Body>
PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& sig, Borrow borrow,
                 Body&& body) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[8];
    if (!sig.bind(args, kwargs, argv)) return nullptr;
    Object<Core>* obj = self_as<Core>(self);
    if (!obj) return nullptr;
    BorrowGuard guard(&obj->borrow, borrow);
    if (!guard.acquire()) return nullptr;
    return body(*obj, static_cast<PyObject* const*>(argv));
  });
}

// A method or getter without arguments.
template <class Core, class Body>
PyObject* method0(PyObject* self, Borrow borrow, Body&& body) {
  return guarded([&]() -> PyObject* {
    Object<Core>* obj = self_as<Core>(self);
    if (!obj) return nullptr;
    BorrowGuard guard(&obj->borrow, borrow);
    if (!guard.acquire()) return nullptr;
    return body(*obj);
  });
}

// Runs `work()` with the interpreter lock released. No Python calls inside.
template <class Work>
auto without_gil(Work&& work) {
  GilRelease release;
  return work();
}

// Converts a core Result<T> with `convert(T&)`, or raises its error.
template <class T, class Convert>
PyObject* result_or_raise(Result<T>& r, Convert&& convert) {
  if (!r) return raise(r.error());
  return convert(*r);
}

// The repr shared by the index classes: Name(dimensions=D, metric="M", len=N).
PyObject* index_repr(const char* class_name, size_t dimensions, Metric metric, size_t len);

// Metric from its text name, or ValueError with the unknown-metric message.
bool to_metric(PyObject* obj, const char* name, Metric* out);

// Adds `type` to the module under `name` and appends the name to __all__.
bool add_class(PyObject* module, const char* name, PyTypeObject* type);

}  // namespace kovra::py

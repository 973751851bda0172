#include "python/sparse_convert.h"

#include <cstdint>
#include <map>

namespace kovra::py {
namespace {

bool index_value(PyObject* key, uint32_t* out) {
  PyRef index = PyRef::steal(PyNumber_Index(key));
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (v > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

bool to_sparse(PyObject* obj, const char* name, SparseVector* out) {
  if (!PyDict_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDict'", type_name(obj).c_str());
    wrap_argument_error(name);
    return false;
  }
  // A snapshot of the pairs: converting a key or value may run Python code
  // that changes the dict.
  PyRef items = PyRef::steal(PyDict_Items(obj));
  if (!items) return false;
  std::map<uint32_t, float> pairs;
  const Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);  // borrowed (key, value) tuple
    if (!item) return false;
    uint32_t index;
    if (!index_value(PyTuple_GetItem(item, 0), &index)) {
      wrap_argument_error(name);
      return false;
    }
    double weight = PyFloat_AsDouble(PyTuple_GetItem(item, 1));
    if (weight == -1.0 && PyErr_Occurred()) {
      wrap_argument_error(name);
      return false;
    }
    pairs.insert_or_assign(index, static_cast<float>(weight));
  }
  SparseVector v;
  v.indices.reserve(pairs.size());
  v.values.reserve(pairs.size());
  for (const auto& [index, weight] : pairs) {
    v.indices.push_back(index);
    v.values.push_back(weight);
  }
  *out = std::move(v);
  return true;
}

}  // namespace kovra::py

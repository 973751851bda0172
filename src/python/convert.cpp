#include "python/convert.h"

#include <cctype>
#include <cstring>
#include <string_view>

namespace kovra::py {

// The type's name, as the stable-ABI type-name query gives it.
std::string type_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
  if (!s) {
    PyErr_Clear();
    return "?";
  }
  return std::string(s, static_cast<size_t>(n));
}

// Re-raises a pending TypeError as "argument '<name>': <message>" with the
// original as its cause; other exception types pass unchanged.
void wrap_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef cause = PyRef::steal(value);
  Py_XDECREF(type);
  if (tb) {
    PyException_SetTraceback(cause.get(), tb);
    Py_DECREF(tb);
  }
  PyRef msg = PyRef::steal(PyObject_Str(cause.get()));
  if (!msg) return;
  PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, msg.get()));
  if (!text) return;
  PyRef err = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!err) return;
  PyException_SetCause(err.get(), cause.release());  // steals the cause
  PyErr_SetObject(PyExc_TypeError, err.get());
}

bool u64_value(PyObject* obj, uint64_t* out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = static_cast<uint64_t>(v);
  return true;
}

namespace {

// Accepts a buffer only if it describes 4-byte native floats ("f", optionally
// after one byte-order character) at a 4-byte aligned address.
bool is_float32_buffer(const Py_buffer& v) {
  if (!v.shape || !v.strides || v.itemsize != 4 || !v.format) return false;
  std::string_view f(v.format);
  if (!f.empty() && std::strchr("@=<>!", f[0]) != nullptr) f.remove_prefix(1);
  if (f != "f") return false;
  return reinterpret_cast<uintptr_t>(v.buf) % 4 == 0;
}

template <class Vec>
bool copy_buffer(const Py_buffer& v, Vec* out) {
  size_t count = static_cast<size_t>(v.len / v.itemsize);
  out->resize(count);
  if (count == 0) return true;
  if (PyBuffer_ToContiguous(out->data(), &v, v.len, 'C') != 0) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t = PyRef::steal(type), val = PyRef::steal(value), trace = PyRef::steal(tb);
    PyRef msg = PyRef::steal(val ? PyObject_Str(val.get()) : PyUnicode_FromString(""));
    if (!msg) return false;
    PyErr_Format(PyExc_ValueError, "buffer copy failed: %U", msg.get());
    return false;
  }
  return true;
}

}  // namespace

Signature::Signature(const char* qualname, std::initializer_list<const char*> names, size_t required)
    : qualname_(qualname), names_(names), required_(required) {}

bool Signature::bind(PyObject* args, PyObject* kwargs, PyObject** out) const {
  const size_t n = names_.size();
  for (size_t i = 0; i < n; ++i) out[i] = nullptr;
  const size_t nargs = args ? static_cast<size_t>(PyTuple_Size(args)) : 0;
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given", qualname_, n,
                 n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (size_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", qualname_);
        return false;
      }
      size_t i = 0;
      while (i < n && PyUnicode_CompareWithASCIIString(key, names_[i]) != 0) ++i;
      if (i == n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", qualname_, key);
        return false;
      }
      if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", qualname_, names_[i]);
        return false;
      }
      out[i] = value;
    }
  }
  std::string missing;
  size_t missing_count = 0;
  for (size_t i = 0; i < required_; ++i) {
    if (out[i]) continue;
    ++missing_count;
    if (!missing.empty()) missing += ", ";
    missing.append("'").append(names_[i]).append("'");
  }
  if (missing_count) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required argument%s: %s", qualname_, missing_count,
                 missing_count == 1 ? "" : "s", missing.c_str());
    return false;
  }
  return true;
}

bool to_u64(PyObject* obj, const char* name, uint64_t* out) {
  if (u64_value(obj, out)) return true;
  wrap_argument_error(name);
  return false;
}

bool to_size(PyObject* obj, const char* name, size_t* out) {
  uint64_t v;
  if (!to_u64(obj, name, &v)) return false;
  *out = static_cast<size_t>(v);
  return true;
}

bool to_knob(PyObject* obj, const char* name, uint64_t* out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    wrap_argument_error(name);
    return false;
  }
  PyRef zero = PyRef::steal(PyLong_FromLong(0));
  if (!zero) return false;
  const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
  if (negative < 0) return false;
  if (negative) {
    *out = 0;
    return true;
  }
  return to_u64(index.get(), name, out);
}

bool to_text(PyObject* obj, const char* name, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", type_name(obj).c_str());
    wrap_argument_error(name);
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!s) {
    wrap_argument_error(name);
    return false;
  }
  out->assign(s, static_cast<size_t>(n));
  return true;
}

bool to_vector(PyObject* obj, std::vector<float>* out) {
  {
    PyBufferView buf;
    if (buf.acquire(obj) && is_float32_buffer(buf.view())) {
      if (buf.view().ndim != 1) {
        PyErr_SetString(PyExc_ValueError, "vector must be 1-dimensional");
        return false;
      }
      return copy_buffer(buf.view(), out);
    }
  }
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", type_name(obj).c_str());
    return false;
  }
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out->clear();
  out->reserve(static_cast<size_t>(hint));
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) return false;
  while (PyObject* raw = PyIter_Next(it.get())) {
    PyRef item = PyRef::steal(raw);
    double d = PyFloat_AsDouble(item.get());
    if (d == -1.0 && PyErr_Occurred()) return false;
    out->push_back(static_cast<float>(d));
  }
  return !PyErr_Occurred();
}

bool to_entries(PyObject* obj, std::vector<Entry>* out) {
  if (!PyList_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'entries': '%s' object cannot be converted to 'PyList'",
                 type_name(obj).c_str());
    return false;
  }
  std::vector<Entry> entries;
  for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) {
    PyObject* item = PyList_GetItem(obj, i);  // borrowed
    if (!item) return false;
    PyRef hold = PyRef::borrow(item);  // converting may run code that shrinks the list
    if (!PyTuple_Check(item) || PyTuple_Size(item) < 2) {
      PyErr_SetString(PyExc_ValueError, "each entry must be a tuple of (id, vector)");
      return false;
    }
    Entry e;
    if (!u64_value(PyTuple_GetItem(item, 0), &e.first)) return false;
    if (!to_vector(PyTuple_GetItem(item, 1), &e.second)) return false;
    entries.push_back(std::move(e));
  }
  *out = std::move(entries);
  return true;
}

bool to_block(PyObject* obj, FloatBlock* out, bool copy) {
  PyBufferView& buf = out->source;
  if (!buf.acquire(obj) || !is_float32_buffer(buf.view())) {
    PyErr_SetString(PyExc_ValueError, "vectors must support the buffer protocol (e.g. numpy array)");
    return false;
  }
  const Py_buffer& v = buf.view();
  if (v.ndim != 2) {
    PyErr_Format(PyExc_ValueError, "vectors must be 2-dimensional, got %d-dimensional", v.ndim);
    return false;
  }
  out->rows = static_cast<size_t>(v.shape[0]);
  out->columns = static_cast<size_t>(v.shape[1]);
  const size_t count = static_cast<size_t>(v.len / v.itemsize);
  // A batch read in place spares a copy of the whole block, and the fresh
  // pages of a large one: the copy cost more than the writes it fed.
  if (!copy && PyBuffer_IsContiguous(&v, 'C')) {
    out->values = {static_cast<const float*>(v.buf), count};
    return true;
  }
  if (!copy_buffer(v, &out->data)) return false;
  out->values = {out->data.data(), out->data.size()};
  return true;
}

PyObject* hits_to_list(std::span<const Hit> hits) {
  static PyObject* key_id = PyUnicode_InternFromString("id");
  static PyObject* key_distance = PyUnicode_InternFromString("distance");
  if (!key_id || !key_distance) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(hits[i].id));
    PyRef dist = PyRef::steal(PyFloat_FromDouble(static_cast<double>(hits[i].distance)));
    if (!id || !dist) return nullptr;
    if (PyDict_SetItem(dict.get(), key_id, id.get()) < 0) return nullptr;
    if (PyDict_SetItem(dict.get(), key_distance, dist.get()) < 0) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict.release());  // steals
  }
  return list.release();
}

namespace {

// numpy.empty(shape, dtype) with its C-contiguous buffer taken writable.
bool empty_array(PyObject* empty, PyObject* shape, const char* dtype, size_t itemsize, PyRef* array,
                 Py_buffer* view, bool* held) {
  PyRef type = PyRef::steal(PyUnicode_FromString(dtype));
  if (!type) return false;
  *array = PyRef::steal(PyObject_CallFunctionObjArgs(empty, shape, type.get(), nullptr));
  if (!*array) return false;
  if (PyObject_GetBuffer(array->get(), view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0)
    return false;
  *held = true;
  // The search writes raw items; anything else would be a NumPy surprise.
  if (view->itemsize != static_cast<Py_ssize_t>(itemsize)) {
    PyErr_SetString(PyExc_RuntimeError, "numpy.empty returned an unexpected item size");
    return false;
  }
  return true;
}

}  // namespace

BatchArrays::~BatchArrays() { release(); }

void BatchArrays::release() {
  if (held_ids_) PyBuffer_Release(&ids_view_);
  if (held_distances_) PyBuffer_Release(&distances_view_);
  held_ids_ = held_distances_ = false;
}

bool BatchArrays::create(size_t rows, size_t k) {
  // After the first call the import is a lookup in sys.modules.
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  PyRef empty = PyRef::steal(PyObject_GetAttrString(numpy.get(), "empty"));
  if (!empty) return false;
  PyRef shape = PyRef::steal(Py_BuildValue("(KK)", static_cast<unsigned long long>(rows),
                                           static_cast<unsigned long long>(k)));
  if (!shape) return false;
  return empty_array(empty.get(), shape.get(), "int64", sizeof(int64_t), &ids_, &ids_view_, &held_ids_) &&
         empty_array(empty.get(), shape.get(), "float32", sizeof(float), &distances_, &distances_view_,
                     &held_distances_);
}

PyObject* BatchArrays::take() {
  release();
  return PyTuple_Pack(2, ids_.get(), distances_.get());
}

namespace {

// numpy.empty((n,), dtype) filled with a copy of `bytes`.
PyObject* filled_vector(const void* bytes, size_t n, const char* dtype, size_t itemsize) {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  PyRef empty = PyRef::steal(PyObject_GetAttrString(numpy.get(), "empty"));
  if (!empty) return nullptr;
  PyRef shape = PyRef::steal(Py_BuildValue("(K)", static_cast<unsigned long long>(n)));
  if (!shape) return nullptr;
  PyRef array;
  Py_buffer view{};
  bool held = false;
  if (!empty_array(empty.get(), shape.get(), dtype, itemsize, &array, &view, &held)) {
    if (held) PyBuffer_Release(&view);
    return nullptr;
  }
  if (n) std::memcpy(view.buf, bytes, n * itemsize);
  PyBuffer_Release(&view);
  return array.release();
}

bool is_integer_format(const Py_buffer& v, bool* is_signed) {
  if (!v.format || !v.shape || !v.strides) return false;
  std::string_view f(v.format);
  if (!f.empty() && std::strchr("@=<>!", f[0]) != nullptr) f.remove_prefix(1);
  if (f.size() != 1 || std::strchr("bBhHiIlLqQnN", f[0]) == nullptr) return false;
  *is_signed = std::islower(static_cast<unsigned char>(f[0])) != 0;
  return v.itemsize == 1 || v.itemsize == 2 || v.itemsize == 4 || v.itemsize == 8;
}

}  // namespace

bool to_ids(PyObject* obj, const char* name, std::vector<uint64_t>* out) {
  out->clear();
  {
    PyBufferView buf;
    bool is_signed = false;
    if (buf.acquire(obj)) {
      const Py_buffer& v = buf.view();
      if (!is_integer_format(v, &is_signed)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': ids must be integers, got an array of format '%s'", name,
                     v.format ? v.format : "?");
        return false;
      }
      if (v.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "argument '%s': ids must be 1-dimensional, got %d-dimensional", name, v.ndim);
        return false;
      }
      std::vector<uint8_t> raw(static_cast<size_t>(v.len));
      if (v.len && PyBuffer_ToContiguous(raw.data(), &v, v.len, 'C') != 0) return false;
      const size_t n = static_cast<size_t>(v.len / v.itemsize);
      out->resize(n);
      for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = raw.data() + i * static_cast<size_t>(v.itemsize);
        int64_t s = 0;
        uint64_t u = 0;
        switch (v.itemsize) {
          case 1: s = *reinterpret_cast<const int8_t*>(p); u = *p; break;
          case 2: { int16_t a; uint16_t b; std::memcpy(&a, p, 2); std::memcpy(&b, p, 2); s = a; u = b; break; }
          case 4: { int32_t a; uint32_t b; std::memcpy(&a, p, 4); std::memcpy(&b, p, 4); s = a; u = b; break; }
          default: { std::memcpy(&s, p, 8); std::memcpy(&u, p, 8); break; }
        }
        if (is_signed && s < 0) {
          PyErr_Format(PyExc_OverflowError, "argument '%s': id %lld is negative", name, static_cast<long long>(s));
          return false;
        }
        (*out)[i] = is_signed ? static_cast<uint64_t>(s) : u;
      }
      return true;
    }
  }
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'Sequence'", name,
                 type_name(obj).c_str());
    return false;
  }
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) return false;
  while (PyObject* raw = PyIter_Next(it.get())) {
    PyRef item = PyRef::steal(raw);
    uint64_t id;
    if (!to_u64(item.get(), name, &id)) return false;
    out->push_back(id);
  }
  return !PyErr_Occurred();
}

PyObject* float32_array(std::span<const float> values) {
  return filled_vector(values.data(), values.size(), "float32", sizeof(float));
}

PyObject* uint64_array(std::span<const uint64_t> values) {
  return filled_vector(values.data(), values.size(), "uint64", sizeof(uint64_t));
}

PyObject* to_bool(bool v) { return PyBool_FromLong(v ? 1 : 0); }
PyObject* from_u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* from_text(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace kovra::py

#include "python/payload_convert.h"

#include <cmath>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "python/convert.h"

namespace kovra::py {
namespace {

using value_t = JsonValue::value_t;

bool too_deep() {
  PyErr_Format(PyExc_ValueError, "payload nested deeper than %zu levels", kMaxJsonDepth);
  return false;
}

// numpy.bool_ (NumPy 1) or numpy.bool (NumPy 2): 1 true, 0 false, -1 not one.
int numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return -1;
  }
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
      PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
    return -1;
  }
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return -1;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return -1;
  }
  int truth;
  if (auto slot = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool))) {
    truth = slot(obj);
  } else {
    if (PyErr_Occurred()) PyErr_Clear();  // PyType_GetSlot on a type it cannot read
    truth = PyObject_IsTrue(obj);
  }
  if (truth < 0) {
    PyErr_Clear();
    return -1;
  }
  return truth;
}

bool utf8(PyObject* str, std::string* out) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (!s) return false;
  out->assign(s, static_cast<size_t>(n));
  return true;
}

// Types that can never be a NumPy boolean; saves the name lookup for them.
bool plain_type(PyObject* obj) {
  return PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyUnicode_CheckExact(obj) ||
         PyDict_CheckExact(obj) || PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
}

bool convert(PyObject* obj, JsonValue* out, size_t depth);

bool convert_dict(PyObject* obj, JsonValue* out, size_t depth) {
  if (depth >= kMaxJsonDepth) return too_deep();
  // A snapshot of the entries: converting a value may run code that changes
  // the dictionary.
  PyRef items = PyRef::steal(PyDict_Items(obj));
  if (!items) return false;
  JsonValue result(value_t::object);
  auto& map = result.get_ref<JsonValue::object_t&>();
  const Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);  // borrowed, kept alive by items
    if (!pair) return false;
    PyObject* key = PyTuple_GetItem(pair, 0);
    PyObject* value = PyTuple_GetItem(pair, 1);
    if (!key || !value) return false;
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", type_name(key).c_str());
      return false;
    }
    std::string k;
    if (!utf8(key, &k)) return false;
    JsonValue v;
    if (!convert(value, &v, depth + 1)) return false;
    map.insert_or_assign(std::move(k), std::move(v));
  }
  *out = std::move(result);
  return true;
}

bool convert_list(PyObject* obj, JsonValue* out, size_t depth) {
  if (depth >= kMaxJsonDepth) return too_deep();
  JsonValue result(value_t::array);
  auto& arr = result.get_ref<JsonValue::array_t&>();
  for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) {
    PyObject* item = PyList_GetItem(obj, i);  // borrowed
    if (!item) return false;
    PyRef hold = PyRef::borrow(item);  // converting may run code that shrinks the list
    JsonValue v;
    if (!convert(item, &v, depth + 1)) return false;
    arr.push_back(std::move(v));
  }
  *out = std::move(result);
  return true;
}

// `depth` is the number of containers around `obj`.
bool convert(PyObject* obj, JsonValue* out, size_t depth) {
  // 1. None
  if (obj == Py_None) {
    *out = JsonValue();
    return true;
  }
  // 2. bool, numpy.bool_
  if (PyBool_Check(obj)) {
    *out = JsonValue(obj == Py_True);
    return true;
  }
  if (!plain_type(obj)) {
    int b = numpy_bool(obj);
    if (b >= 0) {
      *out = JsonValue(b != 0);
      return true;
    }
  }
  // Plain containers have neither number protocol: trying them would raise
  // (and format) two TypeErrors for every payload only to clear them.
  const bool container = PyDict_CheckExact(obj) || PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
  // 3. signed 64-bit integer through the index protocol
  if (!container && !PyFloat_CheckExact(obj) && !PyUnicode_CheckExact(obj)) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (index) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
        if (v >= 0) *out = JsonValue(static_cast<uint64_t>(v));
        else *out = JsonValue(static_cast<int64_t>(v));
        return true;
      }
    }
    PyErr_Clear();
  }
  // 4. float conversion; NaN and infinities become null
  if (!container && !PyUnicode_CheckExact(obj)) {
    double d = PyFloat_AsDouble(obj);
    if (!(d == -1.0 && PyErr_Occurred())) {
      *out = std::isfinite(d) ? JsonValue(d) : JsonValue();
      return true;
    }
    PyErr_Clear();
  }
  // 5. str
  if (PyUnicode_Check(obj)) {
    std::string s;
    if (!utf8(obj, &s)) return false;
    *out = JsonValue(std::move(s));
    return true;
  }
  // 6. dict
  if (PyDict_Check(obj)) return convert_dict(obj, out, depth);
  // 7. list
  if (PyList_Check(obj)) return convert_list(obj, out, depth);
  // 8. str(obj)
  PyRef text = PyRef::steal(PyObject_Str(obj));
  if (!text) return false;
  std::string s;
  if (!utf8(text.get(), &s)) return false;
  *out = JsonValue(std::move(s));
  return true;
}

// Payload keys repeat from one result to the next ("title", "year", ...): each
// distinct short key becomes one interned str, kept for the life of the
// process, instead of a new str per result. Only touched with the interpreter
// lock held.
class KeyCache {
 public:
  // A new reference to the str of `key`.
  PyObject* get(const std::string& key) {
    // The few keys of one payload shape hit a small direct-mapped front,
    // which costs a compare where the map costs a full hash of the key.
    Recent& slot = recent_[front_index(key)];
    if (slot.str && slot.key == key) return Py_NewRef(slot.str);
    auto it = keys_.find(std::string_view(key));
    if (it == keys_.end()) {
      if (key.size() > kMaxKeyBytes || keys_.size() >= kMaxKeys || key.find('\0') != std::string::npos)
        return PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
      PyObject* str = PyUnicode_InternFromString(key.c_str());
      if (!str) {
        // Not valid UTF-8 cannot come from a stored payload; fall back anyway.
        PyErr_Clear();
        return PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
      }
      it = keys_.emplace(key, str).first;
    }
    slot.key = key;
    slot.str = it->second;  // owned by keys_, which never drops an entry
    return Py_NewRef(it->second);
  }

 private:
  static size_t front_index(const std::string& key) {
    if (key.empty()) return 0;
    const auto first = static_cast<unsigned char>(key.front()), last = static_cast<unsigned char>(key.back());
    return (key.size() * 31 + first * 7 + last) & (kFront - 1);
  }

  static constexpr size_t kMaxKeyBytes = 64;
  static constexpr size_t kMaxKeys = 4096;
  static constexpr size_t kFront = 64;
  struct Recent {
    std::string key;
    PyObject* str = nullptr;
  };
  Recent recent_[kFront];
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, PyObject*, Hash, std::equal_to<>> keys_;
};

KeyCache& key_cache() {
  static KeyCache* cache = new KeyCache();  // never destroyed: its strs outlive it
  return *cache;
}

PyObject* build(const JsonValue& v, size_t depth) {
  if ((v.is_array() || v.is_object()) && depth >= kMaxJsonDepth) {
    too_deep();
    return nullptr;
  }
  switch (v.type()) {
    case value_t::null:
    case value_t::discarded:
    case value_t::binary:
      Py_INCREF(Py_None);
      return Py_None;
    case value_t::boolean:
      return PyBool_FromLong(v.get_ref<const JsonValue::boolean_t&>() ? 1 : 0);
    case value_t::number_integer:
      return PyLong_FromLongLong(v.get_ref<const JsonValue::number_integer_t&>());
    case value_t::number_unsigned: {
      uint64_t u = v.get_ref<const JsonValue::number_unsigned_t&>();
      if (u <= static_cast<uint64_t>(INT64_MAX)) return PyLong_FromLongLong(static_cast<long long>(u));
      return PyFloat_FromDouble(static_cast<double>(u));
    }
    case value_t::number_float:
      return PyFloat_FromDouble(v.get_ref<const JsonValue::number_float_t&>());
    case value_t::string: {
      const auto& s = v.get_ref<const JsonValue::string_t&>();
      return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
    case value_t::array: {
      const auto& arr = v.get_ref<const JsonValue::array_t&>();
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(arr.size())));
      if (!list) return nullptr;
      for (size_t i = 0; i < arr.size(); ++i) {
        PyObject* item = build(arr[i], depth + 1);
        if (!item) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
      }
      return list.release();
    }
    case value_t::object: {
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return nullptr;
      for (const auto& [key, value] : v.get_ref<const JsonValue::object_t&>()) {
        PyRef k = PyRef::steal(key_cache().get(key));
        if (!k) return nullptr;
        PyRef item = PyRef::steal(build(value, depth + 1));
        if (!item) return nullptr;
        if (PyDict_SetItem(dict.get(), k.get(), item.get()) < 0) return nullptr;
      }
      return dict.release();
    }
  }
  Py_INCREF(Py_None);
  return Py_None;
}

}  // namespace

bool to_json(PyObject* obj, JsonValue* out) {
  try {
    return convert(obj, out, 0);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return false;
  }
}

PyObject* from_json(const JsonValue& v) {
  return build(v, 0);
}

}  // namespace kovra::py

// Argument converters and result builders. Every converter returns false with
// a Python exception set on failure.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "core/buffer.h"
#include "core/index/vector_index.h"
#include "python/py_ref.h"

namespace kovra::py {

// A method's parameter list for binding by position or keyword.
class Signature {
 public:
  // `qualname` as "Class.method"; the first `required` names are mandatory.
  Signature(const char* qualname, std::initializer_list<const char*> names, size_t required);
  // Fills out[i] with a borrowed reference, or nullptr for an omitted
  // optional. `out` has room for size() entries.
  bool bind(PyObject* args, PyObject* kwargs, PyObject** out) const;
  size_t size() const { return names_.size(); }

 private:
  const char* qualname_;
  std::vector<const char*> names_;
  size_t required_;
};

// The name of the object's type, or "?" when the interpreter cannot give one.
std::string type_name(PyObject* obj);
// Re-raises a pending TypeError as "argument '<name>': <message>" with the
// original as its cause; other exception types pass unchanged.
void wrap_argument_error(const char* name);
// Unsigned 64-bit integer through the index protocol, errors unwrapped.
bool u64_value(PyObject* obj, uint64_t* out);

// Unsigned 64-bit integer through the index protocol. TypeErrors are wrapped
// as "argument '<name>': ...".
bool to_u64(PyObject* obj, const char* name, uint64_t* out);
bool to_size(PyObject* obj, const char* name, size_t* out);
// The new value of a tuning knob: to_u64, except that a negative int becomes
// 0, so that the core's "at least 1" check refuses it with the same
// ValueError as 0 rather than an OverflowError.
bool to_knob(PyObject* obj, const char* name, uint64_t* out);
// Must be a str; taken as UTF-8.
bool to_text(PyObject* obj, const char* name, std::string* out);
// One vector: a 1-D float32 buffer by one copy, otherwise any sequence of
// numbers element by element.
bool to_vector(PyObject* obj, std::vector<float>* out);
// A list of (id, vector) tuples.
bool to_entries(PyObject* obj, std::vector<Entry>* out);

// A 2-D float32 buffer as row-major values: the caller's own memory, or a copy.
struct FloatBlock {
  std::span<const float> values;  // rows * columns floats, row-major
  FloatBuffer data;               // the copy `values` points into, when one was made
  PyBufferView source;            // the caller's buffer, held while `values` borrows it
  size_t rows = 0;
  size_t columns = 0;
};
// A 2-D float32 block. A C-contiguous one is read in place unless `copy`
// asks for `data` to hold the values; any other layout is copied into `data`.
bool to_block(PyObject* obj, FloatBlock* out, bool copy = false);

// Ids from a 1-D NumPy integer array (any width, signed or not) or any
// sequence of ints; a negative or non-integer id fails as to_u64 fails.
// `name` is the argument errors name.
bool to_ids(PyObject* obj, const char* name, std::vector<uint64_t>* out);

// New 1-D NumPy arrays holding a copy of the values.
PyObject* float32_array(std::span<const float> values);
PyObject* uint64_array(std::span<const uint64_t> values);

// The (ids, distances) result of a batch search: two new NumPy arrays of
// shape (rows, k), int64 and float32, made through NumPy's Python API (the
// module does not link NumPy) and held writable until take() so that the
// search can fill them without the interpreter lock.
class BatchArrays {
 public:
  BatchArrays() = default;
  BatchArrays(const BatchArrays&) = delete;
  BatchArrays& operator=(const BatchArrays&) = delete;
  ~BatchArrays();
  bool create(size_t rows, size_t k);
  int64_t* ids() { return static_cast<int64_t*>(ids_view_.buf); }
  float* distances() { return static_cast<float*>(distances_view_.buf); }
  // Releases the buffers and returns the tuple (ids, distances).
  PyObject* take();

 private:
  void release();
  PyRef ids_, distances_;
  Py_buffer ids_view_{}, distances_view_{};
  bool held_ids_ = false, held_distances_ = false;
};

// [{"id": int, "distance": float}, ...] in result order.
PyObject* hits_to_list(std::span<const Hit> hits);
PyObject* to_bool(bool v);
PyObject* from_u64(uint64_t v);
PyObject* from_text(std::string_view s);

}  // namespace kovra::py

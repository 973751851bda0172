// Thin RAII over the interpreter's C API: owned references, buffer views, the
// interpreter-lock release scope and the per-object borrow flag.
#pragma once

#ifndef Py_LIMITED_API
#error "the module is built against the limited API"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kovra::py {

// Owns one reference. Made only by steal() or borrow(); move-only.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* p) { return PyRef(p); }
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// A Py_buffer released on destruction.
class PyBufferView {
 public:
  PyBufferView() = default;
  PyBufferView(const PyBufferView&) = delete;
  PyBufferView& operator=(const PyBufferView&) = delete;
  ~PyBufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  // Requests a full read-only description; false (with the error cleared) when
  // the object offers none.
  bool acquire(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) != 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Releases the interpreter lock for its scope. No Python calls inside.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

enum class Borrow { None, Shared, Exclusive };

// Takes a shared or exclusive borrow of an object's flag (0 free, n > 0 shared
// borrows, -1 exclusive). A conflict fails at once, never waits. The flag is
// only touched with the interpreter lock held.
class BorrowGuard {
 public:
  BorrowGuard(Py_ssize_t* flag, Borrow kind) : flag_(flag), kind_(kind) {}
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (!taken_) return;
    if (kind_ == Borrow::Exclusive) *flag_ = 0;
    else --*flag_;
  }
  // False with RuntimeError set on a conflict.
  bool acquire() {
    switch (kind_) {
      case Borrow::None:
        return true;
      case Borrow::Shared:
        if (*flag_ < 0) {
          PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
          return false;
        }
        ++*flag_;
        break;
      case Borrow::Exclusive:
        if (*flag_ != 0) {
          PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
          return false;
        }
        *flag_ = -1;
        break;
    }
    taken_ = true;
    return true;
  }

 private:
  Py_ssize_t* flag_;
  Borrow kind_;
  bool taken_ = false;
};

}  // namespace kovra::py

// Core errors to Python exceptions, the internal-failure exception, and the
// one try block every entry point runs in.
#pragma once

#include <new>
#include <string>

#include "core/error.h"
#include "python/py_ref.h"

namespace kovra::py {

// Sets the Python exception mapped from the error's kind, with its message.
// Always returns nullptr so callers can `return raise(err);`.
PyObject* raise(const Error& error);

// The class raised for internal failures: derived from BaseException so that
// `except Exception` does not swallow it. Created once per process.
PyObject* panic_exception_type();
PyObject* raise_panic(const std::string& text);

// Runs `body` (returning a new reference or nullptr with an error set) and
// turns anything that unwinds out of the core into a Python exception: nothing
// thrown in C++ may terminate the interpreter.
template <class Fn>
PyObject* guarded(Fn&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic("unknown internal failure");
  }
}

// Same for slots that return int (-1 on error).
template <class Fn>
int guarded_int(Fn&& body) noexcept {
  PyObject* r = guarded([&]() -> PyObject* {
    if (body() < 0) return nullptr;
    Py_RETURN_NONE;
  });
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

// None for success, or the mapped exception.
inline PyObject* none_or_raise(const Status& s) {
  if (!s) return raise(s.error());
  Py_RETURN_NONE;
}

}  // namespace kovra::py

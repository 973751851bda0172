#include "python/errors.h"

namespace kovra::py {
namespace {

PyObject* exception_for(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::DimensionMismatch:
    case ErrorKind::EmptyIndex:
    case ErrorKind::InvalidConfig:
      return PyExc_ValueError;
    case ErrorKind::DuplicateId:
    case ErrorKind::NotFound:
    case ErrorKind::CollectionAlreadyExists:
    case ErrorKind::CollectionNotFound:
    case ErrorKind::SnapshotAlreadyExists:
    case ErrorKind::SnapshotNotFound:
      return PyExc_KeyError;
    case ErrorKind::Io:
      return PyExc_OSError;
    case ErrorKind::OutOfMemory:
      return PyExc_MemoryError;
    case ErrorKind::Serialization:
    case ErrorKind::WalCorruption:
    case ErrorKind::EmbeddingError:
    case ErrorKind::NoEmbedder:
      return PyExc_RuntimeError;
  }
  return PyExc_RuntimeError;
}

PyObject* g_panic_type = nullptr;

}  // namespace

PyObject* raise(const Error& error) {
  std::string msg = error.message();
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
  if (!text) return nullptr;
  // One argument, the message, for every exception class (KeyError included,
  // so that str() shows the text as it is stored).
  PyErr_SetObject(exception_for(error.kind()), text.get());
  return nullptr;
}

PyObject* panic_exception_type() {
  if (!g_panic_type) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "kovra_vector_db.PanicException",
        "The exception raised when the extension meets an internal failure.\n\n"
        "Derived from BaseException: it signals a bug, not bad input.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

PyObject* raise_panic(const std::string& text) {
  PyObject* type = panic_exception_type();
  if (!type) return nullptr;
  PyRef msg = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!msg) return nullptr;
  PyErr_SetObject(type, msg.get());
  return nullptr;
}

}  // namespace kovra::py

#include "python/frame.h"

#include "core/metric.h"

namespace kovra::py {

PyObject* index_repr(const char* class_name, size_t dimensions, Metric metric, size_t len) {
  std::string s = std::string(class_name) + "(dimensions=" + std::to_string(dimensions) + ", metric=\"" +
                  std::string(metric_name(metric)) + "\", len=" + std::to_string(len) + ")";
  return from_text(s);
}

bool to_metric(PyObject* obj, const char* name, Metric* out) {
  std::string text;
  if (!to_text(obj, name, &text)) return false;
  auto m = parse_metric(text);
  if (!m) {
    PyErr_SetString(PyExc_ValueError, m.error().c_str());
    return false;
  }
  *out = *m;
  return true;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (!type) return false;
  if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) return false;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    PyErr_Clear();
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list || PyModule_AddObjectRef(module, "__all__", list.get()) < 0) return false;
    all = list.release();
  }
  PyRef hold = PyRef::steal(all);
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all, text.get()) == 0;
}

}  // namespace kovra::py

// The Python surface shared by the inverted-file classes (IvfIndex,
// IvfPqIndex): the leading constructor arguments, in one order and with one
// meaning, and the method table. Each class supplies its core type, the rest
// of its constructor and its docstring.
#pragma once

#include <cstddef>

#include "core/index/ivf_coarse.h"
#include "python/frame.h"
#include "python/index_methods.h"

namespace kovra::py {

struct IvfArgs {
  size_t dimensions = 0;
  Metric metric = Metric::L2;
  IvfConfig config;  // n_lists 256, nprobe 16, train_size 4096, max_iter 25
};

// Converts argv[0..4] (dimensions, metric, n_lists, nprobe, train_size) as
// bound by the class's Signature; absent optional arguments are null. False
// with a Python exception set.
inline bool parse_ivf_args(PyObject* const* argv, IvfArgs* out) {
  if (!to_size(argv[0], "dimensions", &out->dimensions)) return false;
  if (argv[1] && !to_metric(argv[1], "metric", &out->metric)) return false;
  if (argv[2] && !to_u64(argv[2], "n_lists", &out->config.n_lists)) return false;
  if (argv[3] && !to_u64(argv[3], "nprobe", &out->config.nprobe)) return false;
  if (argv[4] && !to_u64(argv[4], "train_size", &out->config.train_size)) return false;
  return true;
}

template <class Core>
class IvfClass {
 public:
  static PyTypeObject* make_type(const char* qualified_name, newfunc tp_new, const char* doc) {
    return M::make_type(qualified_name, tp_new, M::signature_only_methods(true),
                        M::properties(nullptr, nullptr, {"nprobe", get_nprobe, set_nprobe, kNprobeDoc, nullptr}),
                        doc);
  }

 private:
  using M = IndexMethods<Core>;

  static constexpr const char* kNprobeDoc =
      "Clusters scanned per query (at least 1). Settable between searches; saved with the index.";

  static PyObject* get_nprobe(PyObject* self, void*) {
    return method0<Core>(self, Borrow::Shared,
                         [](typename M::Self& s) { return from_u64(s.core->config().nprobe); });
  }

  static int set_nprobe(PyObject* self, PyObject* value, void*) {
    return M::set_knob(self, value, "nprobe", [](Core& core, uint64_t v) { return core.set_nprobe(v); });
  }
};

}  // namespace kovra::py

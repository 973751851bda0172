// The Python surface shared by the hash-keyed compressed index classes
// (QuantizedFlatIndex, Fp16FlatIndex, BinaryFlatIndex): the same members as
// FlatIndex, with signature-only method docstrings and no text signature for
// the class. Each class supplies its core type, its name and its docstring.
#pragma once

#include "python/index_methods.h"

namespace kovra::py {

template <class Core>
class KeyedIndexClass {
 public:
  static PyTypeObject* make_type(const char* qualified_name, const char* doc) {
    return M::make_type(qualified_name, M::construct, M::signature_only_methods(false), M::properties("", ""),
                        doc);
  }

 private:
  using M = IndexMethods<Core>;
};

}  // namespace kovra::py

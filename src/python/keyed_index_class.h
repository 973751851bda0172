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
    static PyMethodDef methods[] = {
        {"add", M::fn(M::add), kArgs, "add($self, id, vector)\n--\n\n"},
        {"add_batch", M::fn(M::add_batch), kArgs, "add_batch($self, entries)\n--\n\n"},
        {"add_batch_np", M::fn(M::add_batch_np), kArgs,
         "add_batch_np($self, vectors, start_id=0)\n--\n\n"
         "Add vectors from a 2D numpy array (N \xc3\x97 dim) with sequential IDs starting from `start_id`."},
        {"search", M::fn(M::search), kArgs, "search($self, query, k)\n--\n\n"},
        {"delete", M::fn(M::remove), kArgs, "delete($self, id)\n--\n\n"},
        {"save", M::fn(M::save), kArgs, "save($self, path)\n--\n\n"},
        {"load", M::fn(M::load), kStaticArgs, "load(path)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    return M::make_type(qualified_name, M::construct, methods, M::properties("", ""), doc);
  }

 private:
  using M = IndexMethods<Core>;
};

}  // namespace kovra::py

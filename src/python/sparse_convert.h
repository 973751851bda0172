// Conversion of a Python {index: weight} dict into a sparse vector.
#pragma once

#include "core/collection/sparse.h"
#include "python/convert.h"
#include "python/py_ref.h"

namespace kovra::py {

// `obj` must be a dict (or subclass). Keys go through the index protocol as
// unsigned integers below 2^32, values through float conversion narrowed to
// f32. A later key with the same index wins; the result is sorted by index.
// False with a Python exception set on failure; `out` is then unchanged.
bool to_sparse(PyObject* obj, const char* name, SparseVector* out);

}  // namespace kovra::py

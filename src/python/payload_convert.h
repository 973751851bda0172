// Conversion of payload and filter values between Python objects and
// JsonValue.
#pragma once

#include "core/collection/payload.h"
#include "python/py_ref.h"

namespace kovra::py {

// Python object to payload value, the first check that applies winning (None; bool, numpy.bool_;
// 64-bit integer through the index protocol; float conversion with NaN and
// infinities as null; str; dict with str keys, else TypeError "'<type>' object
// cannot be converted to 'PyString'"; list; anything else as str(obj)).
// Nesting deeper than kMaxJsonDepth raises ValueError "payload nested deeper
// than 512 levels". False with a Python error set; *out is then unspecified.
bool to_json(PyObject* obj, JsonValue* out);

// Payload value to Python object: a new reference, or nullptr with the error set. A non-negative
// integer above 2^63-1 becomes a float.
PyObject* from_json(const JsonValue& v);

}  // namespace kovra::py

// Python class BinaryFlatIndex.
#include "core/index/binary_flat.h"

#include "python/classes.h"
#include "python/keyed_index_class.h"

namespace kovra::py {

template <>
struct ClassTraits<BinaryFlatIndex> {
  static constexpr const char* name = "BinaryFlatIndex";
  static PyTypeObject* make_type();
};

namespace {

const char kDoc[] =
    "Binary (1-bit) quantized brute-force index. 32x less RAM than FlatIndex.\n"
    "\n"
    "Each f32 component is reduced to 1 bit (positive=1, negative=0).\n"
    "Distance is computed via Hamming distance (popcount).\n"
    "Same API as FlatIndex.";

}  // namespace

PyTypeObject* ClassTraits<BinaryFlatIndex>::make_type() {
  return KeyedIndexClass<BinaryFlatIndex>::make_type("kovra_vector_db.BinaryFlatIndex", kDoc);
}

PyTypeObject* binary_flat_index_type() { return class_type<BinaryFlatIndex>(); }

}  // namespace kovra::py

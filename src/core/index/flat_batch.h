// The shape check of add_flat_batch, shared by the indexes that take a
// row-major block of floats, so that every index refuses a bad block with the
// same error kind and text.
#pragma once

#include <string>

#include "core/error.h"

namespace kovra {

// The block's width must be the index's dimensions, and its length a whole
// number of rows. A zero-column block passes: it carries no rows.
inline Status check_flat_batch(size_t data_size, size_t columns, size_t dimensions) {
  if (columns != dimensions) return fail(Error::dimension_mismatch(dimensions, columns));
  if (columns != 0 && data_size % columns != 0) {
    return fail(Error::invalid_config("raw_data length " + std::to_string(data_size) +
                                      " is not a multiple of dim " + std::to_string(columns)));
  }
  return ok();
}

}  // namespace kovra

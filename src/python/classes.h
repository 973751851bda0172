// The module's classes, each created on first use.
#pragma once

#include "python/py_ref.h"

namespace kovra::py {

PyTypeObject* flat_index_type();
PyTypeObject* hnsw_index_type();
PyTypeObject* quantized_flat_index_type();
PyTypeObject* fp16_flat_index_type();
PyTypeObject* mmap_flat_index_type();
PyTypeObject* binary_flat_index_type();
PyTypeObject* ivf_index_type();
PyTypeObject* ivf_pq_index_type();
PyTypeObject* client_type();
PyTypeObject* collection_type();

}  // namespace kovra::py

// Python class FlatIndex.
#include "core/index/flat.h"

#include "python/classes.h"
#include "python/index_methods.h"

namespace kovra::py {

template <>
struct ClassTraits<FlatIndex> {
  static constexpr const char* name = "FlatIndex";
  static PyTypeObject* make_type();
};

namespace {

using M = IndexMethods<FlatIndex>;

PyMethodDef kMethods[] = {
    {"add", M::fn(M::add), kArgs, "add($self, id, vector)\n--\n\nAdd a single vector with the given ID."},
    {"add_batch", M::fn(M::add_batch), kArgs,
     "add_batch($self, entries)\n--\n\nAdd multiple vectors at once. Takes a list of (id, vector) tuples."},
    {"add_batch_np", M::fn(M::add_batch_np), kArgs,
     "add_batch_np($self, vectors, start_id=0)\n--\n\n"
     "Add vectors from a 2D numpy array (N \xc3\x97 dim) with sequential IDs starting from `start_id`.\n"
     "This is the fastest way to insert vectors \xe2\x80\x94 no per-element Python extraction."},
    {"search", M::fn(M::search), kArgs,
     "search($self, query, k)\n--\n\n"
     "Search for the k nearest vectors. Returns list of {\"id\": int, \"distance\": float}."},
    {"search_batch", M::fn(M::search_batch), kArgs, kSearchBatchDoc},
    {"delete", M::fn(M::remove), kArgs,
     "delete($self, id)\n--\n\nRemove a vector by ID. Returns True if found and removed."},
    {"save", M::fn(M::save), kArgs, "save($self, path)\n--\n\nSave index to a binary file."},
    {"load", M::fn(M::load), kStaticArgs, "load(path)\n--\n\nLoad a previously saved index from a binary file."},
    {nullptr, nullptr, 0, nullptr},
};

const char kDoc[] =
    "FlatIndex(dimensions, metric=\"l2\")\n--\n\n"
    "Exact brute-force vector index. 100% recall, O(N*D) per query.\n"
    "\n"
    "Best for small datasets (<100K vectors) or when exact results are required.\n"
    "\n"
    "Args:\n"
    "    dimensions: Number of dimensions per vector.\n"
    "    metric: Distance metric \xe2\x80\x94 \"l2\", \"cosine\", or \"dot_product\".\n"
    "\n"
    "Example:\n"
    "    index = FlatIndex(384, \"cosine\")\n"
    "    index.add(1, [0.1] * 384)\n"
    "    results = index.search([0.1] * 384, k=10)\n";

}  // namespace

PyTypeObject* ClassTraits<FlatIndex>::make_type() {
  return M::make_type("kovra_vector_db.FlatIndex", M::construct, kMethods,
                      M::properties("Number of dimensions per vector.",
                                    "Distance metric (\"l2\", \"cosine\", or \"dot_product\")."),
                      kDoc);
}

PyTypeObject* flat_index_type() { return class_type<FlatIndex>(); }

}  // namespace kovra::py

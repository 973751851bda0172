// Python class MmapFlatIndex.
#include "core/index/mmap_flat.h"

#include "python/classes.h"
#include "python/index_methods.h"

namespace kovra::py {

template <>
struct ClassTraits<MmapFlatIndex> {
  static constexpr const char* name = "MmapFlatIndex";
  static PyTypeObject* make_type();
};

namespace {

using M = IndexMethods<MmapFlatIndex>;

PyObject* mmap_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig("MmapFlatIndex.__new__", {"dimensions", "metric", "path"}, 1);
  return guarded([&]() -> PyObject* {
    PyObject* argv[3];
    if (!sig.bind(args, kwargs, argv)) return nullptr;
    size_t dimensions;
    Metric metric = Metric::L2;
    std::string path = "./mmap_index.kvec";
    if (!to_size(argv[0], "dimensions", &dimensions)) return nullptr;
    if (argv[1] && !to_metric(argv[1], "metric", &metric)) return nullptr;
    if (argv[2] && !to_text(argv[2], "path", &path)) return nullptr;
    auto opened = MmapFlatIndex::open(path, dimensions, metric);
    if (!opened) return raise(opened.error());
    return wrap(type, std::make_unique<MmapFlatIndex>(std::move(*opened)));
  });
}

PyMethodDef kMethods[] = {
    {"add", M::fn(M::add), kArgs, "add($self, id, vector)\n--\n\n"},
    {"add_batch", M::fn(M::add_batch), kArgs, "add_batch($self, entries)\n--\n\n"},
    {"add_batch_np", M::fn(M::add_batch_np), kArgs,
     "add_batch_np($self, vectors, start_id=0)\n--\n\n"
     "Add vectors from a 2D numpy array (N \xc3\x97 dim) with sequential IDs starting from `start_id`.\n"
     "This is the fastest way to insert vectors \xe2\x80\x94 no per-element Python extraction."},
    {"search", M::fn(M::search), kArgs, "search($self, query, k)\n--\n\n"},
    {"search_batch", M::fn(M::search_batch), kArgs, kSearchBatchDoc},
    {"delete", M::fn(M::remove), kArgs, "delete($self, id)\n--\n\n"},
    {"flush", M::fn(M::flush), METH_NOARGS, "flush($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const char kDoc[] =
    "Memory-mapped brute-force index. Near-zero RAM usage.\n"
    "Vectors are stored in a flat binary file and memory-mapped by the OS.\n"
    "Pages are loaded on demand. Best when dataset is larger than available RAM.";

}  // namespace

PyTypeObject* ClassTraits<MmapFlatIndex>::make_type() {
  return M::make_type("kovra_vector_db.MmapFlatIndex", mmap_new, kMethods, M::properties("", ""), kDoc);
}

PyTypeObject* mmap_flat_index_type() { return class_type<MmapFlatIndex>(); }

}  // namespace kovra::py

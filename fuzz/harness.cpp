#include "harness.h"

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace kovra::fuzz {
namespace {

namespace fs = std::filesystem;

// Largest dimension count for which `exercise` builds a query vector; the
// seeds use a handful, and a damaged header may claim billions.
constexpr size_t kMaxQueryDimensions = 1 << 16;

std::string& input_path() {
  static std::string path;
  return path;
}

void remove_input_dir() {
  if (!input_path().empty()) {
    std::error_code ec;
    fs::remove_all(fs::path(input_path()).parent_path(), ec);
  }
}

// A directory of its own under TMPDIR, so parallel fuzz processes (-jobs,
// -fork, or two targets at once) never share an input file.
void make_input_dir() {
  std::string tmpl = (fs::temp_directory_path() / "kovra_fuzz_XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  input_path() = (fs::path(tmpl) / "input").string();
  std::atexit(remove_input_dir);
}

void write_file(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::abort();
  }
}

}  // namespace

std::string Seeds::path(std::string_view name) const {
  return (fs::path(dir_) / ("seed-" + std::string(name))).string();
}

void Seeds::bytes(std::string_view name, std::span<const uint8_t> bytes) const { write_file(path(name), bytes); }

const std::string& input_file(std::span<const uint8_t> data) {
  write_file(input_path(), data);
  return input_path();
}

std::string work_dir() { return fs::path(input_path()).parent_path().string(); }

std::vector<float> sample_rows(size_t n, size_t d) {
  std::vector<float> out(n * d);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>((i * 7 + i / d * 3) % 13) * 0.25f - 1.5f;
  return out;
}

void exercise(const VectorIndex& index) {
  (void)index.len();
  (void)index.is_empty();
  std::vector<Entry> entries = index.iterate();
  const size_t dims = index.params().dimensions;
  if (dims > kMaxQueryDimensions) return;
  std::vector<float> query(dims, 0.5f);
  (void)index.search(query, 1);
  (void)index.search(query, 10);
  if (!entries.empty()) (void)index.search(entries.front().second, 3);
}

}  // namespace kovra::fuzz

// The first argument that is not a flag is libFuzzer's corpus directory (when
// it is a directory: replaying a single crash file passes the file instead).
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  kovra::fuzz::make_input_dir();
  for (int i = 1; i < *argc; ++i) {
    const char* arg = (*argv)[i];
    if (arg[0] == '-') continue;
    if (std::filesystem::is_directory(arg)) kovra::fuzz::write_seeds(kovra::fuzz::Seeds(arg));
    break;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kovra::fuzz::fuzz_one({data, size});
  return 0;
}

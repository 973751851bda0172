// Exact float32 vectors kept on disk instead of in memory, for an index whose
// searches never read them (the product-quantized lists) but whose save,
// iteration and lookups must give them back bit for bit.
//
// Rows are numbered from 0: first those of a file the index was loaded from,
// read in place (the open descriptor keeps that file readable when a later
// save renames a new file over its path), then the rows appended since, which
// go to an unnamed temporary file that disappears with its descriptor. Appends
// gather in a buffer of about 64 KiB and reach the file a block at a time.
// Nothing is mapped for longer than one bulk read, so the rows do not count as
// the process's resident memory. The owner knows which rows are still read
// and calls compact() to drop the others.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"

namespace kovra {

class ExactRows {
 public:
  // Marks an entry without an exact copy.
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  // `dir`: where the temporary file is made; empty for the system's
  // temporary directory.
  ExactRows(size_t dimensions, std::string dir) : dimensions_(dimensions), dir_(std::move(dir)) {}
  ~ExactRows();
  ExactRows(ExactRows&& other) noexcept;
  ExactRows& operator=(ExactRows&& other) noexcept;
  ExactRows(const ExactRows&) = delete;
  ExactRows& operator=(const ExactRows&) = delete;

  // Takes rows 0 .. count - 1 from the open file `fd` (owned from now on):
  // row r's floats start at byte `offset + r * stride`. Only on an empty store.
  void adopt_file(int fd, uint64_t offset, uint64_t stride, uint64_t count);

  // Stores a copy of `dimensions` floats; returns its row. If the temporary
  // file cannot be made or written, rows stay in memory instead, so nothing is
  // lost. Fails only when the row numbers run out.
  Result<uint32_t> append(const float* vector);

  // Copies row `row` (below rows()) into `out`. False when the file cannot be
  // read back.
  bool read(uint32_t row, float* out) const;

  // Copies row rows[i] (each below rows(); any order, repeats allowed) to
  // out + i * dimensions. The rows are taken in file order and read in blocks
  // of up to 1 MiB wherever the wanted ones lie close together, so reading
  // most of the store costs a few large reads rather than one per row.
  // False when a file cannot be read back.
  bool read_rows(std::span<const uint32_t> rows, float* out) const;

  // Rewrites the rows appended since the load into a fresh temporary file,
  // keeping only those that `live` points at: each pointer holds a row at or
  // above loaded_rows() and is set to the row's new number. Rows of the loaded
  // file stay as they are. On failure (no file to write, a read that fails)
  // nothing changes and false is returned.
  bool compact(std::span<uint32_t* const> live);
  // Rows read in place from the file the store was loaded from.
  uint64_t loaded_rows() const { return file_rows_; }

  uint64_t rows() const { return file_rows_ + spilled_rows_ + tail_rows(); }
  // Bytes of rows held in memory (the append buffer, and rows that could not
  // be written).
  size_t memory_bytes() const { return tail_.capacity() * sizeof(float); }

  // Maps both files for the reader's lifetime, so that reading many rows costs
  // no call per row. Reads what the store held when the reader was made.
  class Reader {
   public:
    explicit Reader(const ExactRows& rows);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    bool read(uint32_t row, float* out) const;
    // As ExactRows::read_rows, copying from the mappings in file order (no
    // call per block, and pages the mapping already holds are not read again).
    bool read_rows(std::span<const uint32_t> rows, float* out) const;

   private:
    const ExactRows& rows_;
    const uint8_t* file_map_ = nullptr;
    size_t file_map_size_ = 0;
    const uint8_t* spill_map_ = nullptr;
    size_t spill_map_size_ = 0;
  };

 private:
  size_t row_bytes() const { return dimensions_ * sizeof(float); }
  uint64_t tail_rows() const { return dimensions_ ? tail_.size() / dimensions_ : tail_count_; }
  // Writes the buffered rows to the temporary file; false if they stay.
  bool spill();
  void close_all();

  size_t dimensions_;
  std::string dir_;
  int file_fd_ = -1;  // the loaded file, or -1
  uint64_t file_offset_ = 0;
  uint64_t file_stride_ = 0;
  uint64_t file_rows_ = 0;
  int spill_fd_ = -1;  // the temporary file, or -1 until the first spill
  uint64_t spilled_rows_ = 0;
  bool spill_failed_ = false;  // rows then stay in tail_
  std::vector<float> tail_;    // rows appended since the last spill
  uint64_t tail_count_ = 0;    // rows in tail_ when dimensions_ is 0
};

}  // namespace kovra

// The value file reader: opens "sortdata.txt" (creating it when missing) and
// extracts integers from its bytes with the file's own numeral syntax
// (decimal, octal after a leading 0, hexadecimal after 0x; 15 characters at
// most; out-of-range numerals clamped; data ends at the first 0x1A byte).
#pragma once

#include <cstddef>
#include <functional>

#include "max_values.h"

namespace shufflesort {

// Opens `path` for reading; a missing file is created empty with an exclusive
// create, so a dangling symbolic link is never followed. A FIFO without a
// writer does not block the open (it reads as empty), and in a sticky
// directory open to all writers a symbolic link is followed only when it
// belongs to the user running or to the directory's owner. Returns the file
// descriptor, or -1 when the file can neither be opened nor created, names a
// directory, or is a link refused so.
int open_value_file(const char* path);

// Delivers up to `capacity` bytes of the file into `buffer` and returns how
// many; 0 means the end of the data (a read error counts as the end).
using BlockSource = std::function<std::size_t(unsigned char* buffer, std::size_t capacity)>;

// A block source reading the open file descriptor `fd`.
BlockSource file_blocks(int fd);

// Extracts integers from a byte source, one numeral per call, keeping the
// three state flags of an input stream: end-of-file, fail and bad.
class ValueReader {
 public:
  static constexpr std::size_t BLOCK_SIZE = 512;

  explicit ValueReader(BlockSource source) : source_(std::move(source)) {}

  // Reads one numeral into `target`. Returns false, leaving the reader failed,
  // when no numeral can be read; `target` is then left alone or set to 0.
  bool extract(Value& target);

  bool failed() const { return fail_; }
  bool at_end() const { return eof_; }

 private:
  static constexpr int END_OF_DATA = -1;

  int peek();
  void take() { ++position_; }
  bool skip_white_space();

  BlockSource source_;
  unsigned char block_[BLOCK_SIZE] = {};
  std::size_t position_ = 0;
  std::size_t length_ = 0;
  bool data_ended_ = false;
  bool eof_ = false;
  bool fail_ = false;
};

// Reads values until MAX_VALUES are stored or an extraction fails; returns how
// many were stored in `pool`, in file order.
int read_values(ValueReader& reader, Value (&pool)[MAX_VALUES]);

}  // namespace shufflesort

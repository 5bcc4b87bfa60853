// Feeds arbitrary bytes to the value file reader and checks properties that
// must hold for any file, not merely that nothing crashes:
//   - at most MAX_VALUES values are read;
//   - delivering the bytes in blocks of any size reads the same values;
//   - writing the values back in decimal, blank-separated, reads them again;
//   - bytes after the first 0x1A never change what is read.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "memory_blocks.h"
#include "value_reader.h"

namespace {

using shufflesort::MAX_VALUES;
using shufflesort::Value;

std::vector<Value> read_in_blocks(const std::string& bytes, std::size_t block_size) {
  shufflesort::ValueReader reader(memory_blocks(bytes, block_size));
  Value pool[MAX_VALUES];
  const int count = shufflesort::read_values(reader, pool);
  return {pool, pool + count};
}

void require(bool property) {
  if (!property) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<Value> values = read_in_blocks(bytes, shufflesort::ValueReader::BLOCK_SIZE);
  require(values.size() <= static_cast<std::size_t>(MAX_VALUES));

  const std::size_t odd_block = 1 + (size == 0 ? 0 : data[0] % 13);
  require(read_in_blocks(bytes, odd_block) == values);
  require(read_in_blocks(bytes, 1) == values);

  std::string decimal;
  for (Value v : values) decimal += std::to_string(v) + " ";
  require(read_in_blocks(decimal, shufflesort::ValueReader::BLOCK_SIZE) == values);

  const std::size_t mark = bytes.find('\x1a');
  if (mark != std::string::npos) {
    require(read_in_blocks(bytes.substr(0, mark + 1) + "12 34 x", 7) == values);
    require(read_in_blocks(bytes.substr(0, mark), 512) == values);
  }
  return 0;
}

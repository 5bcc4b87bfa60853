// Delivers bytes held in memory as a value file would, in blocks of a
// chosen size, so the reader can be tested without a file system.
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include "value_reader.h"

inline shufflesort::BlockSource memory_blocks(std::string bytes, std::size_t block_size) {
  auto offset = std::make_shared<std::size_t>(0);
  return
      [bytes = std::move(bytes), block_size, offset](unsigned char* buffer, std::size_t capacity) {
        const std::size_t n = std::min({capacity, block_size, bytes.size() - *offset});
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(*offset), n, buffer);
        *offset += n;
        return n;
      };
}

// The value file reader against a table of inputs, with the bytes delivered
// in blocks of several sizes, plus the opening rules on a real file system.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "memory_blocks.h"
#include "temp_dir.h"
#include "value_reader.h"

using shufflesort::MAX_VALUES;
using shufflesort::Value;
using shufflesort::ValueReader;

namespace {

// Reads values from `bytes` delivered `block_size` bytes at a time.
std::vector<Value> read_from(const std::string& bytes,
                             std::size_t block_size = ValueReader::BLOCK_SIZE) {
  ValueReader reader(memory_blocks(bytes, block_size));
  Value pool[MAX_VALUES];
  const int count = shufflesort::read_values(reader, pool);
  return {pool, pool + count};
}

struct ReadCase {
  std::string bytes;
  std::vector<Value> expected;
};

const std::string SIXTEEN_DIGITS = "1234567890123456";
const std::string HEX_MAX = "0xFFFFFFFF";

const std::vector<ReadCase> READ_CASES = {
    {"3 1 2\n", {3, 1, 2}},
    {"3 1 2", {3, 1, 2}},
    {"", {}},
    {" \t\r\n\v\f ", {}},
    {"0x1A 0X1f 010 -0x10 +7 -0", {26, 31, 8, -16, 7, 0}},
    {"08", {0, 8}},
    {"0129", {10, 9}},
    {"0x1g", {1}},
    {"12abc 4", {12}},
    {"1,2,3", {1}},
    {"1.5", {1}},
    {"5-3", {5, -3}},
    {"- 5", {}},
    {"--5", {}},
    {"+", {}},
    {"abc", {}},
    {"0x", {}},
    {"0xg", {}},
    {"7 0x", {7}},
    {"0", {0}},
    {"00", {0}},
    {"0X", {}},
    {"+0x7fffFFFF", {2147483647}},
    {"2147483647", {2147483647}},
    {"2147483648", {2147483647}},
    {HEX_MAX, {2147483647}},
    {"-2147483648", {-2147483648}},
    {"-2147483649 5", {-2147483648, 5}},
    {"-99999999999999 5", {-2147483648, 5}},
    {"-999999999999999 5", {-2147483648, 9, 5}},
    {"-0x80000000 -0x80000001", {-2147483648, -2147483648}},
    {"037777777777", {2147483647}},
    {SIXTEEN_DIGITS, {2147483647, 6}},
    {"0000000000000001", {0, 1}},
    {"-00000000000000017", {0, 15}},
    {"0x00000000000012", {1, 2}},
    {"1 2\x1a 3", {1, 2}},
    {"12\x1a"
     "34",
     {12}},
    {"\x1a 5", {}},
    {"1\r\n2\r\n", {1, 2}},
    {"1\r2\t3\v4\f5", {1, 2, 3, 4, 5}},
    {std::string("1 \0 2", 5), {1}},
    {"1 \x80 2", {1}},
    {"\xEF\xBB\xBF"
     "1 2",
     {}},
    {"9 8\n7 oops 6", {9, 8, 7}},
};

TEST(ValueReader, ReadsTheTableInAnyBlockSize) {
  for (const ReadCase& c : READ_CASES) {
    for (std::size_t block : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7},
                              ValueReader::BLOCK_SIZE}) {
      EXPECT_EQ(read_from(c.bytes, block), c.expected)
          << "input \"" << c.bytes << "\" in blocks of " << block;
    }
  }
}

std::string numbers(int from, int to) {
  std::string text;
  for (int v = from; v <= to; ++v) text += std::to_string(v) + "\n";
  return text;
}

TEST(ValueReader, StopsAfterOneHundredValuesWithoutReadingFurther) {
  const std::vector<Value> values = read_from(numbers(1, 150) + " not a number");
  ASSERT_EQ(values.size(), 100u);
  EXPECT_EQ(values.front(), 1);
  EXPECT_EQ(values.back(), 100);
}

TEST(ValueReader, ValuesAcrossBlockBoundariesAreWhole) {
  // Numerals placed to straddle every 512-byte boundary of a long file.
  std::string text;
  std::vector<Value> expected;
  for (int block = 1; block <= 40; ++block) {
    text.append(static_cast<std::size_t>(block) * 512 - text.size() - 3, ' ');
    text += "-123456 ";
    expected.push_back(-123456);
  }
  EXPECT_EQ(read_from(text), expected);
}

TEST(ValueReader, StateFlagsFollowTheStream) {
  ValueReader reader(memory_blocks("5", ValueReader::BLOCK_SIZE));
  Value target = 42;
  EXPECT_TRUE(reader.extract(target));  // ends at the end of the data: eof, not failed
  EXPECT_EQ(target, 5);
  EXPECT_TRUE(reader.at_end());
  EXPECT_FALSE(reader.failed());
  target = 42;
  EXPECT_FALSE(reader.extract(target));  // fails without reading; target untouched
  EXPECT_EQ(target, 42);
  EXPECT_TRUE(reader.failed());
}

TEST(OpenValueFile, CreatesAMissingFileEmptyAndReadWrite) {
  const TempDir dir;
  const std::string path = dir.path() + "/sortdata.txt";
  const int fd = shufflesort::open_value_file(path.c_str());
  ASSERT_GE(fd, 0);
  close(fd);
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_size, 0);
  EXPECT_EQ(status.st_mode & (S_IRUSR | S_IWUSR), static_cast<mode_t>(S_IRUSR | S_IWUSR));
}

TEST(OpenValueFile, RefusesDirectoriesAndDanglingLinks) {
  const TempDir dir;
  const std::string path = dir.path() + "/sortdata.txt";
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  EXPECT_EQ(shufflesort::open_value_file(path.c_str()), -1);
  ASSERT_EQ(rmdir(path.c_str()), 0);

  const std::string target = dir.path() + "/elsewhere.txt";
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  EXPECT_EQ(shufflesort::open_value_file(path.c_str()), -1);
  struct stat status {};
  EXPECT_NE(stat(target.c_str(), &status), 0) << "nothing may be created through the link";
}

TEST(OpenValueFile, FollowsALinkToAnExistingFile) {
  const TempDir dir;
  const std::string target = dir.write("real.txt", "4 3");
  const std::string path = dir.path() + "/sortdata.txt";
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  const int fd = shufflesort::open_value_file(path.c_str());
  ASSERT_GE(fd, 0);
  ValueReader reader(shufflesort::file_blocks(fd));
  Value pool[MAX_VALUES];
  EXPECT_EQ(shufflesort::read_values(reader, pool), 2);
  EXPECT_EQ(pool[0], 4);
  EXPECT_EQ(pool[1], 3);
  close(fd);
}

}  // namespace

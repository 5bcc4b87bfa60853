// The sort run driver in-process: a value file in a temporary directory, a
// fixed seed and string streams, checked byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "sort_run.h"
#include "temp_dir.h"

namespace {

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

RunResult run_on(const std::string& path, std::uint32_t seed) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = shufflesort::run_sort(
      path.c_str(), [seed] { return seed; }, out, err);
  return {status, out.str(), err.str()};
}

struct DriverCase {
  std::string file;
  std::uint32_t seed;
  std::string expected_out;
};

// Expected counts come from an independent model of the generator and the
// shuffle, not from this program.
const std::vector<DriverCase> DRIVER_CASES = {
    {"3 1 2\n", 1, "Sorting: 3 1 2 \nSorted: 1 2 3 \nRandomly Sorted 2 times.\n"},
    {"5 -1 0 -7", 42, "Sorting: 5 -1 0 -7 \nSorted: -7 -1 0 5 \nRandomly Sorted 1 times.\n"},
    {"2 2 1", 7, "Sorting: 2 2 1 \nSorted: 1 2 2 \nRandomly Sorted 2 times.\n"},
    {"9 8 7 6 5 4", 1700000000,
     "Sorting: 9 8 7 6 5 4 \nSorted: 4 5 6 7 8 9 \nRandomly Sorted 52 times.\n"},
    {"1 2 3 4 5 6 7", 123,
     "Sorting: 1 2 3 4 5 6 7 \nSorted: 1 2 3 4 5 6 7 \nRandomly Sorted 6815 times.\n"},
    {"", 1, "Sorting: \nSorted: \nRandomly Sorted 1 times.\n"},
    {"x 1 2", 1, "Sorting: \nSorted: \nRandomly Sorted 1 times.\n"},
    {"-2147483648", 9, "Sorting: -2147483648 \nSorted: -2147483648 \nRandomly Sorted 1 times.\n"},
    {"4 4 4 4", 3, "Sorting: 4 4 4 4 \nSorted: 4 4 4 4 \nRandomly Sorted 1 times.\n"},
    {"2 1 stop 0", 5, "Sorting: 2 1 \nSorted: 1 2 \nRandomly Sorted 2 times.\n"},
};

TEST(SortRun, WritesTheThreeLinesByteForByte) {
  for (const DriverCase& c : DRIVER_CASES) {
    const TempDir dir;
    const RunResult result = run_on(dir.write("sortdata.txt", c.file), c.seed);
    EXPECT_EQ(result.out, c.expected_out) << "file \"" << c.file << "\" seed " << c.seed;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, shufflesort::EXIT_OK);
  }
}

TEST(SortRun, SeedsOnceAfterTheEchoLine) {
  const TempDir dir;
  const std::string path = dir.write("sortdata.txt", "2 1");
  std::ostringstream out;
  std::ostringstream err;
  int calls = 0;
  shufflesort::run_sort(
      path.c_str(),
      [&] {
        ++calls;
        EXPECT_EQ(out.str(), "Sorting: 2 1 \n");
        return 1u;
      },
      out, err);
  EXPECT_EQ(calls, 1);
}

TEST(SortRun, MissingFileIsCreatedEmpty) {
  const TempDir dir;
  const std::string path = dir.path() + "/sortdata.txt";
  const RunResult result = run_on(path, 1);
  EXPECT_EQ(result.out, "Sorting: \nSorted: \nRandomly Sorted 1 times.\n");
  EXPECT_EQ(result.err, "");
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 0);
}

TEST(SortRun, UnopenableFileWritesTheTwoErrorLines) {
  const TempDir dir;
  const std::string path = dir.path() + "/sortdata.txt";
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  const RunResult result = run_on(path, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "ERROR:  Failed to open file 'Data'.\nAborting...\n");
  EXPECT_EQ(result.status, shufflesort::EXIT_TROUBLE);
}

TEST(SortRun, UsesOnlyTheFirstHundredValues) {
  const TempDir dir;
  std::string file;
  std::string echo = "Sorting: ";
  for (int v = 0; v < 130; ++v) {
    file += v < 100 ? "5 " : "1 ";  // a value read past the hundredth would show
    if (v < 100) echo += "5 ";
  }
  const RunResult result = run_on(dir.write("sortdata.txt", file + "junk"), 77);
  EXPECT_EQ(result.out, echo + "\n" + "Sorted: " + echo.substr(9) + "\nRandomly Sorted 1 times.\n");
}

TEST(SortRun, FailedOutputIsReportedInTheStatus) {
  const TempDir dir;
  const std::string path = dir.write("sortdata.txt", "3 1 2");
  std::ostringstream out;
  std::ostringstream err;
  out.setstate(std::ios::badbit);
  EXPECT_EQ(shufflesort::run_sort(
                path.c_str(), [] { return 1u; }, out, err),
            shufflesort::EXIT_TROUBLE);
}

}  // namespace

namespace {

TEST(SortRun, SaysWhenNoShuffleEverComesOutInOrder) {
  const TempDir dir;
  const RunResult result = run_on(dir.write("sortdata.txt", "13 2 11 5 7 1 12 3 9 4 10 6 8"), 1);
  EXPECT_EQ(result.out, "Sorting: 13 2 11 5 7 1 12 3 9 4 10 6 8 \n");
  EXPECT_EQ(result.err,
            "ERROR:  Shuffles repeat after 2147483648 times without coming out in order.\n"
            "Aborting...\n");
  EXPECT_EQ(result.status, shufflesort::EXIT_TROUBLE);
}

TEST(SortRun, LongSearchReportsTheExactCount) {
  const TempDir dir;
  const RunResult result =
      run_on(dir.write("sortdata.txt", "12 2 11 5 7 1 3 9 4 10 6 8"), 1700000000);
  EXPECT_EQ(result.out,
            "Sorting: 12 2 11 5 7 1 3 9 4 10 6 8 \nSorted: 1 2 3 4 5 6 7 8 9 10 11 12 \n"
            "Randomly Sorted 25435653 times.\n");
}

// On 32-bit targets the build asks for 64-bit time and file offsets, so the
// clock works after 2038 and files of 2 GiB and more can be opened.
TEST(ClockSeed, TimeAndFileOffsetsHave64Bits) {
  EXPECT_EQ(sizeof(std::time_t), 8u);
  EXPECT_EQ(sizeof(off_t), 8u);
}

}  // namespace

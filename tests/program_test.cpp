// The built program run as its own process in temporary directories: what it
// writes, its exit status and what it leaves on disk, in a small stack,
// with output that cannot be written, and with the clock past 2038 and 2106.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "program_runs.h"
#include "sort_run.h"
#include "temp_dir.h"

namespace {

TEST(Program, SortsTheValueFileInTheCurrentDirectory) {
  const TempDir dir;
  dir.write("sortdata.txt", "3 1 2\n");
  expect_report(run_in(dir.path()), "3 1 2 ", "1 2 3 ");
}

TEST(Program, IgnoresItsArguments) {
  const TempDir dir;
  dir.write("sortdata.txt", "-4 8 0");
  Launch launch;
  launch.command = {SHUFFLESORT_BINARY, "--help", "other.txt"};
  expect_report(launch_in(dir.path(), launch), "-4 8 0 ", "-4 0 8 ");
}

TEST(Program, MissingFileIsCreatedEmptyForItsUser) {
  const TempDir dir;
  expect_report(run_in(dir.path()), "", "");
  struct stat status {};
  ASSERT_EQ(stat((dir.path() + "/sortdata.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 0);
  EXPECT_EQ(status.st_mode & (S_IRUSR | S_IWUSR), static_cast<mode_t>(S_IRUSR | S_IWUSR));
}

TEST(Program, DirectoryAndDanglingLinkAreOpenFailures) {
  const TempDir dir;
  ASSERT_EQ(mkdir((dir.path() + "/sortdata.txt").c_str(), 0755), 0);
  expect_open_failure(run_in(dir.path()));

  const TempDir linked;
  ASSERT_EQ(symlink("nowhere.txt", (linked.path() + "/sortdata.txt").c_str()), 0);
  expect_open_failure(run_in(linked.path()));
  EXPECT_FALSE(exists(linked.path() + "/nowhere.txt"));
}

TEST(Program, UsesTheFirstHundredValuesOnly) {
  const TempDir dir;
  std::string file;
  std::string echo;
  for (int v = 0; v < 150; ++v) file += v < 100 ? "7\n" : "-1\n";
  for (int v = 0; v < 100; ++v) echo += "7 ";
  dir.write("sortdata.txt", file);
  expect_report(run_in(dir.path()), echo, echo);
}

// The search in the 128 KiB of stack that `ulimit -s 128` leaves: its
// work space is on the heap, and each kernel's frame takes a few KiB. One
// file for each kind of judging: window tests from a pair table (never in
// order, whatever the seed), a scattered block from a pair table (half
// zeros, half ones), and a tracked block (20 zeros, 4 ones). The last two
// answers depend on the clock, so only the end is checked there: sorted or
// never, not a signal.
TEST(Faults, SearchesInASmallStack) {
#ifdef SHUFFLESORT_SANITIZED
  GTEST_SKIP() << "the sanitizers keep every variable of a kernel apart, with guard zones "
                  "around each: frames of some 200 KiB";
#endif
  const std::string never = "13 2 11 5 7 1 12 3 9 4 10 6 8";
  const std::string inputs[] = {
      never,
      "0 1 1 0 1 0 0 1 0 1 1 0 1 0 0 1 1 0 0 1 0 1 1 0 0 1 1 0 1 0 0 1",
      "0 0 0 1 0 0 0 0 0 1 0 0 0 0 0 1 0 0 0 0 0 0 1 0",
  };
  for (const std::string& values : inputs) {
    const TempDir dir;
    dir.write("sortdata.txt", values);
    Launch launch;
    launch.stack_bytes = rlim_t{128} * 1024;
    const Outcome outcome = launch_in(dir.path(), launch);
    EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n') + 1), "Sorting: " + values + " \n");
    EXPECT_TRUE(outcome.status == 0 || outcome.status == 1) << outcome.status << ": " << values;
    if (values == never) {
      EXPECT_EQ(outcome.err,
                "ERROR:  Shuffles repeat after 2147483648 times without coming out in order.\n"
                "Aborting...\n");
    }
  }
}

TEST(Faults, ValuesAcrossBlockBoundaries) {
  const TempDir dir;
  std::string file;
  std::string echo;
  for (int block = 1; block <= 6; ++block) {
    file.append(static_cast<std::size_t>(block) * 512 - file.size() - 2, '\n');
    file += std::to_string(1000 + block) + " ";  // straddles the boundary
    echo += std::to_string(1000 + block) + " ";
  }
  dir.write("sortdata.txt", file);
  expect_report(run_in(dir.path()), echo, echo);
}

TEST(Faults, UnwritableOutputIsReportedInTheStatus) {
  const TempDir dir;
  dir.write("sortdata.txt", "2 1");
  Launch full;
  full.stdout_to_dev_full = true;
  Outcome outcome = launch_in(dir.path(), full);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "");

  Launch closed;
  closed.close_stdout = true;
  outcome = launch_in(dir.path(), closed);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "");

  Launch no_stderr;
  no_stderr.close_stderr = true;
  outcome = launch_in(dir.path(), no_stderr);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out.substr(0, 14), "Sorting: 2 1 \n");

  EXPECT_EQ(read_file(dir.path() + "/sortdata.txt"), "2 1");
}

// The report for `file` seeded with `seed`, from the driver in-process.
std::string expected_report(const TempDir& dir, std::uint32_t seed) {
  std::ostringstream out;
  std::ostringstream err;
  shufflesort::run_sort((dir.path() + "/sortdata.txt").c_str(), [seed] { return seed; }, out, err);
  return out.str();
}

// Whether `out` is the report for a seed read from the real clock.
bool seeded_by_the_real_clock(const TempDir& dir, const std::string& out) {
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  for (std::uint32_t seed = now - 10; seed != now + 10; ++seed) {
    if (expected_report(dir, seed) == out) return true;
  }
  return false;
}

TEST(Faults, ClockAfter2038And2106SeedsWithItsLow32Bits) {
  if (system("command -v faketime >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "faketime is not installed (Debian package faketime)";
  }
  const TempDir dir;
  dir.write("sortdata.txt", "9 8 7 6 5 4 3");
  const std::vector<std::pair<std::string, std::uint32_t>> clocks = {
      {"2040-01-01 00:00:00", 2208988800u},                // past 2^31 seconds
      {"2110-01-01 00:00:00", 4417977600u - 4294967296u},  // past 2^32 seconds
  };
  for (const auto& [date, seed] : clocks) {
    Launch launch;
    launch.command = {"faketime", "-f", date, SHUFFLESORT_BINARY};
    // faketime preloads its library; a sanitizer build must let it go first.
    launch.environment = {{"TZ", "UTC"}, {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    const Outcome outcome = launch_in(dir.path(), launch);
    // The dynamic loader refuses a library of another CPU or word size (a
    // 32-bit build, or one run under an emulator), and a library built for
    // 32-bit time misses the 64-bit clock: the clock is then the real one.
    if (outcome.err.find("cannot be preloaded") != std::string::npos) {
      GTEST_SKIP() << "faketime cannot be preloaded into this program: " << outcome.err;
    }
    if (seeded_by_the_real_clock(dir, outcome.out)) {
      GTEST_SKIP() << "faketime did not reach this program's clock";
    }
    EXPECT_EQ(outcome.err, "") << date;
    EXPECT_EQ(outcome.status, 0) << date;
    EXPECT_EQ(outcome.out, expected_report(dir, seed)) << date;
  }
}

}  // namespace

// The built program run as its own process in temporary directories: what it
// writes, its exit status, and what it leaves on disk.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "sort_run.h"
#include "temp_dir.h"

namespace {

// How the child's standard streams and identity are set up.
struct Launch {
  std::vector<std::string> command{SHUFFLESORT_BINARY};
  bool stdout_to_dev_full = false;
  bool close_stdout = false;
  bool close_stderr = false;
  bool as_nobody = false;         // run as an unprivileged user when we are root
  unsigned timeout_seconds = 60;  // a run that hangs is ended by SIGALRM
  rlim_t stack_bytes = 0;         // a limit on the child's stack, or none
  std::vector<std::pair<std::string, std::string>> environment;
};

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  long peak_rss_kib = 0;
};

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(got));
  close(fd);
  return text;
}

constexpr uid_t NOBODY = 65534;

// Runs the command in `dir`; only called with outputs small enough for the
// pipes, so reading them one after the other cannot block the child.
Outcome launch_in(const std::string& dir, const Launch& launch) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) std::abort();
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    if (launch.stdout_to_dev_full) {
      const int full = open("/dev/full", O_WRONLY);
      dup2(full, STDOUT_FILENO);
    }
    if (launch.close_stdout) close(STDOUT_FILENO);
    if (launch.close_stderr) close(STDERR_FILENO);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
      if (fd > STDERR_FILENO) close(fd);
    }
    for (const auto& [name, value] : launch.environment) setenv(name.c_str(), value.c_str(), 1);
    if (launch.as_nobody && geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(126);
    }
    alarm(launch.timeout_seconds);
    if (launch.stack_bytes != 0) {
      const struct rlimit stack { launch.stack_bytes, launch.stack_bytes };
      if (setrlimit(RLIMIT_STACK, &stack) != 0) _exit(125);
    }
    std::vector<char*> argv;
    std::transform(launch.command.begin(), launch.command.end(), std::back_inserter(argv),
                   [](const std::string& word) { return const_cast<char*>(word.c_str()); });
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  Outcome outcome;
  outcome.out = drain(out_pipe[0]);
  outcome.err = drain(err_pipe[0]);
  int wait_status = 0;
  struct rusage usage {};
  while (wait4(child, &wait_status, 0, &usage) < 0 && errno == EINTR) {
  }
  outcome.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  // Linux carries the peak over exec, so this also covers the forked test
  // process: an upper bound on the program's own peak.
  outcome.peak_rss_kib = usage.ru_maxrss;
  return outcome;
}

Outcome run_in(const std::string& dir) { return launch_in(dir, Launch{}); }

bool exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

// The two error lines and the status of a value file that cannot be opened.
void expect_open_failure(const Outcome& outcome) {
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "ERROR:  Failed to open file 'Data'.\nAborting...\n");
  EXPECT_EQ(outcome.status, 1);
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// Checks the three report lines without knowing the clock's seed.
void expect_report(const Outcome& outcome, const std::string& echo, const std::string& sorted) {
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  const std::string head = "Sorting: " + echo + "\nSorted: " + sorted + "\nRandomly Sorted ";
  ASSERT_EQ(outcome.out.substr(0, head.size()), head) << outcome.out;
  const std::string tail = outcome.out.substr(head.size());
  EXPECT_NE(tail.find_first_of("123456789"), std::string::npos);
  EXPECT_EQ(tail.substr(tail.find_first_not_of("0123456789")), " times.\n");
}

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

// Permission failures need a user that permissions apply to: as root the
// program runs as nobody, from a copy that nobody can reach wherever the
// build tree lies; otherwise it runs as ourselves.
Launch restricted() {
  static const TempDir reachable;
  static const std::string copy = [] {
    chmod(reachable.path().c_str(), 0755);
    std::string path = reachable.path() + "/shufflesort";
    std::ifstream in(SHUFFLESORT_BINARY, std::ios::binary);
    std::ofstream(path, std::ios::binary) << in.rdbuf();
    chmod(path.c_str(), 0755);
    return path;
  }();
  Launch launch;
  launch.command = {copy};
  launch.as_nobody = true;
  return launch;
}

TEST(Faults, UnreadableFileIsAnOpenFailure) {
  const TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  const std::string path = dir.write("sortdata.txt", "3 1 2");
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  expect_open_failure(launch_in(dir.path(), restricted()));
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  EXPECT_EQ(read_file(path), "3 1 2");
}

TEST(Faults, MissingFileInReadOnlyDirectoryIsAnOpenFailure) {
  const TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
  expect_open_failure(launch_in(dir.path(), restricted()));
  EXPECT_FALSE(exists(dir.path() + "/sortdata.txt"));
}

TEST(Faults, LinkToDevZeroReadsNoValues) {
  const TempDir dir;
  ASSERT_EQ(symlink("/dev/zero", (dir.path() + "/sortdata.txt").c_str()), 0);
  expect_report(run_in(dir.path()), "", "");
}

TEST(Faults, FifoWithoutAWriterReadsAsEmpty) {
  const TempDir dir;
  ASSERT_EQ(mkfifo((dir.path() + "/sortdata.txt").c_str(), 0600), 0);
  Launch launch;
  launch.timeout_seconds = 10;
  expect_report(launch_in(dir.path(), launch), "", "");
}

TEST(Faults, ReadsAFifoFromItsWriter) {
  const TempDir dir;
  const std::string path = dir.path() + "/sortdata.txt";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  // This end stays open for writing during the run; the 0x1A byte ends the
  // data, so the program need not wait for the writer to close.
  const int writer = open(path.c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  const char text[] = "5 3\n4\n\x1a";
  ASSERT_EQ(write(writer, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
  Launch launch;
  launch.timeout_seconds = 10;
  expect_report(launch_in(dir.path(), launch), "5 3 4 ", "3 4 5 ");
  close(writer);
}

// In a sticky directory open to all, a link is followed only when it is the
// runner's own or the directory owner's; elsewhere any link is followed.
TEST(Faults, LinksPlantedInStickyDirectoriesAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant a link owned by another user";
  const TempDir dir;
  dir.write("secret.txt", "3 1 2");
  const std::string link = dir.path() + "/sortdata.txt";
  ASSERT_EQ(symlink("secret.txt", link.c_str()), 0);
  ASSERT_EQ(lchown(link.c_str(), NOBODY, NOBODY), 0);

  expect_report(run_in(dir.path()), "3 1 2 ", "1 2 3 ");  // not sticky: followed
  ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
  expect_open_failure(run_in(dir.path()));  // planted by nobody: refused
  ASSERT_EQ(chown(dir.path().c_str(), NOBODY, NOBODY), 0);
  expect_report(run_in(dir.path()), "3 1 2 ", "1 2 3 ");  // the directory owner's
  ASSERT_EQ(chown(dir.path().c_str(), 0, 0), 0);
  ASSERT_EQ(lchown(link.c_str(), 0, 0), 0);
  expect_report(run_in(dir.path()), "3 1 2 ", "1 2 3 ");  // the runner's own
}

TEST(Faults, HugeFileIsReadInFlatMemory) {
  const TempDir dir;
  {
    std::ofstream file(dir.path() + "/sortdata.txt", std::ios::binary);
    const std::string chunk = std::string(1022, ' ') + "\r\n";
    for (int i = 0; i < 64 * 1024; ++i) file << chunk;  // 64 MiB of white space
    file << "\t-3\r\n0x10 7\r\n";
  }
  const Outcome outcome = run_in(dir.path());
  expect_report(outcome, "-3 16 7 ", "-3 7 16 ");

  const TempDir small;
  small.write("sortdata.txt", "-3 16 7");
  const Outcome baseline = run_in(small.path());
  EXPECT_LT(outcome.peak_rss_kib - baseline.peak_rss_kib, 1024) << "memory grows with the file";
#ifndef SHUFFLESORT_SANITIZED  // the sanitizers' runtime takes memory of its own
  EXPECT_LT(outcome.peak_rss_kib, 8 * 1024);
#endif
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

// The built program run as its own process in temporary directories: what it
// writes, its exit status, and what it leaves on disk.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

// How the child's standard streams and identity are set up.
struct Launch {
  std::vector<std::string> command{SHUFFLESORT_BINARY};
  bool stdout_to_dev_full = false;
  bool close_stdout = false;
  bool close_stderr = false;
  bool as_nobody = false;  // run as an unprivileged user when we are root
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
    if (launch.as_nobody && geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(126);
    }
    std::vector<char*> argv;
    for (const std::string& word : launch.command) argv.push_back(const_cast<char*>(word.c_str()));
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
  outcome.peak_rss_kib = usage.ru_maxrss;
  return outcome;
}

Outcome run_in(const std::string& dir) { return launch_in(dir, Launch{}); }

bool exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

const char OPEN_FAILURE[] = "ERROR:  Failed to open file 'Data'.\nAborting...\n";

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
  Outcome outcome = run_in(dir.path());
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, OPEN_FAILURE);
  EXPECT_EQ(outcome.status, 1);

  const TempDir linked;
  ASSERT_EQ(symlink("nowhere.txt", (linked.path() + "/sortdata.txt").c_str()), 0);
  outcome = run_in(linked.path());
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, OPEN_FAILURE);
  EXPECT_EQ(outcome.status, 1);
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

}  // namespace

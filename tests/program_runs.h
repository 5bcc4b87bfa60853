// Running the built program as its own process in a directory, with its
// standard streams, identity and limits set up, and what it left behind.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

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

inline std::string drain(int fd) {
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
inline Outcome launch_in(const std::string& dir, const Launch& launch) {
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

inline Outcome run_in(const std::string& dir) { return launch_in(dir, Launch{}); }

inline bool exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

// The two error lines and the status of a value file that cannot be opened.
inline void expect_open_failure(const Outcome& outcome) {
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "ERROR:  Failed to open file 'Data'.\nAborting...\n");
  EXPECT_EQ(outcome.status, 1);
}

inline std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// Checks the three report lines without knowing the clock's seed.
inline void expect_report(const Outcome& outcome, const std::string& echo,
                          const std::string& sorted) {
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  const std::string head = "Sorting: " + echo + "\nSorted: " + sorted + "\nRandomly Sorted ";
  ASSERT_EQ(outcome.out.substr(0, head.size()), head) << outcome.out;
  const std::string tail = outcome.out.substr(head.size());
  EXPECT_NE(tail.find_first_of("123456789"), std::string::npos);
  EXPECT_EQ(tail.substr(tail.find_first_not_of("0123456789")), " times.\n");
}

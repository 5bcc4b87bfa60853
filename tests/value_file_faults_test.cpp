// The built program facing value files that are hard to open or read:
// permissions, links, FIFOs, devices and a file of 64 MiB.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "program_runs.h"
#include "temp_dir.h"

namespace {

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

}  // namespace

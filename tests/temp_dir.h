// A temporary directory for one test, removed with everything in it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/shufflesort-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    chmod(path_.c_str(), 0700);  // a test may have made it read-only
    const std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) return;
  }

  const std::string& path() const { return path_; }

  // Writes `bytes` to the file `name` in the directory; returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

 private:
  std::string path_;
};

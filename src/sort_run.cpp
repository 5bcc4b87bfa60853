// The sort run, phase by phase: open, read, echo, copy, seed, attempt loop,
// report, close.
#include "sort_run.h"

#include <unistd.h>

#include <ctime>
#include <optional>
#include <ostream>

#include "max_values.h"
#include "search/search.h"
#include "shuffle.h"
#include "value_reader.h"

namespace shufflesort {

namespace {

// Closes the value file when the run returns, whichever way it ends.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  ~FileCloser() { close(fd_); }

 private:
  int fd_;
};

// Writes `label`, then each value followed by one blank, then the line end.
void write_values_line(std::ostream& out, const char* label, const Value* values, int count) {
  out << label;
  for (int i = 0; i < count; ++i) out << values[i] << ' ';
  out << std::endl;
}

void copy_values(const Value* from, Value* to, int count) {
  for (int k = 0; k < count; ++k) to[k] = from[k];
}

// Moves the generator to the start of the first attempt whose shuffle comes
// out in order and returns how many attempts come before it, so the attempt
// loop draws that one next; nothing when no attempt ever comes out in order.
std::optional<std::uint64_t> skip_to_first_ordered_attempt(Generator& generator,
                                                           const Value* values, int count) {
  const std::optional<std::uint64_t> first =
      first_ordered_attempt(generator.state, values, count, attempt_period(count), widest_kernel());
  if (first)
    generator.state = generator_steps(*first * static_cast<unsigned>(count))(generator.state);
  return first;
}

}  // namespace

std::uint32_t clock_seed() { return static_cast<std::uint32_t>(std::time(nullptr)); }

int run_sort(const char* path, const SeedSource& seed, std::ostream& out, std::ostream& err) {
  const int fd = open_value_file(path);
  if (fd < 0) {
    err << "ERROR:  Failed to open file 'Data'." << std::endl;
    err << "Aborting..." << std::endl;
    return EXIT_TROUBLE;
  }
  const FileCloser closer(fd);

  Value pool[MAX_VALUES];
  Value values[MAX_VALUES];
  Value shuffled[MAX_VALUES];
  Value scratch[MAX_VALUES];
  ValueReader reader(file_blocks(fd));
  const int count = read_values(reader, pool);
  write_values_line(out, "Sorting: ", pool, count);
  copy_values(pool, values, count);

  Generator generator;
  generator.seed(seed());
  std::uint64_t attempts = 0;
  if (count >= 2) {
    // The loop below then draws the attempt found and confirms it with the
    // literal shuffle and order test.
    const std::optional<std::uint64_t> skipped =
        skip_to_first_ordered_attempt(generator, values, count);
    if (!skipped) {
      err << "ERROR:  Shuffles repeat after " << attempt_period(count)
          << " times without coming out in order." << std::endl;
      err << "Aborting..." << std::endl;
      return EXIT_TROUBLE;
    }
    attempts = *skipped;
  }
  // Fewer than two values have no pair to be in order: one attempt is made
  // and reported rather than looping forever.
  bool sorted = false;
  do {
    shuffle(generator, pool, count, shuffled, scratch);
    if (comes_out_in_order(shuffled, count)) sorted = true;
    copy_values(values, pool, count);
    ++attempts;
  } while (!sorted && count >= 2);

  write_values_line(out, "Sorted: ", shuffled, count);
  out << "Randomly Sorted " << attempts << " times." << std::endl;
  return out ? EXIT_OK : EXIT_TROUBLE;
}

}  // namespace shufflesort

// Reading the value file. The standard streams read decimal only, fail on
// out-of-range numerals, know no length limit and give 0x1A no meaning, so the
// numeral syntax is scanned here over the raw bytes, read in 512-byte blocks.
#include "value_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace shufflesort {

namespace {

// The byte that ends the data wherever it stands.
constexpr unsigned char END_OF_DATA_MARK = 0x1A;
// A numeral (sign and base prefix included) is at most this long.
constexpr int MAX_NUMERAL_CHARS = 15;

bool is_white_space(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');  // tab, LF, VT, FF, CR
}

int hex_digit_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Applies the sign and clamps to the nearer bound of the 32-bit range.
Value clamp_to_value(std::uint64_t magnitude, bool negative) {
  constexpr std::uint64_t max_positive = std::numeric_limits<Value>::max();
  if (negative) {
    if (magnitude > max_positive) return std::numeric_limits<Value>::min();
    return static_cast<Value>(-static_cast<std::int64_t>(magnitude));
  }
  return static_cast<Value>(magnitude > max_positive ? max_positive : magnitude);
}

// Opens an existing file for reading only, without following a final
// symbolic link when `follow_link` is false; -1 with errno set on failure.
// O_NONBLOCK keeps a FIFO without a writer from blocking the open.
int open_existing(const char* path, bool follow_link) {
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (follow_link ? 0 : O_NOFOLLOW));
}

// Creates a missing file, empty and writable by its user (0666 less the
// umask); O_EXCL refuses to follow a symbolic link, dangling or not.
int create_missing(const char* path) {
  return open(path, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
}

// The directory that holds `path`: what comes before its last '/'.
std::string directory_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ".";
  if (slash == path) return "/";
  return {path, static_cast<std::size_t>(slash - path)};
}

// Whether the symbolic link at `path` may be followed. In a sticky directory
// that anyone may write to, such as /tmp, another user may have planted it:
// it is followed only when it belongs to the user running or to the
// directory's owner, the rule of the kernel's fs.protected_symlinks.
bool link_may_be_followed(const char* path) {
  struct stat link {};
  struct stat directory {};
  if (lstat(path, &link) != 0 || stat(directory_of(path).c_str(), &directory) != 0) return false;
  const bool sticky_and_open =
      (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
  return !sticky_and_open || link.st_uid == geteuid() || link.st_uid == directory.st_uid;
}

// Opens the file, following a symbolic link only when that is safe.
int open_following_safe_links(const char* path) {
  const int fd = open_existing(path, false);
  if (fd >= 0 || errno != ELOOP) return fd;
  if (!link_may_be_followed(path)) return -1;
  return open_existing(path, true);
}

}  // namespace

int open_value_file(const char* path) {
  int fd = open_following_safe_links(path);
  if (fd < 0 && errno == ENOENT) {
    fd = create_missing(path);
    // Another process may have created it between the two opens.
    if (fd < 0 && errno == EEXIST) fd = open_following_safe_links(path);
  }
  if (fd < 0) return -1;
  // Linux opens a directory for reading; it is no value file all the same.
  // Reads wait for a FIFO's writer as usual once the file is open.
  struct stat status {};
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

BlockSource file_blocks(int fd) {
  return [fd](unsigned char* buffer, std::size_t capacity) -> std::size_t {
    for (;;) {
      const ssize_t got = read(fd, buffer, capacity);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) return 0;  // a read error ends the data
    }
  };
}

// Looks at the next byte without taking it. A carriage return is delivered
// as it stands: it is white space like the line feed it may precede, so the
// text-mode CR LF translation could never change a value read.
int ValueReader::peek() {
  if (position_ == length_) {
    if (data_ended_) return END_OF_DATA;
    position_ = 0;
    length_ = source_(block_, BLOCK_SIZE);
    const void* mark = std::memchr(block_, END_OF_DATA_MARK, length_);
    if (mark != nullptr) {
      length_ = static_cast<std::size_t>(static_cast<const unsigned char*>(mark) - block_);
      data_ended_ = true;
    }
    if (length_ == 0) {
      data_ended_ = true;
      return END_OF_DATA;
    }
  }
  return block_[position_];
}

// Consumes white space; false when the data ends first.
bool ValueReader::skip_white_space() {
  for (int c = peek(); c != END_OF_DATA; c = peek()) {
    if (!is_white_space(c)) return true;
    take();
  }
  return false;
}

bool ValueReader::extract(Value& target) {
  if (eof_ || fail_) {
    fail_ = true;
    return false;
  }
  if (!skip_white_space()) {
    eof_ = fail_ = true;
    return false;
  }
  enum class Base { decimal, octal, hexadecimal };
  Base base = Base::decimal;
  bool negative = false;
  bool after_leading_zero = false;  // the previous character was a leading '0'
  int chars = 0;
  int digits = 0;
  std::uint64_t magnitude = 0;  // 14 hex digits at most: cannot overflow
  while (chars < MAX_NUMERAL_CHARS) {
    const int c = peek();
    if (c == END_OF_DATA) {
      eof_ = true;
      break;
    }
    if (chars == 0 && (c == '+' || c == '-')) {
      negative = c == '-';
    } else if (after_leading_zero && (c == 'x' || c == 'X')) {
      after_leading_zero = false;
      base = Base::hexadecimal;
      digits = 0;  // the prefix's '0' is not a digit of the numeral
    } else if (base == Base::hexadecimal) {
      const int value = hex_digit_value(c);
      if (value < 0) break;
      magnitude = magnitude * 16 + static_cast<unsigned>(value);
      ++digits;
    } else {
      if (after_leading_zero) base = Base::octal;  // a leading '0' not followed by 'x'
      const int highest_digit = base == Base::octal ? int{'7'} : int{'9'};
      if (c < '0' || c > highest_digit) break;
      after_leading_zero = digits == 0 && c == '0';
      magnitude = magnitude * (base == Base::octal ? 8 : 10) + static_cast<unsigned>(c - '0');
      ++digits;
    }
    take();
    ++chars;
  }
  if (digits == 0) {
    // Nothing is read after a failure, so the rejected characters need not
    // be put back.
    fail_ = true;
    target = 0;
    return false;
  }
  target = clamp_to_value(magnitude, negative);
  return true;
}

int read_values(ValueReader& reader, Value (&pool)[MAX_VALUES]) {
  int count = 0;
  Value value = 0;
  while (count < MAX_VALUES && reader.extract(value)) pool[count++] = value;
  return count;
}

}  // namespace shufflesort

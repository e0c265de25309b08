// Reads a text file of number pairs (edge lists, matrix entries) line by line, and reads the numbers
// of a plain line "<digits><blank><digits>" at once, eight digits per step, without scanning the
// line twice. Blocks of whole lines are read by read(2) into a buffer with readable slack after them,
// so that the parser may load eight bytes from any position of a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

class PairLineReader {
 public:
  enum class Kind { pair, line, end, error };

  PairLineReader() = default;
  PairLineReader(const PairLineReader&) = delete;
  PairLineReader& operator=(const PairLineReader&) = delete;
  ~PairLineReader();

  /// Opens the file for reading; false when it cannot be opened or is a directory (see error()).
  bool open(const char* path);

  /// The next line, without its newline, in *line (valid until the next call). `pair` when the line
  /// is two numbers of at most 19 digits separated by one space or tab, followed by nothing, a
  /// carriage return, or a blank and anything; the numbers are then in *first and *second. `line`
  /// for any other line, which the caller reads itself. `end` after the last line, `error` when
  /// reading failed (see error()). A last line without a final newline is a line too.
  Kind next(uint64_t* first, uint64_t* second, std::string_view* line) {
    if (position == blockEnd && !refill()) return atEnd ? Kind::end : Kind::error;
    ++linesRead;
    const char* start = position;
    const char* p = start;
    if (readNumber(&p, first) && (*p == ' ' || *p == '\t')) {
      ++p;
      if (readNumber(&p, second)) {
        if (*p == '\n' || (*p == '\r' && p[1] == '\n')) {
          const char* newline = *p == '\n' ? p : p + 1;
          *line = std::string_view(start, static_cast<size_t>(p - start));
          position = newline + 1;
          return Kind::pair;
        }
        if (*p == ' ' || *p == '\t') {
          const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(blockEnd - p)));
          *line = std::string_view(start, static_cast<size_t>(newline - start));
          position = newline + 1;
          return Kind::pair;
        }
      }
    }
    const char* newline = static_cast<const char*>(std::memchr(start, '\n', static_cast<size_t>(blockEnd - start)));
    *line = std::string_view(start, static_cast<size_t>(newline - start));
    position = newline + 1;
    return Kind::line;
  }

  /// The errno of the failed open or read.
  int error() const { return errorNumber; }

  /// Size of the file when it was opened (0 for a pipe or other stream).
  long long size() const { return fileSize; }

  /// Number of lines returned so far; the line just returned has this number, counting from 1.
  long long lineNumber() const { return linesRead; }

  /// Bytes of the file returned as lines so far, newlines included.
  long long bytesReturned() const { return bytesBefore + (position - buffer.data()); }

 private:
  // Reads the digits at *p (at least 1, at most 19, so that the value fits) into *value and moves *p
  // past them; false, with *p unchanged, for no digit or more than 19. Loads 8 bytes at a time,
  // which the slack allows.
  static bool readNumber(const char** p, uint64_t* value) {
    uint64_t high;
    const int count = digitsIn(*p, &high);
    if (count == 0) return false;
    if (count < 8) {
      *value = high;
      *p += count;
      return true;
    }
    uint64_t middle;
    const int more = digitsIn(*p + 8, &middle);
    if (more < 8) {
      *value = high * powersOfTen[more] + middle;
      *p += 8 + more;
      return true;
    }
    uint64_t low;
    const int last = digitsIn(*p + 16, &low);
    if (last > 3) return false;
    *value = (high * powersOfTen[8] + middle) * powersOfTen[last] + low;
    *p += 16 + last;
    return true;
  }

  // The number of leading digits (0 to 8) of the 8 bytes at p, and their value in *value.
  static int digitsIn(const char* p, uint64_t* value) {
    uint64_t chunk;
    std::memcpy(&chunk, p, 8);
    const uint64_t x = chunk ^ 0x3030303030303030ULL;  // digits become the bytes 0 to 9
    // The high bit of a byte is set for a byte that is no digit (its value 10 or more); a carry from
    // such a byte may mark the bytes after it too, which does not move the first mark.
    const uint64_t marks = ((x + 0x7676767676767676ULL) | x) & 0x8080808080808080ULL;
    const int count = marks == 0 ? 8 : __builtin_ctzll(marks) / 8;
    if (count == 0) {
      *value = 0;
      return 0;
    }
    // The digits moved to the high end (zeros before them), then combined pairwise: 2, 4, 8 digits.
    uint64_t digits = (x << (8 * (8 - count))) & 0x0F0F0F0F0F0F0F0FULL;
    digits = (digits * 10 + (digits >> 8)) & 0x00FF00FF00FF00FFULL;
    digits = (digits * 100 + (digits >> 16)) & 0x0000FFFF0000FFFFULL;
    *value = (digits * 10000 + (digits >> 32)) & 0xFFFFFFFFULL;
    return count;
  }

  // Moves the unread part of the buffer to its front and reads the next block of whole lines; false
  // at the end of the file or on an error.
  bool refill();

  static constexpr uint64_t powersOfTen[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
  static constexpr size_t slack = 32;  // the parser loads up to 24 bytes from a newline on

  int fd = -1;
  std::vector<char> buffer;        // the block, then `slack` readable bytes
  const char* position = nullptr;  // the next line
  const char* blockEnd = nullptr;  // after the last newline of the block
  size_t filled = 0;               // bytes of the buffer holding file data
  long long bytesBefore = 0;       // file bytes before the buffer's first byte
  bool atEnd = false;
  int errorNumber = 0;
  long long linesRead = 0;
  long long fileSize = 0;
};

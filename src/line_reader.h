// Reads a text file line by line through large read(2) calls, without per-line allocation, and
// tells a read error apart from the end of the file. Lines are the bytes between newlines.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

class LineReader {
 public:
  enum class Status { line, end, error };

  LineReader() = default;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader();

  /// Opens the file for reading; false when it cannot be opened or is a directory (see error()).
  bool open(const char* path);

  /// The next line without its newline, valid until the next call; a last line without a final
  /// newline is a line too. `end` after the last line; `error` when reading failed (see error()).
  Status next(std::string_view* line);

  /// The errno of the failed open or read.
  int error() const { return errorNumber; }

  /// Size of the file when it was opened (0 for a pipe or other stream).
  long long size() const { return fileSize; }

  /// Number of lines returned so far; the line just returned has this number, counting from 1.
  long long lineNumber() const { return linesRead; }

 private:
  int fd = -1;
  std::vector<char> buffer;
  size_t begin = 0;    // first byte not yet returned
  size_t filled = 0;   // bytes of the buffer holding file data
  size_t scanned = 0;  // bytes from `begin` known to hold no newline
  bool atEnd = false;
  int errorNumber = 0;
  long long linesRead = 0;
  long long fileSize = 0;
};

// Reads a text file line by line through large reads, without per-line allocation, and tells a read
// error apart from the end of the file. Lines are the bytes between newlines. A reader may also cover
// only the lines that start in one byte range of a file, so that several readers split a file.
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

  /// Opens the file for reading from its start, closing any file opened before; false when it cannot
  /// be opened or is a directory (see error()).
  bool open(const char* path);

  /// Reads, through the descriptor `fd` (not closed by this reader), the lines that start at a byte
  /// offset in [first, last): the first is the line that starts at `first` or after it, the last
  /// one runs past `last` to its newline or to the end of the file.
  void openRange(int fd, long long first, long long last);

  /// The next line without its newline, valid until the next call; a last line without a final
  /// newline is a line too. `end` after the last line; `error` when reading failed (see error()).
  Status next(std::string_view* line);

  /// The next run of whole lines, each with its newline (only a last line of the file may lack it),
  /// valid until the next call; for readers that split lines themselves. The readablePast bytes
  /// after the run may be read (their values are unspecified), so that a parser may load words
  /// without checking the end. lineNumber() does not count these lines. `end` and `error` as for next().
  Status nextLines(std::string_view* text);

  static constexpr size_t readablePast = 16;

  /// The errno of the failed open or read; 0 when nothing failed.
  int error() const { return errorNumber; }

  /// Size of the file when it was opened (0 for a pipe or other stream).
  long long size() const { return fileSize; }

  /// Whether the opened file is a regular file, whose size is known.
  bool regular() const { return isRegular; }

  /// The descriptor of the opened file, for readers of ranges of it; -1 when none is open.
  int descriptor() const { return fd; }

  /// Number of lines returned so far; the line just returned has this number, counting from 1.
  long long lineNumber() const { return linesRead; }

 private:
  void close();
  void startBuffer(size_t wanted);
  bool refill();
  bool skipToLineStart();

  int fd = -1;
  bool ownsFd = false;
  bool isRegular = false;
  std::vector<char> buffer;
  size_t begin = 0;    // first byte not yet returned
  size_t filled = 0;   // bytes of the buffer holding file data
  size_t scanned = 0;  // bytes from `begin` known to hold no newline
  bool atEnd = false;
  int errorNumber = 0;
  long long linesRead = 0;
  long long fileSize = 0;
  // Range mode: reads go through pread from `readOffset`; `bufferOffset` is the file offset of
  // buffer[0]; lines that start at `stopOffset` or later belong to another reader.
  bool ranged = false;
  bool skipPartialLine = false;
  long long readOffset = 0;
  long long bufferOffset = 0;
  long long stopOffset = 0;
};

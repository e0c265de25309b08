// Buffered line reading over a file descriptor. The buffer grows only for lines longer than it, and
// a partly scanned line is never scanned again, so reading is linear in the file size.
#include "line_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr size_t initialBufferSize = size_t{1} << 20;
constexpr size_t minimumBufferSize = 4096;

}  // namespace

LineReader::~LineReader() {
  if (fd >= 0) close(fd);
}

bool LineReader::open(const char* path) {
  fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    errorNumber = errno;
    return false;
  }
  struct stat info;
  const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (regular) fileSize = info.st_size;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    errorNumber = EISDIR;
    close(fd);
    fd = -1;
    return false;
  }
  // A small file gets a buffer of its size (plus one byte, so that the end shows in the first
  // read); the buffer still grows if the file does.
  size_t size = initialBufferSize;
  if (regular && fileSize >= 0 && static_cast<unsigned long long>(fileSize) < size) {
    size = std::max(minimumBufferSize, static_cast<size_t>(fileSize) + 1);
  }
  buffer.resize(size);
  return true;
}

LineReader::Status LineReader::next(std::string_view* line) {
  if (fd < 0) return atEnd ? Status::end : Status::error;
  for (;;) {
    char* start = buffer.data() + begin;
    if (void* newline = std::memchr(start + scanned, '\n', filled - begin - scanned)) {
      size_t length = static_cast<char*>(newline) - start;
      *line = std::string_view(start, length);
      begin += length + 1;
      scanned = 0;
      ++linesRead;
      return Status::line;
    }
    scanned = filled - begin;
    if (atEnd) {
      if (begin == filled) return Status::end;
      *line = std::string_view(start, filled - begin);
      begin = filled;
      scanned = 0;
      ++linesRead;
      return Status::line;
    }
    if (begin > 0) {
      std::memmove(buffer.data(), buffer.data() + begin, filled - begin);
      filled -= begin;
      begin = 0;
    }
    if (filled == buffer.size()) buffer.resize(buffer.size() * 2);
    ssize_t got;
    do {
      got = read(fd, buffer.data() + filled, buffer.size() - filled);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      errorNumber = errno;
      return Status::error;
    }
    if (got == 0) {
      atEnd = true;
    } else {
      filled += static_cast<size_t>(got);
    }
  }
}

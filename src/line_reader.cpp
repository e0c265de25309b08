// Buffered line reading over a file descriptor. The buffer grows only for lines longer than it, and
// a partly scanned line is never scanned again, so reading is linear in the file size.
#include "line_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

namespace {

constexpr size_t initialBufferSize = size_t{1} << 20;
constexpr size_t minimumBufferSize = 4096;

}  // namespace

LineReader::~LineReader() { close(); }

void LineReader::close() {
  if (ownsFd && fd >= 0) ::close(fd);
  fd = -1;
  ownsFd = false;
  isRegular = false;
  begin = filled = scanned = 0;
  atEnd = false;
  errorNumber = 0;
  linesRead = 0;
  fileSize = 0;
  ranged = false;
  skipPartialLine = false;
  readOffset = bufferOffset = stopOffset = 0;
}

// A small input gets a buffer of its size (plus one byte, so that the end shows in the first read);
// the buffer still grows for longer lines or a file that grows.
void LineReader::startBuffer(size_t wanted) {
  const size_t size = std::max(minimumBufferSize, std::min(initialBufferSize, wanted));
  if (buffer.size() != size + readablePast) std::vector<char>(size + readablePast).swap(buffer);
}

bool LineReader::open(const char* path) {
  close();
  fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    errorNumber = errno;
    return false;
  }
  ownsFd = true;
  struct stat info;
  if (fstat(fd, &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      close();
      errorNumber = EISDIR;
      return false;
    }
    isRegular = S_ISREG(info.st_mode);
    if (isRegular) fileSize = info.st_size;
  }
  startBuffer(isRegular && fileSize >= 0 ? static_cast<size_t>(fileSize) + 1 : initialBufferSize);
  return true;
}

void LineReader::openRange(int descriptor, long long first, long long last) {
  assert(descriptor >= 0 && 0 <= first && first <= last);
  close();
  fd = descriptor;
  ranged = true;
  // A range that starts inside a line leaves that line to the reader before it: the bytes up to the
  // first newline at or after first - 1 are skipped.
  skipPartialLine = first > 0;
  readOffset = bufferOffset = first > 0 ? first - 1 : 0;
  stopOffset = last;
  startBuffer(static_cast<size_t>(last - first) + 2);
}

// Moves the unreturned bytes to the front, grows a full buffer, and reads more; false on an error.
bool LineReader::refill() {
  if (begin > 0) {
    std::memmove(buffer.data(), buffer.data() + begin, filled - begin);
    bufferOffset += static_cast<long long>(begin);
    filled -= begin;
    begin = 0;
  }
  // The last readablePast bytes only pad the buffer.
  const size_t room = buffer.size() - readablePast;
  if (filled == room) buffer.resize(2 * room + readablePast);
  ssize_t got;
  do {
    got = ranged ? pread(fd, buffer.data() + filled, buffer.size() - readablePast - filled, readOffset)
                 : read(fd, buffer.data() + filled, buffer.size() - readablePast - filled);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    errorNumber = errno;
    return false;
  }
  if (got == 0) {
    atEnd = true;
  } else {
    filled += static_cast<size_t>(got);
    readOffset += got;
  }
  return true;
}

// Drops the bytes of the line cut by the start of a range; false while its newline is not yet read.
bool LineReader::skipToLineStart() {
  char* start = buffer.data() + begin;
  if (void* newline = std::memchr(start, '\n', filled - begin)) {
    begin += static_cast<size_t>(static_cast<char*>(newline) - start) + 1;
    skipPartialLine = false;
    return true;
  }
  begin = filled;  // the skipped bytes are not kept, however long the line
  return false;
}

LineReader::Status LineReader::next(std::string_view* line) {
  if (fd < 0) {
    if (errorNumber == 0 && !atEnd) errorNumber = EBADF;  // next() on a reader that was never opened
    return atEnd ? Status::end : Status::error;
  }
  if (errorNumber != 0) return Status::error;
  for (;;) {
    if (!skipPartialLine || skipToLineStart()) {
      if (ranged && bufferOffset + static_cast<long long>(begin) >= stopOffset) return Status::end;
      char* start = buffer.data() + begin;
      if (void* newline = std::memchr(start + scanned, '\n', filled - begin - scanned)) {
        size_t length = static_cast<size_t>(static_cast<char*>(newline) - start);
        *line = std::string_view(start, length);
        begin += length + 1;
        scanned = 0;
        ++linesRead;
        return Status::line;
      }
      scanned = filled - begin;
      if (atEnd && begin < filled) {
        *line = std::string_view(start, filled - begin);
        begin = filled;
        scanned = 0;
        ++linesRead;
        return Status::line;
      }
    }
    if (atEnd) return Status::end;
    if (!refill()) return Status::error;
  }
}

LineReader::Status LineReader::nextLines(std::string_view* text) {
  if (fd < 0) {
    if (errorNumber == 0 && !atEnd) errorNumber = EBADF;
    return atEnd ? Status::end : Status::error;
  }
  if (errorNumber != 0) return Status::error;
  for (;;) {
    if (!skipPartialLine || skipToLineStart()) {
      if (ranged && bufferOffset + static_cast<long long>(begin) >= stopOffset) return Status::end;
      char* start = buffer.data() + begin;
      const size_t available = filled - begin;
      size_t length = 0;
      if (void* newline = memrchr(start + scanned, '\n', available - scanned)) {
        length = static_cast<size_t>(static_cast<char*>(newline) - start) + 1;
        // A range ends with the line in which its last byte lies.
        const long long lastByte = stopOffset - 1 - bufferOffset - static_cast<long long>(begin);
        if (ranged && lastByte < static_cast<long long>(length) - 1) {
          const char* cut = static_cast<const char*>(std::memchr(start + lastByte, '\n', length - lastByte));
          length = static_cast<size_t>(cut - start) + 1;
        }
      } else if (atEnd) {
        length = available;
      }
      if (length > 0) {
        *text = std::string_view(start, length);
        begin += length;
        scanned = 0;
        return Status::line;
      }
      scanned = available;
    }
    if (atEnd) return Status::end;
    if (!refill()) return Status::error;
  }
}

// Block reading for PairLineReader: every block ends at a newline (one is added after a last line
// without it), and the bytes of a partial line after the block are kept for the next one.
#include "pair_line_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr size_t blockSize = size_t{1} << 20;
constexpr size_t minimumBlockSize = 4096;

}  // namespace

PairLineReader::~PairLineReader() {
  if (fd >= 0) close(fd);
}

bool PairLineReader::open(const char* path) {
  fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    errorNumber = errno;
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    errorNumber = EISDIR;
    close(fd);
    fd = -1;
    return false;
  }
  const bool regular = S_ISREG(info.st_mode);
  if (regular) fileSize = info.st_size;
  // A small file gets a block of its size (plus the newline that may be added); the block still
  // grows for a line longer than it.
  size_t size = blockSize;
  if (regular && fileSize >= 0 && static_cast<unsigned long long>(fileSize) < size) {
    size = std::max(minimumBlockSize, static_cast<size_t>(fileSize) + 2);
  }
  buffer.assign(size + slack, '\0');
  position = blockEnd = buffer.data();
  return true;
}

bool PairLineReader::refill() {
  if (fd < 0) return false;
  const size_t consumed = static_cast<size_t>(blockEnd - buffer.data());
  bytesBefore += static_cast<long long>(consumed);
  std::copy(buffer.data() + consumed, buffer.data() + filled, buffer.data());
  filled -= consumed;
  size_t searched = filled;  // the kept bytes hold no newline
  for (;;) {
    const size_t capacity = buffer.size() - slack;
    if (atEnd) {
      if (filled == 0) {
        position = blockEnd = buffer.data();
        return false;
      }
      if (filled == capacity) buffer.resize(2 * capacity + slack, '\0');
      buffer[filled++] = '\n';
      position = buffer.data();
      blockEnd = buffer.data() + filled;
      return true;
    }
    if (filled == capacity) buffer.resize(2 * capacity + slack, '\0');
    ssize_t got;
    do {
      got = read(fd, buffer.data() + filled, buffer.size() - slack - filled);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      errorNumber = errno;
      position = blockEnd = buffer.data();
      return false;
    }
    if (got == 0) {
      atEnd = true;
      continue;
    }
    filled += static_cast<size_t>(got);
    const char* lastNewline = static_cast<const char*>(memrchr(buffer.data() + searched, '\n', filled - searched));
    searched = filled;
    if (lastNewline != nullptr) {
      position = buffer.data();
      blockEnd = lastNewline + 1;
      return true;
    }
  }
}

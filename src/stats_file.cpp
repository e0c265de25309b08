// Statistics file life. The temporary file is reused while nothing is kept, so a query that keeps
// nothing costs no file operation; numbered files left by an earlier run are found by one scan of
// the directory. Locks are open-file-description locks (flock where those are missing): they belong
// to the open file, so they are released when the process ends however it ends, and they are seen by
// every process that opens the file, whatever its pid namespace, and across hosts on NFS.
#include "stats_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

#include "fatal_error.h"

namespace {

constexpr char temporaryPrefix[] = ".sgmatch-";
constexpr char temporarySuffix[] = ".tmp";

// Takes a lock on the whole file without waiting: exclusive for the writer, shared for the scan;
// false when another open file holds a conflicting one.
bool tryLock(int fd, bool exclusive) {
#ifdef F_OFD_SETLK
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
  if (errno != EINVAL) return false;
#endif
  return flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
}

// Whether `name` (relative to the directory descriptor) still names the file open as `fd`.
bool stillNamed(int directoryFd, const char* name, int fd) {
  struct stat named, opened;
  return fstatat(directoryFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &opened) == 0 &&
         named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

// 64 bits no other process can guess: a planted link cannot wait under the name.
uint64_t unpredictableNumber() {
  uint64_t value = 0;
  if (getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
  std::random_device device;
  return (uint64_t{device()} << 32) ^ device();
}

bool isTemporaryName(const char* name) {
  const size_t length = std::strlen(name);
  const size_t prefix = sizeof temporaryPrefix - 1, suffix = sizeof temporarySuffix - 1;
  return length > prefix + suffix && std::strncmp(name, temporaryPrefix, prefix) == 0 &&
         std::strcmp(name + length - suffix, temporarySuffix) == 0;
}

// The query number a directory entry names, or -1 when it is not a canonical decimal number.
long long entryNumber(const char* name) {
  if (name[0] < '0' || name[0] > '9' || (name[0] == '0' && name[1] != '\0')) return -1;
  long long value = 0;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || value > INT_MAX) return -1;
    value = value * 10 + (*p - '0');
  }
  return value <= INT_MAX ? value : -1;
}

// Removes the temporary file `name` when nobody holds it locked. The lock is held while the name is
// removed, and the name must still lead to the file that was locked, so a writer that created the
// file a moment ago either holds its lock first or finds its file gone and makes another.
void removeIfStale(int directoryFd, const char* name) {
  const int fd = openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && tryLock(fd, false) && stillNamed(directoryFd, name, fd)) {
    unlinkat(directoryFd, name, 0);
  }
  close(fd);
}

}  // namespace

StatsFile::~StatsFile() {
  closeTemporary();
  releaseTemporarySlot(slot);
}

void StatsFile::scanDirectory() {
  staleListings.clear();
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    if (isTemporaryName(entry->d_name)) {
      removeIfStale(dirfd(dir), entry->d_name);
      continue;
    }
    const long long number = entryNumber(entry->d_name);
    // A set, not a table indexed by number: a stray file named 2147483647 costs one entry.
    if (number >= 0) staleListings.insert(static_cast<int>(number));
  }
  closedir(dir);
}

bool StatsFile::createTemporary() {
  if (slot < 0) slot = reserveTemporarySlot();
  for (int attempt = 0; attempt < 64; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%d-%016llx%s", temporaryPrefix, static_cast<int>(getpid()),
                  static_cast<unsigned long long>(unpredictableNumber()), temporarySuffix);
    temporaryPath = directory + "/" + name;
    // Registered before it exists, so that a signal arriving just after the file is created
    // still removes it.
    registerTemporaryFile(slot, temporaryPath.c_str());
    fd = ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      registerTemporaryFile(slot, nullptr);
      if (errno == EEXIST) continue;
      return false;
    }
    // A scan of another run may have taken the file for a stale one before it was locked: then it
    // is removed, or about to be, and another name is tried.
    if (tryLock(fd, true) && stillNamed(AT_FDCWD, temporaryPath.c_str(), fd)) return true;
    close(fd);
    fd = -1;
    registerTemporaryFile(slot, nullptr);
  }
  return false;
}

void StatsFile::open(const std::string& path, int queryNumber) {
  if (path != directory) {
    // The files of another directory: its own temporary file and its own scan.
    closeTemporary();
    directory = path;
    scanned = false;
  }
  finalPath = directory + "/" + std::to_string(queryNumber);
  if (!scanned) {
    scanDirectory();
    scanned = true;
  }
  // A listing left by an earlier run must not survive a run in which this query keeps none.
  if (staleListings.erase(queryNumber) != 0) {
    if (unlink(finalPath.c_str()) != 0 && errno != ENOENT) fatalError("Stats cannot open " + finalPath);
  }
  if (fd < 0 && !createTemporary()) fatalError("Stats cannot open " + finalPath);
}

StatsWriter& StatsFile::begin(int width, StatsWriter::Mode mode) {
  writer.begin(fd, finalPath, width, mode);
  return writer;
}

void StatsFile::keep() {
  writer.finish();
  // Renamed while still locked, so that no scan can take the finished listing for a stale one.
  if (std::rename(temporaryPath.c_str(), finalPath.c_str()) != 0) {
    fatalError("Stats cannot write " + finalPath + ": " + errorText(errno));
  }
  registerTemporaryFile(slot, nullptr);
  const int closing = fd;
  fd = -1;
  // A network file system may report a failed write only when the file is closed.
  if (close(closing) != 0 && errno != EINTR) {
    const int error = errno;
    unlink(finalPath.c_str());
    fatalError("Stats cannot write " + finalPath + ": " + errorText(error));
  }
}

void StatsFile::discard() {
  const bool wrote = writer.wroteAny();
  writer.discard();
  if (fd < 0 || !wrote) return;
  // Empty the temporary file for the next listing.
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) fatalError("Stats cannot open " + finalPath);
}

void StatsFile::closeTemporary() {
  if (fd < 0) return;
  unlink(temporaryPath.c_str());
  close(fd);
  fd = -1;
  registerTemporaryFile(slot, nullptr);
}

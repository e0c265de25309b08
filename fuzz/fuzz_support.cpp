// The scratch directory, file helpers and the process set-up of every target: the library prints
// its messages on standard output, which goes to /dev/null so that libFuzzer's own output stays
// readable, and standard input is empty so that nothing can wait on it.
#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <cstdlib>
#include <cstring>

namespace {

std::string scratchRoot() {
  static std::string root = [] {
    const char* base = std::getenv("TMPDIR");
    std::string prefix = base != nullptr && *base != '\0' ? base : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    std::string pattern = prefix + "/sgmatch-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    fuzzCheck(mkdtemp(buffer.data()) != nullptr, "mkdtemp");
    return std::string(buffer.data());
  }();
  return root;
}

void removeTree(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    clearDirectory(path);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void removeScratch() { removeTree(scratchRoot()); }

}  // namespace

std::string scratchPath(const std::string& name) { return scratchRoot() + "/" + name; }

void writeInput(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  fuzzCheck(fd >= 0, "open the input file");
  size_t done = 0;
  while (done < size) {
    ssize_t wrote = write(fd, data + done, size - done);
    fuzzCheck(wrote > 0, "write the input file");
    done += static_cast<size_t>(wrote);
  }
  close(fd);
}

std::vector<std::string> listEntries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string fileBytes(const std::string& path) {
  std::string bytes;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  char buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(got));
  close(fd);
  return bytes;
}

void clearDirectory(const std::string& path) {
  for (const std::string& name : listEntries(path)) removeTree(path + "/" + name);
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

int32_t plainNumber(const std::string& token) {
  const long long value = std::strtoll(token.c_str(), nullptr, 10);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(value)));
}

void fuzzCheck(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzCheck(std::freopen("/dev/null", "w", stdout) != nullptr, "stdout to /dev/null");
  fuzzCheck(std::freopen("/dev/null", "r", stdin) != nullptr, "stdin from /dev/null");
  // Warnings about arguments go to standard error, where libFuzzer reports; they are not checked here.
  std::cerr.setstate(std::ios::badbit);
  scratchRoot();
  std::atexit(removeScratch);
  return 0;
}

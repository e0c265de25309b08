// Test helpers built on POSIX calls, so that the tests need nothing beyond GoogleTest.
#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace {

// Memory-backed storage where there is some: creating and removing files on a disk mounted with
// discard costs milliseconds, which thousands of small cases would feel.
std::string temporaryBase() {
  const char* base = std::getenv("TMPDIR");
  if (base != nullptr && *base != '\0') return base;
  if (access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  return "/tmp";
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = temporaryBase() + "/sgmatch-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root = buffer.data();
  mkdir((root + "/stats").c_str(), 0755);
}

namespace {

void removeTree(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    chmod(path.c_str(), 0755);
    for (const std::string& name : listDirectory(path)) removeTree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

TempDir::~TempDir() { removeTree(root); }

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool fileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::vector<std::string> listDirectory(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string captureStdout(const std::function<void()>& action) {
  std::cout.flush();
  std::fflush(stdout);
  char name[] = "/tmp/sgmatch-stdout-XXXXXX";
  int fd = mkstemp(name);
  int saved = dup(1);
  dup2(fd, 1);
  action();
  std::cout.flush();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  close(fd);
  std::string text = readFile(name);
  unlink(name);
  return text;
}

namespace {

// In a forked child: replaces it by the program; exit status 127 when that fails.
[[noreturn]] void execute(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& directory, const std::string& input) {
  char outName[] = "/tmp/sgmatch-out-XXXXXX";
  char inName[] = "/tmp/sgmatch-in-XXXXXX";
  int outFd = mkstemp(outName);
  int inFd = mkstemp(inName);
  if (write(inFd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
    throw std::runtime_error("cannot write the child's input");
  }
  lseek(inFd, 0, SEEK_SET);
  std::cout.flush();
  pid_t child = fork();
  if (child == 0) {
    dup2(inFd, 0);
    dup2(outFd, 1);
    if (chdir(directory.c_str()) != 0) _exit(126);
    execute(program, arguments);
  }
  int waitStatus = 0;
  waitpid(child, &waitStatus, 0);
  ProcessResult result;
  result.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
  close(outFd);
  close(inFd);
  result.output = readFile(outName);
  unlink(outName);
  unlink(inName);
  return result;
}

int startProcess(const std::string& program, const std::vector<std::string>& arguments, const std::string& directory,
                 const std::string& outputPath) {
  std::cout.flush();
  pid_t child = fork();
  if (child == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || chdir(directory.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    execute(program, arguments);
  }
  if (child < 0) throw std::runtime_error("fork failed");
  return child;
}

int waitProcess(int pid, bool* bySignal) {
  int waitStatus = 0;
  while (waitpid(pid, &waitStatus, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  if (bySignal != nullptr) *bySignal = WIFSIGNALED(waitStatus);
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

std::string maskTimes(const std::string& report) {
  static const std::regex time("Time/ms: [^ \\n]+");
  static const std::regex average("Average time per query: .*s\\. Done!");
  std::string masked = std::regex_replace(report, time, "Time/ms: T");
  return std::regex_replace(masked, average, "Average time per query: Ts. Done!");
}

void stdoutToStderr() {
  std::cout.flush();
  std::fflush(stdout);
  dup2(2, 1);
}

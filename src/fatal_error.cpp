// The process-wide exit paths. The registered temporary path lives in a fixed buffer, changed only
// while the termination signals are blocked, so that the handler can remove it without allocating
// and never sees half a path. The handler formats its messages by hand and writes them with write(2),
// the only output that is safe in a signal handler.
#include "fatal_error.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <utility>

namespace {

char temporaryPath[4096];
std::atomic<int> runningQuery{-1};
std::atomic<const std::atomic<uint64_t>*> runningCount{nullptr};
std::atomic<int> resultsFd{-1};
std::function<void(const std::string&)> fatalErrorHook;

// The signals that end the run by default: a closed terminal, an interrupt, a reader of standard
// output gone away, a termination request. Each removes the temporary listing first.
const int terminationSignals[] = {SIGHUP, SIGINT, SIGPIPE, SIGTERM};

// Appends text to a fixed buffer without allocating.
struct SignalText {
  char text[256];
  size_t size = 0;
  SignalText& operator<<(const char* part) {
    while (*part != '\0' && size < sizeof text) text[size++] = *part++;
    return *this;
  }
  SignalText& operator<<(uint64_t value) {
    char digits[24];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count > 0 && size < sizeof text) text[size++] = digits[--count];
    return *this;
  }
  void writeTo(int fd) const {
    if (write(fd, text, size) < 0) return;  // nothing is left to report a failure to
  }
};

void onTerminationSignal(int signal) {
  if (temporaryPath[0] != '\0') unlink(temporaryPath);
  const int query = runningQuery.load();
  const std::atomic<uint64_t>* count = runningCount.load();
  const uint64_t found = count != nullptr ? count->load(std::memory_order_relaxed) : 0;
  SignalText message;
  message << "sgmatch: ended by signal " << static_cast<uint64_t>(signal);
  if (query >= 0) {
    message << " while matching query " << static_cast<uint64_t>(query) << " (" << found << " embeddings counted)";
  }
  (message << "\n").writeTo(STDERR_FILENO);
  const int results = resultsFd.load();
  if (results >= 0) {
    SignalText record;
    record << "{\"type\":\"interrupted\",\"signal\":" << static_cast<uint64_t>(signal) << ",\"query\":";
    if (query >= 0) {
      record << static_cast<uint64_t>(query) << ",\"frequency\":" << found;
    } else {
      record << "null,\"frequency\":null";
    }
    (record << "}\n").writeTo(results);
  }
  _exit(128 + signal);
}

}  // namespace

void registerTemporaryFile(const char* path) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int signal : terminationSignals) sigaddset(&blocked, signal);
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  if (path == nullptr || std::strlen(path) >= sizeof temporaryPath) {
    temporaryPath[0] = '\0';
  } else {
    std::strcpy(temporaryPath, path);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void handleTerminationSignals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : terminationSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : terminationSignals) {
    // A hang-up or broken pipe that the caller chose to ignore (nohup, for instance) stays ignored.
    struct sigaction current;
    if ((signal == SIGHUP || signal == SIGPIPE) && sigaction(signal, nullptr, &current) == 0 &&
        current.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal, &action, nullptr);
  }
  // A file grown past the file-size limit (ulimit -f) fails its write with EFBIG, which is reported
  // like a full disk, instead of killing the run and leaving the temporary file behind.
  std::signal(SIGXFSZ, SIG_IGN);
}

void registerRunningQuery(int number, const std::atomic<uint64_t>* found) {
  runningCount.store(found);
  runningQuery.store(number);
}

void registerResultsFile(int fd) { resultsFd.store(fd); }

void onFatalError(std::function<void(const std::string& message)> hook) { fatalErrorHook = std::move(hook); }

void fatalError(const std::string& message) {
  if (temporaryPath[0] != '\0') unlink(temporaryPath);
  if (fatalErrorHook) {
    // A failure inside the hook must not come back here.
    auto hook = std::move(fatalErrorHook);
    fatalErrorHook = nullptr;
    hook(message);
  }
  std::cout << message << std::endl;
  std::exit(-1);
}

std::string errorText(int errorNumber) { return std::strerror(errorNumber); }

// The process-wide exit paths. The registered temporary paths live in fixed slots, one per object that
// writes a temporary file (one per thread that matches queries); a slot is marked valid only once its
// path is complete, so that a handler, which may run on any thread, never sees half a path. The handler formats its messages by hand and writes them with write(2),
// the only output that is safe in a signal handler.
#include "fatal_error.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <utility>

namespace {

struct TemporarySlot {
  std::atomic<bool> taken{false};
  std::atomic<bool> valid{false};
  char path[4096];
};
// Untouched slots are pages of zeros that cost nothing.
constexpr int temporarySlotCount = 1024;
TemporarySlot temporarySlots[temporarySlotCount];
std::atomic<int> temporarySlotsUsed{0};  // slots below this may be taken

void removeTemporaryFiles() {
  const int used = temporarySlotsUsed.load();
  for (int i = 0; i < used && i < temporarySlotCount; ++i) {
    if (temporarySlots[i].valid.load()) unlink(temporarySlots[i].path);
  }
}
std::atomic<int> runningQuery{-1};
std::atomic<const std::atomic<uint64_t>*> runningCount{nullptr};
std::atomic<int> resultsFd{-1};
std::function<void(const std::string&)> fatalErrorHook;
thread_local bool deferringFatalErrors = false;
void (*fatalExit)(int) = _exit;
char signalMessageName[64] = "sgmatch";
std::string fatalEcho;

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
  removeTemporaryFiles();
  const int query = runningQuery.load();
  const std::atomic<uint64_t>* count = runningCount.load();
  const uint64_t found = count != nullptr ? count->load(std::memory_order_relaxed) : 0;
  SignalText message;
  message << signalMessageName << ": ended by signal " << static_cast<uint64_t>(signal);
  if (query >= 0) {
    message << " while matching query " << static_cast<uint64_t>(query);
    if (count != nullptr) message << " (" << found << " embeddings counted)";
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

int reserveTemporarySlot() {
  for (int i = 0; i < temporarySlotCount; ++i) {
    bool free = false;
    if (temporarySlots[i].taken.compare_exchange_strong(free, true)) {
      int used = temporarySlotsUsed.load();
      while (used <= i && !temporarySlotsUsed.compare_exchange_weak(used, i + 1)) {
      }
      return i;
    }
  }
  return -1;
}

void releaseTemporarySlot(int slot) {
  if (slot < 0 || slot >= temporarySlotCount) return;
  temporarySlots[slot].valid.store(false);
  temporarySlots[slot].taken.store(false);
}

void registerTemporaryFile(int slot, const char* path) {
  if (slot < 0 || slot >= temporarySlotCount) return;
  TemporarySlot& entry = temporarySlots[slot];
  entry.valid.store(false);
  if (path == nullptr || std::strlen(path) >= sizeof entry.path) return;
  std::strcpy(entry.path, path);
  entry.valid.store(true);
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

void deferFatalErrorsOnThisThread() { deferringFatalErrors = true; }

void fatalError(const std::string& message) {
  if (deferringFatalErrors) throw DeferredFatalError{message};
  removeTemporaryFiles();
  if (fatalErrorHook) {
    // A failure inside the hook must not come back here.
    auto hook = std::move(fatalErrorHook);
    fatalErrorHook = nullptr;
    hook(message);
  }
  std::cout << message << std::endl;
  if (!fatalEcho.empty()) std::cerr << fatalEcho << message << std::endl;
  // Other threads may still be matching: the process ends without running the destructors of
  // objects they use. Every output stream that matters is flushed by now.
  std::fflush(nullptr);
  fatalExit(255);
  _exit(255);
}

void setFatalExit(void (*exit)(int status)) { fatalExit = exit; }

void setFatalMessageEcho(const std::string& prefix) { fatalEcho = prefix; }

void setSignalMessageName(const char* name) {
  std::strncpy(signalMessageName, name, sizeof signalMessageName - 1);
  signalMessageName[sizeof signalMessageName - 1] = '\0';
}

std::string errorText(int errorNumber) { return std::strerror(errorNumber); }

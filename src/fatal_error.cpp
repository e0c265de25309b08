// The process-wide exit paths. The registered temporary path lives in a fixed buffer, changed only
// while the termination signals are blocked, so that the handler can remove it without allocating
// and never sees half a path.
#include "fatal_error.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

char temporaryPath[4096];

// The signals that end the run by default: a closed terminal, an interrupt, a reader of standard
// output gone away, a termination request. Each removes the temporary listing first.
const int terminationSignals[] = {SIGHUP, SIGINT, SIGPIPE, SIGTERM};

void onTerminationSignal(int signal) {
  if (temporaryPath[0] != '\0') unlink(temporaryPath);
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

void fatalError(const std::string& message) {
  if (temporaryPath[0] != '\0') unlink(temporaryPath);
  std::cout << message << std::endl;
  std::exit(-1);
}

std::string errorText(int errorNumber) { return std::strerror(errorNumber); }

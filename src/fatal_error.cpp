// The process-wide exit paths. The registered temporary path lives in a fixed buffer, changed only
// while the termination signals are blocked, so that the handler can remove it without allocating
// and never sees half a path.
#include "fatal_error.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

char temporaryPath[4096];

void onTerminationSignal(int signal) {
  if (temporaryPath[0] != '\0') unlink(temporaryPath);
  _exit(128 + signal);
}

}  // namespace

void registerTemporaryFile(const char* path) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
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
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void fatalError(const std::string& message) {
  if (temporaryPath[0] != '\0') unlink(temporaryPath);
  std::cout << message << std::endl;
  std::exit(-1);
}

std::string errorText(int errorNumber) { return std::strerror(errorNumber); }

// The process-wide fatal path. The registered temporary path is kept in a fixed buffer so that a
// signal handler can remove it without allocating.
#include "fatal_error.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

char temporaryPath[4096];

}  // namespace

void registerTemporaryFile(const char* path) {
  if (path == nullptr || std::strlen(path) >= sizeof temporaryPath) {
    temporaryPath[0] = '\0';
    return;
  }
  std::strcpy(temporaryPath, path);
}

const char* registeredTemporaryFile() { return temporaryPath; }

void fatalError(const std::string& message) {
  if (temporaryPath[0] != '\0') unlink(temporaryPath);
  std::cout << message << std::endl;
  std::exit(-1);
}

std::string errorText(int errorNumber) { return std::strerror(errorNumber); }

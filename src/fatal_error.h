// Ending a run: on an error it cannot go on from, the message goes to standard output, the statistics
// file being written (if any) is removed and the process exits with status -1; on SIGINT, SIGTERM,
// SIGHUP or SIGPIPE the same file is removed and the process exits with status 128 + the signal.
#pragma once

#include <string>

/// Prints the message and a newline, flushes, removes the registered temporary file and exits(-1).
[[noreturn]] void fatalError(const std::string& message);

/// Names the temporary file that an error or a termination signal must remove; null for none.
void registerTemporaryFile(const char* path);

/// Installs the handlers of SIGINT, SIGTERM, SIGHUP and SIGPIPE (the last two unless ignored) that
/// remove the registered temporary file and exit; ignores SIGXFSZ, so that a write past the file-size
/// limit fails with an error instead of killing the run.
void handleTerminationSignals();

/// The text of an errno value, for messages.
std::string errorText(int errorNumber);

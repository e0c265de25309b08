// Ending a run: on an error it cannot go on from, the message goes to standard output, the statistics
// file being written (if any) is removed and the process exits with status -1; on SIGINT, SIGTERM,
// SIGHUP or SIGPIPE the same file is removed and the process exits with status 128 + the signal.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

/// Prints the message and a newline, flushes, removes the registered temporary file and exits(-1).
[[noreturn]] void fatalError(const std::string& message);

/// Names the temporary file that an error or a termination signal must remove; null for none.
void registerTemporaryFile(const char* path);

/// Installs the handlers of SIGINT, SIGTERM, SIGHUP and SIGPIPE (the last two unless ignored) that
/// remove the registered temporary file and exit; ignores SIGXFSZ, so that a write past the file-size
/// limit fails with an error instead of killing the run.
void handleTerminationSignals();

/// Names the query being matched (-1 for none) and where its count so far is published, so that a run
/// ended by a termination signal says on standard error which query it was matching and how far it got.
void registerRunningQuery(int number, const std::atomic<uint64_t>* found);

/// The results file (a descriptor, -1 for none) to which a termination signal appends its
/// "interrupted" object.
void registerResultsFile(int fd);

/// A function that fatalError calls with its message before the process ends (the results file's
/// last object); called at most once.
void onFatalError(std::function<void(const std::string& message)> hook);

/// The text of an errno value, for messages.
std::string errorText(int errorNumber);

// Ending a run: on an error it cannot go on from, the message goes to standard output, the statistics
// files being written (if any) are removed and the process exits with status 255; on SIGINT, SIGTERM,
// SIGHUP or SIGPIPE the same files are removed and the process exits with status 128 + the signal.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

/// Prints the message and a newline, flushes, removes the registered temporary files and ends the
/// process with status 255.
[[noreturn]] void fatalError(const std::string& message);

/// What fatalError throws instead of ending the process on a thread that defers its errors.
struct DeferredFatalError {
  std::string message;
};

/// On the calling thread, fatalError throws DeferredFatalError instead of ending the process, so that
/// a worker can hand its error to the thread that writes the outputs in order.
void deferFatalErrorsOnThisThread();

/// A slot for the temporary file of one writer; -1 when all are taken (its file is then not removed
/// by an error or a signal).
int reserveTemporarySlot();

/// Gives the slot back; its file, if any, is no longer removed.
void releaseTemporarySlot(int slot);

/// Names the temporary file of `slot` that an error or a termination signal must remove; null for
/// none.
void registerTemporaryFile(int slot, const char* path);

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

/// How fatalError ends the process (by default _exit): a run of several processes aborts them all.
void setFatalExit(void (*exit)(int status));

/// A prefix for a copy of every fatal message on standard error (empty: no copy), for processes whose
/// standard output nobody reads.
void setFatalMessageEcho(const std::string& prefix);

/// The name a run ended by a signal gives itself on standard error (by default "sgmatch").
void setSignalMessageName(const char* name);

/// The text of an errno value, for messages.
std::string errorText(int errorNumber);

// Helpers shared by the tests: fresh temporary directories, whole-file reads and writes, capturing
// what a call prints on standard output, and running a tool binary as a child process.
#pragma once

#include <functional>
#include <string>
#include <vector>

/// A new empty directory (with a "stats" subdirectory) removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return root; }
  std::string file(const std::string& name) const { return root + "/" + name; }

 private:
  std::string root;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
/// Names of the entries of a directory, sorted, without "." and "..".
std::vector<std::string> listDirectory(const std::string& path);

/// Runs `action` with standard output redirected and returns what it printed.
std::string captureStdout(const std::function<void()>& action);

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string output;
};

/// Runs `program` with `arguments` in `directory`, standard input from `input`, and collects stdout.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& directory, const std::string& input = "");

/// Starts `program` like runProcess, with empty standard input and standard output to the file
/// `outputPath`, and returns at once with its process id.
int startProcess(const std::string& program, const std::vector<std::string>& arguments, const std::string& directory,
                 const std::string& outputPath);

/// Waits for a child started by startProcess: its exit status, or 128 + the signal that ended it;
/// *bySignal tells the two apart.
int waitProcess(int pid, bool* bySignal = nullptr);

/// Replaces every "Time/ms: <number>" and the average in the closing line by a fixed mark.
std::string maskTimes(const std::string& report);

/// Sends standard output to standard error, where a death test looks for the expected message.
void stdoutToStderr();

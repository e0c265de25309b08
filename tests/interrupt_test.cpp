// Interrupted runs: the tool is killed (SIGKILL, SIGINT, SIGTERM) at seeded random moments of a run
// whose queries have millions of embeddings, and every file it leaves is checked against an
// uninterrupted run: a file named by a query number holds that query's complete listing, the
// subgraph output file holds whole records only, every report line printed has its listing and
// record on disk, and after SIGINT or SIGTERM no temporary file is left and the status is
// 128 + the signal. The working directory is kept across the runs, so each run also meets what the
// killed ones left behind; a last uninterrupted run must then leave exactly the reference files.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

#ifdef SGMATCH_SANITIZED
constexpr int dataVertices = 13;  // paths of 5: 154,440 embeddings each
#else
constexpr int dataVertices = 18;  // paths of 5: 1,028,160 embeddings each
#endif

// A complete graph of one label.
std::string completeGraph(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += "v " + std::to_string(i) + " 1\n";
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) text += "e " + std::to_string(i) + " " + std::to_string(j) + "\n";
  }
  return text;
}

const char* const queries =
    // 0: a path of five vertices
    "v 0 1\nv 1 1\nv 2 1\nv 3 1\nv 4 1\ne 0 1\ne 1 2\ne 2 3\ne 3 4\nt\n"
    // 1: a triangle with its symmetry broken
    "v 0 1\nv 1 1\nv 2 1\ne 0 1\ne 1 2\ne 2 0\na 1 2\na 0 2\na 0 1\nt\n"
    // 2: a label the data lacks, so no file
    "v 0 1\nv 1 2\ne 0 1\nt\n"
    // 3: a path of four vertices, its reversal broken
    "v 0 1\nv 1 1\nv 2 1\nv 3 1\ne 0 1\ne 1 2\ne 2 3\na 3\na\na\na 0\nt\n"
    // 4: the path of five again
    "v 0 1\nv 1 1\nv 2 1\nv 3 1\nv 4 1\ne 0 1\ne 1 2\ne 2 3\ne 3 4\n";

// The six-line records of a subgraph output file.
std::vector<std::string> records(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  std::string line, record;
  int lines = 0;
  while (std::getline(in, line)) {
    record += line + "\n";
    if (++lines == 6) {
      result.push_back(record);
      record.clear();
      lines = 0;
    }
  }
  if (!record.empty()) result.push_back(record);  // a partial record, which the checks refuse
  return result;
}

// Query number -> count of every report line "<n>\t#nodes: ...\tFreq: <count>..." in the output.
std::map<int, unsigned long long> reportedCounts(const std::string& output) {
  std::map<int, unsigned long long> counts;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    const size_t freq = line.find("\tFreq: ");
    if (line.find("\t#nodes: ") == std::string::npos || freq == std::string::npos) continue;
    counts[std::stoi(line)] = std::stoull(line.substr(freq + 7));
  }
  return counts;
}

class InterruptedRuns : public testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir.file("data"), completeGraph(dataVertices));
    writeFile(dir.file("query"), queries);
  }

  TempDir dir;
};

}  // namespace

TEST_F(InterruptedRuns, EverySurvivingFileIsCompleteWhereverTheRunIsKilled) {
  // The uninterrupted run, twice: the shorter time bounds the moments of the kills, so that a
  // slow first run on a loaded machine does not put most kills after the end.
  double seconds = 0;
  ProcessResult reference;
  for (int i = 0; i < 2; ++i) {
    const auto start = std::chrono::steady_clock::now();
    reference = runProcess(SGMATCH_BINARY, {}, dir.path());
    const double taken = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    seconds = i == 0 ? taken : std::min(seconds, taken);
    ASSERT_EQ(reference.status, 0) << reference.output;
  }
  std::map<std::string, std::string> listings;
  for (const std::string& name : listDirectory(dir.file("stats"))) listings[name] = readFile(dir.file("stats/" + name));
  ASSERT_EQ(listings.size(), 4u);
  const std::vector<std::string> referenceRecords = records(readFile(dir.file("subgraphs")));
  ASSERT_EQ(referenceRecords.size(), 4u);

  std::mt19937 random(20240607);
  std::uniform_real_distribution<double> moment(0.0, seconds * 1.1);
  const int signals[] = {SIGKILL, SIGINT, SIGTERM};
  int interrupted = 0;
  std::string runs;  // what each run met, for the failure messages
  for (int run = 0; run < 15; ++run) {
    const int signal = signals[run % 3];
    const double delay = moment(random);
    const std::string output = dir.file("output");
    const int pid = startProcess(SGMATCH_BINARY, {}, dir.path(), output);
    timespec pause{static_cast<time_t>(delay), static_cast<long>((delay - static_cast<time_t>(delay)) * 1e9)};
    nanosleep(&pause, nullptr);
    kill(pid, signal);
    bool bySignal = false;
    const int status = waitProcess(pid, &bySignal);
    const std::string where = "run " + std::to_string(run) + ", signal " + std::to_string(signal) + " after " +
                              std::to_string(delay) + " s, status " + std::to_string(status);
    runs += where + "\n";
    if (status != 0) {
      ++interrupted;
      EXPECT_EQ(status, 128 + signal) << where;
      // SIGINT and SIGTERM go through the handler once it is installed, which it is before any file.
      if (signal != SIGKILL && bySignal) {
        EXPECT_EQ(readFile(output), "") << where;
      }
    }
    const std::string temporary = ".sgmatch-" + std::to_string(pid) + "-";
    for (const std::string& name : listDirectory(dir.file("stats"))) {
      if (name[0] == '.') {
        EXPECT_TRUE(signal == SIGKILL || name.compare(0, temporary.size(), temporary) != 0) << where << ": left " << name;
        continue;
      }
      ASSERT_EQ(listings.count(name), 1u) << where << ": unexpected file " << name;
      // A mismatch is not printed: the listings are megabytes long.
      EXPECT_TRUE(readFile(dir.file("stats/" + name)) == listings[name]) << where << ": partial or stale " << name;
    }
    const std::vector<std::string> written = records(readFile(dir.file("subgraphs")));
    ASSERT_LE(written.size(), referenceRecords.size()) << where;
    for (size_t i = 0; i < written.size(); ++i) EXPECT_EQ(written[i], referenceRecords[i]) << where;
    // A count on the console has its listing and its record on disk.
    size_t recordsClaimed = 0;
    for (const auto& [number, count] : reportedCounts(readFile(output))) {
      if (count == 0) continue;
      ++recordsClaimed;
      EXPECT_TRUE(fileExists(dir.file("stats/" + std::to_string(number)))) << where << ": query " << number;
    }
    EXPECT_LE(recordsClaimed, written.size()) << where;
  }
  EXPECT_GE(interrupted, 5) << "the kills must land while the run is going on; the runs:\n" << runs;

  // A last run clears what the killed ones left and leaves exactly the reference files.
  const ProcessResult last = runProcess(SGMATCH_BINARY, {}, dir.path());
  ASSERT_EQ(last.status, 0);
  EXPECT_EQ(maskTimes(last.output), maskTimes(reference.output));
  std::vector<std::string> names;
  for (const auto& entry : listings) names.push_back(entry.first);
  EXPECT_EQ(listDirectory(dir.file("stats")), names);
}

namespace {

// Starts sgmatch with its standard output on a pipe whose reading end is already closed, so that
// its first report line raises SIGPIPE; returns its status and whether a signal ended it.
int runIntoClosedPipe(const std::string& directory, bool* bySignal) {
  int ends[2];
  if (pipe(ends) != 0) return -1;
  close(ends[0]);
  const int pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    dup2(ends[1], 1);
    if (chdir(directory.c_str()) != 0) _exit(126);
    execl(SGMATCH_BINARY, SGMATCH_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ends[1]);
  return waitProcess(pid, bySignal);
}

// The queries of the hang-up and broken-pipe runs: one without embeddings, whose search leaves the
// temporary file in place for the next, then the path of five.
const char* const absentThenPath =
    "v 0 1\nv 1 2\ne 0 1\nt\nv 0 1\nv 1 1\nv 2 1\nv 3 1\nv 4 1\ne 0 1\ne 1 2\ne 2 3\ne 3 4\n";

}  // namespace

TEST_F(InterruptedRuns, AHangUpOrABrokenPipeRemovesTheTemporaryFileToo) {
  writeFile(dir.file("query"), absentThenPath);
  // The first report line, of the query without embeddings, meets the closed pipe while the
  // temporary file is open.
  bool bySignal = true;
  EXPECT_EQ(runIntoClosedPipe(dir.path(), &bySignal), 128 + SIGPIPE);
  EXPECT_FALSE(bySignal) << "the handler removes the file and exits";
  EXPECT_EQ(listDirectory(dir.file("stats")), std::vector<std::string>{});

  // A hang-up once the temporary file exists; then the same with the hang-up ignored (nohup),
  // which must stay ignored: that run completes.
  for (const bool ignore : {false, true}) {
    const std::vector<std::string> arguments{"-c", std::string(ignore ? "trap '' HUP; " : "") + "exec " + SGMATCH_BINARY};
    const int pid = startProcess("/bin/sh", arguments, dir.path(), dir.file("output"));
    const std::string temporary = ".sgmatch-" + std::to_string(pid) + "-";  // the shell becomes sgmatch
    auto temporaryExists = [&] {
      const std::vector<std::string> names = listDirectory(dir.file("stats"));
      return names.size() == 1 && names[0].compare(0, temporary.size(), temporary) == 0;
    };
    for (int i = 0; i < 20000 && !temporaryExists(); ++i) usleep(100);
    kill(pid, SIGHUP);
    const int status = waitProcess(pid, &bySignal);
    if (ignore) {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(listDirectory(dir.file("stats")), std::vector<std::string>{"1"});
    } else if (status != 0) {
      EXPECT_EQ(status, 128 + SIGHUP);
      EXPECT_FALSE(bySignal);
    }
    for (const std::string& name : listDirectory(dir.file("stats"))) EXPECT_NE(name[0], '.') << name;
    std::remove(dir.file("stats/1").c_str());
  }
}

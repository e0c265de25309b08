// Long runs under control, through the binary: a query stopped by its time limit, the results file
// checked field by field against the report, a run interrupted while a query runs, the progress line
// on a pseudo-terminal, and the values the new keys refuse.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using Json = nlohmann::json;

// A dense graph of 60 vertices with one label, where a path of five vertices has billions of
// embeddings (the search takes minutes) and an edge has 2670.
std::string denseGraph() {
  std::string data;
  for (int v = 0; v < 60; ++v) data += "v " + std::to_string(v) + " 1\n";
  for (int u = 0; u < 60; ++u) {
    for (int v = u + 1; v < 60; ++v) {
      if ((u * 7 + v * 3) % 4 != 0) data += "e " + std::to_string(u) + " " + std::to_string(v) + "\n";
    }
  }
  return data;
}

const char* const slowThenQuick =
    "v 0 1\nv 1 1\nv 2 1\nv 3 1\nv 4 1\ne 0 1\ne 1 2\ne 2 3\ne 3 4\nt\nv 0 1\nv 1 1\ne 0 1\n";

std::string shellQuoted(const std::vector<std::string>& words) {
  std::string command;
  for (const std::string& word : words) command += " '" + word + "'";
  return command;
}

// Runs sgmatch in `dir` with standard error to the file "errors" there.
ProcessResult sgmatch(const TempDir& dir, const std::vector<std::string>& arguments) {
  return runProcess("/bin/sh", {"-c", std::string("exec ") + SGMATCH_BINARY + shellQuoted(arguments) + " 2>errors"},
                    dir.path());
}

std::vector<Json> jsonLines(const std::string& text) {
  std::vector<Json> objects;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) objects.push_back(Json::parse(line));  // throws if invalid
  return objects;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(LongRuns, ASlowQueryIsStoppedByItsTimeLimitAndTheRunGoesOn) {
  for (const std::string& engine : {std::string(), std::string("literal")}) {
    TempDir dir;
    writeFile(dir.file("data"), denseGraph());
    writeFile(dir.file("query"), slowThenQuick);
    const auto start = std::chrono::steady_clock::now();
    const std::string binary = engine.empty() ? SGMATCH_BINARY : SGMATCH_LITERAL_BINARY;
    const ProcessResult run = runProcess(binary, {"timeout=0.2"}, dir.path());
    // Without the limit the first query runs for minutes.
    EXPECT_LT(secondsSince(start), 20.0);
    EXPECT_EQ(run.status, 0);
    std::smatch first;
    ASSERT_TRUE(std::regex_search(run.output, first, std::regex("^0\t#nodes: 5\tSym: 0\tFreq: ([0-9]+)\tTime/ms: [^ ]+ \\[pruned by timeout\\]\n")))
        << run.output;
    EXPECT_GT(std::stoull(first[1]), 0u) << "the count found before the limit is reported";
    EXPECT_NE(run.output.find("\n1\t#nodes: 2\tSym: 0\tFreq: 2670\t"), std::string::npos) << run.output;
    EXPECT_EQ(listDirectory(dir.file("stats")), std::vector<std::string>{"1"}) << "no file for the stopped query";
    EXPECT_EQ(readFile(dir.file("subgraphs")).substr(0, 8), "#\t1\t2\t1\n") << "only the quick query's record";
  }
}

TEST(LongRuns, ATimeLimitThatIsNotReachedChangesNothing) {
  TempDir plain, limited;
  for (const TempDir* dir : {&plain, &limited}) {
    writeFile(dir->file("data"), denseGraph());
    writeFile(dir->file("query"), "v 0 1\nv 1 1\nv 2 1\ne 0 1\ne 1 2\nt\nv 0 1\nv 1 2\ne 0 1\n");
  }
  const ProcessResult reference = sgmatch(plain, {"maxfreq=100000"});
  const ProcessResult run = sgmatch(limited, {"maxfreq=100000", "timeout=600", "results=results.jsonl", "progress=0"});
  EXPECT_EQ(maskTimes(run.output), maskTimes(reference.output));
  EXPECT_EQ(readFile(limited.file("subgraphs")), readFile(plain.file("subgraphs")));
  EXPECT_EQ(readFile(limited.file("stats/0")), readFile(plain.file("stats/0")));
  EXPECT_EQ(readFile(limited.file("errors")), "");
}

// The results file says what the report says, query by query, and what the files hold.
TEST(LongRuns, TheResultsFileAgreesWithTheReport) {
  TempDir dir;
  writeFile(dir.file("data"), "v 0 5\nv 1 5\nv 2 5\nv 3 6\ne 0 1\ne 1 2\ne 0 2\ne 2 3\n");
  writeFile(dir.file("query"),
            "t\nv 0 5\nv 1 5\ne 0 1\na 0 1\na 0 1\n"  // 3 embeddings, with symmetry
            "t\nv 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\n"   // 6 paths: past the limit of 5
            "t\nv 0 6\nv 1 6\ne 0 1\n"                   // none
            "t\nv 0 5\nv 1 5\ne 0 7\n"                   // refused
            "t\nv 0 5\nv 1 5\nv 2 6\ne 0 1\ne 1 2\n");    // 2 embeddings; the rarest edge starts the order
  const ProcessResult run = sgmatch(dir, {"maxfreq=5", "results=results.jsonl", "omark=0"});
  ASSERT_EQ(run.status, 0) << run.output;
  const std::vector<Json> objects = jsonLines(readFile(dir.file("results.jsonl")));
  ASSERT_EQ(objects.size(), 7u);
  EXPECT_EQ(objects[0]["type"], "run");
  EXPECT_EQ(objects[0]["settings"]["maxfreq"], 5);
  EXPECT_EQ(objects[0]["data_graph"], Json::parse(R"({"vertices":4,"edges":4,"labels":2})"));
  EXPECT_GE(objects[0]["load_ms"].get<double>(), 0);
  const char* const statuses[] = {"complete", "limit", "zero", "refused", "complete"};
  const uint64_t frequencies[] = {3, 6, 0, 0, 2};
  std::istringstream report(run.output);
  std::string line;
  for (int q = 0; q < 5; ++q) {
    const Json& object = objects[q + 1];
    do {
      ASSERT_TRUE(std::getline(report, line));
    } while (line.compare(0, 2, std::to_string(q) + "\t") != 0);
    std::smatch fields;
    ASSERT_TRUE(std::regex_search(line, fields, std::regex("#nodes: ([0-9]+)\tSym: ([01])\tFreq: ([0-9]+)\tTime/ms: ([^ ]+)")));
    EXPECT_EQ(object["type"], "query");
    EXPECT_EQ(object["query"], q);
    EXPECT_EQ(object["vertices"], std::stoi(fields[1]));
    EXPECT_EQ(object["symmetry"], std::stoi(fields[2]));
    EXPECT_EQ(object["frequency"], std::stoull(fields[3]));
    EXPECT_EQ(object["frequency"], frequencies[q]);
    EXPECT_NEAR(object["cpu_ms"].get<double>(), std::stod(fields[4]), 1e-3 + 1e-5 * std::stod(fields[4]));
    EXPECT_GE(object["wall_ms"].get<double>(), 0);
    EXPECT_EQ(object["status"], statuses[q]) << q;
    EXPECT_EQ(object["exact"], q != 1) << q;
    if (object["status"] == "complete") {
      const std::string statsFile = object["stats_file"];
      EXPECT_EQ(statsFile, "stats/" + std::to_string(q));
      EXPECT_EQ(object["stats_bytes"], readFile(dir.file(statsFile)).size());
    } else {
      EXPECT_TRUE(object["stats_file"].is_null());
      EXPECT_TRUE(object["stats_bytes"].is_null());
    }
    if (q == 3) {
      EXPECT_TRUE(object["order"].is_null());
      EXPECT_NE(object["message"].get<std::string>().find("edge endpoint 7 is not a vertex"), std::string::npos);
    } else {
      EXPECT_TRUE(object["message"].is_null());
      EXPECT_EQ(object["order"].size(), object["vertices"].get<size_t>());
    }
  }
  EXPECT_EQ(objects[5]["order"], Json::parse("[1,2,0]"));
  Json end = Json::parse(R"({"type":"end","queries":5,"complete":2,"limit":1,"timeout":0,"zero":1,"refused":1})");
  for (const char* time : {"total_cpu_ms", "total_wall_ms", "average_s"}) end[time] = objects[6][time];
  EXPECT_EQ(objects[6], end);
}

// Paths with quotes, backslashes, tabs and non-ASCII bytes come out as valid JSON strings.
TEST(LongRuns, ResultsEscapeEveryPath) {
  TempDir dir;
  const std::string odd = "da\"ta\\\t\xc3\xa9";
  writeFile(dir.file(odd), "v 0 5\nv 1 5\ne 0 1\n");
  writeFile(dir.file("query"), "v 0 5\nv 1 5\ne 0 1\n");
  const ProcessResult run = sgmatch(dir, {"data=" + odd, "results=results.jsonl"});
  ASSERT_EQ(run.status, 0);
  const std::vector<Json> objects = jsonLines(readFile(dir.file("results.jsonl")));
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(objects[0]["settings"]["data"], odd);
}

TEST(LongRuns, AnInterruptedRunSaysWhereItWasAndLeavesValidJsonLines) {
  for (int signal : {SIGINT, SIGTERM}) {
    TempDir dir;
    writeFile(dir.file("data"), denseGraph());
    writeFile(dir.file("query"), "v 0 1\nv 1 1\ne 0 1\nt\nv 0 1\nv 1 1\nv 2 1\nv 3 1\nv 4 1\ne 0 1\ne 1 2\ne 2 3\ne 3 4\n");
    const int pid = startProcess("/bin/sh", {"-c", std::string("exec ") + SGMATCH_BINARY + " results=results.jsonl 2>errors"},
                                 dir.path(), dir.file("output"));
    // Wait until the slow second query runs.
    for (int i = 0; i < 20000 && readFile(dir.file("output")).find("\n") == std::string::npos; ++i) usleep(500);
    usleep(100000);
    kill(pid, signal);
    EXPECT_EQ(waitProcess(pid), 128 + signal);
    const std::string errors = readFile(dir.file("errors"));
    std::smatch fields;
    ASSERT_TRUE(std::regex_search(errors, fields, std::regex("ended by signal ([0-9]+) while matching query 1 \\(([0-9]+) embeddings counted\\)\n")))
        << errors;
    EXPECT_EQ(std::stoi(fields[1]), signal);
    const std::vector<Json> objects = jsonLines(readFile(dir.file("results.jsonl")));
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[1]["query"], 0);
    EXPECT_EQ(objects[2], Json({{"type", "interrupted"}, {"signal", signal}, {"query", 1}, {"frequency", std::stoull(fields[2])}}));
    EXPECT_EQ(listDirectory(dir.file("stats")), std::vector<std::string>{"0"}) << "no temporary file is left";
  }
}

namespace {

// Runs sgmatch with standard error on a pseudo-terminal for about `seconds`, then interrupts it;
// returns what reached the terminal.
std::string terminalErrors(const TempDir& dir, const std::vector<std::string>& arguments, double seconds) {
  int master = -1;
  const int pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    // Only standard error stays on the terminal.
    const int out = open((dir.path() + "/output").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0 || chdir(dir.path().c_str()) != 0) _exit(126);
    dup2(out, 1);
    dup2(in, 0);
    std::vector<char*> argv{const_cast<char*>(SGMATCH_BINARY)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(SGMATCH_BINARY, argv.data());
    _exit(127);
  }
  std::string seen;
  const auto start = std::chrono::steady_clock::now();
  fcntl(master, F_SETFL, O_NONBLOCK);
  char buffer[4096];
  while (secondsSince(start) < seconds) {
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got > 0) seen.append(buffer, static_cast<size_t>(got));
    usleep(10000);
  }
  kill(pid, SIGTERM);
  waitProcess(pid);
  close(master);
  return seen;
}

}  // namespace

TEST(LongRuns, TheProgressLineIsDrawnOnATerminalOnly) {
  TempDir dir;
  writeFile(dir.file("data"), denseGraph());
  writeFile(dir.file("query"), "v 0 1\nv 1 1\nv 2 1\nv 3 1\nv 4 1\ne 0 1\ne 1 2\ne 2 3\ne 3 4\n");
  const std::string shown = terminalErrors(dir, {}, 1.5);
  EXPECT_NE(shown.find("\rsgmatch: query 0: "), std::string::npos) << shown;
  EXPECT_NE(shown.find(" embeddings, "), std::string::npos) << shown;
  EXPECT_NE(shown.find(", query file "), std::string::npos) << shown;
  EXPECT_EQ(readFile(dir.file("output")), "") << "never on standard output";
  EXPECT_EQ(terminalErrors(dir, {"progress=0"}, 0.8).find("sgmatch: query"), std::string::npos);

  // Standard error in a file: no status line unless asked for.
  const int quiet = startProcess("/bin/sh", {"-c", std::string("exec ") + SGMATCH_BINARY + " 2>errors"}, dir.path(), dir.file("output"));
  const int asked = startProcess("/bin/sh", {"-c", std::string("exec ") + SGMATCH_BINARY + " progress=1 2>asked"}, dir.path(),
                                 dir.file("output2"));
  usleep(800000);
  kill(quiet, SIGTERM);
  kill(asked, SIGTERM);
  waitProcess(quiet);
  waitProcess(asked);
  EXPECT_EQ(readFile(dir.file("errors")).find("sgmatch: query"), std::string::npos);
  EXPECT_NE(readFile(dir.file("asked")).find("\rsgmatch: query 0: "), std::string::npos);
}

TEST(LongRuns, TheProgressLineShowsTheDataFileBeingRead) {
  TempDir dir;
  const std::string data = denseGraph();
  writeFile(dir.file("first"), data.substr(0, data.size() / 2));
  writeFile(dir.file("rest"), data.substr(data.size() / 2));
  writeFile(dir.file("query"), "v 0 1\nv 1 1\ne 0 1\n");
  // The data graph comes through a pipe whose writer pauses halfway, so the status line shows the
  // bytes read so far (a pipe has no size to show a share of). The pipe exists before either side
  // opens it, and the writer holds none of the output this test waits on and gives up after a
  // while, so a reader that never comes cannot hold the test.
  const ProcessResult run = runProcess(
      "/bin/sh",
      {"-c", "mkfifo pipe || exit 9; timeout 30 sh -c '{ cat first; sleep 1; cat rest; } > pipe' >/dev/null 2>&1 & exec " +
                 std::string(SGMATCH_BINARY) + " data=pipe progress=1 2>errors"},
      dir.path());
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string shown = readFile(dir.file("errors"));
  const size_t loading = shown.find("\rsgmatch: loading the data graph: ");
  ASSERT_NE(loading, std::string::npos) << shown;
  // The loading line shows bytes, not a share (the query's own line later may show one).
  const std::string line = shown.substr(loading + 1, shown.find('\r', loading + 1) - loading - 1);
  EXPECT_EQ(line.find("%"), std::string::npos) << line;
  EXPECT_NE(run.output.find("Freq: 2670\t"), std::string::npos) << run.output;
}

TEST(LongRuns, BadValuesOfTheNewKeysEndTheRunBeforeAnyFileIsRead) {
  TempDir dir;  // no data file: reading it would print "Graph cannot open data"
  for (const std::string argument : {"timeout=abc", "timeout=-1", "timeout=1e3", "timeout=", "progress=2", "progress=yes",
                                      "shard=3/3", "shard=a/b", "shard=1"}) {
    const ProcessResult run = sgmatch(dir, {argument});
    if (argument == "timeout=") {
      EXPECT_EQ(run.status, 255);  // the missing data file; the argument is ignored with a warning
      continue;
    }
    EXPECT_EQ(run.status, 255) << argument;
    EXPECT_EQ(run.output, "") << argument;
    EXPECT_EQ(readFile(dir.file("errors")).compare(0, 9 + argument.size(), "sgmatch: " + argument), 0)
        << readFile(dir.file("errors"));
  }
}

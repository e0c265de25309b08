// sgmatch-mpi under mpirun with 1 to 3 ranks (more ranks than cores: --oversubscribe): every
// end-to-end case and a random workload give the bytes of one sgmatch run, times masked, also with
// threads within the ranks; a rank that fails ends the whole job naming the rank and the query.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "brute_force.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// Open MPI refuses to start as root unless told that it is meant.
void allowRoot() {
  setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 1);
  setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 1);
  // Loopback only: the test machine may have no network at all.
  setenv("OMPI_MCA_btl", "self,vader", 1);
}

std::string quoted(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += " '" + word + "'";
  return text;
}

ProcessResult mpirun(int ranks, const std::vector<std::string>& arguments, const std::string& directory,
                     const std::string& input = "") {
  allowRoot();
  const std::string command = "exec mpirun --oversubscribe -np " + std::to_string(ranks) + " " + SGMATCH_MPI_BINARY +
                              quoted(arguments) + " 2>mpi-errors";
  return runProcess("/bin/sh", {"-c", command}, directory, input);
}

// Every file under a directory, by relative path, except the captured standard error.
std::map<std::string, std::string> filesUnder(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).generic_string();
    if (name == "mpi-errors") continue;
    files[name] = entry.is_directory() ? std::string("<directory>") : readFile(entry.path().string());
    if (name == "results.jsonl") {
      static const std::regex time("\"(load_ms|cpu_ms|wall_ms|total_cpu_ms|total_wall_ms|average_s)\":[^,}]+");
      files[name] = std::regex_replace(files[name], time, "\"$1\":T");
    }
  }
  return files;
}

std::vector<std::string> argumentsOf(const fs::path& folder) {
  std::vector<std::string> arguments;
  if (!fs::exists(folder / "args")) return arguments;
  std::istringstream text(readFile((folder / "args").string()));
  for (std::string line; std::getline(text, line);) arguments.push_back(line);
  return arguments;
}

// Runs sgmatch and sgmatch-mpi on copies of one case folder and compares what they leave.
void expectSameAsOneRun(const fs::path& folder, int ranks, const std::vector<std::string>& extra) {
  TempDir scratch;
  const fs::path plain = fs::path(scratch.path()) / "plain", spread = fs::path(scratch.path()) / "spread";
  for (const fs::path& work : {plain, spread}) {
    fs::create_directory(work);
    if (fs::exists(folder / "input")) fs::copy(folder / "input", work, fs::copy_options::recursive);
  }
  std::vector<std::string> arguments = argumentsOf(folder);
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  const std::string input = fs::exists(folder / "stdin") ? readFile((folder / "stdin").string()) : "";
  const ProcessResult reference = runProcess(SGMATCH_BINARY, arguments, plain.string(), input);
  const ProcessResult run = mpirun(ranks, arguments, spread.string(), input);
  const std::string label = folder.filename().string() + " on " + std::to_string(ranks) + " ranks";
  EXPECT_EQ(maskTimes(run.output), maskTimes(reference.output)) << label << "\n" << readFile((spread / "mpi-errors").string());
  EXPECT_EQ(run.status == 0, reference.status == 0) << label;
  EXPECT_EQ(filesUnder(spread), filesUnder(plain)) << label;
}

}  // namespace

TEST(SgmatchMpi, EveryCaseGivesTheBytesOfOneRun) {
  for (const fs::directory_entry& entry : fs::directory_iterator(SGMATCH_CASES_DIR)) {
    if (!entry.is_directory()) continue;
    // A case that waits for a character on standard input reads it on every rank in a job.
    if (fs::exists(entry.path() / "stdin")) continue;
    for (int ranks : {2, 3}) expectSameAsOneRun(entry.path(), ranks, {});
  }
}

TEST(SgmatchMpi, ARandomWorkloadGivesTheBytesOfOneRun) {
  TempDir dir;
  std::mt19937 random(2024);
  SmallGraph data;
  for (int v = 0; v < 40; ++v) data.labels.push_back(static_cast<int>(random() % 3));
  for (int e = 0; e < 120; ++e) data.edges.push_back({static_cast<int>(random() % 40), static_cast<int>(random() % 40)});
  std::vector<SmallGraph> queries;
  for (int q = 0; q < 80; ++q) {
    SmallGraph query;
    const int n = 2 + static_cast<int>(random() % 4);
    for (int v = 0; v < n; ++v) query.labels.push_back(static_cast<int>(random() % 3));
    for (int v = 1; v < n; ++v) query.edges.push_back({static_cast<int>(random() % v), v});
    if (random() % 3 == 0) query.classes.assign(n, std::vector<int>{0, n - 1});
    if (random() % 20 == 0) query.edges.push_back({0, 9});  // refused
    queries.push_back(query);
  }
  fs::create_directory(dir.file("case"));
  fs::create_directory(dir.file("case/input"));
  fs::create_directory(dir.file("case/input/stats"));
  writeFile(dir.file("case/input/data"), dataFileText(data));
  writeFile(dir.file("case/input/query"), queryFileText(queries));
  writeFile(dir.file("case/input/stats/.keep"), "");
  for (int ranks : {1, 2, 3}) {
    expectSameAsOneRun(dir.file("case"), ranks, {"maxfreq=30", "results=results.jsonl"});
    expectSameAsOneRun(dir.file("case"), ranks, {"threads=2", "symmetry=auto"});
  }
}

TEST(SgmatchMpi, AFailingRankEndsTheJobNamingTheRankAndTheQuery) {
  TempDir dir;
  writeFile(dir.file("data"), "v 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\ne 0 2\n");
  std::string query;
  for (int q = 0; q < 12; ++q) query += "t\nv 0 5\nv 1 5\ne 0 1\n";
  writeFile(dir.file("query"), query);
  fs::create_directory(dir.file("stats/7"));  // query 7's listing cannot take its name
  writeFile(dir.file("stats/7/x"), "");
  const ProcessResult run = mpirun(3, {}, dir.path());
  EXPECT_NE(run.status, 0);
  const std::string errors = readFile(dir.file("mpi-errors"));
  EXPECT_NE(errors.find(" failed on query 7: Stats cannot open stats/7"), std::string::npos) << errors;
  EXPECT_NE(errors.find("sgmatch-mpi: rank "), std::string::npos) << errors;
  // The report stops before query 7, as one run's would.
  EXPECT_NE(run.output.find("\n6\t#nodes: 2"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("\n7\t#nodes"), std::string::npos) << run.output;
  for (const std::string& name : listDirectory(dir.file("stats"))) EXPECT_NE(name[0], '.') << "temporary file left: " << name;
}

// Counting without listing (list=0) against the listing run, and the listing's count-first path
// against the plain listing. A count-only run must report exactly what the listing run reports and
// write the same subgraph records, while never creating, keeping or removing a statistics file; a
// listing that asks the counter first must write exactly what it writes without asking. Counts past
// 2^64 - 1 are reported as such, never wrapped.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "brute_force.h"
#include "graph.h"
#include "query.h"
#include "search_control.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const fs::path casesRoot = SGMATCH_CASES_DIR;

std::vector<std::string> caseNames() {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(casesRoot)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// Relative path -> content of every file under root, and -> nullopt for every directory.
using Tree = std::map<std::string, std::optional<std::string>>;

Tree treeOf(const fs::path& root) {
  Tree tree;
  if (!fs::exists(root)) return tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).generic_string();
    tree[name] = entry.is_directory() ? std::nullopt : std::optional<std::string>(readFile(entry.path().string()));
  }
  return tree;
}

// A statistics file's name: a query number.
bool isStatisticsName(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

struct CaseRun {
  ProcessResult result;
  Tree files;
};

// Runs the tool on a fresh copy of the case folder's inputs with its arguments and `extra` after them.
CaseRun runCase(const fs::path& folder, const std::vector<std::string>& extra) {
  TempDir scratch;
  const fs::path work = fs::path(scratch.path()) / "work";
  fs::create_directory(work);
  if (fs::exists(folder / "input")) fs::copy(folder / "input", work, fs::copy_options::recursive);
  const std::string input = fs::exists(folder / "stdin") ? readFile((folder / "stdin").string()) : "";
  std::vector<std::string> arguments;
  if (fs::exists(folder / "args")) arguments = linesOf(readFile((folder / "args").string()));
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  CaseRun run;
  run.result = runProcess(SGMATCH_BINARY, arguments, work.string(), input);
  run.files = treeOf(work);
  return run;
}

// The counts of the report lines ("\tFreq: <n>").
std::vector<uint64_t> reportedCounts(const std::string& report) {
  std::vector<uint64_t> counts;
  for (const std::string& line : linesOf(report)) {
    const size_t at = line.find("\tFreq: ");
    if (at != std::string::npos) counts.push_back(std::stoull(line.substr(at + 7)));
  }
  return counts;
}

// The listing run and the count-only run of one case with `extra` arguments: the same report and
// status, the same files but for statistics files, which the count-only run neither writes nor
// removes. A listing run that fails on its statistics directory has nothing to compare the report
// with; the count-only run must then go through to its closing line.
void compareRuns(const fs::path& folder, const std::vector<std::string>& extra) {
  std::vector<std::string> listing = extra, counting = extra;
  listing.push_back("list=1");
  counting.push_back("list=0");
  const CaseRun listed = runCase(folder, listing);
  const CaseRun counted = runCase(folder, counting);
  const Tree inputs = treeOf(folder / "input");
  const std::string where = folder.filename().string() + " with" + [&] {
    std::string text;
    for (const std::string& argument : extra) text += " " + argument;
    return text;
  }();
  const bool statisticsFailed = listed.result.output.find("Stats cannot") != std::string::npos;
  if (statisticsFailed) {
    EXPECT_EQ(counted.result.status, 0) << where;
    EXPECT_NE(counted.result.output.find("s. Done!"), std::string::npos) << where;
  } else {
    EXPECT_EQ(maskTimes(counted.result.output), maskTimes(listed.result.output)) << where;
    EXPECT_EQ(counted.result.status, listed.result.status) << where;
  }
  for (const auto& [name, content] : counted.files) {
    const auto input = inputs.find(name);
    if (isStatisticsName(name) && content.has_value()) {
      // Only the statistics files the run was given, untouched.
      EXPECT_TRUE(input != inputs.end() && input->second == content) << where << ": statistics file " << name;
      continue;
    }
    const auto other = listed.files.find(name);
    if (other != listed.files.end() && !statisticsFailed) {
      EXPECT_EQ(content, other->second) << where << ": " << name;
    } else if (other == listed.files.end()) {
      EXPECT_TRUE(input != inputs.end() && input->second == content) << where << ": unexpected " << name;
    }
  }
  for (const auto& [name, content] : listed.files) {
    if (counted.files.count(name) == 0) {
      EXPECT_TRUE(isStatisticsName(name)) << where << ": missing " << name;
    }
  }
}

class CountOnlyCases : public testing::TestWithParam<std::string> {};

}  // namespace

// Every case folder with its own arguments, with each symmetry mode, on two threads, and with limits
// at and next to each count it reports.
TEST_P(CountOnlyCases, ReportAndRecordsEqualTheListingRun) {
  const fs::path folder = casesRoot / GetParam();
  for (const std::vector<std::string>& extra : std::vector<std::vector<std::string>>{
           {}, {"symmetry=auto"}, {"symmetry=none"}, {"threads=2"}, {"symmetry=auto", "threads=2"}}) {
    compareRuns(folder, extra);
  }
  std::set<uint64_t> limits;
  for (const char* symmetry : {"symmetry=file", "symmetry=none"}) {
    const CaseRun plain = runCase(folder, {symmetry});
    for (uint64_t count : reportedCounts(plain.result.output)) {
      if (count == 0 || count > 100000) continue;
      limits.insert({count - 1, count, count + 1});
    }
  }
  // A handful of limits is enough to cross every count of a small case.
  size_t taken = 0;
  for (uint64_t limit : limits) {
    if (++taken > 8) break;
    for (const char* symmetry : {"symmetry=file", "symmetry=none"}) {
      compareRuns(folder, {"maxfreq=" + std::to_string(limit), symmetry});
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, CountOnlyCases, testing::ValuesIn(caseNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

namespace {

// A star: vertex 0 (label 0) joined to `leaves` vertices of label 1.
SmallGraph star(int leaves) {
  SmallGraph graph;
  graph.labels.push_back(0);
  for (int i = 1; i <= leaves; ++i) {
    graph.labels.push_back(1);
    graph.edges.push_back({0, i});
  }
  return graph;
}

std::vector<nlohmann::json> resultObjects(const std::string& path) {
  std::vector<nlohmann::json> objects;
  for (const std::string& line : linesOf(readFile(path))) objects.push_back(nlohmann::json::parse(line));
  return objects;
}

}  // namespace

// 300 leaves and a query star of 8: 300 * 299 * ... * 293 embeddings, past 2^64.
TEST(CountOnly, ACountPast64BitsIsReportedAsSuchNeverWrapped) {
  TempDir dir;
  writeFile(dir.file("data"), dataFileText(star(300)));
  // Query 0 overflows; query 1 (the leaves in one symmetry class) counts each set of 8 leaves once:
  // C(300, 8), which fits; query 2 is a single edge, 300 embeddings.
  SmallGraph ordered = star(8);
  ordered.classes.assign(9, {});
  for (int i = 1; i <= 8; ++i) {
    for (int x = 1; x <= 8; ++x) ordered.classes[i].push_back(x);
  }
  writeFile(dir.file("query"), queryFileText({star(8), ordered, star(1)}));
  const ProcessResult run = runProcess(SGMATCH_BINARY, {"list=0", "results=results.jsonl", "stats=absent"}, dir.path());
  EXPECT_EQ(run.status, 0);
  const std::vector<std::string> lines = linesOf(maskTimes(run.output));
  ASSERT_EQ(lines.size(), 4u) << run.output;
  EXPECT_EQ(lines[0], "0\t#nodes: 9\tSym: 0\tFreq: 18446744073709551615\tTime/ms: T [count exceeds 2^64 - 1]");
  EXPECT_EQ(lines[1], "1\t#nodes: 9\tSym: 1\tFreq: 1481062243936275\tTime/ms: T");
  EXPECT_EQ(lines[2], "2\t#nodes: 2\tSym: 0\tFreq: 300\tTime/ms: T");
  // Records only for the counts that are exact.
  const std::string records = readFile(dir.file("subgraphs"));
  EXPECT_EQ(records.find("#\t0\t"), std::string::npos) << records;
  EXPECT_NE(records.find("F\t1481062243936275\n"), std::string::npos) << records;
  EXPECT_NE(records.find("F\t300\n"), std::string::npos) << records;
  const std::vector<nlohmann::json> objects = resultObjects(dir.file("results.jsonl"));
  ASSERT_EQ(objects.size(), 5u);
  EXPECT_EQ(objects[0]["settings"]["list"], 0);
  EXPECT_EQ(objects[1]["status"], "overflow");
  EXPECT_EQ(objects[1]["exact"], false);
  EXPECT_EQ(objects[1]["frequency"].get<uint64_t>(), UINT64_MAX);
  EXPECT_NE(objects[1]["message"].get<std::string>().find("exceeds 2^64 - 1"), std::string::npos);
  EXPECT_EQ(objects[2]["status"], "complete");
  EXPECT_EQ(objects[4]["type"], "end");
  EXPECT_EQ(objects[4]["overflow"], 1);
  EXPECT_EQ(objects[4]["complete"], 2);
  EXPECT_FALSE(fileExists(dir.file("absent"))) << "no statistics directory is needed or made";

  // Under a limit the same query is pruned like a listing: limit + 1.
  const ProcessResult limited = runProcess(SGMATCH_BINARY, {"list=0", "maxfreq=1000", "stats=absent"}, dir.path());
  EXPECT_EQ(linesOf(maskTimes(limited.output))[0], "0\t#nodes: 9\tSym: 0\tFreq: 1001\tTime/ms: T [pruned by maxfreq]");
  const ProcessResult nearTop =
      runProcess(SGMATCH_BINARY, {"list=0", "maxfreq=9223372036854775807", "stats=absent"}, dir.path());
  EXPECT_EQ(linesOf(maskTimes(nearTop.output))[0],
            "0\t#nodes: 9\tSym: 0\tFreq: 9223372036854775808\tTime/ms: T [pruned by maxfreq]");
}

TEST(CountOnly, ListTakesOnlyZeroOrOneAndRefusesOthersBeforeReadingAFile) {
  for (const char* bad : {"list=2", "list=yes", "list=00", "list=-1", "list=1x", "list= 1"}) {
    TempDir dir;  // no data or query file: reading one would print an error of its own
    const ProcessResult run =
        runProcess("/bin/sh", {"-c", std::string("exec '") + SGMATCH_BINARY + "' '" + bad + "' 2>errors"}, dir.path());
    EXPECT_EQ(run.status, 255) << bad;
    EXPECT_EQ(run.output, "") << bad;
    EXPECT_EQ(readFile(dir.file("errors")), std::string("sgmatch: ") + bad + ": expected 0 or 1\n") << bad;
    EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"errors", "stats"})) << bad;
  }
}

namespace {

struct Listed {
  std::string report;          // per query: count and status
  std::string records;         // the subgraph file
  std::map<std::string, std::string> statistics;  // file name -> content
};

// Matches every query of the files in `dir` through Query, asking the counter first as `mode` says,
// with the statistics and subgraph files in a directory of their own.
Listed listAll(const TempDir& dir, const std::string& name, uint64_t limit, CountFirst mode) {
  fs::create_directory(dir.file(name));
  fs::create_directory(dir.file(name + "/stats"));
  Graph graph;
  EXPECT_TRUE(graph.read(dir.file("data").c_str()));
  Listed listed;
  {
    Query query(dir.file("query"), dir.file(name + "/subgraphs"), dir.file(name + "/stats"), limit);
    SearchControl control;
    query.control = &control;
    query.countFirst = mode;
    while (query.read()) {
      if (query.vertexLabels.empty()) continue;
      control.reset();
      const uint64_t count = query.match(&graph);
      listed.report += std::to_string(query.queryNumber) + " " + std::to_string(count) + " " +
                       std::to_string(static_cast<int>(query.status)) + "\n";
    }
  }
  listed.records = readFile(dir.file(name + "/subgraphs"));
  for (const std::string& file : listDirectory(dir.file(name + "/stats"))) {
    listed.statistics[file] = readFile(dir.file(name + "/stats/" + file));
  }
  return listed;
}

void expectSameListings(const TempDir& dir, uint64_t limit, const std::string& where) {
  static int serial = 0;
  const std::string tag = std::to_string(++serial);
  const Listed plain = listAll(dir, "never" + tag, limit, CountFirst::never);
  for (CountFirst mode : {CountFirst::always, CountFirst::automatic}) {
    const Listed asked = listAll(dir, (mode == CountFirst::always ? "always" : "auto") + tag, limit, mode);
    EXPECT_EQ(asked.report, plain.report) << where << " limit " << limit;
    EXPECT_EQ(asked.records, plain.records) << where << " limit " << limit;
    EXPECT_EQ(asked.statistics, plain.statistics) << where << " limit " << limit;
  }
}

}  // namespace

// Seeded random graphs and queries with limits around their counts: asking the counter first (at
// the first embedding, or after thresholds within a time budget) changes no byte of the listing.
TEST(CountFirst, ListingsAreTheSameAskedOrNot) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    std::mt19937 random(seed);
    auto pick = [&](int bound) { return static_cast<int>(random() % static_cast<uint32_t>(bound)); };
    SmallGraph data;
    const int size = 20 + pick(40), labels = 1 + pick(3);
    for (int i = 0; i < size; ++i) data.labels.push_back(pick(labels));
    const int edges = size * (2 + pick(4));
    for (int i = 0; i < edges; ++i) data.edges.push_back({pick(size), pick(size)});
    std::vector<SmallGraph> queries;
    for (int q = 0; q < 4; ++q) {
      SmallGraph query;
      const int n = 2 + pick(4);
      for (int i = 0; i < n; ++i) query.labels.push_back(pick(labels));
      for (int i = 1; i < n; ++i) query.edges.push_back({i, pick(i)});
      if (pick(2) == 0) {
        query.classes.resize(n);
        for (int i = 0; i < n; ++i) {
          for (int x = 0; x < n; ++x) {
            if (query.labels[x] == query.labels[i] && pick(2) == 0) query.classes[i].push_back(x);
          }
        }
      }
      queries.push_back(query);
    }
    TempDir dir;
    writeFile(dir.file("data"), dataFileText(data));
    writeFile(dir.file("query"), queryFileText(queries));
    const Listed unlimited = listAll(dir, "unlimited", UINT64_MAX, CountFirst::never);
    std::set<uint64_t> limits{0, 1};
    for (const std::string& line : linesOf(unlimited.report)) {
      const uint64_t count = std::stoull(line.substr(line.find(' ') + 1));
      if (count > 0) limits.insert({count - 1, count, count + 1});
    }
    for (uint64_t limit : limits) expectSameListings(dir, limit, "seed " + std::to_string(seed));
  }
}

// Paths of 4 vertices in a complete graph of 30 vertices: 657,720 embeddings, past the first marks
// at which a listing asks the counter on its own.
TEST(CountFirst, LongListingsAreTheSameAskedOrNot) {
  SmallGraph data;
  data.labels.assign(30, 0);
  for (int u = 0; u < 30; ++u) {
    for (int v = u + 1; v < 30; ++v) data.edges.push_back({u, v});
  }
  SmallGraph path;
  path.labels.assign(4, 0);
  path.edges = {{0, 1}, {1, 2}, {2, 3}};
  TempDir dir;
  writeFile(dir.file("data"), dataFileText(data));
  writeFile(dir.file("query"), queryFileText({path}));
  for (uint64_t limit : {uint64_t{40000}, uint64_t{657719}, uint64_t{657720}}) expectSameListings(dir, limit, "K30");
}

// Cliques of 6 in a complete graph of 200 vertices: about 5.6e13 embeddings, far more than a tenth of
// a second can count. The time limit stops the count and reports it as a listing's would be.
TEST(CountOnly, ATimeLimitStopsTheCountAndReportsALowerBound) {
  SmallGraph data;
  data.labels.assign(200, 0);
  for (int u = 0; u < 200; ++u) {
    for (int v = u + 1; v < 200; ++v) data.edges.push_back({u, v});
  }
  SmallGraph clique;
  clique.labels.assign(6, 0);
  for (int u = 0; u < 6; ++u) {
    for (int v = u + 1; v < 6; ++v) clique.edges.push_back({u, v});
  }
  TempDir dir;
  writeFile(dir.file("data"), dataFileText(data));
  writeFile(dir.file("query"), queryFileText({clique, star(1)}));
  for (const char* threads : {"threads=1", "threads=2"}) {
    const ProcessResult run =
        runProcess(SGMATCH_BINARY, {"list=0", "timeout=0.1", "results=results.jsonl", threads}, dir.path());
    EXPECT_EQ(run.status, 0);
    const std::vector<std::string> lines = linesOf(maskTimes(run.output));
    ASSERT_EQ(lines.size(), 3u) << run.output;
    EXPECT_EQ(lines[0].rfind("0\t#nodes: 6\tSym: 0\tFreq: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].size() - 20), " [pruned by timeout]") << lines[0];
    EXPECT_EQ(lines[1], "1\t#nodes: 2\tSym: 0\tFreq: 0\tTime/ms: T [pruned by zero freq]");
    EXPECT_EQ(readFile(dir.file("subgraphs")), "") << threads;
    const std::vector<nlohmann::json> objects = resultObjects(dir.file("results.jsonl"));
    ASSERT_EQ(objects.size(), 4u);
    EXPECT_EQ(objects[1]["status"], "timeout");
    EXPECT_EQ(objects[1]["exact"], false);
    EXPECT_LT(objects[1]["wall_ms"].get<double>(), 5000) << "the count stops soon after the limit";
    EXPECT_EQ(listDirectory(dir.file("stats")), std::vector<std::string>{}) << "no statistics file";
  }
}

// sgmatch-merge against the whole run: the shard runs of every end-to-end case and of random workloads,
// merged for several shard counts, give the whole run's report (times masked), subgraph file and
// statistics files byte for byte; every inconsistent, unfinished or malformed input ends the merge with
// status 255, a message naming the file, and nothing written. Results files are made from the shard
// reports, in the JSON Lines form the tool writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "shard_merge.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string sgmatchBinary = SGMATCH_BINARY;
const std::string mergeBinary = SGMATCH_MERGE_BINARY;

struct MergeRun {
  int status = -1;
  std::string output, errors;
};

MergeRun runMerge(const std::string& directory, const std::vector<std::string>& arguments) {
  TempDir scratch;
  const std::string errorsPath = scratch.file("errors");
  std::vector<std::string> shellArguments{"-c", "exec \"$0\" \"$@\" 2>'" + errorsPath + "'", mergeBinary};
  shellArguments.insert(shellArguments.end(), arguments.begin(), arguments.end());
  const ProcessResult result = runProcess("/bin/sh", shellArguments, directory);
  return {result.status, result.output, readFile(errorsPath)};
}

std::string shardDir(int index) { return "shard-" + std::to_string(index); }

// Runs shards 0..count-1 of the run `arguments` in `root`, as one would on several machines sharing the
// statistics directory: shard i leaves its report and subgraph file in shard-<i>/.
void runShards(const std::string& root, const std::vector<std::string>& arguments, int count) {
  for (int i = 0; i < count; ++i) {
    fs::create_directories(fs::path(root) / shardDir(i));
    std::vector<std::string> shardArguments = arguments;
    shardArguments.push_back("subgraph=" + shardDir(i) + "/subgraphs");
    shardArguments.push_back("shard=" + std::to_string(i) + "/" + std::to_string(count));
    writeFile(root + "/" + shardDir(i) + "/report", runProcess(sgmatchBinary, shardArguments, root).output);
  }
}

// Relative path -> content, "<dir>" for a directory; entries for which `skip` holds are left out.
using Tree = std::map<std::string, std::string>;

Tree treeOf(const fs::path& root, const std::function<bool(const std::string&)>& skip = nullptr) {
  Tree tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).generic_string();
    if (skip && skip(name)) continue;
    tree[name] = entry.is_directory() ? "<dir>" : readFile(entry.path().string());
  }
  return tree;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

void editFile(const std::string& path, const std::function<void(std::vector<std::string>&)>& edit) {
  std::vector<std::string> content = lines(readFile(path));
  edit(content);
  writeFile(path, joinLines(content));
}

// Runs the whole query file once and in `count` shards merged, from copies of `inputs`, and compares.
void expectMergeEqualsWholeRun(const fs::path& inputs, const std::vector<std::string>& arguments, int count) {
  SCOPED_TRACE("shards: " + std::to_string(count));
  TempDir scratch;
  const fs::path whole = fs::path(scratch.path()) / "whole", sharded = fs::path(scratch.path()) / "sharded";
  fs::create_directory(whole);
  fs::create_directory(sharded);
  if (fs::exists(inputs)) {
    fs::copy(inputs, whole, fs::copy_options::recursive);
    fs::copy(inputs, sharded, fs::copy_options::recursive);
  }
  std::vector<std::string> wholeArguments = arguments;
  wholeArguments.push_back("subgraph=whole-subgraphs");
  const ProcessResult wholeRun = runProcess(sgmatchBinary, wholeArguments, whole.string());

  runShards(sharded.string(), arguments, count);
  std::vector<std::string> mergeArguments{"subgraph=merged-subgraphs"};
  for (int i = count - 1; i >= 0; --i) mergeArguments.push_back(shardDir(i));  // any order will do
  const MergeRun merged = runMerge(sharded.string(), mergeArguments);

  if (wholeRun.status != 0) {
    // Some shard failed as the whole run did: it did not finish, so there is nothing to merge.
    EXPECT_EQ(merged.status, 255);
    EXPECT_EQ(merged.output, "");
    EXPECT_NE(merged.errors.find("/report"), std::string::npos) << merged.errors;
    EXPECT_FALSE(fs::exists(sharded / "merged-subgraphs"));
    return;
  }
  ASSERT_EQ(merged.status, 0) << merged.errors;
  EXPECT_EQ(maskTimes(merged.output), maskTimes(wholeRun.output));
  EXPECT_EQ(readFile((sharded / "merged-subgraphs").string()), readFile((whole / "whole-subgraphs").string()));
  // The inputs and the statistics files, the same whether written by one run or by the shards.
  EXPECT_EQ(treeOf(sharded, [](const std::string& name) { return name == "merged-subgraphs" || name.rfind("shard-", 0) == 0; }),
            treeOf(whole, [](const std::string& name) { return name == "whole-subgraphs"; }));
}

std::vector<std::string> caseNames() {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(SGMATCH_CASES_DIR)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class MergeCases : public testing::TestWithParam<std::string> {};

// A random data graph and query file: queries with and without symmetry lines, empty ones (which get
// no number), refused ones, and a count limit or diagnostics on some runs.
struct Workload {
  std::string data, query;
  std::vector<std::string> arguments;
};

Workload randomWorkload(unsigned seed) {
  std::mt19937 random(seed);
  auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
  Workload workload;
  const int vertices = pick(12, 30);
  for (int v = 0; v < vertices; ++v) workload.data += "v " + std::to_string(v) + " " + std::to_string(pick(0, 2)) + "\n";
  for (int e = pick(vertices, 3 * vertices); e > 0; --e) {
    workload.data += "e " + std::to_string(pick(0, vertices - 1)) + " " + std::to_string(pick(0, vertices - 1)) + "\n";
  }
  for (int q = pick(12, 30); q > 0; --q) {
    workload.query += "t # " + std::to_string(q) + "\n";
    if (pick(0, 9) == 0) continue;
    const int n = pick(1, 5);
    for (int v = 0; v < n; ++v) workload.query += "v " + std::to_string(v) + " " + std::to_string(pick(0, 2)) + "\n";
    for (int v = 1; v < n; ++v) workload.query += "e " + std::to_string(pick(0, v - 1)) + " " + std::to_string(v) + "\n";
    if (pick(0, 2) == 0) {
      for (int v = 0; v < n; ++v) {
        workload.query += "a";
        for (int w = 0; w < n; ++w) {
          if (w == v || pick(0, 1) == 0) workload.query += " " + std::to_string(w);
        }
        workload.query += "\n";
      }
    }
    switch (pick(0, 9)) {
      case 0:
        workload.query += "e 0 " + std::to_string(n) + "\n";  // names no vertex: refused
        break;
      case 1:
        workload.query += "v 9\n";  // too few fields: refused
        break;
      default:
        break;
    }
  }
  const int limit = pick(0, 2);
  if (limit > 0) workload.arguments.push_back("maxfreq=" + std::to_string(limit == 1 ? 3 : 40));
  if (seed % 2 == 1) workload.arguments.push_back("omark=1");
  return workload;
}

// ---------------------------------------------------------------------------------------------
// Results files as the tool writes them, made from a shard's report.

nlohmann::json runObject(const ShardReport& shard) {
  return {{"type", "run"},
          {"tool", "sgmatch"},
          {"settings", {{"data", "data"}, {"maxfreq", 18446744073709551615ULL}}},
          {"shard", std::to_string(shard.index) + "/" + std::to_string(shard.count)},
          {"data_graph", {{"vertices", 20}, {"edges", 30}}},
          {"load_ms", 1.25 + shard.index}};
}

void writeResults(const std::string& path, const ShardReport& shard) {
  std::string text = runObject(shard).dump() + "\n";
  int64_t zero = 0;
  double cpu = 0;
  for (const ReportChunk& chunk : shard.chunks) {
    const bool isZero = chunk.frequency == "0";
    zero += isZero;
    cpu += chunk.timeMs;
    text += nlohmann::json{{"type", "query"},
                           {"query", chunk.query},
                           {"frequency", std::stoull(chunk.frequency)},
                           {"status", isZero ? "zero" : chunk.marked ? "limit" : "complete"},
                           {"cpu_ms", chunk.timeMs},
                           {"order", {0, 1}}}
                .dump() +
            "\n";
  }
  const auto queries = static_cast<int64_t>(shard.chunks.size());
  text += nlohmann::json{{"type", "end"},
                         {"queries", queries},
                         {"zero", zero},
                         {"total_cpu_ms", cpu},
                         {"average_s", queries > 0 ? nlohmann::json(cpu * 0.001 / queries) : nlohmann::json()},
                         {"note", "shard " + std::to_string(shard.index)}}
              .dump() +
          "\n";
  writeFile(path, text);
}

// Three shards of a random workload, with results files, to merge and to spoil.
class MergeErrors : public testing::Test {
 protected:
  void SetUp() override {
    const Workload workload = randomWorkload(20);
    writeFile(file("data"), workload.data);
    writeFile(file("query"), workload.query);
    runShards(root.path(), {}, 3);
    for (int i = 0; i < 3; ++i) {
      ShardReport shard;
      std::string error;
      ASSERT_TRUE(readShardReport(report(i), &shard, &error)) << error;
      writeResults(file(shardDir(i) + "/results.jsonl"), shard);
    }
  }

  std::string file(const std::string& name) const { return root.file(name); }
  std::string report(int i) const { return file(shardDir(i) + "/report"); }
  std::string subgraphs(int i) const { return file(shardDir(i) + "/subgraphs"); }
  std::string results(int i) const { return file(shardDir(i) + "/results.jsonl"); }

  // Runs shard index/count of the workload with `arguments` into the directory "other".
  void runShard(std::vector<std::string> arguments, int index, int count) {
    fs::create_directories(file("other"));
    arguments.push_back("subgraph=other/subgraphs");
    arguments.push_back("shard=" + std::to_string(index) + "/" + std::to_string(count));
    writeFile(file("other/report"), runProcess(sgmatchBinary, arguments, root.path()).output);
  }

  // The index of the report line of `query` in a report's lines; the line count when there is none.
  static size_t reportLine(const std::vector<std::string>& content, int query) {
    const std::string start = std::to_string(query) + "\t#nodes: ";
    size_t k = 0;
    while (k < content.size() && content[k].rfind(start, 0) != 0) ++k;
    return k;
  }

  // The merge must fail with a message holding every fragment, print nothing and leave every file as
  // it was (no output, no temporary file).
  void expectRefused(const std::vector<std::string>& fragments,
                     const std::vector<std::string>& directories = {"shard-0", "shard-1", "shard-2"}) {
    const Tree before = treeOf(root.path());
    std::vector<std::string> arguments{"subgraph=merged", "results=merged.jsonl"};
    arguments.insert(arguments.end(), directories.begin(), directories.end());
    const MergeRun run = runMerge(root.path(), arguments);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors.rfind("sgmatch-merge: ", 0), 0u) << run.errors;
    for (const std::string& fragment : fragments) EXPECT_NE(run.errors.find(fragment), std::string::npos) << run.errors;
    EXPECT_EQ(treeOf(root.path()), before);
  }

  TempDir root;
};

}  // namespace

TEST_P(MergeCases, MergedShardsEqualTheWholeRun) {
  const fs::path folder = fs::path(SGMATCH_CASES_DIR) / GetParam();
  const std::vector<std::string> arguments = lines(fs::exists(folder / "args") ? readFile((folder / "args").string()) : "");
  for (int count : {1, 2, 5}) expectMergeEqualsWholeRun(folder / "input", arguments, count);
}

INSTANTIATE_TEST_SUITE_P(, MergeCases, testing::ValuesIn(caseNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(ShardMerge, MergedShardsOfRandomWorkloadsEqualTheWholeRun) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Workload workload = randomWorkload(seed);
    TempDir inputs;
    writeFile(inputs.file("data"), workload.data);
    writeFile(inputs.file("query"), workload.query);
    for (int count : {1, 2, 5}) expectMergeEqualsWholeRun(inputs.path(), workload.arguments, count);
  }
}

TEST_F(MergeErrors, TheResultsFilesMergeIntoThoseOfOneRun) {
  const MergeRun run = runMerge(root.path(), {"results=merged.jsonl", "subgraph=merged", "shard-1", "shard-2", "shard-0"});
  ASSERT_EQ(run.status, 0) << run.errors;
  const std::vector<std::string> merged = lines(readFile(file("merged.jsonl")));
  std::vector<std::vector<std::string>> shards;
  for (int i = 0; i < 3; ++i) shards.push_back(lines(readFile(results(i))));
  const size_t queries = merged.size() - 2;
  ASSERT_EQ(queries, shards[0].size() + shards[1].size() + shards[2].size() - 6);

  nlohmann::json run0 = nlohmann::json::parse(shards[0].front());
  run0.erase("shard");
  EXPECT_EQ(merged.front(), run0.dump());  // the first shard's, member order and numbers kept
  for (size_t q = 0; q < queries; ++q) EXPECT_EQ(merged[1 + q], shards[q % 3][1 + q / 3]);  // as written

  const nlohmann::json end = nlohmann::json::parse(merged.back());
  int64_t zero = 0;
  double cpu = 0;
  for (const auto& shard : shards) {
    const nlohmann::json shardEnd = nlohmann::json::parse(shard.back());
    zero += shardEnd["zero"].get<int64_t>();
    cpu += shardEnd["total_cpu_ms"].get<double>();
  }
  EXPECT_EQ(end["type"], "end");
  EXPECT_EQ(end["queries"], queries);
  EXPECT_EQ(end["zero"], zero);
  EXPECT_DOUBLE_EQ(end["total_cpu_ms"].get<double>(), cpu);
  EXPECT_DOUBLE_EQ(end["average_s"].get<double>(), cpu * 0.001 / static_cast<double>(queries));
  EXPECT_EQ(end["note"], "shard 0");  // a member it does not know is the first shard's
}

TEST_F(MergeErrors, ShardsThatDoNotMakeOneRun) {
  // A shard left out, or given twice.
  expectRefused({"shard 1/3 is missing"}, {"shard-0", "shard-2"});
  fs::copy(file("shard-0"), file("copy"), fs::copy_options::recursive);
  expectRefused({"copy/report:1: shard 0/3 again", "shard-0/report"}, {"shard-0", "copy", "shard-1", "shard-2"});
  // In place of shard 2: a shard of a run in two shards, of another data graph, of the same query
  // file under another name, of a run with diagnostics on.
  const std::vector<std::string> directories{"shard-0", "shard-1", "other"};
  runShard({}, 1, 2);
  expectRefused({"other/report:1: shard 1/2, but", "shard-0/report is shard 0/3", "different shard counts"}, directories);
  const std::string data = readFile(file("data"));
  writeFile(file("data"), data + "v 99 1\n");
  runShard({}, 2, 3);
  writeFile(file("data"), data);
  expectRefused({"other/report:1", "same data graph"}, directories);
  fs::copy_file(file("query"), file("query2"));
  runShard({"query=query2"}, 2, 3);
  expectRefused({"other/report:1", "query file query2"}, directories);
  runShard({"omark=1"}, 2, 3);
  expectRefused({"other/report:", "different settings"}, directories);
}

TEST_F(MergeErrors, UnfinishedShards) {
  const std::string complete = readFile(report(1));
  editFile(report(1), [](std::vector<std::string>& content) { content.pop_back(); });
  expectRefused({"shard-1/report:", "did not finish"});
  writeFile(report(1), complete.substr(0, complete.size() - 1));
  expectRefused({"shard-1/report:", "no newline"});
  writeFile(report(1), "");
  expectRefused({"shard-1/report", "empty"});
  writeFile(report(1), "Graph cannot open data\n");
  expectRefused({"shard-1/report", "no shard line", "Graph cannot open data"});
  writeFile(report(1), complete);
  fs::remove(report(2));
  expectRefused({"shard-2/report"});
  fs::remove_all(file("shard-2"));
  expectRefused({"shard-2: not a directory"});
}

TEST_F(MergeErrors, MalformedOrInconsistentReports) {
  const std::string complete = readFile(report(1));
  const std::vector<std::string> original = lines(complete);
  // The indices of the report lines of queries 1 and 4, the first two of shard 1.
  const size_t first = reportLine(original, 1), second = reportLine(original, 4);
  ASSERT_LT(second, original.size());
  const std::string firstAt = "shard-1/report:" + std::to_string(first + 1) + ": ";
  const std::string secondAt = "shard-1/report:" + std::to_string(second + 1) + ": ";
  auto spoil = [&](const std::function<void(std::vector<std::string>&)>& edit) {
    std::vector<std::string> content = original;
    edit(content);
    writeFile(report(1), joinLines(content));
  };
  spoil([&](std::vector<std::string>& content) { content[first].replace(0, 1, "2"); });
  expectRefused({firstAt + "query 2 belongs to shard 2/3"});
  spoil([&](std::vector<std::string>& content) { std::swap(content[first], content[second]); });
  expectRefused({secondAt + "query 1 is reported after query 4"});
  spoil([&](std::vector<std::string>& content) { content.erase(content.begin() + static_cast<std::ptrdiff_t>(second)); });
  expectRefused({"shard-1/report: no report line for query 4, which belongs to shard 1/3"});
  spoil([&](std::vector<std::string>& content) { content[second] = "4\t#nodes: x"; });
  expectRefused({secondAt + "malformed report line"});
  spoil([&](std::vector<std::string>& content) { content[second] += "\tTime/ms: 1"; });
  expectRefused({secondAt + "malformed report line"});
}

TEST_F(MergeErrors, MalformedOrInconsistentSubgraphFiles) {
  const std::string complete = readFile(subgraphs(1));
  const std::vector<std::string> records = lines(complete);
  ASSERT_GE(records.size(), 12u) << "the workload needs two records in shard 1";
  const int query = std::stoi(records[0].substr(2));
  auto spoil = [&](const std::function<void(std::vector<std::string>&)>& edit) {
    writeFile(subgraphs(1), complete);
    editFile(subgraphs(1), edit);
  };
  spoil([](std::vector<std::string>& content) { content[1] = "X\t1"; });
  expectRefused({"shard-1/subgraphs:2: expected the \"T\" line"});
  spoil([](std::vector<std::string>& content) { content[2] += "\t0\t1"; });
  expectRefused({"shard-1/subgraphs:3: the \"E\" line has"});
  spoil([](std::vector<std::string>& content) { content.pop_back(); });
  expectRefused({"shard-1/subgraphs:", "ends after 5 of its six lines"});
  spoil([](std::vector<std::string>& content) { content[5] += "1"; });
  expectRefused({"shard-1/subgraphs:1: the record of query " + std::to_string(query) + " has F"});
  spoil([&](std::vector<std::string>& content) { content[0].replace(2, std::to_string(query).size(), std::to_string(query + 1)); });
  expectRefused({"shard-1/subgraphs:1: the record of query " + std::to_string(query + 1) + " belongs to shard"});
  spoil([](std::vector<std::string>& content) { content.erase(content.begin(), content.begin() + 6); });
  expectRefused({"shard-1/subgraphs: no record of query " + std::to_string(query)});
  spoil([](std::vector<std::string>& content) { content.insert(content.end(), content.begin(), content.begin() + 6); });
  expectRefused({"shard-1/subgraphs:", "out of order or repeated"});
  writeFile(subgraphs(1), complete.substr(0, complete.size() - 1));
  expectRefused({"shard-1/subgraphs:", "no newline"});
  // A record for a query whose report line shows no complete count: one of shard 1's zero counts.
  ShardReport shard;
  std::string error;
  ASSERT_TRUE(readShardReport(report(1), &shard, &error)) << error;
  for (const ReportChunk& chunk : shard.chunks) {
    if (chunk.frequency != "0") continue;
    std::vector<std::string> content = records;
    std::vector<std::string> record(content.begin(), content.begin() + 6);
    record[0] = "#\t" + std::to_string(chunk.query) + record[0].substr(record[0].find('\t', 2));
    const auto before = std::find_if(content.begin(), content.end(), [&](const std::string& line) {
      return line[0] == '#' && std::stoi(line.substr(2)) > chunk.query;
    });
    content.insert(before, record.begin(), record.end());
    writeFile(subgraphs(1), joinLines(content));
    expectRefused({"shard-1/subgraphs:", "the record of query " + std::to_string(chunk.query) + " has F"});
    break;
  }
  fs::remove(subgraphs(1));
  expectRefused({"cannot open", "shard-1/subgraphs"});
}

TEST_F(MergeErrors, MalformedOrUnfinishedResultsFiles) {
  const std::string complete = readFile(results(2));
  auto spoil = [&](const std::function<void(std::vector<std::string>&)>& edit) {
    writeFile(results(2), complete);
    editFile(results(2), edit);
  };
  spoil([](std::vector<std::string>& content) { content.back() = R"({"type":"interrupted","signal":2})"; });
  expectRefused({"shard-2/results.jsonl:", "did not finish", "interrupted"});
  spoil([](std::vector<std::string>& content) { content.pop_back(); });
  expectRefused({"shard-2/results.jsonl:", "did not finish"});
  spoil([](std::vector<std::string>& content) { content.push_back(content.back()); });
  expectRefused({"shard-2/results.jsonl:", "after the \"end\" object"});
  spoil([](std::vector<std::string>& content) { content.erase(content.begin() + 1); });
  expectRefused({"shard-2/results.jsonl:2: expected the object of query 2"});
  spoil([](std::vector<std::string>& content) { content[1] = "{\"type\":\"query\",\"query\":"; });
  expectRefused({"shard-2/results.jsonl:2: not a JSON value"});
  spoil([](std::vector<std::string>& content) { content[0].replace(content[0].find("2/3"), 3, "1/3"); });
  expectRefused({"shard-2/results.jsonl:1", "\"shard\":\"2/3\""});
  spoil([](std::vector<std::string>& content) { content.erase(content.begin()); });
  expectRefused({"shard-2/results.jsonl:1: the first object is of type \"query\""});
  spoil([](std::vector<std::string>& content) {
    nlohmann::json end = nlohmann::json::parse(content.back());
    end["queries"] = end["queries"].get<int>() + 1;
    content.back() = end.dump();
  });
  expectRefused({"shard-2/results.jsonl:", "the end object counts"});
  fs::remove(results(2));
  expectRefused({"cannot open", "shard-2/results.jsonl"});
}

TEST_F(MergeErrors, OutputsThatCannotBeWritten) {
  fs::create_directory(file("merged"));
  expectRefused({"merged: it is a directory"});
  fs::remove(file("merged"));
  const Tree before = treeOf(root.path());
  const MergeRun run = runMerge(root.path(), {"subgraph=absent/merged", "shard-0", "shard-1", "shard-2"});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.output, "");
  EXPECT_NE(run.errors.find("absent/merged"), std::string::npos) << run.errors;
  EXPECT_EQ(treeOf(root.path()), before);
}

TEST(ShardMerge, CommandLine) {
  TempDir work;
  MergeRun run = runMerge(work.path(), {"--help", "no-such-dir"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output.rfind("Usage: sgmatch-merge [subgraph=PATH] [results=PATH] DIR...", 0), 0u) << run.output;
  run = runMerge(work.path(), {"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output.rfind("sgmatch-merge ", 0), 0u);
  run = runMerge(work.path(), {});
  EXPECT_EQ(run.status, 255);
  EXPECT_NE(run.errors.find("no shard directories"), std::string::npos) << run.errors;

  // A directory whose name holds "=" is a shard directory; a misspelt key is ignored with a warning.
  writeFile(work.file("data"), "v 0 1\nv 1 1\ne 0 1\n");
  writeFile(work.file("query"), "v 0 1\nv 1 1\ne 0 1\n");
  fs::create_directory(work.file("part=0"));
  const ProcessResult shard =
      runProcess(sgmatchBinary, {"data=../data", "query=../query", "stats=../stats", "shard=0/1"}, work.file("part=0"));
  EXPECT_EQ(shard.status, 0);
  writeFile(work.file("part=0/report"), shard.output);
  run = runMerge(work.path(), {"subgrph=x", "part=0"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(maskTimes(run.output), "0\t#nodes: 2\tSym: 0\tFreq: 2\tTime/ms: T\nAverage time per query: Ts. Done!\n");
  EXPECT_NE(run.errors.find("did you mean subgraph=?"), std::string::npos) << run.errors;
  EXPECT_EQ(readFile(work.file("subgraphs")), readFile(work.file("part=0/subgraphs")));
}

TEST(ShardMerge, ReportLinesKeepTheirMarksAndFrequencies) {
  TempDir work;
  writeFile(work.file("report"),
            "Shard 1/2 of query file q, data graph d (3 vertices, 2 edge lines)\n"
            "Query 1 refused: q:4: self-loop edge on vertex 0\n"
            "1\t#nodes: 2\tSym: 0\tFreq: 0\tTime/ms: 0.004 [pruned by zero freq]\n"
            "3\t#nodes: 4\tSym: 1\tFreq: 18446744073709551615\tTime/ms: 1e-05 [pruned by timeout]\n"
            "Average time per query: 1e-06s. Done!\n");
  ShardReport shard;
  std::string error;
  ASSERT_TRUE(readShardReport(work.file("report"), &shard, &error)) << error;
  EXPECT_EQ(shard.source, "of query file q, data graph d (3 vertices, 2 edge lines)");
  ASSERT_EQ(shard.chunks.size(), 2u);
  EXPECT_EQ(shard.chunks[0].lines.size(), 2u);  // the refusal travels with its query
  EXPECT_EQ(shard.chunks[1].frequency, "18446744073709551615");
  EXPECT_TRUE(shard.chunks[1].marked);
  EXPECT_DOUBLE_EQ(shard.chunks[1].timeMs, 1e-05);
  EXPECT_EQ(shard.chunks[1].line, 4);
}

// The README's table of the merge tool's keys is the one its parser uses.
TEST(ShardMerge, TheReadmeShowsTheKeys) {
  const std::string readme = readFile(std::string(SGMATCH_SOURCE_DIR) + "/README.md");
  const std::string begin = "<!-- keys of sgmatch-merge: made from the key table; a test keeps them equal -->\n";
  const size_t start = readme.find(begin);
  ASSERT_NE(start, std::string::npos) << "the README lacks the marker " << begin;
  const size_t end = readme.find("<!-- end of keys -->", start);
  ASSERT_NE(end, std::string::npos);
  MergeSettings settings;
  const std::string table = mergeToolKeys(&settings).markdown();
  EXPECT_EQ(readme.substr(start + begin.size(), end - start - begin.size()), table) << table;
}

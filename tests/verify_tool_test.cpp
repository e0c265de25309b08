// sgmatch-verify: the record reader and the summary on hand-written files (in process), then the
// real sgmatch and sgmatch-verify binaries on a small run, whose symmetry lines decide the outcome.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include <string>
#include <vector>

#include "test_support.h"
#include "verify_tool.h"

namespace {

using Rows = std::vector<std::vector<int>>;

std::string closingBlock(int read, int unique) {
  return "------------------------------------\nnumber of embeddings read: " + std::to_string(read) +
         "\nnumber of unique embeddings: " + std::to_string(unique) +
         "\n------------------------------------\n\ndone!\n";
}

// Runs runVerify in this process on `arguments`; returns what it printed, its status in *status.
std::string verifyInProcess(std::vector<std::string> arguments, int* status) {
  arguments.insert(arguments.begin(), "sgmatch-verify");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return captureStdout([&] { *status = runVerify(static_cast<int>(arguments.size()), argv.data()); });
}

// The record sgmatch writes for a path 0-1-2 with the given query number and frequency.
std::string pathRecord(int queryNumber, int frequency) {
  return "#\t" + std::to_string(queryNumber) + "\t3\t2\nT\t1\t1\t1\nE\t0\t1\t1\t0\t1\t2\t2\t1\nS\t0\nC\t0\t1\t2\nF\t" +
         std::to_string(frequency) + "\n";
}

int countOccurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace

TEST(ReadSubgraphRecords, BuildsThePatternFromTheEdgeLine) {
  TempDir dir;
  const std::string file = dir.file("subgraphs");
  // The second record lists an edge at one end only and has a vertex without edges.
  writeFile(file, pathRecord(0, 3) + "#\t4\t3\t1\nT\t-1\t2\t2\nE\t2\t0\t0\t2\nS\t1\nC\nF\t18446744073709551615\n");
  std::vector<SubgraphRecord> records;
  ASSERT_TRUE(readSubgraphRecords(file.c_str(), &records));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].queryNumber, 0);
  EXPECT_EQ(records[0].line, 1);
  EXPECT_EQ(records[0].adjacency, (Rows{{1}, {0, 2}, {1}}));
  EXPECT_EQ(records[1].queryNumber, 4);
  EXPECT_EQ(records[1].line, 7);
  EXPECT_EQ(records[1].adjacency, (Rows{{2}, {}, {0}}));

  writeFile(file, "");
  EXPECT_TRUE(readSubgraphRecords(file.c_str(), &records));
  EXPECT_TRUE(records.empty());
}

TEST(ReadSubgraphRecords, MalformedRecordsNameTheFileAndTheLine) {
  TempDir dir;
  const std::string file = dir.file("subgraphs");
  const std::string good = pathRecord(0, 3);
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {good + "T\t1\n", ":7: expected the \"#\" line (line 1 of a record), found the key \"T\""},
      {"#\t0\t3\t2\nT\t1\t1\t1\nF\t1\n", ":3: expected the \"E\" line (line 3 of a record), found the key \"F\""},
      {good + "\n", ":7: expected the \"#\" line (line 1 of a record), found an empty line"},
      {"#\t0\t3\n", ":1: the header line needs 3 fields (query, vertices, edges), found 2 fields"},
      {"#\t0\t-3\t2\n", ":1: negative vertex count -3"},
      {"#\t0\t3\t-1\n", ":1: negative edge count -1"},
      {"#\t0\t3\t2\nT\t1\t1\n", ":2: 2 labels for 3 vertices"},
      {"#\t0\t3\t2\nT\t1\t1\t1\nE\t0\t1\t1\t0\n", ":3: the edge line has 4 fields, 2 edges need 8"},
      {"#\t0\t3\t1\nT\t1\t1\t1\nE\t0\t3\t3\t0\n",
       ":3: vertex id 3 on the edge line is out of range (the record has 3 vertices)"},
      {"#\t0\t3\t1\nT\t1\t1\t1\nE\t0\t1\t-1\t0\n",
       ":3: vertex id -1 on the edge line is out of range (the record has 3 vertices)"},
      {"#\t0\t3\t2\nT\t1\t1\t1\nE\t0\t1\t1\t0\t1\t2\t2\t1\nS\nC\nF\t1\n", ":4: the \"S\" line needs 1 field, found 0 fields"},
      {"#\t0\t3\t2\nT\t1\t1\t1\nE\t0\t1\t1\t0\t1\t2\t2\t1\nS\t0\nC\nF\t1\t2\n", ":6: the \"F\" line needs 1 field, found 2 fields"},
      {good + "#\t1\t3\t2\nT\t1\t1\t1\n", ":8: the record starting on line 7 ends after 2 of its six lines"},
  };
  for (const auto& test : cases) {
    writeFile(file, test.text);
    int status = 0;
    EXPECT_EQ(verifyInProcess({"subgraph=" + file, "stats=" + dir.file("stats")}, &status),
              file + test.message + "\n")
        << test.text;
    EXPECT_EQ(status, -1) << test.text;
  }
  int status = 0;
  EXPECT_EQ(verifyInProcess({"subgraph=" + dir.file("missing")}, &status), "cannot open " + dir.file("missing") + "\n");
  EXPECT_EQ(status, -1);
}

TEST(RunVerify, ChecksEveryRecordAndSummarises) {
  TempDir dir;
  writeFile(dir.file("records"), pathRecord(0, 2) + pathRecord(2, 3) + pathRecord(5, 1));
  writeFile(dir.file("stats/0"), "5\t7\t9\n7\t5\t9\n");
  writeFile(dir.file("stats/2"), "5\t7\t9\n5\t7\n9\t7\t5\n");
  writeFile(dir.file("stats/5"), "1\t2\t3\n");
  const std::string stats = dir.file("stats");
  int status = 0;
  EXPECT_EQ(verifyInProcess({"subgraph=" + dir.file("records"), "stats=" + stats, "other=1", "stats"}, &status),
            "checking " + stats + "/0 (query 0)\n" + closingBlock(2, 2) +
                "checking " + stats + "/2 (query 2)\n"
                "embedding No. 2 has 2 fields, the pattern needs 3\n"
                "found a duplicate embedding: No. 3, which exists in No. 1\n" +
                closingBlock(3, 1) + "checking " + stats + "/5 (query 5)\n" + closingBlock(1, 1) +
                "query 0\tembeddings read: 2\tunique: 2\n"
                "query 2\tembeddings read: 3\tunique: 1 [duplicates] [1 short lines skipped]\n"
                "query 5\tembeddings read: 1\tunique: 1\n"
                "queries with duplicate embeddings: 1\n");
  EXPECT_EQ(status, 1);
}

// The real tools on a data graph whose four vertices of label 1 form a complete graph (four
// triangles) plus a pendant vertex of label 2.
class VerifyToolRun : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir.file("data"),
              "v 0 1\nv 1 1\nv 2 1\nv 3 1\nv 4 2\n"
              "e 0 1\ne 0 2\ne 0 3\ne 1 2\ne 1 3\ne 2 3\ne 3 4\n");
  }

  ProcessResult match(const std::string& queries, const std::vector<std::string>& arguments = {}) {
    writeFile(dir.file("query"), queries);
    return runProcess(SGMATCH_BINARY, arguments, dir.path());
  }

  ProcessResult verify(const std::vector<std::string>& arguments = {}) {
    return runProcess(SGMATCH_VERIFY_BINARY, arguments, dir.path());
  }

  TempDir dir;
};

// Every vertex's class lists the other two, so each triangle is found once.
const char* const brokenTriangle = "v 0 1\nv 1 1\nv 2 1\ne 0 1\ne 1 2\ne 2 0\na 1 2\na 0 2\na 0 1\n";
// No symmetry lines: each triangle is found in all six of its orders.
const char* const plainTriangle = "v 0 1\nv 1 1\nv 2 1\ne 0 1\ne 1 2\ne 2 0\n";

TEST_F(VerifyToolRun, SymmetryLinesThatBreakAllSymmetryLeaveNoDuplicates) {
  ProcessResult run = match(brokenTriangle);
  ASSERT_EQ(run.status, 0) << run.output;
  ProcessResult check = verify();
  EXPECT_EQ(check.output, "checking stats/0 (query 0)\n" + closingBlock(4, 4) +
                              "query 0\tembeddings read: 4\tunique: 4\n"
                              "queries with duplicate embeddings: 0\n");
  EXPECT_EQ(check.status, 0);
}

TEST_F(VerifyToolRun, WithoutSymmetryLinesDuplicatesAreFound) {
  ASSERT_EQ(mkdir(dir.file("results").c_str(), 0755), 0);
  ProcessResult run = match(std::string(brokenTriangle) + "t\n" + plainTriangle, {"subgraph=records", "stats=results"});
  ASSERT_EQ(run.status, 0) << run.output;

  // The default file names hold nothing of this run.
  EXPECT_EQ(verify().status, 255);
  ProcessResult check = verify({"subgraph=records", "stats=results"});
  EXPECT_EQ(countOccurrences(check.output, "found a duplicate embedding: No. "), 20);
  EXPECT_NE(check.output.find("checking results/1 (query 1)\n"), std::string::npos);
  const std::string summary =
      "query 0\tembeddings read: 4\tunique: 4\n"
      "query 1\tembeddings read: 24\tunique: 4 [duplicates]\n"
      "queries with duplicate embeddings: 1\n";
  ASSERT_GE(check.output.size(), summary.size());
  EXPECT_EQ(check.output.substr(check.output.size() - summary.size()), summary);
  EXPECT_EQ(check.status, 1);
}

TEST_F(VerifyToolRun, AMissingStatisticsFileFailsTheCheckButNotTheOthers) {
  ProcessResult run = match(std::string(plainTriangle) + "t\n" + brokenTriangle);
  ASSERT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(std::remove(dir.file("stats/0").c_str()), 0);
  ProcessResult check = verify();
  EXPECT_EQ(check.output, "checking stats/0 (query 0)\ncannot open stats/0\n"
                          "checking stats/1 (query 1)\n" + closingBlock(4, 4) +
                              "query 0\tcannot read stats/0\n"
                              "query 1\tembeddings read: 4\tunique: 4\n"
                              "queries with duplicate embeddings: 0\n");
  EXPECT_EQ(check.status, 255);
}

// Ullmann::read on small files written into a temporary directory, its summary line and messages,
// and Ullmann::buildTable on its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "ullmann.h"

namespace {

// Writes `content` as a file of the directory, reads it and returns what the read printed.
std::string readText(Ullmann* ullmann, const TempDir& dir, const std::string& content) {
  const std::string path = dir.file("graph");
  writeFile(path, content);
  return captureStdout([&] { ullmann->read(path.c_str()); });
}

// Tables filled by an earlier, valid read, for the cases that must leave them alone.
Ullmann loadedUllmann(const TempDir& dir) {
  Ullmann ullmann;
  readText(&ullmann, dir, "v 0 5\nv 1 7\ne 0 1\n");
  return ullmann;
}

}  // namespace

TEST(UllmannRead, BuildsBothTablesAndPrintsTheCounts) {
  TempDir dir;
  Ullmann ullmann;
  EXPECT_EQ(readText(&ullmann, dir, "v 0 5\nv 1 7\nv 2 5\ne 0 1\ne 1 2\n"),
            "input a graph with 3 vertices and 2 edges.\n");
  EXPECT_EQ(ullmann.labelTable, (LabelTable{{5, {0, 2}}, {7, {1}}}));
  const std::vector<LabelTable> expected{{{7, {1}}}, {{5, {0, 2}}}, {{7, {1}}}};
  EXPECT_EQ(ullmann.adjLabelTables, expected);

  // The order of the edge lines does not matter, nor do edges whose vertex lines come later.
  Ullmann swapped;
  EXPECT_EQ(readText(&swapped, dir, "v 0 5\ne 1 2\ne 0 1\nv 1 7\nv 2 5\n"),
            "input a graph with 3 vertices and 2 edges.\n");
  EXPECT_EQ(swapped.labelTable, ullmann.labelTable);
  EXPECT_EQ(swapped.adjLabelTables, expected);
}

TEST(UllmannRead, RowsReachOnlyTheLargestEndpoint) {
  TempDir dir;
  Ullmann ullmann;
  EXPECT_EQ(readText(&ullmann, dir, "v 0 1\nv 1 2\nv 2 3\n"), "input a graph with 3 vertices and 0 edges.\n");
  EXPECT_EQ(ullmann.labelTable, (LabelTable{{1, {0}}, {2, {1}}, {3, {2}}}));
  EXPECT_TRUE(ullmann.adjLabelTables.empty());

  // Vertex 3 lies above the largest endpoint and gets no entry; vertex 0 has an empty one.
  readText(&ullmann, dir, "v 0 1\nv 1 2\nv 2 3\nv 3 4\ne 1 2\n");
  EXPECT_EQ(ullmann.adjLabelTables, (std::vector<LabelTable>{{}, {{3, {2}}}, {{2, {1}}}}));

  EXPECT_EQ(readText(&ullmann, dir, ""), "input a graph with 0 vertices and 0 edges.\n");
  EXPECT_TRUE(ullmann.labelTable.empty());
  EXPECT_TRUE(ullmann.adjLabelTables.empty());
}

TEST(UllmannRead, RepeatedEdgesAndSelfLoopsKeepTheirRepeats) {
  TempDir dir;
  Ullmann ullmann;
  EXPECT_EQ(readText(&ullmann, dir, "v 0 1\nv 1 1\ne 0 1\ne 0 1\ne 1 1\n"),
            "input a graph with 2 vertices and 3 edges.\n");
  EXPECT_EQ(ullmann.adjLabelTables, (std::vector<LabelTable>{{{1, {1, 1}}}, {{1, {0, 0, 1, 1}}}}));
}

TEST(UllmannRead, ReadsOnlyTheLabelAndTheEndpoints) {
  TempDir dir;
  Ullmann ullmann;
  // Written ids, edge labels, runs of spaces, a carriage return; a space-first line, a header, "t",
  // "#" and blank lines are skipped and counted nowhere.
  const std::string text =
      "# header\n"
      "t 1 2\n"
      "v 9 4\n"
      "\n"
      " v 0 8\n"
      "v   3   -6 extra\r\n"
      "comment 1 2\n"
      "e 1 0 77\n"
      "vertex x 12abc\n";
  EXPECT_EQ(readText(&ullmann, dir, text), "input a graph with 3 vertices and 1 edges.\n");
  EXPECT_EQ(ullmann.labelTable, (LabelTable{{4, {0}}, {-6, {1}}, {12, {2}}}));
  EXPECT_EQ(ullmann.adjLabelTables, (std::vector<LabelTable>{{{-6, {1}}}, {{4, {0}}}}));
}

TEST(UllmannRead, ASecondReadReplacesEverything) {
  TempDir dir;
  Ullmann ullmann;
  readText(&ullmann, dir, "v 0 1\nv 1 2\nv 2 3\ne 0 1\ne 1 2\n");
  EXPECT_EQ(readText(&ullmann, dir, "v 0 9\nv 1 9\ne 0 1\n"), "input a graph with 2 vertices and 1 edges.\n");
  EXPECT_EQ(ullmann.labelTable, (LabelTable{{9, {0, 1}}}));
  EXPECT_EQ(ullmann.adjLabelTables, (std::vector<LabelTable>{{{9, {1}}}, {{9, {0}}}}));
}

TEST(UllmannRead, UnreadableFilesLeaveTheTablesAsTheyWere) {
  TempDir dir;
  Ullmann ullmann = loadedUllmann(dir);
  const Ullmann before = ullmann;
  const std::string missing = dir.file("missing");
  EXPECT_EQ(captureStdout([&] { ullmann.read(missing.c_str()); }), "cannot open " + missing + "\n");
  EXPECT_EQ(captureStdout([&] { ullmann.read(dir.path().c_str()); }), "cannot open " + dir.path() + "\n");
  EXPECT_EQ(ullmann.labelTable, before.labelTable);
  EXPECT_EQ(ullmann.adjLabelTables, before.adjLabelTables);
}

TEST(UllmannRead, MalformedLinesAreReportedAndChangeNothing) {
  TempDir dir;
  const std::string path = dir.file("graph");
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"v 0 1\nv 1\ne 0 0\n", ":2: vertex line with fewer than three fields"},
      {"v 0 1\nv 1 1\n\ne 1\n", ":4: edge line with fewer than three fields"},
      {"v 0 1\nv 1 1\ne 0 -1\n", ":3: edge endpoint -1 is negative"},
      {"v 0 1\ne -2147483648 0\n", ":2: edge endpoint -2147483648 is negative"},
      // Not found until the end: only two vertex lines exist. The first such line is named.
      {"v 0 1\ne 0 1\ne 3 0\nv 1 1\ne 5 1\n", ":3: edge endpoint 3 is not a vertex (the file has 2 vertex lines)"},
      // 4294967297 keeps its low 32 bits, 1, which is a vertex; 2147483647 is none.
      {"v 0 1\nv 1 1\ne 0 4294967297\ne 2147483647 0\n",
       ":4: edge endpoint 2147483647 is not a vertex (the file has 2 vertex lines)"},
  };
  for (const auto& test : cases) {
    Ullmann ullmann = loadedUllmann(dir);
    const Ullmann before = ullmann;
    EXPECT_EQ(readText(&ullmann, dir, test.text), path + test.message + "\n") << test.text;
    EXPECT_EQ(ullmann.labelTable, before.labelTable) << test.text;
    EXPECT_EQ(ullmann.adjLabelTables, before.adjLabelTables) << test.text;
  }
}

TEST(UllmannBuildTable, GroupsByLabelAndSortsEachGroup) {
  Ullmann ullmann;
  const std::vector<int> labels{3, 3, 1};
  const std::vector<int> ids{2, 0, 1, 0};
  EXPECT_EQ(ullmann.buildTable(labels, ids), (LabelTable{{3, {0, 0, 1}}, {1, {2}}}));
  EXPECT_EQ(ids, (std::vector<int>{2, 0, 1, 0}));
  EXPECT_TRUE(ullmann.buildTable(labels, {}).empty());
  EXPECT_TRUE(ullmann.labelTable.empty());
}

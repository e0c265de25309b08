// Huge inputs, end to end through the binary: queries of 50,000 vertices (a long path and a wide
// star) are read, ordered and matched in a data graph where they have two embeddings each, without
// recursion deep enough to overflow the stack and within seconds; lines of 10 MB in the data file
// and in a query's symmetry line parse like short ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "test_support.h"

namespace {

constexpr int queryVertices = 50000;

std::string vertexLine(int id, int label) { return "v " + std::to_string(id) + " " + std::to_string(label) + "\n"; }
std::string edgeLine(int u, int v) { return "e " + std::to_string(u) + " " + std::to_string(v) + "\n"; }

void expectTwoEmbeddings(const std::string& data, const std::string& query, const std::string& what,
                         const std::string& symmetry);

// Runs sgmatch on the query and data texts, with and without classes computed from the query's
// automorphisms (it has none but the identity); checks the one report line and the run's time.
void expectTwoEmbeddings(const std::string& data, const std::string& query, const std::string& what) {
  for (const char* symmetry : {"symmetry=file", "symmetry=auto"}) expectTwoEmbeddings(data, query, what, symmetry);
}

void expectTwoEmbeddings(const std::string& data, const std::string& query, const std::string& what,
                         const std::string& symmetry) {
  TempDir dir;
  writeFile(dir.file("data"), data);
  writeFile(dir.file("query"), query);
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult run = runProcess(SGMATCH_BINARY, {symmetry}, dir.path());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.status, 0) << what;
  EXPECT_EQ(maskTimes(run.output), "0\t#nodes: " + std::to_string(queryVertices) +
                                       "\tSym: 0\tFreq: 2\tTime/ms: T\nAverage time per query: Ts. Done!\n")
      << what << " " << symmetry;
#ifndef SGMATCH_SANITIZED
  // Not a measure of speed: a search that went quadratic in the query's size would take hours.
  EXPECT_LT(seconds, 120.0) << what << " " << symmetry;
#else
  (void)seconds;
#endif
  const std::string listing = readFile(dir.file("stats/0"));
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 2) << what;
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\t'), 2 * (queryVertices - 1)) << what;
}

}  // namespace

TEST(HugeInputs, APathOfFiftyThousandVertices) {
  // Labels repeat every 1000 vertices, so each of the 100 data vertices of label 0 starts a walk.
  std::string query, data;
  for (int i = 0; i < queryVertices; ++i) query += vertexLine(i, i % 1000);
  for (int i = 1; i < queryVertices; ++i) query += edgeLine(i - 1, i);
  // Two copies of the path.
  for (int copy = 0; copy < 2; ++copy) {
    for (int i = 0; i < queryVertices; ++i) data += vertexLine(i, i % 1000);
  }
  for (int copy = 0; copy < 2; ++copy) {
    for (int i = 1; i < queryVertices; ++i) data += edgeLine(copy * queryVertices + i - 1, copy * queryVertices + i);
  }
  expectTwoEmbeddings(data, query, "path");
}

TEST(HugeInputs, AStarOfFiftyThousandVertices) {
  // Leaves of distinct labels; two data centres share all the leaves.
  std::string query, data;
  query += vertexLine(0, 0);
  for (int i = 1; i < queryVertices; ++i) query += vertexLine(i, i);
  for (int i = 1; i < queryVertices; ++i) query += edgeLine(0, i);
  data += vertexLine(0, 0);
  for (int i = 1; i < queryVertices; ++i) data += vertexLine(i, i);
  data += vertexLine(queryVertices, 0);
  for (int i = 1; i < queryVertices; ++i) data += edgeLine(0, i) + edgeLine(queryVertices, i);
  expectTwoEmbeddings(data, query, "star");
}

TEST(HugeInputs, LinesOfTenMegabytesParse) {
  TempDir dir;
  const std::string tenMegabytes(10 << 20, '0');
  // A label of ten million leading zeros, and an edge line with a 10 MB trailing field.
  writeFile(dir.file("data"), "v 0 " + tenMegabytes + "7\nv 1 7\nv 2 7\ne 0 1 " + std::string(10 << 20, 'x') +
                                  "\ne 1 2\ne 0 2\n");
  // A symmetry line of five million members, all naming vertex 1.
  std::string members;
  members.reserve(10 << 20);
  for (int i = 0; i < 5 << 20; ++i) members += " 1";
  writeFile(dir.file("query"), "v 0 7\nv 1 7\ne 0 1\na" + members + "\na 0\n");
  const ProcessResult run = runProcess(SGMATCH_BINARY, {}, dir.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(maskTimes(run.output), "0\t#nodes: 2\tSym: 1\tFreq: 3\tTime/ms: T\nAverage time per query: Ts. Done!\n");
  EXPECT_EQ(readFile(dir.file("stats/0")), "0\t1\n0\t2\n1\t2\n");
}

TEST(HugeInputs, TheReferenceBuildRaisesItsStackForDeepSearches) {
  // A path of 5000 distinct labels in a copy of itself: one embedding, found 5000 levels deep,
  // which overflows a 256 KiB stack. The reference build raises its soft limit and restarts.
  TempDir dir;
  std::string text;
  const int n = 5000;
  for (int i = 0; i < n; ++i) text += vertexLine(i, i);
  for (int i = 1; i < n; ++i) text += edgeLine(i - 1, i);
  writeFile(dir.file("data"), text);
  writeFile(dir.file("query"), text);
  const ProcessResult run =
      runProcess("/bin/sh", {"-c", std::string("ulimit -S -s 256; exec ") + SGMATCH_LITERAL_BINARY}, dir.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(maskTimes(run.output), "0\t#nodes: 5000\tSym: 0\tFreq: 1\tTime/ms: T\nAverage time per query: Ts. Done!\n");
  std::string identity;
  for (int i = 0; i < n; ++i) identity += (i == 0 ? "" : "\t") + std::to_string(i);
  EXPECT_EQ(readFile(dir.file("stats/0")), identity + "\n");
}

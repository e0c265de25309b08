// Edge signatures and the embedding verifier: signatures computed directly, and verify_embeddings and
// checkEmbeddings on small embeddings files with their exact output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "embedding_check.h"
#include "main.h"
#include "test_support.h"

namespace {

using Rows = std::vector<std::vector<int>>;

const Rows triangle{{1, 2}, {0, 2}, {0, 1}};
const Rows path{{1}, {0, 2}, {1}};

std::string closingBlock(int read, int unique) {
  return "------------------------------------\nnumber of embeddings read: " + std::to_string(read) +
         "\nnumber of unique embeddings: " + std::to_string(unique) +
         "\n------------------------------------\n\ndone!\n";
}

// Runs verify_embeddings on a file with `content`; returns what it printed, its result in *unique.
std::string verifyText(const Rows& adjacency, const std::string& content, int* unique) {
  TempDir dir;
  const std::string file = dir.file("embeddings");
  writeFile(file, content);
  return captureStdout([&] { *unique = verify_embeddings(adjacency, file.c_str()); });
}

}  // namespace

TEST(GetEdgeSignature, OrdersEachPairAndTheWholeSignature) {
  EXPECT_EQ(getEdgeSignature(triangle, {5, 7, 9}), (EdgeSignature{{5, 7}, {5, 9}, {7, 9}}));
  EXPECT_EQ(getEdgeSignature(triangle, {9, 5, 7}), (EdgeSignature{{5, 7}, {5, 9}, {7, 9}}));
  EXPECT_EQ(getEdgeSignature(path, {5, 7, 9}), (EdgeSignature{{5, 7}, {7, 9}}));
  EXPECT_EQ(getEdgeSignature(path, {9, 7, 5}), (EdgeSignature{{5, 7}, {7, 9}}));
  EXPECT_EQ(getEdgeSignature(path, {7, 5, 9}), (EdgeSignature{{5, 7}, {5, 9}}));
  // Equal images give a pair of equal ids; extra embedding entries are not looked at.
  EXPECT_EQ(getEdgeSignature(path, {4, 4, -3, 100}), (EdgeSignature{{-3, 4}, {4, 4}}));
}

TEST(GetEdgeSignature, CountsEachEntryAtItsSmallerEndpointOnly) {
  const std::vector<int> embedding{8, 3};
  EXPECT_EQ(getEdgeSignature({{1}, {}}, embedding), getEdgeSignature({{1}, {0}}, embedding));
  EXPECT_EQ(getEdgeSignature({{1}, {}}, embedding), (EdgeSignature{{3, 8}}));
  EXPECT_TRUE(getEdgeSignature({{}, {0}}, embedding).empty());
  EXPECT_TRUE(getEdgeSignature({}, embedding).empty());
  // A repeated entry counts twice; a negative entry never counts.
  EXPECT_EQ(getEdgeSignature({{1, 1}, {0}}, embedding), (EdgeSignature{{3, 8}, {3, 8}}));
  EXPECT_EQ(getEdgeSignature({{-1, 1}, {-5}}, embedding), (EdgeSignature{{3, 8}}));
  // The image of a vertex without edges does not matter.
  EXPECT_EQ(getEdgeSignature({{1}, {0}, {}}, {1, 2, 3}), getEdgeSignature({{1}, {0}, {}}, {1, 2, 30}));
}

TEST(VerifyEmbeddings, ReportsEveryCopyAgainstTheFirst) {
  int unique = -1;
  EXPECT_EQ(verifyText(triangle, "5\t7\t9\n9\t5\t7\n", &unique),
            "found a duplicate embedding: No. 2, which exists in No. 1\n" + closingBlock(2, 1));
  EXPECT_EQ(unique, 1);

  // Blank lines take no number; the third copy is reported against No. 1, not No. 2.
  EXPECT_EQ(verifyText(path, "5\t7\t9\n\n7\t5\t9\n\n\n9\t7\t5\n5\t7\t9\n", &unique),
            "found a duplicate embedding: No. 3, which exists in No. 1\n"
            "found a duplicate embedding: No. 4, which exists in No. 1\n" +
                closingBlock(4, 2));
  EXPECT_EQ(unique, 2);
}

TEST(VerifyEmbeddings, ParsesFieldsLikeStrtolAndSplitsOnlyAtTabs) {
  int unique = -1;
  // Runs of tabs and tabs at either end separate like one; "12abc" is 12, " +7" is 7, "x" is 0;
  // fields beyond those the pattern needs have no effect.
  EXPECT_EQ(verifyText(path, "12\t7\t0\n\t\t12abc\t\t +7\tx\t99\t\n", &unique),
            "found a duplicate embedding: No. 2, which exists in No. 1\n" + closingBlock(2, 1));
  EXPECT_EQ(unique, 1);
}

TEST(VerifyEmbeddings, WithoutCountedEntriesEveryEmbeddingIsTheSame) {
  int unique = -1;
  EXPECT_EQ(verifyText({{}, {0}}, "1\t2\n3\n\n4\t5\t6\n", &unique),
            "found a duplicate embedding: No. 2, which exists in No. 1\n"
            "found a duplicate embedding: No. 3, which exists in No. 1\n" +
                closingBlock(3, 1));
  EXPECT_EQ(unique, 1);
  EXPECT_EQ(verifyText({}, "\n\n", &unique), closingBlock(0, 0));
  EXPECT_EQ(unique, 0);
  EXPECT_EQ(verifyText(triangle, "", &unique), closingBlock(0, 0));
  EXPECT_EQ(unique, 0);
}

TEST(VerifyEmbeddings, ShortLinesKeepTheirNumberButAddNoSignature) {
  int unique = -1;
  // Line 2 has blanks instead of tabs and forms one field; line 3 holds only tabs, no field at all.
  EXPECT_EQ(verifyText(triangle, "5\t7\t9\n5 7 9\n\t\t\n9\t5\t7\n1\t2\n", &unique),
            "embedding No. 2 has 1 field, the pattern needs 3\n"
            "embedding No. 3 has 0 fields, the pattern needs 3\n"
            "found a duplicate embedding: No. 4, which exists in No. 1\n"
            "embedding No. 5 has 2 fields, the pattern needs 3\n" +
                closingBlock(5, 1));
  EXPECT_EQ(unique, 1);

  // Only counted entries set the need: vertex 3 here has no edge to a higher vertex.
  EXPECT_EQ(verifyText({{1}, {0}, {}, {0}}, "1\t2\n3\t4\t5\n", &unique), closingBlock(2, 2));
  EXPECT_EQ(unique, 2);
  EXPECT_EQ(verifyText({{3}, {}, {}, {0}}, "1\t2\t3\n", &unique),
            "embedding No. 1 has 3 fields, the pattern needs 4\n" + closingBlock(1, 0));
  EXPECT_EQ(unique, 0);
}

TEST(VerifyEmbeddings, AMissingFileGivesOnlyItsMessage) {
  TempDir dir;
  const std::string missing = dir.file("missing");
  int unique = -1;
  EXPECT_EQ(captureStdout([&] { unique = verify_embeddings(triangle, missing.c_str()); }),
            "cannot open " + missing + "\n");
  EXPECT_EQ(unique, 0);
  EmbeddingCounts counts;
  counts.read = 7;
  EXPECT_EQ(captureStdout([&] { EXPECT_FALSE(checkEmbeddings(triangle, dir.path().c_str(), &counts)); }),
            "cannot open " + dir.path() + "\n");
  EXPECT_EQ(counts.read, 0);
}

TEST(CheckEmbeddings, CountsReadUniqueDuplicateAndShortLines) {
  TempDir dir;
  const std::string file = dir.file("embeddings");
  writeFile(file, "5\t7\t9\n9\t7\t5\n7\t5\t9\n5\t7\n9\t7\t5\n");
  EmbeddingCounts counts;
  captureStdout([&] { EXPECT_TRUE(checkEmbeddings(path, file.c_str(), &counts)); });
  EXPECT_EQ(counts.read, 5);
  EXPECT_EQ(counts.unique, 2);
  EXPECT_EQ(counts.duplicates, 2);
  EXPECT_EQ(counts.tooShort, 1);
}

// parseDataFile: the pieces of a file, read on several threads, hold between them every vertex label
// and every edge in line order and count every line once, however the file is cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "data_file_pieces.h"
#include "line_reader.h"
#include "test_support.h"

TEST(DataFilePieces, PiecesHoldEveryLineOnceInOrder) {
  TempDir dir;
  std::mt19937 random(4);
  for (int round = 0; round < 100; ++round) {
    std::string content;
    std::vector<int> labels;
    std::vector<uint64_t> edges;
    long long lines = 0;
    const int count = 1 + static_cast<int>(random() % 400);
    for (int i = 0; i < count; ++i, ++lines) {
      const unsigned kind = random() % 4;
      if (kind == 0 || labels.empty()) {
        labels.push_back(static_cast<int>(random() % 1000) - 500);
        content += "v " + std::to_string(i) + " " + std::to_string(labels.back()) + "\n";
      } else if (kind < 3) {
        const uint32_t u = static_cast<uint32_t>(random() % labels.size());
        const uint32_t v = static_cast<uint32_t>(random() % labels.size());
        edges.push_back(uint64_t{u} | (uint64_t{v} << 32));
        content += "e " + std::to_string(u) + " " + std::to_string(v) + (random() % 3 == 0 ? " 12345678901\n" : "\n");
      } else {
        content += std::string(random() % 30, '#') + "\n";
      }
    }
    writeFile(dir.file("data"), content);
    for (int threads : {1, 2, 3, 5, 8}) {
      LineReader reader;
      ASSERT_TRUE(reader.open(dir.file("data").c_str()));
      std::vector<DataFilePiece> pieces;
      ASSERT_TRUE(parseDataFile(dir.file("data").c_str(), reader, threads, &pieces));
      std::vector<int> allLabels;
      std::vector<uint64_t> allEdges;
      long long allLines = 0;
      for (const DataFilePiece& piece : pieces) {
        allLabels.insert(allLabels.end(), piece.labels.begin(), piece.labels.end());
        allEdges.insert(allEdges.end(), piece.edges.begin(), piece.edges.end());
        allLines += piece.lines;
      }
      EXPECT_EQ(allLabels, labels) << "round " << round << ", " << threads << " threads";
      EXPECT_EQ(allEdges, edges) << "round " << round << ", " << threads << " threads";
      EXPECT_EQ(allLines, lines) << "round " << round << ", " << threads << " threads";
      EXPECT_EQ(pieces.size(), std::min<size_t>(static_cast<size_t>(threads), content.size()));
    }
  }
}

// Converting edge lists and MatrixMarket files: separators, comments, the id mapping (compact ids
// through the bitmap, spread ones through the hash table, both against a plain std::map
// conversion, and the map itself), repeats and self-loops, label files, random labels, and every
// malformed line.
#include "graph_convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "id_map.h"
#include "test_support.h"

namespace {

using Edges = std::vector<std::pair<int32_t, int32_t>>;
using Ids = std::vector<uint64_t>;

Edges edgesOf(const ConvertedGraph& graph) {
  Edges edges;
  for (size_t u = 0; u + 1 < graph.firstEdge.size(); ++u) {
    for (size_t i = graph.firstEdge[u]; i < graph.firstEdge[u + 1]; ++i) {
      edges.emplace_back(static_cast<int32_t>(u), graph.largerEnds[i]);
    }
  }
  return edges;
}

class ConvertInput : public testing::Test {
 protected:
  // Converts `text` as the file "in"; the error message, or "" on success.
  std::string convert(const std::string& text, InputFormat format = InputFormat::automatic,
                      OutputKind kind = OutputKind::data, const LabelFile* labels = nullptr) {
    writeFile(dir.file("in"), text);
    std::string error;
    if (convertInput(dir.file("in"), format, kind, labels, &graph, &error)) return "";
    EXPECT_FALSE(error.empty());
    return error;
  }

  // The message with the temporary directory cut off the front.
  std::string relative(const std::string& message) {
    const std::string prefix = dir.path() + "/";
    return message.compare(0, prefix.size(), prefix) == 0 ? message.substr(prefix.size()) : message;
  }

  LabelFile labelFile(const std::string& text) {
    writeFile(dir.file("labels"), text);
    LabelFile labels;
    std::string error;
    EXPECT_TRUE(readLabelFile(dir.file("labels"), &labels, &error)) << error;
    return labels;
  }

  TempDir dir;
  ConvertedGraph graph;
};

}  // namespace

TEST_F(ConvertInput, AcceptsBlanksCommasCommentsCarriageReturnsAndExtraFields) {
  ASSERT_EQ(convert("# a comment\n% another\n\n   \n10 20\n20\t30\n  30 ,\t40  \r\n40,10\n50 60 0.25 1999\n"
                    "60\t 70,x\n   # indented comment\n70 80"),
            "");
  EXPECT_EQ(graph.originalIds, (Ids{10, 20, 30, 40, 50, 60, 70, 80}));
  EXPECT_EQ(edgesOf(graph), (Edges{{0, 1}, {0, 3}, {1, 2}, {2, 3}, {4, 5}, {5, 6}, {6, 7}}));
  EXPECT_EQ(graph.labels, std::vector<int32_t>(8, 0));
  EXPECT_EQ(graph.edgeLines, 7);
  EXPECT_EQ(graph.selfLoops, 0);
  EXPECT_EQ(graph.repeatedEdges, 0);
}

TEST_F(ConvertInput, NumbersVerticesInAscendingOrderOfTheirIdsUpToTheLargest) {
  ASSERT_EQ(convert("18446744073709551615 0\n9223372036854775807 18446744073709551615\n00005 9223372036854775807\n"),
            "");
  EXPECT_EQ(graph.originalIds, (Ids{0, 5, 9223372036854775807u, 18446744073709551615u}));
  EXPECT_EQ(edgesOf(graph), (Edges{{0, 3}, {1, 2}, {2, 3}}));
}

TEST_F(ConvertInput, DropsSelfLoopsAndRepeatsInEitherDirectionAndCountsThem) {
  ASSERT_EQ(convert("1 2\n2 1\n1 2\n3 3\n2 3\n3 3\n4 4\n"), "");
  // The vertex of a self-loop stays, without the loop.
  EXPECT_EQ(graph.originalIds, (Ids{1, 2, 3, 4}));
  EXPECT_EQ(edgesOf(graph), (Edges{{0, 1}, {1, 2}}));
  EXPECT_EQ(graph.edgeLines, 7);
  EXPECT_EQ(graph.selfLoops, 3);
  EXPECT_EQ(graph.repeatedEdges, 2);

  // Only self-loops: vertices without a single edge.
  ASSERT_EQ(convert("5 5\n6 6\n"), "");
  EXPECT_EQ(graph.originalIds, (Ids{5, 6}));
  EXPECT_EQ(graph.firstEdge.size(), 3u);
  EXPECT_EQ(graph.edgeCount(), 0u);

  ASSERT_EQ(convert("# nothing but comments\n"), "");
  EXPECT_TRUE(graph.originalIds.empty());
  EXPECT_EQ(graph.firstEdge.size(), 1u);
  EXPECT_EQ(graph.edgeCount(), 0u);
}

TEST_F(ConvertInput, AgreesWithAPlainConversionOnRandomEdgeLists) {
  uint64_t state = 7;
  auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 11;
  };
  // Compact ids take the bitmap, spread ids the hash table (ids below a million: the bitmap for the
  // longer lists only); more than 2048 vertices make several vertices share a bucket of smaller ends.
  // Ids spread over all 64 bits come from a pool, so that they repeat; the pool holds the largest.
  std::vector<uint64_t> pool{~uint64_t{0}};
  while (pool.size() < 3000) pool.push_back((next() << 11) ^ next());
  for (const uint64_t range : {uint64_t{50}, uint64_t{6000}, uint64_t{1000000}, uint64_t{1} << 40, ~uint64_t{0}}) {
    for (const int lines : {1, 40, 3000, 20000}) {
      std::string text;
      std::set<uint64_t> ids;
      std::set<std::pair<uint64_t, uint64_t>> edges;
      long long loops = 0;
      for (int i = 0; i < lines; ++i) {
        auto id = [&] { return range != ~uint64_t{0} ? next() % range : pool[next() % pool.size()]; };
        const uint64_t u = id();
        const uint64_t v = next() % 16 == 0 ? u : id();
        text += std::to_string(u) + (i % 2 ? "\t" : " ") + std::to_string(v) + "\n";
        ids.insert(u);
        ids.insert(v);
        if (u == v) {
          ++loops;
        } else {
          edges.emplace(std::min(u, v), std::max(u, v));
        }
      }
      ASSERT_EQ(convert(text), "");
      const Ids expectedIds(ids.begin(), ids.end());
      ASSERT_EQ(graph.originalIds, expectedIds) << range << " " << lines;
      std::map<uint64_t, int32_t> dense;
      for (size_t i = 0; i < expectedIds.size(); ++i) dense[expectedIds[i]] = static_cast<int32_t>(i);
      Edges expectedEdges;
      for (const auto& [u, v] : edges) expectedEdges.emplace_back(dense[u], dense[v]);
      EXPECT_EQ(edgesOf(graph), expectedEdges) << range << " " << lines;
      EXPECT_EQ(graph.selfLoops, loops);
      EXPECT_EQ(graph.repeatedEdges, lines - loops - static_cast<long long>(edges.size()));
    }
  }
}

TEST_F(ConvertInput, MalformedEdgeLinesNameTheFileTheLineAndTheField) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"1 2\n1 x\n", "in:2: expected a vertex id, found \"x\""},
      {"1 2\n\n1\n", "in:3: expected two vertex ids, found one"},
      {"-1 2\n", "in:1: negative vertex id \"-1\""},
      {"1 -2\n", "in:1: negative vertex id \"-2\""},
      {"12abc 3\n", "in:1: expected a vertex id, found \"12abc\""},
      {"1 2abc\n", "in:1: expected a vertex id, found \"2abc\""},
      {"1 18446744073709551616\n",
       "in:1: vertex id \"18446744073709551616\" is out of range (largest 18446744073709551615)"},
      {"123456789012345678901234 1\n",
       "in:1: vertex id \"123456789012345678901234\" is out of range (largest 18446744073709551615)"},
      {"1,,2\n", "in:1: expected a vertex id, found \",2\""},
      {"1;2\n", "in:1: expected a vertex id, found \"1;2\""},
      {"+1 2\n", "in:1: expected a vertex id, found \"+1\""},
      {"1.5 2\n", "in:1: expected a vertex id, found \"1.5\""},
      {"source,target\n1,2\n", "in:1: expected a vertex id, found \"source\""},
      {"1 \x01\x7f\n", "in:1: expected a vertex id, found \"??\""},
      {"1 " + std::string(60, 'y') + "\n", "in:1: expected a vertex id, found \"" + std::string(40, 'y') + "...\""},
  };
  for (const auto& c : cases) EXPECT_EQ(relative(convert(c.text)), c.message) << c.text;

  std::string error;
  EXPECT_FALSE(convertInput(dir.file("absent"), InputFormat::automatic, OutputKind::data, nullptr, &graph, &error));
  EXPECT_EQ(error, "cannot open " + dir.file("absent") + ": No such file or directory");
  EXPECT_FALSE(convertInput(dir.path(), InputFormat::automatic, OutputKind::data, nullptr, &graph, &error));
  EXPECT_EQ(error, "cannot open " + dir.path() + ": Is a directory");
  EXPECT_FALSE(convertInput("/proc/self/mem", InputFormat::automatic, OutputKind::data, nullptr, &graph, &error));
  EXPECT_EQ(error, "cannot read /proc/self/mem: Input/output error");
}

TEST_F(ConvertInput, ReadsMatrixMarketCoordinateFilesOfAnyFieldAndSymmetry) {
  // Every row is a vertex, also row 5 without entries; ids are the 1-based row numbers.
  ASSERT_EQ(convert("%%MatrixMarket matrix coordinate pattern general\n% comment\n%\n\n5 5 4\n1 2\n2 1\n3 3\n4 1\n"),
            "");
  EXPECT_EQ(graph.originalIds, (Ids{1, 2, 3, 4, 5}));
  EXPECT_EQ(edgesOf(graph), (Edges{{0, 1}, {0, 3}}));
  EXPECT_EQ(graph.edgeLines, 4);
  EXPECT_EQ(graph.selfLoops, 1);
  EXPECT_EQ(graph.repeatedEdges, 1);

  ASSERT_EQ(convert("%%matrixmarket MATRIX Coordinate real symmetric\n3 3 3\n2 1 0.5\n3 2 -1e3\n3 1\t7\n"), "");
  EXPECT_EQ(edgesOf(graph), (Edges{{0, 1}, {0, 2}, {1, 2}}));
  ASSERT_EQ(convert("%%MatrixMarket matrix coordinate integer skew-symmetric\n2 2 1\n  2 , 1 , 4\n"), "");
  EXPECT_EQ(edgesOf(graph), (Edges{{0, 1}}));
  ASSERT_EQ(convert("%%MatrixMarket matrix coordinate complex hermitian\n2 2 0\n"), "");
  EXPECT_EQ(graph.originalIds, (Ids{1, 2}));
  EXPECT_TRUE(edgesOf(graph).empty());

  // Forced, the banner is still required; forced as an edge list, the banner is a comment.
  EXPECT_EQ(relative(convert("1 2\n", InputFormat::matrixMarket)), "in:1: expected the %%MatrixMarket banner");
  EXPECT_EQ(relative(convert("", InputFormat::matrixMarket)), "in:1: the file is empty");
  ASSERT_EQ(convert("%%MatrixMarket matrix coordinate pattern general\n7 8\n", InputFormat::edgeList), "");
  EXPECT_EQ(graph.originalIds, (Ids{7, 8}));
}

TEST_F(ConvertInput, MalformedMatrixMarketFilesNameTheLineAndTheProblem) {
  const std::string banner = "%%MatrixMarket matrix coordinate pattern general\n";
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"%%MatrixMarket matrix array real general\n2 2\n1\n2\n3\n4\n",
       "in:1: unsupported format \"array\" (only coordinate matrices hold a graph)"},
      {"%%MatrixMarket vector coordinate real general\n", "in:1: unsupported object \"vector\" (expected matrix)"},
      {"%%MatrixMarket matrix coordinate double general\n",
       "in:1: unknown field \"double\" (expected pattern, integer, real or complex)"},
      {"%%MatrixMarket matrix coordinate real upper\n",
       "in:1: unknown symmetry \"upper\" (expected general, symmetric, skew-symmetric or hermitian)"},
      {"%%MatrixMarket matrix coordinate\n",
       "in:1: the banner needs 4 words after %%MatrixMarket (matrix coordinate <field> <symmetry>)"},
      {banner, "in: no size line \"rows columns entries\""},
      {banner + "% c\n3 3\n", "in:3: expected the size line \"rows columns entries\""},
      {banner + "3 3 1 1\n", "in:2: expected the size line \"rows columns entries\""},
      {banner + "3 x 1\n", "in:2: expected the size line \"rows columns entries\""},
      {banner + "3 4 1\n1 2\n", "in:2: the matrix is not square (3 rows, 4 columns), so it is no graph"},
      {banner + "3000000000 3000000000 0\n",
       "in:2: 3000000000 rows are more vertices than the tool takes (2147483647)"},
      {banner + "3 3 2\n1 2\n0 1\n", "in:4: index 0 is out of range (the matrix has rows 1 to 3)"},
      {banner + "3 3 2\n1 4\n", "in:3: index 4 is out of range (the matrix has rows 1 to 3)"},
      {banner + "3 3 1\n1 2\n2 3\n", "in:4: more entries than the 1 of the size line (line 2)"},
      {banner + "3 3 3\n1 2\n2 3\n% the end\n", "in:2: the size line announces 3 entries, the file holds 2"},
      {banner + "3 3 1\n1\n", "in:3: expected two indices, found one"},
      {banner + "3 3 1\n1 -2\n", "in:3: negative index \"-2\""},
  };
  for (const auto& c : cases) EXPECT_EQ(relative(convert(c.text)), c.message) << c.text;
}

TEST_F(ConvertInput, LabelFilesLabelEveryVertexAndAddLabelledVerticesToADataGraph) {
  LabelFile labels = labelFile("# id label\n30 -7\n10, 2147483647\n\n20\t-2147483648\n40 5\r\n10 2147483647\n");
  ASSERT_EQ(labels.entries.size(), 5u);
  EXPECT_EQ(labels.entries[0].line, 2);
  EXPECT_EQ(labels.entries[4].line, 7);

  // Vertex 40 has no edge: an isolated vertex of the data graph; a repeated identical line is fine.
  ASSERT_EQ(convert("10 20\n20 30\n", InputFormat::automatic, OutputKind::data, &labels), "");
  EXPECT_EQ(graph.originalIds, (Ids{10, 20, 30, 40}));
  EXPECT_EQ(graph.labels, (std::vector<int32_t>{2147483647, -2147483647 - 1, -7, 5}));
  EXPECT_EQ(edgesOf(graph), (Edges{{0, 1}, {1, 2}}));

  // In a query the same file may name vertices that the pattern lacks.
  ASSERT_EQ(convert("30 20\n", InputFormat::automatic, OutputKind::query, &labels), "");
  EXPECT_EQ(graph.originalIds, (Ids{20, 30}));
  EXPECT_EQ(graph.labels, (std::vector<int32_t>{-2147483647 - 1, -7}));

  EXPECT_EQ(relative(convert("10 20\n20 50\n60 70\n", InputFormat::automatic, OutputKind::data, &labels)),
            "labels: no label for vertex 50 of " + dir.file("in") + " (3 vertices have none)");
  EXPECT_EQ(relative(convert("10 50\n", InputFormat::automatic, OutputKind::query, &labels)),
            "labels: no label for vertex 50 of " + dir.file("in"));

  labels = labelFile("1 3\n2 4\n1 3\n1 6\n");
  EXPECT_EQ(relative(convert("1 2\n")), "");
  EXPECT_EQ(relative(convert("1 2\n", InputFormat::automatic, OutputKind::data, &labels)),
            "labels:4: vertex 1 labelled 6 here and 3 on line 1");
  EXPECT_EQ(relative(convert("1 2\n", InputFormat::automatic, OutputKind::query, &labels)),
            "labels:4: vertex 1 labelled 6 here and 3 on line 1");
}

TEST_F(ConvertInput, LabelFilesOfMatrixMarketFilesUseTheRowNumbers) {
  const std::string matrix = "%%MatrixMarket matrix coordinate pattern symmetric\n3 3 1\n2 1\n";
  LabelFile labels = labelFile("1 4\n2 5\n3 6\n");
  ASSERT_EQ(convert(matrix, InputFormat::automatic, OutputKind::data, &labels), "");
  EXPECT_EQ(graph.labels, (std::vector<int32_t>{4, 5, 6}));

  labels = labelFile("1 4\n2 5\n3 6\n4 7\n");
  EXPECT_EQ(relative(convert(matrix, InputFormat::automatic, OutputKind::data, &labels)),
            "labels:4: vertex 4 is not in " + dir.file("in") + " (its ids are 1 to 3)");
  ASSERT_EQ(convert(matrix, InputFormat::automatic, OutputKind::query, &labels), "");
  EXPECT_EQ(graph.labels, (std::vector<int32_t>{4, 5, 6}));
  labels = labelFile("0 1\n1 4\n2 5\n3 6\n");
  EXPECT_EQ(relative(convert(matrix, InputFormat::automatic, OutputKind::data, &labels)),
            "labels:1: vertex 0 is not in " + dir.file("in") + " (its ids are 1 to 3)");
  labels = labelFile("1 4\n2 5\n");
  EXPECT_EQ(relative(convert(matrix, InputFormat::automatic, OutputKind::data, &labels)),
            "labels: no label for vertex 3 of " + dir.file("in"));
}

TEST(ReadLabelFile, MalformedLinesNameTheFileTheLineAndTheField) {
  TempDir dir;
  const std::string file = dir.file("labels");
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"1 2\n3\n", ":2: expected \"id label\", found no label"},
      {"1 2 3\n", ":1: expected \"id label\", found a third field \"3\""},
      {"1 2,\n", ":1: expected \"id label\", found a third field \"\""},
      {"1 2147483648\n", ":1: label \"2147483648\" is out of range (-2147483648 to 2147483647)"},
      {"1 -2147483649\n", ":1: label \"-2147483649\" is out of range (-2147483648 to 2147483647)"},
      {"1 99999999999999999999999\n",
       ":1: label \"99999999999999999999999\" is out of range (-2147483648 to 2147483647)"},
      {"1 x\n", ":1: expected a label, found \"x\""},
      {"1 --2\n", ":1: expected a label, found \"--2\""},
      {"1 -\n", ":1: expected a label, found \"-\""},
      {"1 2x\n", ":1: expected a label, found \"2x\""},
      {"-1 2\n", ":1: negative vertex id \"-1\""},
      {"a 2\n", ":1: expected a vertex id, found \"a\""},
  };
  for (const auto& c : cases) {
    writeFile(file, c.text);
    LabelFile labels;
    std::string error;
    EXPECT_FALSE(readLabelFile(file, &labels, &error));
    EXPECT_EQ(error, file + c.message) << c.text;
  }
  LabelFile labels;
  std::string error;
  EXPECT_FALSE(readLabelFile(dir.file("absent"), &labels, &error));
  EXPECT_EQ(error, "cannot open " + dir.file("absent") + ": No such file or directory");
}

TEST(LabelGenerator, DrawsTheSameUniformLabelsForTheSameSeedEverywhere) {
  // Fixed values: the labels of a seed must not change between versions or platforms.
  LabelGenerator generator(1);
  std::vector<int32_t> first;
  for (int i = 0; i < 12; ++i) first.push_back(generator.next(8));
  EXPECT_EQ(first, (std::vector<int32_t>{5, 2, 4, 7, 3, 2, 6, 5, 1, 0, 1, 6}));

  LabelGenerator same(1), other(2);
  std::vector<int32_t> again, different;
  for (int i = 0; i < 12; ++i) again.push_back(same.next(8));
  for (int i = 0; i < 12; ++i) different.push_back(other.next(8));
  EXPECT_EQ(again, first);
  EXPECT_NE(different, first);

  // Every label about equally often; one label only: all 0; the largest count stays in range.
  LabelGenerator uniform(99);
  std::vector<int> counts(8, 0);
  for (int i = 0; i < 80000; ++i) ++counts[uniform.next(8)];
  for (int count : counts) EXPECT_NEAR(count, 10000, 500);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(uniform.next(1), 0);
  for (int i = 0; i < 100; ++i) {
    const int32_t label = uniform.next(2147483647);
    EXPECT_GE(label, 0);
    EXPECT_LT(label, 2147483647);
  }

  ConvertedGraph graph;
  graph.labels.assign(5, 0);
  LabelGenerator drawing(1);
  drawRandomLabels(&drawing, 8, &graph);
  EXPECT_EQ(graph.labels, (std::vector<int32_t>{5, 2, 4, 7, 3}));
}

TEST(IdMap, RanksEveryIdOfTheEndsAndTheExtraOnesAndNoOther) {
  // Compact ids take the bitmap, one id near the top of the range the hash table.
  for (const uint64_t top : {uint64_t{70}, ~uint64_t{0} - 1}) {
    HugeVector<uint64_t> ends{9, 3, 3, 70, 9, 9, 12, top};
    const std::vector<uint64_t> extra{5, 70, 200};
    std::vector<uint64_t> originalIds;
    IdMap map;
    ASSERT_TRUE(map.build(&ends, extra, std::max<uint64_t>(top, 200), &originalIds));
    std::set<uint64_t> expected{9, 3, 70, 12, top, 5, 200};
    EXPECT_EQ(originalIds, Ids(expected.begin(), expected.end()));
    for (size_t rank = 0; rank < originalIds.size(); ++rank)
      EXPECT_EQ(map.find(originalIds[rank]), static_cast<int32_t>(rank));
    for (uint64_t absent : {uint64_t{0}, uint64_t{4}, uint64_t{71}, uint64_t{201}, ~uint64_t{0}}) {
      EXPECT_EQ(map.find(absent), -1) << absent;
    }
    // The keys: dense ends, smaller first, the self-loop 9-9 left out; counted by smaller end.
    std::vector<size_t> counts(originalIds.size() + 1, 0);
    const size_t keys = map.makeKeys(&ends, 0, counts.data());
    ASSERT_EQ(keys, 3u);
    auto key = [&](uint64_t a, uint64_t b) {
      const uint64_t u = static_cast<uint64_t>(map.find(a)), v = static_cast<uint64_t>(map.find(b));
      return (std::min(u, v) << 32) | std::max(u, v);
    };
    EXPECT_EQ(std::vector<uint64_t>(ends.begin(), ends.begin() + 3),
              (std::vector<uint64_t>{key(9, 3), key(3, 70), key(12, top)}));
    EXPECT_EQ(counts[static_cast<size_t>(map.find(3)) + 1], 2u);
    EXPECT_EQ(counts[static_cast<size_t>(map.find(12)) + 1], 1u);
  }
}

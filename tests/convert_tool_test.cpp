// sgmatch-convert as a whole: the key table behind the parser and the usage text, every argument
// error, the files written (data graph, query file, id mapping), nothing written on any error, and
// the converted files read by the sgmatch binary with the expected counts.
#include "convert_tool.h"
#include "key_table.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};

// runConvert in this process.
Outcome convert(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "sgmatch-convert");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::ostringstream out, err;
  Outcome outcome;
  outcome.status = runConvert(static_cast<int>(arguments.size()), argv.data(), out, err);
  outcome.out = out.str();
  outcome.err = err.str();
  return outcome;
}

ConvertRequest parse(std::vector<std::string> arguments, ConvertOptions* options, std::string* error) {
  arguments.insert(arguments.begin(), "sgmatch-convert");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return parseConvertArguments(static_cast<int>(arguments.size()), argv.data(), options, error);
}

const std::string hint = "\n(sgmatch-convert --help lists the keys)\n";

}  // namespace

TEST(ParseConvertArguments, TakesEveryKeyOfTheTableAndKnowsTheDefaults) {
  ConvertOptions options;
  std::string error;
  ASSERT_EQ(parse({"in=a", "out=b"}, &options, &error), ConvertRequest::convert);
  EXPECT_EQ(options.inputs, std::vector<std::string>{"a"});
  EXPECT_EQ(options.output, "b");
  EXPECT_EQ(options.idsPath, "b.ids");
  EXPECT_EQ(options.kind, OutputKind::data);
  EXPECT_EQ(options.format, InputFormat::automatic);
  EXPECT_EQ(options.labelSource, LabelSource::none);
  EXPECT_EQ(options.seed, 1u);

  ASSERT_EQ(parse({"kind=query", "in=p1", "format=mtx", "in=p2", "labels=random:2147483647",
                   "seed=18446744073709551615", "ids=map", "out=q", "in=p1"},
                  &options, &error),
            ConvertRequest::convert);
  EXPECT_EQ(options.inputs, (std::vector<std::string>{"p1", "p2", "p1"}));
  EXPECT_EQ(options.kind, OutputKind::query);
  EXPECT_EQ(options.format, InputFormat::matrixMarket);
  EXPECT_EQ(options.labelSource, LabelSource::random);
  EXPECT_EQ(options.labelCount, 2147483647);
  EXPECT_EQ(options.seed, 18446744073709551615u);
  EXPECT_EQ(options.idsPath, "map");

  ASSERT_EQ(
      parse({"in=a", "out=b", "labels=lab=els.txt", "ids=none", "format=edgelist", "labels=none"}, &options, &error),
      ConvertRequest::invalid);  // labels given twice
  ASSERT_EQ(parse({"in=a", "out=b", "labels=lab=els.txt", "ids=none", "format=edgelist"}, &options, &error),
            ConvertRequest::convert);
  EXPECT_EQ(options.labelSource, LabelSource::file);
  EXPECT_EQ(options.labelPath, "lab=els.txt");
  EXPECT_EQ(options.idsPath, "");
  EXPECT_EQ(options.format, InputFormat::edgeList);

  // Each key of the table is accepted once.
  for (const ConvertKey& key : convertKeys()) {
    const std::string name = key.name;
    if (name == "in" || name == "out") continue;
    const std::string value = name == "kind" ? "data" : name == "format" ? "auto" : name == "seed" ? "5" : "none";
    EXPECT_EQ(parse({"in=a", "out=b", name + "=" + value}, &options, &error), ConvertRequest::convert) << name;
  }
}

TEST(ParseConvertArguments, RefusesUnknownRepeatedMissingAndBadValuesBeforeReadingAnything) {
  const struct {
    std::vector<std::string> arguments;
    std::string message;
  } cases[] = {
      {{}, "missing in=PATH, the file to convert"},
      {{"in=a"}, "missing out=PATH, the file to write"},
      {{"out=b"}, "missing in=PATH, the file to convert"},
      {{"in=a", "out=b", "input=c"}, "unknown key \"input\" in \"input=c\""},
      {{"in=a", "out=b", "edges.txt"}, "unexpected argument \"edges.txt\": arguments are key=value"},
      {{"in=a", "out=b", "-v"}, "unexpected argument \"-v\": arguments are key=value"},
      {{"in=a", "out=b", "=x"}, "unknown key \"\" in \"=x\""},
      {{"in=a", "out=b", "out=c"}, "key out= given twice"},
      {{"in=a", "in=c", "out=b"}, "in= given 2 times: a data graph comes from one input (kind=query takes several)"},
      {{"in=", "out=b"}, "bad value \"\" for in=: expected a file"},
      {{"in=a", "out="}, "bad value \"\" for out=: expected a file"},
      {{"in=a", "out=b", "kind=Data"}, "bad value \"Data\" for kind=: expected data or query"},
      {{"in=a", "out=b", "format=csv"}, "bad value \"csv\" for format=: expected auto, edgelist or mtx"},
      {{"in=a", "out=b", "labels=random:0"},
       "bad value \"random:0\" for labels=: expected random:L with L from 1 to 2147483647"},
      {{"in=a", "out=b", "labels=random:2147483648"},
       "bad value \"random:2147483648\" for labels=: expected random:L with L from 1 to 2147483647"},
      {{"in=a", "out=b", "labels=random:-3"},
       "bad value \"random:-3\" for labels=: expected random:L with L from 1 to 2147483647"},
      {{"in=a", "out=b", "labels=random:"},
       "bad value \"random:\" for labels=: expected random:L with L from 1 to 2147483647"},
      {{"in=a", "out=b", "labels="}, "bad value \"\" for labels=: expected none, random:L or a label file"},
      {{"in=a", "out=b", "seed=-1"}, "bad value \"-1\" for seed=: expected a number from 0 to 18446744073709551615"},
      {{"in=a", "out=b", "seed=18446744073709551616"},
       "bad value \"18446744073709551616\" for seed=: expected a number from 0 to 18446744073709551615"},
      {{"in=a", "out=b", "seed=1e3"}, "bad value \"1e3\" for seed=: expected a number from 0 to 18446744073709551615"},
      {{"in=a", "out=b", "seed= 1"}, "bad value \" 1\" for seed=: expected a number from 0 to 18446744073709551615"},
      {{"in=a", "out=b", "ids="}, "bad value \"\" for ids=: expected a file or none"},
      {{"in=a", "out=b", "ids=b"}, "ids= and out= name the same file b"},
      {{"in=a", "out=b.ids", "ids=b.ids"}, "ids= and out= name the same file b.ids"},
  };
  for (const auto& c : cases) {
    ConvertOptions options;
    std::string error;
    EXPECT_EQ(parse(c.arguments, &options, &error), ConvertRequest::invalid) << c.message;
    EXPECT_EQ(error, c.message);
    // The same through the whole tool: status 255, the message and the hint on the error stream.
    const Outcome outcome = convert(c.arguments);
    EXPECT_EQ(outcome.status, 255);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "sgmatch-convert: " + c.message + hint);
  }
}

TEST(RunConvert, HelpAndVersionWinOverEverythingElseAndReadNothing) {
  const std::string usage = convertUsage();
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"in=/absent", "out=/absent/x", "bogus", "-h"}, {"--help", "--version"}}) {
    const Outcome outcome = convert(arguments);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, usage);
    EXPECT_EQ(outcome.err, "");
  }
  const Outcome version = convert({"kind=bad", "--version", "-h"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("sgmatch-convert ") + toolVersion() + "\n");

  // The usage text comes from the key table: a line per key with its default, then its meaning.
  for (const ConvertKey& key : convertKeys()) {
    const size_t name = usage.find(std::string("\n  ") + key.name + " ");
    ASSERT_NE(name, std::string::npos) << key.name;
    const size_t value = usage.find_first_not_of(' ', name + 3 + std::string(key.name).size());
    EXPECT_EQ(usage.compare(value, std::string(key.defaultValue).size(), key.defaultValue), 0) << key.name;
    EXPECT_NE(usage.find(std::string(key.meaning).substr(0, 20)), std::string::npos) << key.name;
  }
  for (const char* part : {"Usage: sgmatch-convert in=PATH out=PATH", "edge list", "MatrixMarket", "label file",
                           "sgmatch-convert in=edges.txt out=data.graph labels=random:8 seed=1"}) {
    EXPECT_NE(usage.find(part), std::string::npos) << part;
  }
  for (const std::string& line : [&] {
         std::vector<std::string> lines;
         std::istringstream text(usage);
         for (std::string l; std::getline(text, l);) lines.push_back(l);
         return lines;
       }()) {
    EXPECT_LE(line.size(), 102u) << line;
  }
}

class ConvertFiles : public testing::Test {
 protected:
  std::string file(const std::string& name) { return dir.file(name); }
  TempDir dir;
};

TEST_F(ConvertFiles, WritesTheDataGraphTheIdMappingAndASummary) {
  writeFile(file("edges.txt"), "# web graph\n300 100\n100,200\n200 300\n300 100\n400 400\n500\t100 0.5\n");
  const Outcome outcome = convert({"in=" + file("edges.txt"), "out=" + file("data.graph")});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out, "wrote " + file("data.graph") + ": 5 vertices, 4 edges (6 edges read from " +
                             file("edges.txt") + "; dropped 1 repeated edge, 1 self-loop)\nwrote " +
                             file("data.graph.ids") + ": the input's id of every vertex\n");
  EXPECT_EQ(readFile(file("data.graph")), "t 5 4\nv 0 0\nv 1 0\nv 2 0\nv 3 0\nv 4 0\ne 0 1\ne 0 2\ne 0 4\ne 1 2\n");
  EXPECT_EQ(readFile(file("data.graph.ids")), "100\n200\n300\n400\n500\n");
  EXPECT_EQ(listDirectory(dir.path()),
            (std::vector<std::string>{"data.graph", "data.graph.ids", "edges.txt", "stats"}));

  // Labels from a file; the mapping elsewhere; an existing output is replaced.
  writeFile(file("labels.txt"), "100 -1\n200 2\n300 3\n400 4\n500 5\n600 6\n");
  ASSERT_EQ(convert({"in=" + file("edges.txt"), "out=" + file("data.graph"), "labels=" + file("labels.txt"),
                     "ids=" + file("map")})
                .status,
            0);
  EXPECT_EQ(readFile(file("data.graph")),
            "t 6 4\nv 0 -1\nv 1 2\nv 2 3\nv 3 4\nv 4 5\nv 5 6\ne 0 1\ne 0 2\ne 0 4\ne 1 2\n");
  EXPECT_EQ(readFile(file("map")), "100\n200\n300\n400\n500\n600\n");

  // Random labels: the same for the same seed, other ones for another seed; ids=none writes no mapping.
  std::remove(file("data.graph.ids").c_str());
  ASSERT_EQ(convert({"in=" + file("edges.txt"), "out=" + file("r1"), "labels=random:1000", "ids=none"}).status, 0);
  ASSERT_EQ(
      convert({"in=" + file("edges.txt"), "out=" + file("r2"), "labels=random:1000", "seed=1", "ids=none"}).status, 0);
  ASSERT_EQ(
      convert({"in=" + file("edges.txt"), "out=" + file("r3"), "labels=random:1000", "seed=2", "ids=none"}).status, 0);
  EXPECT_EQ(readFile(file("r1")), readFile(file("r2")));
  EXPECT_NE(readFile(file("r1")), readFile(file("r3")));
  EXPECT_FALSE(fileExists(file("r1.ids")));
  EXPECT_EQ(listDirectory(dir.path()),
            (std::vector<std::string>{"data.graph", "edges.txt", "labels.txt", "map", "r1", "r2", "r3", "stats"}));
}

TEST_F(ConvertFiles, WritesNumbersOfEveryLength) {
  // Ids of 1 to 20 digits in a path, each labelled with a power of ten or its negative.
  std::string edges, labels, ids, vertices;
  std::vector<uint64_t> path;
  for (uint64_t power = 1, i = 0; i < 20; ++i, power *= 10) path.push_back(power - 1 + (i == 0));
  path.push_back(18446744073709551615u);
  for (size_t i = 0; i < path.size(); ++i) {
    if (i > 0) edges += std::to_string(path[i - 1]) + " " + std::to_string(path[i]) + "\n";
    const int64_t label = i % 2 ? -static_cast<int64_t>(std::min<uint64_t>(path[i], 2147483648u))
                                : static_cast<int64_t>(std::min<uint64_t>(path[i], 2147483647u));
    labels += std::to_string(path[i]) + " " + std::to_string(label) + "\n";
    ids += std::to_string(path[i]) + "\n";
    vertices += "v " + std::to_string(i) + " " + std::to_string(label) + "\n";
  }
  writeFile(file("edges.txt"), edges);
  writeFile(file("labels.txt"), labels);
  ASSERT_EQ(convert({"in=" + file("edges.txt"), "out=" + file("data"), "labels=" + file("labels.txt")}).status, 0);
  std::string expected = "t 21 20\n" + vertices;
  for (size_t i = 1; i < path.size(); ++i) expected += "e " + std::to_string(i - 1) + " " + std::to_string(i) + "\n";
  EXPECT_EQ(readFile(file("data")), expected);
  EXPECT_EQ(readFile(file("data.ids")), ids);
}

TEST_F(ConvertFiles, WritesOneQueryPerPatternInOrder) {
  writeFile(file("triangle.txt"), "7 8\n8 9\n9 7\n");
  writeFile(file("path.mtx"), "%%MatrixMarket matrix coordinate pattern symmetric\n3 3 2\n2 1\n3 2\n");
  writeFile(file("labels.txt"), "7 1\n8 2\n9 3\n1 4\n2 5\n3 6\n");
  const Outcome outcome =
      convert({"kind=query", "in=" + file("triangle.txt"), "in=" + file("path.mtx"), "in=" + file("triangle.txt"),
               "out=" + file("query"), "labels=" + file("labels.txt")});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(readFile(file("query")),
            "t # 0\nv 0 1\nv 1 2\nv 2 3\ne 0 1\ne 0 2\ne 1 2\n"
            "t # 1\nv 0 4\nv 1 5\nv 2 6\ne 0 1\ne 1 2\n"
            "t # 2\nv 0 1\nv 1 2\nv 2 3\ne 0 1\ne 0 2\ne 1 2\n");
  EXPECT_EQ(readFile(file("query.ids")), "t # 0\n7\n8\n9\nt # 1\n1\n2\n3\nt # 2\n7\n8\n9\n");
  EXPECT_EQ(outcome.out, "wrote query 0 of " + file("query") + ": 3 vertices, 3 edges (3 edges read from " +
                             file("triangle.txt") + "; dropped 0 repeated edges, 0 self-loops)\n" +
                             "wrote query 1 of " + file("query") + ": 3 vertices, 2 edges (2 edges read from " +
                             file("path.mtx") + "; dropped 0 repeated edges, 0 self-loops)\n" + "wrote query 2 of " +
                             file("query") + ": 3 vertices, 3 edges (3 edges read from " + file("triangle.txt") +
                             "; dropped 0 repeated edges, 0 self-loops)\n" + "wrote " + file("query.ids") +
                             ": the input's id of every vertex\n");

  // Random labels continue from pattern to pattern.
  ASSERT_EQ(convert({"kind=query", "in=" + file("triangle.txt"), "in=" + file("triangle.txt"), "out=" + file("q2"),
                     "labels=random:8", "ids=none"})
                .status,
            0);
  EXPECT_EQ(readFile(file("q2")),
            "t # 0\nv 0 5\nv 1 2\nv 2 4\ne 0 1\ne 0 2\ne 1 2\nt # 1\nv 0 7\nv 1 3\nv 2 2\ne 0 1\ne 0 2\ne 1 2\n");
}

TEST_F(ConvertFiles, AnyErrorLeavesEveryFileAsItWas) {
  writeFile(file("good.txt"), "1 2\n2 3\n");
  writeFile(file("data.graph"), "old data\n");
  writeFile(file("data.graph.ids"), "old ids\n");
  writeFile(file("comments.txt"), "# nothing\n");
  const struct {
    std::vector<std::string> arguments;
    std::string fileText;  // written to bad.txt first
    std::string message;
  } cases[] = {
      {{"in=" + file("bad.txt")}, "1 2\n2 x\n", file("bad.txt") + ":2: expected a vertex id, found \"x\""},
      {{"in=" + file("bad.txt")}, "1 2\n-2 3\n", file("bad.txt") + ":2: negative vertex id \"-2\""},
      {{"in=" + file("absent.txt")}, "", "cannot open " + file("absent.txt") + ": No such file or directory"},
      {{"in=" + file("good.txt"), "labels=" + file("bad.txt")},
       "1 5\n2 5\n",
       file("bad.txt") + ": no label for vertex 3 of " + file("good.txt")},
      {{"in=" + file("good.txt"), "labels=" + file("bad.txt")},
       "1 5\n2 five\n",
       file("bad.txt") + ":2: expected a label, found \"five\""},
      {{"in=" + file("good.txt"), "format=mtx"}, "", file("good.txt") + ":1: expected the %%MatrixMarket banner"},
      {{"kind=query", "in=" + file("good.txt"), "in=" + file("bad.txt")},
       "3 4\n4 x\n",
       file("bad.txt") + ":2: expected a vertex id, found \"x\""},
      {{"kind=query", "in=" + file("good.txt"), "in=" + file("comments.txt")},
       "",
       file("comments.txt") + ": no edge, so the query would have no vertex"},
      {{"in=" + file("good.txt"), "ids=" + file("no/such/dir/ids")},
       "",
       "cannot create " + file("no/such/dir/ids") + ": No such file or directory"},
      {{"in=" + file("good.txt"), "ids=" + file("stats")}, "", "cannot write " + file("stats") + ": Is a directory"},
  };
  for (const auto& c : cases) {
    writeFile(file("bad.txt"), c.fileText);
    std::vector<std::string> arguments = c.arguments;
    arguments.push_back("out=" + file("data.graph"));
    const std::vector<std::string> before = listDirectory(dir.path());
    const Outcome outcome = convert(arguments);
    EXPECT_EQ(outcome.status, 255) << c.message;
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "sgmatch-convert: " + c.message + "\n");
    EXPECT_EQ(listDirectory(dir.path()), before) << c.message;
    EXPECT_EQ(readFile(file("data.graph")), "old data\n");
    EXPECT_EQ(readFile(file("data.graph.ids")), "old ids\n");
  }
  const Outcome unwritable = convert({"in=" + file("good.txt"), "out=" + file("no/such/dir/out")});
  EXPECT_EQ(unwritable.status, 255);
  EXPECT_EQ(unwritable.err,
            "sgmatch-convert: cannot create " + file("no/such/dir/out") + ": No such file or directory\n");
}

// The binaries: sgmatch-convert's own streams and status, a write that fails half-way, and the
// converted files matched by sgmatch.
class ConvertBinary : public testing::Test {
 protected:
  ProcessResult shell(const std::string& command) { return runProcess("/bin/sh", {"-c", command}, dir.path()); }
  TempDir dir;
};

TEST_F(ConvertBinary, UsageOnStandardOutputMessagesOnStandardErrorStatus255) {
  ProcessResult run = runProcess(SGMATCH_CONVERT_BINARY, {"--help"}, dir.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, convertUsage());
  run = shell(std::string(SGMATCH_CONVERT_BINARY) + " in=absent out=x 2>&1 >/dev/null");
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.output, "sgmatch-convert: cannot open absent: No such file or directory\n");
  // The files are written, but a summary that cannot be reported fails the run.
  writeFile(dir.file("edges.txt"), "1 2\n");
  run = shell(std::string(SGMATCH_CONVERT_BINARY) + " in=edges.txt out=data.graph ids=none 2>&1 >/dev/full");
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.output, "sgmatch-convert: cannot write the summary to standard output\n");
  EXPECT_EQ(readFile(dir.file("data.graph")), "t 2 1\nv 0 0\nv 1 0\ne 0 1\n");
  std::remove(dir.file("data.graph").c_str());
  std::remove(dir.file("edges.txt").c_str());
  run = shell(std::string(SGMATCH_CONVERT_BINARY) + " in=absent 2>/dev/null");
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"stats"});
}

TEST_F(ConvertBinary, AWriteThatFailsRemovesTheTemporaryFiles) {
  std::string edges;
  for (int i = 0; i < 20000; ++i) edges += std::to_string(i) + " " + std::to_string(i + 1) + "\n";
  writeFile(dir.file("edges.txt"), edges);
  // A file size limit of 64 KiB: the write fails with EFBIG once SIGXFSZ is ignored.
  const ProcessResult run = shell("trap '' XFSZ; ulimit -f 128; exec " + std::string(SGMATCH_CONVERT_BINARY) +
                                  " in=edges.txt out=data.graph 2>&1");
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.output, "sgmatch-convert: cannot write data.graph: File too large\n");
  EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"edges.txt", "stats"}));
}

TEST_F(ConvertBinary, ConvertedFilesGiveTheExpectedCounts) {
  // Two triangles sharing the edge 200-300, ids sparse and out of order, and a 4-cycle around them.
  writeFile(dir.file("diamond.csv"), "% diamond\n100,200\n300,100\n200,300\n400,200\n300,400\n200,100\n");
  writeFile(dir.file("triangle.txt"), "1 2\n2 3\n3 1\n");
  writeFile(dir.file("square.mtx"), "%%MatrixMarket matrix coordinate pattern general\n4 4 4\n1 2\n2 3\n3 4\n4 1\n");
  const std::string tool = SGMATCH_CONVERT_BINARY;
  ASSERT_EQ(runProcess(tool, {"in=diamond.csv", "out=data"}, dir.path()).status, 0);
  ASSERT_EQ(runProcess(tool, {"kind=query", "in=triangle.txt", "in=square.mtx", "out=query"}, dir.path()).status, 0);
  const ProcessResult run = runProcess(SGMATCH_BINARY, {}, dir.path());
  EXPECT_EQ(run.status, 0);
  // Each triangle is found 6 times (its automorphisms), the 4-cycle 8 times.
  EXPECT_EQ(maskTimes(run.output),
            "0\t#nodes: 3\tSym: 0\tFreq: 12\tTime/ms: T\n1\t#nodes: 4\tSym: 0\tFreq: 8\tTime/ms: T\n"
            "Average time per query: Ts. Done!\n");

  // With labels the triangle query labelled 1, 2, 3 finds only the triangles labelled so.
  writeFile(dir.file("data-labels"), "100 1\n200 2\n300 3\n400 1\n");
  writeFile(dir.file("query-labels"), "1 1\n2 2\n3 3\n4 9\n");
  ASSERT_EQ(runProcess(tool, {"in=diamond.csv", "out=data", "labels=data-labels"}, dir.path()).status, 0);
  ASSERT_EQ(runProcess(tool, {"kind=query", "in=triangle.txt", "out=query", "labels=query-labels"}, dir.path()).status,
            0);
  EXPECT_EQ(maskTimes(runProcess(SGMATCH_BINARY, {}, dir.path()).output),
            "0\t#nodes: 3\tSym: 0\tFreq: 2\tTime/ms: T\nAverage time per query: Ts. Done!\n");
}

// The command lines of the tools: help and version without reading a file, one warning on standard
// error for every argument that is ignored or read otherwise than it looks (while standard output,
// the files and the exit status stay those of the plain run), errors for refused values, and the
// README's table of keys made from the same table as the parser.
#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include "key_table.h"
#include "main.h"
#include "test_support.h"
#include "tool_keys.h"

namespace {

// The lines of `text` that contain `needle`.
int countLines(const std::string& text, const std::string& needle) {
  std::istringstream lines(text);
  int count = 0;
  for (std::string line; std::getline(lines, line);) count += line.find(needle) != std::string::npos;
  return count;
}

struct ToolRun {
  ProcessResult result;
  std::string errors;
};

// Runs a binary with standard error captured in a file of the directory.
ToolRun runWithErrors(const std::string& binary, const std::vector<std::string>& arguments, const TempDir& dir) {
  std::string command = "exec '" + binary + "'";
  for (const std::string& argument : arguments) command += " '" + argument + "'";
  command += " 2>errors";
  ToolRun run;
  run.result = runProcess("/bin/sh", {"-c", command}, dir.path());
  run.errors = readFile(dir.file("errors"));
  return run;
}

const char* const triangle = "v 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\ne 0 2\n";
const char* const edgeQuery = "v 0 5\nv 1 5\ne 0 1\nt\nv 0 5\nv 1 5\ne 0 1\na 0 1\na 0 1\n";

}  // namespace

TEST(CommandLine, HelpAndVersionReadNoFile) {
  for (const std::string& binary : {std::string(SGMATCH_BINARY), std::string(SGMATCH_LITERAL_BINARY),
                                    std::string(SGMATCH_VERIFY_BINARY)}) {
    TempDir dir;  // holds no data, query or subgraph file
    for (const char* flag : {"--help", "-h"}) {
      const ToolRun run = runWithErrors(binary, {"maxfreq=3", flag}, dir);
      EXPECT_EQ(run.result.status, 0) << binary << " " << flag;
      EXPECT_EQ(run.result.output.compare(0, 7, "Usage: "), 0) << run.result.output;
      EXPECT_NE(run.result.output.find("subgraph=subgraphs"), std::string::npos) << "every key with its default";
      EXPECT_NE(run.result.output.find("Example:"), std::string::npos);
      EXPECT_EQ(run.errors, "");
    }
    const ToolRun version = runWithErrors(binary, {"--version"}, dir);
    EXPECT_EQ(version.result.status, 0);
    EXPECT_NE(version.result.output.find(toolVersion()), std::string::npos) << version.result.output;
    EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"errors", "stats"})) << "nothing was written";
  }
}

// The arguments a new user gets wrong: each gets exactly one warning line, and the run does exactly
// what it does without the warnings: the same report, files and status as the equivalent plain run.
TEST(CommandLine, DoubtfulArgumentsWarnAndChangeNothingElse) {
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> plain;  // what the arguments amount to
    std::vector<std::string> warnings;
  };
  const std::vector<Case> cases{
      {{"maxfrq=1"}, {}, {"\"maxfrq=1\": there is no key \"maxfrq\"; did you mean maxfreq=?"}},
      {{"subgraphs=out.txt"}, {}, {"there is no key \"subgraphs\"; did you mean subgraph=?"}},
      {{"--maxfreq", "1"}, {}, {"\"--maxfreq\": arguments are key=value; did you mean maxfreq=?", "\"1\": arguments"}},
      {{"maxfreq=abc"}, {"maxfreq=0"}, {"maxfreq=abc is not a whole number", "read as 0"}},
      {{"maxfreq=10abc"}, {"maxfreq=10"}, {"maxfreq=10abc is not a whole number"}},
      {{"maxfreq=-1"}, {}, {"maxfreq=-1 is negative; it wraps around to 18446744073709551615 (no limit)"}},
      {{"maxfreq=1e3"}, {"maxfreq=1"}, {"maxfreq=1e3", "read as 1"}},
      {{"maxfreq=99999999999999999999"}, {"maxfreq=9223372036854775807"}, {"read as 9223372036854775807"}},
      {{"omark=yes"}, {}, {"omark=yes is not a whole number; it is read as 0"}},
      {{"data="}, {}, {"\"data=\": the key data has no value"}},
      {{"query=query=x"}, {"query=query"}, {"the value of query ends at the second \"=\""}},
  };
  for (const Case& c : cases) {
    TempDir doubtful, plain;
    for (const TempDir* dir : {&doubtful, &plain}) {
      writeFile(dir->file("data"), triangle);
      writeFile(dir->file("query"), edgeQuery);
    }
    const ToolRun warned = runWithErrors(SGMATCH_BINARY, c.arguments, doubtful);
    const ToolRun reference = runWithErrors(SGMATCH_BINARY, c.plain, plain);
    const std::string label = c.arguments[0];
    EXPECT_EQ(maskTimes(warned.result.output), maskTimes(reference.result.output)) << label;
    EXPECT_EQ(warned.result.status, reference.result.status) << label;
    EXPECT_EQ(readFile(doubtful.file("subgraphs")), readFile(plain.file("subgraphs"))) << label;
    EXPECT_EQ(listDirectory(doubtful.file("stats")), listDirectory(plain.file("stats"))) << label;
    EXPECT_EQ(reference.errors, "") << label;
    EXPECT_EQ(countLines(warned.errors, "sgmatch: warning: "), static_cast<int>(c.arguments.size())) << warned.errors;
    for (const std::string& warning : c.warnings) {
      EXPECT_NE(warned.errors.find(warning), std::string::npos) << label << ": " << warned.errors;
    }
  }
}

TEST(CommandLine, AnEdgeListGivenAsTheDataGraphGetsAWarning) {
  TempDir dir;
  writeFile(dir.file("data"), "0 1\n1 2\n2 0\n");
  writeFile(dir.file("query"), edgeQuery);
  const ToolRun run = runWithErrors(SGMATCH_BINARY, {}, dir);
  EXPECT_EQ(run.result.status, 0);
  EXPECT_EQ(countLines(run.result.output, "[pruned by zero freq]"), 2);
  EXPECT_NE(run.errors.find("no vertex line was read from the data graph data"), std::string::npos) << run.errors;
  EXPECT_NE(run.errors.find("v <id> <label>"), std::string::npos) << "the expected formats are shown";
  EXPECT_NE(run.errors.find("e <u> <v>"), std::string::npos);
}

TEST(CommandLine, NoArgumentsInAnEmptyDirectoryPointToTheHelp) {
  TempDir dir;
  const ToolRun run = runWithErrors(SGMATCH_BINARY, {}, dir);
  EXPECT_EQ(run.result.output, "Graph cannot open data\n");
  EXPECT_EQ(run.result.status, 255);
  EXPECT_NE(run.errors.find("sgmatch --help"), std::string::npos) << run.errors;
}

TEST(KeyTable, StrictKeysRefuseBadValuesAndRequestsWin) {
  int64_t number = 0;
  KeyTable table("tool", "", "", {{"n", "1", "a count", "a whole number from 0 to 9", [&](const std::string& v, std::string*) {
                                     return strictNumber(v, 0, 9, &number) ? std::string() : std::string("expected 0 to 9");
                                   }}},
                 "");
  auto apply = [&](std::vector<std::string> arguments, std::string* printed) {
    arguments.insert(arguments.begin(), "tool");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    std::ostringstream warnings;
    const CommandLineRequest request = table.apply(static_cast<int>(argv.size()), argv.data(), warnings);
    *printed = warnings.str();
    return request;
  };
  std::string printed;
  EXPECT_EQ(apply({"n=7"}, &printed), CommandLineRequest::run);
  EXPECT_EQ(number, 7);
  EXPECT_EQ(apply({"n=abc", "n=12", "n=3"}, &printed), CommandLineRequest::error);
  EXPECT_EQ(printed, "tool: n=abc: expected 0 to 9\ntool: n=12: expected 0 to 9\n");
  EXPECT_EQ(number, 3) << "later arguments are still applied, so that every error is reported";
  EXPECT_EQ(apply({"n=abc", "--version"}, &printed), CommandLineRequest::version);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(apply({"-h", "n=abc"}, &printed), CommandLineRequest::help);
}

TEST(KeyTable, NumbersAreWholeAndInRange) {
  int64_t value = 0;
  for (const char* good : {"0", "7", "9223372036854775807"}) EXPECT_TRUE(strictNumber(good, 0, INT64_MAX, &value)) << good;
  for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1e3", "10abc", "0x10", "9223372036854775808", "99999999999999999999"}) {
    EXPECT_FALSE(strictNumber(bad, 0, INT64_MAX, &value)) << bad;
  }
  EXPECT_TRUE(strictNumber("-9223372036854775808", INT64_MIN, INT64_MAX, &value));
  EXPECT_EQ(value, INT64_MIN);
  EXPECT_FALSE(strictNumber("-5", -4, 4, &value));
  std::string warning;
  EXPECT_EQ(lenientNumber("n", "12x", 0, 100, &warning), 12);
  EXPECT_EQ(warning, "n=12x is not a whole number from 0 to 100; it is read as 12");
}

// The README's table of keys is the one the parser uses; a key added to the table and not to the
// README (or the other way round) fails here with the table to paste.
TEST(KeyTable, TheReadmeShowsTheToolsKeys) {
  const std::string readme = readFile(std::string(SGMATCH_SOURCE_DIR) + "/README.md");
  const std::string begin = "<!-- keys of sgmatch: made from the key table; a test keeps them equal -->\n";
  const size_t start = readme.find(begin);
  ASSERT_NE(start, std::string::npos) << "the README lacks the marker " << begin;
  const size_t end = readme.find("<!-- end of keys -->", start);
  ASSERT_NE(end, std::string::npos);
  const std::string table = matchingToolKeys("sgmatch").markdown();
  EXPECT_EQ(readme.substr(start + begin.size(), end - start - begin.size()), table) << table;
}

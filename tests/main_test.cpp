// The driver: parseParameter on the argument quirks of key=value splitting and number parsing,
// and run's closing line when no query has a vertex.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "main.h"
#include "test_support.h"

namespace {

struct Settings {
  std::string data = "data", query = "query", subgraph = "subgraphs", stats = "stats";
  uint64_t limit = UINT64_MAX;
  int omark = 0;

  bool operator==(const Settings& o) const {
    return data == o.data && query == o.query && subgraph == o.subgraph && stats == o.stats && limit == o.limit &&
           omark == o.omark;
  }
};

void PrintTo(const Settings& s, std::ostream* out) {
  *out << "{" << s.data << ", " << s.query << ", " << s.subgraph << ", " << s.stats << ", " << s.limit << ", "
       << s.omark << "}";
}

Settings current() {
  Settings s;
  s.data = datapath;
  s.query = querypath;
  s.subgraph = subgraphpath;
  s.stats = statspath;
  s.limit = maxfreq;
  s.omark = output_mark;
  return s;
}

void apply(const Settings& s) {
  datapath = s.data;
  querypath = s.query;
  subgraphpath = s.subgraph;
  statspath = s.stats;
  maxfreq = s.limit;
  output_mark = s.omark;
}

// Calls parseParameter with a program name followed by `arguments`; returns what it printed.
std::string parse(const std::vector<std::string>& arguments) {
  std::vector<std::string> storage{"sgmatch"};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return captureStdout([&] { parseParameter(static_cast<int>(storage.size()), argv.data()); });
}

// Every test starts from the defaults and leaves them behind.
class Driver : public testing::Test {
 protected:
  void SetUp() override { apply(Settings()); }
  void TearDown() override { apply(saved); }
  Settings saved = current();
};

}  // namespace

TEST_F(Driver, DefaultsHoldBeforeAnyArgument) {
  EXPECT_EQ(current(), Settings());
  EXPECT_EQ(parse({}), "");
  EXPECT_EQ(current(), Settings());
}

TEST_F(Driver, ParseParameterAppliesEveryKeyBesideAHelpRequest) {
  // Help and version are the driver's to answer before parsing; parseParameter itself applies the
  // keys around them and passes over them like any other argument that is not key=value.
  parse({"maxfreq=7", "-h", "data=d", "--version", "--help"});
  Settings expected;
  expected.limit = 7;
  expected.data = "d";
  EXPECT_EQ(current(), expected);
}

TEST_F(Driver, ParseParameterArguments) {
  auto with = [](auto change) {
    Settings s;
    change(s);
    return s;
  };
  struct Case {
    std::vector<std::string> arguments;
    Settings expected;
    std::string printed;
  };
  const Case cases[] = {
      {{"data=g", "query=q", "subgraph=s", "stats=out/", "maxfreq=7", "omark=2"},
       with([](Settings& s) {
         s.data = "g";
         s.query = "q";
         s.subgraph = "s";
         s.stats = "out/";
         s.limit = 7;
         s.omark = 2;
       }),
       ""},
      // "maxfreq=" is printed only when a non-zero omark stands before maxfreq
      {{"omark=1", "maxfreq=100"}, with([](Settings& s) { s.limit = 100; s.omark = 1; }), "maxfreq=100\n"},
      {{"maxfreq=100", "omark=1"}, with([](Settings& s) { s.limit = 100; s.omark = 1; }), ""},
      {{"omark=1", "omark=0", "maxfreq=9"}, with([](Settings& s) { s.limit = 9; }), ""},
      {{"omark=1", "maxfreq=-1", "maxfreq=3"}, with([](Settings& s) { s.omark = 1; s.limit = 3; }),
       "maxfreq=18446744073709551615\nmaxfreq=3\n"},
      // strtol on the limit: wrap-around of negatives, saturation, no digits
      {{"maxfreq=-1"}, Settings(), ""},
      {{"maxfreq=-2"}, with([](Settings& s) { s.limit = UINT64_MAX - 1; }), ""},
      {{"maxfreq=18446744073709551615"}, with([](Settings& s) { s.limit = INT64_MAX; }), ""},
      {{"maxfreq=abc"}, with([](Settings& s) { s.limit = 0; }), ""},
      {{"maxfreq= 12abc"}, with([](Settings& s) { s.limit = 12; }), ""},
      // omark: strtol, truncated to 32 bits
      {{"omark=3", "omark=yes"}, Settings(), ""},
      {{"omark=4294967297"}, with([](Settings& s) { s.omark = 1; }), ""},
      {{"omark=-2"}, with([](Settings& s) { s.omark = -2; }), ""},
      // keys are exact and case-sensitive; a bare key or an empty value is ignored
      {{"Data=x", "subgraphs=x", "data", "data=", " data=x", "datapath=x", "="}, Settings(), ""},
      // "=" signs are delimiters: leading or doubled ones vanish, a second one ends the value
      {{"data==x"}, with([](Settings& s) { s.data = "x"; }), ""},
      {{"=data=x"}, with([](Settings& s) { s.data = "x"; }), ""},
      {{"data=a=b"}, with([](Settings& s) { s.data = "a"; }), ""},
      {{"data=a b"}, with([](Settings& s) { s.data = "a b"; }), ""},
      // a later argument overrides an earlier one
      {{"query=q1", "stats=s1", "query=q2"}, with([](Settings& s) { s.query = "q2"; s.stats = "s1"; }), ""},
  };
  for (const Case& c : cases) {
    apply(Settings());
    EXPECT_EQ(parse(c.arguments), c.printed) << testing::PrintToString(c.arguments);
    EXPECT_EQ(current(), c.expected) << testing::PrintToString(c.arguments);
  }
}

TEST_F(Driver, TheProgramNameIsNeverAnArgument) {
  char name[] = "data=elsewhere";
  char* argv[] = {name, nullptr};
  parseParameter(1, argv);
  parseParameter(0, argv);
  EXPECT_EQ(current(), Settings());
}

TEST_F(Driver, RunWithoutAQueryPrintsTheNotANumberAverage) {
  TempDir dir;
  writeFile(dir.file("data"), "v 0 1\n");
  writeFile(dir.file("query"), "t\n# nothing\nt\n");
  std::vector<std::string> arguments{"sgmatch", "data=" + dir.file("data"), "query=" + dir.file("query"),
                                     "subgraph=" + dir.file("subgraphs"), "stats=" + dir.file("stats")};
  std::vector<char*> argv;
  for (std::string& s : arguments) argv.push_back(s.data());
  int status = 1;
  const std::string output = captureStdout([&] { status = run(static_cast<int>(argv.size()), argv.data()); });
  EXPECT_EQ(status, 0);
  // 0 * 0.000001 / 0 in double arithmetic; glibc on x86-64 prints the sign of the default NaN.
  EXPECT_EQ(output, "Average time per query: -nans. Done!\n");
  EXPECT_EQ(readFile(dir.file("subgraphs")), "");
}

// parseParameter on arbitrary arguments (the input split at NUL bytes, after the program name),
// against the key=value rules applied plainly: split at "=" dropping empty pieces, the first two
// pieces are key and value, numbers as by strtol. The settings are restored after every input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "main.h"
#include "string_split.h"

namespace {

struct Settings {
  std::string data = "data", query = "query", subgraph = "subgraphs", stats = "stats";
  uint64_t limit = UINT64_MAX;
  int omark = 0;
};

std::vector<std::string> splitAtEquals(const std::string& argument) {
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : argument) {
    if (c == '=') {
      if (!piece.empty()) pieces.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

Settings applyPlainly(const std::vector<std::string>& arguments) {
  Settings s;
  for (const std::string& argument : arguments) {
    const std::vector<std::string> pieces = splitAtEquals(argument);
    if (pieces.size() < 2) continue;
    const std::string& key = pieces[0];
    const std::string& value = pieces[1];
    if (key == "data") s.data = value;
    if (key == "query") s.query = value;
    if (key == "subgraph") s.subgraph = value;
    if (key == "stats") s.stats = value;
    if (key == "maxfreq") s.limit = static_cast<uint64_t>(std::strtoll(value.c_str(), nullptr, 10));
    if (key == "omark") s.omark = plainNumber(value);
  }
  return s;
}

void setGlobals(const Settings& s) {
  datapath = s.data;
  querypath = s.query;
  subgraphpath = s.subgraph;
  statspath = s.stats;
  maxfreq = s.limit;
  output_mark = s.omark;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments;
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      arguments.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (size > 0) arguments.push_back(current);

  std::vector<std::string> storage{"sgmatch"};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(&s[0]);
  argv.push_back(nullptr);

  setGlobals(Settings());
  parseParameter(static_cast<int>(storage.size()), argv.data());
  const Settings expected = applyPlainly(arguments);
  fuzzCheck(datapath == expected.data, "datapath");
  fuzzCheck(querypath == expected.query, "querypath");
  fuzzCheck(subgraphpath == expected.subgraph, "subgraphpath");
  fuzzCheck(statspath == expected.stats, "statspath");
  fuzzCheck(maxfreq == expected.limit, "maxfreq");
  fuzzCheck(output_mark == expected.omark, "output_mark");
  setGlobals(Settings());
  return 0;
}

// The matching tool's keys. The six first keys keep their lenient reading (a value is read as strtol
// reads it, whatever it holds), with a warning on standard error when a value is not what it seems;
// keys added since are strict, and a bad value ends the run before any file is read.
#include "tool_keys.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

#include "settings.h"
#include "text_number.h"

namespace {

constexpr int64_t maxThreads = 1024;

const char* const description =
    "Counts and lists the embeddings of the labelled query graphs of the query file in the labelled data "
    "graph: one report line per query on standard output, one statistics file per query with its "
    "embeddings, and one record per query in the subgraph output file.";

const char* const details =
    "Input files (fields separated by spaces; the first character of a line decides its kind):\n"
    "  data graph  v <id> <label>   a vertex; ids are 0, 1, 2, ... in line order\n"
    "              e <u> <v>        an undirected edge between two vertices read before\n"
    "  query file  t ...            starts the next query\n"
    "              v <id> <label>, e <u> <v>   as in the data graph\n"
    "              a <x> <y> ...    the i-th such line lists the symmetry class of query vertex i\n"
    "\n"
    "Example:\n"
    "  sgmatch data=graph.txt query=patterns.txt stats=stats maxfreq=100000\n";

std::string path(std::string* setting, const std::string& value) {
  *setting = value;
  return "";
}

std::string takeLimit(const std::string& value, std::string* warning) {
  const int64_t parsed = parseLong(value);
  int64_t exact = 0;
  maxfreq = static_cast<uint64_t>(parsed);
  if (parsed < 0) {
    *warning = "maxfreq=" + value + " is negative; it wraps around to " + std::to_string(maxfreq) +
               (maxfreq == UINT64_MAX ? " (no limit)" : "");
  } else if (!strictNumber(value, 0, INT64_MAX, &exact)) {
    *warning = "maxfreq=" + value + " is not a whole number up to 9223372036854775807; it is read as " +
               std::to_string(maxfreq) + (maxfreq == 0 ? " (every query with an embedding is pruned)" : "");
  }
  if (output_mark != 0) std::cout << "maxfreq=" << maxfreq << std::endl;
  return "";
}

std::string takeOutputMark(const std::string& value, std::string* warning) {
  int64_t exact = 0;
  output_mark = parseInt32(value);
  if (!strictNumber(value, INT32_MIN, INT32_MAX, &exact)) {
    *warning = "omark=" + value + " is not a whole number; it is read as " + std::to_string(output_mark) +
               (output_mark == 0 ? " (no diagnostics)" : " (diagnostics on)");
  }
  return "";
}

// shard=I/N with 0 <= I < N.
std::string takeShard(const std::string& value, std::string*) {
  const size_t slash = value.find('/');
  int64_t index = 0, count = 0;
  if (slash == std::string::npos || !strictNumber(value.substr(0, slash), 0, INT32_MAX, &index) ||
      !strictNumber(value.substr(slash + 1), 1, INT32_MAX, &count) || index >= count) {
    return "expected I/N with whole numbers 0 <= I < N, such as 0/4";
  }
  options.sharded = true;
  options.shardIndex = static_cast<int>(index);
  options.shardCount = static_cast<int>(count);
  return "";
}

// timeout=SECONDS: a decimal number of seconds, 0 for none.
std::string takeTimeout(const std::string& value, std::string*) {
  char* end = nullptr;
  const double seconds = std::strtod(value.c_str(), &end);
  const bool plain = value.find_first_not_of("0123456789.") == std::string::npos;
  if (!plain || end != value.c_str() + value.size() || !(seconds >= 0) || seconds > 1e9) {
    return "expected a decimal number of seconds, such as 0.5 or 60 (0 for no limit)";
  }
  options.timeout = seconds;
  return "";
}

std::string takeResults(const std::string& value, std::string*) {
  options.results = value;
  return "";
}

std::string takeThreads(const std::string& value, std::string*) {
  int64_t threads = 0;
  if (!strictNumber(value, 0, maxThreads, &threads)) {
    return "expected a whole number of threads from 0 (every hardware thread) to " + std::to_string(maxThreads);
  }
  options.threads = static_cast<int>(threads);
  return "";
}

std::string takeSymmetry(const std::string& value, std::string*) {
  if (value == "file") {
    options.symmetry = SymmetryMode::file;
  } else if (value == "none") {
    options.symmetry = SymmetryMode::none;
  } else if (value == "auto") {
    options.symmetry = SymmetryMode::automatic;
  } else {
    return "expected file, none or auto";
  }
  return "";
}

std::string takeList(const std::string& value, std::string*) {
  if (value != "0" && value != "1") return "expected 0 or 1";
  options.list = value == "1";
  return "";
}

std::string takeProgress(const std::string& value, std::string*) {
  if (value != "0" && value != "1") return "expected 0 or 1";
  options.progress = value == "1" ? 1 : 0;
  return "";
}

}  // namespace

KeyTable matchingToolKeys(const char* program) {
  std::vector<Key> keys{
      {"data", "data", "data graph file", "a path",
       [](const std::string& v, std::string*) { return path(&datapath, v); }},
      {"query", "query", "query file", "a path", [](const std::string& v, std::string*) { return path(&querypath, v); }},
      // The key is "subgraph", singular, although the default file is "subgraphs".
      {"subgraph", "subgraphs", "subgraph output file (created, or truncated)", "a path",
       [](const std::string& v, std::string*) { return path(&subgraphpath, v); }},
      {"stats", "stats", "directory for the statistics files; it must exist", "a path",
       [](const std::string& v, std::string*) { return path(&statspath, v); }},
      {"maxfreq", "18446744073709551615", "stop a query's search once its count exceeds this",
       "a whole number as strtol reads it; a negative one wraps around", takeLimit},
      {"omark", "0", "non-zero prints diagnostics (counts, query lines, matching orders) on standard output",
       "a whole number", takeOutputMark},
      {"symmetry", "file",
       "the symmetry classes of each query: file, those of its symmetry lines; none, no classes (every embedding "
       "is counted); auto, computed from the query's automorphisms, so that each embedding is found once up to "
       "them (symmetry lines are then ignored)",
       "file, none or auto", takeSymmetry},
      {"timeout", "0",
       "stop a query's search after this many seconds of wall-clock time and report the count found so far "
       "as a lower bound, marked [pruned by timeout]; 0: no limit",
       "a decimal number", takeTimeout},
      {"results", "", "also write the results as JSON Lines to this file: the run, one object per query as it "
       "ends, the totals", "a path", takeResults},
      {"progress", "", "1: a status line on standard error while the run goes on; 0: none; by default only when "
       "standard error is a terminal", "0 or 1", takeProgress},
      {"threads", "1",
       "threads that match queries, several at once and in parallel, and share the search or the count of a long query, "
       "with outputs identical to one thread's; 0: every hardware thread; with more than one, Time/ms is the "
       "wall-clock time of each query's match",
       "a whole number", takeThreads},
      {"shard", "0/1",
       "match only the queries whose number q has q mod N = I; they keep their numbers, the report starts "
       "with a line naming the shard, and sgmatch-merge joins the shards' outputs",
       "I/N with whole numbers 0 <= I < N", takeShard},
      {"list", "1",
       "1: list each query's embeddings in its statistics file; 0: count them without listing, so no statistics "
       "file is written, kept or removed and the statistics directory need not exist (the report and the "
       "subgraph records are those of a listing run; a count past 18446744073709551615 is marked [count "
       "exceeds 2^64 - 1])",
       "0 or 1", takeList},
  };
  return KeyTable(program, "[key=value ...]", description, std::move(keys), details);
}

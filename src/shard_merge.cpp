// Joining shard runs. A shard's report holds, after its shard line, each of its queries' lines (any
// messages, then the report line) and, with diagnostics on, the lines that every shard prints alike
// because every shard reads the whole query file; the whole run's report is those shared lines with
// every query's own lines put back where its header falls. Subgraph records and results objects are
// streamed in query order into temporary files, which are renamed only when all inputs checked out.
#include "shard_merge.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>
#include <utility>

#include "fatal_error.h"
#include "line_reader.h"

const char* const shardReportName = "report";
const char* const shardSubgraphName = "subgraphs";
const char* const shardResultsName = "results.jsonl";

namespace {

using Json = nlohmann::ordered_json;

std::string at(const std::string& path, long long line) { return path + ":" + std::to_string(line); }

std::string excerpt(std::string_view text) {
  // Long lines are cut in messages; the line number says where the rest is.
  constexpr size_t longest = 120;
  std::string out = "\"";
  out.append(text.substr(0, longest));
  if (text.size() > longest) out += "...";
  return out + "\"";
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Reads the digits at text[*pos] as a number up to `maximum`; false when there are none or too many.
bool takeNumber(std::string_view text, size_t* pos, uint64_t maximum, uint64_t* value) {
  const size_t begin = *pos;
  uint64_t number = 0;
  while (*pos < text.size() && text[*pos] >= '0' && text[*pos] <= '9') {
    const uint64_t digit = static_cast<uint64_t>(text[*pos] - '0');
    if (number > (maximum - digit) / 10) return false;
    number = number * 10 + digit;
    ++*pos;
  }
  *value = number;
  return *pos > begin;
}

bool takeText(std::string_view text, size_t* pos, std::string_view literal) {
  if (text.substr(*pos, literal.size()) != literal) return false;
  *pos += literal.size();
  return true;
}

bool isWholeNumber(std::string_view text, uint64_t maximum) {
  size_t pos = 0;
  uint64_t value = 0;
  return takeNumber(text, &pos, maximum, &value) && pos == text.size();
}

std::vector<std::string_view> tabFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t begin = 0;
  for (;;) {
    const size_t tab = line.find('\t', begin);
    fields.push_back(line.substr(begin, tab == std::string_view::npos ? std::string_view::npos : tab - begin));
    if (tab == std::string_view::npos) return fields;
    begin = tab + 1;
  }
}

bool readWholeFile(const std::string& path, std::string* text, std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    *error = "cannot read " + path + ": it is a directory";
    return false;
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    *error = "cannot open " + path + ": " + errorText(errno != 0 ? errno : ENOENT);
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) {
    *error = "cannot read " + path + ": " + errorText(errno != 0 ? errno : EIO);
    return false;
  }
  *text = content.str();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Reports

enum class LineKind { other, report, malformed };

// The end of a report line from `pos` on: "\tTime/ms: <ms>", then marks " [...]"; false, with
// *problem, when it is anything else.
bool parseTimeAndMarks(std::string_view line, size_t pos, ReportChunk* chunk, std::string* problem) {
  if (!takeText(line, &pos, "\tTime/ms: ")) {
    *problem = "expected \"\\tTime/ms: \" after the count";
    return false;
  }
  const size_t timeEnd = std::min(line.find(' ', pos), line.size());
  const std::string timeText(line.substr(pos, timeEnd - pos));
  char* end = nullptr;
  chunk->timeMs = std::strtod(timeText.c_str(), &end);
  if (timeText.empty() || end != timeText.c_str() + timeText.size()) {
    *problem = "the time " + excerpt(timeText) + " is not a number";
    return false;
  }
  pos = timeEnd;
  chunk->marked = pos < line.size();
  while (pos < line.size()) {
    const size_t close = line.find(']', pos);
    if (!takeText(line, &pos, " [") || close == std::string_view::npos) {
      *problem = "after the time, only marks such as \" [pruned by zero freq]\" may follow";
      return false;
    }
    pos = close + 1;
  }
  return true;
}

// A report line: <q>\t#nodes: <k>\tSym: <0|1>\tFreq: <count>\tTime/ms: <ms>, then marks " [...]".
// A line that starts like one ("<digits>\t#nodes: ") must be one whole.
LineKind parseReportLine(std::string_view line, ReportChunk* chunk, std::string* problem) {
  size_t pos = 0;
  uint64_t query = 0, number = 0;
  if (!takeNumber(line, &pos, UINT64_MAX, &query) || !takeText(line, &pos, "\t#nodes: ")) return LineKind::other;
  if (query > INT32_MAX) {
    *problem = "the query number is out of range";
    return LineKind::malformed;
  }
  chunk->query = static_cast<int>(query);
  if (!takeNumber(line, &pos, UINT64_MAX, &number)) {
    *problem = "no vertex count after \"#nodes: \"";
    return LineKind::malformed;
  }
  if (!takeText(line, &pos, "\tSym: ") || pos >= line.size() || (line[pos] != '0' && line[pos] != '1')) {
    *problem = "expected \"\\tSym: \" and 0 or 1 after the vertex count";
    return LineKind::malformed;
  }
  ++pos;
  const size_t frequencyStart = pos + std::strlen("\tFreq: ");
  if (!takeText(line, &pos, "\tFreq: ") || !takeNumber(line, &pos, UINT64_MAX, &number)) {
    *problem = "expected \"\\tFreq: \" and a count after the symmetry flag";
    return LineKind::malformed;
  }
  chunk->frequency.assign(line.substr(frequencyStart, pos - frequencyStart));
  return parseTimeAndMarks(line, pos, chunk, problem) ? LineKind::report : LineKind::malformed;
}

// "Shard I/N of query file <path>, data graph <path> (<V> vertices, <E> edge lines)".
bool parseShardLine(std::string_view line, ShardReport* report) {
  size_t pos = 0;
  uint64_t index = 0, count = 0;
  if (!takeText(line, &pos, "Shard ") || !takeNumber(line, &pos, INT32_MAX, &index) || !takeText(line, &pos, "/") ||
      !takeNumber(line, &pos, INT32_MAX, &count) || index >= count || !takeText(line, &pos, " ")) {
    return false;
  }
  const std::string_view source = line.substr(pos);
  if (!startsWith(source, "of query file ") || !endsWith(source, " edge lines)") ||
      source.find(", data graph ") == std::string_view::npos) {
    return false;
  }
  report->index = static_cast<int>(index);
  report->count = static_cast<int>(count);
  report->source.assign(source);
  return true;
}

bool isClosingLine(std::string_view line) {
  return startsWith(line, "Average time per query: ") && endsWith(line, "s. Done!");
}

// Where a query's own lines start among the lines printed since the previous report line: after the
// query's header when diagnostics are on (the lines before it belong to every shard), at once
// otherwise.
size_t ownLinesStart(const std::vector<std::string>& pending, int query) {
  const std::string header = "query #" + std::to_string(query);
  for (size_t k = pending.size(); k >= 3; --k) {
    if (pending[k - 3] == header && startsWith(pending[k - 2], "number of vertices: ") &&
        startsWith(pending[k - 1], "number of edges: ")) {
      return k;
    }
  }
  return 0;
}

std::string shardName(int index, int count) { return std::to_string(index) + "/" + std::to_string(count); }

// The number of queries of the whole run: one more than the highest query number reported.
int64_t totalQueries(const std::vector<ShardReport>& shards) {
  int64_t total = 0;
  for (const ShardReport& shard : shards) {
    if (!shard.chunks.empty()) total = std::max<int64_t>(total, int64_t{shard.chunks.back().query} + 1);
  }
  return total;
}

// The lines two shards print alike must be the same; the problem found, or an empty string.
std::string compareLines(const ShardReport& first, const std::vector<std::string>& expected,
                         const std::vector<long long>& expectedLines, const ShardReport& shard,
                         const std::vector<std::string>& lines, const std::vector<long long>& lineNumbers,
                         const char* what) {
  if (expected == lines) return "";
  size_t k = 0;
  while (k < expected.size() && k < lines.size() && expected[k] == lines[k]) ++k;
  const std::string here = k < lines.size() ? at(shard.path, lineNumbers[k]) + ": " + excerpt(lines[k])
                                            : shard.path + ": its " + what + " end";
  const std::string there = k < expected.size() ? at(first.path, expectedLines[k]) + " has " + excerpt(expected[k])
                                                : first.path + " has no more of them";
  return here + " differs from the " + what + " of " + first.path + " (" + there +
         "): the shards ran with different settings or inputs";
}

// The lines of `text`, without their newlines; a final newline ends the last line rather than
// starting an empty one.
std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < text.size();) {
    const size_t newline = text.find('\n', begin);
    const size_t end = newline == std::string::npos ? text.size() : newline;
    lines.emplace_back(text, begin, end - begin);
    begin = end + 1;
  }
  return lines;
}

// Finds the shard line (into *report, with the lines before it) and checks that the run finished;
// false, with *error, when either is not so.
bool readShardLineAndEnd(const std::string& path, const std::vector<std::string>& lines, bool lastLineEnded,
                         ShardReport* report, std::string* error) {
  const long long lineCount = static_cast<long long>(lines.size());
  size_t shardLine = 0;
  while (shardLine < lines.size() && !parseShardLine(lines[shardLine], report)) ++shardLine;
  if (shardLine == lines.size()) {
    *error = path + ": no shard line (\"Shard I/N of query file ..., data graph ...\"): not the report of a shard "
                    "run, or of one that ended before it read the data graph; its last line is " +
             excerpt(lines.back());
    return false;
  }
  report->shardLine = static_cast<long long>(shardLine) + 1;
  report->preamble.assign(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(shardLine));
  if (!lastLineEnded) {
    *error = at(path, lineCount) + ": the shard run did not finish: its last line has no newline";
    return false;
  }
  if (lines.size() - 1 == shardLine || !isClosingLine(lines.back())) {
    *error = at(path, lineCount) + ": the shard run did not finish: the report ends without the line "
                                   "\"Average time per query: ...s. Done!\"";
    return false;
  }
  return true;
}

// A report line on `lineNumber` must be of one of the shard's queries and follow the query `previous`.
bool checkChunkQuery(const std::string& path, long long lineNumber, const ReportChunk& chunk, int previous,
                     const ShardReport& report, std::string* error) {
  if (chunk.query % report.count != report.index) {
    *error = at(path, lineNumber) + ": query " + std::to_string(chunk.query) + " belongs to shard " +
             shardName(chunk.query % report.count, report.count) + ", but this is the report of shard " +
             shardName(report.index, report.count);
    return false;
  }
  if (chunk.query <= previous) {
    *error = at(path, lineNumber) + ": query " + std::to_string(chunk.query) + " is reported after query " +
             std::to_string(previous) + ": report lines out of order or repeated";
    return false;
  }
  return true;
}

// The lines printed since the previous report line, not yet given to a query or to the shared lines.
struct PendingLines {
  std::vector<std::string> lines;
  std::vector<long long> numbers;

  /// Moves the first `count` lines to the shared lines of *report.
  void moveToShared(size_t count, ShardReport* report) {
    for (size_t k = 0; k < count; ++k) {
      report->shared.push_back(std::move(lines[k]));
      report->sharedLines.push_back(numbers[k]);
    }
  }
};

// Closes a query's chunk with its report line: of the pending lines, those up to the query's header
// are shared, the rest are the query's own.
void addChunk(ReportChunk chunk, std::string reportLine, long long lineNumber, PendingLines* pending,
              ShardReport* report) {
  const size_t own = ownLinesStart(pending->lines, chunk.query);
  pending->moveToShared(own, report);
  chunk.sharedBefore = report->shared.size();
  for (size_t k = own; k < pending->lines.size(); ++k) chunk.lines.push_back(std::move(pending->lines[k]));
  chunk.lines.push_back(std::move(reportLine));
  chunk.line = lineNumber;
  report->chunks.push_back(std::move(chunk));
  pending->lines.clear();
  pending->numbers.clear();
}

}  // namespace

bool readShardReport(const std::string& path, ShardReport* report, std::string* error) {
  *report = ShardReport();
  report->path = path;
  std::string text;
  if (!readWholeFile(path, &text, error)) return false;
  if (text.empty()) {
    *error = path + ": the file is empty: the shard run printed nothing (did it start?)";
    return false;
  }
  std::vector<std::string> lines = splitLines(text);
  const bool lastLineEnded = text.back() == '\n';
  text.clear();
  if (!readShardLineAndEnd(path, lines, lastLineEnded, report, error)) return false;

  PendingLines pending;
  int previous = -1;
  for (size_t i = static_cast<size_t>(report->shardLine); i + 1 < lines.size(); ++i) {
    const long long lineNumber = static_cast<long long>(i) + 1;
    ReportChunk chunk;
    std::string problem;
    switch (parseReportLine(lines[i], &chunk, &problem)) {
      case LineKind::other:
        pending.lines.push_back(std::move(lines[i]));
        pending.numbers.push_back(lineNumber);
        continue;
      case LineKind::malformed:
        *error = at(path, lineNumber) + ": malformed report line: " + problem;
        return false;
      case LineKind::report:
        break;
    }
    if (!checkChunkQuery(path, lineNumber, chunk, previous, *report, error)) return false;
    previous = chunk.query;
    addChunk(std::move(chunk), std::move(lines[i]), lineNumber, &pending, report);
  }
  pending.moveToShared(pending.lines.size(), report);
  return true;
}

namespace {

// Every shard must come from the same shard count, query file and data graph as the first.
bool checkSameRun(const std::vector<ShardReport>& shards, std::string* error) {
  const ShardReport& first = shards.front();
  for (const ShardReport& shard : shards) {
    const std::string here = at(shard.path, shard.shardLine) + ": shard " + shardName(shard.index, shard.count);
    if (shard.count != first.count) {
      *error = here + ", but " + first.path + " is shard " + shardName(first.index, first.count) +
               ": the shards come from runs with different shard counts";
      return false;
    }
    if (shard.source != first.source) {
      *error = here + " " + shard.source + ", but " + first.path + " is a shard " + first.source +
               ": the shards did not match the same query file against the same data graph";
      return false;
    }
  }
  return true;
}

// The shard indices 0..count-1 that no shard has, named by the first few; no table of `count`
// entries, since the count comes from a file.
class MissingShards {
 public:
  explicit MissingShards(int count) : count(count) {}

  /// Notes the indices from the lowest not seen yet up to (without) `upTo`, then skips `upTo`.
  void noteUpTo(int upTo) {
    for (; next < upTo; ++next) {
      // Thousands of missing shards are named by the first few.
      if (++missingCount <= 5) names += (names.empty() ? "" : ", ") + shardName(next, count);
      if (missingCount > 5) {
        missingCount += upTo - next - 1;
        next = upTo;
        break;
      }
    }
    next = upTo + 1;
  }

  /// The complaint about the missing shards among `given` shards; empty when none is missing.
  std::string problem(size_t given) const {
    if (missingCount == 0) return std::string();
    return (missingCount == 1 ? "shard " + names + " is missing"
                              : std::to_string(missingCount) + " shards are missing: " + names +
                                    (missingCount > 5 ? ", ..." : "")) +
           ": none of the given directories holds its report (" + std::to_string(given) + " of " +
           std::to_string(count) + " shards given)";
  }

 private:
  int count;
  int next = 0;  // the lowest index not seen yet
  int64_t missingCount = 0;
  std::string names;
};

// Sorts the shards by index, equal ones in the order given, and checks that each index 0..N-1 comes
// exactly once.
bool sortAndCheckIndices(std::vector<ShardReport>* shards, std::string* error) {
  const int count = shards->front().count;
  std::stable_sort(shards->begin(), shards->end(),
                   [](const ShardReport& a, const ShardReport& b) { return a.index < b.index; });
  MissingShards missing(count);
  for (size_t k = 0; k < shards->size(); ++k) {
    const ShardReport& shard = (*shards)[k];
    if (k > 0 && (*shards)[k - 1].index == shard.index) {
      *error = at(shard.path, shard.shardLine) + ": shard " + shardName(shard.index, count) + " again: " +
               (*shards)[k - 1].path + " is that shard too, and both claim its queries";
      return false;
    }
    missing.noteUpTo(shard.index);
  }
  missing.noteUpTo(count);
  std::string problem = missing.problem(shards->size());
  if (problem.empty()) return true;
  *error = std::move(problem);
  return false;
}

// The lines before the shard line and the shared diagnostic lines must be the same in every shard.
bool checkSharedLines(const std::vector<ShardReport>& shards, std::string* error) {
  const ShardReport& zero = shards.front();
  std::vector<long long> preambleLines(zero.preamble.size());
  for (size_t k = 0; k < preambleLines.size(); ++k) preambleLines[k] = static_cast<long long>(k) + 1;
  for (const ShardReport& shard : shards) {
    std::vector<long long> lines(shard.preamble.size());
    for (size_t k = 0; k < lines.size(); ++k) lines[k] = static_cast<long long>(k) + 1;
    std::string problem =
        compareLines(zero, zero.preamble, preambleLines, shard, shard.preamble, lines, "lines before the shard line");
    if (problem.empty()) {
      problem = compareLines(zero, zero.shared, zero.sharedLines, shard, shard.shared, shard.sharedLines,
                             "diagnostic lines every shard prints");
    }
    if (!problem.empty()) {
      *error = problem;
      return false;
    }
  }
  return true;
}

// Query numbers run from 0 without gaps, so each shard must report every number of its class below
// the highest one reported.
bool checkNoQueryMissing(const std::vector<ShardReport>& shards, std::string* error) {
  const int count = shards.front().count;
  const int64_t total = totalQueries(shards);
  const ShardReport* last = nullptr;
  for (const ShardReport& shard : shards) {
    if (!shard.chunks.empty() && shard.chunks.back().query == total - 1) last = &shard;
  }
  for (const ShardReport& shard : shards) {
    const int64_t expected = total > shard.index ? (total - shard.index + count - 1) / count : 0;
    if (static_cast<int64_t>(shard.chunks.size()) == expected) continue;
    int64_t query = shard.index + static_cast<int64_t>(shard.chunks.size()) * count;
    for (size_t k = 0; k < shard.chunks.size(); ++k) {
      if (shard.chunks[k].query != shard.index + static_cast<int64_t>(k) * count) {
        query = shard.index + static_cast<int64_t>(k) * count;
        break;
      }
    }
    *error = shard.path + ": no report line for query " + std::to_string(query) + ", which belongs to shard " +
             shardName(shard.index, count) + " (" + at(last->path, last->chunks.back().line) + " reports query " +
             std::to_string(total - 1) + ")";
    return false;
  }
  return true;
}

}  // namespace

bool checkShardSet(std::vector<ShardReport>* shards, std::string* error) {
  if (shards->empty()) {
    *error = "no shard directories given (sgmatch-merge --help shows the command line)";
    return false;
  }
  return checkSameRun(*shards, error) && sortAndCheckIndices(shards, error) && checkSharedLines(*shards, error) &&
         checkNoQueryMissing(*shards, error);
}

bool joinShardReports(const std::vector<ShardReport>& shards, std::string* report, std::string* error) {
  report->clear();
  for (const std::string& line : shards.front().preamble) *report += line + "\n";
  const std::vector<std::string>& shared = shards.front().shared;
  const int64_t total = totalQueries(shards);
  const size_t count = shards.size();
  size_t cursor = 0;
  double timeSum = 0;
  int queryCount = 0;
  for (int64_t query = 0; query < total; ++query) {
    const ShardReport& shard = shards[static_cast<size_t>(query) % count];
    const ReportChunk& chunk = shard.chunks[static_cast<size_t>(query) / count];
    if (chunk.sharedBefore < cursor) {
      *error = at(shard.path, chunk.line) + ": query " + std::to_string(query) +
               " comes before the query ahead of it among the diagnostic lines every shard prints: the reports "
               "cannot be joined";
      return false;
    }
    for (; cursor < chunk.sharedBefore; ++cursor) *report += shared[cursor] + "\n";
    for (const std::string& line : chunk.lines) *report += line + "\n";
    timeSum += chunk.timeMs;
    ++queryCount;
  }
  for (; cursor < shared.size(); ++cursor) *report += shared[cursor] + "\n";
  // Computed and printed as the tool does it, so that a run without queries ends alike too.
  const double average = timeSum * 0.001 / queryCount;
  std::ostringstream closing;
  closing << "Average time per query: " << average << "s. Done!\n";
  *report += closing.str();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Subgraph files

namespace {

// One six-line record of a subgraph output file, as written.
struct SubgraphRecord {
  int query = 0;
  std::string frequency;
  std::string text;
  long long line = 0;
};

const char* const recordKeys[6] = {"#", "T", "E", "S", "C", "F"};

// Reads a shard's subgraph file record by record, checking each record and that its query is the
// shard's and comes after the one before.
class RecordReader {
 public:
  RecordReader(const ShardReport& shard, std::string path) : shard(shard), path(std::move(path)) {}

  bool open(std::string* error) {
    if (reader.open(path.c_str())) return advance(error);
    *error = "cannot open " + path + ": " + errorText(reader.error());
    return false;
  }

  /// The record read last; none when the file has no more.
  bool hasRecord() const { return present; }
  const SubgraphRecord& record() const { return current; }
  const std::string& file() const { return path; }

  /// Reads the next record; false, with *error, when the file is unreadable or malformed.
  bool advance(std::string* error) {
    const int previous = present ? current.query : -1;
    present = false;
    current.text.clear();
    int vertices = 0, edges = 0;
    for (int position = 0; position < 6; ++position) {
      std::string_view line;
      const LineReader::Status status = reader.next(&line);
      if (status == LineReader::Status::error) {
        *error = "cannot read " + path + " after line " + std::to_string(reader.lineNumber()) + ": " +
                 errorText(reader.error());
        return false;
      }
      if (status == LineReader::Status::end) {
        if (position == 0) return true;
        *error = at(path, reader.lineNumber()) + ": the record starting on line " + std::to_string(current.line) +
                 " ends after " + std::to_string(position) + " of its six lines";
        return false;
      }
      bytesRead += static_cast<long long>(line.size()) + 1;
      if (reader.size() > 0 && bytesRead > reader.size()) {
        *error = at(path, reader.lineNumber()) + ": the last line has no newline: the file was cut short";
        return false;
      }
      if (position == 0) current.line = reader.lineNumber();
      const std::string problem = checkLine(position, line, &vertices, &edges);
      if (!problem.empty()) {
        *error = at(path, reader.lineNumber()) + ": " + problem;
        return false;
      }
      current.text.append(line);
      current.text += '\n';
    }
    if (!checkRecordQuery(previous, error)) return false;
    present = true;
    return true;
  }

 private:
  // The record just read must be of one of the shard's queries and follow the query `previous`.
  bool checkRecordQuery(int previous, std::string* error) const {
    const std::string here = at(path, current.line) + ": the record of query " + std::to_string(current.query);
    if (current.query % shard.count != shard.index) {
      *error = here + " belongs to shard " + shardName(current.query % shard.count, shard.count) +
               ", but this is shard " + shardName(shard.index, shard.count);
      return false;
    }
    if (current.query <= previous) {
      *error = here + " follows the record of query " + std::to_string(previous) + ": records out of order or repeated";
      return false;
    }
    return true;
  }

  // The problem with line `position` (0 to 5) of a record, or an empty string.
  std::string checkLine(int position, std::string_view line, int* vertices, int* edges) {
    const std::vector<std::string_view> fields = tabFields(line);
    if (fields[0] != recordKeys[position]) {
      return std::string("expected the \"") + recordKeys[position] + "\" line (line " + std::to_string(position + 1) +
             " of a record), found " + excerpt(line);
    }
    const size_t values = fields.size() - 1;
    auto countProblem = [&](size_t expected) {
      return std::string("the \"") + recordKeys[position] + "\" line has " + std::to_string(values) +
             " fields, expected " + std::to_string(expected);
    };
    switch (position) {
      case 0:
        if (values != 3) return countProblem(3);
        for (size_t f = 1; f < 4; ++f) {
          if (!isWholeNumber(fields[f], INT32_MAX)) return "the header's field " + excerpt(fields[f]) + " is not a count";
        }
        current.query = std::atoi(std::string(fields[1]).c_str());
        *vertices = std::atoi(std::string(fields[2]).c_str());
        *edges = std::atoi(std::string(fields[3]).c_str());
        return "";
      case 1:
      case 4:
        return values == static_cast<size_t>(*vertices) ? "" : countProblem(static_cast<size_t>(*vertices));
      case 2:
        // Every edge is listed at both ends: two pairs, four fields.
        return values == 4 * static_cast<size_t>(*edges) ? "" : countProblem(4 * static_cast<size_t>(*edges));
      case 3:
        return line == "S\t0" || line == "S\t1" ? "" : "the \"S\" line must be S, a tab and 0 or 1";
      default:
        if (values != 1 || !isWholeNumber(fields[1], UINT64_MAX)) return "the \"F\" line must be F, a tab and a count";
        current.frequency.assign(fields[1]);
        return "";
    }
  }

  const ShardReport& shard;
  std::string path;
  LineReader reader;
  long long bytesRead = 0;
  SubgraphRecord current;
  bool present = false;
};

}  // namespace

bool mergeSubgraphFiles(const std::vector<ShardReport>& shards, const std::vector<std::string>& paths,
                        std::ostream& out, std::string* error) {
  std::vector<std::unique_ptr<RecordReader>> readers;
  for (size_t s = 0; s < shards.size(); ++s) {
    readers.push_back(std::make_unique<RecordReader>(shards[s], paths[s]));
    if (!readers.back()->open(error)) return false;
  }
  const int64_t total = totalQueries(shards);
  const size_t count = shards.size();
  for (int64_t query = 0; query < total; ++query) {
    const ShardReport& shard = shards[static_cast<size_t>(query) % count];
    const ReportChunk& chunk = shard.chunks[static_cast<size_t>(query) / count];
    RecordReader& reader = *readers[static_cast<size_t>(query) % count];
    const std::string reported = at(shard.path, chunk.line) + " reports query " + std::to_string(query) +
                                 " with Freq: " + chunk.frequency + (chunk.marked ? " and a mark" : "");
    // A record is written for every query whose search ran to its end with at least one embedding,
    // and only for those: exactly the report lines with a count above 0 and no mark.
    const bool recorded = !chunk.marked && chunk.frequency != "0";
    if (reader.hasRecord() && reader.record().query == query) {
      if (!recorded || reader.record().frequency != chunk.frequency) {
        *error = at(reader.file(), reader.record().line) + ": the record of query " + std::to_string(query) +
                 " has F " + reader.record().frequency + ", but " + reported;
        return false;
      }
      out << reader.record().text;
      if (!reader.advance(error)) return false;
    } else if (recorded) {
      *error = reader.file() + ": no record of query " + std::to_string(query) + ", but " + reported;
      return false;
    }
  }
  for (const auto& reader : readers) {
    if (reader->hasRecord()) {
      *error = at(reader->file(), reader->record().line) + ": a record of query " +
               std::to_string(reader->record().query) + ", which the shard's report does not have";
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Results files

namespace {

// The totals of the end object that are sums over the queries; "average_s" is recomputed from them.
const char* const summedTotals[] = {"queries", "complete", "limit",        "timeout",      "zero",
                                    "refused", "overflow", "total_cpu_ms", "total_wall_ms"};

// Reads a shard's results file object by object.
class ResultsReader {
 public:
  explicit ResultsReader(std::string path) : path(std::move(path)) {}

  bool open(std::string* error) {
    if (reader.open(path.c_str())) return true;
    *error = "cannot open " + path + ": " + errorText(reader.error());
    return false;
  }

  /// The next object into *object (its text into *text); false at the end of the file (*error empty)
  /// or when a line is not a JSON object with a "type" string (*error set).
  bool next(Json* object, std::string* text, std::string* error) {
    error->clear();
    std::string_view line;
    const LineReader::Status status = reader.next(&line);
    if (status == LineReader::Status::end) return false;
    if (status == LineReader::Status::error) {
      *error = "cannot read " + path + " after line " + std::to_string(reader.lineNumber()) + ": " +
               errorText(reader.error());
      return false;
    }
    text->assign(line);
    try {
      *object = Json::parse(*text);
    } catch (const Json::parse_error& problem) {
      *error = here() + ": not a JSON value: " + problem.what();
      return false;
    }
    if (!object->is_object() || !object->contains("type") || !(*object)["type"].is_string()) {
      *error = here() + ": not a JSON object with a \"type\" string";
      return false;
    }
    return true;
  }

  std::string here() const { return at(path, reader.lineNumber()); }
  const std::string& file() const { return path; }

 private:
  std::string path;
  LineReader reader;
};

std::string typeOf(const Json& object) { return object["type"].get<std::string>(); }

// The shard's run object: the first line, naming the shard.
bool checkRunObject(ResultsReader& reader, const ShardReport& shard, Json* run, std::string* error) {
  std::string text;
  if (!reader.next(run, &text, error)) {
    if (error->empty()) *error = reader.file() + ": the file is empty: the shard run wrote no results";
    return false;
  }
  if (typeOf(*run) != "run") {
    *error = reader.here() + ": the first object is of type \"" + typeOf(*run) + "\", expected \"run\"";
    return false;
  }
  const std::string expected = shardName(shard.index, shard.count);
  if (!run->contains("shard") || !(*run)["shard"].is_string() || (*run)["shard"].get<std::string>() != expected) {
    *error = reader.here() + ": the run object does not say \"shard\":\"" + expected + "\" as the report " +
             shard.path + " does";
    return false;
  }
  return true;
}

// The shard's end object, after its query objects; it must be the last line.
bool checkEndObject(ResultsReader& reader, int64_t queryObjects, Json* end, std::string* error) {
  std::string text;
  if (!reader.next(end, &text, error)) {
    if (error->empty()) {
      *error = reader.here() + ": the shard run did not finish: the file ends without an \"end\" object";
    }
    return false;
  }
  if (typeOf(*end) != "end") {
    *error = reader.here() + ": the shard run did not finish: expected the \"end\" object after " +
             std::to_string(queryObjects) + " query objects, found one of type \"" + typeOf(*end) + "\"";
    return false;
  }
  if (end->contains("queries") && (*end)["queries"].is_number_integer() &&
      (*end)["queries"].get<int64_t>() != queryObjects) {
    *error = reader.here() + ": the end object counts " + (*end)["queries"].dump() + " queries, the file holds " +
             std::to_string(queryObjects);
    return false;
  }
  Json after;
  if (reader.next(&after, &text, error) || !error->empty()) {
    if (error->empty()) *error = reader.here() + ": an object after the \"end\" object";
    return false;
  }
  return true;
}

// The end object of the whole run: the first shard's, with the totals summed over the shards.
bool mergedEndObject(const std::vector<Json>& ends, const std::vector<std::string>& paths, Json* merged,
                     std::string* error) {
  *merged = ends.front();
  for (const char* name : summedTotals) {
    if (!merged->contains(name)) continue;
    bool integral = true;
    for (size_t s = 0; s < ends.size(); ++s) {
      if (!ends[s].contains(name) || !ends[s][name].is_number()) {
        *error = paths[s] + ": the end object has no number \"" + name + "\", which " + paths.front() + "'s has";
        return false;
      }
      integral = integral && ends[s][name].is_number_integer();
    }
    if (integral) {
      int64_t sum = 0;
      for (const Json& end : ends) sum += end[name].get<int64_t>();
      (*merged)[name] = sum;
    } else {
      double sum = 0;
      for (const Json& end : ends) sum += end[name].get<double>();
      (*merged)[name] = sum;
    }
  }
  if (merged->contains("average_s") && merged->contains("queries") && merged->contains("total_cpu_ms")) {
    const int64_t queries = (*merged)["queries"].get<int64_t>();
    const double cpuMs = (*merged)["total_cpu_ms"].get<double>();
    (*merged)["average_s"] = queries > 0 ? Json(cpuMs * 0.001 / static_cast<double>(queries)) : Json();
  }
  return true;
}

// Copies the query objects of the shards' results files to `out` in query order, each checked to be
// the object of the query due.
bool copyQueryObjects(const std::vector<ShardReport>& shards, std::vector<std::unique_ptr<ResultsReader>>& readers,
                      std::ostream& out, std::string* error) {
  const int64_t total = totalQueries(shards);
  const size_t count = shards.size();
  Json object;
  std::string text;
  for (int64_t query = 0; query < total; ++query) {
    const ShardReport& shard = shards[static_cast<size_t>(query) % count];
    const ReportChunk& chunk = shard.chunks[static_cast<size_t>(query) / count];
    ResultsReader& reader = *readers[static_cast<size_t>(query) % count];
    if (!reader.next(&object, &text, error)) {
      if (error->empty()) {
        *error = reader.here() + ": the file ends before the object of query " + std::to_string(query) + " (" +
                 at(shard.path, chunk.line) + "): the shard run did not finish";
      }
      return false;
    }
    const bool isQuery = typeOf(object) == "query" && object.contains("query") && object["query"].is_number_integer();
    if (!isQuery || object["query"].get<int64_t>() != query) {
      *error = reader.here() + ": expected the object of query " + std::to_string(query) + " (" +
               at(shard.path, chunk.line) + "), found " +
               (isQuery ? "that of query " + object["query"].dump() : "one of type \"" + typeOf(object) + "\"");
      return false;
    }
    out << text << '\n';
  }
  return true;
}

}  // namespace

bool mergeResultsFiles(const std::vector<ShardReport>& shards, const std::vector<std::string>& paths,
                       std::ostream& out, std::string* error) {
  std::vector<std::unique_ptr<ResultsReader>> readers;
  Json firstRun;
  for (size_t s = 0; s < shards.size(); ++s) {
    readers.push_back(std::make_unique<ResultsReader>(paths[s]));
    Json run;
    if (!readers.back()->open(error) || !checkRunObject(*readers.back(), shards[s], &run, error)) return false;
    if (s == 0) firstRun = std::move(run);
  }
  firstRun.erase("shard");
  out << firstRun.dump() << '\n';
  if (!copyQueryObjects(shards, readers, out, error)) return false;

  const size_t count = shards.size();
  std::vector<Json> ends(count);
  for (size_t s = 0; s < count; ++s) {
    if (!checkEndObject(*readers[s], static_cast<int64_t>(shards[s].chunks.size()), &ends[s], error)) return false;
  }
  Json end;
  if (!mergedEndObject(ends, paths, &end, error)) return false;
  out << end.dump() << '\n';
  return true;
}

// ---------------------------------------------------------------------------------------------
// Output files and the tool

namespace {

// The temporary output files, removed by a termination signal; fixed buffers changed only while the
// signals are blocked, so that the handler needs no allocation and never sees half a path.
const int terminationSignals[] = {SIGHUP, SIGINT, SIGPIPE, SIGTERM};
char pendingPaths[2][4096];

void onTerminationSignal(int signal) {
  for (const char* path : pendingPaths) {
    if (path[0] != '\0') unlink(path);
  }
  _exit(128 + signal);
}

void setPendingPath(int slot, const char* path) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int signal : terminationSignals) sigaddset(&blocked, signal);
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  if (path == nullptr || std::strlen(path) >= sizeof pendingPaths[slot]) {
    pendingPaths[slot][0] = '\0';
  } else {
    std::strcpy(pendingPaths[slot], path);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void handleSignals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : terminationSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : terminationSignals) {
    struct sigaction current;
    if ((signal == SIGHUP || signal == SIGPIPE) && sigaction(signal, nullptr, &current) == 0 &&
        current.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal, &action, nullptr);
  }
}

// An output file written under a temporary name beside its final one, renamed into place by commit()
// and removed otherwise.
class PendingFile {
 public:
  explicit PendingFile(int slot) : slot(slot) {}
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() { discard(); }

  bool create(const std::string& path, std::string* error) {
    finalPath = path;
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      *error = "cannot write " + path + ": it is a directory";
      return false;
    }
    temporaryPath = path + ".sgmatch-merge-" + std::to_string(getpid()) + ".tmp";
    setPendingPath(slot, temporaryPath.c_str());
    errno = 0;
    out.open(temporaryPath, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out.is_open()) {
      *error = "cannot create " + temporaryPath + " (to become " + path + "): " + errorText(errno != 0 ? errno : EIO);
      setPendingPath(slot, nullptr);
      return false;
    }
    return true;
  }

  std::ostream& stream() { return out; }

  /// Closes the file; false, with *error, when some write failed.
  bool close(std::string* error) {
    errno = 0;
    out.close();
    if (out.fail()) {
      *error = "cannot write " + temporaryPath + " (to become " + finalPath + "): " + errorText(errno != 0 ? errno : EIO);
      return false;
    }
    return true;
  }

  bool commit(std::string* error) {
    if (std::rename(temporaryPath.c_str(), finalPath.c_str()) != 0) {
      *error = "cannot rename " + temporaryPath + " to " + finalPath + ": " + errorText(errno);
      return false;
    }
    temporaryPath.clear();
    setPendingPath(slot, nullptr);
    return true;
  }

  void discard() {
    if (temporaryPath.empty()) return;
    if (out.is_open()) out.close();
    unlink(temporaryPath.c_str());
    temporaryPath.clear();
    setPendingPath(slot, nullptr);
  }

 private:
  int slot;
  std::string finalPath, temporaryPath;
  std::ofstream out;
};

std::string inDirectory(const std::string& directory, const char* name) {
  return directory + (endsWith(directory, "/") ? "" : "/") + name;
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int mergeChecked(const MergeSettings& settings, std::ostream& report, std::string* error) {
  std::vector<ShardReport> shards(settings.shardDirs.size());
  for (size_t s = 0; s < settings.shardDirs.size(); ++s) {
    const std::string& directory = settings.shardDirs[s];
    if (!isDirectory(directory)) {
      *error = directory + ": not a directory (each argument that is not key=value names a shard's directory)";
      return -1;
    }
    if (!readShardReport(inDirectory(directory, shardReportName), &shards[s], error)) return -1;
  }
  if (!checkShardSet(&shards, error)) return -1;
  std::string joined;
  if (!joinShardReports(shards, &joined, error)) return -1;

  // The shards are in index order now; their directories are those of their reports.
  std::vector<std::string> subgraphPaths, resultsPaths;
  for (const ShardReport& shard : shards) {
    const std::string directory = shard.path.substr(0, shard.path.size() - std::strlen(shardReportName));
    subgraphPaths.push_back(directory + shardSubgraphName);
    resultsPaths.push_back(directory + shardResultsName);
  }
  PendingFile subgraphs(0), results(1);
  if (!subgraphs.create(settings.subgraphPath, error) ||
      !mergeSubgraphFiles(shards, subgraphPaths, subgraphs.stream(), error) || !subgraphs.close(error)) {
    return -1;
  }
  if (!settings.resultsPath.empty()) {
    if (!results.create(settings.resultsPath, error) ||
        !mergeResultsFiles(shards, resultsPaths, results.stream(), error) || !results.close(error)) {
      return -1;
    }
  }
  report << joined << std::flush;
  if (!report) {
    *error = "cannot write the report to standard output";
    return -1;
  }
  if (!subgraphs.commit(error)) return -1;
  if (!settings.resultsPath.empty() && !results.commit(error)) return -1;
  return 0;
}

// An argument holding "=" is a key when its text before the first "=" names a key; otherwise it is a
// shard directory when it names one (a directory name may hold "=").
bool isKeyArgument(const std::string& argument, const KeyTable& keys) {
  const size_t equals = argument.find('=');
  if (equals == std::string::npos) return false;
  for (const Key& key : keys.keys()) {
    if (argument.compare(0, equals, key.name) == 0) return true;
  }
  return !isDirectory(argument);
}

}  // namespace

int mergeShards(const MergeSettings& settings, std::ostream& report, std::ostream& errors) {
  std::string error;
  try {
    if (mergeChecked(settings, report, &error) == 0) return 0;
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  }
  errors << "sgmatch-merge: " << error << std::endl;
  return -1;
}

KeyTable mergeToolKeys(MergeSettings* settings) {
  std::vector<Key> keys{
      // "subgraph", singular, as for sgmatch, although the default file is "subgraphs".
      {"subgraph", "subgraphs", "the merged subgraph output file (created, or replaced)", "a path",
       [settings](const std::string& value, std::string*) {
         settings->subgraphPath = value;
         return std::string();
       }},
      {"results", "",
       "also merge the shards' results files (results.jsonl in each shard directory) into this file", "a path",
       [settings](const std::string& value, std::string*) {
         settings->resultsPath = value;
         return std::string();
       }},
  };
  return KeyTable(
      "sgmatch-merge", "[subgraph=PATH] [results=PATH] DIR...",
      "Joins the outputs of the shard runs of one query file (sgmatch shard=I/N for I = 0..N-1) into what one run "
      "over the whole file writes: the report on standard output, the subgraph output file and, for results=, the "
      "results file. Every input is checked first; on an error nothing is written and the exit status is 255.",
      std::move(keys),
      "Shard directories: every argument that is not key=value is the working directory of one shard run,\n"
      "holding report (the run's standard output), subgraphs (its subgraph output file) and, for results=,\n"
      "results.jsonl (its results file). They may come in any order; each shard 0..N-1 exactly once. An\n"
      "argument holding \"=\" whose text before it is no key and that names a directory is a shard directory.\n"
      "The statistics files need no merging: let the shards share one directory (stats=../stats).\n"
      "\n"
      "Example:\n"
      "  for i in 0 1 2 3; do mkdir -p shard-$i; (cd shard-$i && sgmatch data=../data query=../query \\\n"
      "      stats=../stats shard=$i/4 > report); done\n"
      "  sgmatch-merge subgraph=subgraphs shard-0 shard-1 shard-2 shard-3 > report\n");
}

int runMerge(int argc, char** argv) {
  MergeSettings settings;
  const KeyTable keys = mergeToolKeys(&settings);
  std::vector<char*> keyArguments{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool option = !argument.empty() && argument[0] == '-';
    if (option || isKeyArgument(argument, keys)) {
      keyArguments.push_back(argv[i]);
    } else {
      settings.shardDirs.push_back(argument);
    }
  }
  switch (keys.apply(static_cast<int>(keyArguments.size()), keyArguments.data(), std::cerr)) {
    case CommandLineRequest::help:
      std::cout << keys.usage() << std::flush;
      return 0;
    case CommandLineRequest::version:
      std::cout << "sgmatch-merge " << toolVersion() << std::endl;
      return 0;
    case CommandLineRequest::error:
      return -1;
    case CommandLineRequest::run:
      break;
  }
  handleSignals();
  return mergeShards(settings, std::cout, std::cerr);
}

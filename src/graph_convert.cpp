// Conversion of edge lists and MatrixMarket files in a few passes over flat arrays: compact ids are
// mapped through a bitmap with the rank of every word, ids spread over 64 bits through a hash table;
// edges are grouped by their smaller end in cache-sized buckets and each row sorted, so that millions
// of edges take a fraction of a second.
#include "graph_convert.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "fatal_error.h"
#include "id_map.h"
#include "line_reader.h"
#include "pair_line_reader.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }
bool endsField(char c) { return isBlank(c) || c == ','; }

std::string located(const std::string& path, long long line, const std::string& problem) {
  return path + ":" + std::to_string(line) + ": " + problem;
}

// The field starting at p, quoted for a message: up to the next separator, at most 40 bytes, bytes
// that would garble a terminal shown as '?'.
std::string quoteField(const char* p, const char* end) {
  std::string text = "\"";
  const char* stop = p;
  while (stop < end && (stop == p || !endsField(*stop)) && stop - p < 40) ++stop;
  for (const char* q = p; q < stop; ++q) text += (static_cast<unsigned char>(*q) < 32 || *q == 127) ? '?' : *q;
  if (stop < end && !endsField(*stop)) text += "...";
  return text + "\"";
}

// The meaningful part of a line: without leading and trailing blanks and carriage returns; empty
// for a blank line.
void trimLine(std::string_view line, const char** begin, const char** end) {
  const char* p = line.data();
  const char* q = p + line.size();
  while (q > p && (isBlank(q[-1]) || q[-1] == '\r')) --q;
  while (p < q && isBlank(*p)) ++p;
  *begin = p;
  *end = q;
}

bool isCommentOrBlank(const char* p, const char* end) { return p == end || *p == '#' || *p == '%'; }

enum class FieldStatus { ok, missing, negative, notANumber, tooLarge };

// Reads an unsigned decimal field at *p; it must end at a blank, a comma or the end of the line. On
// success *p points past the digits.
FieldStatus readUnsigned(const char** p, const char* end, uint64_t* value) {
  const char* q = *p;
  if (q == end) return FieldStatus::missing;
  if (*q == '-' && q + 1 < end && isDigit(q[1])) return FieldStatus::negative;
  if (!isDigit(*q)) return FieldStatus::notANumber;
  const char* const digits = q;
  uint64_t number = 0;
  // 19 digits cannot overflow 64 bits; only longer numbers need checks.
  while (q < end && isDigit(*q) && q - digits < 19) number = number * 10 + static_cast<unsigned>(*q++ - '0');
  while (q < end && isDigit(*q)) {
    if (__builtin_mul_overflow(number, 10u, &number) ||
        __builtin_add_overflow(number, static_cast<unsigned>(*q - '0'), &number)) {
      while (q < end && isDigit(*q)) ++q;
      return q < end && !endsField(*q) ? FieldStatus::notANumber : FieldStatus::tooLarge;
    }
    ++q;
  }
  if (q < end && !endsField(*q)) return FieldStatus::notANumber;
  *p = q;
  *value = number;
  return FieldStatus::ok;
}

// Reads a signed 32-bit decimal field at *p, with the rules of readUnsigned.
FieldStatus readLabel(const char** p, const char* end, int32_t* value) {
  const char* q = *p;
  const bool negative = q < end && *q == '-';
  if (negative) ++q;
  uint64_t magnitude = 0;
  const FieldStatus status = readUnsigned(&q, end, &magnitude);
  if (status == FieldStatus::negative || (negative && status == FieldStatus::missing)) return FieldStatus::notANumber;
  if (status != FieldStatus::ok) return status;
  const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
  if (magnitude > limit) return FieldStatus::tooLarge;
  *value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
  *p = q;
  return FieldStatus::ok;
}

// Passes the separator between two fields: a run of blanks, or a comma with blanks around it.
void skipSeparator(const char** p, const char* end) {
  const char* q = *p;
  while (q < end && isBlank(*q)) ++q;
  if (q < end && *q == ',') {
    ++q;
    while (q < end && isBlank(*q)) ++q;
  }
  *p = q;
}

// The message for a field that failed to read as a vertex id (`what`: "vertex id" or "index").
std::string fieldProblem(FieldStatus status, const char* p, const char* end, const char* what, bool second) {
  switch (status) {
    case FieldStatus::missing:
      if (!second) return std::string("expected a ") + what;
      return std::string("expected two ") + (std::string(what) == "index" ? "indices" : std::string(what) + "s") +
             ", found one";
    case FieldStatus::negative:
      return std::string("negative ") + what + " " + quoteField(p, end);
    case FieldStatus::tooLarge:
      return std::string(what) + " " + quoteField(p, end) + " is out of range (largest 18446744073709551615)";
    default:
      return std::string("expected a ") + what + ", found " + quoteField(p, end);
  }
}

// Reads the two leading unsigned fields of a line. On failure *p is left at the field that failed
// and *atSecond tells which one it was.
FieldStatus readPair(const char** p, const char* end, uint64_t* first, uint64_t* second, bool* atSecond) {
  *atSecond = false;
  FieldStatus status = readUnsigned(p, end, first);
  if (status != FieldStatus::ok) return status;
  skipSeparator(p, end);
  *atSecond = true;
  return readUnsigned(p, end, second);
}

// readPair with the problem as text: empty when both fields were read.
std::string pairProblem(const char** p, const char* end, const char* what, uint64_t* first, uint64_t* second) {
  bool atSecond = false;
  const FieldStatus status = readPair(p, end, first, second, &atSecond);
  return status == FieldStatus::ok ? std::string() : fieldProblem(status, *p, end, what, atSecond);
}

// The edges of one input as read: both ends of every edge line, self-loops included (their vertex
// exists even though the loop is dropped).
struct EdgeEnds {
  HugeVector<uint64_t> ends;  // u0 v0 u1 v1 ...
  uint64_t largestId = 0;     // edge list: the largest id of an end
  bool indexed = false;       // MatrixMarket: the ends are already dense ids 0..vertexCount-1
  uint64_t vertexCount = 0;   // MatrixMarket: rows of the matrix
};

template <typename Reader>
std::string readFailure(const std::string& path, const Reader& reader) {
  return "cannot read " + path + ": " + errorText(reader.error());
}

enum class LineOutcome { pair, skipped, malformed };

// An edge list line that is not plain "u v": blanks around the fields, a comma, a comment, or an
// error. A pair goes to *u and *v; a malformed line gets its message in *error.
LineOutcome readEdgeLine(std::string_view line, const std::string& path, long long lineNumber, uint64_t* u, uint64_t* v,
                         std::string* error) {
  const char *p, *end;
  trimLine(line, &p, &end);
  if (isCommentOrBlank(p, end)) return LineOutcome::skipped;
  bool atSecond = false;
  const FieldStatus status = readPair(&p, end, u, v, &atSecond);
  if (status == FieldStatus::ok) return LineOutcome::pair;
  *error = located(path, lineNumber, fieldProblem(status, p, end, "vertex id", atSecond));
  return LineOutcome::malformed;
}

// Edge list lines: two vertex ids, separated by blanks or a comma; further fields (weights,
// times) are ignored.
bool readEdgeListLines(PairLineReader& reader, PairLineReader::Kind kind, uint64_t u, uint64_t v, std::string_view line,
                       const std::string& path, EdgeEnds* edges, std::string* error) {
  constexpr size_t estimateAfter = 1 << 17;  // ends
  uint64_t largest = 0;
  bool estimated = false;
  for (; kind == PairLineReader::Kind::pair || kind == PairLineReader::Kind::line; kind = reader.next(&u, &v, &line)) {
    if (kind == PairLineReader::Kind::line) {
      const LineOutcome outcome = readEdgeLine(line, path, reader.lineNumber(), &u, &v, error);
      if (outcome == LineOutcome::malformed) return false;
      if (outcome == LineOutcome::skipped) continue;
    }
    largest = std::max(largest, std::max(u, v));
    edges->ends.push_back(u);
    edges->ends.push_back(v);
    // Once the first lines show how long a line is, room for the whole file is reserved, so that the
    // ends are not copied over and over while they grow.
    if (!estimated && edges->ends.size() >= estimateAfter) {
      estimated = true;
      const double perByte = static_cast<double>(edges->ends.size()) / static_cast<double>(reader.bytesReturned());
      const auto expected = static_cast<size_t>(perByte * static_cast<double>(reader.size()) * 1.05) + 1024;
      edges->ends.reserve(std::min(expected, static_cast<size_t>(reader.size() / 2 + 2)));
    }
  }
  if (kind == PairLineReader::Kind::error) {
    *error = readFailure(path, reader);
    return false;
  }
  edges->largestId = largest;
  return true;
}

std::string lowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lower;
}

std::vector<std::string_view> blankSeparatedFields(const char* p, const char* end) {
  std::vector<std::string_view> fields;
  while (p < end) {
    while (p < end && isBlank(*p)) ++p;
    const char* start = p;
    while (p < end && !isBlank(*p)) ++p;
    if (p > start) fields.emplace_back(start, p - start);
  }
  return fields;
}

// The banner of a MatrixMarket file; an empty string when it describes a matrix that can be read as
// a graph: a coordinate matrix of any field (the values are ignored) and any symmetry.
std::string bannerProblem(std::string_view line) {
  const char *p, *end;
  trimLine(line, &p, &end);
  const std::vector<std::string_view> fields = blankSeparatedFields(p, end);
  if (fields.empty() || lowercase(fields[0]) != "%%matrixmarket") return "expected the %%MatrixMarket banner";
  if (fields.size() != 5) return "the banner needs 4 words after %%MatrixMarket (matrix coordinate <field> <symmetry>)";
  if (lowercase(fields[1]) != "matrix") {
    return "unsupported object \"" + std::string(fields[1]) + "\" (expected matrix)";
  }
  if (lowercase(fields[2]) != "coordinate") {
    return "unsupported format \"" + std::string(fields[2]) + "\" (only coordinate matrices hold a graph)";
  }
  const std::string field = lowercase(fields[3]);
  if (field != "pattern" && field != "integer" && field != "real" && field != "complex") {
    return "unknown field \"" + std::string(fields[3]) + "\" (expected pattern, integer, real or complex)";
  }
  const std::string symmetry = lowercase(fields[4]);
  if (symmetry != "general" && symmetry != "symmetric" && symmetry != "skew-symmetric" && symmetry != "hermitian") {
    return "unknown symmetry \"" + std::string(fields[4]) +
           "\" (expected general, symmetric, skew-symmetric or hermitian)";
  }
  return std::string();
}

// The first line, read as `kind`, must be a banner of a matrix that can be read as a graph.
bool firstLineIsBanner(const PairLineReader& reader, PairLineReader::Kind kind, std::string_view line,
                       const std::string& path, std::string* error) {
  if (kind == PairLineReader::Kind::error) {
    *error = readFailure(path, reader);
    return false;
  }
  const std::string banner = kind == PairLineReader::Kind::end ? "the file is empty" : bannerProblem(line);
  if (!banner.empty()) {
    *error = located(path, 1, banner);
    return false;
  }
  return true;
}

// What the size line of a MatrixMarket file says, and where it stands.
struct MatrixSize {
  uint64_t rows = 0;
  uint64_t entries = 0;
  long long line = 0;
};

// Reads the size line `rows columns entries` into *size; the problem with it, or an empty string.
std::string sizeLineProblem(const char* p, const char* end, MatrixSize* size) {
  uint64_t rows = 0, columns = 0;
  bool atSecond = false;
  FieldStatus field = readPair(&p, end, &rows, &columns, &atSecond);
  if (field == FieldStatus::ok) {
    skipSeparator(&p, end);
    field = readUnsigned(&p, end, &size->entries);
  }
  if (field != FieldStatus::ok || p != end) return "expected the size line \"rows columns entries\"";
  if (rows != columns) {
    return "the matrix is not square (" + std::to_string(rows) + " rows, " + std::to_string(columns) +
           " columns), so it is no graph";
  }
  if (rows > maxVertexCount) {
    return std::to_string(rows) + " rows are more vertices than the tool takes (" + std::to_string(maxVertexCount) +
           ")";
  }
  size->rows = rows;
  return std::string();
}

// True when the entry i j that follows `read` entries is a valid edge: both indices are rows and the
// size line allows one more entry. The test every entry takes; entryProblem words a failure.
inline bool entryFits(uint64_t i, uint64_t j, uint64_t read, const MatrixSize& size) {
  // Unsigned: an index 0 wraps past every row.
  return i - 1 < size.rows && j - 1 < size.rows && read != size.entries;
}

// The problem with the entry i j that follows `read` entries; empty when it is a valid edge.
std::string entryProblem(uint64_t i, uint64_t j, uint64_t read, const MatrixSize& size) {
  for (uint64_t index : {i, j}) {
    if (index == 0 || index > size.rows) {
      return "index " + std::to_string(index) + " is out of range (the matrix has rows 1 to " +
             std::to_string(size.rows) + ")";
    }
  }
  if (read == size.entries) {
    return "more entries than the " + std::to_string(size.entries) + " of the size line (line " +
           std::to_string(size.line) + ")";
  }
  return std::string();
}

// The checks once the entries are read: the reader did not fail, and the size line was there and
// announced as many entries as were read.
bool matrixMarketComplete(const PairLineReader& reader, PairLineReader::Kind kind, const std::string& path, bool sized,
                          const MatrixSize& size, uint64_t read, std::string* error) {
  if (kind == PairLineReader::Kind::error) {
    *error = readFailure(path, reader);
    return false;
  }
  if (!sized) {
    *error = path + ": no size line \"rows columns entries\"";
    return false;
  }
  if (read != size.entries) {
    *error = located(path, size.line,
                     "the size line announces " + std::to_string(size.entries) + " entries, the file holds " +
                         std::to_string(read));
    return false;
  }
  return true;
}

// MatrixMarket: the banner, comment lines, the size line `rows columns entries`, then one line
// `i j [value]` per entry with 1-based indices. Every row is a vertex, with or without edges.
bool readMatrixMarketLines(PairLineReader& reader, PairLineReader::Kind kind, std::string_view line,
                           const std::string& path, EdgeEnds* edges, std::string* error) {
  if (!firstLineIsBanner(reader, kind, line, path, error)) return false;
  edges->indexed = true;
  bool sized = false;
  MatrixSize size;
  uint64_t read = 0;
  uint64_t i = 0, j = 0;
  while ((kind = reader.next(&i, &j, &line)) == PairLineReader::Kind::pair || kind == PairLineReader::Kind::line) {
    const long long lineNumber = reader.lineNumber();
    std::string problem;
    if (!sized || kind == PairLineReader::Kind::line) {
      const char *p, *end;
      trimLine(line, &p, &end);
      if (isCommentOrBlank(p, end)) continue;
      if (!sized) {
        problem = sizeLineProblem(p, end, &size);
        if (!problem.empty()) {
          *error = located(path, lineNumber, problem);
          return false;
        }
        sized = true;
        size.line = lineNumber;
        edges->vertexCount = size.rows;
        // An entry line has at least 4 bytes; a size line that promises more cannot be right, and
        // reserving for it would only waste memory.
        const uint64_t possible = static_cast<uint64_t>(std::max(reader.size(), 0LL)) / 4 + 1;
        edges->ends.reserve(2 * std::min(size.entries, possible));
        continue;
      }
      problem = pairProblem(&p, end, "index", &i, &j);
    }
    if (problem.empty() && !entryFits(i, j, read, size)) problem = entryProblem(i, j, read, size);
    if (!problem.empty()) {
      *error = located(path, lineNumber, problem);
      return false;
    }
    ++read;
    edges->ends.push_back(i - 1);
    edges->ends.push_back(j - 1);
  }
  return matrixMarketComplete(reader, kind, path, sized, size, read, error);
}

bool startsWithBanner(std::string_view line) {
  constexpr std::string_view banner = "%%matrixmarket";
  return line.size() >= banner.size() && lowercase(line.substr(0, banner.size())) == banner;
}

bool readEdges(const std::string& path, InputFormat format, EdgeEnds* edges, std::string* error) {
  PairLineReader reader;
  if (!reader.open(path.c_str())) {
    *error = "cannot open " + path + ": " + errorText(reader.error());
    return false;
  }
  uint64_t u = 0, v = 0;
  std::string_view first;
  const PairLineReader::Kind kind = reader.next(&u, &v, &first);
  const bool matrixMarket =
      format == InputFormat::matrixMarket ||
      (format == InputFormat::automatic && kind == PairLineReader::Kind::line && startsWithBanner(first));
  return matrixMarket ? readMatrixMarketLines(reader, kind, first, path, edges, error)
                      : readEdgeListLines(reader, kind, u, v, first, path, edges, error);
}

bool readLabelLines(LineReader& reader, const std::string& path, LabelFile* labels, std::string* error) {
  std::string_view line;
  LineReader::Status status;
  while ((status = reader.next(&line)) == LineReader::Status::line) {
    const char *p, *end;
    trimLine(line, &p, &end);
    if (isCommentOrBlank(p, end)) continue;
    LabelEntry entry;
    entry.line = reader.lineNumber();
    std::string problem;
    FieldStatus field = readUnsigned(&p, end, &entry.id);
    if (field != FieldStatus::ok) {
      problem = fieldProblem(field, p, end, "vertex id", false);
    } else {
      skipSeparator(&p, end);
      field = readLabel(&p, end, &entry.label);
      if (field == FieldStatus::missing) {
        problem = "expected \"id label\", found no label";
      } else if (field == FieldStatus::tooLarge) {
        problem = "label " + quoteField(p, end) + " is out of range (-2147483648 to 2147483647)";
      } else if (field != FieldStatus::ok) {
        problem = "expected a label, found " + quoteField(p, end);
      } else if (p != end) {
        skipSeparator(&p, end);
        problem = "expected \"id label\", found a third field " + quoteField(p, end);
      }
    }
    if (!problem.empty()) {
      *error = located(path, entry.line, problem);
      return false;
    }
    labels->entries.push_back(entry);
  }
  if (status == LineReader::Status::error) {
    *error = readFailure(path, reader);
    return false;
  }
  return true;
}

// Sorts a short range by insertion, a long one with std::sort: most rows hold a few ends.
void sortRow(int32_t* begin, int32_t* end) {
  if (end - begin < 2) return;  // also an empty row of an empty array, whose begin may be null
  if (end - begin > 24) {
    std::sort(begin, end);
    return;
  }
  for (int32_t* i = begin + 1; i < end; ++i) {
    const int32_t value = *i;
    int32_t* j = i;
    for (; j > begin && j[-1] > value; --j) *j = j[-1];
    *j = value;
  }
}

// The keys of the edges (smaller end << 32 | larger end) grouped by buckets of 2^shift consecutive
// smaller ends: bucket b ends at spread[bucketEnd[b]].
struct EdgeBuckets {
  int shift = 0;
  size_t count = 0;
  std::vector<size_t> bucketEnd;
  size_t keptLines = 0;
  const uint64_t* spread = nullptr;
};

// Makes the keys in the first half of the ends (self-loops dropped) and spreads them by bucket into
// the second: one pass, sequential writes to at most 2048 places.
EdgeBuckets spreadIntoBuckets(HugeVector<uint64_t>& ends, size_t vertexCount, const IdMap* map) {
  EdgeBuckets buckets;
  const size_t lines = ends.size() / 2;
  int& shift = buckets.shift;
  while (vertexCount > 0 && ((vertexCount - 1) >> shift) >= 2048) ++shift;
  buckets.count = vertexCount == 0 ? 0 : ((vertexCount - 1) >> shift) + 1;
  std::vector<size_t>& bucketStart = buckets.bucketEnd;
  bucketStart.assign(buckets.count + 1, 0);
  buckets.keptLines = map != nullptr ? map->makeKeys(&ends, shift, bucketStart.data())
                                     : makeKeys(ends.data(), lines, SameId(), shift, bucketStart.data());
  for (size_t b = 1; b <= buckets.count; ++b) bucketStart[b] += bucketStart[b - 1];
  uint64_t* spread = ends.data() + lines;
  for (size_t i = 0; i < buckets.keptLines; ++i) spread[bucketStart[(ends[i] >> 32) >> shift]++] = ends[i];
  // Each start has moved on to the end of its bucket.
  buckets.spread = spread;
  return buckets;
}

size_t largestBucketSize(const EdgeBuckets& buckets) {
  size_t largest = 0;
  for (size_t b = 0, begin = 0; b < buckets.count; begin = buckets.bucketEnd[b++]) {
    largest = std::max(largest, buckets.bucketEnd[b] - begin);
  }
  return largest;
}

// Sorts the keys spread[begin, end) of the `rows` rows from `base` on into their rows by a counting
// sort in `scratch`, which stays in cache, then appends each row, sorted and without repeats, to the
// graph's arrays, which are thus written once, in order.
void appendBucketRows(const uint64_t* spread, size_t begin, size_t end, uint64_t base, size_t rows,
                      std::vector<size_t>& rowStart, std::vector<int32_t>& scratch, ConvertedGraph* graph) {
  HugeVector<size_t>& first = graph->firstEdge;
  HugeVector<int32_t>& larger = graph->largerEnds;
  std::fill(rowStart.begin(), rowStart.begin() + rows + 1, 0);
  for (size_t i = begin; i < end; ++i) ++rowStart[(spread[i] >> 32) - base + 1];
  for (size_t r = 1; r <= rows; ++r) rowStart[r] += rowStart[r - 1];
  for (size_t i = begin; i < end; ++i) {
    scratch[rowStart[(spread[i] >> 32) - base]++] = static_cast<int32_t>(spread[i] & 0xFFFFFFFFu);
  }
  size_t rowBegin = 0;
  for (size_t r = 0; r < rows; ++r) {
    const size_t rowEnd = rowStart[r];
    first.push_back(larger.size());
    sortRow(scratch.data() + rowBegin, scratch.data() + rowEnd);
    for (size_t i = rowBegin; i < rowEnd; ++i) {
      if (i == rowBegin || scratch[i] != scratch[i - 1]) larger.push_back(scratch[i]);
    }
    rowBegin = rowEnd;
  }
}

// Turns the ends into the graph's edges (through `map`, or as dense ids already when it is null):
// self-loops dropped and counted, each undirected edge
// listed once at its smaller end. The edges are first spread over at most 2048 buckets of
// consecutive smaller ends (one pass, sequential writes to few places), then each bucket is sorted
// into its rows by a counting sort that stays in cache, and every row is sorted and its repeats
// removed. The keys are made in the first half of the ends and spread into the second.
void collectEdges(HugeVector<uint64_t>& ends, size_t vertexCount, const IdMap* map, ConvertedGraph* graph) {
  const size_t lines = ends.size() / 2;
  const EdgeBuckets buckets = spreadIntoBuckets(ends, vertexCount, map);
  const int shift = buckets.shift;
  std::vector<int32_t> scratch(largestBucketSize(buckets));
  graph->firstEdge.clear();
  graph->firstEdge.reserve(vertexCount + 1);
  graph->largerEnds.clear();
  graph->largerEnds.reserve(buckets.keptLines);
  std::vector<size_t> rowStart((size_t{1} << shift) + 1);
  size_t bucketBegin = 0;
  for (size_t b = 0; b < buckets.count; ++b) {
    const size_t bucketEnd = buckets.bucketEnd[b];
    const uint64_t base = static_cast<uint64_t>(b) << shift;
    const size_t rows = static_cast<size_t>(std::min<uint64_t>(uint64_t{1} << shift, vertexCount - base));
    appendBucketRows(buckets.spread, bucketBegin, bucketEnd, base, rows, rowStart, scratch, graph);
    bucketBegin = bucketEnd;
  }
  graph->firstEdge.push_back(graph->largerEnds.size());
  const size_t kept = graph->largerEnds.size();
  graph->edgeLines = static_cast<long long>(lines);
  graph->selfLoops = static_cast<long long>(lines - buckets.keptLines);
  graph->repeatedEdges = static_cast<long long>(buckets.keptLines - kept);
}

// The first line of the label file that labels `id`.
const LabelEntry& firstEntryFor(const LabelFile& labels, uint64_t id) {
  for (const LabelEntry& entry : labels.entries) {
    if (entry.id == id) return entry;
  }
  return labels.entries.front();
}

// Gives every vertex its label from the file; `dense(id)` is the vertex of an original id or -1.
template <typename DenseId>
bool assignLabels(const LabelFile& labels, const std::string& inputPath, DenseId dense, bool strict,
                  ConvertedGraph* graph, std::string* error) {
  const size_t n = graph->originalIds.size();
  graph->labels.assign(n, 0);
  std::vector<bool> labelled(n, false);
  for (const LabelEntry& entry : labels.entries) {
    const int32_t vertex = dense(entry.id);
    if (vertex < 0) {
      if (!strict) continue;
      *error = located(labels.path, entry.line,
                       "vertex " + std::to_string(entry.id) + " is not in " + inputPath + " (its ids are 1 to " +
                           std::to_string(n) + ")");
      return false;
    }
    if (labelled[vertex]) {
      if (graph->labels[vertex] == entry.label) continue;
      const LabelEntry& first = firstEntryFor(labels, entry.id);
      *error = located(labels.path, entry.line,
                       "vertex " + std::to_string(entry.id) + " labelled " + std::to_string(entry.label) +
                           " here and " + std::to_string(first.label) + " on line " + std::to_string(first.line));
      return false;
    }
    labelled[vertex] = true;
    graph->labels[vertex] = entry.label;
  }
  const size_t missing = static_cast<size_t>(std::count(labelled.begin(), labelled.end(), false));
  if (missing > 0) {
    const size_t vertex = static_cast<size_t>(std::find(labelled.begin(), labelled.end(), false) - labelled.begin());
    *error = labels.path + ": no label for vertex " + std::to_string(graph->originalIds[vertex]) + " of " + inputPath;
    if (missing > 1) *error += " (" + std::to_string(missing) + " vertices have none)";
    return false;
  }
  return true;
}

}  // namespace

bool readLabelFile(const std::string& path, LabelFile* labels, std::string* error) {
  labels->path = path;
  labels->entries.clear();
  LineReader reader;
  if (!reader.open(path.c_str())) {
    *error = "cannot open " + path + ": " + errorText(reader.error());
    return false;
  }
  return readLabelLines(reader, path, labels, error);
}

bool convertInput(const std::string& path, InputFormat format, OutputKind kind, const LabelFile* labels,
                  ConvertedGraph* graph, std::string* error) {
  *graph = ConvertedGraph();
  EdgeEnds edges;
  if (!readEdges(path, format, &edges, error)) return false;

  if (edges.indexed) {
    graph->originalIds.resize(edges.vertexCount);
    for (uint64_t i = 0; i < edges.vertexCount; ++i) graph->originalIds[i] = i + 1;
    collectEdges(edges.ends, graph->originalIds.size(), nullptr, graph);
  } else {
    // A data graph's vertices are the ends of its edges and the vertices of its label lines.
    std::vector<uint64_t> labelIds;
    uint64_t largest = edges.largestId;
    if (labels != nullptr && kind == OutputKind::data) {
      labelIds.reserve(labels->entries.size());
      for (const LabelEntry& entry : labels->entries) {
        labelIds.push_back(entry.id);
        largest = std::max(largest, entry.id);
      }
    }
    IdMap map;
    if (!map.build(&edges.ends, labelIds, largest, &graph->originalIds)) {
      *error = path + ": more than " + std::to_string(maxVertexCount) + " vertices, more than the tool takes";
      return false;
    }
    auto dense = [&map](uint64_t id) { return map.find(id); };
    if (labels != nullptr && !assignLabels(*labels, path, dense, false, graph, error)) return false;
    collectEdges(edges.ends, graph->originalIds.size(), &map, graph);
  }

  if (labels == nullptr) {
    graph->labels.assign(graph->originalIds.size(), 0);
  } else if (edges.indexed) {
    const uint64_t n = edges.vertexCount;
    auto dense = [n](uint64_t id) { return id >= 1 && id <= n ? static_cast<int32_t>(id - 1) : -1; };
    if (!assignLabels(*labels, path, dense, kind == OutputKind::data, graph, error)) return false;
  }
  return true;
}

LabelGenerator::LabelGenerator(uint64_t seed) {
  for (uint64_t& word : state) {
    uint64_t z = (seed += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    word = z ^ (z >> 31);
  }
}

uint64_t LabelGenerator::nextWord() {
  auto rotl = [](uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
  const uint64_t result = rotl(state[1] * 5, 7) * 9;
  const uint64_t t = state[1] << 17;
  state[2] ^= state[0];
  state[3] ^= state[1];
  state[1] ^= state[2];
  state[0] ^= state[3];
  state[2] ^= t;
  state[3] = rotl(state[3], 45);
  return result;
}

int32_t LabelGenerator::next(int32_t count) {
  // Rejecting the top partial block of 2^64 leaves every remainder equally likely.
  const uint64_t bound = static_cast<uint64_t>(count);
  const uint64_t limit = std::numeric_limits<uint64_t>::max() - std::numeric_limits<uint64_t>::max() % bound;
  uint64_t word;
  do {
    word = nextWord();
  } while (word >= limit);
  return static_cast<int32_t>(word % bound);
}

void drawRandomLabels(LabelGenerator* generator, int32_t count, ConvertedGraph* graph) {
  for (int32_t& label : graph->labels) label = generator->next(count);
}

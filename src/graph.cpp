// Data graph reading and editing. The file is split at line starts into pieces that threads parse
// into flat lists (labels, edge ends); endpoints are checked once the number of vertex lines before
// each piece is known, and a piece with a problem is parsed again alone, so that the first bad line of
// the file is the one reported. The rows are then filled by ranges of source vertices, one range per
// thread, so that no two threads write to the same row.
#include "graph.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <cstdint>
#include <iostream>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "fatal_error.h"
#include "huge_page_allocator.h"
#include "line_reader.h"
#include "settings.h"
#include "text_number.h"
#include "worker_threads.h"

namespace {

// Token i (from 0) of a line split at runs of spaces: begin and end pointers.
struct Tokens {
  const char* begin[3];
  const char* end[3];
};

// Finds the first three space-separated tokens; false when the line has fewer.
bool firstThreeTokens(std::string_view line, Tokens* tokens) {
  const char* p = line.data();
  const char* const end = p + line.size();
  for (int i = 0; i < 3; ++i) {
    while (p < end && *p == ' ') ++p;
    if (p == end) return false;
    tokens->begin[i] = p;
    while (p < end && *p != ' ') ++p;
    tokens->end[i] = p;
  }
  return true;
}

int saturatedCount(uint64_t count) {
  return count > static_cast<uint64_t>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                         : static_cast<int>(count);
}

// Label pair counts over dense label numbers: a square table for the first numbers (all of them when
// labels are few), a hash map for pairs beyond it.
class PairCounter {
 public:
  explicit PairCounter(size_t labelCount)
      : side(static_cast<uint32_t>(std::min<size_t>(labelCount, tableLimit))),
        holdsAll(labelCount <= tableLimit),
        table(size_t{side} * side, 0) {}

  void add(uint32_t a, uint32_t b, uint64_t count = 1) {
    if (a < side && b < side) {
      table[size_t{a} * side + b] += count;
    } else {
      sparse[(uint64_t{a} << 32) | b] += count;
    }
  }

  /// The table's row of label number a (a below the table's side): counts indexed by the other label.
  uint64_t* tableRow(uint32_t a) {
    assert(a < side);
    return table.data() + size_t{a} * side;
  }
  /// Whether every label number has its row and column in the table.
  bool tableHoldsAll() const { return holdsAll; }

  template <typename Visit>
  void forEach(Visit visit) const {
    for (uint32_t a = 0; a < side; ++a)
      for (uint32_t b = 0; b < side; ++b)
        if (uint64_t count = table[size_t{a} * side + b]) visit(a, b, count);
    for (const auto& [key, count] : sparse) visit(static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(key), count);
  }

 private:
  // 2 MiB of counts per thread at most.
  static constexpr uint32_t tableLimit = 512;

  uint32_t side;
  bool holdsAll;
  std::vector<uint64_t> table;
  std::unordered_map<uint64_t, uint64_t> sparse;
};

// The first problem met in a piece of the file; it ends the parse of the piece.
struct Problem {
  enum class Kind { none, shortVertexLine, shortEdgeLine, badEndpoint, readError };
  Kind kind = Kind::none;
  long long line = 0;           // within the piece, from 1; for a read error the lines read before it
  int endpoint = 0;             // the endpoint that names no vertex
  long long verticesSoFar = 0;  // vertex lines before that edge line, from the start of the file
  int errorNumber = 0;
};

// What the lines of one piece of the file hold, in line order.
struct Piece {
  long long first = 0, last = 0;  // the byte range in which the piece's lines start
  HugeVector<int> labels;         // the label of each vertex line
  HugeVector<uint64_t> edges;     // each edge line's endpoints u | v << 32
  long long lines = 0;
  int64_t farthestReach = std::numeric_limits<int64_t>::min();  // endpoint minus the piece's vertices before it
  bool cutShort = false;  // stopped because an earlier piece met a problem
  Problem problem;
};

// Room for every edge line that `bytes` of text can hold, reserved without being touched, so that the
// list is never copied while it grows: a line with three fields and its newline take 6 bytes at least.
void reserveEdges(long long bytes, Piece* piece) {
  if (bytes > 0) piece->edges.reserve(static_cast<size_t>(bytes) / 6 + 1);
}

// Which piece met a problem first in file order, so that later pieces can stop early.
struct StopSignal {
  std::atomic<size_t> earliestProblem;
};

// The value of the decimal digits at p and their number, from 1 to 8, or 0 when p holds no digit or
// more than 8; the 8 bytes at p (and one more after 8 digits) must be readable. The digits are found
// and converted eight at a time within one 64-bit word, without a branch per digit.
inline int leadingDigits(const char* p, uint32_t* value) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  const uint64_t digits = word - 0x3030303030303030u;
  // A byte's high bit is set when it is below '0' or above '9'; the digits before the first such byte
  // neither borrow nor carry, so the first set bit marks the end of the digits.
  const uint64_t others = (digits | (digits + 0x7676767676767676u)) & 0x8080808080808080u;
  const int count = others == 0 ? 8 : __builtin_ctzll(others) / 8;
  if (count == 0 || (count == 8 && static_cast<unsigned char>(p[8] - '0') < 10)) return 0;
  // The digits moved to the high bytes, led by zeros, then combined in pairs, fours and eights.
  uint64_t v = count == 8 ? digits : digits << (64 - 8 * count);
  v = v * 10 + (v >> 8);
  v = (((v & 0x000000FF000000FFu) * (100 + (uint64_t{1000000} << 32))) +
       (((v >> 16) & 0x000000FF000000FFu) * (1 + (uint64_t{10000} << 32)))) >>
      32;
  *value = static_cast<uint32_t>(v);
  return count;
}

// Reads the two numbers of a line "<kind> <digits> <digits>" from the character after the kind, each
// of at most 8 digits, the common shape; the text holds a newline further on, which ends every scan,
// and the bytes after it may be read. Returns the first character after the digits of the third
// field, or null when the line needs the general rules (signs, other separators, long numbers, few
// fields).
inline const char* quickFields(const char* p, uint32_t* second, uint32_t* third) {
  while (*p == ' ') ++p;
  int count = leadingDigits(p, second);
  // The second field must end at a space for the third to start after it.
  if (count == 0 || p[count] != ' ') return nullptr;
  p += count;
  while (*p == ' ') ++p;
  count = leadingDigits(p, third);
  return count == 0 ? nullptr : p + count;
}

// The piece being parsed: its lists and what the parse of one line needs to know.
struct PieceParser {
  Piece* piece;
  long long vertexBase;  // vertex lines before the piece, or -1 when not yet known
  long long line = 0;
  int64_t reach = std::numeric_limits<int64_t>::min();

  // Handles the line [p, end) by the general rules; false, with the problem recorded, when it is
  // malformed or names no vertex.
  bool take(const char* p, const char* end) {
    ++line;
    if (p == end || (*p != 'v' && *p != 'e')) return true;
    Tokens tokens;
    if (!firstThreeTokens(std::string_view(p, static_cast<size_t>(end - p)), &tokens)) {
      piece->problem.kind = *p == 'v' ? Problem::Kind::shortVertexLine : Problem::Kind::shortEdgeLine;
      piece->problem.line = line;
      return false;
    }
    return takeFields(*p == 'v', static_cast<uint32_t>(parseInt32(tokens.begin[1], tokens.end[1])),
                      static_cast<uint32_t>(parseInt32(tokens.begin[2], tokens.end[2])));
  }

  // Handles the line at p, which ends with a newline before `end`; returns where the next line
  // starts. Lines of the common shape are read in one pass without looking for their end first.
  const char* takeTerminated(const char* p, const char* end, bool* stopped) {
    uint32_t second, third;
    const char* after;
    if ((*p == 'v' || *p == 'e') && p[1] == ' ' && (after = quickFields(p + 2, &second, &third)) != nullptr) {
      ++line;
      *stopped = !takeFields(*p == 'v', second, third);
      if (*after == '\n') return after + 1;
      return static_cast<const char*>(std::memchr(after, '\n', static_cast<size_t>(end - after))) + 1;
    }
    const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    *stopped = !take(p, newline);
    return newline + 1;
  }

  bool takeFields(bool isVertex, uint32_t second, uint32_t third) {
    if (!isVertex) return takeEdge(second, third);
    piece->labels.push_back(static_cast<int>(third));
    return true;
  }

  // Negative ids are huge as unsigned numbers, so one comparison rejects both kinds of bad endpoint.
  bool takeEdge(uint32_t u, uint32_t v) {
    const int64_t vertices = static_cast<int64_t>(piece->labels.size());
    const int64_t farthest = static_cast<int64_t>(std::max(u, v)) - vertices;
    if (vertexBase >= 0 && farthest >= vertexBase) {
      const bool badU = static_cast<int64_t>(u) >= vertexBase + vertices;
      piece->problem.kind = Problem::Kind::badEndpoint;
      piece->problem.line = line;
      piece->problem.endpoint = static_cast<int>(badU ? u : v);
      piece->problem.verticesSoFar = vertexBase + vertices;
      return false;
    }
    reach = std::max(reach, farthest);
    piece->edges.push_back(uint64_t{u} | (uint64_t{v} << 32));
    return true;
  }
};

// Parses the lines of `reader` into `piece` up to the first problem. With `vertexBase` >= 0 (the vertex
// lines before the piece) endpoints are checked line by line; otherwise only their farthest reach past
// the piece's own vertex lines is kept, to be checked once the base is known.
void parsePiece(LineReader& reader, long long vertexBase, StopSignal* stop, size_t index, Piece* piece) {
  PieceParser parser{piece, vertexBase};
  std::string_view text;
  LineReader::Status status;
  bool stopped = false;
  while (!stopped && (status = reader.nextLines(&text)) == LineReader::Status::line) {
    if (stop != nullptr && stop->earliestProblem.load(std::memory_order_relaxed) < index) {
      piece->cutShort = true;
      break;
    }
    const char* p = text.data();
    const char* const end = p + text.size();
    // Only the file's last line can lack its newline; it takes the bounded path.
    const char* const lastNewline = static_cast<const char*>(memrchr(p, '\n', text.size()));
    const char* const terminated = lastNewline == nullptr ? p : lastNewline + 1;
    while (p < terminated && !stopped) p = parser.takeTerminated(p, terminated, &stopped);
    if (p < end && !stopped) stopped = !parser.take(p, end);
  }
  if (!stopped && status == LineReader::Status::error) {
    piece->problem.kind = Problem::Kind::readError;
    piece->problem.line = parser.line;
    piece->problem.errorNumber = reader.error();
  }
  piece->lines = parser.line;
  piece->farthestReach = parser.reach;
}

void reportProblem(const char* path, const Problem& problem, long long lineBase) {
  using Kind = Problem::Kind;
  const long long line = lineBase + problem.line;
  switch (problem.kind) {
    case Kind::none:
      break;
    case Kind::shortVertexLine:
    case Kind::shortEdgeLine:
      std::cout << path << ":" << line << ": " << (problem.kind == Kind::shortVertexLine ? "vertex" : "edge")
                << " line with fewer than three fields" << std::endl;
      break;
    case Kind::badEndpoint:
      std::cout << path << ":" << line << ": edge endpoint " << problem.endpoint << " is not a vertex ("
                << problem.verticesSoFar << " vertex lines read so far)" << std::endl;
      break;
    case Kind::readError:
      std::cout << "Graph cannot read " << path << " after line " << line << ": " << errorText(problem.errorNumber)
                << std::endl;
      break;
  }
}

// Parses the regular file behind `fd` in `count` pieces of about equal size, one per thread. A piece
// covers the lines that start in its byte range, so a line cut by a range boundary is parsed whole by
// the piece in which it starts.
std::vector<Piece> parseInPieces(int fd, long long size, int count) {
  std::vector<Piece> pieces(static_cast<size_t>(count));
  StopSignal stop{{pieces.size()}};
  runInParallel(count, [&](int i) {
    Piece& piece = pieces[static_cast<size_t>(i)];
    piece.first = size / count * i + std::min<long long>(i, size % count);
    piece.last = size / count * (i + 1) + std::min<long long>(i + 1, size % count);
    reserveEdges(piece.last - piece.first, &piece);
    LineReader reader;
    reader.openRange(fd, piece.first, piece.last);
    parsePiece(reader, -1, &stop, static_cast<size_t>(i), &piece);
    if (piece.problem.kind == Problem::Kind::none) return;
    size_t earliest = stop.earliestProblem.load();
    while (static_cast<size_t>(i) < earliest && !stop.earliestProblem.compare_exchange_weak(earliest, i)) {
    }
  });
  return pieces;
}

// Walks the pieces in file order with the number of vertex lines before each: a piece that met a
// problem, was cut short or names a vertex not read before its line is parsed again alone with that
// number, which finds its first bad line. False after the message about the first bad line of the file.
bool checkPieces(const char* path, int fd, std::vector<Piece>* pieces) {
  long long vertexBase = 0, lineBase = 0;
  for (Piece& piece : *pieces) {
    if (piece.problem.kind != Problem::Kind::none || piece.cutShort || piece.farthestReach >= vertexBase) {
      Piece again;
      again.first = piece.first;
      again.last = piece.last;
      reserveEdges(piece.last - piece.first, &again);
      LineReader reader;
      reader.openRange(fd, again.first, again.last);
      parsePiece(reader, vertexBase, nullptr, 0, &again);
      if (again.problem.kind != Problem::Kind::none) {
        reportProblem(path, again.problem, lineBase);
        return false;
      }
      piece = std::move(again);  // a read error that did not come back
    }
    vertexBase += static_cast<long long>(piece.labels.size());
    lineBase += piece.lines;
  }
  return true;
}

// Reads the open file into pieces: in one piece, with endpoints checked as it goes, when it is not a
// regular file or one thread is asked for. False after a message about the first bad line.
bool readPieces(const char* path, LineReader& reader, int threads, std::vector<Piece>* pieces) {
  const long long size = reader.size();
  const int count = static_cast<int>(std::min<long long>(threads, size));
  if (!reader.regular() || count <= 1) {
    pieces->resize(1);
    Piece& piece = pieces->front();
    reserveEdges(size, &piece);
    parsePiece(reader, 0, nullptr, 0, &piece);
    if (piece.problem.kind == Problem::Kind::none) return true;
    reportProblem(path, piece.problem, 0);
    return false;
  }
  *pieces = parseInPieces(reader.descriptor(), size, count);
  return checkPieces(path, reader.descriptor(), pieces);
}

// Numbers the labels densely in order of first appearance: returns the label of each number and
// sets the number of each vertex. A small table of recent labels answers most lookups without the
// hash map, since a file seldom has more than a few hundred labels.
std::vector<int> numberLabels(const std::vector<int>& labels, HugeVector<uint32_t>* number) {
  std::unordered_map<int, uint32_t> numbers;
  std::vector<int> labelOf;
  struct Recent {
    int label;
    uint32_t number;  // 0 for an empty entry, else the label's number + 1
  };
  constexpr int recentBits = 10;
  std::vector<Recent> recent(size_t{1} << recentBits, Recent{0, 0});
  number->resize(labels.size());
  for (size_t v = 0; v < labels.size(); ++v) {
    const int label = labels[v];
    Recent& entry = recent[(static_cast<uint32_t>(label) * 0x9e3779b1u) >> (32 - recentBits)];
    if (entry.number == 0 || entry.label != label) {
      auto [it, inserted] = numbers.try_emplace(label, static_cast<uint32_t>(labelOf.size()));
      if (inserted) labelOf.push_back(label);
      entry = Recent{label, it->second + 1};
    }
    (*number)[v] = entry.number - 1;
  }
  return labelOf;
}

// labelVertices and labelFreq from the label numbers, each list allocated at its final size.
void indexLabels(const std::vector<int>& labelOf, const HugeVector<uint32_t>& number, Graph* graph) {
  std::vector<std::vector<int>> byLabel(labelOf.size());
  std::vector<size_t> counts(labelOf.size(), 0);
  for (uint32_t k : number) ++counts[k];
  for (size_t k = 0; k < labelOf.size(); ++k) byLabel[k].reserve(counts[k]);
  for (size_t v = 0; v < number.size(); ++v) byLabel[number[v]].push_back(static_cast<int>(v));
  for (size_t k = 0; k < labelOf.size(); ++k) {
    graph->labelFreq[labelOf[k]] = saturatedCount(counts[k]);
    graph->labelVertices[labelOf[k]] = std::move(byLabel[k]);
  }
}

// The rows are first built in one flat array of every edge end, whose huge pages keep the random
// writes cheap in address translations, by ranges of source vertices, one range per thread, through
// one slot per vertex: first the number of ends whose source is the vertex, then the position of its
// next end in the flat array, which leaves it at the end of the vertex's ends. Slot n + t is thread
// t's sink for the ends of other ranges, which lets the loops over the edges handle every end
// without a branch. The slots of the edges a little ahead are fetched early, so that the misses of
// random vertices overlap.
constexpr size_t fetchAhead = 32;

// The flat array of edge ends and the ranges of source vertices it is filled by.
struct FlatRows {
  HugeVector<uintptr_t> slots;
  ZeroedArray<int> ends;       // every entry is written, so the kernel's zeros are not written over first
  std::vector<size_t> bounds;  // range t holds the vertices [bounds[t], bounds[t + 1])
  std::vector<size_t> starts;  // and its ends start at ends[starts[t]]

  int* rowBegin(size_t t, size_t v) {
    return v == bounds[t] ? ends.data() + starts[t] : reinterpret_cast<int*>(slots[v - 1]);
  }
  int* rowEnd(size_t v) { return reinterpret_cast<int*>(slots[v]); }
};

// Counts in slots[v] the ends whose source v lies in [first, last), over every piece.
void countEnds(const std::vector<Piece>& pieces, size_t first, size_t last, size_t sink, uintptr_t* slots) {
  assert(first <= last && last <= sink);
  const size_t span = last - first;
  auto slotOf = [&](size_t source) -> uintptr_t& { return slots[source - first < span ? source : sink]; };
  for (const Piece& piece : pieces) {
    const uint64_t* edges = piece.edges.data();
    const size_t count = piece.edges.size();
    for (size_t i = 0; i < count; ++i) {
      if (i + fetchAhead < count) {
        __builtin_prefetch(&slotOf(static_cast<uint32_t>(edges[i + fetchAhead])), 1);
        __builtin_prefetch(&slotOf(edges[i + fetchAhead] >> 32), 1);
      }
      ++slotOf(static_cast<uint32_t>(edges[i]));
      ++slotOf(edges[i] >> 32);
    }
  }
}

// Splits the n vertices into `parts` ranges of about equal numbers of edge ends.
void splitByEnds(size_t n, int parts, FlatRows* flat) {
  uint64_t total = 0;
  for (size_t v = 0; v < n; ++v) total += flat->slots[v];
  flat->bounds.assign(static_cast<size_t>(parts) + 1, n);
  flat->starts.assign(static_cast<size_t>(parts) + 1, total);
  flat->bounds[0] = flat->starts[0] = 0;
  uint64_t seen = 0;
  size_t part = 1;
  for (size_t v = 0; v < n && part < static_cast<size_t>(parts); ++v) {
    seen += flat->slots[v];
    while (part < static_cast<size_t>(parts) && seen * static_cast<uint64_t>(parts) >= total * part) {
      flat->bounds[part] = v + 1;
      flat->starts[part++] = seen;
    }
  }
}

// Writes every end whose source lies in range t into the flat array, in file order, by a pass over
// all the edges. The ends of other ranges are not touched.
void writeEnds(const std::vector<Piece>& pieces, size_t t, size_t sink, FlatRows* flat) {
  const size_t first = flat->bounds[t], last = flat->bounds[t + 1], span = last - first;
  uintptr_t* const slots = flat->slots.data();
  int* at = flat->ends.data() + flat->starts[t];
  for (size_t v = first; v < last; ++v) at += std::exchange(slots[v], reinterpret_cast<uintptr_t>(at));
  int discarded = 0;
  slots[sink] = reinterpret_cast<uintptr_t>(&discarded);
  auto slotOf = [&](size_t source) -> uintptr_t& { return slots[source - first < span ? source : sink]; };
  auto put = [&](size_t source, uint32_t target) {
    uintptr_t& slot = slotOf(source);
    int* position = reinterpret_cast<int*>(slot);
    *position = static_cast<int>(target);
    slot = reinterpret_cast<uintptr_t>(position + (&slot != &slots[sink] ? 1 : 0));
  };
  for (const Piece& piece : pieces) {
    const uint64_t* edges = piece.edges.data();
    const size_t count = piece.edges.size();
    for (size_t i = 0; i < count; ++i) {
      // Slots first, then, half as far ahead, the positions they hold.
      if (i + fetchAhead < count) {
        __builtin_prefetch(&slotOf(static_cast<uint32_t>(edges[i + fetchAhead])));
        __builtin_prefetch(&slotOf(edges[i + fetchAhead] >> 32));
      }
      if (i + fetchAhead / 2 < count) {
        __builtin_prefetch(reinterpret_cast<int*>(slotOf(static_cast<uint32_t>(edges[i + fetchAhead / 2]))), 1);
        __builtin_prefetch(reinterpret_cast<int*>(slotOf(edges[i + fetchAhead / 2] >> 32)), 1);
      }
      const uint32_t u = static_cast<uint32_t>(edges[i]), v = static_cast<uint32_t>(edges[i] >> 32);
      put(u, v);
      put(v, u);
    }
  }
}

// Bits of a vertex id sorted per pass of a long row's radix sort: the counts of one pass stay in L1.
constexpr int radixBits = 11;

// Orders a row of ids below 2^(passes * radixBits) with stable counting passes of radixBits each,
// through `spare` (as long as the row); passes over a single digit are skipped.
void radixSort(int* row, size_t size, int* spare, int passes) {
  constexpr uint32_t buckets = uint32_t{1} << radixBits;
  int* from = row;
  int* to = spare;
  for (int pass = 0; pass < passes; ++pass) {
    const int shift = pass * radixBits;
    auto digit = [shift](int value) { return (static_cast<uint32_t>(value) >> shift) & (buckets - 1); };
    size_t count[buckets + 1] = {};
    for (size_t i = 0; i < size; ++i) ++count[digit(from[i]) + 1];
    if (count[digit(from[0]) + 1] == size) continue;
    for (uint32_t d = 0; d < buckets; ++d) count[d + 1] += count[d];
    for (size_t i = 0; i < size; ++i) to[count[digit(from[i])]++] = from[i];
    std::swap(from, to);
  }
  if (from != row) std::copy(from, from + size, row);
}

// Sorts the rows of range t that the file did not list in order: long rows by radix, which costs a
// few passes over the row, short ones by comparison.
void sortRows(size_t t, size_t n, FlatRows* flat) {
  constexpr size_t radixFrom = 256;
  int passes = 1;
  while (passes * radixBits < 32 && (uint64_t{1} << (passes * radixBits)) < n) ++passes;
  HugeVector<int> spare;
  for (size_t v = flat->bounds[t]; v < flat->bounds[t + 1]; ++v) {
    int* const begin = flat->rowBegin(t, v);
    int* const end = flat->rowEnd(v);
    const size_t size = static_cast<size_t>(end - begin);
    if (std::is_sorted(begin, end)) continue;
    if (size < radixFrom) {
      std::sort(begin, end);
      continue;
    }
    if (spare.size() < size) spare.resize(size);
    radixSort(begin, size, spare.data(), passes);
  }
}

// Counts the label pairs of the ends of range t, through the label number of each vertex (one byte
// each when labels are few, so that the lookups stay in cache).
template <typename Number>
void countPairs(FlatRows& flat, size_t t, const Number* number, PairCounter* pairs) {
  for (size_t u = flat.bounds[t]; u < flat.bounds[t + 1]; ++u) {
    const uint32_t a = number[u];
    const int* const end = flat.rowEnd(u);
    if (pairs->tableHoldsAll()) {
      // The common case, without a branch per end: the row of the table that belongs to a.
      uint64_t* counts = pairs->tableRow(a);
      for (const int* v = flat.rowBegin(t, u); v < end; ++v) ++counts[number[static_cast<size_t>(*v)]];
    } else {
      for (const int* v = flat.rowBegin(t, u); v < end; ++v) pairs->add(a, number[static_cast<size_t>(*v)]);
    }
  }
}

// Fills one ascending row per vertex from the pieces' edge lists (freed on the way) and counts the
// label pairs of the edge ends.
void fillRows(std::vector<Piece>& pieces, const HugeVector<uint32_t>& number, size_t labelCount, int threads,
              std::vector<std::vector<int>>* rows, PairCounter* pairs) {
  const size_t n = number.size();
  const size_t parts = static_cast<size_t>(threads);
  FlatRows flat;
  flat.slots.assign(n + parts, 0);
  runInParallel(threads, [&](int t) {
    const size_t part = static_cast<size_t>(t);
    countEnds(pieces, n * part / parts, n * (part + 1) / parts, n + part, flat.slots.data());
  });
  splitByEnds(n, threads, &flat);
  flat.ends.reset(flat.starts.back());
  std::vector<PairCounter> counters(parts, PairCounter(labelCount));
  HugeVector<uint8_t> narrowNumber;
  if (labelCount <= 256) narrowNumber.assign(number.begin(), number.end());
  runInParallel(threads, [&](int t) {
    const size_t part = static_cast<size_t>(t);
    writeEnds(pieces, part, n + part, &flat);
    sortRows(part, n, &flat);
    if (narrowNumber.empty()) {
      countPairs(flat, part, number.data(), &counters[part]);
    } else {
      countPairs(flat, part, narrowNumber.data(), &counters[part]);
    }
  });
  for (Piece& piece : pieces) HugeVector<uint64_t>().swap(piece.edges);
  rows->resize(n);  // every vertex gets a row, also those read after the last edge line
  runInParallel(threads, [&](int t) {
    const size_t part = static_cast<size_t>(t);
    for (size_t v = flat.bounds[part]; v < flat.bounds[part + 1]; ++v) {
      (*rows)[v].assign(flat.rowBegin(part, v), flat.rowEnd(v));
    }
  });
  for (const PairCounter& counter : counters) {
    counter.forEach([&](uint32_t a, uint32_t b, uint64_t count) { pairs->add(a, b, count); });
  }
}

// The members of `graph` from the checked pieces, which are emptied on the way.
void buildGraph(std::vector<Piece>& pieces, int threads, Graph* graph) {
  size_t vertexCount = 0;
  for (const Piece& piece : pieces) vertexCount += piece.labels.size();
  graph->labels.reserve(vertexCount);
  for (Piece& piece : pieces) {
    graph->labels.insert(graph->labels.end(), piece.labels.begin(), piece.labels.end());
    HugeVector<int>().swap(piece.labels);
  }
  HugeVector<uint32_t> number;
  const std::vector<int> labelOf = numberLabels(graph->labels, &number);
  indexLabels(labelOf, number, graph);
  PairCounter pairs(labelOf.size());
  fillRows(pieces, number, labelOf.size(), threads, &graph->adjList, &pairs);
  pairs.forEach([&](uint32_t a, uint32_t b, uint64_t count) {
    graph->labelPairFreq[{labelOf[a], labelOf[b]}] = saturatedCount(count);
  });
}

}  // namespace

bool Graph::read(const char* path) { return read(path, 1); }

bool Graph::read(const char* path, int threads) {
  *this = Graph();
  // More threads than a few hundred only add start-up cost.
  threads = std::min(threadCount(threads), 256);
  LineReader reader;
  if (!reader.open(path)) {
    std::cout << "Graph cannot open " << path << std::endl;
    return false;
  }
  std::vector<Piece> pieces;
  if (!readPieces(path, reader, threads, &pieces)) return false;
  int64_t edgeLines = 0;
  for (const Piece& piece : pieces) edgeLines += static_cast<int64_t>(piece.edges.size());
  buildGraph(pieces, threads, this);
  if (output_mark != 0) {
    std::cout << "number of vertices: " << labels.size() << std::endl;
    std::cout << "number of edges: " << edgeLines << std::endl;
  }
  return true;
}

void Graph::copy(Graph* other) {
  if (other == this) return;
  labels = other->labels;
  adjList = other->adjList;
  labelVertices = other->labelVertices;
  labelPairFreq = other->labelPairFreq;
  labelFreq = other->labelFreq;
}

Graph::EdgeState Graph::edgeState(int u, int v) const {
  const int64_t rows = static_cast<int64_t>(adjList.size());
  if (u < 0 || v < 0 || u >= rows || v >= rows) return EdgeState::outOfRange;
  // Scan the shorter row; on equal lengths row u.
  const bool scanV = adjList[u].size() > adjList[v].size();
  const std::vector<int>& row = scanV ? adjList[v] : adjList[u];
  const int wanted = scanV ? u : v;
  return std::find(row.begin(), row.end(), wanted) != row.end() ? EdgeState::present : EdgeState::absent;
}

bool Graph::addEdge(int u, int v) {
  if (edgeState(u, v) != EdgeState::absent) return false;
  if (output_mark != 0) std::cout << "add edge: " << u << ", " << v << std::endl;
  adjList[u].push_back(v);
  adjList[v].push_back(u);
  std::sort(adjList[u].begin(), adjList[u].end());
  std::sort(adjList[v].begin(), adjList[v].end());
  return true;
}

bool Graph::checkEdge(int u, int v) { return edgeState(u, v) != EdgeState::absent; }

// The data file in pieces: the file is split at line starts into byte ranges that threads parse into
// flat lists; endpoints are checked once the number of vertex lines before each piece is known, and a
// piece with a problem is parsed again alone with that number, which finds its first bad line. Lines
// of the common shape are read by a fast path; every other line follows the general rules.
#include "data_file_pieces.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iostream>
#include <string_view>

#include "fatal_error.h"
#include "line_reader.h"
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

using Problem = DataFileProblem;
using Piece = DataFilePiece;

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
void parsePiece(LineReader& reader, long long vertexBase, StopSignal* stop, size_t index, Piece* piece,
                std::atomic<uint64_t>* bytesRead = nullptr) {
  PieceParser parser{piece, vertexBase};
  std::string_view text;
  LineReader::Status status;
  bool stopped = false;
  while (!stopped && (status = reader.nextLines(&text)) == LineReader::Status::line) {
    if (stop != nullptr && stop->earliestProblem.load(std::memory_order_relaxed) < index) {
      piece->cutShort = true;
      break;
    }
    if (bytesRead != nullptr) bytesRead->fetch_add(text.size(), std::memory_order_relaxed);
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
std::vector<Piece> parseInPieces(int fd, long long size, int count, std::atomic<uint64_t>* bytesRead) {
  std::vector<Piece> pieces(static_cast<size_t>(count));
  StopSignal stop{{pieces.size()}};
  runInParallel(count, [&](int i) {
    Piece& piece = pieces[static_cast<size_t>(i)];
    piece.first = size / count * i + std::min<long long>(i, size % count);
    piece.last = size / count * (i + 1) + std::min<long long>(i + 1, size % count);
    reserveEdges(piece.last - piece.first, &piece);
    LineReader reader;
    reader.openRange(fd, piece.first, piece.last);
    parsePiece(reader, -1, &stop, static_cast<size_t>(i), &piece, bytesRead);
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

}  // namespace

// A file that is not regular, or read by one thread, is parsed in one piece with its endpoints checked
// line by line.
bool parseDataFile(const char* path, LineReader& reader, int threads, std::vector<DataFilePiece>* pieces,
                   std::atomic<uint64_t>* bytesRead) {
  const long long size = reader.size();
  const int count = static_cast<int>(std::min<long long>(threads, size));
  if (!reader.regular() || count <= 1) {
    pieces->resize(1);
    Piece& piece = pieces->front();
    reserveEdges(size, &piece);
    parsePiece(reader, 0, nullptr, 0, &piece, bytesRead);
    if (piece.problem.kind == Problem::Kind::none) return true;
    reportProblem(path, piece.problem, 0);
    return false;
  }
  *pieces = parseInPieces(reader.descriptor(), size, count, bytesRead);
  return checkPieces(path, reader.descriptor(), pieces);
}

// Parsing a data graph file into flat lists, in pieces on several threads: each piece holds the
// labels of its vertex lines and the endpoints of its edge lines in line order. The file's first
// malformed line, or first endpoint that names no vertex read before its line, is the one reported,
// whatever piece it falls in.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <vector>

#include "huge_page_allocator.h"

class LineReader;

/// The first problem met in a piece of the file; it ends the parse of the piece.
struct DataFileProblem {
  enum class Kind { none, shortVertexLine, shortEdgeLine, badEndpoint, readError };
  Kind kind = Kind::none;
  long long line = 0;           // within the piece, from 1; for a read error the lines read before it
  int endpoint = 0;             // the endpoint that names no vertex
  long long verticesSoFar = 0;  // vertex lines before that edge line, from the start of the file
  int errorNumber = 0;
};

/// What the lines of one piece of the file hold, in line order.
struct DataFilePiece {
  long long first = 0, last = 0;  // the byte range in which the piece's lines start
  HugeVector<int> labels;         // the label of each vertex line
  HugeVector<uint64_t> edges;     // each edge line's endpoints u | v << 32
  long long lines = 0;
  int64_t farthestReach = std::numeric_limits<int64_t>::min();  // endpoint minus the piece's vertices before it
  bool cutShort = false;  // stopped because an earlier piece met a problem
  DataFileProblem problem;
};

/// Parses the data file opened by `reader` at `path` into pieces, one per thread for a regular file,
/// one for a pipe or a single thread. False after a message naming the file and the first bad line
/// (or the read error); the pieces then hold nothing of use. `bytesRead`, when given, grows by the
/// bytes parsed as the parse goes on (for a progress display).
bool parseDataFile(const char* path, LineReader& reader, int threads, std::vector<DataFilePiece>* pieces,
                   std::atomic<uint64_t>* bytesRead = nullptr);

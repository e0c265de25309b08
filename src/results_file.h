// The machine-readable results of a run (results=PATH): a JSON Lines file with one object for the run
// (settings, data graph, load time), one per query as soon as it ends, and a last one with the totals,
// or the signal that ended the run, or the error that did. Every object is written whole in one write,
// so the file can be followed while the run goes on and is valid JSON Lines whenever the run stops.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// What the results file says of one query.
struct QueryResult {
  int number = 0;
  int vertices = 0;
  int edges = 0;
  bool symmetric = false;
  uint64_t frequency = 0;
  std::string status;         // complete, limit, timeout, zero, refused or overflow
  bool exact = true;          // the frequency is the count of embeddings
  std::string message;        // why the query was refused, or that its count overflowed; empty otherwise
  double cpuMs = 0, wallMs = 0;
  std::vector<int> order;     // the matching order, in the query file's numbering; empty when refused
  std::string statsFile;      // the statistics file kept; empty when none
  int64_t statsBytes = -1;
};

class ResultsFile {
 public:
  ResultsFile() = default;
  ResultsFile(const ResultsFile&) = delete;
  ResultsFile& operator=(const ResultsFile&) = delete;
  ~ResultsFile();

  /// Creates (or truncates) the file; ends the run with "Results cannot open <path>" when it cannot.
  void open(const std::string& path);
  bool isOpen() const { return fd >= 0; }

  /// The first object: the run's settings and the data graph's counts and load time.
  void writeRun(int64_t vertices, int64_t edges, int64_t labels, double loadMs);

  /// One query's object.
  void writeQuery(const QueryResult& result);

  /// The last object of a run that went to its end: the totals.
  void writeEnd();

 private:
  void writeLine(const std::string& text);

  int fd = -1;
  std::string path;
  int64_t queries = 0, complete = 0, limit = 0, timeout = 0, zero = 0, refused = 0, overflow = 0;
  double totalCpuMs = 0, totalWallMs = 0;
};

// The statistics file of the query being matched. Its listing is written to a temporary file in the
// statistics directory and renamed into place when it is kept, so that a file named after a query
// always holds a complete listing. The temporary file has a random name, is created exclusively
// (never through a link planted under its name) and stays locked while this run may write it: a
// temporary file that nobody holds locked was left by a run that ended, on any host or in any pid
// namespace that shares the directory, and is removed.
#pragma once

#include <set>
#include <string>

#include "stats_writer.h"

class StatsFile {
 public:
  StatsFile() = default;
  StatsFile(const StatsFile&) = delete;
  StatsFile& operator=(const StatsFile&) = delete;
  /// Removes the temporary file, if any.
  ~StatsFile();

  /// Prepares the listing of query `queryNumber` in `directory`: removes its file left by an earlier
  /// run and makes sure an empty temporary file is open there. Ends the run with "Stats cannot open
  /// <path>" when either fails.
  void open(const std::string& directory, int queryNumber);

  /// Starts the listing of `width`-vertex embeddings through the writer in the given mode.
  StatsWriter& begin(int width, StatsWriter::Mode mode);

  /// Writes out what the writer holds and renames the temporary file to the query's name; ends the
  /// run with a message when that fails.
  void keep();

  /// Drops the listing; the temporary file is emptied and kept open for the next query.
  void discard();

  /// The query's file name: the directory, "/", the query number.
  const std::string& path() const { return finalPath; }

 private:
  void scanDirectory();
  bool createTemporary();
  void closeTemporary();

  std::string directory;
  std::string finalPath;
  std::string temporaryPath;
  int fd = -1;
  int slot = -1;  // where the temporary file is registered for removal on an error or a signal
  bool scanned = false;
  std::set<int> staleListings;  // numbered files found in the directory, not yet replaced
  StatsWriter writer;
};

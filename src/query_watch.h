// A background thread for long runs, started only when a run asks for a time limit per query or a
// progress line: it stops a query's search when its time limit passes, and redraws one status line on
// standard error about four times a second (the share of the data file read while loading; then the
// query, its count so far, the rate, the time spent and the share of the query file read).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "search_control.h"

class QueryWatch {
 public:
  /// Starts the thread; `timeout` in seconds (0: none), `progress`: draw the status line.
  QueryWatch(double timeout, bool progress);
  ~QueryWatch();
  QueryWatch(const QueryWatch&) = delete;
  QueryWatch& operator=(const QueryWatch&) = delete;

  /// While the data graph loads: `bytesRead` of `totalBytes` (0 when unknown).
  void loading(const std::atomic<uint64_t>* bytesRead, uint64_t totalBytes);

  /// Query `number` starts, publishing to `control`; `queryFileShare` is the part of the query file
  /// read so far, from 0 to 1 (negative when unknown). Arms the time limit.
  void startQuery(int number, SearchControl* control, double queryFileShare);

  /// The query ended: the time limit is disarmed and the status line cleared, so that the report
  /// line that follows on a shared terminal starts on a clean line.
  void endQuery();

 private:
  using Clock = std::chrono::steady_clock;

  void watch();
  void draw(Clock::time_point now);
  void clearLine();

  const double timeout;
  const bool progress;
  std::mutex mutex;
  std::condition_variable changed;
  bool finished = false;
  // The phase being watched: loading (bytes != null), a query (control != null), or nothing.
  const std::atomic<uint64_t>* bytes = nullptr;
  uint64_t totalBytes = 0;
  SearchControl* control = nullptr;
  int number = -1;
  double fileShare = -1;
  Clock::time_point started, deadline;
  bool armed = false;
  bool lineShown = false;
  std::thread thread;
};

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
#include <vector>

#include "search_control.h"

class QueryWatch {
 public:
  /// Starts the thread for `slots` queries matched at once; `timeout` in seconds (0: none),
  /// `progress`: draw the status line.
  QueryWatch(double timeout, bool progress, int slots = 1);
  ~QueryWatch();
  QueryWatch(const QueryWatch&) = delete;
  QueryWatch& operator=(const QueryWatch&) = delete;

  /// While the data graph loads: `bytesRead` of `totalBytes` (0 when unknown).
  void loading(const std::atomic<uint64_t>* bytesRead, uint64_t totalBytes);

  /// Query `number` starts in `slot`, publishing to `control`; `queryFileShare` is the part of the
  /// query file read so far, from 0 to 1 (negative when unknown). Arms its time limit.
  void startQuery(int slot, int number, SearchControl* control, double queryFileShare);

  /// The query of `slot` ended: its time limit is disarmed.
  void endQuery(int slot);

  /// Clears the status line, so that a report line written next on a shared terminal starts on a
  /// clean line.
  void clearLine();

 private:
  using Clock = std::chrono::steady_clock;

  struct Running {
    SearchControl* control = nullptr;  // null when the slot is idle
    int number = -1;
    Clock::time_point started, deadline;
  };

  void watch();
  void draw(Clock::time_point now);
  void clearLocked();

  const double timeout;
  const bool progress;
  std::mutex mutex;
  std::condition_variable changed;
  bool finished = false;
  // The phase being watched: loading (bytes != null), then the queries running in the slots.
  const std::atomic<uint64_t>* bytes = nullptr;
  uint64_t totalBytes = 0;
  Clock::time_point loadStarted;
  std::vector<Running> slots;
  double fileShare = -1;
  bool lineShown = false;
  std::thread thread;
};

// What a running search shares with the rest of the run: a flag that asks it to stop (a per-query time
// limit, an interrupted run) and the count it has reached, which a search publishes as it goes so that
// a progress line or an interrupted run can show it.
#pragma once

#include <atomic>
#include <cstdint>

struct SearchControl {
  bool stoppable = false;             // a time limit may set `stop`: a listing may still be deleted
  std::atomic<bool> stop{false};      // set by another thread: the search ends as soon as it sees it
  std::atomic<uint64_t> found{0};     // embeddings counted so far by the current search

  /// Readies the control for the next search.
  void reset() {
    stop.store(false, std::memory_order_relaxed);
    found.store(0, std::memory_order_relaxed);
  }
  bool stopRequested() const { return stop.load(std::memory_order_relaxed); }
  void publish(uint64_t count) { found.store(count, std::memory_order_relaxed); }
};

/// How often, in steps of its loop, a search looks at the stop flag: often enough to stop within a
/// millisecond or two, rarely enough to cost nothing measurable.
constexpr uint32_t stopCheckInterval = 1024;

// One count shared by threads. The roots of a built plan (its first level's candidates) are dealt
// out in chunks from one cursor, largest chunks first (a share of what is left, so that a thread
// joining late still finds work and the last chunks even out the ends); each thread counts its
// chunks with a counter of its own and adds what it found. Counts of disjoint roots add up to the
// query's count, in any order, so the sum is the one-thread count exactly: a sum past the limit is
// reported as passing it, whichever chunk passed it. The plan is only read while shared.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>

#include "embedding_counter.h"

class DataIndex;
class SplitBoard;

/// Chunks of shared counts counted by threads other than the count's owner, in this process so far.
uint64_t chunksCountedByHelpers();

class SharedCount {
 public:
  /// A count of `plan` over `index` under `limit`, stopped by `hook` too, offered to the idle
  /// threads of `board`; `memoize` as the owner's counter memoizes.
  SharedCount(SplitBoard& board, const DataIndex& index, const CountPlan& plan, unsigned __int128 limit,
              const StopHook& hook, bool memoize);
  /// Withdraws the offer and waits for the threads that joined to leave.
  ~SharedCount();
  SharedCount(const SharedCount&) = delete;
  SharedCount& operator=(const SharedCount&) = delete;

  const DataIndex& dataIndex() const { return index; }
  const CountPlan& countPlan() const { return plan; }
  bool memoize() const { return memoizeRanges; }
  /// The stop of every chunk: the owner's hook, and the stop of the shared count.
  const StopHook& chunkHook() const { return hook; }

  /// Takes the next chunk of roots, [first, last), and the limit it counts under (what the sum may
  /// still grow by); false when every root is taken or the count stopped. `helper`: the thread
  /// taking it is not the count's owner.
  bool take(size_t* first, size_t* last, unsigned __int128* chunkLimit, bool helper);
  /// Adds what a chunk found: its total, and whether it passed its limit, was stopped by the hook,
  /// or could not be counted exactly.
  void add(unsigned __int128 found, bool exceeded, bool hookStopped, bool inexact);

  /// Whether roots are left to take.
  bool open() const { return !closed.load(std::memory_order_relaxed); }
  /// A thread of the board starts helping (under the board's lock, while the count is offered).
  void join();
  /// A helping thread is done.
  void leave();

  /// The sum and how the count ended, once every chunk is added (after `waitForHelpers`).
  unsigned __int128 total() const { return sum; }
  bool exceeded() const { return passed; }
  bool hookStopped() const { return stoppedByHook; }
  bool inexact() const { return notExact; }

  /// Withdraws the offer and waits until no thread counts a chunk of it.
  void waitForHelpers();
  /// A helping thread failed: the count stops, and its owner rethrows the first failure.
  void fail(std::exception_ptr failure);
  /// Rethrows the first failure of a helping thread, if any (after `waitForHelpers`).
  void rethrowFailure();

 private:
  void close();

  SplitBoard& board;
  const DataIndex& index;
  const CountPlan& plan;
  const unsigned __int128 limit;
  const bool memoizeRanges;
  const size_t roots;
  const size_t threads;
  StopHook hook;
  std::atomic<bool> stop{false};
  std::atomic<bool> closed{false};
  bool withdrawn = false;

  std::mutex mutex;
  std::condition_variable helpersLeft;
  size_t next = 0;  // the first root not taken
  int helpers = 0;  // threads of the board counting chunks
  unsigned __int128 sum = 0;
  bool passed = false;
  bool stoppedByHook = false;
  bool notExact = false;
  std::exception_ptr firstFailure;
};

// Work of one counter shared by threads: a count, or the probes that size a plan before it.
//
// A count: the roots of a built plan (its first level's candidates) are dealt
// out in chunks from one cursor, largest chunks first (a share of what is left, so that a thread
// joining late still finds work and the last chunks even out the ends); each thread counts its
// chunks with a counter of its own and adds what it found. Counts of disjoint roots add up to the
// query's count, in any order, so the sum is the one-thread count exactly: a sum past the limit is
// reported as passing it, whichever chunk passed it. The plan is only read while shared.
//
// Probes: every thread probes the same plan (random paths down its search tree, timed) and adds
// its estimates to one sum, taking the first-level samples from one sequence, so that the threads
// together draw the samples one thread would, in a fraction of its time.
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

/// Work that the idle threads of a board may join while its owner does it too.
class SharedWork {
 public:
  virtual ~SharedWork() = default;
  /// Whether a thread joining now would find work.
  bool open() const { return !closed.load(std::memory_order_relaxed); }
  /// A thread of the board starts helping (under the board's lock, while the work is offered).
  void join();
  /// Does the work with a helping thread's counter until none is left.
  virtual void help(EmbeddingCounter& counter) = 0;
  /// A helping thread is done.
  void leave();
  /// The threads helping now.
  int helping();
  /// A helping thread failed: the work stops, and its owner rethrows the first failure.
  void fail(std::exception_ptr failure);
  /// Rethrows the first failure of a helping thread, if any (after `waitForHelpers`).
  void rethrowFailure();
  /// Withdraws the offer and waits until no thread helps.
  void waitForHelpers();

 protected:
  explicit SharedWork(SplitBoard& splitBoard) : board(splitBoard) {}
  /// Offers the work to the board's idle threads.
  void offer();
  /// No thread joining would find work any more: the board stops offering it (once).
  void close();

  SplitBoard& board;
  std::atomic<bool> stop{false};
  std::mutex mutex;

 private:
  std::atomic<bool> closed{false};
  bool withdrawn = false;
  std::condition_variable helpersLeft;
  int helpers = 0;  // threads of the board helping
  std::exception_ptr firstFailure;
};

class SharedCount : public SharedWork {
 public:
  /// A count of `plan` over `index` under `limit`, stopped by `hook` too, offered to the idle
  /// threads of `board`; `memoize` as the owner's counter memoizes.
  SharedCount(SplitBoard& board, const DataIndex& index, const CountPlan& plan, unsigned __int128 limit,
              const StopHook& hook, bool memoize);
  /// Withdraws the offer and waits for the threads that joined to leave.
  ~SharedCount() override;
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

  void help(EmbeddingCounter& counter) override;

  /// The sum and how the count ended, once every chunk is added (after `waitForHelpers`).
  unsigned __int128 total() const { return sum; }
  bool exceeded() const { return passed; }
  bool hookStopped() const { return stoppedByHook; }
  bool inexact() const { return notExact; }


 private:
  const DataIndex& index;
  const CountPlan& plan;
  const unsigned __int128 limit;
  const bool memoizeRanges;
  const size_t roots;
  const size_t threads;
  StopHook hook;

  size_t next = 0;  // the first root not taken
  unsigned __int128 sum = 0;
  bool passed = false;
  bool stoppedByHook = false;
  bool notExact = false;
};

class SharedProbes : public SharedWork {
 public:
  /// Probes of `plan` over `index` offered to the idle threads of `board`; the first-level samples
  /// are start + i * stride (modulo the roots) for i = 0, 1, ...
  SharedProbes(SplitBoard& board, const DataIndex& index, const CountPlan& plan, size_t start, size_t stride);
  /// Stops the probes, withdraws the offer and waits for the threads that joined to leave.
  ~SharedProbes() override;
  SharedProbes(const SharedProbes&) = delete;
  SharedProbes& operator=(const SharedProbes&) = delete;

  const DataIndex& dataIndex() const { return index; }
  const CountPlan& countPlan() const { return plan; }
  size_t sampleStart() const { return start; }
  size_t sampleStride() const { return stride; }

  /// The number i of the next first-level sample.
  size_t nextSample() { return samples.fetch_add(1, std::memory_order_relaxed); }
  /// Adds the estimate of one probe.
  void add(double seconds);
  /// The estimates added so far: their sum and number.
  void totals(double* sum, int* count);
  /// Whether the owner has ended the probing.
  bool ended() const { return stop.load(std::memory_order_relaxed); }
  /// Ends the probing: helping threads stop after their current probe.
  void end();

  void help(EmbeddingCounter& counter) override;

 private:
  const DataIndex& index;
  const CountPlan& plan;
  const size_t start, stride;
  std::atomic<size_t> samples{0};
  double sum = 0;
  int count = 0;
};

// Lock order: the board's mutex, then a count's.
#include "shared_count.h"

#include <algorithm>

#include "parallel_search.h"

namespace {

// A chunk is this share of the roots left per thread: big enough that few chunks are taken, small
// enough that the last ones, taken while other threads finish theirs, are short.
constexpr size_t chunksPerThread = 64;

std::atomic<uint64_t> helperChunks{0};

}  // namespace

uint64_t chunksCountedByHelpers() { return helperChunks.load(std::memory_order_relaxed); }

SharedCount::SharedCount(SplitBoard& splitBoard, const DataIndex& dataIndex, const CountPlan& countPlan,
                         unsigned __int128 countLimit, const StopHook& stopHook, bool memoize)
    : board(splitBoard),
      index(dataIndex),
      plan(countPlan),
      limit(countLimit),
      memoizeRanges(memoize),
      roots(countPlan.roots()),
      threads(static_cast<size_t>(splitBoard.threadCount())),
      hook(stopHook) {
  hook.sharedFlag = &stop;
  board.offer(this);
}

SharedCount::~SharedCount() { waitForHelpers(); }

bool SharedCount::take(size_t* first, size_t* last, unsigned __int128* chunkLimit, bool helper) {
  std::lock_guard<std::mutex> lock(mutex);
  if (next >= roots || stop.load(std::memory_order_relaxed)) {
    close();
    return false;
  }
  const size_t left = roots - next;
  const size_t size = std::max<size_t>(1, left / (chunksPerThread * threads));
  *first = next;
  *last = next = next + size;
  *chunkLimit = limit - sum;
  if (helper) helperChunks.fetch_add(1, std::memory_order_relaxed);
  if (next >= roots) close();
  return true;
}

void SharedCount::add(unsigned __int128 found, bool chunkExceeded, bool chunkHookStopped, bool chunkInexact) {
  std::lock_guard<std::mutex> lock(mutex);
  if (chunkInexact) notExact = true;
  if (chunkHookStopped && !chunkExceeded) stoppedByHook = true;
  if (__builtin_add_overflow(sum, found, &sum)) sum = ~static_cast<unsigned __int128>(0), passed = true;
  if (chunkExceeded || sum > limit) passed = true;
  if (passed || notExact || stoppedByHook) {
    stop.store(true, std::memory_order_relaxed);
    close();
  }
}

void SharedCount::join() {
  std::lock_guard<std::mutex> lock(mutex);
  ++helpers;
}

void SharedCount::leave() {
  std::lock_guard<std::mutex> lock(mutex);
  if (--helpers == 0) helpersLeft.notify_all();
}

void SharedCount::waitForHelpers() {
  if (!withdrawn) {
    board.withdraw(this);
    withdrawn = true;
  }
  std::unique_lock<std::mutex> lock(mutex);
  close();
  helpersLeft.wait(lock, [this] { return helpers == 0; });
}

void SharedCount::fail(std::exception_ptr failure) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!firstFailure) firstFailure = failure;
  stop.store(true, std::memory_order_relaxed);
  close();
}

void SharedCount::rethrowFailure() {
  std::lock_guard<std::mutex> lock(mutex);
  if (firstFailure) std::rethrow_exception(firstFailure);
}

// No root is left to take: the board stops offering the count (once).
void SharedCount::close() {
  if (!closed.exchange(true, std::memory_order_relaxed)) board.countClosed();
}

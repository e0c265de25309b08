// One query's search shared by several threads. A search that has run for a while and sees an idle
// thread gives away the upper half of the untried candidates of its shallowest unfinished level, as a
// task that starts below the images of the levels above; any search, a task's too, may give work
// away again, so a skewed tree keeps splitting where its work is. Tasks form a list in the order of
// the one-thread search (a task's gift goes right after it), and each lists its embeddings through a
// writer of its own: the earliest unfinished task writes straight into the statistics file, later
// ones keep their text in memory up to a budget and beyond it in an unnamed temporary file in the
// statistics directory, and a task's text joins the file once every task before it is done. So the
// file holds the lines of the one-thread search in its order. Counts go to one shared total, and a
// total past the limit stops every task: the query then reports limit + 1, as on one thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "embedding_search.h"
#include "search_control.h"
#include "stats_writer.h"

class DataIndex;
class EmbeddingCounter;
class ParallelSearch;
class SharedCount;

/// When searches give work away. The defaults split only searches that have run for some
/// milliseconds, and only for threads that have nothing else to do.
struct SplitTuning {
  uint32_t checkInterval = stopCheckInterval;  // loop steps between two looks at the board
  uint64_t stepsBeforeSplit = uint64_t{1} << 17;  // loop steps a task runs before it gives work away
  bool eager = false;  // give work away whenever fewer tasks wait than twice the threads, idle or not
  size_t pendingPerThread = size_t{4} << 20;  // text bytes per thread that tasks keep in memory
};

/// Sets the tuning of the boards made from now on (tests force splitting on small searches with it).
void setSplitTuning(const SplitTuning& tuning);

/// The tuning boards are made with.
SplitTuning splitTuning();

/// Tasks given away by searches of this process so far.
uint64_t tasksGivenAway();

/// A part of a split search: the images of the levels above `depth` and the candidates of that level
/// it tries. Its text reaches the file through it.
struct SearchTask : TextSink {
  enum class State { queued, running, done };

  ParallelSearch* split = nullptr;
  std::list<SearchTask>::iterator self;  // its place in the split's list
  std::vector<int> prefix;               // images of the query vertices before `depth`
  int depth = 0;
  std::vector<int> list;                 // candidates of vertex `depth`, in search order
  bool untested = false;                 // they still need the label class filter
  State state = State::queued;
  bool streaming = false;  // every task before it is written: its text goes straight to the file
  std::string pending;     // text kept while tasks before it are unfinished, after `spilled`
  std::vector<std::pair<off_t, size_t>> spilled;  // older text, in the temporary file

  void write(const char* text, size_t size) override;
};

/// The threads of a run that may take parts of long searches: how many wait with nothing to do, and
/// the split searches with tasks to give.
class SplitBoard {
 public:
  /// A board for `threads` threads; `wake` wakes the idle ones when a task is queued.
  SplitBoard(int threads, std::function<void()> wake);

  /// Whether a search should give work away now: some thread waits and no task is queued for it.
  bool wantsWork() const {
    const int queuedNow = queued.load(std::memory_order_relaxed);
    return tuning.eager ? queuedNow < 2 * threads : idle.load(std::memory_order_relaxed) > queuedNow;
  }
  /// Whether some split search has a task no thread has taken, or a shared count roots to count.
  bool hasQueued() const {
    return queued.load(std::memory_order_relaxed) > 0 || openCounts.load(std::memory_order_relaxed) > 0;
  }
  /// Counts the calling thread as waiting for work (true) or busy again (false).
  void setIdle(bool waiting) { idle.fetch_add(waiting ? 1 : -1, std::memory_order_relaxed); }

  /// Runs one queued task of some split search with `search`, or counts chunks of a shared count
  /// with `counter` until none is left; false when there was nothing to do.
  bool helpOnce(EmbeddingSearch& search, EmbeddingCounter& counter);

  /// Offers a count to the threads with nothing to do; it is withdrawn before it goes.
  void offer(SharedCount* count);
  void withdraw(SharedCount* count);
  /// An offered count has no roots left to take.
  void countClosed() { openCounts.fetch_sub(1, std::memory_order_relaxed); }

  const SplitTuning& settings() const { return tuning; }
  int threadCount() const { return threads; }

 private:
  friend class ParallelSearch;
  void add(ParallelSearch* split);
  void remove(ParallelSearch* split);
  void taskQueued();
  void taskTaken() { queued.fetch_sub(1, std::memory_order_relaxed); }

  const int threads;
  const std::function<void()> wake;
  const SplitTuning tuning;
  std::atomic<int> idle{0};
  std::atomic<int> queued{0};
  std::atomic<uint64_t> nextId{1};
  std::atomic<size_t> pendingBytes{0};  // text kept in memory by the tasks of all splits
  std::mutex mutex;
  std::vector<ParallelSearch*> active;  // split searches, oldest first
  std::atomic<int> openCounts{0};       // offered counts with roots left
  std::vector<SharedCount*> counts;     // offered counts, oldest first
};

/// The shared state of one split query, made by the search that first gives work away (its owner),
/// which runs the first task and waits for the others before it returns.
class ParallelSearch {
 public:
  /// What every task searches: the owner's query, limit, control and filtering, and its listing's file.
  struct QueryRef {
    const DataIndex* index = nullptr;
    const std::vector<int>* labels = nullptr;
    const std::vector<std::vector<int>>* neighbors = nullptr;
    const std::vector<std::vector<int>>* symClasses = nullptr;
    uint64_t limit = 0;
    SearchControl* control = nullptr;
    bool lazy = false;  // candidates tested when the search meets them, as the owner does
  };

  /// Registers the split with the board; the owner's writer sends its text through the first task
  /// from now on.
  ParallelSearch(SplitBoard& board, const QueryRef& query, StatsWriter& ownerWriter);
  ~ParallelSearch();
  ParallelSearch(const ParallelSearch&) = delete;
  ParallelSearch& operator=(const ParallelSearch&) = delete;

  /// The task the owner runs.
  SearchTask* ownerTask() { return &tasks.front(); }
  /// A number no other split of the process has.
  uint64_t id() const { return number; }
  const QueryRef& query() const { return ref; }
  SplitBoard& splitBoard() { return board; }

  /// Queues the candidates `list[0, count)` of level `depth` below the images `prefix[0, depth)`,
  /// which come in search order right after what `from` keeps.
  void donate(SearchTask* from, const int* prefix, int depth, const int* list, size_t count, bool untested);

  /// Adds embeddings found to the shared total; a total past the limit stops every task.
  void addCount(uint64_t found);
  /// The embeddings counted so far by all tasks.
  uint64_t total() const { return counted.load(std::memory_order_relaxed); }
  /// Whether the tasks should stop: the limit was passed, a task failed, or the control asks it.
  bool stopRequested() const {
    return stop.load(std::memory_order_relaxed) || (ref.control != nullptr && ref.control->stopRequested());
  }

  /// Ends the owner's task with its result (or its failure), runs the queued tasks left, waits for
  /// the others, and returns the result of the whole search (that of the search on one thread, times
  /// aside). Rethrows the first failure of a task.
  EmbeddingSearch::Result finishOwner(EmbeddingSearch& search, const EmbeddingSearch::Result& own,
                                      uint64_t ownUncounted, std::exception_ptr ownFailure = nullptr);

  /// Takes the earliest queued task; null when none is queued.
  SearchTask* take();
  /// Runs a taken task with `search` and ends it.
  void run(EmbeddingSearch& search, SearchTask& task);

  /// Appends text of `task` to the file, or keeps it until the tasks before it are written.
  void write(SearchTask& task, const char* text, size_t size);

 private:
  void finish(SearchTask& task, const EmbeddingSearch::Result& result, bool failed);
  void fail(std::exception_ptr failure);
  void writeOut(SearchTask& task);
  void spill(SearchTask& task, const char* text, size_t size);
  size_t copySpilled(off_t offset, size_t size);

  SplitBoard& board;
  const QueryRef ref;
  StatsWriter& ownerWriter;
  const uint64_t number;
  const int fd;
  const std::string path;
  const size_t pendingBudget;  // bytes of text the tasks of all splits may keep in memory

  std::atomic<uint64_t> counted{0};
  std::atomic<bool> stop{false};

  std::mutex mutex;
  std::condition_variable changed;
  std::list<SearchTask> tasks;            // not yet written whole, in search order
  size_t unfinished = 1;                  // tasks not done
  bool limitPassed = false;
  bool stoppedByControl = false;
  std::exception_ptr failure;
  int spillFd = -1;
  off_t spillEnd = 0;
  bool copyWithinKernel = true;  // copy_file_range works between the temporary file and the file
};

// Tasks of split searches, their ordered text and their shared count. Lock order: the board's mutex,
// then a split's. A split's mutex is held while text is moved into the file, so that the task that
// becomes the earliest finds its kept text already written when it next writes.
#include "parallel_search.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>

#include "fatal_error.h"
#include "shared_count.h"

namespace {

std::mutex tuningMutex;
std::atomic<uint64_t> givenAway{0};
SplitTuning currentTuning;

}  // namespace

void setSplitTuning(const SplitTuning& tuning) {
  std::lock_guard<std::mutex> lock(tuningMutex);
  currentTuning = tuning;
  if (currentTuning.checkInterval == 0) currentTuning.checkInterval = 1;
}

SplitTuning splitTuning() {
  std::lock_guard<std::mutex> lock(tuningMutex);
  return currentTuning;
}

uint64_t tasksGivenAway() { return givenAway.load(std::memory_order_relaxed); }

void SearchTask::write(const char* text, size_t size) { split->write(*this, text, size); }

// ---------------------------------------------------------------------------------------------
// The board

SplitBoard::SplitBoard(int threadCount, std::function<void()> wakeIdle)
    : threads(std::max(threadCount, 1)), wake(std::move(wakeIdle)), tuning(splitTuning()) {}

bool SplitBoard::helpOnce(EmbeddingSearch& search, EmbeddingCounter& counter) {
  ParallelSearch* split = nullptr;
  SearchTask* task = nullptr;
  SharedCount* count = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (ParallelSearch* candidate : active) {
      task = candidate->take();
      if (task != nullptr) {
        split = candidate;
        break;
      }
    }
    if (task == nullptr) {
      for (SharedCount* candidate : counts) {
        if (!candidate->open()) continue;
        // Joined under the board's lock: its owner withdraws it under the same lock before it
        // waits for the threads that joined.
        candidate->join();
        count = candidate;
        break;
      }
    }
  }
  if (task != nullptr) {
    // The split outlives its running tasks: its owner waits for them before it leaves the board.
    split->run(search, *task);
    return true;
  }
  if (count == nullptr) return false;
  counter.helpCount(*count);
  count->leave();
  return true;
}

void SplitBoard::offer(SharedCount* count) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    counts.push_back(count);
    openCounts.fetch_add(1, std::memory_order_relaxed);
  }
  if (wake && idle.load(std::memory_order_relaxed) > 0) wake();
}

void SplitBoard::withdraw(SharedCount* count) {
  std::lock_guard<std::mutex> lock(mutex);
  counts.erase(std::find(counts.begin(), counts.end(), count));
}

void SplitBoard::add(ParallelSearch* split) {
  std::lock_guard<std::mutex> lock(mutex);
  active.push_back(split);
}

void SplitBoard::remove(ParallelSearch* split) {
  std::lock_guard<std::mutex> lock(mutex);
  active.erase(std::find(active.begin(), active.end(), split));
}

void SplitBoard::taskQueued() {
  queued.fetch_add(1, std::memory_order_relaxed);
  if (wake) wake();
}

// ---------------------------------------------------------------------------------------------
// A split search

ParallelSearch::ParallelSearch(SplitBoard& splitBoard, const QueryRef& query, StatsWriter& writer)
    : board(splitBoard),
      ref(query),
      ownerWriter(writer),
      number(splitBoard.nextId.fetch_add(1, std::memory_order_relaxed)),
      fd(writer.descriptor()),
      path(writer.displayPath()),
      pendingBudget(splitBoard.tuning.pendingPerThread * static_cast<size_t>(splitBoard.threads)) {
  SearchTask& root = tasks.emplace_back();
  root.split = this;
  root.self = tasks.begin();
  root.state = SearchTask::State::running;
  root.streaming = true;
  // The owner's listing comes first in the file: it goes on writing there itself, and may go on
  // holding its embeddings while the limit can still delete the listing.
  ownerWriter.markWritten();
  board.add(this);
}

ParallelSearch::~ParallelSearch() {
  // Text of tasks that a failure left unwritten.
  for (const SearchTask& task : tasks) board.pendingBytes.fetch_sub(task.pending.size(), std::memory_order_relaxed);
  if (spillFd >= 0) close(spillFd);
}

void ParallelSearch::donate(SearchTask* from, const int* prefix, int depth, const int* list, size_t count,
                            bool untested) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto place = tasks.emplace(std::next(from->self));
    SearchTask& task = *place;
    task.split = this;
    task.self = place;
    task.prefix.assign(prefix, prefix + depth);
    task.depth = depth;
    task.list.assign(list, list + count);
    task.untested = untested;
    ++unfinished;
  }
  givenAway.fetch_add(1, std::memory_order_relaxed);
  board.taskQueued();
}

SearchTask* ParallelSearch::take() {
  std::lock_guard<std::mutex> lock(mutex);
  for (SearchTask& task : tasks) {
    if (task.state == SearchTask::State::queued) {
      task.state = SearchTask::State::running;
      board.taskTaken();
      return &task;
    }
  }
  return nullptr;
}

void ParallelSearch::addCount(uint64_t found) {
  if (found == 0) return;
  const uint64_t now = counted.fetch_add(found, std::memory_order_relaxed) + found;
  if (now > ref.limit) stop.store(true, std::memory_order_relaxed);
}

void ParallelSearch::run(EmbeddingSearch& search, SearchTask& task) {
  EmbeddingSearch::Result result{0, false};
  bool failed = false;
  // A helper's own control belongs to its last query; a task stops by the split's, which follows the
  // owner's.
  SearchControl* const ownControl = search.control;
  search.control = nullptr;
  try {
    search.prepareTask(*this);
    StatsWriter& writer = search.taskListing();
    // While the limit or a time limit may still delete the listing, embeddings are held, as on one
    // thread, and formatted only when the task ends with the search still going.
    const bool mayBeDeleted = ref.limit != UINT64_MAX || (ref.control != nullptr && ref.control->stoppable);
    writer.begin(fd, path, static_cast<int>(ref.labels->size()),
                 mayBeDeleted ? StatsWriter::Mode::held : StatsWriter::Mode::buffered);
    writer.setSink(&task);
    result = search.runTask(task, ref.limit, writer);
    addCount(result.frequency - search.countedShared);
    if (result.completed && !stopRequested()) {
      writer.flush();
    } else {
      writer.discard();
    }
    writer.setSink(nullptr);
  } catch (...) {
    fail(std::current_exception());
    failed = true;
  }
  search.endTask();
  search.control = ownControl;
  finish(task, result, failed);
}

EmbeddingSearch::Result ParallelSearch::finishOwner(EmbeddingSearch& search, const EmbeddingSearch::Result& own,
                                                    uint64_t ownUncounted, std::exception_ptr ownFailure) {
  bool failed = ownFailure != nullptr;
  if (failed) {
    fail(ownFailure);
  } else {
    try {
      addCount(ownUncounted);
      // A search stopped by the limit or the control keeps no listing: what is held is not written.
      if (own.completed && !stopRequested()) ownerWriter.flush();
    } catch (...) {
      fail(std::current_exception());
      failed = true;
    }
  }
  finish(*ownerTask(), own, failed);
  while (SearchTask* task = take()) run(search, *task);
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [&] { return unfinished == 0; });
  lock.unlock();
  board.remove(this);
  // The control shows the count of the whole search, not only the owner's share.
  if (ref.control != nullptr) ref.control->publish(total());
  if (failure) std::rethrow_exception(failure);
  if (limitPassed || total() > ref.limit) return {ref.limit + 1, false};
  if (stoppedByControl || (ref.control != nullptr && ref.control->stopRequested())) return {total(), false, true};
  return {total(), true};
}

void ParallelSearch::fail(std::exception_ptr error) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!failure) failure = error;
  stop.store(true, std::memory_order_relaxed);
}

// Marks the task done and writes out every task at the front whose turn has come: the done ones whole,
// the first unfinished one up to now, after which it writes straight to the file.
void ParallelSearch::finish(SearchTask& task, const EmbeddingSearch::Result& result, bool failed) {
  std::lock_guard<std::mutex> lock(mutex);
  task.state = SearchTask::State::done;
  --unfinished;
  if (!failed) {
    if (!result.completed && !result.stopped) limitPassed = true;
    if (result.stopped && !stop.load(std::memory_order_relaxed)) stoppedByControl = true;
  }
  try {
    while (!tasks.empty() && !failure) {
      SearchTask& front = tasks.front();
      if (!front.streaming) {
        writeOut(front);
        front.streaming = true;
      }
      if (front.state != SearchTask::State::done) break;
      tasks.pop_front();
    }
  } catch (...) {
    if (!failure) failure = std::current_exception();
    stop.store(true, std::memory_order_relaxed);
  }
  changed.notify_all();
}

// Writes what the task kept, oldest first; called with the mutex held.
void ParallelSearch::writeOut(SearchTask& task) {
  if (!task.spilled.empty()) {
    std::vector<char> buffer;
    for (const auto& [offset, size] : task.spilled) {
      // Copied within the kernel where the file systems allow it; what is left goes through memory.
      size_t done = copyWithinKernel ? copySpilled(offset, size) : 0;
      if (done < size && buffer.empty()) buffer.resize(size_t{1} << 20);
      while (done < size) {
        const size_t piece = std::min(buffer.size(), size - done);
        const ssize_t got = pread(spillFd, buffer.data(), piece, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) fatalError("Stats cannot write " + path + ": " + errorText(got < 0 ? errno : EIO));
        writeStatsText(fd, path, buffer.data(), static_cast<size_t>(got));
        done += static_cast<size_t>(got);
      }
    }
    task.spilled.clear();
  }
  writeStatsText(fd, path, task.pending.data(), task.pending.size());
  board.pendingBytes.fetch_sub(task.pending.size(), std::memory_order_relaxed);
  std::string().swap(task.pending);
}

// Copies spilled text [offset, offset + size) to the end of the file with copy_file_range; returns
// how much it copied, which falls short only where the kernel cannot copy between these files.
size_t ParallelSearch::copySpilled(off_t offset, size_t size) {
  size_t done = 0;
  loff_t from = offset;
  while (done < size) {
    const ssize_t copied = copy_file_range(spillFd, &from, fd, nullptr, size - done, 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0 && (errno == ENOSPC || errno == EFBIG || errno == EIO || errno == EDQUOT)) {
      fatalError("Stats cannot write " + path + ": " + errorText(errno));
    }
    if (copied <= 0) {
      // Not supported between these files (other file systems, an old kernel): read and write.
      copyWithinKernel = false;
      break;
    }
    done += static_cast<size_t>(copied);
  }
  return done;
}

void ParallelSearch::write(SearchTask& task, const char* text, size_t size) {
  std::unique_lock<std::mutex> lock(mutex);
  if (task.streaming) {
    // Every task before it is written and no later one writes to the file: no lock is needed.
    lock.unlock();
    writeStatsText(fd, path, text, size);
    return;
  }
  if (board.pendingBytes.fetch_add(size, std::memory_order_relaxed) + size <= pendingBudget) {
    task.pending.append(text, size);
    return;
  }
  board.pendingBytes.fetch_sub(size, std::memory_order_relaxed);
  spill(task, text, size);
}

// Moves the task's kept text and `text` to the temporary file; called with the mutex held.
void ParallelSearch::spill(SearchTask& task, const char* text, size_t size) {
  if (spillFd < 0) {
    const std::string directory = path.substr(0, path.rfind('/') + 1);
    spillFd = open((directory.empty() ? std::string(".") : directory).c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (spillFd < 0) {
      // File systems without unnamed files: a named one, removed at once.
      std::string name = directory + ".sgmatch-split-XXXXXX";
      spillFd = mkstemp(name.data());
      if (spillFd < 0) fatalError("Stats cannot write " + path + ": " + errorText(errno));
      unlink(name.c_str());
    }
  }
  const off_t start = spillEnd;
  for (const auto& [data, length] : {std::pair<const char*, size_t>(task.pending.data(), task.pending.size()),
                                     std::pair<const char*, size_t>(text, size)}) {
    for (size_t done = 0; done < length;) {
      const ssize_t written = pwrite(spillFd, data + done, length - done, spillEnd);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) fatalError("Stats cannot write " + path + ": " + errorText(written < 0 ? errno : EIO));
      done += static_cast<size_t>(written);
      spillEnd += written;
    }
  }
  task.spilled.emplace_back(start, static_cast<size_t>(spillEnd - start));
  board.pendingBytes.fetch_sub(task.pending.size(), std::memory_order_relaxed);
  std::string().swap(task.pending);
}

// The watch thread sleeps until the next redraw of the status line or the query's deadline, whichever
// comes first, so that a time limit is met within the scheduler's latency and the search's own check
// interval. The status line is drawn with a carriage return and an erase to the end of the line.
#include "query_watch.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr auto redrawInterval = std::chrono::milliseconds(250);

// A count with a metric suffix: 1234567 -> "1.23M".
std::string shortCount(double value) {
  const char* suffixes[] = {"", "k", "M", "G", "T", "P", "E"};
  int i = 0;
  while (value >= 1000 && i < 6) {
    value /= 1000;
    ++i;
  }
  char text[32];
  std::snprintf(text, sizeof text, i == 0 ? "%.0f%s" : "%.3g%s", value, suffixes[i]);
  return text;
}

void writeToStandardError(const std::string& text) {
  if (write(STDERR_FILENO, text.data(), text.size()) < 0) return;  // a lost status line is no error
}

}  // namespace

QueryWatch::QueryWatch(double timeoutSeconds, bool drawProgress, int slotCount)
    : timeout(timeoutSeconds), progress(drawProgress), slots(static_cast<size_t>(slotCount)) {
  thread = std::thread([this] { watch(); });
}

QueryWatch::~QueryWatch() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    clearLocked();
  }
  changed.notify_all();
  thread.join();
}

void QueryWatch::loading(const std::atomic<uint64_t>* bytesRead, uint64_t total) {
  std::lock_guard<std::mutex> lock(mutex);
  bytes = bytesRead;
  totalBytes = total;
  loadStarted = Clock::now();
}

void QueryWatch::startQuery(int slot, int queryNumber, SearchControl* searchControl, double queryFileShare) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    bytes = nullptr;
    Running& running = slots[static_cast<size_t>(slot)];
    running.control = searchControl;
    running.number = queryNumber;
    running.started = Clock::now();
    running.deadline = timeout > 0 ? running.started + std::chrono::duration_cast<Clock::duration>(
                                                           std::chrono::duration<double>(timeout))
                                   : Clock::time_point::max();
    if (queryFileShare >= 0) fileShare = queryFileShare;
  }
  changed.notify_all();
}

void QueryWatch::endQuery(int slot) {
  std::lock_guard<std::mutex> lock(mutex);
  slots[static_cast<size_t>(slot)].control = nullptr;
}

void QueryWatch::clearLine() {
  std::lock_guard<std::mutex> lock(mutex);
  clearLocked();
}

void QueryWatch::watch() {
  std::unique_lock<std::mutex> lock(mutex);
  Clock::time_point nextDraw = Clock::now() + redrawInterval;
  while (!finished) {
    Clock::time_point wake = progress ? nextDraw : Clock::time_point::max();
    for (const Running& running : slots) {
      if (running.control != nullptr && running.deadline < wake) wake = running.deadline;
    }
    if (wake == Clock::time_point::max()) {
      changed.wait(lock);
    } else {
      changed.wait_until(lock, wake);
    }
    if (finished) break;
    const Clock::time_point now = Clock::now();
    for (Running& running : slots) {
      if (running.control != nullptr && now >= running.deadline) {
        running.control->stop.store(true, std::memory_order_relaxed);
        running.deadline = Clock::time_point::max();
      }
    }
    if (progress && now >= nextDraw) {
      draw(now);
      nextDraw = now + redrawInterval;
    }
  }
}

void QueryWatch::draw(Clock::time_point now) {
  char text[256];
  if (bytes != nullptr) {
    const double seconds = std::chrono::duration<double>(now - loadStarted).count();
    const double read = static_cast<double>(bytes->load(std::memory_order_relaxed));
    if (totalBytes > 0 && read >= totalBytes) {
      // Parsed: the rows are being built.
      std::snprintf(text, sizeof text, "sgmatch: loading the data graph: %sB read, building its rows, %.1f s",
                    shortCount(static_cast<double>(totalBytes)).c_str(), seconds);
    } else if (totalBytes > 0) {
      std::snprintf(text, sizeof text, "sgmatch: loading the data graph: %.0f%% of %sB, %.1f s", 100 * read / totalBytes,
                    shortCount(static_cast<double>(totalBytes)).c_str(), seconds);
    } else {
      std::snprintf(text, sizeof text, "sgmatch: loading the data graph: %sB, %.1f s", shortCount(read).c_str(), seconds);
    }
  } else {
    // The lowest-numbered running query, which the report waits for.
    const Running* first = nullptr;
    int others = 0;
    for (const Running& running : slots) {
      if (running.control == nullptr) continue;
      if (first == nullptr || running.number < first->number) first = &running;
      ++others;
    }
    if (first == nullptr) return;
    const double seconds = std::chrono::duration<double>(now - first->started).count();
    const double found = static_cast<double>(first->control->found.load(std::memory_order_relaxed));
    int used = std::snprintf(text, sizeof text, "sgmatch: query %d: %s embeddings, %s/s, %.1f s", first->number,
                             shortCount(found).c_str(), shortCount(seconds > 0 ? found / seconds : 0).c_str(), seconds);
    if (others > 1 && used > 0 && static_cast<size_t>(used) < sizeof text) {
      used += std::snprintf(text + used, sizeof text - used, " (%d more running)", others - 1);
    }
    if (fileShare >= 0 && used > 0 && static_cast<size_t>(used) < sizeof text) {
      std::snprintf(text + used, sizeof text - used, ", query file %.0f%%", 100 * fileShare);
    }
  }
  writeToStandardError(std::string("\r") + text + "\x1b[K");
  lineShown = true;
}

void QueryWatch::clearLocked() {
  if (!lineShown) return;
  writeToStandardError("\r\x1b[K");
  lineShown = false;
}

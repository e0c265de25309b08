// The slow paths of the statistics writer: spilling held embeddings, and writing the text buffer.
#include "stats_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "fatal_error.h"

void StatsWriter::begin(int target, const std::string& displayPath, int embeddingWidth, Mode mode) {
  fd = target;
  sink = nullptr;
  path = displayPath;
  width = static_cast<size_t>(std::max(embeddingWidth, 1));
  holding = mode == Mode::held;
  eachLine = mode == Mode::eachLine;
  if (holding && raw.size() != rawBound / sizeof(int)) raw.reset(rawBound / sizeof(int));
  rawUsed = 0;
  holdCheck = raw.size();
  markReached = nullptr;
  wrote = false;
  haveLast = false;
  lastIds.assign(width, 0);
  lastText.assign(width * maxFieldBytes, 0);
  lastEnd.assign(width + 1, 0);
  // A text buffer that holds at least one line, however wide the embeddings.
  if (text.size() < std::max(fullTextSize, width * maxFieldBytes)) {
    text.reset(std::max(fullTextSize, width * maxFieldBytes), shortListingBytes);
  }
  textUsed = 0;
}

void StatsWriter::watchHeld(size_t mark, std::function<void()> reached) {
  holdCheck = std::min(mark, raw.size());
  markReached = std::move(reached);
}

void StatsWriter::passMark() {
  holdCheck = raw.size();
  // The watcher may set a new mark (and so replace the function) while it runs.
  std::function<void()> reached = std::move(markReached);
  markReached = nullptr;
  if (reached) reached();
}

void StatsWriter::spill() {
  holding = false;
  heldRow.assign(width, 0);
  for (size_t i = 0; i < rawUsed;) {
    const int head = raw[i++];
    if (head >= 0) {
      heldRow[width - 1] = head;
    } else {
      const size_t from = static_cast<size_t>(~head);
      std::memcpy(heldRow.data() + from, raw.data() + i, (width - from) * sizeof(int));
      i += width - from;
    }
    format(heldRow.data());
  }
  rawUsed = 0;
}

void StatsWriter::setSink(TextSink* target) {
  if (target != nullptr) {
    if (holding) spill();
    // Other threads' text goes to the file through the sink: a discarded listing must be emptied.
    wrote = true;
  }
  writeText();
  sink = target;
}

void StatsWriter::writeText() {
  if (textUsed == 0) return;
  wrote = true;
  const size_t used = textUsed;
  textUsed = 0;
  if (sink != nullptr) {
    sink->write(text.data(), used);
  } else {
    writeStatsText(fd, path, text.data(), used);
  }
}

void writeStatsText(int fd, const std::string& path, const char* next, size_t left) {
  while (left > 0) {
    const ssize_t written = ::write(fd, next, left);
    if (written < 0 && errno == EINTR) continue;
    // A write that makes no progress would be retried forever; a full disk or a file-size limit
    // reports itself through errno.
    if (written <= 0) fatalError("Stats cannot write " + path + ": " + errorText(written < 0 ? errno : EIO));
    next += written;
    left -= static_cast<size_t>(written);
  }
}

void StatsWriter::flush() {
  if (holding) spill();
  writeText();
}

void StatsWriter::finish() {
  if (holding) spill();
  writeText();
  wrote = false;
}

void StatsWriter::discard() {
  holding = false;
  rawUsed = 0;
  textUsed = 0;
  wrote = false;
}

// Lists the embeddings of one search in a file descriptor: tab-separated decimal ids, one line per
// embedding. While the frequency limit may still stop the search (and so delete the listing), the
// embeddings are held raw in memory up to a bound, so that a listing the limit deletes costs no
// formatting and no disk writes; beyond the bound, and when no limit applies, lines are formatted
// straight into a large buffer that goes out in big writes. The plain search writes each line at once.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "huge_page_allocator.h"

/// Where a writer's text goes instead of its descriptor: the share of one listing that another thread
/// puts in order with the rest.
class TextSink {
 public:
  virtual ~TextSink() = default;
  /// Takes `size` bytes of whole lines; ends the run with a message when they cannot be written.
  virtual void write(const char* text, size_t size) = 0;
};

/// Writes all `size` bytes to `fd`; a failure ends the run with "Stats cannot write <path>: <why>".
void writeStatsText(int fd, const std::string& path, const char* text, size_t size);

class StatsWriter {
 public:
  /// Bytes of raw embeddings held before the listing spills to the file.
  size_t rawBound = size_t{64} << 20;

  /// How lines reach the file: held raw while a limit may delete the listing, formatted into big
  /// writes, or written one by one as they come.
  enum class Mode { held, buffered, eachLine };

  /// Starts a listing of `width`-vertex embeddings into the descriptor `fd`; `displayPath` names the
  /// file in error messages.
  void begin(int fd, const std::string& displayPath, int width, Mode mode);

  /// Appends one embedding (`width` data vertex ids). `changedFrom` says that ids
  /// before that position equal those of the previous embedding added; 0 always holds. Ends the run
  /// with a message on a write error.
  void add(const int* embedding, size_t changedFrom = 0) {
    if (holding) {
      hold(embedding, changedFrom);
      return;
    }
    format(embedding);
    if (eachLine) writeText();
  }

  /// Formats what is held and writes every pending byte to the file.
  void finish();

  /// Drops the listing without formatting what is held.
  void discard();

  /// True when bytes of the current listing have gone to the file since `begin`.
  bool wroteAny() const { return wrote; }

  /// Formats what is held and writes every pending byte, keeping the listing open.
  void flush();

  /// Counts the listing's file as written: other writers have written to it.
  void markWritten() { wrote = true; }

  /// Sends the text to `target` from now on (null: the descriptor again); what is held is formatted
  /// first, since text sent elsewhere can no longer wait behind it.
  void setSink(TextSink* target);

  /// The descriptor and the name of the listing's file.
  int descriptor() const { return fd; }
  const std::string& displayPath() const { return path; }
  /// While embeddings are held: calls `reached` once the held embeddings would take more than `mark`
  /// ints (0: at the first one). `reached` may set the next mark; `begin` clears the mark.
  void watchHeld(size_t mark, std::function<void()> reached);

 private:
  // Both buffers are mapped once at their full size; untouched pages cost nothing. The text buffer
  // starts with a few ordinary pages, so that a short listing's text faults only those, and goes on
  // to huge pages, where one fault serves 2 MiB; held embeddings lie on huge pages from the start.
  static constexpr size_t fullTextSize = size_t{2} << 20;
  static constexpr size_t shortListingBytes = size_t{32} << 10;
  static constexpr size_t maxFieldBytes = 12;  // "-2147483648" and a separator

  // Consecutive embeddings of a search share long prefixes, so a line starts with a copy of the
  // previous line's text up to the first id that differs, and only the rest is formatted.
  void format(const int* embedding) {
    if (textUsed + width * maxFieldBytes > text.size()) writeText();
    char* const line = text.data() + textUsed;
    size_t same = 0;
    if (haveLast) {
      while (same < width && lastIds[same] == embedding[same]) ++same;
      if (same == width) same = width - 1;  // an equal line (never met in a search) is written again
      std::memcpy(line, lastText.data(), lastEnd[same]);
    }
    char* p = line + lastEnd[same];
    for (size_t i = same; i < width; ++i) {
      p = std::to_chars(p, p + maxFieldBytes, embedding[i]).ptr;
      *p++ = '\t';
      lastIds[i] = embedding[i];
      lastEnd[i + 1] = static_cast<size_t>(p - line);
    }
    p[-1] = '\n';
    const size_t from = lastEnd[same];
    std::memcpy(lastText.data() + from, line + from, static_cast<size_t>(p - line) - from);
    haveLast = true;
    textUsed = static_cast<size_t>(p - text.data());
  }
  // Held embeddings are stored as what changed: an embedding that differs from the previous one in
  // its last id alone (most of them in a search) as that id when it is not negative; any other as
  // the complement of the position it may differ from, followed by the ids from there on. The first
  // is held whole.
  void hold(const int* embedding, size_t changedFrom) {
    if (rawUsed == 0) changedFrom = 0;
    // One comparison serves both the bound and the watched mark, which never lies beyond it.
    if (rawUsed + 1 + width > holdCheck) {
      if (rawUsed + 1 + width > raw.size()) {
        spill();
        format(embedding);
        return;
      }
      passMark();
    }
    int* out = raw.data() + rawUsed;
    if (changedFrom + 1 >= width && embedding[width - 1] >= 0) {
      *out = embedding[width - 1];
      ++rawUsed;
      return;
    }
    *out++ = ~static_cast<int>(changedFrom);
    std::memcpy(out, embedding + changedFrom, (width - changedFrom) * sizeof(int));
    rawUsed += 1 + width - changedFrom;
  }
  void spill();
  void writeText();
  void passMark();

  int fd = -1;
  std::string path;
  TextSink* sink = nullptr;
  size_t width = 0;
  bool holding = false;
  bool eachLine = false;
  ZeroedArray<int> raw;  // room for rawBound bytes, mapped once; pages arrive as they are used
  size_t rawUsed = 0;    // ints of it holding embeddings
  size_t holdCheck = 0;  // the watched mark, or the bound
  std::function<void()> markReached;
  std::vector<int> heldRow;  // the embedding being rebuilt from what is held
  ZeroedArray<char> text;
  size_t textUsed = 0;
  bool wrote = false;
  // The last line formatted: its ids, its text, and where each field's text ends (after its tab).
  bool haveLast = false;
  std::vector<int> lastIds;
  std::vector<char> lastText;
  std::vector<size_t> lastEnd;
};

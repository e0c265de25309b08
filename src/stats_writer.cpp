// The slow paths of the statistics writer: spilling held embeddings, and writing the text buffer.
#include "stats_writer.h"

#include <algorithm>
#include <cerrno>

#include "fatal_error.h"

void StatsWriter::begin(std::ofstream* target, const std::string& displayPath, int embeddingWidth,
                        bool mayBeDeleted) {
  file = target;
  path = displayPath;
  width = static_cast<size_t>(std::max(embeddingWidth, 1));
  holding = mayBeDeleted;
  rawCapacity = rawBound / sizeof(int);
  raw.clear();
  // A text buffer that holds at least one line, however wide the embeddings.
  text.resize(std::max(textBufferSize, width * maxFieldBytes));
  textUsed = 0;
}

void StatsWriter::spill() {
  holding = false;
  for (size_t i = 0; i < raw.size(); i += width) format(raw.data() + i);
  std::vector<int>().swap(raw);
}

void StatsWriter::writeText() {
  if (textUsed == 0) return;
  errno = 0;
  file->write(text.data(), static_cast<std::streamsize>(textUsed));
  textUsed = 0;
  if (!*file) fatalError("Stats cannot write " + path + ": " + errorText(errno != 0 ? errno : EIO));
}

void StatsWriter::finish() {
  if (holding) spill();
  writeText();
  file->flush();
  if (!*file) fatalError("Stats cannot write " + path + ": " + errorText(errno != 0 ? errno : EIO));
}

void StatsWriter::discard() {
  holding = false;
  raw.clear();
  textUsed = 0;
}

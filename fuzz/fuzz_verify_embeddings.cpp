// The embedding verifier on an arbitrary pattern and embeddings file. The first bytes give the
// pattern: the number of rows (0 to 8), the number of entries, then two bytes per entry (its row,
// its value from -4 to 11, so that some name fields beyond the rows); the rest is the embeddings
// file. The counts must agree with a plain reading of the file: lines split at tabs, a line with
// too few fields skipped, one signature per line compared with all earlier ones.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "main.h"
#include "string_split.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = scratchPath("embeddings");
  size_t at = 0;
  auto next = [&]() -> int { return at < size ? data[at++] : 0; };
  const int rows = next() % 9;
  const int entries = next() % 32;
  std::vector<std::vector<int>> adjacency(rows);
  for (int e = 0; e < entries; ++e) {
    const int row = next(), value = next() % 16 - 4;
    if (rows > 0) adjacency[row % rows].push_back(value);
  }
  const std::string text(reinterpret_cast<const char*>(data) + at, size - at);
  writeInput(path, data + at, size - at);

  // The plain count.
  size_t needed = 0;
  for (int i = 0; i < rows; ++i) {
    for (int k : adjacency[i]) {
      if (k > i) needed = std::max(needed, static_cast<size_t>(k) + 1);
    }
  }
  EmbeddingCounts expected;
  std::set<EdgeSignature> seen;
  std::vector<std::string> fields;
  for (const std::string& line : splitLines(text)) {
    if (line.empty()) continue;
    ++expected.read;
    SplitStringUsing(line, "\t", &fields);
    if (fields.size() < needed) {
      ++expected.tooShort;
      continue;
    }
    EdgeSignature signature;
    for (int i = 0; i < rows; ++i) {
      for (int k : adjacency[i]) {
        if (k <= i) continue;
        const int a = plainNumber(fields[i]), b = plainNumber(fields[k]);
        signature.emplace_back(std::min(a, b), std::max(a, b));
      }
    }
    std::sort(signature.begin(), signature.end());
    if (!seen.insert(signature).second) ++expected.duplicates;
  }
  expected.unique = static_cast<int64_t>(seen.size());

  EmbeddingCounts counts;
  fuzzCheck(checkEmbeddings(adjacency, path.c_str(), &counts), "a regular file is always checked");
  fuzzCheck(counts.read == expected.read, "embeddings read");
  fuzzCheck(counts.unique == expected.unique, "unique embeddings");
  fuzzCheck(counts.duplicates == expected.duplicates, "duplicates");
  fuzzCheck(counts.tooShort == expected.tooShort, "short lines");
  fuzzCheck(verify_embeddings(adjacency, path.c_str()) == expected.unique, "verify_embeddings gives the unique count");
  return 0;
}

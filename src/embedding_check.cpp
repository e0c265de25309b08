// The embedding verifier's core. Two embeddings that cover the same data edges (for instance two
// images of one subgraph that differ by a symmetry of the pattern) have equal signatures and count as
// one. Every line it prints goes to standard output and is flushed.
#include "embedding_check.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <new>
#include <string>
#include <string_view>

#include "fatal_error.h"
#include "line_reader.h"
#include "string_split.h"
#include "text_number.h"


EdgeSignature getEdgeSignature(const std::vector<std::vector<int>>& adjacency, const std::vector<int>& embedding) {
  EdgeSignature signature;
  for (size_t i = 0; i < adjacency.size(); ++i) {
    for (int k : adjacency[i]) {
      // Each undirected edge is counted once, at its smaller endpoint; a negative entry never counts.
      if (k <= static_cast<int64_t>(i)) continue;
      const int a = embedding[i];
      const int b = embedding[k];
      signature.emplace_back(std::min(a, b), std::max(a, b));
    }
  }
  std::sort(signature.begin(), signature.end());
  return signature;
}

namespace {

// The number of fields an embedding needs: one past the largest counted adjacency entry.
int64_t fieldsNeeded(const std::vector<std::vector<int>>& adjacency) {
  int64_t needed = 0;
  for (size_t i = 0; i < adjacency.size(); ++i) {
    for (int k : adjacency[i]) {
      if (k > static_cast<int64_t>(i)) needed = std::max(needed, int64_t{k} + 1);
    }
  }
  return needed;
}

void printSummary(const EmbeddingCounts& counts) {
  std::cout << "------------------------------------" << std::endl;
  std::cout << "number of embeddings read: " << counts.read << std::endl;
  std::cout << "number of unique embeddings: " << counts.unique << std::endl;
  std::cout << "------------------------------------" << std::endl;
  std::cout << std::endl;
  std::cout << "done!" << std::endl;
}

bool checkEmbeddingLines(const std::vector<std::vector<int>>& adjacency, const char* path, EmbeddingCounts* counts) {
  LineReader reader;
  if (!reader.open(path)) {
    std::cout << "cannot open " << path << std::endl;
    return false;
  }
  const int64_t needed = fieldsNeeded(adjacency);
  std::map<EdgeSignature, int64_t> seen;  // signature -> number of the first embedding that had it
  std::string text;
  std::vector<std::string> fields;
  std::vector<int> embedding;
  std::string_view line;
  LineReader::Status status;
  while ((status = reader.next(&line)) == LineReader::Status::line) {
    if (line.empty()) continue;
    const int64_t number = ++counts->read;
    text.assign(line.data(), line.size());
    SplitStringUsing(text, "\t", &fields);
    if (static_cast<int64_t>(fields.size()) < needed) {
      // Counted (it was read) but given no signature, so it can neither be nor have a duplicate.
      std::cout << "embedding No. " << number << " has " << fields.size()
                << (fields.size() == 1 ? " field" : " fields") << ", the pattern needs " << needed << std::endl;
      ++counts->tooShort;
      continue;
    }
    embedding.resize(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) embedding[i] = parseInt32(fields[i]);
    auto [first, inserted] = seen.try_emplace(getEdgeSignature(adjacency, embedding), number);
    if (!inserted) {
      // The map keeps the first number, so every later copy is reported against the first embedding.
      std::cout << "found a duplicate embedding: No. " << number << ", which exists in No. " << first->second
                << std::endl;
      ++counts->duplicates;
    }
  }
  if (status == LineReader::Status::error) {
    std::cout << "cannot read " << path << " after line " << reader.lineNumber() << ": "
              << errorText(reader.error()) << std::endl;
    return false;
  }
  counts->unique = static_cast<int64_t>(seen.size());
  printSummary(*counts);
  return true;
}

}  // namespace

bool checkEmbeddings(const std::vector<std::vector<int>>& adjacency, const char* path, EmbeddingCounts* counts) {
  *counts = EmbeddingCounts();
  try {
    return checkEmbeddingLines(adjacency, path, counts);
  } catch (const std::bad_alloc&) {
    std::cout << "cannot check " << path << ": out of memory" << std::endl;
    return false;
  }
}


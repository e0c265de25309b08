// Splitting and sorted-set operations. Both set operations are single linear merges; neither checks
// that its operands are ascending (the callers guarantee it).
#include "string_split.h"

#include <algorithm>
#include <cstring>

namespace {

// One delimiter: count the tokens first so that the output is allocated once.
void splitAtOneCharacter(const std::string& full, char delim, std::vector<std::string>* result) {
  size_t count = 0;
  for (size_t i = 0; i < full.size(); ++i) {
    if (full[i] != delim && (i == 0 || full[i - 1] == delim)) ++count;
  }
  if (result->capacity() < count) {
    std::vector<std::string> sized;
    sized.reserve(count);
    result->swap(sized);
  }
  size_t i = 0;
  while (i < full.size()) {
    if (full[i] == delim) {
      ++i;
      continue;
    }
    size_t end = full.find(delim, i);
    if (end == std::string::npos) end = full.size();
    result->emplace_back(full, i, end - i);
    i = end;
  }
}

}  // namespace

void SplitStringUsing(const std::string& full, const char* delim, std::vector<std::string>* result) {
  result->clear();
  if (delim[0] != '\0' && delim[1] == '\0') {
    splitAtOneCharacter(full, delim[0], result);
    return;
  }
  // std::string::find_first_of with an empty set finds nothing, so the whole text is one token.
  size_t begin = full.find_first_not_of(delim);
  while (begin != std::string::npos) {
    size_t end = full.find_first_of(delim, begin);
    if (end == std::string::npos) {
      result->emplace_back(full, begin);
      return;
    }
    result->emplace_back(full, begin, end - begin);
    begin = full.find_first_not_of(delim, end);
  }
}

std::vector<int> vector_intersection(const std::vector<int>& first, const std::vector<int>& second) {
  std::vector<int> result;
  size_t i = 0, j = 0;
  while (i < first.size() && j < second.size()) {
    if (first[i] == second[j]) {
      result.push_back(first[i]);
      ++i;
      ++j;
    } else if (first[i] < second[j]) {
      ++i;
    } else {
      ++j;
    }
  }
  return result;
}

std::vector<int> vector_minus(const std::vector<int>& minuend, std::vector<int> subtrahend) {
  std::sort(subtrahend.begin(), subtrahend.end());
  std::vector<int> result;
  size_t i = 0, j = 0;
  while (i < minuend.size()) {
    if (j == subtrahend.size()) {
      result.insert(result.end(), minuend.begin() + i, minuend.end());
      break;
    }
    if (minuend[i] == subtrahend[j]) {
      ++i;
      ++j;
    } else if (minuend[i] > subtrahend[j]) {
      ++j;
    } else {
      result.push_back(minuend[i]);
      ++i;
    }
  }
  return result;
}

// strtol-compatible parsing on a character range.
#include "text_number.h"

#include <limits>

namespace {

bool isCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

int64_t parseLongInGeneral(const char* begin, const char* end) {
  const char* p = begin;
  while (p < end && isCSpace(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  // The magnitude is gathered in unsigned arithmetic so that the most negative value stays exact.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  bool saturated = false;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (saturated) continue;
    unsigned digit = static_cast<unsigned>(*p - '0');
    if (magnitude > (limit - digit) / 10) {
      saturated = true;
      magnitude = limit;
    } else {
      magnitude = magnitude * 10 + digit;
    }
  }
  if (negative) return magnitude == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                                         : -static_cast<int64_t>(magnitude);
  return static_cast<int64_t>(magnitude);
}

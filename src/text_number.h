// The one number parser of every reader, with the semantics of strtol in base 10, working on a
// character range so that the fast readers need no terminated copy of each token.
#pragma once

#include <cstdint>
#include <string>

/// Parses like strtol(text, nullptr, 10): leading white space and one sign are skipped, digits are
/// read up to the first other character, the result saturates at the 64-bit limits; 0 without digits.
int64_t parseLongInGeneral(const char* begin, const char* end);

/// The same, with the common case inline: a token that starts with its digits (after at most a
/// sign) and has at most 18 of them cannot overflow, so it needs no checks per digit.
inline int64_t parseLong(const char* begin, const char* end) {
  const char* p = begin;
  const bool negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  const char* const digits = p;
  uint64_t magnitude = 0;
  while (p < end && static_cast<unsigned char>(*p - '0') < 10 && p - digits < 18) {
    magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  if (p == digits || (p - digits == 18 && p < end && static_cast<unsigned char>(*p - '0') < 10)) {
    return parseLongInGeneral(begin, end);  // white space first, no digits, or a long number
  }
  return negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
}

inline int64_t parseLong(const std::string& text) { return parseLong(text.data(), text.data() + text.size()); }

/// The low 32 bits of a parsed value, as a signed number (what a 32-bit field keeps of it).
inline int32_t truncateToInt32(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

/// parseLong truncated to 32 bits: how every vertex id, label and count field is read.
inline int32_t parseInt32(const char* begin, const char* end) { return truncateToInt32(parseLong(begin, end)); }

inline int32_t parseInt32(const std::string& text) { return truncateToInt32(parseLong(text)); }

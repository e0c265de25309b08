// The one number parser of every reader, with the semantics of strtol in base 10, working on a
// character range so that the fast readers need no terminated copy of each token.
#pragma once

#include <cstdint>
#include <string>

/// Parses like strtol(text, nullptr, 10): leading white space and one sign are skipped, digits are
/// read up to the first other character, the result saturates at the 64-bit limits; 0 without digits.
int64_t parseLong(const char* begin, const char* end);

inline int64_t parseLong(const std::string& text) { return parseLong(text.data(), text.data() + text.size()); }

/// The low 32 bits of a parsed value, as a signed number (what a 32-bit field keeps of it).
inline int32_t truncateToInt32(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

/// parseLong truncated to 32 bits: how every vertex id, label and count field is read.
inline int32_t parseInt32(const char* begin, const char* end) { return truncateToInt32(parseLong(begin, end)); }

inline int32_t parseInt32(const std::string& text) { return truncateToInt32(parseLong(text)); }

// Helpers shared by the libFuzzer targets: a scratch directory for the files a target writes, the
// input written to a file, the plain reading rules (split at spaces, strtol truncated to 32 bits)
// that the reference readers apply, and a check that aborts, so that libFuzzer records the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// A path in this process's scratch directory (created on first use, under $TMPDIR or /dev/shm).
std::string scratchPath(const std::string& name);

/// Writes the bytes to the file, truncating it; aborts when that fails.
void writeInput(const std::string& path, const uint8_t* data, size_t size);

/// Removes every entry of the directory (not the directory itself).
void clearDirectory(const std::string& path);

/// The names of the directory's entries without "." and "..", sorted.
std::vector<std::string> listEntries(const std::string& path);

/// The whole content of a file; empty when it cannot be read.
std::string fileBytes(const std::string& path);

/// The bytes between newlines, the last line also without a final newline.
std::vector<std::string> splitLines(const std::string& text);

/// strtol(token, nullptr, 10) on the token up to its first NUL byte, truncated to 32 bits.
int32_t plainNumber(const std::string& token);

/// Prints what failed on standard error and aborts when `condition` is false.
void fuzzCheck(bool condition, const char* what);

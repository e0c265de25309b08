// The key=value command lines of the tools: one table per tool lists every key with its default, its
// meaning and how its value is read, and the same table parses the arguments, writes the usage text
// and the README's table of keys, so that a key added to it appears everywhere at once.
// The tool's own keys are read leniently (a doubtful value gets a warning on standard error and is read
// as the number parser reads it); keys added later are strict: a bad value is an error.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

/// One key of a tool's command line.
struct Key {
  std::string name;
  std::string defaultText;  // the default as the usage text shows it
  std::string meaning;      // one sentence
  std::string parsing;      // how the value is read, as the usage text shows it
  /// Applies a value. Returns the error for a value a strict key refuses; empty when the value was
  /// taken. A lenient key sets *warning when it takes a doubtful value, saying what it made of it.
  std::function<std::string(const std::string& value, std::string* warning)> apply;
};

/// What a command line asks for besides its keys.
enum class CommandLineRequest { run, help, version, error };

class KeyTable {
 public:
  /// A table for `program`; `synopsis` is the usage line after the program name, `description` and
  /// `details` (input formats, examples) frame the list of keys in the usage text.
  KeyTable(std::string program, std::string synopsis, std::string description, std::vector<Key> keys,
           std::string details);

  /// Applies the arguments argv[1..argc-1] in order: each is split at "=" (empty pieces dropped), the
  /// first piece is the key and the second the value. Prints a warning on `warnings` for every
  /// argument that is not a known key with a value, and for every doubtful value of a lenient key;
  /// prints an error for every value a strict key refuses. Returns help or version when some argument
  /// asks for them (then nothing is applied), error when some value was refused, run otherwise.
  CommandLineRequest apply(int argc, char** argv, std::ostream& warnings) const;

  /// The same without looking for help or version requests: such arguments are ignored with a
  /// warning like any other that is not key=value. Returns error or run.
  CommandLineRequest applyKeys(int argc, char** argv, std::ostream& warnings) const;

  /// The usage text: synopsis, description, every key with its default, meaning and reading, details.
  std::string usage() const;

  /// The keys as a markdown table (key, default, meaning), as the README shows them.
  std::string markdown() const;

  const std::vector<Key>& keys() const { return table; }

 private:
  const Key* find(const std::string& name) const;
  std::string closestKey(const std::string& name) const;

  std::string program, synopsis, description, details;
  std::vector<Key> table;
};

/// The version of the tools, as --version prints it.
const char* toolVersion();

/// Reads a whole decimal number as strtol does and says whether the text was exactly a plain whole
/// number in [minimum, maximum]; when it is not, *warning says what the value was read as.
int64_t lenientNumber(const std::string& key, const std::string& value, int64_t minimum, int64_t maximum,
                      std::string* warning);

/// A strict whole number in [minimum, maximum]: digits only (an optional leading minus when minimum is
/// negative); false when the text is anything else.
bool strictNumber(const std::string& text, int64_t minimum, int64_t maximum, int64_t* value);

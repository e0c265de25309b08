// sgmatch-convert: the command line (a table of key=value keys from which both the parser and the
// usage text come), the conversion of the named inputs, and writing the data graph or query file
// and the id mapping beside it, each under a temporary name renamed into place only on success.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "graph_convert.h"

/// One key of the command line: its name, its default as shown in the usage text, its meaning.
struct ConvertKey {
  const char* name;
  const char* defaultValue;
  const char* meaning;
};

/// Every key sgmatch-convert takes, in the order of the usage text.
const std::vector<ConvertKey>& convertKeys();

/// The labels the converted vertices get.
enum class LabelSource { none, random, file };

/// Everything a conversion needs, as given on the command line.
struct ConvertOptions {
  std::vector<std::string> inputs;  // one for a data graph; one per query for a query file
  std::string output;
  std::string idsPath;  // the mapping of dense to original ids; empty for none
  OutputKind kind = OutputKind::data;
  InputFormat format = InputFormat::automatic;
  LabelSource labelSource = LabelSource::none;
  int32_t labelCount = 0;  // random labels: 0..labelCount-1
  uint64_t seed = 1;
  std::string labelPath;
};

/// What the command line asks for.
enum class ConvertRequest { convert, help, version, invalid };

/// Parses argv[1..argc-1]; `help` or `version` when any argument is -h, --help or --version
/// (whichever comes first), `invalid` with *error on an unknown key, a key given twice, a missing
/// key or a bad value. Reads no file.
ConvertRequest parseConvertArguments(int argc, char** argv, ConvertOptions* options, std::string* error);

/// The usage text: synopsis, every key with its default and meaning, the input formats, examples.
std::string convertUsage();

/// Converts the inputs and writes the output files; one summary line per converted graph in
/// *summary. False, with *error, when an input cannot be read or used or a file cannot be written;
/// then no output file is created or changed.
bool convertFiles(const ConvertOptions& options, std::string* summary, std::string* error);

/// The whole tool: the exit status (0, or 255 after a message on `err`); the usage text, version
/// and summary go to `out`.
int runConvert(int argc, char** argv, std::ostream& out, std::ostream& err);

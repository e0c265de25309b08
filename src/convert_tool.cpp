// The converter's command line and output files. Arguments are checked completely before any file is
// read; the outputs are written under temporary names in their target directories (created
// exclusively) and renamed into place only when everything is written, so a failed run leaves none.
#include "convert_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <ostream>
#include <string_view>

#include "fatal_error.h"
#include "key_table.h"


namespace {

const std::vector<ConvertKey> keyTable = {
    {"in", "(required)", "input file; with kind=query give in= once per pattern, each becomes one query in order"},
    {"out", "(required)", "output file: the data graph file, or with kind=query the query file"},
    {"kind", "data",
     "data: the input becomes a data graph file (a \"t <vertices> <edges>\" line, v lines, e lines); query: every "
     "input becomes one query (\"t # <n>\", v lines, e lines)"},
    {"format", "auto",
     "auto, edgelist or mtx: auto reads a file whose first line starts with %%MatrixMarket as MatrixMarket, any other "
     "as an edge list"},
    {"labels", "none",
     "none: every label 0; random:L: labels uniform in 0..L-1 (L from 1 to 2147483647) drawn from the seed; any other "
     "value names a label file of \"id label\" lines"},
    {"seed", "1",
     "seed of the random labels, 0 to 18446744073709551615; the same seed gives the same labels everywhere"},
    {"ids", "<out>.ids",
     "file of the original ids: line i+1 holds the input's id of vertex i (with kind=query a \"t # <n>\" line before "
     "each query's ids); none: no such file"},
};

// Digits only, at most `largest`; no sign, no blanks.
bool parseDecimal(const std::string& text, uint64_t largest, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(number, 10u, &number) ||
        __builtin_add_overflow(number, static_cast<unsigned>(c - '0'), &number)) {
      return false;
    }
  }
  if (number > largest) return false;
  *value = number;
  return true;
}

using GivenKeys = std::map<std::string, std::vector<std::string>>;

// The first value given for `name`, or nullptr when the key is absent.
const std::string* firstValue(const GivenKeys& given, const char* name) {
  auto found = given.find(name);
  return found == given.end() ? nullptr : &found->second.front();
}

// Words the complaint about `name`=`value`; always false, so callers can return it.
bool badValue(const char* name, const std::string& value, const std::string& expected, std::string* error) {
  *error = "bad value \"" + value + "\" for " + name + "=: expected " + expected;
  return false;
}

bool applyKind(const std::string& kind, ConvertOptions* options, std::string* error) {
  if (kind == "data") {
    options->kind = OutputKind::data;
  } else if (kind == "query") {
    options->kind = OutputKind::query;
  } else {
    return badValue("kind", kind, "data or query", error);
  }
  return true;
}

bool applyFormat(const std::string& format, ConvertOptions* options, std::string* error) {
  if (format == "auto") {
    options->format = InputFormat::automatic;
  } else if (format == "edgelist") {
    options->format = InputFormat::edgeList;
  } else if (format == "mtx") {
    options->format = InputFormat::matrixMarket;
  } else {
    return badValue("format", format, "auto, edgelist or mtx", error);
  }
  return true;
}

// labels= is "none", "random:L" or, for anything else that is not empty, the path of a label file.
bool applyLabels(const std::string& labels, ConvertOptions* options, std::string* error) {
  constexpr std::string_view randomPrefix = "random:";
  uint64_t count = 0;
  if (labels == "none") {
    options->labelSource = LabelSource::none;
  } else if (labels.compare(0, randomPrefix.size(), randomPrefix) == 0) {
    if (!parseDecimal(labels.substr(randomPrefix.size()), std::numeric_limits<int32_t>::max(), &count) ||
        count == 0) {
      return badValue("labels", labels, "random:L with L from 1 to 2147483647", error);
    }
    options->labelSource = LabelSource::random;
    options->labelCount = static_cast<int32_t>(count);
  } else if (labels.empty()) {
    return badValue("labels", labels, "none, random:L or a label file", error);
  } else {
    options->labelSource = LabelSource::file;
    options->labelPath = labels;
  }
  return true;
}

// in= may repeat only for queries, since a data graph comes from one input.
bool applyInputs(const GivenKeys& given, ConvertOptions* options, std::string* error) {
  auto inputs = given.find("in");
  if (inputs == given.end()) {
    *error = "missing in=PATH, the file to convert";
    return false;
  }
  for (const std::string& input : inputs->second) {
    if (input.empty()) {
      *error = "bad value \"\" for in=: expected a file";
      return false;
    }
  }
  if (options->kind == OutputKind::data && inputs->second.size() > 1) {
    *error = "in= given " + std::to_string(inputs->second.size()) +
             " times: a data graph comes from one input (kind=query takes several)";
    return false;
  }
  options->inputs = inputs->second;
  return true;
}

// out= is required; ids= defaults to beside it and must not overwrite it.
bool applyOutputs(const GivenKeys& given, ConvertOptions* options, std::string* error) {
  const std::string* output = firstValue(given, "out");
  if (output == nullptr) {
    *error = "missing out=PATH, the file to write";
    return false;
  }
  if (output->empty()) return badValue("out", *output, "a file", error);
  options->output = *output;

  options->idsPath = options->output + ".ids";
  if (const std::string* ids = firstValue(given, "ids")) {
    if (ids->empty()) return badValue("ids", *ids, "a file or none", error);
    options->idsPath = *ids == "none" ? std::string() : *ids;
  }
  if (options->idsPath == options->output) {
    *error = "ids= and out= name the same file " + options->output;
    return false;
  }
  return true;
}

// Checks the values of the keys given (name -> values in argument order) and fills *options.
// The inputs are checked after kind= because how many there may be depends on it.
bool applyKeys(const GivenKeys& given, ConvertOptions* options, std::string* error) {
  if (const std::string* kind = firstValue(given, "kind")) {
    if (!applyKind(*kind, options, error)) return false;
  }
  if (const std::string* format = firstValue(given, "format")) {
    if (!applyFormat(*format, options, error)) return false;
  }
  if (const std::string* labels = firstValue(given, "labels")) {
    if (!applyLabels(*labels, options, error)) return false;
  }
  if (const std::string* seed = firstValue(given, "seed")) {
    if (!parseDecimal(*seed, std::numeric_limits<uint64_t>::max(), &options->seed)) {
      return badValue("seed", *seed, "a number from 0 to 18446744073709551615", error);
    }
  }
  return applyInputs(given, options, error) && applyOutputs(given, options, error);
}

// Breaks text into lines of at most `width` characters, each after `indent` (the first line's
// indent is already written by the caller).
std::string wrapped(const std::string& text, size_t indent, size_t width) {
  std::string result;
  size_t column = indent;
  size_t start = 0;
  while (start < text.size()) {
    size_t stop = text.find(' ', start);
    if (stop == std::string::npos) stop = text.size();
    const size_t length = stop - start;
    if (column > indent && column + 1 + length > width) {
      result += "\n" + std::string(indent, ' ');
      column = indent;
    } else if (column > indent) {
      result += ' ';
      ++column;
    }
    result.append(text, start, length);
    column += length;
    start = stop + 1;
  }
  return result;
}

// Holds back SIGHUP, SIGINT and SIGTERM while it lives; one that came meanwhile acts afterwards.
class TerminationSignalsHeld {
 public:
  TerminationSignalsHeld() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&blocked, signal);
    sigprocmask(SIG_BLOCK, &blocked, &previous);
  }
  TerminationSignalsHeld(const TerminationSignalsHeld&) = delete;
  TerminationSignalsHeld& operator=(const TerminationSignalsHeld&) = delete;
  ~TerminationSignalsHeld() { sigprocmask(SIG_SETMASK, &previous, nullptr); }

 private:
  sigset_t previous;
};

// A buffered output file under a temporary name beside its target.
class StagedFile {
 public:
  StagedFile() : buffer(size_t{1} << 20) {}
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile() { discard(); }

  /// Creates the temporary file in the target's directory; false with *error when it cannot.
  bool create(const std::string& targetPath, std::string* error) {
    target = targetPath;
    struct stat info;
    if (stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      *error = "cannot write " + target + ": " + errorText(EISDIR);
      return false;
    }
    const size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = directory + "/." + base + ".XXXXXX";
    fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
      *error = "cannot create " + target + ": " + errorText(errno);
      return false;
    }
    temporary = pattern;
    // mkostemp creates the file for its owner only; the output gets the usual mode.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return true;
  }

  /// Writing: lines of at most lineRoom bytes go to position() onwards while the position stays
  /// below limit(); then spill() writes the buffer out and returns where to go on, and settle()
  /// takes the lines written when a run of them ends. The position lives in the writer's register
  /// meanwhile, not in this object, which every byte stored might otherwise alias.
  static constexpr size_t lineRoom = 64;
  char* position() { return buffer.data() + used; }
  const char* limit() const { return buffer.data() + buffer.size() - lineRoom; }
  char* spill(char* at) {
    settle(at);
    flush();
    return buffer.data();
  }
  void settle(char* at) { used = static_cast<size_t>(at - buffer.data()); }

  /// Writes what is buffered and closes the file; false with *error on a failed write.
  bool finish(std::string* error) {
    flush();
    if (fd >= 0 && close(fd) != 0 && writeError == 0) writeError = errno;
    fd = -1;
    if (writeError != 0) {
      *error = "cannot write " + target + ": " + errorText(writeError);
      return false;
    }
    return true;
  }

  /// Renames the finished file to its target; false with *error when that fails.
  bool commit(std::string* error) {
    if (std::rename(temporary.c_str(), target.c_str()) != 0) {
      *error = "cannot write " + target + ": " + errorText(errno);
      return false;
    }
    temporary.clear();
    return true;
  }

  /// Removes the temporary file unless it was committed.
  void discard() {
    if (fd >= 0) close(fd);
    fd = -1;
    if (!temporary.empty()) unlink(temporary.c_str());
    temporary.clear();
  }

 private:
  void flush() {
    size_t done = 0;
    while (done < used && writeError == 0) {
      const ssize_t wrote = write(fd, buffer.data() + done, used - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) {
        writeError = wrote < 0 ? errno : EIO;
        break;
      }
      done += static_cast<size_t>(wrote);
    }
    used = 0;
  }

  std::string target;
  std::string temporary;
  int fd = -1;
  int writeError = 0;
  std::vector<char> buffer;
  size_t used = 0;
};

// The decimal digits of a value, written from the last two at a time; the caller has room for 20.
char* putDecimal(char* at, uint64_t value) {
  static constexpr char pairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  static constexpr uint64_t powersOfTen[20] = {1,
                                               10,
                                               100,
                                               1000,
                                               10000,
                                               100000,
                                               1000000,
                                               10000000,
                                               100000000,
                                               1000000000,
                                               10000000000ULL,
                                               100000000000ULL,
                                               1000000000000ULL,
                                               10000000000000ULL,
                                               100000000000000ULL,
                                               1000000000000000ULL,
                                               10000000000000000ULL,
                                               100000000000000000ULL,
                                               1000000000000000000ULL,
                                               10000000000000000000ULL};
  // log10 from the bit width (1233 / 4096 is just below log10(2)), then one comparison.
  const int estimate = ((64 - __builtin_clzll(value | 1)) * 1233) >> 12;
  const int length = estimate + ((value | 1) >= powersOfTen[estimate] ? 1 : 0);
  char* const end = at + length;
  char* p = end;
  while (value >= 100) {
    const uint64_t pair = value % 100;
    value /= 100;
    p -= 2;
    std::memcpy(p, pairs + 2 * pair, 2);
  }
  if (value >= 10) {
    std::memcpy(p - 2, pairs + 2 * value, 2);
  } else {
    p[-1] = static_cast<char>('0' + value);
  }
  return end;
}

char* putSigned(char* at, int64_t value) {
  if (value >= 0) return putDecimal(at, static_cast<uint64_t>(value));
  *at++ = '-';
  return putDecimal(at, uint64_t{0} - static_cast<uint64_t>(value));
}

// `t # <n>`, the line that opens a query of a query file and its block in the ids file.
void putQueryHeader(StagedFile* file, size_t queryNumber) {
  char* at = file->position();
  if (at > file->limit()) at = file->spill(at);
  at = std::copy_n("t # ", 4, at);
  at = putDecimal(at, queryNumber);
  *at++ = '\n';
  file->settle(at);
}

// The v lines, then the e lines.
void putGraph(const ConvertedGraph& graph, StagedFile* file) {
  char* at = file->position();
  const char* const limit = file->limit();
  for (size_t vertex = 0; vertex < graph.labels.size(); ++vertex) {
    if (at > limit) at = file->spill(at);
    *at++ = 'v';
    *at++ = ' ';
    at = putDecimal(at, vertex);
    *at++ = ' ';
    at = putSigned(at, graph.labels[vertex]);
    *at++ = '\n';
  }
  // The edges of a row share their "e u " prefix: formatted once, copied for each.
  char prefix[32] = {'e', ' '};
  for (size_t u = 0; u + 1 < graph.firstEdge.size(); ++u) {
    if (graph.firstEdge[u] == graph.firstEdge[u + 1]) continue;
    char* prefixEnd = putDecimal(prefix + 2, u);
    *prefixEnd++ = ' ';
    const size_t prefixLength = static_cast<size_t>(prefixEnd - prefix);
    for (size_t i = graph.firstEdge[u]; i < graph.firstEdge[u + 1]; ++i) {
      if (at > limit) at = file->spill(at);
      std::memcpy(at, prefix, 16);  // the prefix has at most 13 bytes; the rest is overwritten
      at = putDecimal(at + prefixLength, static_cast<uint64_t>(graph.largerEnds[i]));
      *at++ = '\n';
    }
  }
  file->settle(at);
}

void putOriginalIds(const ConvertedGraph& graph, StagedFile* file) {
  char* at = file->position();
  const char* const limit = file->limit();
  for (uint64_t id : graph.originalIds) {
    if (at > limit) at = file->spill(at);
    at = putDecimal(at, id);
    *at++ = '\n';
  }
  file->settle(at);
}

std::string counted(long long count, const char* singular, const char* plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

std::string summaryLine(const std::string& what, const std::string& input, const ConvertedGraph& graph) {
  return "wrote " + what + ": " + counted(static_cast<long long>(graph.labels.size()), "vertex", "vertices") + ", " +
         counted(static_cast<long long>(graph.edgeCount()), "edge", "edges") + " (" +
         counted(graph.edgeLines, "edge", "edges") + " read from " + input + "; dropped " +
         counted(graph.repeatedEdges, "repeated edge", "repeated edges") + ", " +
         counted(graph.selfLoops, "self-loop", "self-loops") + ")\n";
}

// Writes both output files under temporary names and renames them into place. The termination
// signals wait while this runs, so that an interrupt never leaves a temporary file behind; an
// interrupt that came meanwhile ends the process afterwards.
bool writeOutputs(const ConvertOptions& options, const std::vector<ConvertedGraph>& graphs, std::string* error) {
  TerminationSignalsHeld held;
  StagedFile output, ids;
  const bool withIds = !options.idsPath.empty();
  bool written = output.create(options.output, error) && (!withIds || ids.create(options.idsPath, error));
  if (written) {
    if (options.kind == OutputKind::data) {
      const ConvertedGraph& graph = graphs.front();
      char* at = output.position();
      at = std::copy_n("t ", 2, at);
      at = putDecimal(at, graph.labels.size());
      *at++ = ' ';
      at = putDecimal(at, graph.edgeCount());
      *at++ = '\n';
      output.settle(at);
      putGraph(graph, &output);
      if (withIds) putOriginalIds(graph, &ids);
    } else {
      for (size_t query = 0; query < graphs.size(); ++query) {
        putQueryHeader(&output, query);
        putGraph(graphs[query], &output);
        if (withIds) {
          putQueryHeader(&ids, query);
          putOriginalIds(graphs[query], &ids);
        }
      }
    }
    written = output.finish(error) && (!withIds || ids.finish(error));
  }
  // The ids first: an output file in place always comes with its mapping.
  if (written && withIds) written = ids.commit(error);
  if (written && !output.commit(error)) {
    if (withIds) unlink(options.idsPath.c_str());
    written = false;
  }
  return written;
}

}  // namespace

const std::vector<ConvertKey>& convertKeys() { return keyTable; }

ConvertRequest parseConvertArguments(int argc, char** argv, ConvertOptions* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-h" || argument == "--help") return ConvertRequest::help;
    if (argument == "--version") return ConvertRequest::version;
  }
  std::map<std::string, std::vector<std::string>> given;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const size_t equals = argument.find('=');
    if (equals == std::string::npos) {
      *error = "unexpected argument \"" + argument + "\": arguments are key=value";
      return ConvertRequest::invalid;
    }
    const std::string name = argument.substr(0, equals);
    bool known = false;
    for (const ConvertKey& key : keyTable) known = known || name == key.name;
    if (!known) {
      *error = "unknown key \"" + name + "\" in \"" + argument + "\"";
      return ConvertRequest::invalid;
    }
    std::vector<std::string>& values = given[name];
    if (!values.empty() && name != "in") {
      *error = "key " + name + "= given twice";
      return ConvertRequest::invalid;
    }
    values.push_back(argument.substr(equals + 1));
  }
  *options = ConvertOptions();
  return applyKeys(given, options, error) ? ConvertRequest::convert : ConvertRequest::invalid;
}

std::string convertUsage() {
  std::string text =
      "Usage: sgmatch-convert in=PATH out=PATH [key=value ...]\n"
      "       sgmatch-convert --help | --version\n"
      "\n"
      "Converts an edge list or a MatrixMarket file into a data graph file for sgmatch, or pattern files\n"
      "into the queries of a query file. Vertices are renumbered 0..n-1 in ascending order of their ids\n"
      "in the input; repeated edges (in either direction) and self-loops are dropped and counted. On any\n"
      "error nothing is written and the exit status is 255.\n"
      "\n"
      "Keys:\n";
  constexpr size_t nameWidth = 8, defaultWidth = 12, indent = 2 + nameWidth + defaultWidth;
  for (const ConvertKey& key : keyTable) {
    std::string name = key.name, value = key.defaultValue;
    name.resize(std::max(nameWidth, name.size() + 1), ' ');
    value.resize(std::max(defaultWidth, value.size() + 1), ' ');
    text += "  " + name + value + wrapped(key.meaning, indent, 100) + "\n";
  }
  text +=
      "\n"
      "Input formats:\n"
      "  edge list     one edge \"u v\" per line: ids are integers from 0 to 18446744073709551615, separated\n"
      "                by blanks or a comma; further fields (weights, times) are ignored; blank lines and\n"
      "                lines starting with # or % are skipped\n"
      "  MatrixMarket  \"%%MatrixMarket matrix coordinate <pattern|integer|real|complex> <symmetry>\", comment\n"
      "                lines, a size line \"n n entries\", then one entry \"i j [value]\" per line, ids 1 to n;\n"
      "                values are ignored; every row is a vertex, also one without entries\n"
      "  label file    \"id label\" per line, ids as in the input, labels from -2147483648 to 2147483647;\n"
      "                separated and commented like an edge list. Every vertex needs a label; in a data\n"
      "                graph a labelled id without edges becomes an isolated vertex, in a query it is\n"
      "                ignored (one label file serves every pattern)\n"
      "\n"
      "Examples:\n"
      "  sgmatch-convert in=edges.txt out=data.graph labels=random:8 seed=1\n"
      "  sgmatch-convert kind=query in=triangle.txt in=square.txt out=query labels=pattern-labels.txt\n";
  return text;
}

bool convertFiles(const ConvertOptions& options, std::string* summary, std::string* error) {
  LabelFile labelFile;
  if (options.labelSource == LabelSource::file && !readLabelFile(options.labelPath, &labelFile, error)) return false;
  const LabelFile* labels = options.labelSource == LabelSource::file ? &labelFile : nullptr;
  LabelGenerator generator(options.seed);

  std::vector<ConvertedGraph> graphs(options.inputs.size());
  for (size_t i = 0; i < options.inputs.size(); ++i) {
    const std::string& input = options.inputs[i];
    if (!convertInput(input, options.format, options.kind, labels, &graphs[i], error)) return false;
    // A query without a vertex would be skipped by the matcher and shift the numbers of the rest.
    if (options.kind == OutputKind::query && graphs[i].labels.empty()) {
      *error = input + ": no edge, so the query would have no vertex";
      return false;
    }
    if (options.labelSource == LabelSource::random) drawRandomLabels(&generator, options.labelCount, &graphs[i]);
  }
  if (!writeOutputs(options, graphs, error)) return false;

  summary->clear();
  for (size_t i = 0; i < graphs.size(); ++i) {
    const std::string what =
        options.kind == OutputKind::data ? options.output : "query " + std::to_string(i) + " of " + options.output;
    *summary += summaryLine(what, options.inputs[i], graphs[i]);
  }
  if (!options.idsPath.empty()) *summary += "wrote " + options.idsPath + ": the input's id of every vertex\n";
  return true;
}

int runConvert(int argc, char** argv, std::ostream& out, std::ostream& err) {
  ConvertOptions options;
  std::string error;
  switch (parseConvertArguments(argc, argv, &options, &error)) {
    case ConvertRequest::help:
      out << convertUsage() << std::flush;
      return out ? 0 : 255;
    case ConvertRequest::version:
      out << "sgmatch-convert " << toolVersion() << "\n" << std::flush;
      return out ? 0 : 255;
    case ConvertRequest::invalid:
      err << "sgmatch-convert: " << error << "\n(sgmatch-convert --help lists the keys)\n" << std::flush;
      return 255;
    case ConvertRequest::convert:
      break;
  }
  std::string summary;
  bool converted = false;
  try {
    converted = convertFiles(options, &summary, &error);
  } catch (const std::bad_alloc&) {
    // The temporary files went with the objects that held them.
    error = "cannot convert " + options.inputs.front() + (options.inputs.size() > 1 ? " and the rest" : "") +
            ": out of memory";
  }
  if (!converted) {
    err << "sgmatch-convert: " << error << "\n" << std::flush;
    return 255;
  }
  out << summary << std::flush;
  if (!out) {
    err << "sgmatch-convert: cannot write the summary to standard output\n" << std::flush;
    return 255;
  }
  return 0;
}

// The results file, written with nlohmann::ordered_json so that every string (paths, messages) is escaped
// correctly whatever it holds. Each object is one write(2) of a whole line.
#include "results_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "fatal_error.h"
#include "key_table.h"
#include "settings.h"

namespace {

// A path as JSON: a string, or null when there is none.
nlohmann::ordered_json pathOrNull(const std::string& path) { return path.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(path); }

}  // namespace

ResultsFile::~ResultsFile() {
  if (fd >= 0) {
    registerResultsFile(-1);
    close(fd);
  }
}

void ResultsFile::open(const std::string& resultsPath) {
  path = resultsPath;
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) fatalError("Results cannot open " + path + ": " + errorText(errno));
  registerResultsFile(fd);
  onFatalError([this](const std::string& message) {
    writeLine(nlohmann::ordered_json{{"type", "error"}, {"message", message}}.dump());
  });
}

void ResultsFile::writeLine(const std::string& text) {
  const std::string line = text + "\n";
  const char* next = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const int error = written < 0 ? errno : EIO;
      registerResultsFile(-1);
      close(fd);
      fd = -1;
      fatalError("Results cannot write " + path + ": " + errorText(error));
    }
    next += written;
    left -= static_cast<size_t>(written);
  }
}

void ResultsFile::writeRun(int64_t vertices, int64_t edges, int64_t labels, double loadMs) {
  nlohmann::ordered_json settings{{"data", datapath},     {"query", querypath}, {"subgraph", subgraphpath},
                          {"stats", statspath},   {"maxfreq", maxfreq}, {"omark", output_mark},
                          {"timeout", options.timeout}, {"results", options.results}, {"threads", options.threads},
                          {"symmetry", options.symmetry == SymmetryMode::file       ? "file"
                                       : options.symmetry == SymmetryMode::none ? "none"
                                                                                : "auto"}};
  // Named only when it differs from the default, so that a listing run's file stays as it was.
  if (!options.list) settings["list"] = 0;
  nlohmann::ordered_json run{{"type", "run"}, {"tool", "sgmatch"}, {"version", toolVersion()}, {"settings", settings}};
  if (options.sharded) run["shard"] = std::to_string(options.shardIndex) + "/" + std::to_string(options.shardCount);
  run["data_graph"] = {{"vertices", vertices}, {"edges", edges}, {"labels", labels}};
  run["load_ms"] = loadMs;
  writeLine(run.dump());
}

void ResultsFile::writeQuery(const QueryResult& result) {
  nlohmann::ordered_json object{{"type", "query"},
                        {"query", result.number},
                        {"vertices", result.vertices},
                        {"edges", result.edges},
                        {"symmetry", result.symmetric ? 1 : 0},
                        {"frequency", result.frequency},
                        {"status", result.status},
                        {"exact", result.exact},
                        {"message", result.message.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(result.message)},
                        {"cpu_ms", result.cpuMs},
                        {"wall_ms", result.wallMs},
                        {"order", result.status == "refused" ? nlohmann::ordered_json() : nlohmann::ordered_json(result.order)},
                        {"stats_file", pathOrNull(result.statsFile)},
                        {"stats_bytes", result.statsBytes < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(result.statsBytes)}};
  writeLine(object.dump());
  ++queries;
  complete += result.status == "complete";
  limit += result.status == "limit";
  timeout += result.status == "timeout";
  zero += result.status == "zero";
  refused += result.status == "refused";
  overflow += result.status == "overflow";
  totalCpuMs += result.cpuMs;
  totalWallMs += result.wallMs;
}

void ResultsFile::writeEnd() {
  nlohmann::ordered_json end{{"type", "end"},     {"queries", queries},         {"complete", complete},
                     {"limit", limit},    {"timeout", timeout},         {"zero", zero},
                     {"refused", refused}, {"total_cpu_ms", totalCpuMs}, {"total_wall_ms", totalWallMs},
                     {"average_s", queries > 0 ? nlohmann::ordered_json(totalCpuMs * 0.001 / static_cast<double>(queries)) : nlohmann::ordered_json()}};
  // Only a count without listing can overflow; a listing run's end object stays as it was.
  if (!options.list) end["overflow"] = overflow;
  writeLine(end.dump());
  onFatalError(nullptr);
}

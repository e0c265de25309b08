// Settings, command line, the query loop and the embedding verifier's count. Every message and report
// line goes to standard output and is flushed at once; warnings about the command line and the inputs
// go to standard error.
#include "main.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <algorithm>
#include <iostream>
#include <memory>
#include <new>
#include <vector>

#include "fatal_error.h"
#include "graph.h"
#include "query.h"
#include "query_pipeline.h"
#include "query_watch.h"
#include "run_report.h"
#include "search_control.h"
#include "tool_keys.h"

std::string datapath = "data";
std::string querypath = "query";
std::string subgraphpath = "subgraphs";
std::string statspath = "stats";
uint64_t maxfreq = UINT64_MAX;
int output_mark = 0;
RunOptions options;

// Every argument is applied, whatever else the command line holds: help and version requests are the
// driver's, which looks for them before it parses.
void parseParameter(int argc, char** argv) { matchingToolKeys("sgmatch").applyKeys(argc, argv, std::cerr); }

namespace {

// What the run is doing, so that running out of memory can be reported with the file or query
// that needed it.
enum class Stage { readingData, indexingData, readingQuery, matchingQuery };

// A data file without vertex lines (an edge list, say) gives every query the count 0, which looks like
// an answer; the warning says why and what the tool reads.
void warnNoVertices() {
  std::cerr << "sgmatch: warning: no vertex line was read from the data graph " << datapath
            << ", so no query can have an embedding. The data graph file holds lines\n"
               "  v <id> <label>   a vertex (ids are 0, 1, 2, ... in line order)\n"
               "  e <u> <v>        an undirected edge between two vertices read before\n"
               "(sgmatch-convert turns an edge list into such a file.)"
            << std::endl;
}

// The part of the query file read so far, for the progress line; negative when unknown.
double queryFileShare(Query& query, long long queryFileSize) {
  if (queryFileSize <= 0) return -1;
  const auto position = query.queryFile.tellg();
  return position < 0 ? 1.0 : static_cast<double>(position) / static_cast<double>(queryFileSize);
}

// Matches the query just read and reports it: the road of a run on one thread.
void matchOne(Query& query, Graph& graph, SearchControl& control, QueryWatch* watch, long long queryFileSize,
              RunReport& report) {
  control.reset();
  registerRunningQuery(query.queryNumber, &control.found);
  if (watch != nullptr) watch->startQuery(0, query.queryNumber, &control, queryFileShare(query, queryFileSize));
  const auto wallStart = std::chrono::steady_clock::now();
  const clock_t start = clock();
  const uint64_t frequency = query.match(&graph);
  const clock_t end = clock();
  const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart).count();
  if (watch != nullptr) {
    watch->endQuery(0);
    watch->clearLine();
  }
  registerRunningQuery(-1, nullptr);
  report.query(outcomeOf(query, frequency, static_cast<double>(end - start), wallMs));
}

int runQueries(MatchEngine engine, bool withoutArguments, Stage* stage, int* queryNumber) {
  RunReport report;
  const int threads = threadCount();
  const bool progress = options.progress == 1 || (options.progress < 0 && isatty(STDERR_FILENO));
  std::unique_ptr<QueryWatch> watch;
  if (options.timeout > 0 || progress) watch = std::make_unique<QueryWatch>(options.timeout, progress, threads);
  *stage = Stage::readingData;
  double loadMs = 0;
  std::unique_ptr<Graph> graph = loadDataGraph(withoutArguments, &loadMs, watch.get());
  if (!graph) return -1;
  report.begin(*graph, loadMs);
  *stage = Stage::readingQuery;
  auto query = std::make_unique<Query>(querypath, subgraphpath, statspath, maxfreq);
  query->engine = engine;
  query->symmetry = options.symmetry;
  query->list = options.list;
  SearchControl control;
  control.stoppable = options.timeout > 0;
  query->control = &control;
  struct stat queryFileInfo;
  const long long queryFileSize = progress && stat(querypath.c_str(), &queryFileInfo) == 0 ? queryFileInfo.st_size : 0;
  *stage = Stage::indexingData;
  // From here on the fast engine reads only the index, so the graph's rows make way for it.
  if (engine == MatchEngine::fast) query->useDataGraphReleasingRows(graph.get());
  if (threads > 1) {
    QueryPipeline pipeline(threads, graph.get(), *query, &report, watch.get());
    for (;;) {
      *stage = Stage::readingQuery;
      if (!query->read()) break;
      if (query->vertexLabels.empty() || !options.inShard(query->queryNumber)) continue;
      *stage = Stage::matchingQuery;
      *queryNumber = query->queryNumber;
      pipeline.submit();
    }
    pipeline.finish();
  } else {
    for (;;) {
      *stage = Stage::readingQuery;
      if (!query->read()) break;
      if (query->vertexLabels.empty() || !options.inShard(query->queryNumber)) continue;
      *stage = Stage::matchingQuery;
      *queryNumber = query->queryNumber;
      matchOne(*query, *graph, control, watch.get(), queryFileSize, report);
    }
  }
  watch.reset();
  report.finish();
  return 0;
}

}  // namespace

int threadCount() {
  return options.threads == 0 ? static_cast<int>(std::max(1u, std::thread::hardware_concurrency())) : options.threads;
}

std::unique_ptr<Graph> loadDataGraph(bool withoutArguments, double* loadMs, QueryWatch* watch) {
  auto graph = std::make_unique<Graph>();
  const auto loadStart = std::chrono::steady_clock::now();
  // The watch reads the counter until the first query starts, so it lives as long as the process.
  static std::atomic<uint64_t> bytesRead{0};
  if (watch != nullptr) {
    struct stat info;
    const bool sized = stat(datapath.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    watch->loading(&bytesRead, sized ? static_cast<uint64_t>(info.st_size) : 0);
  }
  if (!graph->read(datapath.c_str(), threadCount(), watch != nullptr ? &bytesRead : nullptr)) {
    if (withoutArguments) {
      std::cerr << "sgmatch: no arguments were given, so the data graph is the file \"data\" of the working "
                   "directory; sgmatch --help lists the keys"
                << std::endl;
    }
    return nullptr;
  }
  *loadMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - loadStart).count();
  if (graph->labels.empty()) warnNoVertices();
  return graph;
}

int run(int argc, char** argv) { return run(argc, argv, MatchEngine::fast); }

int run(int argc, char** argv, MatchEngine engine) {
  const char* program = engine == MatchEngine::literal ? "sgmatch-literal" : "sgmatch";
  const KeyTable keys = matchingToolKeys(program);
  switch (keys.apply(argc, argv, std::cerr)) {
    case CommandLineRequest::help:
      std::cout << keys.usage() << std::flush;
      return 0;
    case CommandLineRequest::version:
      std::cout << program << " " << toolVersion() << std::endl;
      return 0;
    case CommandLineRequest::error:
      return -1;
    case CommandLineRequest::run:
      break;
  }
  handleTerminationSignals();
  Stage stage = Stage::readingData;
  int queryNumber = 0;
  try {
    return runQueries(engine, argc <= 1, &stage, &queryNumber);
  } catch (const std::bad_alloc&) {
    // The graph and the query are gone by now (the temporary statistics file with them), so the
    // message has memory to be written with.
    switch (stage) {
      case Stage::readingData:
        std::cout << "Graph cannot read " << datapath << ": out of memory" << std::endl;
        break;
      case Stage::indexingData:
        std::cout << "sgmatch: out of memory indexing the data graph " << datapath << std::endl;
        break;
      case Stage::readingQuery:
        std::cout << "Query cannot read " << querypath << ": out of memory" << std::endl;
        break;
      case Stage::matchingQuery:
        std::cout << "sgmatch: out of memory matching query " << queryNumber << std::endl;
        break;
    }
    return -1;
  }
}

int verify_embeddings(const std::vector<std::vector<int>>& adjacency, const char* path) {
  EmbeddingCounts counts;
  if (!checkEmbeddings(adjacency, path, &counts)) return 0;
  return static_cast<int>(counts.unique);
}

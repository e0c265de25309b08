// Settings, command line, the query loop and the embedding verifier's count. Every message and report
// line goes to standard output and is flushed at once; warnings about the command line and the inputs
// go to standard error.
#include "main.h"

#include <ctime>
#include <iostream>
#include <memory>
#include <new>
#include <vector>

#include "fatal_error.h"
#include "graph.h"
#include "query.h"
#include "tool_keys.h"

std::string datapath = "data";
std::string querypath = "query";
std::string subgraphpath = "subgraphs";
std::string statspath = "stats";
uint64_t maxfreq = UINT64_MAX;
int output_mark = 0;
RunOptions options;

void parseParameter(int argc, char** argv) { matchingToolKeys("sgmatch").apply(argc, argv, std::cerr); }

namespace {

// What the run is doing, so that running out of memory can be reported with the file or query
// that needed it.
enum class Stage { readingData, indexingData, readingQuery, matchingQuery };

// A report that cannot be written (standard output on a full disk, say) fails the run rather than
// ending it with status 0 and nothing to show; the message is tried, although it will hardly pass.
void checkReport() {
  if (std::cout) return;
  std::cout.clear();
  fatalError("sgmatch: cannot write the report to standard output");
}

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

// The first line of a shard's report: which shard of which query file it matched against which data
// graph, so that joining the shards can check that they belong together.
void printShardLine(const Graph& graph) {
  size_t rowEntries = 0;
  for (const std::vector<int>& row : graph.adjList) rowEntries += row.size();
  std::cout << "Shard " << options.shardIndex << "/" << options.shardCount << " of query file " << querypath
            << ", data graph " << datapath << " (" << graph.labels.size() << " vertices, " << rowEntries / 2
            << " edge lines)" << std::endl;
  checkReport();
}

int runQueries(MatchEngine engine, bool withoutArguments, Stage* stage, int* queryNumber) {
  *stage = Stage::readingData;
  auto graph = std::make_unique<Graph>();
  if (!graph->read(datapath.c_str())) {
    if (withoutArguments) {
      std::cerr << "sgmatch: no arguments were given, so the data graph is the file \"data\" of the working "
                   "directory; sgmatch --help lists the keys"
                << std::endl;
    }
    return -1;
  }
  if (graph->labels.empty()) warnNoVertices();
  if (options.sharded) printShardLine(*graph);
  *stage = Stage::readingQuery;
  auto query = std::make_unique<Query>(querypath, subgraphpath, statspath, maxfreq);
  query->engine = engine;
  *stage = Stage::indexingData;
  if (engine == MatchEngine::fast) query->useDataGraph(graph.get());
  int queryCount = 0;
  double timeSum = 0;
  for (;;) {
    *stage = Stage::readingQuery;
    if (!query->read()) break;
    if (query->vertexLabels.empty() || !options.inShard(query->queryNumber)) continue;
    *stage = Stage::matchingQuery;
    *queryNumber = query->queryNumber;
    clock_t start = clock();
    uint64_t frequency = query->match(graph.get());
    clock_t end = clock();
    double ticks = static_cast<double>(end - start);
    bool symmetric = query->checkSymestry();
    // The query's own number: in a plain run it equals the count of queries reported before it, and a
    // shard's lines keep the numbers of the whole file.
    std::cout << query->queryNumber << "\t#nodes: " << query->vertexLabels.size() << "\tSym: " << (symmetric ? 1 : 0)
              << "\tFreq: " << frequency << "\tTime/ms: " << ticks * 0.001;
    if (frequency > maxfreq) std::cout << " [pruned by maxfreq]";
    if (frequency == 0) std::cout << " [pruned by zero freq]";
    std::cout << std::endl;
    checkReport();
    timeSum += ticks;
    ++queryCount;
  }
  double average = timeSum * 0.000001 / queryCount;
  std::cout << "Average time per query: " << average << "s. Done!" << std::endl;
  checkReport();
  return 0;
}

}  // namespace

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

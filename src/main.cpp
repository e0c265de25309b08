// Settings, command line and the query loop. Every message and report line goes to standard output
// and is flushed at once.
#include "main.h"

#include <ctime>
#include <iostream>
#include <memory>
#include <new>
#include <vector>

#include "graph.h"
#include "query.h"
#include "string_split.h"
#include "text_number.h"

std::string datapath = "data";
std::string querypath = "query";
std::string subgraphpath = "subgraphs";
std::string statspath = "stats";
uint64_t maxfreq = UINT64_MAX;
int output_mark = 0;

void parseParameter(int argc, char** argv) {
  std::vector<std::string> tokens;
  for (int i = 1; i < argc; ++i) {
    SplitStringUsing(argv[i], "=", &tokens);
    if (tokens.size() < 2) continue;
    const std::string& key = tokens[0];
    const std::string& value = tokens[1];
    if (key == "data") {
      datapath = value;
    } else if (key == "query") {
      querypath = value;
    } else if (key == "subgraph") {  // singular, although the default file is "subgraphs"
      subgraphpath = value;
    } else if (key == "stats") {
      statspath = value;
    } else if (key == "maxfreq") {
      maxfreq = static_cast<uint64_t>(parseLong(value));
      if (output_mark != 0) std::cout << "maxfreq=" << maxfreq << std::endl;
    } else if (key == "omark") {
      output_mark = parseInt32(value);
    }
  }
}

namespace {

int runQueries() {
  auto graph = std::make_unique<Graph>();
  if (!graph->read(datapath.c_str())) return -1;
  auto query = std::make_unique<Query>(querypath, subgraphpath, statspath, maxfreq);
  int queryCount = 0;
  double timeSum = 0;
  while (query->read()) {
    if (query->vertexLabels.empty()) continue;
    clock_t start = clock();
    uint64_t frequency = query->match(graph.get());
    clock_t end = clock();
    double ticks = static_cast<double>(end - start);
    bool symmetric = query->checkSymestry();
    std::cout << queryCount << "\t#nodes: " << query->vertexLabels.size() << "\tSym: " << (symmetric ? 1 : 0)
              << "\tFreq: " << frequency << "\tTime/ms: " << ticks * 0.001;
    if (frequency > maxfreq) std::cout << " [pruned by maxfreq]";
    if (frequency == 0) std::cout << " [pruned by zero freq]";
    std::cout << std::endl;
    timeSum += ticks;
    ++queryCount;
  }
  double average = timeSum * 0.000001 / queryCount;
  std::cout << "Average time per query: " << average << "s. Done!" << std::endl;
  return 0;
}

}  // namespace

int run(int argc, char** argv) {
  parseParameter(argc, argv);
  try {
    return runQueries();
  } catch (const std::bad_alloc&) {
    std::cout << "sgmatch: out of memory" << std::endl;
    return -1;
  }
}

// The six run settings of the tool, set from the command line before any file is read and only read
// afterwards. Declared here, apart from the driver, so that the units below it depend downward only.
#pragma once

#include <cstdint>
#include <string>

extern std::string datapath;      // data graph file
extern std::string querypath;     // query file
extern std::string subgraphpath;  // subgraph output file
extern std::string statspath;     // directory of the statistics files
extern uint64_t maxfreq;          // frequency limit per query
extern int output_mark;           // non-zero: print diagnostics

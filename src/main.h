// The driver: the six run settings, the command line that sets them, and the query loop with its
// console report. `run` is the whole tool, so that it can be tested without starting a process.
#pragma once

#include <cstdint>
#include <string>

extern std::string datapath;      // data graph file
extern std::string querypath;     // query file
extern std::string subgraphpath;  // subgraph output file
extern std::string statspath;     // directory of the statistics files
extern uint64_t maxfreq;          // frequency limit per query
extern int output_mark;           // non-zero: print diagnostics

/// Applies the key=value arguments argv[1..argc-1] to the settings; anything else is ignored.
void parseParameter(int argc, char** argv);

/// Runs the tool on the process arguments and returns the exit status.
int run(int argc, char** argv);

// The driver: the six run settings, the command line that sets them, and the query loop with its
// console report. `run` is the whole tool, so that it can be tested without starting a process.
// Also verify_embeddings, the embedding verifier reduced to its count of unique embeddings.
#pragma once

#include <memory>
#include <vector>

#include "embedding_check.h"
#include "settings.h"

/// Applies the key=value arguments argv[1..argc-1] to the settings; anything else is ignored.
void parseParameter(int argc, char** argv);

enum class MatchEngine;

/// Runs the tool on the process arguments and returns the exit status; `engine` selects the search
/// (the plain reference search serves tests and benchmarks).
int run(int argc, char** argv, MatchEngine engine);
int run(int argc, char** argv);

class Graph;
class QueryWatch;

/// The threads the settings ask for: threads=0 means one per hardware thread.
int threadCount();

/// Reads the data graph named by the settings, with the warnings about it on standard error; null
/// after the reader's message when it cannot be read. `withoutArguments` adds a pointer to --help;
/// `watch`, when given, shows the share of the file read.
std::unique_ptr<Graph> loadDataGraph(bool withoutArguments, double* loadMs, QueryWatch* watch = nullptr);

/// checkEmbeddings reduced to the number of unique embeddings; 0 when the file cannot be opened or
/// read, or holds no embedding.
int verify_embeddings(const std::vector<std::vector<int>>& adjacency, const char* path);

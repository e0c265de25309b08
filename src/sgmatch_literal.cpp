// Entry point of the reference build of the tool: the same command line and outputs, with the plain
// recursive search; it exists to check and to measure the default engine against.
#include "main.h"
#include "query.h"

int main(int argc, char** argv) { return run(argc, argv, MatchEngine::literal); }

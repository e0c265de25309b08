// Entry point of sgmatch-merge, which joins the outputs of shard runs into those of one whole run.
#include "shard_merge.h"

int main(int argc, char** argv) { return runMerge(argc, argv); }

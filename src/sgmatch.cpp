// Entry point of the matching tool.
#include "main.h"

int main(int argc, char** argv) { return run(argc, argv); }

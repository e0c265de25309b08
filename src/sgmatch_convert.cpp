// Entry point of sgmatch-convert, which turns edge lists and MatrixMarket files into data graph and
// query files.
#include <iostream>

#include "convert_tool.h"

int main(int argc, char** argv) { return runConvert(argc, argv, std::cout, std::cerr); }

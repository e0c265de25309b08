// Entry point of sgmatch-verify, the checker of a finished run's statistics files.
#include "verify_tool.h"

int main(int argc, char** argv) { return runVerify(argc, argv); }

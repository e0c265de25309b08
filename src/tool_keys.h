// The command line of the matching tool (sgmatch and its variants): the table of its keys, which sets
// the run settings, and the usage text made from it.
#pragma once

#include "key_table.h"

/// The keys of the matching tool, for the program named `program` in messages and the usage text.
KeyTable matchingToolKeys(const char* program);

// Sorting short runs of ints (the rows of a data graph are mostly a few dozen entries long): a
// sorting network in vector registers when the processor has AVX2, whose cost does not depend on
// how the values compare, so that no branch is mispredicted.
#pragma once

#include <cstddef>

/// The longest run sortShort sorts with the network; longer runs are sorted by std::sort.
constexpr size_t shortSortLimit = 16;

/// Sorts values[0, count) ascending.
void sortShort(int* values, size_t count);

// Inclusion-exclusion over the ways chosen ("free") vertices can share images. The number of maps
// that are injective everywhere is the sum, over the partitions of the vertices into blocks of one
// label with no edge inside and at most one non-free vertex each, of the Moebius coefficient of the
// partition (the product over blocks B of (-1)^(|B|-1) (|B|-1)!) times the number of maps of the
// quotient pattern (each block one vertex) that are injective on the blocks holding a non-free
// vertex. Free vertices are chosen in the trees of the pattern, where they can be peeled into
// weights; the quotients are counted like any pattern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "count_plan.h"

struct CollisionTerm {
  int64_t coefficient = 1;
  Pattern pattern;  // the quotient; a block without a non-free vertex is free
};

/// Free vertices for `pattern`: tree vertices without symmetry constraints whose image could equal
/// another vertex's (a vertex of the same label that is not a neighbour), taken leaves first while
/// the number of terms stays within `maxTerms` and, with `maxDistance`, while every such other
/// vertex lies within that distance (2 keeps every quotient's trees trees: identifying two vertices
/// with a common neighbour closes no cycle). All false when none is worth it.
std::vector<bool> chooseFreeVertices(const Pattern& pattern, size_t maxTerms, int maxDistance = 1 << 30);

/// The number of terms the free vertices give.
size_t collisionTermCount(const Pattern& pattern, const std::vector<bool>& freeVertex);

/// The terms for `pattern` (whose vertices are not free) with the vertices in `freeVertex` allowed
/// to share images; the first term is the pattern itself with those vertices free.
std::vector<CollisionTerm> collisionTerms(const Pattern& pattern, const std::vector<bool>& freeVertex);

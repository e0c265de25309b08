// The label-preserving automorphism group of a query graph, and symmetry classes that leave exactly
// one embedding of every automorphism class for a given matching order. Assumes nothing about the
// query's size or shape; nauty's Traces searches what twin folding leaves symmetric.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// What computeQuerySymmetry found for one query under one matching order.
///
/// `classes` has one row per query vertex, in the query file's numbering, in the form of the
/// query's symmetry lines: an entry x in the row of vertex v makes the search require that the
/// earlier of x and v in the matching order maps to the smaller data vertex id, and every entry
/// here lies at or before its row's vertex. A vertex that must map above some earlier vertices
/// gets the row {v, its direct predecessors, the first vertex it is ordered after, directly or
/// through others}, ascending; every other vertex gets an empty row. Hence some row has two or
/// more entries exactly when the group is not trivial, and the colour of a row (the smallest of
/// its index and its entries, in matching-order numbering) is the position of the first vertex of
/// the chain of constraints the vertex belongs to, which the vertices of one chain share.
struct QuerySymmetry {
  std::vector<std::vector<int>> classes;
  bool orderExact = true;        // groupOrder is |Aut| itself; otherwise |Aut| exceeds 2^64 - 1
  uint64_t groupOrder = 1;       // |Aut| when orderExact
  double groupOrderLog10 = 0;    // log10 |Aut|, always set
  int orbitCount = 0;            // orbits of the group on the query vertices
  int baseLength = 0;            // vertices fixed along the stabiliser chain
  int searches = 0;              // Traces searches of a symmetric part of the folded query
  int64_t constraintCount = 0;   // ordered pairs the classes state, without implied ones
};

/// Computes the automorphism group of the query (`labels`, `neighbors` in the query file's
/// numbering; rows may repeat entries, need not list an edge from both ends and may be fewer than
/// the vertices; self-loops are kept as a vertex property) and the classes for `matchingOrder`
/// (entry i is the vertex at position i). False, with `problem` set and `symmetry` untouched, when
/// the order is not a permutation of the vertices or a row names no vertex (or, which no input
/// should cause, Traces refuses a search). Throws std::bad_alloc when memory runs out, also inside
/// nauty.
bool computeQuerySymmetry(const std::vector<int>& labels, const std::vector<std::vector<int>>& neighbors,
                          const std::vector<int>& matchingOrder, QuerySymmetry& symmetry, std::string& problem);

/// |Aut| in decimal when exact, otherwise as "d.ddddde+N" from its logarithm.
std::string describeGroupOrder(const QuerySymmetry& symmetry);

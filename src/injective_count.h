// The number of injective assignments of a few vertices whose candidate sets may overlap, from the
// sizes of the intersections of those sets: inclusion-exclusion over the set partitions of the
// vertices (sum over partitions of prod over blocks of (-1)^(|B|-1) (|B|-1)! |intersection of B|).
// Vertices with the same candidate set form a group; the polynomial is built once per query. A single
// group may also carry order constraints among its members: C(s, k) times the number of orders of
// the members that respect them.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

class InjectiveCount {
 public:
  /// Vertices counted at most; the polynomial of k vertices has up to Bell(k) terms.
  static constexpr int maxMembers = 8;

  /// Builds the polynomial for members whose groups are given (ids 0..g-1, each used, g <= 8);
  /// `precedences` are pairs (a, b) of members whose images must satisfy f(a) < f(b), acyclic and
  /// allowed only when all members form one group. False (nothing built) past maxMembers members,
  /// or for precedences over several groups.
  bool build(const std::vector<int>& groupOfMember, const std::vector<std::pair<int, int>>& precedences = {});

  /// The group subsets (bit masks over group ids) whose intersection sizes `evaluate` reads, in
  /// this order: first each single group (group i at position i), then the larger subsets.
  const std::vector<uint32_t>& subsets() const { return subsetMasks; }

  int members() const { return memberCount; }
  int groups() const { return groupCount; }

  struct Value {
    unsigned __int128 count;  // exact when !huge
    bool huge;                // the number is at least 2^128
  };

  /// The number of injective assignments, given sizes[i] = the size of the intersection of the
  /// candidate sets of the groups in subsets()[i]. Exact for any sizes below 2^32.
  Value evaluate(const uint64_t* sizes) const;

  /// The weighted form, for groups of one member each: sums[i] = the sum over the intersection of
  /// the sets in subsets()[i] of the product of the members' weights at each element. The result
  /// (a count, so never negative) is computed modulo 2^64 and 2^61 - 1 and reconstructed; false
  /// when it may reach 2^124, where that no longer identifies it.
  bool evaluateWeighted(const unsigned __int128* sums, unsigned __int128* result) const;

 private:
  struct Term {
    int64_t coefficient;
    uint32_t first, length;  // its factors: positions in `factors`
  };

  Value evaluateWide(const uint64_t* sizes) const;

  int memberCount = 0;
  int groupCount = 0;
  bool oneGroup = false;               // a falling factorial
  uint64_t orders = 0;                 // with precedences: orders of the members respecting them
  std::vector<int> groupSize;          // members per group
  std::vector<uint32_t> subsetMasks;
  std::vector<Term> terms;
  std::vector<uint8_t> factors;        // indices into subsetMasks
  double factorialOfMembers = 1;
};

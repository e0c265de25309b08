// Line splitting at delimiter characters, and the set operations on ascending integer vectors
// that the search combines candidates with. Every text input of the tool passes the splitter.
#pragma once

#include <string>
#include <vector>

/// Replaces *result by the maximal non-empty runs of `full` free of every character of `delim`;
/// empty when `full` holds only delimiters.
void SplitStringUsing(const std::string& full, const char* delim, std::vector<std::string>* result);

/// The elements the two ascending vectors share, each as often as the smaller multiplicity, ascending.
std::vector<int> vector_intersection(const std::vector<int>& first, const std::vector<int>& second);

/// The elements of the ascending minuend that the subtrahend does not cancel (each subtrahend element
/// cancels one equal element), in the minuend's order. The subtrahend is sorted on its own copy.
std::vector<int> vector_minus(const std::vector<int>& minuend, std::vector<int> subtrahend);

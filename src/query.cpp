// The road of one query: read it, order its vertices, renumber it along the order, enumerate its
// embeddings into the statistics file (or count them without listing), and append its record to the
// subgraph output file.
// A malformed query is refused at reading time and reported with frequency 0.
#include "query.h"

#include <sys/stat.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <iostream>
#include <string>
#include <utility>

#include "anchor_queue.h"
#include "data_index.h"
#include "embedding_counter.h"
#include "embedding_search.h"
#include "fatal_error.h"
#include "graph.h"
#include "query_automorphisms.h"
#include "settings.h"
#include "string_split.h"
#include "text_number.h"

namespace {

void appendNumber(std::string& text, long long value) { text += std::to_string(value); }

const std::vector<int> emptyRow;

// Count first: the held listing's size (in ints, about one per embedding) at which the counter is
// first asked, and the growth of that mark between two asks. All asks together may take a share of
// the time the listing would take to reach the limit at its rate so far (so a query the limit
// prunes costs at most that share more when the counter is slow), and never more than a few times
// the time the listing has taken (so a listing that ends below the limit, which the rate cannot
// foresee, costs at most that much more).
constexpr size_t firstCountMark = size_t{1} << 15;
constexpr size_t countMarkGrowth = 16;
constexpr double countingShare = 0.25;
constexpr double countingCap = 8;
// Planning a count takes a time that no deadline interrupts and that grows quickly with the query's
// size (about 3 ms at 8 vertices, 30 ms at 16, 200 ms at 24 on the real networks): an allowance
// below this many seconds times the square of the vertex count is not worth an ask, and the listing
// is looked at again when it has grown four times.
constexpr double smallestCountBudgetPerSquare = 0.0005;
constexpr size_t skippedMarkGrowth = 4;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction and reading

Query::Query() : search(std::make_unique<EmbeddingSearch>()) {}

Query::Query(std::string queryPath, std::string subgraphPath, std::string statsPath, uint64_t limit)
    : queryFilePath(std::move(queryPath)),
      subgraphFilePath(std::move(subgraphPath)),
      statsDirPath(std::move(statsPath)),
      freqLimit(limit),
      search(std::make_unique<EmbeddingSearch>()) {
  // A directory opens as a stream but cannot be read as a query file.
  struct stat info;
  const bool isDirectory = stat(queryFilePath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  if (!isDirectory) queryFile.open(queryFilePath);
  if (isDirectory || !queryFile.is_open()) fatalError("Query cannot open " + queryFilePath);
  subgraphFile.open(subgraphFilePath, std::ios::out | std::ios::trunc);
  if (!subgraphFile.is_open()) fatalError("Subgraph cannot open " + subgraphFilePath);
}

void Query::useDataGraph(Graph* graph) { shareIndex(graph, std::make_shared<const DataIndex>(*graph)); }

void Query::useDataGraphReleasingRows(Graph* graph) {
  shareIndex(graph, std::make_shared<const DataIndex>(*graph, true));
}

void Query::shareIndex(Graph* graph, std::shared_ptr<const DataIndex> index) {
  dataIndex = std::move(index);
  search->prepare(*dataIndex);
  indexedGraph = graph;
  indexedRevision = graph->revision();
}

Query::~Query() {
  queryFile.close();
  subgraphFile.close();
}

void Query::noteProblem(long long line, const std::string& text) {
  // The earliest line decides which problem is reported.
  if (!problem.empty() && problemLine <= line) return;
  problemLine = line;
  problem = queryFilePath + ":" + std::to_string(line) + ": " + text;
}

bool Query::read() {
  if (!queryFile.is_open() || queryFile.eof()) return false;
  vertexLabels.clear();
  neighbors.clear();
  symClasses.clear();
  edgeCount = 0;
  problem.clear();
  problemLine = 0;

  std::vector<PendingEdge> edges;
  std::vector<PendingClass> classes;
  std::string line;
  for (;;) {
    errno = 0;
    std::getline(queryFile, line);
    if (queryFile.bad()) {
      fatalError("Query cannot read " + queryFilePath + " after line " + std::to_string(linesRead) + ": " +
                 errorText(errno != 0 ? errno : EIO));
    }
    ++linesRead;
    if (output_mark != 0) say(line + "\n");
    if (!line.empty() && line[0] == 't') break;
    readLine(line, &edges, &classes);
    if (queryFile.eof()) break;
  }

  if (vertexLabels.empty()) return true;
  ++queryNumber;
  if (output_mark != 0) {
    say("query #" + std::to_string(queryNumber) + "\nnumber of vertices: " + std::to_string(vertexLabels.size()) +
        "\nnumber of edges: " + std::to_string(edgeCount) + "\n");
  }
  checkRows(edges, classes);
  buildRows(edges, classes);
  symColor();
  return true;
}

// One line of a query other than its separator: a vertex, an edge or a symmetry line, or nothing.
void Query::readLine(const std::string& line, std::vector<PendingEdge>* edges, std::vector<PendingClass>* classes) {
  const char kind = line.empty() ? '\0' : line[0];
  if (kind != 'v' && kind != 'e' && kind != 'a') return;
  std::vector<std::string> tokens;
  SplitStringUsing(line, " ", &tokens);
  if (kind == 'v') {
    if (tokens.size() < 3) {
      // The line still counts as a vertex of the query, so that a query made only of such lines is
      // numbered and reported as refused rather than skipped as empty.
      noteProblem(linesRead, "vertex line with fewer than three fields");
      vertexLabels.push_back(0);
    } else {
      vertexLabels.push_back(parseInt32(tokens[2]));
    }
  } else if (kind == 'e') {
    if (tokens.size() < 3) {
      noteProblem(linesRead, "edge line with fewer than three fields");
    } else {
      edges->push_back({parseInt32(tokens[1]), parseInt32(tokens[2]), linesRead});
      ++edgeCount;
    }
  } else if (symmetry == SymmetryMode::file) {
    // Without the file's classes the symmetry lines are not read, so they cannot refuse a query.
    PendingClass symmetryLine{{}, linesRead};
    for (size_t i = 1; i < tokens.size(); ++i) symmetryLine.members.push_back(parseInt32(tokens[i]));
    classes->push_back(std::move(symmetryLine));
  }
}

// Edge and symmetry lines may precede the vertex lines they name, so they are checked against the
// final vertex count and turned into rows only once the query is complete.
void Query::checkRows(const std::vector<PendingEdge>& edges, const std::vector<PendingClass>& classes) {
  const long long n = static_cast<long long>(vertexLabels.size());
  const std::string vertexCount = " is not a vertex of the query (it has " + std::to_string(n) + ")";
  for (const PendingEdge& edge : edges) {
    for (int end : {edge.u, edge.v}) {
      if (end < 0 || end >= n) noteProblem(edge.line, "edge endpoint " + std::to_string(end) + vertexCount);
    }
    if (edge.u == edge.v) noteProblem(edge.line, "self-loop edge on vertex " + std::to_string(edge.u));
  }
  for (size_t i = 0; i < classes.size(); ++i) {
    if (static_cast<long long>(i) >= n) {
      noteProblem(classes[i].line, "more symmetry lines than vertices (" + std::to_string(n) + ")");
      break;
    }
    for (int member : classes[i].members) {
      if (member < 0 || member >= n) {
        noteProblem(classes[i].line, "symmetry class member " + std::to_string(member) + vertexCount);
      }
    }
  }
}

void Query::buildRows(const std::vector<PendingEdge>& edges, const std::vector<PendingClass>& classes) {
  const size_t n = vertexLabels.size();
  if (!problem.empty()) {
    // A refused query is still reported with the symmetry flag of its lines as read.
    for (const PendingClass& symmetryLine : classes) symClasses.push_back(symmetryLine.members);
    return;
  }
  if (!edges.empty()) {
    neighbors.assign(n, {});
    for (const PendingEdge& edge : edges) {
      neighbors[edge.u].push_back(edge.v);
      neighbors[edge.v].push_back(edge.u);
    }
  }
  if (!classes.empty()) {
    symClasses.assign(n, {});
    for (size_t i = 0; i < classes.size(); ++i) symClasses[i] = classes[i].members;
  }
}

// Console text of reading and matching: written and flushed at once, or kept for the caller to write
// in order.
void Query::say(const std::string& text) {
  if (deferred != nullptr) {
    deferred->console += text;
  } else {
    std::cout << text << std::flush;
  }
}

// ---------------------------------------------------------------------------------------------
// Symmetry classes

bool Query::checkSymestry() {
  for (const auto& members : symClasses) {
    if (members.size() > 1) return true;
  }
  return false;
}

void Query::symColor() {
  colors.clear();
  for (size_t i = 0; i < symClasses.size(); ++i) {
    int color = static_cast<int>(i);
    for (int member : symClasses[i]) color = std::min(color, member);
    colors.push_back(color);
  }
}

// ---------------------------------------------------------------------------------------------
// Subgraph output

void Query::emitSubgraphText(const std::string& text) {
  if (holdingRecord) {
    heldRecord += text;
  } else if (deferred != nullptr) {
    deferred->record += text;
  } else {
    appendRecord(text);
  }
}

void Query::appendRecord(const std::string& text) {
  errno = 0;
  subgraphFile.write(text.data(), static_cast<std::streamsize>(text.size()));
  subgraphFile.flush();
  if (!subgraphFile) {
    fatalError("Subgraph cannot write " + subgraphFilePath + ": " + errorText(errno != 0 ? errno : EIO));
  }
}

void Query::writeQuery() {
  std::string text = "#\t";
  appendNumber(text, queryNumber);
  text += '\t';
  appendNumber(text, static_cast<long long>(vertexLabels.size()));
  text += '\t';
  appendNumber(text, edgeCount);
  text += "\nT";
  for (int label : vertexLabels) {
    text += '\t';
    appendNumber(text, label);
  }
  text += "\nE";
  for (size_t i = 0; i < neighbors.size(); ++i) {
    for (int j : neighbors[i]) {
      text += '\t';
      appendNumber(text, static_cast<long long>(i));
      text += '\t';
      appendNumber(text, j);
    }
  }
  text += checkSymestry() ? "\nS\t1\n" : "\nS\t0\n";
  symColor();
  emitSubgraphText(text);
  writeColors();
}

void Query::writeColors() {
  std::string text = "C";
  for (int color : colors) {
    text += '\t';
    appendNumber(text, color);
  }
  text += '\n';
  emitSubgraphText(text);
}

// The record reaches the file in one write, so it is there whole or not at all.
void Query::writeRecord() {
  holdingRecord = true;
  heldRecord.clear();
  writeQuery();
  writeFrequency();
  holdingRecord = false;
  emitSubgraphText(heldRecord);
}

void Query::writeFrequency() {
  std::string text = "F\t";
  text += std::to_string(frequency);
  text += '\n';
  emitSubgraphText(text);
}

// ---------------------------------------------------------------------------------------------
// Matching order

namespace {

// The seed of the order: the lowest-numbered endpoint of a rarest edge, then its first rarest
// neighbour; (0, 0) and INT_MAX when no vertex has a neighbour.
struct Seed {
  int frequency = INT_MAX, first = 0, second = 0;
};

Seed rarestEdge(const std::vector<int>& labels, const std::vector<std::vector<int>>& rows, const AnchorQueue& anchors) {
  const int n = static_cast<int>(labels.size());
  Seed seed;
  for (int i = 0; i < n && i < static_cast<int>(rows.size()); ++i) {
    int f = INT_MAX, h = 0;
    for (int w : rows[i]) {
      if (w < 0 || w >= n) continue;
      const int c = anchors.pairFrequency(labels[i], labels[w]);
      if (c < f) {
        f = c;
        h = w;
      }
    }
    if (f < seed.frequency) seed = {f, i, h};
  }
  return seed;
}

}  // namespace

void Query::getOrder(Graph* graph) {
  matchingOrder.clear();
  const int n = static_cast<int>(vertexLabels.size());
  if (n == 0) return;
  AnchorQueue anchors(vertexLabels, neighbors, *graph);
  const Seed seed = rarestEdge(vertexLabels, neighbors, anchors);
  const int first = seed.first, second = seed.second;
  const int bestSeed = seed.frequency;
  if (n == 1) {
    // One vertex: the seed pair names it twice, and changeOrder refuses the order.
    matchingOrder = {first, second};
    return;
  }

  std::vector<bool> ordered(n, false);
  auto append = [&](int v) {
    ordered[v] = true;
    matchingOrder.push_back(v);
    anchors.addAnchor(v, static_cast<int>(matchingOrder.size()) - 1, ordered);
  };
  append(first);
  if (bestSeed != INT_MAX && second != first) append(second);

  // Greedy extension; a step without a finite offer takes the lowest-numbered unordered vertex,
  // so the order never repeats a vertex and covers every component.
  int lowestUnordered = 0;
  while (static_cast<int>(matchingOrder.size()) < n) {
    int next = anchors.next(ordered, matchingOrder);
    if (next < 0) {
      while (ordered[lowestUnordered]) ++lowestUnordered;
      next = lowestUnordered;
    }
    append(next);
  }
}

bool Query::changeOrder() {
  const size_t m = matchingOrder.size();
  const size_t n = vertexLabels.size();
  orderPosition.assign(m, 0);
  std::string orderLine;
  for (size_t i = 0; i < m; ++i) {
    const int v = matchingOrder[i];
    if (v >= 0 && static_cast<size_t>(v) < m) orderPosition[v] = static_cast<int>(i);
    if (output_mark != 0) orderLine += std::to_string(v) + "\t";
  }
  if (output_mark != 0) say(orderLine + "\n");
  if (n != m) {
    say("matching order size does not match the vertex number!\n");
    std::getc(stdin);
    return false;
  }
  auto renumbered = [&](const std::vector<std::vector<int>>& rows, int v) {
    std::vector<int> result;
    if (v >= 0 && static_cast<size_t>(v) < rows.size()) {
      for (int x : rows[v]) {
        if (x >= 0 && static_cast<size_t>(x) < m) result.push_back(orderPosition[x]);
      }
    }
    std::sort(result.begin(), result.end());
    return result;
  };
  std::vector<int> newLabels(m);
  std::vector<std::vector<int>> newClasses(m), newNeighbors(m);
  for (size_t i = 0; i < m; ++i) {
    const int v = matchingOrder[i];
    newLabels[i] = v >= 0 && static_cast<size_t>(v) < n ? vertexLabels[v] : 0;
    newClasses[i] = renumbered(symClasses, v);
    newNeighbors[i] = renumbered(neighbors, v);
  }
  vertexLabels = std::move(newLabels);
  symClasses = std::move(newClasses);
  neighbors = std::move(newNeighbors);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Enumeration

uint64_t Query::match(Graph* graph) {
  frequency = 0;
  status = MatchStatus::refused;
  if (list) statsFile.open(statsDirPath, queryNumber);
  const size_t n = vertexLabels.size();
  if (!problem.empty() || n == 0) {
    if (!problem.empty()) say("Query " + std::to_string(queryNumber) + " refused: " + problem + "\n");
    statsFile.discard();
    return 0;
  }
  // Queries without edge or symmetry lines get an empty row for every vertex.
  neighbors.resize(n);
  symClasses.resize(n);
  if (n == 1) {
    // A single vertex needs no order: each data vertex of its label is one embedding.
    matchingOrder.assign(1, 0);
  } else {
    getOrder(graph);
  }
  if (symmetry == SymmetryMode::automatic && !computeClasses()) {
    say("Query " + std::to_string(queryNumber) + " refused: " + problem + "\n");
    statsFile.discard();
    return 0;
  }
  if (!changeOrder()) {
    statsFile.discard();
    return 0;
  }
  countPassedLimit = countOverflowed = false;
  const bool completed = list ? enumerate(graph) : countEmbeddings(graph);
  if (completed) {
    status = MatchStatus::complete;
  } else if (countOverflowed) {
    status = MatchStatus::overflow;
  } else {
    const bool stopped = !countPassedLimit && control != nullptr && control->stopRequested();
    status = stopped ? MatchStatus::stopped : MatchStatus::limit;
  }
  if (completed && frequency >= 1) {
    if (list) statsFile.keep();
    writeRecord();
  } else {
    statsFile.discard();
  }
  return frequency;
}

// The classes that keep one embedding of every automorphism class of the query, for its matching
// order; false, with `problem` set, when they cannot be computed.
bool Query::computeClasses() {
  QuerySymmetry computed;
  std::string why;
  if (!computeQuerySymmetry(vertexLabels, neighbors, matchingOrder, computed, why)) {
    problem = queryFilePath + ": query " + std::to_string(queryNumber) + ": " + why;
    return false;
  }
  symClasses = std::move(computed.classes);
  symClasses.resize(vertexLabels.size());
  return true;
}

// Runs the chosen search over the renumbered query, listing into the statistics file; false when the
// limit stopped it.
bool Query::enumerate(Graph* graph) {
  const int n = static_cast<int>(vertexLabels.size());
  if (engine == MatchEngine::literal) {
    // The reference search writes and flushes each line at once, as the plain program does.
    listing = &statsFile.begin(n, StatsWriter::Mode::eachLine);
    std::vector<int> embedding;
    return recursivelyMatch(graph, embedding);
  }
  indexGraph(graph);
  // Under a limit or a time limit the listing may still be deleted: it is held until the search ends.
  const bool mayBeDeleted = freqLimit != UINT64_MAX || (control != nullptr && control->stoppable);
  StatsWriter& writer = statsFile.begin(n, mayBeDeleted ? StatsWriter::Mode::held : StatsWriter::Mode::buffered);
  search->setControl(control);
  search->setBoard(splitBoard);
  if (freqLimit != UINT64_MAX && control != nullptr && countFirst != CountFirst::never) {
    listingStart = std::chrono::steady_clock::now();
    countingSeconds = 0;
    nextCountMark = countFirst == CountFirst::always ? 0 : firstCountMark;
    writer.watchHeld(nextCountMark, [this, &writer] { askCounter(writer); });
  }
  const EmbeddingSearch::Result result =
      search->run(*dataIndex, vertexLabels, neighbors, symClasses, freqLimit, writer);
  frequency = countPassedLimit ? freqLimit + 1 : result.frequency;
  return result.completed && !countPassedLimit;
}

// A listing under a limit has grown past a mark: the counter, within what is left of its time
// allowance, tells whether the count passes the limit. If it does, the search is asked to stop,
// since nothing it lists would be kept; a count within the limit lets the listing go on unasked; a
// counter out of time is asked again at a mark further on, where the allowance has grown.
void Query::askCounter(StatsWriter& writer) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  StopHook hook;
  hook.flag = &control->stop;
  if (countFirst == CountFirst::automatic) {
    const double listingSeconds = std::max(std::chrono::duration<double>(start - listingStart).count() - countingSeconds, 0.0);
    const double toLimit = static_cast<double>(freqLimit) / static_cast<double>(std::max<size_t>(nextCountMark, 1));
    const double budget =
        std::min(countingShare * listingSeconds * toLimit, countingCap * listingSeconds) - countingSeconds;
    const double n = static_cast<double>(vertexLabels.size());
    if (budget < smallestCountBudgetPerSquare * n * n) {
      nextCountMark *= skippedMarkGrowth;
      writer.watchHeld(nextCountMark, [this, &writer] { askCounter(writer); });
      return;
    }
    hook.deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(budget));
  }
  const CountResult result = engineCounter().count(*dataIndex, vertexLabels, neighbors, symClasses, freqLimit, hook);
  countingSeconds += std::chrono::duration<double>(Clock::now() - start).count();
  if (!result.completed && !result.stoppedByHook && !result.overflow) {
    countPassedLimit = true;
    control->stop.store(true, std::memory_order_relaxed);
    return;
  }
  if (result.completed || control->stopRequested()) return;
  nextCountMark = std::max<size_t>(nextCountMark, 1) * countMarkGrowth;
  writer.watchHeld(nextCountMark, [this, &writer] { askCounter(writer); });
}

// Counts the renumbered query without listing; false when the limit, the control or an overflow
// stopped the count.
bool Query::countEmbeddings(Graph* graph) {
  if (engine == MatchEngine::literal) {
    listing = nullptr;
    std::vector<int> embedding;
    return recursivelyMatch(graph, embedding);
  }
  indexGraph(graph);
  StopHook hook;
  if (control != nullptr) hook.flag = &control->stop;
  const CountResult result = engineCounter().count(*dataIndex, vertexLabels, neighbors, symClasses, freqLimit, hook);
  frequency = result.count;
  if (control != nullptr) control->publish(frequency);
  countOverflowed = result.overflow;
  countPassedLimit = !result.completed && !result.stoppedByHook && !result.overflow;
  return result.completed;
}

EmbeddingCounter& Query::engineCounter() {
  if (!counter) counter = std::make_unique<EmbeddingCounter>();
  counter->setBoard(splitBoard);
  return *counter;
}

// The search index, built again whenever the graph differs or has changed since.
void Query::indexGraph(Graph* graph) {
  if (!dataIndex || graph != indexedGraph || graph->revision() != indexedRevision) {
    // A graph without its rows can only be searched through the index built before they went.
    assert(!graph->rowsReleased());
    useDataGraph(graph);
  }
}

bool Query::recursivelyMatch(Graph* graph, std::vector<int>& embedding) {
  const size_t k = embedding.size();
  if (control != nullptr && control->stopRequested()) return false;
  if (k >= vertexLabels.size()) {
    ++frequency;
    if (frequency > freqLimit) return false;
    if (control != nullptr) control->publish(frequency);
    if (listing != nullptr) listing->add(embedding.data());
    return true;
  }
  auto dataRow = [&](int v) -> const std::vector<int>& {
    return static_cast<size_t>(v) < graph->adjList.size() ? graph->adjList[v] : emptyRow;
  };
  const int label = vertexLabels[k];
  std::vector<int> earlier;
  for (int w : neighbors[k]) {
    if (static_cast<size_t>(w) < k) earlier.push_back(w);
  }
  std::vector<int> candidates;
  if (!earlier.empty()) {
    // Repeated data edges are dropped from the first row; the intersections then keep single copies.
    for (int v : dataRow(embedding[earlier[0]])) {
      if (graph->labels[v] == label && (candidates.empty() || candidates.back() != v)) candidates.push_back(v);
    }
    for (size_t j = 1; j < earlier.size(); ++j) {
      candidates = vector_intersection(candidates, dataRow(embedding[earlier[j]]));
    }
  } else {
    auto it = graph->labelVertices.find(label);
    if (it != graph->labelVertices.end()) candidates = it->second;
  }
  candidates = vector_minus(candidates, embedding);
  for (int c : candidates) {
    bool broken = false;
    for (int x : symClasses[k]) {
      if (static_cast<size_t>(x) < k && embedding[x] > c) {
        broken = true;
        break;
      }
    }
    if (broken) continue;
    embedding.push_back(c);
    if (!recursivelyMatch(graph, embedding)) return false;
    embedding.pop_back();
  }
  return true;
}

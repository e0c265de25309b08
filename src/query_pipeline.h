// Matching several queries at once. The reading thread reads the queries in file order and hands a
// copy of each to the worker threads, each with a Query of its own (search buffers, statistics file)
// and the one shared index of the data graph; what the matches print and the records they write come
// back to the reading thread, which writes them in query order, so that every output is that of a run
// on one thread. Statistics files are written by the workers: each is complete or absent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "query.h"
#include "run_report.h"
#include "search_control.h"

class DataIndex;
class Graph;
class QueryWatch;

class QueryPipeline {
 public:
  /// Starts `threads` workers matching in `graph` with the settings of `reader` (statistics
  /// directory, limit, engine); `watch` (may be null) sees every query start and end.
  QueryPipeline(int threads, Graph* graph, Query& reader, RunReport& report, QueryWatch* watch);
  /// Stops the workers; `finish` first for a complete run.
  ~QueryPipeline();
  QueryPipeline(const QueryPipeline&) = delete;
  QueryPipeline& operator=(const QueryPipeline&) = delete;

  /// Queues the query that `reader` has just read; writes the outputs of the queries before it that
  /// are done, and waits while too many are pending.
  void submit();

  /// Waits for every queued query and writes the outputs of all.
  void finish();

 private:
  struct Job {
    // The query as read.
    int number = 0;
    int edgeCount = 0;
    std::vector<int> labels;
    std::vector<std::vector<int>> neighbors;
    std::vector<std::vector<int>> symClasses;
    std::vector<int> colors;
    std::string problem;
    std::string prelude;  // what reading it printed, before its match's text
    // Its match: the control of the worker that took it, and what it gave.
    SearchControl* control = nullptr;
    bool done = false;
    std::string error;  // the error that ended its match: the run ends when the job's turn comes
    QueryOutcome outcome;
    Query::DeferredOutput output;
  };
  struct Worker {
    std::unique_ptr<Query> query;
    SearchControl control;
    std::thread thread;
  };

  void work(int slot);
  void match(int slot, Job& job);
  void commitReady(std::unique_lock<std::mutex>& lock, bool waitForFront);
  [[noreturn]] void failAt(std::unique_lock<std::mutex>& lock);
  void registerFront();

  Graph* graph;
  Query& reader;
  RunReport& report;
  QueryWatch* watch;
  size_t window;  // queries pending at most
  std::vector<std::unique_ptr<Worker>> workers;
  std::mutex mutex;
  std::condition_variable jobReady, jobDone;
  std::deque<std::unique_ptr<Job>> pending;  // in query order, oldest first
  size_t nextToStart = 0;                    // index into pending of the first job not yet taken
  Query::DeferredOutput readerOutput;        // what the reader printed since the last query taken
  bool stopping = false;
};

// Matching several queries at once. The reading thread reads the queries in file order and queues a
// copy of each; worker threads, each with a Query of its own (search buffers, statistics file) and the
// one shared index of the data graph, take them in order. What the matches print and the records
// they write come back to the reading thread, which commits them in query order, so that every output
// is that of a run on one thread. Statistics files are written by the workers: each is complete or
// absent. Jobs may also be handed to another process (an MPI rank) and completed from its results.
// A worker with no query to take helps with the long searches of the others (parallel_search.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "parallel_search.h"
#include "query.h"
#include "run_report.h"
#include "search_control.h"

class Graph;
class QueryWatch;

class QueryPipeline {
 public:
  /// What one query's match gave.
  struct Result {
    QueryOutcome outcome;
    Query::DeferredOutput output;  // its console text and its record
    std::string error;             // the error that ended its match; empty when none
    std::string origin;            // where it was matched ("rank 2"), for the message of an error
  };
  /// Commits a finished query: `prelude` is what reading it printed. The default writes the query's
  /// outputs (console text, record, report line) and ends the run at a query whose match failed.
  using Commit = std::function<void(const std::string& prelude, Result& result)>;

  /// Starts `threads` workers (none is allowed when every job goes to another process) matching in
  /// `graph` with the settings of `reader` (statistics directory, limit, engine, symmetry); `watch`
  /// (may be null) sees every query start and end; `commit` replaces the default commit.
  QueryPipeline(int threads, Graph* graph, Query& reader, RunReport* report, QueryWatch* watch, Commit commit = {});
  /// Stops the workers; `finish` first for a complete run.
  ~QueryPipeline();
  QueryPipeline(const QueryPipeline&) = delete;
  QueryPipeline& operator=(const QueryPipeline&) = delete;

  /// Queues the query that `reader` has just read, commits the queries before it that are done, and
  /// waits while too many are pending.
  void submit();

  /// Queues the query that `reader` has just read, without waiting.
  void queue();

  /// Commits the done queries at the front, without waiting; true when it committed any.
  bool commitDone();

  /// Waits for every queued query and commits all.
  void finish();

  /// Queries queued and not yet committed.
  size_t pendingCount();

  /// Takes the first queued query that no worker has taken, for another process; its number, or -1.
  int takeForRemote();

  /// Completes a query taken for another process with that process's result.
  void completeRemote(int number, Result result);

  /// Waits until a local worker finishes a query, or `timeout` passes.
  void waitForWorkers(std::chrono::microseconds timeout);

  /// The queries a full window holds: the reading side keeps the queue no longer.
  size_t windowSize() const { return window; }

  /// Names this process in the message of an error of a query matched here ("rank 0").
  void setOrigin(const std::string& name) { origin = name; }

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
    // Its match: the control of the worker that took it (none when another process took it).
    SearchControl* control = nullptr;
    bool done = false;
    Result result;
  };
  struct Worker {
    std::unique_ptr<Query> query;
    SearchControl control;
    std::thread thread;
  };

  void work(int slot);
  void match(int slot, Job& job);
  void commitReady(std::unique_lock<std::mutex>& lock, bool waitForFront);
  void writeInOrder(Job& job);
  [[noreturn]] void failAt(std::unique_lock<std::mutex>& lock);
  void registerFront();

  Graph* graph;
  Query& reader;
  RunReport* report;
  QueryWatch* watch;
  Commit commit;
  size_t window;  // queries pending at most
  std::unique_ptr<SplitBoard> board;  // long searches shared with workers that have no query to match
  std::vector<std::unique_ptr<Worker>> workers;
  std::mutex mutex;
  std::condition_variable jobReady, jobDone;
  std::deque<std::unique_ptr<Job>> pending;  // in query order, oldest first
  size_t nextToStart = 0;                    // index into pending of the first job not yet taken
  bool stopping = false;
  std::string origin;
  Query::DeferredOutput readerOutput;        // what the reader printed since the last query queued
};

// Workers take jobs from the front of the pending queue in order; the reading thread commits done jobs
// from the front. A job's outputs are small (its console lines and its record), so many can wait
// behind a slow query while the workers go on with the queries after it.
#include "query_pipeline.h"

#include <cstdio>
#include <iostream>
#include <new>
#include <utility>

#include "fatal_error.h"
#include "graph.h"
#include "query_watch.h"

namespace {

// Queries pending per worker: enough that a slow query keeps no worker idle for long.
constexpr size_t pendingPerWorker = 256;

}  // namespace

QueryPipeline::QueryPipeline(int threads, Graph* dataGraph, Query& queryReader, RunReport* runReport,
                             QueryWatch* queryWatch, Commit customCommit)
    : graph(dataGraph),
      reader(queryReader),
      report(runReport),
      watch(queryWatch),
      commit(std::move(customCommit)),
      window(pendingPerWorker * static_cast<size_t>(std::max(threads, 1))) {
  if (!reader.index() && reader.engine == MatchEngine::fast) reader.useDataGraph(graph);
  reader.deferred = &readerOutput;
  if (threads > 1 && reader.engine == MatchEngine::fast) {
    board = std::make_unique<SplitBoard>(threads, [this] {
      std::lock_guard<std::mutex> lock(mutex);
      jobReady.notify_all();
    });
  }
  for (int slot = 0; slot < threads; ++slot) {
    auto worker = std::make_unique<Worker>();
    worker->query = std::make_unique<Query>();
    Query& query = *worker->query;
    query.statsDirPath = reader.statsDirPath;
    query.freqLimit = reader.freqLimit;
    query.engine = reader.engine;
    query.symmetry = reader.symmetry;
    query.list = reader.list;
    query.countFirst = reader.countFirst;
    query.control = &worker->control;
    query.splitBoard = board.get();
    worker->control.stoppable = reader.control != nullptr && reader.control->stoppable;
    if (reader.index()) query.shareIndex(graph, reader.index());
    workers.push_back(std::move(worker));
  }
  for (int slot = 0; slot < threads; ++slot) workers[slot]->thread = std::thread([this, slot] { work(slot); });
}

QueryPipeline::~QueryPipeline() {
  reader.deferred = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  jobReady.notify_all();
  for (auto& worker : workers) worker->thread.join();
}

void QueryPipeline::queue() {
  auto job = std::make_unique<Job>();
  job->number = reader.queryNumber;
  job->edgeCount = reader.edgeCount;
  job->labels = reader.vertexLabels;
  job->neighbors = reader.neighbors;
  job->symClasses = reader.symClasses;
  job->colors = reader.colors;
  job->problem = reader.problem;
  job->prelude = std::move(readerOutput.console);
  readerOutput.console.clear();
  std::lock_guard<std::mutex> lock(mutex);
  pending.push_back(std::move(job));
  jobReady.notify_one();
}

void QueryPipeline::submit() {
  queue();
  std::unique_lock<std::mutex> lock(mutex);
  commitReady(lock, pending.size() >= window);
}

bool QueryPipeline::commitDone() {
  std::unique_lock<std::mutex> lock(mutex);
  const size_t before = pending.size();
  commitReady(lock, false);
  return pending.size() != before;
}

void QueryPipeline::finish() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!pending.empty()) commitReady(lock, true);
  lock.unlock();
  // What the reader printed after the last query (the lines of queries without vertices).
  std::cout << readerOutput.console << std::flush;
  readerOutput.console.clear();
}

size_t QueryPipeline::pendingCount() {
  std::lock_guard<std::mutex> lock(mutex);
  return pending.size();
}

int QueryPipeline::takeForRemote() {
  std::lock_guard<std::mutex> lock(mutex);
  if (nextToStart >= pending.size()) return -1;
  return pending[nextToStart++]->number;
}

void QueryPipeline::completeRemote(int number, Result result) {
  std::lock_guard<std::mutex> lock(mutex);
  for (auto& job : pending) {
    if (job->number == number && !job->done) {
      job->result = std::move(result);
      job->done = true;
      break;
    }
  }
  jobDone.notify_all();
}

void QueryPipeline::waitForWorkers(std::chrono::microseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex);
  const bool frontDone = !pending.empty() && pending.front()->done;
  if (!frontDone) jobDone.wait_for(lock, timeout);
}

void QueryPipeline::work(int slot) {
  deferFatalErrorsOnThisThread();
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    if (board) board->setIdle(true);
    jobReady.wait(lock, [&] { return stopping || nextToStart < pending.size() || (board && board->hasQueued()); });
    if (board) board->setIdle(false);
    if (stopping) return;
    if (nextToStart >= pending.size()) {
      // No query waits: help with a part of a long search.
      lock.unlock();
      Query& helper = *workers[static_cast<size_t>(slot)]->query;
      board->helpOnce(helper.engineSearch(), helper.engineCounter());
      lock.lock();
      continue;
    }
    Job& job = *pending[nextToStart++];
    job.control = &workers[static_cast<size_t>(slot)]->control;
    lock.unlock();
    job.result.outcome.number = job.number;
    try {
      match(slot, job);
    } catch (const DeferredFatalError& error) {
      job.result.error = error.message;
    } catch (const std::bad_alloc&) {
      job.result.error = "sgmatch: out of memory matching query " + std::to_string(job.number);
    }
    job.result.origin = origin;
    lock.lock();
    job.done = true;
    jobDone.notify_all();
  }
}

void QueryPipeline::match(int slot, Job& job) {
  Worker& worker = *workers[static_cast<size_t>(slot)];
  Query& query = *worker.query;
  query.queryNumber = job.number;
  query.edgeCount = job.edgeCount;
  query.vertexLabels = std::move(job.labels);
  query.neighbors = std::move(job.neighbors);
  query.symClasses = std::move(job.symClasses);
  query.colors = std::move(job.colors);
  query.problem = std::move(job.problem);
  query.deferred = &job.result.output;
  worker.control.reset();
  if (watch != nullptr) watch->startQuery(slot, job.number, &worker.control, -1);
  // With several threads the time of a match is its wall-clock time: processor time would add up
  // every thread of the process.
  const auto start = std::chrono::steady_clock::now();
  const uint64_t frequency = query.match(graph);
  const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (watch != nullptr) watch->endQuery(slot);
  job.result.outcome = outcomeOf(query, frequency, wallMs * 1000, wallMs);
  query.deferred = nullptr;
}

// Commits the done jobs at the front; with `waitForFront`, first waits until the front one is done.
void QueryPipeline::commitReady(std::unique_lock<std::mutex>& lock, bool waitForFront) {
  if (waitForFront && !pending.empty()) {
    registerFront();
    jobDone.wait(lock, [&] { return pending.front()->done; });
  }
  while (!pending.empty() && pending.front()->done) {
    if (!commit && !pending.front()->result.error.empty()) failAt(lock);
    std::unique_ptr<Job> job = std::move(pending.front());
    pending.pop_front();
    --nextToStart;
    // The workers go on while the outputs are written.
    lock.unlock();
    if (commit) {
      commit(job->prelude, job->result);
    } else {
      writeInOrder(*job);
    }
    lock.lock();
  }
  registerFront();
}

void QueryPipeline::writeInOrder(Job& job) {
  const Query::DeferredOutput& output = job.result.output;
  if (!job.prelude.empty() || !output.console.empty()) std::cout << job.prelude << output.console << std::flush;
  if (!output.record.empty()) reader.appendRecord(output.record);
  if (watch != nullptr) watch->clearLine();
  if (report != nullptr) report->query(job.result.outcome);
}

// The front job failed: the run ends there, as a run on one thread would. The workers stop at their
// next check; the listings kept for queries after the failed one are removed, since that run would
// not have reached them.
void QueryPipeline::failAt(std::unique_lock<std::mutex>& lock) {
  const std::string message = pending.front()->result.error;
  if (!pending.front()->result.origin.empty()) {
    std::cerr << "sgmatch-mpi: " << pending.front()->result.origin << " failed on query " << pending.front()->number
              << ": " << message << std::endl;
  }
  stopping = true;
  for (auto& worker : workers) worker->control.stop.store(true, std::memory_order_relaxed);
  jobDone.wait(lock, [&] {
    for (size_t i = 1; i < nextToStart; ++i) {
      if (!pending[i]->done && pending[i]->control != nullptr) return false;
    }
    return true;
  });
  for (size_t i = 1; i < nextToStart; ++i) {
    const QueryOutcome& outcome = pending[i]->result.outcome;
    if (pending[i]->done && pending[i]->result.error.empty() && outcome.status == MatchStatus::complete &&
        outcome.frequency > 0) {
      std::remove(outcome.statsPath.c_str());
    }
  }
  fatalError(message);
}

// A signal names the oldest pending query, the one the report waits for.
void QueryPipeline::registerFront() {
  if (pending.empty() || nextToStart == 0) {
    registerRunningQuery(-1, nullptr);
    return;
  }
  const Job& front = *pending.front();
  registerRunningQuery(front.number, front.control != nullptr ? &front.control->found : nullptr);
}

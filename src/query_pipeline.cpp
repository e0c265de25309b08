// Workers take jobs from the front of the pending queue in order; the reading thread commits done jobs
// from the front. A job's outputs are small (its console lines and its record), so many can wait
// behind a slow query while the workers go on with the queries after it.
#include "query_pipeline.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <iostream>
#include <utility>

#include "fatal_error.h"
#include "graph.h"
#include "query_watch.h"

namespace {

// Queries pending per worker: enough that a slow query keeps no worker idle for long.
constexpr size_t pendingPerWorker = 256;

}  // namespace

QueryPipeline::QueryPipeline(int threads, Graph* dataGraph, Query& queryReader, RunReport& runReport,
                             QueryWatch* queryWatch)
    : graph(dataGraph),
      reader(queryReader),
      report(runReport),
      watch(queryWatch),
      window(pendingPerWorker * static_cast<size_t>(threads)) {
  if (!reader.index()) reader.useDataGraph(graph);
  reader.deferred = &readerOutput;
  for (int slot = 0; slot < threads; ++slot) {
    auto worker = std::make_unique<Worker>();
    worker->query = std::make_unique<Query>();
    Query& query = *worker->query;
    query.statsDirPath = reader.statsDirPath;
    query.freqLimit = reader.freqLimit;
    query.engine = reader.engine;
    query.symmetry = reader.symmetry;
    query.control = &worker->control;
    worker->control.stoppable = reader.control != nullptr && reader.control->stoppable;
    query.shareIndex(graph, reader.index());
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

void QueryPipeline::submit() {
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
  std::unique_lock<std::mutex> lock(mutex);
  pending.push_back(std::move(job));
  jobReady.notify_one();
  commitReady(lock, pending.size() >= window);
}

void QueryPipeline::finish() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!pending.empty()) commitReady(lock, true);
  // What the reader printed after the last query (the lines of queries without vertices).
  std::cout << readerOutput.console << std::flush;
  readerOutput.console.clear();
}

void QueryPipeline::work(int slot) {
  deferFatalErrorsOnThisThread();
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    jobReady.wait(lock, [&] { return stopping || nextToStart < pending.size(); });
    if (stopping) return;
    Job& job = *pending[nextToStart++];
    job.control = &workers[static_cast<size_t>(slot)]->control;
    lock.unlock();
    try {
      match(slot, job);
    } catch (const DeferredFatalError& error) {
      job.error = error.message;
    } catch (const std::bad_alloc&) {
      job.error = "sgmatch: out of memory matching query " + std::to_string(job.number);
    }
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
  query.deferred = &job.output;
  worker.control.reset();
  if (watch != nullptr) watch->startQuery(slot, job.number, &worker.control, -1);
  // With several threads the time of a match is its wall-clock time: processor time would add up
  // every thread of the process.
  const auto start = std::chrono::steady_clock::now();
  const uint64_t frequency = query.match(graph);
  const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (watch != nullptr) watch->endQuery(slot);
  job.outcome = outcomeOf(query, frequency, wallMs * 1000, wallMs);
  query.deferred = nullptr;
}

// Writes the done jobs at the front; with `waitForFront`, first waits until the front one is done.
void QueryPipeline::commitReady(std::unique_lock<std::mutex>& lock, bool waitForFront) {
  if (waitForFront && !pending.empty()) {
    registerFront();
    jobDone.wait(lock, [&] { return pending.front()->done; });
  }
  while (!pending.empty() && pending.front()->done) {
    if (!pending.front()->error.empty()) failAt(lock);
    std::unique_ptr<Job> job = std::move(pending.front());
    pending.pop_front();
    --nextToStart;
    // The workers go on while the outputs are written.
    lock.unlock();
    if (!job->prelude.empty() || !job->output.console.empty()) std::cout << job->prelude << job->output.console << std::flush;
    if (!job->output.record.empty()) reader.appendRecord(job->output.record);
    if (watch != nullptr) watch->clearLine();
    report.query(job->outcome);
    lock.lock();
  }
  registerFront();
}

// The front job failed: the run ends there, as a run on one thread would. The workers stop at their
// next check; the listings kept for queries after the failed one are removed, since that run would
// not have reached them.
void QueryPipeline::failAt(std::unique_lock<std::mutex>& lock) {
  const std::string message = pending.front()->error;
  stopping = true;
  for (auto& worker : workers) worker->control.stop.store(true, std::memory_order_relaxed);
  jobDone.wait(lock, [&] {
    for (size_t i = 1; i < nextToStart; ++i) {
      if (!pending[i]->done) return false;
    }
    return true;
  });
  for (size_t i = 1; i < nextToStart; ++i) {
    const QueryOutcome& outcome = pending[i]->outcome;
    if (pending[i]->error.empty() && outcome.status == MatchStatus::complete && outcome.frequency > 0) {
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

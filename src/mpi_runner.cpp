// sgmatch-mpi: one run of the matching tool spread over the ranks of an MPI job. Every rank loads the
// data graph and reads the query file; rank 0 hands out query numbers one at a time as ranks ask for
// work (so a costly query holds back nothing but itself), matches some itself, and writes the report,
// the subgraph file and the results file in query order from the results the ranks send back: the
// bytes of one sgmatch run, times aside. Statistics files are written by the rank that matched the
// query, into the shared directory. A failure on any rank aborts the whole job.
#include "mpi_runner.h"

#include <fcntl.h>
#include <mpi.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "fatal_error.h"
#include "graph.h"
#include "key_table.h"
#include "main.h"
#include "query.h"
#include "query_pipeline.h"
#include "query_watch.h"
#include "run_report.h"
#include "settings.h"
#include "tool_keys.h"

namespace {

enum Tag { requestTag = 1, jobTag = 2, resultTag = 3 };

// How long an idle rank waits for work or messages before looking again.
constexpr std::chrono::microseconds idleWait(200);

[[noreturn]] void abortAll(int status) { MPI_Abort(MPI_COMM_WORLD, status); _exit(status); }

// A result travels as a byte string of fields: numbers in 8 bytes, strings and arrays with their length.
class Encoder {
 public:
  void number(int64_t value) { bytes.append(reinterpret_cast<const char*>(&value), sizeof value); }
  void real(double value) { bytes.append(reinterpret_cast<const char*>(&value), sizeof value); }
  void text(const std::string& value) {
    number(static_cast<int64_t>(value.size()));
    bytes += value;
  }
  void numbers(const std::vector<int>& values) {
    number(static_cast<int64_t>(values.size()));
    for (int value : values) number(value);
  }
  std::string bytes;
};

class Decoder {
 public:
  explicit Decoder(const std::string& source) : bytes(source) {}
  int64_t number() {
    int64_t value = 0;
    take(&value, sizeof value);
    return value;
  }
  double real() {
    double value = 0;
    take(&value, sizeof value);
    return value;
  }
  std::string text() {
    const size_t size = static_cast<size_t>(number());
    if (size > bytes.size() - at) fatalError("sgmatch-mpi: a malformed result message");
    std::string value = bytes.substr(at, size);
    at += size;
    return value;
  }
  std::vector<int> numbers() {
    std::vector<int> values(static_cast<size_t>(number()));
    for (int& value : values) value = static_cast<int>(number());
    return values;
  }

 private:
  void take(void* value, size_t size) {
    if (size > bytes.size() - at) fatalError("sgmatch-mpi: a malformed result message");
    std::memcpy(value, bytes.data() + at, size);
    at += size;
  }
  const std::string& bytes;
  size_t at = 0;
};

std::string encode(const QueryPipeline::Result& result) {
  const QueryOutcome& outcome = result.outcome;
  Encoder out;
  out.number(outcome.number);
  out.number(static_cast<int64_t>(outcome.vertices));
  out.number(outcome.edges);
  out.number(outcome.symmetric);
  out.number(static_cast<int64_t>(outcome.frequency));
  out.number(static_cast<int64_t>(outcome.status));
  out.real(outcome.ticks);
  out.real(outcome.wallMs);
  out.text(outcome.problem);
  out.numbers(outcome.order);
  out.text(outcome.statsPath);
  out.text(result.output.console);
  out.text(result.output.record);
  out.text(result.error);
  return out.bytes;
}

QueryPipeline::Result decode(const std::string& bytes) {
  Decoder in(bytes);
  QueryPipeline::Result result;
  QueryOutcome& outcome = result.outcome;
  outcome.number = static_cast<int>(in.number());
  outcome.vertices = static_cast<size_t>(in.number());
  outcome.edges = static_cast<int>(in.number());
  outcome.symmetric = in.number() != 0;
  outcome.frequency = static_cast<uint64_t>(in.number());
  outcome.status = static_cast<MatchStatus>(in.number());
  outcome.ticks = in.real();
  outcome.wallMs = in.real();
  outcome.problem = in.text();
  outcome.order = in.numbers();
  outcome.statsPath = in.text();
  result.output.console = in.text();
  result.output.record = in.text();
  result.error = in.text();
  return result;
}

// Rank 0 reads queries ahead until the pipeline's window is full or the file ends.
void readAhead(Query& query, QueryPipeline& pipeline, bool* readerDone) {
  while (!*readerDone && pipeline.pendingCount() < pipeline.windowSize()) {
    if (!query.read()) {
      *readerDone = true;
    } else if (!query.vertexLabels.empty() && options.inShard(query.queryNumber)) {
      pipeline.queue();
    }
  }
}

// Rank 0 takes every message that has arrived: requests for work add to the sender's credits,
// results go to the pipeline and earn the sender one more query. False when none had arrived.
bool receiveMessages(QueryPipeline& pipeline, std::vector<int>& credits) {
  bool progressed = false;
  int arrived = 0;
  MPI_Status status;
  while (MPI_Iprobe(MPI_ANY_SOURCE, MPI_ANY_TAG, MPI_COMM_WORLD, &arrived, &status) == MPI_SUCCESS && arrived) {
    progressed = true;
    if (status.MPI_TAG == requestTag) {
      int count = 0;
      MPI_Recv(&count, 1, MPI_INT, status.MPI_SOURCE, requestTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      credits[static_cast<size_t>(status.MPI_SOURCE)] += count;
      continue;
    }
    int size = 0;
    MPI_Get_count(&status, MPI_CHAR, &size);
    std::string bytes(static_cast<size_t>(size), '\0');
    MPI_Recv(bytes.data(), size, MPI_CHAR, status.MPI_SOURCE, resultTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    QueryPipeline::Result result = decode(bytes);
    result.origin = "rank " + std::to_string(status.MPI_SOURCE);
    const int number = result.outcome.number;
    pipeline.completeRemote(number, std::move(result));
    ++credits[static_cast<size_t>(status.MPI_SOURCE)];
  }
  return progressed;
}

// Rank 0 hands each rank as many waiting queries as it has credits; false when it sent none.
bool sendJobs(int ranks, QueryPipeline& pipeline, std::vector<int>& credits) {
  bool progressed = false;
  for (int rank = 1; rank < ranks; ++rank) {
    while (credits[static_cast<size_t>(rank)] > 0) {
      int number = pipeline.takeForRemote();
      if (number < 0) break;
      MPI_Send(&number, 1, MPI_INT, rank, jobTag, MPI_COMM_WORLD);
      --credits[static_cast<size_t>(rank)];
      progressed = true;
    }
  }
  return progressed;
}

// Rank 0: reads the queries, hands them out, matches some itself and writes every output in order.
void coordinate(int ranks, Graph& graph, RunReport& report) {
  Query query(querypath, subgraphpath, statspath, maxfreq);
  query.symmetry = options.symmetry;
  query.list = options.list;
  SearchControl control;
  control.stoppable = options.timeout > 0;
  query.control = &control;
  std::unique_ptr<QueryWatch> watch;
  if (options.timeout > 0) watch = std::make_unique<QueryWatch>(options.timeout, false, threadCount());
  // Only the index is searched from here on, so the graph's rows make way for it.
  if (query.engine == MatchEngine::fast) query.useDataGraphReleasingRows(&graph);
  QueryPipeline pipeline(threadCount(), &graph, query, &report, watch.get());
  pipeline.setOrigin("rank 0");
  std::vector<int> credits(static_cast<size_t>(ranks), 0);
  bool readerDone = false;
  for (;;) {
    readAhead(query, pipeline, &readerDone);
    bool progressed = receiveMessages(pipeline, credits);
    progressed |= sendJobs(ranks, pipeline, credits);
    progressed |= pipeline.commitDone();
    if (readerDone && pipeline.pendingCount() == 0) break;
    if (!progressed) pipeline.waitForWorkers(idleWait);
  }
  const int stop = -1;
  for (int rank = 1; rank < ranks; ++rank) MPI_Send(&stop, 1, MPI_INT, rank, jobTag, MPI_COMM_WORLD);
  pipeline.finish();
}

// Another rank: matches the queries rank 0 sends and sends back what each gave.
void work(Graph& graph) {
  Query reader;
  reader.queryFilePath = querypath;
  reader.statsDirPath = statspath;
  reader.freqLimit = maxfreq;
  reader.symmetry = options.symmetry;
  reader.list = options.list;
  reader.queryFile.open(querypath);
  if (!reader.queryFile.is_open()) fatalError("Query cannot open " + querypath);
  SearchControl control;
  control.stoppable = options.timeout > 0;
  reader.control = &control;
  std::unique_ptr<QueryWatch> watch;
  if (options.timeout > 0) watch = std::make_unique<QueryWatch>(options.timeout, false, threadCount());
  if (reader.engine == MatchEngine::fast) reader.useDataGraphReleasingRows(&graph);
  QueryPipeline pipeline(threadCount(), &graph, reader, nullptr, watch.get(),
                         [](const std::string&, QueryPipeline::Result& result) {
                           const std::string bytes = encode(result);
                           MPI_Send(bytes.data(), static_cast<int>(bytes.size()), MPI_CHAR, 0, resultTag, MPI_COMM_WORLD);
                         });
  // Each rank asks for a few queries per thread, and for one more with every result it sends.
  int credits = 2 * threadCount();
  MPI_Send(&credits, 1, MPI_INT, 0, requestTag, MPI_COMM_WORLD);
  bool stopped = false;
  for (;;) {
    int arrived = 0;
    while (!stopped && MPI_Iprobe(0, jobTag, MPI_COMM_WORLD, &arrived, MPI_STATUS_IGNORE) == MPI_SUCCESS && arrived) {
      int number = 0;
      MPI_Recv(&number, 1, MPI_INT, 0, jobTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      if (number < 0) {
        stopped = true;
        break;
      }
      // Queries are handed out in increasing order: read on to this one.
      while (reader.queryNumber < number || reader.vertexLabels.empty()) {
        if (!reader.read()) fatalError("sgmatch-mpi: query " + std::to_string(number) + " is not in " + querypath);
      }
      pipeline.queue();
    }
    pipeline.commitDone();
    if (stopped && pipeline.pendingCount() == 0) break;
    pipeline.waitForWorkers(idleWait);
  }
  pipeline.finish();
}

// Parses the command line on every rank; rank 0 prints the help, the version and the errors.
CommandLineRequest parse(int argc, char** argv, int rank) {
  const KeyTable keys = matchingToolKeys("sgmatch-mpi");
  std::ostream silent(nullptr);
  const CommandLineRequest request = keys.apply(argc, argv, rank == 0 ? std::cerr : silent);
  if (rank == 0 && request == CommandLineRequest::help) std::cout << keys.usage() << std::flush;
  if (rank == 0 && request == CommandLineRequest::version) std::cout << "sgmatch-mpi " << toolVersion() << std::endl;
  return request;
}

// Only rank 0 writes the report (and the diagnostics the settings ask for); the others' messages
// go to standard error with their rank.
void quietOtherRank(int rank) {
  const int devNull = open("/dev/null", O_WRONLY);
  if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
  setFatalMessageEcho("sgmatch-mpi: rank " + std::to_string(rank) + ": ");
}

// Loads the data graph on every rank and matches the queries; the exit status, 255 when some rank
// could not load the graph.
int loadAndMatch(int rank, int ranks, bool noArguments) {
  double loadMs = 0;
  std::unique_ptr<Graph> graph = loadDataGraph(rank == 0 && noArguments, &loadMs);
  // Every rank reads the same file; if some cannot, none goes on.
  int loaded = graph ? 1 : 0, allLoaded = 0;
  MPI_Allreduce(&loaded, &allLoaded, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  if (!allLoaded) {
    if (loaded) {
      std::cerr << "sgmatch-mpi: rank " << rank << " read the data graph, another rank could not" << std::endl;
    }
    return 255;
  }
  if (rank == 0) {
    RunReport report;
    report.begin(*graph, loadMs);
    coordinate(ranks, *graph, report);
    report.finish();
  } else {
    work(*graph);
  }
  return 0;
}

}  // namespace

int runMpi(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  int rank = 0, ranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  if (rank != 0) quietOtherRank(rank);
  const CommandLineRequest request = parse(argc, argv, rank);
  if (request != CommandLineRequest::run) {
    MPI_Finalize();
    return request == CommandLineRequest::error ? 255 : 0;
  }
  setFatalExit(abortAll);
  handleTerminationSignals();
  setSignalMessageName(("sgmatch-mpi rank " + std::to_string(rank)).c_str());
  int status = 0;
  try {
    status = loadAndMatch(rank, ranks, argc <= 1);
  } catch (const std::bad_alloc&) {
    fatalError("sgmatch-mpi: rank " + std::to_string(rank) + " ran out of memory");
  }
  MPI_Finalize();
  return status;
}

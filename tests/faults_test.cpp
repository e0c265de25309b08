// Faults of the environment, end to end through the binaries: a full disk under the subgraph output
// file, a statistics directory that is a file, input paths that name directories, files whose read
// fails (/proc/self/mem fails at offset 0 with EIO, for root too), and memory exhaustion under
// an address-space limit. Each must end the run with a message naming the path and status 255,
// and no report line may claim a count whose output was not written.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

class Faults : public testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir.file("data"), "v 0 5\nv 1 5\nv 2 5\ne 0 1\ne 1 2\ne 0 2\n");
    // Query 0 has 3 embeddings, query 1 has 6.
    writeFile(dir.file("query"), "v 0 5\nv 1 5\ne 0 1\na 0 1\na 0 1\nt\nv 0 5\nv 1 5\ne 0 1\n");
  }

  ProcessResult sgmatch(const std::vector<std::string>& arguments) {
    return runProcess(SGMATCH_BINARY, arguments, dir.path());
  }

  // Runs sgmatch under an address-space limit of `kilobytes`.
  ProcessResult limited(long kilobytes, const std::string& arguments) {
    const std::string command = "ulimit -v " + std::to_string(kilobytes) + "; exec " + SGMATCH_BINARY + " " + arguments;
    return runProcess("/bin/sh", {"-c", command}, dir.path());
  }

  TempDir dir;
};

const char* const firstReport = "0\t#nodes: 2\tSym: 1\tFreq: 3\tTime/ms: T\n";

TEST_F(Faults, AFullDiskUnderTheSubgraphFileEndsTheRunBeforeTheReportLine) {
  const ProcessResult run = sgmatch({"subgraph=/dev/full"});
  EXPECT_EQ(run.output, "Subgraph cannot write /dev/full: No space left on device\n");
  EXPECT_EQ(run.status, 255);
  // The listing was complete when the record failed; nothing temporary is left.
  EXPECT_EQ(listDirectory(dir.file("stats")), std::vector<std::string>{"0"});
  EXPECT_EQ(readFile(dir.file("stats/0")), "0\t1\n0\t2\n1\t2\n");
}

TEST_F(Faults, AReportThatCannotBeWrittenFailsTheRun) {
  const ProcessResult run = runProcess("/bin/sh", {"-c", std::string("exec ") + SGMATCH_BINARY + " > /dev/full"}, dir.path());
  EXPECT_EQ(run.status, 255);
  // The first query was matched before its report line failed; nothing temporary is left.
  EXPECT_EQ(listDirectory(dir.file("stats")), std::vector<std::string>{"0"});
}

// A listing that grows past the file-size limit is a write error like a full disk: a message naming
// the file, status 255, and no temporary file left behind, instead of a run killed by SIGXFSZ.
TEST_F(Faults, AFileSizeLimitEndsTheRunLikeAFullDisk) {
  std::string data, query = "v 0 1\nv 1 1\nv 2 1\ne 0 1\ne 1 2\n";
  for (int v = 0; v < 40; ++v) data += "v " + std::to_string(v) + " 1\n";
  for (int u = 0; u < 40; ++u) {
    for (int v = u + 1; v < 40; ++v) data += "e " + std::to_string(u) + " " + std::to_string(v) + "\n";
  }
  writeFile(dir.file("data"), data);
  writeFile(dir.file("query"), query);
  // 64 blocks of at least 512 bytes: far less than the 59,280 lines of the listing.
  const ProcessResult run =
      runProcess("/bin/sh", {"-c", std::string("ulimit -f 64; exec ") + SGMATCH_BINARY}, dir.path());
  EXPECT_EQ(run.output, "Stats cannot write stats/0: File too large\n");
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(listDirectory(dir.file("stats")), std::vector<std::string>{});
}

TEST_F(Faults, AStatisticsDirectoryThatIsAFileOrMissingEndsTheRunAtTheFirstMatch) {
  writeFile(dir.file("plain"), "");
  ProcessResult run = sgmatch({"stats=plain"});
  EXPECT_EQ(run.output, "Stats cannot open plain/0\n");
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(readFile(dir.file("plain")), "");
  EXPECT_EQ(readFile(dir.file("subgraphs")), "");

  run = sgmatch({"stats=absent"});
  EXPECT_EQ(run.output, "Stats cannot open absent/0\n");
  EXPECT_EQ(run.status, 255);
  EXPECT_FALSE(fileExists(dir.file("absent")));
}

TEST_F(Faults, InputPathsThatNameDirectoriesAreRefused) {
  ProcessResult run = sgmatch({"data=stats"});
  EXPECT_EQ(run.output, "Graph cannot open stats\n");
  EXPECT_EQ(run.status, 255);
  run = sgmatch({"query=stats"});
  EXPECT_EQ(run.output, "Query cannot open stats\n");
  EXPECT_EQ(run.status, 255);
  run = sgmatch({"subgraph=stats"});
  EXPECT_EQ(run.output, "Subgraph cannot open stats\n");
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(listDirectory(dir.file("stats")), std::vector<std::string>{});
}

TEST_F(Faults, ReadErrorsNameTheFileAndReportNothing) {
  ProcessResult run = sgmatch({"data=/proc/self/mem"});
  EXPECT_EQ(run.output, "Graph cannot read /proc/self/mem after line 0: Input/output error\n");
  EXPECT_EQ(run.status, 255);
  run = sgmatch({"query=/proc/self/mem"});
  EXPECT_EQ(run.output, "Query cannot read /proc/self/mem after line 0: Input/output error\n");
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(listDirectory(dir.file("stats")), std::vector<std::string>{});
}

TEST_F(Faults, TheVerifierNamesFilesThatCannotBeRead) {
  ProcessResult run = runProcess(SGMATCH_VERIFY_BINARY, {"subgraph=/proc/self/mem"}, dir.path());
  EXPECT_EQ(run.output, "cannot read /proc/self/mem after line 0: Input/output error\n");
  EXPECT_EQ(run.status, 255);
  run = runProcess(SGMATCH_VERIFY_BINARY, {"subgraph=stats"}, dir.path());
  EXPECT_EQ(run.output, "cannot open stats\n");
  EXPECT_EQ(run.status, 255);

  // A record whose statistics file fails to read is reported; the check goes on and fails.
  ASSERT_EQ(sgmatch({}).status, 0);
  ASSERT_EQ(unlink(dir.file("stats/1").c_str()), 0);
  ASSERT_EQ(symlink("/proc/self/mem", dir.file("stats/1").c_str()), 0);
  run = runProcess(SGMATCH_VERIFY_BINARY, {}, dir.path());
  EXPECT_NE(run.output.find("cannot read stats/1 after line 0: Input/output error\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("query 0\tembeddings read: 3\tunique: 3\n"), std::string::npos) << run.output;
  EXPECT_EQ(run.status, 255);
}

TEST_F(Faults, RunningOutOfMemoryWhileReadingEndsWithAMessage) {
#ifdef SGMATCH_SANITIZED
  GTEST_SKIP() << "the sanitizer runtime needs more address space than any limit would leave";
#endif
  // 300,000 vertex lines of distinct labels: about 10 MB of text that needs well over 50 MB.
  std::string data;
  for (int i = 0; i < 300000; ++i) data += "v " + std::to_string(i) + " " + std::to_string(i) + "\n";
  writeFile(dir.file("big"), data);
  ProcessResult run = limited(50000, "data=big");
  EXPECT_EQ(run.output, "Graph cannot read big: out of memory\n");
  EXPECT_EQ(run.status, 255);  // not 128 + SIGABRT

  // A symmetry line of 4 million members: 8 MB of text, far more as tokens.
  std::string query = "v 0 5\nv 1 5\ne 0 1\na";
  for (int i = 0; i < 4000000; ++i) query += " 1";
  writeFile(dir.file("wide"), query + "\n");
  run = limited(50000, "query=wide");
  EXPECT_EQ(run.output, "Query cannot read wide: out of memory\n");
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(listDirectory(dir.file("stats")), std::vector<std::string>{});
}

TEST_F(Faults, AStrayFileNamedByTheLargestNumberCostsNoMemory) {
#ifdef SGMATCH_SANITIZED
  GTEST_SKIP() << "the sanitizer runtime needs more address space than any limit would leave";
#endif
  // The numbered files of the statistics directory were once a table indexed by number: this one
  // alone cost 256 MiB.
  writeFile(dir.file("stats/2147483647"), "kept\n");
  const ProcessResult run = limited(50000, "");
  EXPECT_EQ(maskTimes(run.output), std::string(firstReport) + "1\t#nodes: 2\tSym: 0\tFreq: 6\tTime/ms: T\n" +
                                       "Average time per query: Ts. Done!\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(listDirectory(dir.file("stats")), (std::vector<std::string>{"0", "1", "2147483647"}));
  EXPECT_EQ(readFile(dir.file("stats/2147483647")), "kept\n");
}

}  // namespace

// StatsFile: keeping and discarding listings, and a statistics directory shared with others: links
// planted under names the run might use, temporary files of other runs that are alive (locked) or
// stale (unlocked), and two runs at once, one of them in another pid namespace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "stats_file.h"
#include "test_support.h"

namespace {

std::vector<std::string> temporaryFiles(const std::string& directory) {
  std::vector<std::string> names;
  for (const std::string& name : listDirectory(directory)) {
    if (name.compare(0, 9, ".sgmatch-") == 0) names.push_back(name);
  }
  return names;
}

// Whether some open file holds a lock on `path` that a shared lock would conflict with.
bool lockedByOthers(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  const bool conflict = fcntl(fd, F_OFD_SETLK, &lock) != 0;
  close(fd);
  return conflict;
}

// A child process that holds an exclusive lock on `path` until it is ended.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid = fork();
    if (pid == 0) {
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
      struct flock lock;
      std::memset(&lock, 0, sizeof lock);
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      const char ok = fd >= 0 && fcntl(fd, F_OFD_SETLK, &lock) == 0 ? '1' : '0';
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char ok = '0';
    if (read(ready[0], &ok, 1) != 1) ok = '0';
    close(ready[0]);
    locked = ok == '1';
  }
  ~LockHolder() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  bool locked = false;

 private:
  int pid = -1;
};

const int listing[][2] = {{0, 1}, {0, 2}, {1, 2}};

void listThree(StatsWriter& writer) {
  for (const auto& embedding : listing) writer.add(embedding);
}

}  // namespace

TEST(StatsFile, KeepsOrDiscardsEachListingThroughOneLockedTemporaryFile) {
  TempDir dir;
  const std::string stats = dir.file("stats");
  StatsFile file;
  file.open(stats, 0);
  EXPECT_EQ(file.path(), stats + "/0");
  const std::vector<std::string> temporary = temporaryFiles(stats);
  ASSERT_EQ(temporary.size(), 1u);
  EXPECT_TRUE(lockedByOthers(stats + "/" + temporary[0])) << "the run holds its temporary file locked";
  listThree(file.begin(2, StatsWriter::Mode::buffered));
  file.discard();
  // The discarded listing leaves the same temporary file, emptied, for the next query.
  file.open(stats, 1);
  EXPECT_EQ(temporaryFiles(stats), temporary);
  EXPECT_EQ(readFile(stats + "/" + temporary[0]), "");
  listThree(file.begin(2, StatsWriter::Mode::eachLine));
  file.keep();
  EXPECT_EQ(listDirectory(stats), std::vector<std::string>{"1"});
  EXPECT_EQ(readFile(stats + "/1"), "0\t1\n0\t2\n1\t2\n");
  // Another directory gets its own temporary file; the object removes it when it goes.
  mkdir(dir.file("other").c_str(), 0755);
  file.open(dir.file("other"), 2);
  EXPECT_EQ(temporaryFiles(dir.file("other")).size(), 1u);
}

TEST(StatsFile, TemporaryNamesCannotBePredicted) {
  TempDir dir;
  const std::string stats = dir.file("stats");
  StatsFile first, second;
  first.open(stats, 0);
  second.open(stats, 1);
  const std::vector<std::string> names = temporaryFiles(stats);
  ASSERT_EQ(names.size(), 2u);
  const std::string ownPrefix = ".sgmatch-" + std::to_string(getpid()) + "-";
  for (const std::string& name : names) {
    EXPECT_EQ(name.compare(0, ownPrefix.size(), ownPrefix), 0) << name;
    EXPECT_GE(name.size(), ownPrefix.size() + 16 + 4) << "64 random bits in the name: " << name;
  }
}

// Links planted in a directory that others can write must not make the run write through them:
// neither under the names a predictable scheme would use nor under the final name of a listing.
TEST(StatsFile, PlantedLinksNeverLeadTheListingElsewhere) {
  TempDir dir;
  const std::string stats = dir.file("stats");
  const std::string victim = dir.file("victim");
  writeFile(victim, "precious\n");
  const int self = getpid();
  for (int pid = self - 50; pid <= self + 300; ++pid) {
    for (const std::string& name : {".sgmatch-" + std::to_string(pid) + ".tmp", ".sgmatch-" + std::to_string(pid) + "-0.tmp"}) {
      ASSERT_EQ(symlink(victim.c_str(), (stats + "/" + name).c_str()), 0);
    }
  }
  ASSERT_EQ(symlink(victim.c_str(), (stats + "/0").c_str()), 0);
  {
    StatsFile file;
    file.open(stats, 0);
    listThree(file.begin(2, StatsWriter::Mode::held));
    file.keep();
  }
  EXPECT_EQ(readFile(victim), "precious\n");
  struct stat info;
  ASSERT_EQ(lstat((stats + "/0").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode)) << "the listing replaced the link instead of following it";
  EXPECT_EQ(readFile(stats + "/0"), "0\t1\n0\t2\n1\t2\n");
}

// Whether a temporary file is stale is decided by its lock, not by its name: a file whose process id
// is not alive here may belong to a live run of another pid namespace or host, and one whose id is
// alive may be left by a run that ended.
TEST(StatsFile, OnlyTemporaryFilesThatNobodyHoldsLockedAreRemoved) {
  TempDir dir;
  const std::string stats = dir.file("stats");
  const int deadPid = fork();
  if (deadPid == 0) _exit(0);
  waitpid(deadPid, nullptr, 0);
  const std::string foreignLive = ".sgmatch-" + std::to_string(deadPid) + "-00000000deadbeef.tmp";
  const std::string localStale = ".sgmatch-" + std::to_string(getppid()) + "-0000000000000001.tmp";
  const std::string oldStyleStale = ".sgmatch-" + std::to_string(deadPid) + ".tmp";
  writeFile(stats + "/" + localStale, "left by a run that was killed\n");
  writeFile(stats + "/" + oldStyleStale, "left by an older version\n");
  LockHolder holder(stats + "/" + foreignLive);
  ASSERT_TRUE(holder.locked);
  StatsFile file;
  file.open(stats, 0);
  const std::vector<std::string> left = temporaryFiles(stats);
  EXPECT_EQ(left.size(), 2u);
  EXPECT_NE(std::find(left.begin(), left.end(), foreignLive), left.end()) << "a live run's file was removed";
  EXPECT_EQ(std::find(left.begin(), left.end(), localStale), left.end());
  EXPECT_EQ(std::find(left.begin(), left.end(), oldStyleStale), left.end());
}

namespace {

// A data graph and a query whose listing takes a while: the 4-paths of a dense graph.
void writeSlowWorkload(const TempDir& dir, int vertices) {
  std::string data;
  for (int v = 0; v < vertices; ++v) data += "v " + std::to_string(v) + " 1\n";
  for (int u = 0; u < vertices; ++u) {
    for (int v = u + 1; v < vertices; ++v) {
      if ((u * 7 + v * 3) % 4 != 0) data += "e " + std::to_string(u) + " " + std::to_string(v) + "\n";
    }
  }
  writeFile(dir.file("data"), data);
  writeFile(dir.file("query"), "v 0 1\nv 1 1\nv 2 1\nv 3 1\ne 0 1\ne 1 2\ne 2 3\nt\nv 0 1\nv 1 1\ne 0 1\n");
}

}  // namespace

// Two runs write into one statistics directory at once, one of them in a pid namespace of its own
// (where its process id means nothing to the other); each must finish with its own complete listings.
TEST(StatsFileSharing, RunsInAnotherPidNamespaceKeepTheirTemporaryFiles) {
  TempDir dir;
#ifdef SGMATCH_SANITIZED
  writeSlowWorkload(dir, 30);
#else
  writeSlowWorkload(dir, 60);
#endif
  const ProcessResult reference = runProcess(SGMATCH_BINARY, {"subgraph=reference"}, dir.path());
  ASSERT_EQ(reference.status, 0) << reference.output;
  const std::string expected = readFile(dir.file("stats/0"));
  ASSERT_FALSE(expected.empty());
  const bool isolated = runProcess("/usr/bin/unshare", {"--pid", "--fork", "--map-root-user", "true"}, dir.path()).status == 0;
  const std::string program = isolated ? "/usr/bin/unshare" : SGMATCH_BINARY;
  std::vector<std::string> arguments{"subgraph=isolated"};
  if (isolated) arguments.insert(arguments.begin(), {"--pid", "--fork", "--map-root-user", SGMATCH_BINARY});
  const int isolatedRun = startProcess(program, arguments, dir.path(), dir.file("isolated.out"));
  // Runs in this namespace start and scan the directory while the other one writes.
  for (int i = 0; i < 5; ++i) {
    const ProcessResult local = runProcess(SGMATCH_BINARY, {"subgraph=local"}, dir.path());
    EXPECT_EQ(local.status, 0) << local.output;
  }
  EXPECT_EQ(waitProcess(isolatedRun), 0) << readFile(dir.file("isolated.out"));
  EXPECT_EQ(maskTimes(readFile(dir.file("isolated.out"))), maskTimes(reference.output));
  EXPECT_EQ(readFile(dir.file("stats/0")), expected);
  EXPECT_EQ(readFile(dir.file("isolated")), readFile(dir.file("reference")));
  EXPECT_EQ(temporaryFiles(dir.file("stats")), std::vector<std::string>{});
  if (!isolated) GTEST_SKIP() << "no pid namespace here: the runs shared one";
}

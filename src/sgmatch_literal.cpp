// Entry point of the reference build of the tool: the same command line and outputs, with the plain
// recursive search; it exists to check and to measure the default engine against.
// The plain search recurses once per query vertex, so a query of tens of thousands of vertices
// needs more than the usual 8 MiB of stack. The main thread's stack may grow up to the limit that
// was in force when the process started, so the program raises the limit and starts itself again.
#include <sys/resource.h>
#include <unistd.h>

#include "main.h"
#include "query.h"

namespace {

constexpr rlim_t wantedStack = rlim_t{4} << 30;  // room for millions of search levels

void raiseStackLimit(char** argv) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  rlim_t target = wantedStack;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < target) target = limit.rlim_max;
  // After the restart the limit is at its target, so the program starts itself at most once.
  if (limit.rlim_cur >= target) return;
  limit.rlim_cur = target;
  if (setrlimit(RLIMIT_STACK, &limit) != 0) return;
  execv("/proc/self/exe", argv);  // on failure the run goes on with the stack it has
}

}  // namespace

int main(int argc, char** argv) {
  raiseStackLimit(argv);
  return run(argc, argv, MatchEngine::literal);
}

// Running the parts of one job on several threads: part 0 on the calling thread, the others on threads
// started for the job and joined before it returns. An exception of any part (running out of memory)
// reaches the caller after every part has ended, so that no thread outlives the data it works on.
#pragma once

#include <exception>
#include <system_error>
#include <thread>
#include <vector>

/// The number of parts to use for `requested` threads: 0 (or less) means one per hardware thread.
inline int threadCount(int requested) {
  if (requested > 0) return requested;
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : static_cast<int>(hardware);
}

/// Calls part(i) for every i in [0, parts), concurrently; rethrows the first exception of a part.
/// A thread that cannot be started leaves its part to the calling thread, after part 0.
template <typename Part>
void runInParallel(int parts, const Part& part) {
  std::vector<std::exception_ptr> failures(parts > 0 ? parts : 0);
  auto guarded = [&](int i) {
    try {
      part(i);
    } catch (...) {
      failures[i] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  std::vector<int> leftOver;
  threads.reserve(failures.size());
  leftOver.reserve(failures.size());
  for (int i = 1; i < parts; ++i) {
    try {
      threads.emplace_back(guarded, i);
    } catch (const std::system_error&) {
      leftOver.push_back(i);
    }
  }
  guarded(0);
  for (int i : leftOver) guarded(i);
  for (std::thread& thread : threads) thread.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

// A clip's work spread over a second thread, where the clip may have one.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>

namespace norvo::retarget {

// Whether work for the clip this thread runs may start a helper thread. Off
// unless RunClip turns it on for a clip that may use more than one thread
// (not a batch's); a thread the work starts has it off, so that helpers
// start no helpers of their own.
inline thread_local bool t_clipHelpers = false;

// Whether a helper thread may start now: the clip allows one and there is a
// second core for it.
inline bool MayStartHelper() noexcept { return t_clipHelpers && std::thread::hardware_concurrency() > 1; }

// Calls body(begin, end, worker) for runs of [0, n) until every index has
// been given once: on this thread (worker 0) and, where a helper may start,
// also on one more (worker 1), each taking the next run in turn. `body` must
// not throw, and may write only what belongs to its own indices or to its
// worker; what it wrote is seen here once this returns.
template <class Body>
void ForEachRun(std::size_t n, Body body) noexcept {
  constexpr std::size_t kRun = 32;
  std::atomic<std::size_t> next{0};
  auto work = [&](int worker) {
    for (std::size_t begin = next.fetch_add(kRun, std::memory_order_relaxed); begin < n;
         begin = next.fetch_add(kRun, std::memory_order_relaxed))
      body(begin, std::min(n, begin + kRun), worker);
  };
  std::thread helper;
  if (n >= 4 * kRun && MayStartHelper()) {
    try {
      helper = std::thread(work, 1);
    } catch (...) {
      // No thread: this one does every run.
    }
  }
  work(0);
  if (helper.joinable()) helper.join();
}

}  // namespace norvo::retarget

#pragma once

// The library's threads. Work that is split over threads gives the same bytes whatever their
// number: each piece computes exactly what the single thread computes for it.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tessel::platform {

// The number of threads that parallel work uses: the processors this process may run on (its
// affinity mask, so that `taskset -c 0` means one), unless setThreadCount says otherwise.
unsigned threadCount();
// Sets the number of threads for the rest of the process (tests compare the bytes that 1, 2 and
// 8 threads make); 0 goes back to the processors available.
void setThreadCount(unsigned count);

// Calls work(i) for every i in [0, count) on up to threadCount() threads, the caller's among them,
// and returns when all calls are done. The first exception a call throws is rethrown here once
// every thread has stopped; calls that had not started by then are skipped.
void parallelFor(size_t count, const std::function<void(size_t)>& work);

// A call of parallelForAfter waits for another: for it to finish, or only to start (the calls
// then coordinate finer steps themselves).
struct Dependency {
  size_t on;             // the index of the other call, below the waiting one's
  bool started = false;  // true: having started is enough
};

// Calls work(i) for every i in [0, count = after.size()) on up to threadCount() threads, the
// caller's among them; a call starts once what after[i] lists allows it, and a thread takes the
// lowest index that may start. With one thread the calls are made in index order. The first
// exception a call throws is rethrown here once every thread has stopped; calls that had not
// started by then are skipped.
void parallelForAfter(const std::vector<std::vector<Dependency>>& after,
                      const std::function<void(size_t)>& work);

// Tasks run by other threads while the caller goes on: a producer hands pieces of work to
// `threads` workers (none when threadCount() is 1: run() then does the task at once). wait()
// returns when every task handed over has finished and rethrows the first exception one threw.
class TaskGroup {
 public:
  explicit TaskGroup(unsigned threads);
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  void run(std::function<void()> task);
  // Returns when at most `most` tasks are unfinished, doing waiting ones on this thread meanwhile.
  void throttle(size_t most);
  void wait();
  // Tasks handed over and not yet finished.
  size_t pending();

 private:
  void work();
  // Takes the oldest waiting task and does it; `lock` is held on entry and on return.
  void runTask(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> tasks_;
  size_t unfinished_ = 0;
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::vector<std::thread> workers_;
};

}  // namespace tessel::platform

#include "platform/parallel.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "platform/system.h"

namespace tessel::platform {

namespace {

// The thread count that setThreadCount gives the rest of the process (0: the processors
// available). It is process-wide because every parallel call of the decoder and the encoder asks
// for it, and tests set it to check that 1, 2 and 8 threads make the same bytes.
std::atomic<unsigned> gThreads{0};

// Runs `loop` on this thread and threads - 1 others; returns when every one has returned.
void runOnThreads(size_t threads, const std::function<void()>& loop) {
  std::vector<std::thread> helpers;
  helpers.reserve(threads - 1);
  for (size_t t = 1; t < threads; ++t) helpers.emplace_back(loop);
  loop();
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace

unsigned threadCount() {
  const unsigned set = gThreads.load();
  return set != 0 ? set : std::max(1u, availableProcessors());
}

void setThreadCount(unsigned count) {
  gThreads.store(count);
}

void parallelFor(size_t count, const std::function<void(size_t)>& work) {
  const size_t threads = std::min<size_t>(threadCount(), count);
  if (threads <= 1) {
    for (size_t i = 0; i < count; ++i) work(i);
    return;
  }
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex failureMutex;
  const auto loop = [&] {
    for (size_t i; !failed.load() && (i = next.fetch_add(1)) < count;) {
      try {
        work(i);
      } catch (...) {
        std::lock_guard lock(failureMutex);
        if (!failure) failure = std::current_exception();
        failed.store(true);
      }
    }
  };
  runOnThreads(threads, loop);
  if (failure) std::rethrow_exception(failure);
}

void parallelForAfter(const std::vector<std::vector<Dependency>>& after,
                      const std::function<void(size_t)>& work) {
  const size_t count = after.size();
  const size_t threads = std::min<size_t>(threadCount(), count);
  if (threads <= 1) {
    for (size_t i = 0; i < count; ++i) work(i);
    return;
  }
  enum : char { kWaiting, kStarted, kFinished };
  std::vector<char> stage(count, kWaiting);
  std::mutex mutex;
  std::condition_variable changed;
  size_t firstWaiting = 0;
  std::exception_ptr failure;
  const auto mayStart = [&](size_t i) {
    for (const Dependency& d : after[i]) {
      if (stage[d.on] == kWaiting || (stage[d.on] == kStarted && !d.started)) return false;
    }
    return true;
  };
  const auto loop = [&] {
    std::unique_lock lock(mutex);
    for (;;) {
      while (firstWaiting < count && stage[firstWaiting] != kWaiting) ++firstWaiting;
      if (failure || firstWaiting == count) return;
      size_t next = firstWaiting;
      while (next < count && (stage[next] != kWaiting || !mayStart(next))) ++next;
      if (next == count) {
        changed.wait(lock);
        continue;
      }
      stage[next] = kStarted;
      changed.notify_all();
      lock.unlock();
      std::exception_ptr thrown;
      try {
        work(next);
      } catch (...) {
        thrown = std::current_exception();
      }
      lock.lock();
      stage[next] = kFinished;
      if (thrown && !failure) failure = thrown;
      changed.notify_all();
    }
  };
  runOnThreads(threads, loop);
  if (failure) std::rethrow_exception(failure);
}

TaskGroup::TaskGroup(unsigned threads) {
  if (threadCount() <= 1) threads = 0;
  for (unsigned t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
}

TaskGroup::~TaskGroup() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void TaskGroup::run(std::function<void()> task) {
  if (workers_.empty()) {
    task();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    ++unfinished_;
  }
  changed_.notify_all();
}

void TaskGroup::throttle(size_t most) {
  std::unique_lock lock(mutex_);
  while (unfinished_ > most) {
    if (tasks_.empty()) {
      changed_.wait(lock);
    } else {
      runTask(lock);
    }
  }
}

void TaskGroup::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return unfinished_ == 0; });
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

size_t TaskGroup::pending() {
  std::lock_guard lock(mutex_);
  return unfinished_;
}

void TaskGroup::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) return;  // stopping, and nothing left
    runTask(lock);
  }
}

void TaskGroup::runTask(std::unique_lock<std::mutex>& lock) {
  std::function<void()> task = std::move(tasks_.front());
  tasks_.pop_front();
  const bool skip = failure_ != nullptr;  // after a failure the rest is not done
  lock.unlock();
  std::exception_ptr thrown;
  try {
    if (!skip) task();
  } catch (...) {
    thrown = std::current_exception();
  }
  lock.lock();
  if (thrown && !failure_) failure_ = thrown;
  --unfinished_;
  changed_.notify_all();
}

}  // namespace tessel::platform

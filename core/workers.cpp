#include "core/workers.hpp"

#include <sched.h>

namespace vadrel {

unsigned Workers::available() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

Workers::Workers(unsigned threads) {
  for (unsigned i = 1; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

Workers::~Workers() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // Rounds still queued (a run that stopped): let them end first, as
    // their tasks may use what the caller is about to destroy.
    while (!rounds_.empty()) {
      if (!run_one(lock)) {
        done_.wait(lock, [&] {
          for (const Round& r : rounds_) {
            if (r.finished < r.count) return false;
          }
          return true;
        });
        rounds_.clear();
      }
    }
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

bool Workers::run_one(std::unique_lock<std::mutex>& lock) {
  for (Round& r : rounds_) {
    if (r.next >= r.count) continue;
    const std::size_t i = r.next++;
    const auto* task = r.task;
    lock.unlock();
    std::exception_ptr error;
    try {
      (*task)(i);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    // The deque only grows at the back and loses its front in finish(),
    // which waits for every task of that round: r is still there.
    if (error) {
      if (!r.error) r.error = error;
      r.finished += r.count - r.next;  // hand out nothing more of this round
      r.next = r.count;
    }
    ++r.finished;
    done_.notify_all();
    return true;
  }
  return false;
}

void Workers::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_) return;
    if (!run_one(lock)) wake_.wait(lock);
  }
}

void Workers::start(std::size_t n, const std::function<void(std::size_t)>& task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Round r;
    r.task = &task;
    r.count = n;
    rounds_.push_back(r);
  }
  if (!threads_.empty() && n > 0) wake_.notify_all();
}

void Workers::finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (rounds_.empty()) return;
  Round& oldest = rounds_.front();
  while (oldest.finished < oldest.count) {
    // Help with whatever is queued; wait only when nothing is.
    if (!run_one(lock)) done_.wait(lock);
  }
  const std::exception_ptr error = oldest.error;
  rounds_.pop_front();
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

void Workers::run(std::size_t n, const std::function<void(std::size_t)>& task) {
  start(n, task);
  // Rounds queued before this one end first.
  while (running() > 1) finish();
  finish();
}

}  // namespace vadrel

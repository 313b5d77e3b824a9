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
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  start_.notify_all();
  for (auto& t : threads_) t.join();
}

// Takes tasks of the current round until none is left.  Called with the
// mutex not held.
void Workers::drain() {
  for (;;) {
    std::size_t i = 0;
    const std::function<void(std::size_t)>* task = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (next_ >= count_) return;
      i = next_++;
      ++started_;
      task = task_;
    }
    std::exception_ptr error;
    try {
      (*task)(i);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (error) {
      if (!error_) error_ = error;
      next_ = count_;  // hand out nothing more
    }
    if (++finished_ == started_ && next_ >= count_) done_.notify_all();
  }
}

void Workers::work() {
  unsigned long seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
    }
    drain();
  }
}

void Workers::run(std::size_t n, const std::function<void(std::size_t)>& task) {
  start(n, task);
  finish();
}

void Workers::start(std::size_t n, const std::function<void(std::size_t)>& task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = &task;
    count_ = n;
    next_ = 0;
    started_ = 0;
    finished_ = 0;
    error_ = nullptr;
    ++generation_;
  }
  pending_ = true;
  if (!threads_.empty() && n > 0) start_.notify_all();
}

void Workers::finish() {
  if (!pending_) return;
  pending_ = false;
  drain();
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // Done when every task handed out has finished and none is left (after
    // an exception the rest are never handed out).
    done_.wait(lock, [&] { return next_ >= count_ && finished_ == started_; });
    error = error_;
    task_ = nullptr;
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace vadrel

#pragma once
// The threads of a run.  Work is handed out as numbered tasks; the calling
// thread takes part, so a pool of one thread runs everything in the caller,
// in order.  Results are collected by task number, never by finishing order,
// so what a run writes does not depend on the number of threads.
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vadrel {

class Workers {
 public:
  // `threads` threads in all, the caller included (at least 1).
  explicit Workers(unsigned threads);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // The number of processors this process may run on (its CPU affinity).
  static unsigned available();

  unsigned size() const { return static_cast<unsigned>(threads_.size()) + 1; }

  // Runs task(i) for every i in [0, n) and returns when all are done.  The
  // first exception a task throws is rethrown here, after the others ended.
  void run(std::size_t n, const std::function<void(std::size_t)>& task);

  // The same in two steps, so the caller can do other work meanwhile: start()
  // hands the tasks to the other threads and returns at once; finish() takes
  // part in what is left, waits for the rest and rethrows a task's
  // exception.  `task` must live until finish() returns.  With no other
  // thread, every task runs in finish().  One round at a time.
  void start(std::size_t n, const std::function<void(std::size_t)>& task);
  void finish();
  bool running() const { return pending_; }

 private:
  void work();
  void drain();

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  const std::function<void(std::size_t)>* task_ = nullptr;
  std::size_t count_ = 0;
  std::size_t next_ = 0;
  std::size_t started_ = 0;
  std::size_t finished_ = 0;
  unsigned long generation_ = 0;
  bool stopping_ = false;
  std::exception_ptr error_;
  bool pending_ = false;  // a round was started and not yet finished
};

}  // namespace vadrel

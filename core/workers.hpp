#pragma once
// The threads of a run.  Work is handed out as rounds of numbered tasks;
// rounds are queued, and the threads take tasks from the oldest round that
// has any left.  The calling thread takes part whenever it waits, so a pool
// of one thread runs everything in the caller, in order.  Results are
// collected by task number, never by finishing order, so what a run writes
// does not depend on the number of threads.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <pthread.h>

namespace vadrel {

class Workers {
 public:
  // `threads` threads in all, the caller included (at least 1); fewer when
  // the system will not start that many (size() tells).
  explicit Workers(unsigned threads);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // The number of processors this process may use (its CPU affinity).
  static unsigned available();

  unsigned size() const { return static_cast<unsigned>(threads_.size()) + 1; }

  // Runs task(i) for every i in [0, n) and returns when all are done.  The
  // first exception a task throws is rethrown here, after the others ended.
  void run(std::size_t n, const std::function<void(std::size_t)>& task);

  // The same in two steps, so the caller can do other work meanwhile:
  // start() queues a round and returns at once; finish() waits for the
  // oldest round still queued, taking part in any queued work meanwhile,
  // and rethrows the first exception of that round's tasks.  `task` must
  // live until its round is finished.
  void start(std::size_t n, const std::function<void(std::size_t)>& task);
  void finish();
  // Rounds started and not yet finished.
  std::size_t running() const { return rounds_.size(); }

 private:
  struct Round {
    const std::function<void(std::size_t)>* task = nullptr;
    std::size_t count = 0;
    std::size_t next = 0;      // next task to hand out
    std::size_t finished = 0;  // tasks done (or given up after an error)
    std::exception_ptr error;
  };

  void work();
  // Waits for the next change (a task finished, a round queued, stopping),
  // called with the lock held.
  void await(std::unique_lock<std::mutex>& lock, std::condition_variable& cv);
  static void* thread_main(void* start);
  // Runs one queued task; false when none is left to hand out.  Called
  // with the lock held, returns with it held.
  bool run_one(std::unique_lock<std::mutex>& lock);

  std::vector<pthread_t> threads_;
  std::mutex mutex_;
  std::condition_variable wake_;  // tasks queued, or stopping
  std::condition_variable done_;  // a task finished
  std::deque<Round> rounds_;
  bool stopping_ = false;
  // Counts the changes; raised with the lock held, read without it.
  std::atomic<std::uint64_t> events_{0};
};

}  // namespace vadrel

#include "core/workers.hpp"

#include <sched.h>

#include <chrono>
#include <memory>

namespace vadrel {

namespace {

// What a new thread is started with.
struct Start {
  Workers* workers;
  cpu_set_t allowed;  // the process's processors, given back at the start
  bool placed;        // started on one processor of them
};

}  // namespace

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

// A new thread is queued on its parent's processor.  With the parent busy
// there, it waits before it first runs and then shares that processor until
// the scheduler's balancing moves it: on a two-processor machine that took
// up to 13 ms of a 65 ms run, with the other processor idle.  So each thread
// starts on a processor of the process's set other than the parent's (in
// turn), and its first act is to take the whole set back: nothing stays
// pinned, and the scheduler remains free to move it later.  Placing is only
// a hint; where it cannot be done, the thread starts as any other.
Workers::Workers(unsigned threads) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  int others[CPU_SETSIZE];
  int n_others = 0;
  if (threads > 1 && sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    const int parent_cpu = sched_getcpu();
    for (int c = 0; c < CPU_SETSIZE; ++c) {
      if (CPU_ISSET(c, &allowed) && c != parent_cpu) others[n_others++] = c;
    }
  }
  threads_.reserve(threads > 0 ? threads - 1 : 0);
  for (unsigned i = 1; i < threads; ++i) {
    auto start = std::make_unique<Start>(Start{this, allowed, false});
    pthread_attr_t attr;
    bool with_attr = false;
    if (n_others > 0 && pthread_attr_init(&attr) == 0) {
      with_attr = true;
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(others[(i - 1) % static_cast<unsigned>(n_others)], &one);
      start->placed = pthread_attr_setaffinity_np(&attr, sizeof one, &one) == 0;
    }
    pthread_t t;
    int rc = pthread_create(&t, start->placed ? &attr : nullptr, &Workers::thread_main, start.get());
    if (rc != 0 && start->placed) {
      start->placed = false;
      rc = pthread_create(&t, nullptr, &Workers::thread_main, start.get());
    }
    if (with_attr) pthread_attr_destroy(&attr);
    // A thread the system will not give (its limit on threads, or no
    // memory for a stack): the run goes on with the threads it has, the
    // caller always among them.
    if (rc != 0) break;
    start.release();  // the thread owns it now
    threads_.push_back(t);
  }
}

void* Workers::thread_main(void* start) {
  const std::unique_ptr<Start> s(static_cast<Start*>(start));
  if (s->placed) sched_setaffinity(0, sizeof s->allowed, &s->allowed);
  s->workers->work();
  return nullptr;
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
    events_.fetch_add(1, std::memory_order_release);
  }
  wake_.notify_all();
  for (const pthread_t& t : threads_) pthread_join(t, nullptr);
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
    events_.fetch_add(1, std::memory_order_release);
    done_.notify_all();
    return true;
  }
  return false;
}

// A thread that goes to sleep is woken where the scheduler sees fit, often
// on the processor of the thread that wakes it, which is busy: the two then
// share it until balancing parts them again (milliseconds).  The waits here
// are mostly short (the rest of a chunk, the reading of the first block), so
// a thread first watches for a change for a while, as the processor would
// otherwise stand idle, and only then sleeps.
void Workers::await(std::unique_lock<std::mutex>& lock, std::condition_variable& cv) {
  constexpr auto kWatch = std::chrono::microseconds(1000);
  const std::uint64_t seen = events_.load(std::memory_order_relaxed);
  lock.unlock();
  const auto until = std::chrono::steady_clock::now() + kWatch;
  for (unsigned i = 1;; ++i) {
    if (events_.load(std::memory_order_acquire) != seen) break;
    if (i % 64 == 0 && std::chrono::steady_clock::now() >= until) break;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  lock.lock();
  // Changes are counted with the lock held, so none can slip in between
  // this test and the wait.
  if (events_.load(std::memory_order_relaxed) == seen) cv.wait(lock);
}

void Workers::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_) return;
    if (!run_one(lock)) await(lock, wake_);
  }
}

void Workers::start(std::size_t n, const std::function<void(std::size_t)>& task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Round r;
    r.task = &task;
    r.count = n;
    rounds_.push_back(r);
    events_.fetch_add(1, std::memory_order_release);
  }
  if (!threads_.empty() && n > 0) wake_.notify_all();
}

void Workers::finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (rounds_.empty()) return;
  Round& oldest = rounds_.front();
  while (oldest.finished < oldest.count) {
    // Help with whatever is queued; wait only when nothing is.
    if (!run_one(lock)) await(lock, done_);
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

// The foundation's own pieces: the block line reader, the allocation-free
// fixed-layout fields against the library's exact decimal conversion, and
// the worker threads.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/fixed_format.hpp"
#include "core/line_reader.hpp"
#include "core/workers.hpp"
#include "tests/e2e.hpp"

using namespace vadrel;

namespace {

std::vector<std::string> all_lines(LineReader& r, std::vector<bool>* cut = nullptr) {
  std::vector<std::string> out;
  std::string_view line;
  while (r.next(line)) {
    out.emplace_back(line);
    if (cut != nullptr) cut->push_back(r.cut());
  }
  return out;
}

using Lines = std::vector<std::string>;

TEST(LineReader, RecordsAndLineEnds) {
  const struct {
    const char* text;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"a\n", {"a"}},
      {"a", {"a"}},
      {"a\r\nb\r\n\r\nlast", {"a", "b", "", "last"}},
      {"\n\n", {"", ""}},
      {"x\ry\rz", {"x", "y", "z"}},  // old Macintosh files
      {"a\r\r\nb", {"a", "", "b"}},
      {" 1 2\n 3 4\r\n", {" 1 2", " 3 4"}},
      {"\xEF\xBB\xBF 1 2\n\xEF\xBB\xBF", {" 1 2", "\xEF\xBB\xBF"}},  // a mark only at the start
  };
  for (const auto& c : cases) {
    LineReader r = LineReader::from_text(c.text);
    EXPECT_EQ(all_lines(r), c.lines) << c.text;
  }
}

TEST(LineReader, KeepsTheStartOfLongRecordsAndSaysSo) {
  const std::string longer(200, 'x');
  LineReader r = LineReader::from_text("abcdef\n" + longer + "\nabc\r\n", 5);
  std::vector<bool> cut;
  EXPECT_EQ(all_lines(r, &cut), (Lines{"abcde", "xxxxx", "abc"}));
  EXPECT_EQ(cut, (std::vector<bool>{true, true, false}));
}

// A record longer than the limit (a device that never sends a line end)
// ends the reading as a failure, in bounded time and memory.
TEST(LineReader, AnEndlessRecordIsAFailureNotTheEnd) {
  const int fd = ::open("/dev/zero", O_RDONLY);
  ASSERT_GE(fd, 0);
  LineReader r(fd, 132);
  std::string_view line;
  EXPECT_FALSE(r.next(line));
  EXPECT_TRUE(r.failed());
  EXPECT_NE(r.failure().find("more than 1073741824 characters"), std::string::npos);
  ::close(fd);
}

TEST(LineReader, PushBackReturnsTheSameRecordOnce) {
  LineReader r = LineReader::from_text("U grid\nD depth\n 1 2\n");
  std::string_view line;
  ASSERT_TRUE(r.next(line));
  ASSERT_TRUE(r.next(line));
  EXPECT_EQ(line, "D depth");
  r.push_back();
  ASSERT_TRUE(r.next(line));
  EXPECT_EQ(line, "D depth");
  ASSERT_TRUE(r.next(line));
  EXPECT_EQ(line, " 1 2");
  EXPECT_FALSE(r.next(line));
}

// Through a pipe the input arrives in pieces that split records anywhere;
// a record longer than the whole read buffer is consumed, not stored.
TEST(LineReader, ReadsAPipeInPiecesAndSkipsHugeRecords) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string huge(3 << 20, 'h');
  std::string text;
  for (int i = 0; i < 20000; ++i) {
    text += ' ';
    text += std::to_string(i);
    text += ' ';
    text += std::to_string(i % 7);
    text += '\n';
  }
  text += huge + "\nend";
  std::thread writer([&] {
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t n = std::min<std::size_t>(4093, text.size() - at);
      at += static_cast<std::size_t>(::write(fds[1], text.data() + at, n));
    }
    ::close(fds[1]);
  });
  LineReader r(fds[0], 132);
  std::vector<bool> cut;
  const Lines got = all_lines(r, &cut);
  writer.join();
  ::close(fds[0]);
  ASSERT_EQ(got.size(), 20002U);
  EXPECT_EQ(got[12345], " 12345 4");
  EXPECT_EQ(got[20000], std::string(132, 'h'));
  EXPECT_TRUE(cut[20000]);
  EXPECT_EQ(got[20001], "end");
  EXPECT_FALSE(r.failed());
}

// Taking whole records by the block (records, split_records, consume, and
// next() where a block cannot be given) yields the records next() yields,
// whatever the line ends and wherever the buffer's edges fall: random
// files of long and short records, LF, CR LF and lone CR, empty records, a
// byte-order mark, records longer than the buffer, a last record without
// its line end, and blocks cut short before "card" records.
TEST(LineReader, BlocksOfRecordsAreTheRecordsOfNext) {
  for (const unsigned seed : {1U, 2U, 3U, 4U, 5U, 6U}) {
    std::mt19937 rng(seed);
    std::string text = seed % 2 == 0 ? "\xEF\xBB\xBF" : "";
    const char* const ends[] = {"\n", "\r\n", "\r"};
    while (text.size() < 600000) {
      const unsigned kind = rng() % 100;
      std::size_t length = kind < 2 ? 0 : kind < 4 ? 131072 + rng() % 70000 : rng() % 200;
      if (kind >= 4 && kind < 10) text += 'C';  // a record the blocks stop before
      for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('0' + rng() % 40);
      text += ends[seed <= 3 ? rng() % 3 : 1];
    }
    if (seed == 3) text += "last";
    // A CR LF across the edge of the first buffer full (128 KiB).
    text[131071] = '\r';
    text[131072] = '\n';
    char name[] = "/tmp/vadrel-blocksXXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::unlink(name);

    auto cut = [](std::string_view r) { return std::string(r.substr(0, 133)); };
    ::lseek(fd, 0, SEEK_SET);
    LineReader one(fd, 133);
    Lines expected;
    std::string_view line;
    while (one.next(line)) expected.push_back(cut(line));

    ::lseek(fd, 0, SEEK_SET);
    LineReader blocks(fd, 133);
    Lines got;
    std::string_view block;
    std::vector<std::uint32_t> first;
    std::vector<std::uint32_t> end;
    while (blocks.records(block)) {
      first.clear();
      end.clear();
      const std::size_t taken =
          split_records(block, 1 + rng() % 3000, [](char c) { return c == 'C'; }, first, end);
      if (taken > 0) {
        for (std::size_t i = 0; i < first.size(); ++i) got.push_back(cut(block.substr(first[i], end[i] - first[i])));
        blocks.consume(taken);
      } else {
        ASSERT_TRUE(blocks.next(line));
        got.push_back(cut(line));
      }
    }
    ::close(fd);
    EXPECT_FALSE(blocks.failed());
    ASSERT_EQ(got.size(), expected.size()) << "seed " << seed;
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], expected[i]) << "seed " << seed << ", record " << i;
  }
  // A record pushed back is given again by next(), not in a block.
  LineReader r = LineReader::from_text("G grid\n 1 2\n");
  std::string_view line;
  std::string_view block;
  ASSERT_TRUE(r.next(line));
  r.push_back();
  ASSERT_TRUE(r.records(block));
  EXPECT_TRUE(block.empty());
  ASSERT_TRUE(r.next(line));
  EXPECT_EQ(line, "G grid");
  ASSERT_TRUE(r.records(block));
  EXPECT_EQ(block, " 1 2\n");
}

// The library's exact conversion, laid out by the field rules: the
// reference for the fast fields.
std::string exact_f(double v, int w, int d) {
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, d);
  std::string s(buf, r.ptr);
  if (d == 0) s += '.';
  if (static_cast<int>(s.size()) > w) {
    if (s.rfind("0.", 0) == 0) s.erase(0, 1);
    else if (s.rfind("-0.", 0) == 0) s = "-" + s.substr(2);
  }
  if (static_cast<int>(s.size()) > w) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

std::string exact_e(double v, int w, int d) {
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, d);
  std::string s(buf, r.ptr);
  const auto at = s.find('e');
  const int k = std::stoi(s.substr(at + 1));
  std::string m = s.substr(0, at) + (d == 0 ? "." : "");
  char ex[16];
  if (std::abs(k) <= 99) std::snprintf(ex, sizeof ex, "E%c%02d", k < 0 ? '-' : '+', std::abs(k));
  else std::snprintf(ex, sizeof ex, "%c%03d", k < 0 ? '-' : '+', std::abs(k));
  m += ex;
  if (static_cast<int>(m.size()) > w) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w) - m.size(), ' ') + m;
}

// The record writers' fields, whose layout is fixed when compiling.
template <int W, int D>
std::string tf(double v) {
  std::string s(W, '?');
  EXPECT_EQ((put_f<W, D>(s.data(), v)), s.data() + W);
  return s;
}
template <int W, int D>
std::string te(double v) {
  std::string s(W, '?');
  EXPECT_EQ((put_e<W, D>(s.data(), v)), s.data() + W);
  return s;
}

void expect_record_fields(double v) {
  ASSERT_EQ((tf<10, 4>(v)), exact_f(v, 10, 4)) << v;
  ASSERT_EQ((tf<10, 1>(v)), exact_f(v, 10, 1)) << v;
  ASSERT_EQ((tf<4, 2>(v)), exact_f(v, 4, 2)) << v;
  ASSERT_EQ((te<20, 10>(v)), exact_e(v, 20, 10)) << v;
  ASSERT_EQ((te<13, 3>(v)), exact_e(v, 13, 3)) << v;
}

// Random doubles of every magnitude the records meet, and exact binary
// ties: n + m/2^(d+1) with m odd lies exactly halfway at d decimals.
TEST(FixedFormat, FastFieldsEqualTheExactConversion) {
  std::mt19937_64 rng(1985);
  std::uniform_real_distribution<double> mant(-10.0, 10.0);
  std::uniform_int_distribution<int> expo(-14, 12);
  const int fields[][2] = {{10, 4}, {10, 1}, {14, 6}, {14, 8}, {6, 1}, {5, 0}, {22, 12}};
  const int efields[][2] = {{20, 10}, {13, 3}, {11, 4}, {9, 0}};
  int checked = 0;
  for (int i = 0; i < 200000; ++i) {
    const double v = mant(rng) * std::pow(10.0, expo(rng));
    for (const auto& f : fields) ASSERT_EQ(fmt_f(v, f[0], f[1]), exact_f(v, f[0], f[1])) << v;
    for (const auto& f : efields) ASSERT_EQ(fmt_e(v, f[0], f[1]), exact_e(v, f[0], f[1])) << v;
    expect_record_fields(v);
    ++checked;
  }
  for (int d = 0; d <= 6; ++d) {
    const double half = std::ldexp(1.0, -(d + 1));
    for (int n = -40; n <= 40; ++n) {
      for (int m = 1; m < 2 << d; m += 2) {
        const double v = n + m * half;
        ASSERT_EQ(fmt_f(v, 16, d), exact_f(v, 16, d)) << v << " d=" << d;
        ASSERT_EQ(fmt_e(v, 20, d), exact_e(v, 20, d)) << v << " d=" << d;
        expect_record_fields(v);
        expect_record_fields(v * 1e-3);
      }
    }
  }
  // Values that round up to the next power of ten, and the extremes.
  for (const double v : {9.99999999999e5, -9.9999999999951, 99999.5, 1e-300, 4.9e-324, 1.7e308, -0.0, 0.0,
                         9999999.95, -0.05, 0.96, 1e-7, 9.9999999999999e6, 1e7, 429496.7295, 4294967295.0 / 1e4}) {
    EXPECT_EQ(fmt_e(v, 20, 10), exact_e(v, 20, 10)) << v;
    EXPECT_EQ(fmt_f(v, 10, 1), exact_f(v, 10, 1)) << v;
    expect_record_fields(v);
    expect_record_fields(-v);
  }
  EXPECT_EQ((tf<10, 1>(std::nan(""))), "**********");
  EXPECT_EQ((te<13, 3>(-std::numeric_limits<double>::infinity())), "*************");
  EXPECT_EQ(checked, 200000);
}

TEST(Workers, EveryTaskRunsOnceWhateverTheThreads) {
  for (const unsigned threads : {1U, 2U, 5U}) {
    Workers w(threads);
    EXPECT_EQ(w.size(), threads);
    for (const std::size_t n : {0U, 1U, 7U, 1000U}) {
      std::vector<std::atomic<int>> hits(n);
      w.run(n, [&](std::size_t i) { hits[i]++; });
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << threads << ' ' << n;
    }
  }
  EXPECT_GE(Workers::available(), 1U);
}

// Threads are started on a processor of their own, but must not stay bound
// to it: each, while the others are busy, still has the whole set.
TEST(Workers, NoThreadIsLeftBoundToOneProcessor) {
  cpu_set_t process;
  ASSERT_EQ(sched_getaffinity(0, sizeof process, &process), 0);
  const unsigned n = Workers::available();
  if (n < 2) GTEST_SKIP() << "one processor";
  Workers w(n);
  std::atomic<unsigned> started{0};
  std::vector<int> same(n, -1);
  w.run(n, [&](std::size_t i) {
    // Hold every thread in a task of its own until all have one.
    ++started;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (started.load() < n && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    cpu_set_t mine;
    same[i] = sched_getaffinity(0, sizeof mine, &mine) == 0 && CPU_EQUAL(&mine, &process) ? 1 : 0;
  });
  ASSERT_EQ(started.load(), n);
  for (unsigned i = 0; i < n; ++i) EXPECT_EQ(same[i], 1) << "task " << i;
}

// When the system will not start the threads asked for (here: no address
// space left for their stacks), the pool runs with those it has, the caller
// at least, instead of ending the program.  The child is a fresh copy of this
// program (exec), running only this test: a forked one would inherit the
// stacks the C library keeps from threads of earlier tests, and start its
// threads on those without asking for memory.
TEST(Workers, ThreadsTheSystemRefusesLeaveAWorkingPool) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs the address space this test takes away";
#else
  const bool in_child = std::getenv("VADREL_REFUSED_THREADS_CHILD") != nullptr;
  // The child's own report goes to a file of the test's, shown on failure.
  std::optional<vadrel::test::TempDir> dir;
  if (!in_child) dir.emplace();
  const std::string report = in_child ? std::string() : dir->file("child.txt");
  const pid_t child = in_child ? 0 : fork();
  ASSERT_GE(child, 0);
  if (child == 0 && !in_child) {
    setenv("VADREL_REFUSED_THREADS_CHILD", "1", 1);
    const int out = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    char self[] = "/proc/self/exe";
    char filter[] = "--gtest_filter=Workers.ThreadsTheSystemRefusesLeaveAWorkingPool";
    char* argv[] = {self, filter, nullptr};
    execv(self, argv);
    _exit(4);
  }
  if (child == 0) {
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    // Room for a few small allocations, none for an 8 MB thread stack.
    const rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (2 << 20);
    const rlimit limit{room, room};
    if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    Workers w(4);
    std::atomic<int> ran{0};
    w.run(100, [&](std::size_t) { ++ran; });
    _exit(ran.load() == 100 ? (w.size() < 4 ? 0 : 2) : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the pool ended the process\n" << dir->read("child.txt");
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: tasks lost, 2: the limit did not bite, 3: no limit set, 4: no exec\n" << dir->read("child.txt");
#endif
}

TEST(Workers, AnExceptionReachesTheCallerAndThePoolGoesOn) {
  Workers w(3);
  std::atomic<int> ran{0};
  EXPECT_THROW(w.run(50, [&](std::size_t i) {
    ++ran;
    if (i == 10) throw std::runtime_error("task 10");
  }),
               std::runtime_error);
  EXPECT_LE(ran.load(), 50);
  std::atomic<int> after{0};
  w.run(20, [&](std::size_t) { ++after; });
  EXPECT_EQ(after.load(), 20);
}

}  // namespace

// The readers of the faults, grid and depth/mask files and the program
// itself, for Python: errors as OSError or ValueError naming the file, the
// console's text to Python's sys.stdout.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "core/line_reader.hpp"
#include "core/stop.hpp"
#include "driver/driver.hpp"
#include "python/src/module.hpp"
#include "readers/cardline.hpp"
#include "readers/faults.hpp"
#include "readers/grid2d.hpp"
#include "readers/kov.hpp"

namespace vadrel::python {

namespace {

// ---------------------------------------------------------------------------
// Console text to Python's sys.stdout.  The program writes its messages from
// the calling thread while the GIL is released; each complete line is handed
// to sys.stdout with the GIL taken back, so the text appears as it is made
// and in order with what Python itself prints.
class PythonStdout : public std::streambuf {
 public:
  ~PythonStdout() override { pass_on(); }

 protected:
  int_type overflow(int_type ch) override {
    if (ch != traits_type::eof()) {
      buffer_.push_back(static_cast<char>(ch));
      if (ch == '\n') pass_on();
    }
    return traits_type::not_eof(ch);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    buffer_.append(s, static_cast<std::size_t>(n));
    if (std::memchr(s, '\n', static_cast<std::size_t>(n)) != nullptr) pass_on();
    return n;
  }
  int sync() override {
    pass_on();
    return 0;
  }

 private:
  void pass_on() {
    if (buffer_.empty()) return;
    const int saved_errno = errno;  // the program's messages report errno later on
    struct Restore {
      int e;
      ~Restore() { errno = e; }
    } restore{saved_errno};
    py::gil_scoped_acquire gil;
    PyObject* text = PyUnicode_DecodeUTF8(buffer_.data(), static_cast<Py_ssize_t>(buffer_.size()), "replace");
    buffer_.clear();
    if (text == nullptr) {
      PyErr_Clear();
      return;
    }
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out != nullptr && out != Py_None) {
      PyObject* r = PyObject_CallMethod(out, "write", "O", text);
      if (r == nullptr) PyErr_Clear();
      Py_XDECREF(r);
    }
    Py_DECREF(text);
  }

  std::string buffer_;
};

}  // namespace

Faults read_faults_file(const std::string& path) {
  PythonStdout out;
  std::ostream console(&out);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  LineReader in(fd);
  Faults f;
  try {
    py::gil_scoped_release release;
    read_faults(f.model, in, std::string(16, ' '), path, console);
  } catch (const Stop& stop) {
    console.flush();
    if (in.failed()) {  // a failed read, reported on the console as by the program
      PyErr_SetString(PyExc_OSError, (path + ": " + in.failure()).c_str());
      throw py::error_already_set();
    }
    bad(stop.stop_text + " (" + path + ")");  // no segment in the file
  }
  console.flush();
  return f;
}

py::tuple read_grid(const std::string& path) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  int mmax = 0, nmax = 0;
  if (reakovhdr(in, mmax, nmax) != 0) bad("not a grid file (no \"Coordinate System\" header or bad dimensions): " + path);
  const std::string problem = kov_dimension_problem(mmax, nmax);
  if (!problem.empty()) bad("grid file " + path + ": " + problem);
  Grid2D x(mmax + 1, nmax + 1), y(mmax + 1, nmax + 1);
  std::ostringstream console;
  try {
    reakov(in, x, y, mmax + 1, nmax + 1, console);
  } catch (const Stop& stop) {
    std::string text = console.str();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    bad("grid file " + path + ": " + (text.empty() ? stop.stop_text : text));
  }
  Array ax(std::vector<py::ssize_t>{nmax, mmax}), ay(std::vector<py::ssize_t>{nmax, mmax});
  double* px = ax.mutable_data();
  double* py_ = ay.mutable_data();
  for (int j = 1; j <= nmax; ++j) {
    for (int i = 1; i <= mmax; ++i) {
      px[(j - 1) * mmax + (i - 1)] = x(i, j);
      py_[(j - 1) * mmax + (i - 1)] = y(i, j);
    }
  }
  return py::make_tuple(ax, ay);
}

// A depth/mask file of `rows` rows of `cols` values, read as the grid cards
// read it (free format, each row starting on a new line).
Array read_depth(const std::string& path, int rows, int cols) {
  if (rows < 1 || cols < 1) bad("the shape of a depth/mask file must be positive, got " + std::to_string(rows) +
                                " x " + std::to_string(cols));
  struct stat st {};
  std::ifstream in;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) errno = EISDIR;
  else in.open(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  skip_byte_order_mark(in);
  Array out(std::vector<py::ssize_t>{rows, cols});
  for (int j = 0; j < rows; ++j) {
    std::span<double> row(out.mutable_data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(cols),
                          static_cast<std::size_t>(cols));
    std::fill(row.begin(), row.end(), 0.0);
    const int status = read_free_row(in, 0, row);
    if (status == KOV_STATUS_IO_ERROR) {
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
      throw py::error_already_set();
    }
    if (status != STATUS_OK) {
      bad("depth/mask file " + path + (status == KOV_STATUS_END ? " ends early: row " : ": row ") +
          std::to_string(j + 1) + " of " + std::to_string(rows) + (status == KOV_STATUS_END ? "" : " is unreadable") +
          " (" + std::to_string(cols) + " values expected in each row)");
    }
  }
  return out;
}

int run(const std::vector<std::string>& args) {
  PythonStdout out;
  std::ostream console(&out);
  std::vector<std::string> argv_text{"vadrel"};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  int status = 0;
  {
    py::gil_scoped_release release;
    status = run_program(static_cast<int>(argv_text.size()), argv.data(), console);
    console.flush();
  }
  return status;
}

}  // namespace vadrel::python

#pragma once
// The initial-condition file of a grid (".ini"): the uplift grid in metres,
// row by row, followed by two grids of zeros of the same shape.
#include <iosfwd>
#include <string>
#include <string_view>

#include "core/print_file.hpp"
#include "writers/records.hpp"

namespace vadrel {

// The initial-condition file of a curvilinear grid: the grid file name
// without its last four characters (normally the extension), plus ".ini".
std::string ini_name_for(const std::string& grid_name);

// The initial-condition file: the uplift rows, then two rows of zeros per
// row.  Every row starts on a new line and wraps after kValuesPerLine
// values.  The uplift values come in order, already formatted (by the
// threads that computed them: see uplift_text), and are written as rows
// complete, while later rows are computed.  Every write and the close are
// checked; a failure is reported on the console and stops the run.
class IniFile {
 public:
  static constexpr int kValuesPerLine = 5;

  // `m`: values per row.  Stops the run when the file cannot be opened.
  IniFile(std::ostream& console, std::string name, int m);
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;
  // A file left unfinished by a stop is no initial condition: the file of
  // that name stays as it was.
  ~IniFile() { file_.discard(); }

  // The next uplift value of the grid, row by row.
  void value(std::string_view text);
  // A value without a point: 0.
  void zeros(long count) {
    for (long k = 0; k < count; ++k) value("0.0");
  }
  void count_nonfinite() { ++nonfinite_; }

  // Writes what is left, then the zero rows (n rows were given), and closes
  // the file.  Returns the number of values that were not finite.
  long close(int n);

 private:
  static constexpr std::size_t kFlushAt = std::size_t{1} << 16;

  void flush();
  // Writes whole lines, newlines included.
  void put(const std::string& text);
  [[noreturn]] void failed(const char* what);

  std::ostream& console_;
  std::string name_;
  int m_;
  PrintFile file_;
  int column_ = 0;  // values of the current row given so far
  long nonfinite_ = 0;
  std::string text_;
};

// The uplift (m) of a grid point in the initial-condition file: the range
// change (mm) times the depth/mask factor, in the shortest form that reads
// back as the same double, "0.0" for zero and for a value that is not
// finite.  Formed on the thread that computed the point.
void uplift_text(double drcalc, double factor, TextBuffer& out);

}  // namespace vadrel

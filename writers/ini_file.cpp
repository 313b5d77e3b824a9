#include "writers/ini_file.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ostream>
#include <utility>

#include "core/files.hpp"
#include "core/fixed_format.hpp"
#include "core/syserr.hpp"

namespace vadrel {

std::string ini_name_for(const std::string& grid_name) {
  const std::size_t keep = grid_name.size() > 4 ? grid_name.size() - 4 : 0;
  return grid_name.substr(0, keep) + ".ini";
}

IniFile::IniFile(std::ostream& console, std::string name, int m)
    : console_(console), name_(std::move(name)), m_(m) {
  if (!file_.open(name_)) {
    const int err = errno;
    stop_on_system_error(console_, err, " Error opening file: " + name_field(name_), "Could not open output file.");
  }
}

void IniFile::value(std::string_view text) {
  text_ += ' ';
  text_ += text;
  if (++column_ % kValuesPerLine == 0 || column_ == m_) text_ += '\n';
  if (column_ == m_) {
    column_ = 0;
    if (text_.size() >= kFlushAt) flush();
  }
}

long IniFile::close(int n) {
  flush();
  if (m_ > 0 && n > 0) {
    // The zero rows are all alike: format one and repeat its text.
    std::string zero_row;
    for (int i = 1; i <= m_; ++i) {
      zero_row += " 0.0";
      if (i % kValuesPerLine == 0 || i == m_) zero_row += '\n';
    }
    for (int row = 0; row < 2 * n; ++row) put(zero_row);
  }
  if (!file_.close()) failed("closing");
  return nonfinite_;
}

void IniFile::flush() {
  put(text_);
  text_.clear();
}

void IniFile::put(const std::string& text) {
  if (!file_.write(text)) failed("writing");
}

void IniFile::failed(const char* what) {
  const int err = errno;
  stop_on_system_error(console_, err, std::string(" Error ") + what + " file: " + name_field(name_),
                       "Could not write output file " + name_ + ".");
}

void uplift_text(double drcalc, double factor, TextBuffer& out) {
  const double v = factor > 0.0 ? drcalc * factor / 1000.0 : 0.0;
  if (v == 0.0 || !std::isfinite(v)) {
    std::memcpy(out.extend(3), "0.0", 3);
    return;
  }
  char buf[32];
  const char* end = put_free(buf, v);
  std::memcpy(out.extend(static_cast<std::size_t>(end - buf)), buf, static_cast<std::size_t>(end - buf));
}

}  // namespace vadrel

#include "driver/headers.hpp"

#include <initializer_list>
#include <string_view>

#include "core/fixed_format.hpp"
#include "readers/cardline.hpp"

namespace vadrel {

namespace {

std::string significant(const std::string& name) { return name.substr(0, nblen(name)); }

// "*" followed by the labels, each right-aligned in `width` columns, the
// fields separated by single blanks.
std::string label_line(std::initializer_list<std::string_view> labels, int width) {
  std::string line = "*";
  bool first = true;
  for (const auto label : labels) {
    if (!first) line += ' ';
    line += fmt_a(label, width);
    first = false;
  }
  return line;
}

}  // namespace

std::vector<std::string> echo_lines(const Settings& settings) {
  return {"* faults file =  " + significant(settings.faults_file),
          "* points file =  " + significant(settings.points_file),
          "* print  file =  " + significant(settings.print_file)};
}

std::vector<std::string> header_lines(const Settings& settings) {
  std::vector<std::string> lines;
  if (settings.has("residual")) {
    lines.emplace_back("* X(km) Y(km) Dr(obs)(mm) Dr(calc)(mm) Dr(resid)(mm) ");
  }
  if (settings.has("vector")) {
    lines.push_back(label_line(
        {"X(km)", "Y(km)", "uEast(mm)", "uNorth(mm)", "uUp(mm)", "normu(mm)", "vadrel(mm)"}, 10));
  }
  if (settings.has("strain")) {
    lines.push_back(label_line(
        {"X(km)", "Y(km)", "duede", "duedn", "dunde", "dundn", "duzde", "duzdn"}, 13));
  }
  const std::string labels =
      label_line({"X", "Y", "dr/dX", "dr/dY", "dr/dstrike", "dr/ddepth", "dr/ddip", "dr/dU1",
                  "dr/dU2", "dr/dU3", "dr/dL", "dr/dW"},
                 10);
  const std::string units =
      label_line({"(km)", "(km)", "(mm/km)", "(mm/km)", "(mm/deg)", "(mm/km)", "(mm/deg)",
                  "(mm/mm)", "(mm/mm)", "(mm/mm)", "(mm/km)", "(mm/km)"},
                 10);
  if (settings.has("partial")) {
    lines.emplace_back(" * Partial derivatives d(range)/d(parameter)");
    lines.push_back(labels);
    lines.push_back(units);
  }
  if (settings.has("analytic")) {
    lines.emplace_back(" * Exact derivatives d(range)/d(parameter)");
    lines.push_back(labels);
    lines.push_back(units);
  }
  return lines;
}

}  // namespace vadrel

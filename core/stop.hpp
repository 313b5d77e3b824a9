#pragma once
// A fatal condition ends the run: the message (possibly empty) is written on
// the console and the process exits with a non-zero status.
#include <stdexcept>
#include <string>

namespace vadrel {

inline constexpr int EXIT_STOP = 1;      // every stop
inline constexpr int EXIT_ARGUMENT = 2;  // missing argument, unknown option

struct Stop : std::runtime_error {
  explicit Stop(std::string text, int status = EXIT_STOP)
      : std::runtime_error(text), stop_text(std::move(text)), exit_status(status) {}
  std::string stop_text;
  int exit_status;
};

}  // namespace vadrel

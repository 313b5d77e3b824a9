#include "core/syserr.hpp"

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

#include "core/stop.hpp"

namespace vadrel {

void ferror(int /*status*/, std::ostream& console) {
  std::string msg(std::strerror(errno));
  if (msg.size() > 127) msg.resize(127);
  console << ' ' << msg << '\n';
}

void stop_on_system_error(std::ostream& console, int err, std::string_view message,
                          std::string stop_text) {
  console << message << '\n';
  errno = err;
  ferror(err, console);
  throw Stop(std::move(stop_text));
}

}  // namespace vadrel

#include "core/syserr.hpp"

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

namespace vadrel {

void ferror(int /*status*/, std::ostream& console) {
  std::string msg(std::strerror(errno));
  if (msg.size() > 127) msg.resize(127);
  console << ' ' << msg << '\n';
}

}  // namespace vadrel

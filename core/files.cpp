#include "core/files.hpp"

#include <sys/stat.h>

namespace vadrel {

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool is_directory(const std::string& name) {
  struct stat s {};
  return ::stat(name.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

std::string name_field(const std::string& name) {
  std::string field = name;
  if (field.size() < 80) field.resize(80, ' ');
  return field;
}

}  // namespace vadrel

#pragma once
// Small file-system helpers.
#include <string>

namespace vadrel {

// True when both names refer to one existing file (same device and inode),
// whatever links or spellings lead there.
bool same_file(const std::string& a, const std::string& b);

// True when the name refers to an existing directory.
bool is_directory(const std::string& name);

// A file name as messages show it: padded with blanks to 80 characters;
// longer names are shown whole.
std::string name_field(const std::string& name);

}  // namespace vadrel

#pragma once

#include <string>

namespace quillpost::posix {

// True when both paths are equal or name the same file (device and inode).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace quillpost::posix

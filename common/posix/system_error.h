#pragma once

// Failures of system calls, reported as exceptions of the caller's own kind.

#include <cerrno>
#include <cstring>
#include <string>

namespace quillpost::posix {

// "what: <text of errno>".
inline std::string SystemErrorText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Throws Error naming what failed and why (errno).
template <class Error>
[[noreturn]] void ThrowSystem(const std::string& what) {
  throw Error(SystemErrorText(what));
}

// Throws Error as ThrowSystem does when ok is false.
template <class Error>
void Require(bool ok, const std::string& what) {
  if (!ok) {
    ThrowSystem<Error>(what);
  }
}

}  // namespace quillpost::posix

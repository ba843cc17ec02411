#pragma once

#include <exception>
#include <string>

namespace quillpost::relay {

// The text of the exception being handled; call only inside a catch block.
inline std::string CurrentFailure() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown failure";
  }
}

}  // namespace quillpost::relay

#pragma once

// Reading a message from where it is kept (the store) may fail as that place
// does: such a failure is the relay's own, not the message's, and is told as
// an internal failure so that the mail is tried again.

#include <new>
#include <stdexcept>
#include <string>

#include "mail/outgoing_mail.h"

namespace quillpost::smtp {

// Runs work, which reads the kept message; failures other than a SendFailure
// or running out of memory become the internal failure.
template <typename Work>
auto ReadingStored(Work work) -> decltype(work()) {
  try {
    return work();
  } catch (const SendFailure&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    throw SendFailure(
        failure::kInternal,
        std::string("the message could not be read where it is kept: ") + error.what());
  }
}

}  // namespace quillpost::smtp

#pragma once

// Turns SIGTERM, SIGINT and SIGHUP into a readable file descriptor, so the
// event loop takes them between two events like anything else.

#include "posix/unique_fd.h"

namespace quillpost::program {

class SignalPipe {
 public:
  // Installs the handlers. One instance per process.
  SignalPipe();
  ~SignalPipe();
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  // Readable once a signal came.
  int ReadDescriptor() const { return readEnd_.Get(); }
  // Drains the pipe; returns the last signal number read, 0 when none.
  int Drain();

 private:
  posix::UniqueFd readEnd_;
  posix::UniqueFd writeEnd_;
};

}  // namespace quillpost::program

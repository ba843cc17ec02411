#include "program/signal_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include "posix/system_error.h"

namespace quillpost::program {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

volatile std::sig_atomic_t gWriteEnd = -1;

extern "C" void OnSignal(int number) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(number);
  // A full pipe already holds a pending signal; nothing is lost by skipping.
  [[maybe_unused]] const ssize_t written = ::write(gWriteEnd, &byte, 1);
  errno = saved;
}

}  // namespace

SignalPipe::SignalPipe() {
  int ends[2];
  posix::Require<std::runtime_error>(::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0,
                                     "cannot create the signal pipe");
  readEnd_.Reset(ends[0]);
  writeEnd_.Reset(ends[1]);
  gWriteEnd = writeEnd_.Get();

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int number : kSignals) {
    ::sigaction(number, &action, nullptr);
  }
}

SignalPipe::~SignalPipe() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (const int number : kSignals) {
    ::sigaction(number, &action, nullptr);
  }
  gWriteEnd = -1;
}

int SignalPipe::Drain() {
  int last = 0;
  unsigned char byte = 0;
  while (::read(readEnd_.Get(), &byte, 1) == 1) {
    last = byte;
  }
  return last;
}

}  // namespace quillpost::program

#include "program/signal_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>

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
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error(std::string("cannot create the signal pipe: ") + std::strerror(errno));
  }
  readEnd_ = ends[0];
  writeEnd_ = ends[1];
  gWriteEnd = writeEnd_;

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
  ::close(readEnd_);
  ::close(writeEnd_);
}

int SignalPipe::Drain() {
  int last = 0;
  unsigned char byte = 0;
  while (::read(readEnd_, &byte, 1) == 1) {
    last = byte;
  }
  return last;
}

}  // namespace quillpost::program

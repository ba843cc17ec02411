// Prepares and inspects the queue store for the installed-package test.
//   install_queue_probe create QUEUE
//   install_queue_probe expect QUEUE TEXT...   one inbound message per TEXT, in
//                                              order, each holding its TEXT

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "queue/queue.h"

namespace {

int Expect(const std::string& name, const std::vector<std::string>& texts) {
  const auto open = quillpost::queue::QueuePath(name).Open(quillpost::queue::Access::Receive);
  int failures = 0;
  for (const std::string& text : texts) {
    auto message = open->Receive(std::chrono::milliseconds(0));
    if (!message) {
      std::cerr << "queue_probe: no message holding '" << text << "'\n";
      return 1;
    }
    if (message->Label() != "Quillpost-Inbound" || message->Priority() != 7 ||
        message->Body().find(text) == std::string::npos) {
      std::cerr << "queue_probe: unexpected message '" << message->Label() << "' at priority "
                << message->Priority() << ": " << message->Body() << '\n';
      ++failures;
    }
    message->Finish();
  }
  if (open->Receive(std::chrono::milliseconds(0))) {
    std::cerr << "queue_probe: more messages than expected\n";
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 2 && args[0] == "create") {
      quillpost::queue::QueuePath(args[1]).Create();
      return 0;
    }
    if (args.size() >= 3 && args[0] == "expect") {
      return Expect(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    }
  } catch (const std::exception& error) {
    std::cerr << "queue_probe: " << error.what() << '\n';
    return 1;
  }
  std::cerr << "usage: install_queue_probe create QUEUE | expect QUEUE TEXT...\n";
  return 2;
}

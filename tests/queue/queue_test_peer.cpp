// Works on queues from a separate process for the multi-process tests.
//
//   queue_test_peer send PATH COUNT        sends COUNT messages labelled m0, m1, ...
//   queue_test_peer drain PATH [MS]        prints "ready" once the queue is open, then
//                                          receives and finishes (after MS of work) until
//                                          the queue stays empty for a while; prints each
//                                          label
//   queue_test_peer hold PATH              receives one message, prints its label and
//                                          keeps it in hand until killed
//   queue_test_peer arrival PATH           arms a report, prints "armed", waits for it,
//                                          prints "arrived"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "queue/queue.h"

using quillpost::queue::Access;
using quillpost::queue::ArrivalSink;
using quillpost::queue::Message;
using quillpost::queue::OpenQueue;
using quillpost::queue::QueuePath;

namespace {

class Flag : public ArrivalSink {
 public:
  void Arrived(OpenQueue&, long) override { arrived = true; }
  bool arrived = false;
};

int Send(const std::string& path, int count) {
  auto queue = QueuePath(path).Open(Access::Send);
  for (int i = 0; i < count; ++i) {
    queue->Send(Message{"m" + std::to_string(i), "body " + std::to_string(i), 3});
  }
  queue->Close();
  return 0;
}

int Drain(const std::string& path, std::chrono::milliseconds work) {
  auto queue = QueuePath(path).Open(Access::Receive);
  std::cout << "ready" << std::endl;
  // The first message may take a while (the sender is still starting); after
  // that a short silence means the queue is drained.
  auto wait = std::chrono::milliseconds(10000);
  while (auto message = queue->Receive(wait)) {
    std::cout << message->Label() << '\n';
    std::this_thread::sleep_for(work);
    message->Finish();
    wait = std::chrono::milliseconds(500);
  }
  std::cout << std::flush;
  return 0;
}

int Hold(const std::string& path) {
  auto queue = QueuePath(path).Open(Access::Receive);
  auto message = queue->Receive(std::chrono::seconds(10));
  std::cout << (message ? message->Label() : std::string("none")) << std::endl;
  for (;;) {
    ::pause();
  }
}

int Arrival(const std::string& path) {
  auto queue = QueuePath(path).Open(Access::Receive);
  Flag flag;
  queue->EnableNotification(flag);
  std::cout << "armed" << std::endl;
  while (!flag.arrived) {
    pollfd watch{queue->NotificationDescriptor(), POLLIN, 0};
    if (::poll(&watch, 1, 10000) != 1) {
      std::cout << "timeout" << std::endl;
      return 1;
    }
    queue->DeliverNotification();
  }
  std::cout << "arrived" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string command = argc > 2 ? argv[1] : "";
    if (command == "send" && argc == 4) {
      return Send(argv[2], std::stoi(argv[3]));
    }
    if (command == "drain") {
      return Drain(argv[2], std::chrono::milliseconds(argc > 3 ? std::stoi(argv[3]) : 0));
    }
    if (command == "hold") {
      return Hold(argv[2]);
    }
    if (command == "arrival") {
      return Arrival(argv[2]);
    }
    std::cerr << "usage: queue_test_peer send|drain|hold|arrival PATH [COUNT]\n";
    return 2;
  } catch (const std::exception& error) {
    std::cout << "error: " << error.what() << std::endl;
    return 1;
  }
}

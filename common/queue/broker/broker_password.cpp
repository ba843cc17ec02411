#include "queue/broker/broker_password.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "queue/queue.h"

namespace quillpost::queue {

std::string BrokerPasswordFromFile() {
  const char* file = std::getenv(kBrokerPasswordFileVariable);
  if (file == nullptr || *file == '\0') {
    return {};
  }
  std::ifstream in(file);
  if (!in) {
    throw QueueError(std::string("cannot read the broker password file ") + file + " (named by " +
                     kBrokerPasswordFileVariable + "): " + std::strerror(errno));
  }
  std::string password;
  std::getline(in, password);
  if (!password.empty() && password.back() == '\r') {
    password.pop_back();
  }
  return password;
}

}  // namespace quillpost::queue

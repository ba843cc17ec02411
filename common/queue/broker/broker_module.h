#pragma once

// The broker as a module (quillpost-queue-broker.so), for the submission
// library: librabbitmq, OpenSSL and libcrypto cost a short-lived sending
// process milliseconds to map, and only amqp:// path names need them.

#include <memory>

#include "queue/backend.h"
#include "queue/shared_sender.h"

namespace quillpost::queue {

struct BrokerModule {
  int version;
  const Backend& (*backend)();
  std::unique_ptr<SharedSender> (*makeSender)();
};

inline constexpr const char* kBrokerModuleFile = "quillpost-queue-broker.so";
inline constexpr const char* kBrokerModuleSymbol = "quillpost_queue_broker_module";
// Changes whenever BrokerModule or the interfaces it hands out do.
inline constexpr int kBrokerModuleVersion = 1;

}  // namespace quillpost::queue

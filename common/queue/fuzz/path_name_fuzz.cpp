// Any text as a queue path name or store name must either be read or raise
// QueueError. What is read must come back the same through the name built
// for it, and a broker's name must never carry its credentials into the form
// that is shown.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "queue/broker/broker_address.h"
#include "queue/path_name.h"
#include "queue/queue.h"

namespace {

using namespace quillpost::queue;

void CheckStorePath(const std::string& text) {
  QueueLocation location;
  try {
    location = ParseQueuePath(text);
  } catch (const QueueError&) {
    return;
  }
  const QueueLocation again = ParseQueuePath(QueuePathIn(location.storeFolder, location.queueName));
  if (again.storeFolder != location.storeFolder || again.queueName != location.queueName) {
    std::abort();
  }
}

void CheckBrokerPath(const std::string& text) {
  BrokerQueueName name;
  try {
    name = ParseBrokerQueuePath(text);
  } catch (const QueueError&) {
    return;
  }
  const BrokerQueueName shown = ParseBrokerQueuePath(name.Display());
  if (shown.broker.nodes != name.broker.nodes || shown.broker.vhost != name.broker.vhost ||
      shown.queue != name.queue || shown.broker.tls != name.broker.tls) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (RedactPathName(text).size() > text.size()) {
    std::abort();
  }
  if (BackendKindOf(text) == BackendKind::Broker) {
    CheckBrokerPath(text);
    try {
      ParseBrokerStoreName(text);
    } catch (const QueueError&) {
    }
  } else {
    CheckStorePath(text);
    try {
      ParseStoreName(text);
    } catch (const QueueError&) {
    }
  }
  return 0;
}

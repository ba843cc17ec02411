#include "relay_id_lookup.h"

#include <strings.h>

#include "queue/admin/queue_admin.h"
#include "queue/message_name.h"
#include "queue/path_name.h"

namespace quillpost::queue {

std::vector<std::string> FindByRelayId(const std::string& storeName, const std::string& relayId) {
  std::vector<std::string> found;
  for (const QueueInfo& queue : ListQueues(storeName)) {
    for (const PeekedMessage& message : PeekQueue(QueuePathIn(storeName, queue.name), false)) {
      if (message.name.size() == relayId.size() &&
          ::strncasecmp(message.name.c_str(), relayId.c_str(), relayId.size()) == 0) {
        found.push_back(message.id);
      }
    }
  }
  return found;
}

}  // namespace quillpost::queue

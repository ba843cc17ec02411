#include "relay_id_lookup.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

#include "queue/admin/queue_admin.h"
#include "queue/path_name.h"
#include "request_summary.h"

namespace quillpost::queue {

bool LooksLikeRelayId(const std::string& text) {
  return text.size() == 16 && std::all_of(text.begin(), text.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0;
         });
}

std::optional<std::string> FindByRelayId(const std::string& storeName, const std::string& relayId) {
  for (const QueueInfo& queue : ListQueues(storeName)) {
    for (const PeekedMessage& message : PeekQueue(QueuePathIn(storeName, queue.name), true)) {
      const std::string found = SummarizeRequest(message.body).relayId;
      if (found.size() == relayId.size() &&
          ::strncasecmp(found.c_str(), relayId.c_str(), relayId.size()) == 0) {
        return message.id;
      }
    }
  }
  return std::nullopt;
}

}  // namespace quillpost::queue

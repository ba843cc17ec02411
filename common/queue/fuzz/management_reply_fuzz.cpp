// Any reply of the broker's management interface must either be read as a
// queue list or raise QueueError: no crash, however deep or broken.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "queue/admin/management_reply.h"
#include "queue/queue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  try {
    quillpost::queue::broker::ParseQueueList(reply);
  } catch (const quillpost::queue::QueueError&) {
  }
  return 0;
}

#include "queue/broker/broker_pool.h"

#include <unistd.h>

#include <mutex>
#include <vector>

namespace quillpost::queue {
namespace {

constexpr std::size_t kMostIdle = 4;

struct Pool {
  std::mutex mutex;
  pid_t owner = ::getpid();
  std::vector<std::unique_ptr<BrokerConnection>> idle;

  // A forked child shares its parent's sockets: it must neither use nor close
  // them, only forget them.
  void ForgetAfterFork() {
    if (owner == ::getpid()) {
      return;
    }
    for (auto& connection : idle) {
      connection->Abandon();
    }
    idle.clear();
    owner = ::getpid();
  }
};

Pool& ThePool() {
  static Pool pool;
  return pool;
}

}  // namespace

std::unique_ptr<BrokerConnection> TakeIdleConnection(const BrokerAddress& address) {
  Pool& pool = ThePool();
  std::unique_ptr<BrokerConnection> found;
  {
    const std::lock_guard lock(pool.mutex);
    pool.ForgetAfterFork();
    for (auto it = pool.idle.begin(); it != pool.idle.end(); ++it) {
      if ((*it)->Address().SameBroker(address)) {
        found = std::move(*it);
        pool.idle.erase(it);
        break;
      }
    }
  }
  if (!found) {
    return nullptr;
  }
  try {
    // Notices a connection that the broker closed while it was idle.
    found->Pump(std::chrono::milliseconds(0));
  } catch (const QueueError&) {
    return nullptr;
  }
  return found->Broken() ? nullptr : std::move(found);
}

void KeepIdleConnection(std::unique_ptr<BrokerConnection> connection) {
  if (!connection || connection->Broken()) {
    return;
  }
  Pool& pool = ThePool();
  std::unique_ptr<BrokerConnection> surplus;
  const std::lock_guard lock(pool.mutex);
  pool.ForgetAfterFork();
  pool.idle.push_back(std::move(connection));
  if (pool.idle.size() > kMostIdle) {
    surplus = std::move(pool.idle.front());
    pool.idle.erase(pool.idle.begin());
  }
}

}  // namespace quillpost::queue

#include "delay_proxy.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <deque>
#include <list>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillpost::bench {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

void NoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool WriteAll(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t wrote = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (wrote <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// One client and its connection to the server.
struct Link {
  struct Held {
    Clock::time_point due;
    std::string data;
  };
  posix::UniqueFd client;
  posix::UniqueFd server;
  std::deque<Held> toClient;
  bool serverEnded = false;
  bool broken = false;
};

}  // namespace

DelayProxy::DelayProxy(int serverPort, std::chrono::microseconds delay)
    : serverPort_(serverPort), delay_(delay), listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  std::array<int, 2> stop{};
  if (!listener_.Valid() ||
      ::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.Get(), 64) != 0 ||
      ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe(stop.data()) != 0) {
    throw std::runtime_error("cannot set up the delaying forwarder");
  }
  stopRead_ = posix::UniqueFd(stop[0]);
  stopWrite_ = posix::UniqueFd(stop[1]);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

DelayProxy::~DelayProxy() {
  [[maybe_unused]] const ssize_t wrote = ::write(stopWrite_.Get(), "x", 1);
  thread_.join();
}

void DelayProxy::Run() {
  std::list<Link> links;
  std::array<char, 65536> buffer{};
  for (;;) {
    std::vector<pollfd> watched = {{stopRead_.Get(), POLLIN, 0}, {listener_.Get(), POLLIN, 0}};
    std::vector<std::pair<Link*, bool>> owners;  // the link of each further entry; true: server
    auto wait = std::chrono::milliseconds(-1);
    const auto now = Clock::now();
    for (Link& link : links) {
      watched.push_back({link.client.Get(), POLLIN, 0});
      owners.emplace_back(&link, false);
      if (!link.serverEnded) {
        watched.push_back({link.server.Get(), POLLIN, 0});
        owners.emplace_back(&link, true);
      }
      if (!link.toClient.empty()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(link.toClient.front().due - now);
        const auto bounded = std::max(left, std::chrono::milliseconds(0));
        wait = wait.count() < 0 ? bounded : std::min(wait, bounded);
      }
    }
    ::poll(watched.data(), watched.size(), static_cast<int>(wait.count()));
    if (watched[0].revents != 0) {
      return;
    }
    if (watched[1].revents != 0) {
      posix::UniqueFd client(::accept(listener_.Get(), nullptr, nullptr));
      posix::UniqueFd server(::socket(AF_INET, SOCK_STREAM, 0));
      const sockaddr_in address = Loopback(serverPort_);
      if (client.Valid() && server.Valid() &&
          ::connect(server.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
              0) {
        NoDelay(client.Get());
        NoDelay(server.Get());
        links.push_back(Link{std::move(client), std::move(server), {}, false, false});
      }
    }
    for (std::size_t i = 2; i < watched.size(); ++i) {
      if (watched[i].revents == 0) {
        continue;
      }
      auto [link, fromServer] = owners[i - 2];
      const ssize_t got = ::recv(watched[i].fd, buffer.data(), buffer.size(), 0);
      if (fromServer) {
        if (got <= 0) {
          link->serverEnded = true;
        } else {
          link->toClient.push_back(
              {Clock::now() + delay_, std::string(buffer.data(), static_cast<std::size_t>(got))});
        }
      } else if (got <= 0 || !WriteAll(link->server.Get(),
                                       std::string(buffer.data(), static_cast<std::size_t>(got)))) {
        link->broken = true;
      }
    }
    const auto due = Clock::now();
    for (Link& link : links) {
      while (!link.broken && !link.toClient.empty() && link.toClient.front().due <= due) {
        link.broken = !WriteAll(link.client.Get(), link.toClient.front().data);
        link.toClient.pop_front();
      }
    }
    links.remove_if([](const Link& link) {
      return link.broken || (link.serverEnded && link.toClient.empty());
    });
  }
}

}  // namespace quillpost::bench

#include "queue/broker/broker_address.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <vector>

#include "queue/broker/broker_password.h"
#include "queue/path_name.h"
#include "queue/queue.h"

namespace quillpost::queue {
namespace {

constexpr int kAmqpPort = 5672;
constexpr int kAmqpsPort = 5671;

[[noreturn]] void Refuse(const std::string& pathName, const std::string& why) {
  throw QueueError("broker path name '" + RedactPathName(pathName) + "' " + why);
}

std::string Decode(std::string_view text, const std::string& whole) {
  return PercentDecode(text, RedactPathName(whole));
}

// One host[:port] of the authority's list.
BrokerNode ParseNode(const std::string& url, std::string_view authority, bool tls) {
  BrokerNode node;
  std::string_view portText;
  if (authority.starts_with("[")) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) {
      Refuse(url, "has an unclosed '[' in its host");
    }
    node.host = std::string(authority.substr(1, close - 1));
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(":")) {
      Refuse(url, "has text after its host's ']'");
    }
    portText = after.empty() ? after : after.substr(1);
  } else {
    const std::size_t colon = authority.find(':');
    node.host = std::string(authority.substr(0, colon));
    portText = colon == std::string_view::npos ? "" : authority.substr(colon + 1);
  }
  if (node.host.empty()) {
    Refuse(url, "names no host (or an empty one in its list of hosts)");
  }
  // A host name or address never holds brackets, spaces or control bytes;
  // one that did could not be written back as the same path name.
  for (const char c : node.host) {
    if (c == '[' || c == ']' || static_cast<unsigned char>(c) <= ' ' || c == '\x7f') {
      Refuse(url, "has a character in its host that no host name holds");
    }
  }
  node.port = tls ? kAmqpsPort : kAmqpPort;
  if (!portText.empty()) {
    int port = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (error != std::errc() || end != portText.data() + portText.size() || port < 1 ||
        port > 65535) {
      Refuse(url, "has a port that is not a number from 1 to 65535");
    }
    node.port = port;
  }
  return node;
}

// Parses scheme, credentials, and the hosts with their ports; returns the path after the
// authority (starting with '/', or empty).
std::string_view ParseAuthority(const std::string& url, BrokerAddress& address) {
  std::string_view rest(url);
  if (rest.find('\0') != std::string_view::npos) {
    Refuse(url, "contains a NUL character");
  }
  if (rest.starts_with("amqps://")) {
    address.tls = true;
    rest.remove_prefix(8);
  } else if (rest.starts_with("amqp://")) {
    rest.remove_prefix(7);
  } else {
    Refuse(url, "does not start with amqp:// or amqps://");
  }
  const std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  const std::string_view path = slash == std::string_view::npos ? "" : rest.substr(slash);

  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view userInfo = authority.substr(0, at);
    authority.remove_prefix(at + 1);
    const std::size_t colon = userInfo.find(':');
    address.user = Decode(userInfo.substr(0, colon), url);
    address.password = colon == std::string_view::npos ? BrokerPasswordFromFile()
                                                       : Decode(userInfo.substr(colon + 1), url);
    if (address.user.empty()) {
      Refuse(url, "names an empty user");
    }
  }

  if (authority.empty()) {
    Refuse(url, "names no host");
  }
  for (;;) {
    const std::size_t comma = authority.find(',');
    address.nodes.push_back(ParseNode(url, authority.substr(0, comma), address.tls));
    if (comma == std::string_view::npos) {
      break;
    }
    authority.remove_prefix(comma + 1);
  }
  return path;
}

std::vector<std::string_view> Segments(std::string_view path) {
  std::vector<std::string_view> segments;
  if (path.empty()) {
    return segments;
  }
  path.remove_prefix(1);
  for (;;) {
    const std::size_t slash = path.find('/');
    segments.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) {
      return segments;
    }
    path.remove_prefix(slash + 1);
  }
}

std::string HostText(const std::string& host) {
  return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

}  // namespace

std::string BrokerNode::Display() const {
  return HostText(host) + ":" + std::to_string(port);
}

std::string BrokerAddress::Display() const {
  std::string hosts;
  for (const BrokerNode& node : nodes) {
    hosts += (hosts.empty() ? "" : ",") + node.Display();
  }
  return std::string(tls ? "amqps://" : "amqp://") + hosts + "/" + PercentEncode(vhost);
}

std::string BrokerAddress::DisplayNode(std::size_t node) const {
  return std::string(tls ? "amqps://" : "amqp://") + nodes.at(node).Display() + "/" +
         PercentEncode(vhost);
}

bool BrokerAddress::SameBroker(const BrokerAddress& other) const {
  const auto sorted = [](std::vector<BrokerNode> list) {
    std::sort(list.begin(), list.end(), [](const BrokerNode& a, const BrokerNode& b) {
      return a.host != b.host ? a.host < b.host : a.port < b.port;
    });
    return list;
  };
  return tls == other.tls && vhost == other.vhost && user == other.user &&
         password == other.password && sorted(nodes) == sorted(other.nodes);
}

std::string BrokerQueueName::Display() const {
  return broker.Display() + "/" + queue;
}

BrokerQueueName ParseBrokerQueuePath(const std::string& pathName) {
  BrokerQueueName name;
  const std::vector<std::string_view> segments = Segments(ParseAuthority(pathName, name.broker));
  if (segments.size() != 2) {
    Refuse(pathName,
           "must end in /vhost/queue (the default virtual host '/' is written %2f, as in "
           "amqp://host/%2f/kvr_mailer)");
  }
  name.broker.vhost = Decode(segments[0], pathName);
  if (name.broker.vhost.empty()) {
    Refuse(pathName, "names an empty virtual host (the default one is written %2f)");
  }
  name.queue = std::string(segments[1]);
  if (!IsValidQueueName(name.queue)) {
    Refuse(pathName,
           "does not end in a valid queue name (1 to 128 of A-Z a-z 0-9 _ - . not starting "
           "with '.' or '-')");
  }
  if (name.queue.starts_with("amq.")) {
    Refuse(pathName, "names a queue starting with 'amq.', which the broker keeps for itself");
  }
  return name;
}

BrokerAddress ParseBrokerStoreName(const std::string& storeName) {
  BrokerAddress address;
  std::vector<std::string_view> segments = Segments(ParseAuthority(storeName, address));
  if (segments.size() == 2 && segments[1].empty()) {
    segments.pop_back();  // a trailing slash
  }
  if (segments.size() != 1 || segments[0].empty()) {
    Refuse(storeName, "must end in /vhost (the default virtual host '/' is written %2f)");
  }
  address.vhost = Decode(segments[0], storeName);
  return address;
}

}  // namespace quillpost::queue

#include "mail/server_list.h"

#include <algorithm>
#include <charconv>

#include "mail/outgoing_mail.h"
#include "message/address_syntax.h"

namespace quillpost::smtp {

using message::IsValidServerName;

std::vector<std::string> ListItems(std::string_view list) {
  std::vector<std::string> items;
  std::string current;
  for (const char c : list) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!current.empty()) {
        items.push_back(std::move(current));
      }
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) {
    items.push_back(std::move(current));
  }
  return items;
}

namespace {

int Port(const std::string& item, std::string_view text) {
  int port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || port < 1 ||
      port > 65535) {
    throw SendFailure(failure::kSettingsUnusable,
                      "connection settings cannot be used: \"" + item + "\" has no valid port");
  }
  return port;
}

ServerAddress ParseItem(const std::string& item) {
  ServerAddress address{item, std::nullopt, item};
  const std::string_view text(item);
  if (text.front() == '[') {  // [v6] or [v6]:port
    const std::size_t close = text.find(']');
    if (close != std::string_view::npos && close + 1 < text.size() && text[close + 1] == ':') {
      address.port = Port(item, text.substr(close + 2));
      address.host = item.substr(0, close + 1);
    }
  } else if (std::count(text.begin(), text.end(), ':') == 1) {  // host:port
    const std::size_t colon = text.find(':');
    address.port = Port(item, text.substr(colon + 1));
    address.host = item.substr(0, colon);
  }
  if (!IsValidServerName(address.host)) {
    throw SendFailure(failure::kHostNotFound, "\"" + item + "\" is not a host name");
  }
  if (address.host.front() == '[') {
    address.host = address.host.substr(1, address.host.size() - 2);
  }
  return address;
}

}  // namespace

std::vector<ServerAddress> ParseServerList(const std::string& list) {
  std::vector<ServerAddress> servers;
  for (const std::string& item : ListItems(list)) {
    servers.push_back(ParseItem(item));
  }
  if (servers.empty()) {
    throw SendFailure(failure::kHostNotFound, "no SMTP server is set");
  }
  return servers;
}

}  // namespace quillpost::smtp

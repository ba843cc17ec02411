#include "smtp_peer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quillpost::peer {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(15);

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 't') {
      out += '\t';
    } else if (c == 'r') {
      out += '\r';
    } else if (c == 'n') {
      out += '\n';
    } else if (c == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) {
      return fields;
    }
    start = tab + 1;
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::filesystem::path MakeFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "smtp-peer-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a folder for the SMTP peer");
  }
  return pattern;
}

std::string PeerScript() {
  if (const char* source = std::getenv("QUILLPOST_SOURCE_DIR")) {
    return std::string(source) + "/tests/peer/smtp_peer.py";
  }
  return QUILLPOST_SMTP_PEER_SCRIPT;
}

std::vector<std::string> Arguments(const SmtpPeerOptions& options,
                                   const std::filesystem::path& folder) {
  std::vector<std::string> args = {"/usr/bin/python3", PeerScript(), "--dir", folder.string()};
  for (const auto& [stage, code] : options.refuse) {
    args.insert(args.end(), {"--refuse", stage + "=" + std::to_string(code)});
  }
  for (const auto& [address, code] : options.refuseRecipient) {
    args.insert(args.end(), {"--refuse-recipient", address + "=" + std::to_string(code)});
  }
  if (!options.stall.empty()) {
    args.insert(args.end(), {"--stall", options.stall});
  }
  const std::array<std::pair<bool, const char*>, 6> flags = {{
      {options.startTls, "--tls"},
      {options.implicitTls, "--implicit-tls"},
      {options.requireStartTls, "--require-starttls"},
      {options.authWithoutTls, "--auth-plain-ok"},
      {options.closeAfterMail, "--close-after-mail"},
      {options.refuseOnReuse, "--refuse-on-reuse"},
  }};
  for (const auto& [on, flag] : flags) {
    if (on) {
      args.emplace_back(flag);
    }
  }
  if (options.delaySeconds > 0) {
    args.insert(args.end(), {"--delay", std::to_string(options.delaySeconds)});
  }
  if (options.maxConnections > 0) {
    args.insert(args.end(), {"--max-connections", std::to_string(options.maxConnections)});
  }
  if (!options.authUser.empty()) {
    args.insert(args.end(), {"--auth", options.authUser + ":" + options.authPassword});
  }
  if (!options.xoauth2User.empty()) {
    args.insert(args.end(), {"--xoauth2", options.xoauth2User + ":" + options.xoauth2Token});
  }
  return args;
}

// Reads "PORT <n>" from the peer's standard output.
int AwaitPort(int fd) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 200) <= 0) {
      continue;
    }
    std::array<char, 256> buffer{};
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got <= 0) {
      break;
    }
    received.append(buffer.data(), static_cast<std::size_t>(got));
    if (const std::size_t end = received.find('\n'); end != std::string::npos) {
      if (received.rfind("PORT ", 0) == 0) {
        return std::stoi(received.substr(5, end - 5));
      }
      break;
    }
  }
  return 0;
}

}  // namespace

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot probe a free port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

std::vector<std::string> DeliveredMessage::Header(const std::string& name) const {
  const auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  };
  std::vector<std::string> values;
  for (const auto& [key, value] : headers) {
    if (lower(key) == lower(name)) {
      values.push_back(value);
    }
  }
  return values;
}

SmtpPeer::SmtpPeer(const SmtpPeerOptions& options) : folder_(MakeFolder()) {
  const std::vector<std::string> args = Arguments(options, folder_);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);

  std::array<int, 2> pipe{};
  if (::pipe2(pipe.data(), O_CLOEXEC) != 0) {
    std::filesystem::remove_all(folder_);
    throw std::runtime_error("cannot create a pipe for the SMTP peer");
  }
  const std::string errors = (folder_ / "peer.err").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  if (spawned != 0) {
    ::close(pipe[0]);
    pid_ = -1;
    std::filesystem::remove_all(folder_);
    throw std::runtime_error("cannot start /usr/bin/python3 for the SMTP peer");
  }
  port_ = AwaitPort(pipe[0]);
  ::close(pipe[0]);
  if (port_ == 0) {
    const std::string why = ReadFile(errors);
    Stop();
    throw std::runtime_error("the SMTP peer did not start: " + why);
  }
}

SmtpPeer::~SmtpPeer() {
  Stop();
}

void SmtpPeer::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (std::getenv("QUILLPOST_KEEP_PEER_FILES") == nullptr) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

std::vector<DeliveredMessage> SmtpPeer::Messages() const {
  std::vector<DeliveredMessage> messages;
  for (int index = 1;; ++index) {
    std::array<char, 16> stem{};
    std::snprintf(stem.data(), stem.size(), "%04d", index);
    const std::filesystem::path summary = folder_ / (std::string(stem.data()) + ".summary");
    if (!std::filesystem::exists(summary)) {
      return messages;
    }
    DeliveredMessage message;
    message.raw = ReadFile(folder_ / (std::string(stem.data()) + ".eml"));
    for (const std::string& line : Lines(ReadFile(summary))) {
      const std::vector<std::string> fields = SplitTabs(line);
      const std::string& key = fields[0];
      const std::string value = fields.size() > 1 ? Unescape(fields[1]) : std::string();
      if (key == "conn") {
        message.connection = std::stoi(value);
      } else if (key == "from") {
        message.envelopeFrom = value;
      } else if (key == "rcpt") {
        message.envelopeTo.push_back(value);
      } else if (key == "header" && fields.size() > 2) {
        message.headers.emplace_back(value, Unescape(fields[2]));
      } else if (key == "body") {
        message.body = value;
      } else if (key == "attachment" && fields.size() > 3) {
        message.attachments.push_back({value, fields[2], ReadFile(folder_ / fields[3])});
      } else if (key == "defect") {
        message.defects.push_back(value);
      } else if (key == "longest-line") {
        message.longestLine = std::stoul(value);
      }
    }
    messages.push_back(std::move(message));
  }
}

std::vector<std::string> SmtpPeer::Events() const {
  return Lines(ReadFile(folder_ / "events.log"));
}

int SmtpPeer::Connections() const {
  const auto events = Events();
  return static_cast<int>(std::count_if(events.begin(), events.end(), [](const std::string& e) {
    return e.size() > 8 && e.compare(e.size() - 8, 8, " CONNECT") == 0;
  }));
}

int SmtpPeer::MostSessionsAtOnce() const {
  const auto events = Events();
  std::set<std::string> refused;
  for (const std::string& event : events) {
    if (event.ends_with(" TOO-MANY")) {
      refused.insert(event.substr(0, event.find(' ')));
    }
  }
  int open = 0;
  int most = 0;
  for (const std::string& event : events) {
    if (refused.count(event.substr(0, event.find(' '))) != 0) {
      continue;
    }
    if (event.ends_with(" CONNECT")) {
      most = std::max(most, ++open);
    } else if (event.ends_with(" CLOSE")) {
      --open;
    }
  }
  return most;
}

int SmtpPeer::RefusedAsTooMany() const {
  const auto events = Events();
  return static_cast<int>(std::count_if(
      events.begin(), events.end(), [](const std::string& e) { return e.ends_with(" TOO-MANY"); }));
}

std::vector<std::string> SmtpPeer::Commands() const {
  std::vector<std::string> commands;
  for (const std::string& event : Events()) {
    const std::size_t marker = event.find(" >> ");
    if (marker != std::string::npos) {
      commands.push_back(event.substr(0, marker) + " " + Unescape(event.substr(marker + 4)));
    }
  }
  return commands;
}

bool SmtpPeer::WaitForClosedConnections(int count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const auto events = Events();
    const auto closed = std::count_if(events.begin(), events.end(), [](const std::string& e) {
      return e.size() > 6 && e.compare(e.size() - 6, 6, " CLOSE") == 0;
    });
    if (closed >= count) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace quillpost::peer

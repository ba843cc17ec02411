#pragma once

// Starts the Python SMTP test peer (smtp_peer.py) on a free loopback port for
// the lifetime of the object, and reads back what it received. Messages are
// parsed by Python's email package, independently of the code under test.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace quillpost::peer {

// A loopback port that nothing listens on at the moment, probed by binding
// port 0. Throws std::runtime_error when the probe fails.
int FreePort();

struct SmtpPeerOptions {
  // Stage (greeting, ehlo, helo, starttls, mail, rcpt, data, content, quit) -> reply code.
  std::map<std::string, int> refuse;
  // Recipient address -> reply code for its RCPT TO.
  std::map<std::string, int> refuseRecipient;
  // Stage at which the peer stops answering (greeting, ehlo, mail, rcpt, data,
  // receiving, content, quit); empty: none.
  std::string stall;
  bool startTls = false;         // offer STARTTLS (self-signed certificate: CertificateFile())
  bool implicitTls = false;      // TLS from the first byte
  bool requireStartTls = false;  // refuse commands before STARTTLS
  std::string authUser;          // non-empty: AUTH required with these credentials
  std::string authPassword;
  std::string xoauth2User;  // non-empty: AUTH XOAUTH2 required with this user and token
  std::string xoauth2Token;
  bool authWithoutTls = false;  // allow AUTH on a connection without TLS
  bool closeAfterMail = false;  // drop the connection right after accepting a message
  bool refuseOnReuse = false;   // 421 and close when a second mail comes on one connection
  // Seconds before each reply to MAIL, RCPT, DATA and the data's end: a far
  // relay host.
  double delaySeconds = 0;
  // Above zero: a 421 greeting for any connection beyond this many open ones.
  int maxConnections = 0;
};

struct DeliveredAttachment {
  std::string fileName;
  std::string contentType;
  std::string content;  // decoded bytes
};

struct DeliveredMessage {
  int connection = 0;  // which connection carried it (1, 2, ...)
  std::string envelopeFrom;
  std::vector<std::string> envelopeTo;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, values decoded
  std::string body;                                          // the text part, decoded
  std::vector<DeliveredAttachment> attachments;
  std::vector<std::string> defects;  // what the parser found wrong
  std::size_t longestLine = 0;       // octets, without CR LF
  std::string raw;                   // as received

  // Values of every header with this name (case-insensitive).
  std::vector<std::string> Header(const std::string& name) const;
};

class SmtpPeer {
 public:
  explicit SmtpPeer(const SmtpPeerOptions& options = {});
  ~SmtpPeer();
  SmtpPeer(const SmtpPeer&) = delete;
  SmtpPeer& operator=(const SmtpPeer&) = delete;

  int Port() const { return port_; }
  // The peer's self-signed certificate (with TLS options), to trust as CA file.
  std::string CertificateFile() const { return (folder_ / "cert.pem").string(); }
  // A scratch folder removed with the peer, for files the test needs.
  const std::filesystem::path& Folder() const { return folder_; }

  // Messages accepted so far, in order.
  std::vector<DeliveredMessage> Messages() const;
  // Connections accepted so far.
  int Connections() const;
  // Command lines received so far, as "<connection> <line>".
  std::vector<std::string> Commands() const;
  // The most sessions open at once, and the connections refused for being
  // too many (maxConnections).
  int MostSessionsAtOnce() const;
  int RefusedAsTooMany() const;
  // Waits until `count` connections have been closed, or the time is up.
  bool WaitForClosedConnections(int count, std::chrono::milliseconds timeout) const;

 private:
  std::vector<std::string> Events() const;
  void Stop();

  std::filesystem::path folder_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace quillpost::peer

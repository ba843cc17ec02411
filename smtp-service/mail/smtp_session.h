#pragma once

// One SMTP client session with a relay host, on libcurl. A session may carry
// several mails one after the other over the same connection.

#include <curl/curl.h>

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/message_text.h"
#include "mail/outgoing_mail.h"
#include "mail/smtp_dialogue.h"

namespace quillpost::smtp {

struct Envelope {
  std::string sender;
  std::vector<std::string> recipients;
};

struct DeliveryOutcome {
  std::optional<SendFailure> failure;  // set: the server did not take the mail
  std::optional<SendFailure> warning;  // a problem after the server took it
  // Recipients the server refused while it took the mail for the others,
  // each with its refusal.
  std::vector<std::pair<std::string, Reply>> refused;
};

class SmtpSession {
 public:
  // Throws SendFailure when the settings cannot be used.
  SmtpSession(std::string host, ConnectionSettings settings);
  ~SmtpSession();
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  // Hands one message to the server. When the connection kept from an earlier
  // mail turns out dead before any of this mail went out, a new one is made.
  // An attachment that cannot be read to its end fails the mail in the
  // middle of DATA: the connection is dropped, so the server discards it.
  DeliveryOutcome Deliver(const Envelope& envelope, MessageText& message);

  const std::string& Host() const { return host_; }
  const ConnectionSettings& Settings() const { return settings_; }
  std::chrono::steady_clock::time_point LastUsed() const { return lastUsed_; }
  // The last mail went through and its connection is kept open for the next.
  bool ConnectionKept() const { return connectionKept_; }
  // Connections this session has opened so far.
  long ConnectionsOpened() const { return connectionsOpened_; }

 private:
  struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
  };
  struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };

  static int OnDebug(CURL* handle, curl_infotype type, char* data, std::size_t size, void* self);
  static std::size_t OnRead(char* buffer, std::size_t size, std::size_t count, void* self);

  void Configure();
  // Closes the connection of a failed transfer, also in libcurl's connection
  // cache, so that the next mail starts on a new one. No QUIT is sent: the
  // server may be the one that stopped answering.
  void DropConnection();
  // No part of the mail went out during the failed attempt, so it can be
  // tried again on a new connection without risking a second delivery.
  bool NothingOfTheMailSent() const;
  // OAuth2: the bearer token for the next transfer, from the relay's token
  // cache. Throws SendFailure when there is none.
  void TakeToken();
  // The server refused the token: the cache asks the command again next time.
  void ForgetRefusedToken() const;
  // A user name is set, yet the session went past EHLO without AUTH (the
  // server offers none, or none in common).
  bool MissedAuth() const;

  std::string host_;
  ConnectionSettings settings_;
  SmtpDialogue dialogue_;
  std::array<char, CURL_ERROR_SIZE> errorText_{};
  std::string token_;  // the OAuth2 access token of the last transfer
  // The last mail went through and its connection was kept for the next one.
  bool connectionKept_ = false;
  MessageText* message_ = nullptr;  // the one being sent
  std::optional<SendFailure> readFailure_;
  std::chrono::steady_clock::time_point lastUsed_;
  long connectionsOpened_ = 0;
  std::unique_ptr<curl_slist, SlistDeleter> recipients_;
  // Declared last so it goes first: closing it may still report protocol lines.
  std::unique_ptr<CURL, CurlDeleter> curl_;
};

}  // namespace quillpost::smtp

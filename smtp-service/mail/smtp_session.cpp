#include "mail/smtp_session.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <limits>
#include <new>

#include "mail/failure_classification.h"
#include "mail/token_cache.h"
#include "mail/token_command.h"
#include "message/address_syntax.h"

namespace quillpost::smtp {

using message::IsValidEhloName;
namespace {

void InitialiseCurlOnce() {
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (result != CURLE_OK) {
    throw SendFailure(failure::kInternal,
                      std::string("libcurl cannot start: ") + curl_easy_strerror(result));
  }
}

std::string ThisHostName() {
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) == 0 && IsValidEhloName(name.data())) {
    return name.data();
  }
  return "localhost";
}

// Everything but the unreserved characters of a URL as %HH.
std::string UrlEscaped(CURL* curl, const std::string& text) {
  const std::unique_ptr<char, decltype(&curl_free)> escaped(
      curl_easy_escape(curl, text.data(), static_cast<int>(text.size())), &curl_free);
  if (!escaped) {
    throw SendFailure(failure::kOutOfMemory, "out of memory");
  }
  return escaped.get();
}

long Seconds(std::chrono::seconds value) {
  return static_cast<long>(
      std::min<std::chrono::seconds::rep>(value.count(), std::numeric_limits<int>::max() / 1000));
}

[[noreturn]] void Unusable(const std::string& why) {
  throw SendFailure(failure::kSettingsUnusable, "connection settings cannot be used: " + why);
}

}  // namespace

SmtpSession::SmtpSession(std::string host, ConnectionSettings settings)
    : host_(std::move(host)),
      settings_(std::move(settings)),
      lastUsed_(std::chrono::steady_clock::now()) {
  if (settings_.port < 1 || settings_.port > 65535) {
    Unusable("port " + std::to_string(settings_.port) + " is out of range");
  }
  if (!settings_.ehloName.empty() && !IsValidEhloName(settings_.ehloName)) {
    Unusable("\"" + settings_.ehloName + "\" is not a host name EHLO can carry");
  }
  if (!settings_.user.empty() && settings_.security == Security::None &&
      !settings_.allowPlainTextAuth) {
    Unusable(
        "a user name is set but the connection is not encrypted and clear-text "
        "authentication is not allowed");
  }
  if (settings_.authMethod != AuthMethod::Password &&
      (settings_.user.empty() || settings_.tokenCommand.empty())) {
    Unusable("OAuth2 needs a user name and a token command");
  }
  if (settings_.connectTimeout.count() < 1 || settings_.replyTimeout.count() < 1) {
    Unusable("time-outs must be at least one second");
  }
  InitialiseCurlOnce();
  Configure();
}

SmtpSession::~SmtpSession() {
  // Closing the connection sends QUIT, which the debug callback still sees.
  curl_.reset();
}

void SmtpSession::Configure() {
  curl_.reset(curl_easy_init());
  if (!curl_) {
    throw SendFailure(failure::kOutOfMemory, "libcurl cannot create a session");
  }
  CURL* curl = curl_.get();
  const bool implicitTls = settings_.security == Security::Tls;
  std::string host = host_;
  if (host.find(':') != std::string::npos && host.front() != '[') {
    host = "[" + host + "]";  // an IPv6 address
  }
  const std::string ehlo = settings_.ehloName.empty() ? ThisHostName() : settings_.ehloName;
  const std::string url = std::string(implicitTls ? "smtps://" : "smtp://") + host + ":" +
                          std::to_string(settings_.port) + "/" + UrlEscaped(curl, ehlo);

  long useSsl = CURLUSESSL_NONE;
  switch (settings_.security) {
    case Security::None:
      useSsl = CURLUSESSL_NONE;
      break;
    case Security::StartTlsWhenOffered:
      // Credentials never go out in clear text unless that is allowed.
      useSsl = !settings_.user.empty() && !settings_.allowPlainTextAuth ? CURLUSESSL_ALL
                                                                        : CURLUSESSL_TRY;
      break;
    case Security::StartTlsRequired:
    case Security::Tls:
      useSsl = CURLUSESSL_ALL;
      break;
  }

  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText_.data());
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &SmtpSession::OnDebug);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, this);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, &SmtpSession::OnRead);
  curl_easy_setopt(curl, CURLOPT_READDATA, this);
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);

  curl_easy_setopt(curl, CURLOPT_USE_SSL, useSsl);
  curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, settings_.verifyCertificate ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, settings_.verifyCertificate ? 2L : 0L);
  if (!settings_.caFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, settings_.caFile.c_str());
  }
  if (!settings_.user.empty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, settings_.user.c_str());
    if (settings_.authMethod == AuthMethod::Password) {
      curl_easy_setopt(curl, CURLOPT_PASSWORD, settings_.password.c_str());
    } else {
      // The token itself is set for each mail (TakeToken).
      curl_easy_setopt(
          curl, CURLOPT_LOGIN_OPTIONS,
          settings_.authMethod == AuthMethod::XOAuth2 ? "AUTH=XOAUTH2" : "AUTH=OAUTHBEARER");
    }
    curl_easy_setopt(curl, CURLOPT_SASL_IR, 1L);
  }

  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, Seconds(settings_.connectTimeout));
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, Seconds(settings_.replyTimeout));
  // A server that stops taking the message in is given up after the reply time-out.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, Seconds(settings_.replyTimeout));
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  // A refused recipient does not stop the mail to the others (it fails only
  // when every recipient is refused).
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);

  const bool keepOpen = settings_.idleSessionTimeout.count() > 0;
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, keepOpen ? 0L : 1L);
  curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 1L);
  if (keepOpen) {
    curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, Seconds(settings_.idleSessionTimeout));
  }
}

int SmtpSession::OnDebug(CURL* /*handle*/, curl_infotype type, char* data, std::size_t size,
                         void* self) {
  auto* session = static_cast<SmtpSession*>(self);
  const std::string_view text(data, size);
  switch (type) {
    case CURLINFO_HEADER_OUT:
      session->dialogue_.CommandSent(text);
      break;
    case CURLINFO_HEADER_IN:
      session->dialogue_.ReplyReceived(text);
      break;
    case CURLINFO_DATA_OUT:
      session->dialogue_.ContentSent();
      break;
    default:
      break;
  }
  return 0;
}

std::size_t SmtpSession::OnRead(char* buffer, std::size_t size, std::size_t count, void* self) {
  auto* session = static_cast<SmtpSession*>(self);
  if (session->MissedAuth()) {
    return CURL_READFUNC_ABORT;  // the server must not take the mail unauthenticated
  }
  try {
    return session->message_->Read(buffer, size * count);
  } catch (const SendFailure& failure) {
    session->readFailure_ = failure;
  } catch (const std::bad_alloc&) {
    session->readFailure_ = SendFailure(failure::kOutOfMemory, "out of memory");
  }
  return CURL_READFUNC_ABORT;
}

void SmtpSession::DropConnection() {
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(curl_.get(), CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK &&
      socket != CURL_SOCKET_BAD) {
    // libcurl still owns the descriptor; once shut down, the QUIT it sends
    // when the handle goes fails at once instead of waiting for a reply.
    ::shutdown(socket, SHUT_RDWR);
  }
  Configure();  // a fresh handle: the old one and its connection cache are gone
}

bool SmtpSession::MissedAuth() const {
  // A kept connection sends no EHLO: it was authenticated for an earlier mail.
  return !settings_.user.empty() && dialogue_.HelloSent() && !dialogue_.AuthSent() &&
         dialogue_.CurrentStage() != Stage::Hello && dialogue_.CurrentStage() != Stage::StartTls;
}

void SmtpSession::TakeToken() {
  if (settings_.authMethod == AuthMethod::Password || settings_.user.empty()) {
    return;
  }
  token_ = TokenCache::Process().Token(
      {settings_.tokenCommand, settings_.tokenCommandTimeout, settings_.tokenLifetime});
  // A kept connection is used again only while the token is the same one.
  curl_easy_setopt(curl_.get(), CURLOPT_XOAUTH2_BEARER, token_.c_str());
}

void SmtpSession::ForgetRefusedToken() const {
  if (settings_.authMethod != AuthMethod::Password && dialogue_.CurrentStage() == Stage::Auth &&
      dialogue_.LastReply().code >= 400) {
    TokenCache::Process().Refused(settings_.tokenCommand, token_);
  }
}

bool SmtpSession::NothingOfTheMailSent() const {
  switch (dialogue_.CurrentStage()) {
    case Stage::Connecting:
      return true;
    case Stage::Mail: {
      const int code = dialogue_.LastReply().code;
      return code == 0 || code == 421;  // no answer, or the server is closing the session
    }
    default:
      return false;
  }
}

DeliveryOutcome SmtpSession::Deliver(const Envelope& envelope, MessageText& message) {
  if (!curl_) {
    try {
      Configure();
    } catch (const SendFailure& failure) {
      return {failure, std::nullopt, {}};
    }
  }
  try {
    TakeToken();
  } catch (const SendFailure& failure) {
    return {failure, std::nullopt, {}};
  }
  CURL* curl = curl_.get();
  const std::string sender = "<" + envelope.sender + ">";
  curl_slist* list = nullptr;
  for (const std::string& recipient : envelope.recipients) {
    curl_slist* extended = curl_slist_append(list, ("<" + recipient + ">").c_str());
    if (extended == nullptr) {
      curl_slist_free_all(list);
      return {SendFailure(failure::kOutOfMemory, "out of memory"), std::nullopt, {}};
    }
    list = extended;
  }
  recipients_.reset(list);
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, sender.c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients_.get());
  curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.Size()));
  message_ = &message;

  DeliveryOutcome outcome;
  const bool reusing = connectionKept_;
  connectionKept_ = false;
  for (int attempt = 0;; ++attempt) {
    dialogue_.Reset();
    errorText_.fill('\0');
    message.Rewind();
    readFailure_.reset();
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, attempt > 0 ? 1L : 0L);
    const CURLcode code = curl_easy_perform(curl);
    lastUsed_ = std::chrono::steady_clock::now();
    long connects = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
    connectionsOpened_ += connects;
    const std::string detail = errorText_.data();

    if (code == CURLE_OK || dialogue_.Accepted()) {
      // Once the server has taken the mail, nothing that follows makes it fail.
      if (dialogue_.EndedBadly() || code != CURLE_OK) {
        outcome.warning =
            SendFailure(failure::kSessionNotEnded,
                        "the mail was accepted but the session could not be ended properly" +
                            (detail.empty() ? std::string() : " (" + detail + ")"),
                        dialogue_.CurrentStage() == Stage::Quit ? dialogue_.LastReply().code : 0,
                        dialogue_.CurrentStage() == Stage::Quit ? dialogue_.LastReply().text : "");
      }
      connectionKept_ = code == CURLE_OK && settings_.idleSessionTimeout.count() > 0;
      for (const auto& [recipient, reply] : dialogue_.RecipientReplies()) {
        if (reply.code / 100 != 2) {
          outcome.refused.emplace_back(recipient, reply);
        }
      }
      break;
    }
    if (readFailure_) {
      outcome.failure = readFailure_;
      break;
    }
    if (MissedAuth()) {
      // libcurl goes on without AUTH when the server offers none it can use;
      // the refusal that follows would blame the sender.
      outcome.failure =
          SendFailure(failure::kAuthenticationImpossible,
                      dialogue_.AuthOffered()
                          ? "a user name is set but the server offers no AUTH mechanism in common"
                          : "a user name is set but the server offers no AUTH");
      break;
    }
    if (attempt == 0 && reusing && connects == 0 && NothingOfTheMailSent()) {
      continue;  // the kept connection had gone stale; try once on a new one
    }
    curl_off_t connectTime = 0;
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connectTime);
    outcome.failure =
        ClassifyFailure(code, dialogue_, connectTime > 0 || dialogue_.AnythingReceived(), detail);
    if (outcome.failure->Number() == failure::kRecipientRefused) {
      // Every recipient refused: each with its own reply, not only the last.
      for (const auto& [recipient, reply] : dialogue_.RecipientReplies()) {
        if (reply.code / 100 != 2) {
          outcome.refused.emplace_back(recipient, reply);
        }
      }
    }
    break;
  }
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
  recipients_.reset();
  message_ = nullptr;
  if (outcome.failure) {
    ForgetRefusedToken();
    try {
      DropConnection();
    } catch (const SendFailure&) {
      // No handle for the next mail (out of memory): Deliver makes one first.
    }
  }
  return outcome;
}

}  // namespace quillpost::smtp

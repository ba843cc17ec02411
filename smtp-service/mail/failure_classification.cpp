#include "mail/failure_classification.h"

namespace quillpost::smtp {
namespace {

bool IsRefusal(const Reply& reply) {
  return reply.code >= 400;
}

std::string Explain(const std::string& what, const std::string& detail) {
  return detail.empty() ? what : what + " (" + detail + ")";
}

SendFailure WithReply(int number, const std::string& what, const Reply& reply,
                      const std::string& detail) {
  return {number, Explain(what, detail), reply.code, reply.text};
}

// A refusal outside the numbered stages carries its reply code as number.
SendFailure ByReplyCode(int fallback, const std::string& what, const Reply& reply,
                        const std::string& detail) {
  return WithReply(IsRefusal(reply) ? reply.code : fallback, what, reply, detail);
}

}  // namespace

SendFailure ClassifyFailure(CURLcode code, const SmtpDialogue& dialogue, bool connected,
                            const std::string& detail) {
  const Reply& reply = dialogue.LastReply();
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_URL_MALFORMAT:
      return {failure::kHostNotFound, Explain("the server's host name cannot be resolved", detail)};
    case CURLE_COULDNT_CONNECT:
      return {failure::kNoConnection, Explain("no connection to the server", detail)};
    case CURLE_OUT_OF_MEMORY:
      return {failure::kOutOfMemory, Explain("out of memory", detail)};
    case CURLE_SSL_CACERT_BADFILE:
      return {failure::kCaFileUnreadable, Explain("the CA file cannot be read", detail)};
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return {failure::kCertificateRefused,
              Explain("the server's certificate was refused", detail)};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return {failure::kTlsFailed, Explain("TLS could not be set up", detail)};
    case CURLE_USE_SSL_FAILED:
      if (dialogue.CurrentStage() == Stage::StartTls && IsRefusal(reply)) {
        return WithReply(reply.code, Explain("the server refused STARTTLS", detail), reply, {});
      }
      return {failure::kTlsUnavailable,
              Explain("TLS is required but the server does not offer STARTTLS", detail)};
    case CURLE_LOGIN_DENIED:
      return ByReplyCode(failure::kAuthenticationUnavailable, "authentication failed", reply,
                         detail);
    default:
      break;
  }

  switch (dialogue.CurrentStage()) {
    case Stage::Connecting:
      if (!connected) {
        return {failure::kNoConnection, Explain("no connection to the server", detail)};
      }
      return {failure::kNotListening, Explain("the server sent no greeting", detail)};
    case Stage::Greeting:
      return WithReply(failure::kNotListening, "the server refused the session", reply, detail);
    case Stage::Hello:
      return WithReply(failure::kNotListening, "the server refused or did not answer EHLO/HELO",
                       reply, detail);
    case Stage::StartTls:
      return ByReplyCode(failure::kTlsFailed, "STARTTLS failed", reply, detail);
    case Stage::Auth:
      return ByReplyCode(failure::kAuthenticationUnavailable, "authentication failed", reply,
                         detail);
    case Stage::Mail:
      return WithReply(failure::kSenderRefused, "the server refused the sender", reply, detail);
    case Stage::Recipient:
      return WithReply(failure::kRecipientRefused, "the server refused a recipient", reply, detail);
    case Stage::Data:
      return WithReply(failure::kDataRefused, "the server refused DATA", reply, detail);
    case Stage::Content:
      if (IsRefusal(reply)) {
        return WithReply(reply.code, "the server refused the message", reply, detail);
      }
      return {failure::kTimedOutReceiving,
              Explain("the server stopped answering while receiving the message", detail)};
    case Stage::Accepted:
    case Stage::Quit:
      break;
  }
  return {failure::kConnectionLost, Explain("the session failed", detail)};
}

}  // namespace quillpost::smtp

#include "tls_server.h"

#include <openssl/err.h>
#include <poll.h>

#include <stdexcept>

namespace quillpost::smtpd {
namespace {

std::string OpenSslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) {
    return "unknown TLS failure";
  }
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

struct FreeSsl {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslPointer = std::unique_ptr<SSL, FreeSsl>;

// Waits for what OpenSSL asked for; false when the time is up.
bool WaitFor(SSL* ssl, int result, std::chrono::milliseconds timeout) {
  const int error = SSL_get_error(ssl, result);
  if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
    throw TransportError("TLS: " + OpenSslError());
  }
  pollfd entry{SSL_get_fd(ssl), static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT),
               0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

class TlsTransport : public Transport {
 public:
  explicit TlsTransport(SslPointer ssl) : ssl_(std::move(ssl)) {}
  ~TlsTransport() override { SSL_shutdown(ssl_.get()); }
  TlsTransport(const TlsTransport&) = delete;
  TlsTransport& operator=(const TlsTransport&) = delete;

  std::size_t Read(char* buffer, std::size_t size, std::chrono::milliseconds timeout) override {
    for (;;) {
      std::size_t got = 0;
      const int result = SSL_read_ex(ssl_.get(), buffer, size, &got);
      if (result == 1) {
        return got;
      }
      const int error = SSL_get_error(ssl_.get(), result);
      if (error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SYSCALL) {
        ERR_clear_error();
        return 0;
      }
      if (!WaitFor(ssl_.get(), result, timeout)) {
        throw TransportTimeout("the client sent nothing for too long");
      }
    }
  }

  void Write(std::string_view bytes, std::chrono::milliseconds timeout) override {
    while (!bytes.empty()) {
      std::size_t sent = 0;
      const int result = SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &sent);
      if (result == 1) {
        bytes.remove_prefix(sent);
      } else if (!WaitFor(ssl_.get(), result, timeout)) {
        throw TransportTimeout("the client took no reply for too long");
      }
    }
  }

 private:
  SslPointer ssl_;
};

}  // namespace

TlsServer::TlsServer(const std::string& certificateFile, const std::string& keyFile)
    : context_(SSL_CTX_new(TLS_server_method())) {
  if (!context_) {
    throw std::runtime_error("cannot set up TLS: " + OpenSslError());
  }
  SSL_CTX_set_min_proto_version(context_.get(), TLS1_2_VERSION);
  SSL_CTX_set_mode(context_.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
  if (SSL_CTX_use_certificate_chain_file(context_.get(), certificateFile.c_str()) != 1) {
    throw std::runtime_error("cannot use the TLS certificate " + certificateFile + ": " +
                             OpenSslError());
  }
  if (SSL_CTX_use_PrivateKey_file(context_.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context_.get()) != 1) {
    throw std::runtime_error("cannot use the TLS key " + keyFile + ": " + OpenSslError());
  }
}

std::unique_ptr<Transport> TlsServer::Start(int socket, std::chrono::milliseconds timeout) const {
  SslPointer ssl(SSL_new(context_.get()));
  if (!ssl || SSL_set_fd(ssl.get(), socket) != 1) {
    throw TransportError("TLS: " + OpenSslError());
  }
  for (;;) {
    const int result = SSL_accept(ssl.get());
    if (result == 1) {
      return std::make_unique<TlsTransport>(std::move(ssl));
    }
    if (!WaitFor(ssl.get(), result, timeout)) {
      throw TransportTimeout("the TLS handshake took too long");
    }
  }
}

}  // namespace quillpost::smtpd

#pragma once

// STARTTLS on OpenSSL: the server's certificate and key, loaded once at
// start-up, and the TLS side of each connection.

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "transport.h"

namespace quillpost::smtpd {

class TlsServer {
 public:
  // Throws std::runtime_error naming the file that cannot be used.
  TlsServer(const std::string& certificateFile, const std::string& keyFile);

  // Runs the handshake over plain's socket and returns the encrypted
  // transport. Throws TransportError when the handshake fails or times out.
  std::unique_ptr<Transport> Start(int socket, std::chrono::milliseconds timeout) const;

 private:
  struct FreeContext {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  };
  std::unique_ptr<SSL_CTX, FreeContext> context_;
};

}  // namespace quillpost::smtpd

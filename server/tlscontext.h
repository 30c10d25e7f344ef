#pragma once

#include <asio/ssl/context.hpp>

#include <memory>
#include <string>

// The server side of TLS: the certificate chain and its key, read once at
// start. TLS 1.2 or later, OpenSSL's default ciphers. Throws
// std::runtime_error with a one-line reason when a file cannot be read, is
// not PEM, or the key does not belong to the certificate.
std::unique_ptr<asio::ssl::context> MakeServerTlsContext(const std::string& certFile,
                                                         const std::string& keyFile);

#include "tlscontext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace {

// The reason of the first error OpenSSL queued, without its file and line.
std::string OpenSslReason()
{
    const unsigned long code = ::ERR_get_error();
    ::ERR_clear_error();
    if (code == 0)
        return "unknown error";
    const char* reason = ::ERR_reason_error_string(code);
    return reason ? reason : "error " + std::to_string(code);
}

void CheckReadable(const std::string& what, const std::string& file)
{
    std::ifstream in(file);
    if (!in)
        throw std::runtime_error("cannot read the " + what + " " + file + ": " + std::strerror(errno));
}

} // namespace

std::unique_ptr<asio::ssl::context> MakeServerTlsContext(const std::string& certFile,
                                                         const std::string& keyFile)
{
    CheckReadable("certificate", certFile);
    CheckReadable("key", keyFile);
    auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    SSL_CTX* ctx = context->native_handle();
    ::ERR_clear_error();
    ::SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // Renegotiation would make the server write while it reads; nothing here
    // needs it.
    ::SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    // An idle connection, or one whose handshake stalls, keeps no record
    // buffers inside OpenSSL.
    ::SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    // The key first: a certificate that does not fit it then only drops it,
    // and the check below says so in plain words.
    if (::SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("unusable key " + keyFile + ": " + OpenSslReason());
    if (::SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1)
        throw std::runtime_error("unusable certificate " + certFile + ": " + OpenSslReason());
    if (::SSL_CTX_check_private_key(ctx) != 1)
        throw std::runtime_error("the key " + keyFile + " does not match the certificate " + certFile);
    return context;
}

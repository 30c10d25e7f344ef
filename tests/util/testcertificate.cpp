#include "testcertificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

KeyPtr NewKey()
{
    KeyPtr key{EVP_EC_gen("P-256"), &EVP_PKEY_free};
    if (!key)
        throw std::runtime_error("EVP_EC_gen failed");
    return key;
}

void WritePem(const std::filesystem::path& path, const std::function<int(FILE*)>& write)
{
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        throw std::runtime_error("cannot write " + path.string());
    const int written = write(f);
    std::fclose(f);
    if (written != 1)
        throw std::runtime_error("cannot write PEM to " + path.string());
}

} // namespace

CTestCertificate WriteTestCertificate(const std::filesystem::path& dir, bool mismatchedKey)
{
    static int counter = 0;
    const std::string stem = (dir / ("tls-" + std::to_string(++counter))).string();
    CTestCertificate files{stem + ".crt", stem + ".key"};
    const KeyPtr key = NewKey();
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), counter);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        throw std::runtime_error("X509_sign failed");
    WritePem(files.cert, [&](FILE* f) { return PEM_write_X509(f, cert.get()); });
    const KeyPtr other = mismatchedKey ? NewKey() : KeyPtr(nullptr, &EVP_PKEY_free);
    EVP_PKEY* written = mismatchedKey ? other.get() : key.get();
    WritePem(files.key, [&](FILE* f) {
        return PEM_write_PrivateKey(f, written, nullptr, nullptr, 0, nullptr, nullptr);
    });
    return files;
}

std::string MakeClientHello()
{
    SSL_CTX* ctx = ::SSL_CTX_new(TLS_client_method());
    SSL* ssl = ctx ? ::SSL_new(ctx) : nullptr;
    if (!ssl) {
        ::SSL_CTX_free(ctx);
        throw std::runtime_error("cannot make a TLS client");
    }
    BIO* out = ::BIO_new(BIO_s_mem());
    ::SSL_set_bio(ssl, ::BIO_new(BIO_s_mem()), out);
    ::SSL_connect(ssl); // wants the server's answer, which never comes here
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    std::string hello(data ? data : "", static_cast<std::size_t>(size > 0 ? size : 0));
    ::SSL_free(ssl);
    ::SSL_CTX_free(ctx);
    if (hello.empty())
        throw std::runtime_error("no ClientHello");
    return hello;
}

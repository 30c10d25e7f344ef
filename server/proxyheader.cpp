// The two forms of the header, as a proxy sends them:
//
//   text    = "PROXY " ( "UNKNOWN" *anything-but-CRLF
//                      | ("TCP4" | "TCP6") " " src " " dst " " srcport " " dstport ) CRLF
//             ; 107 bytes at most, CRLF included
//   binary  = signature(12) ver_cmd(1) family(1) length16be(2) body(length)
//   ver_cmd = 0x20 (LOCAL) | 0x21 (PROXY)
//   family  = address family (high nibble: 0 none, 1 IPv4, 2 IPv6) and
//             transport (low nibble: 1 stream)
//   body    = src(4|16) dst(4|16) srcport16be dstport16be optional-fields
//
// Only the client's address and port are used; the destination is the
// proxy's business, and optional fields are skipped.

#include "proxyheader.h"

#include <asio/ip/address.hpp>

#include <algorithm>
#include <vector>

namespace {

constexpr std::string_view kTextPrefix = "PROXY ";
constexpr std::string_view kSignature("\r\n\r\n\0\r\nQUIT\n", 12);
constexpr std::size_t kMaxTextHeader = 107;
constexpr std::size_t kBinaryFixed = 16;

CProxyHeader Invalid(std::string error)
{
    CProxyHeader header;
    header.status = CProxyHeader::CStatus::Invalid;
    header.error = std::move(error);
    return header;
}

CProxyHeader Wanted(std::size_t length)
{
    CProxyHeader header;
    header.length = length;
    return header;
}

CProxyHeader Complete(std::size_t length, std::string source = {})
{
    CProxyHeader header;
    header.status = CProxyHeader::CStatus::Complete;
    header.length = length;
    header.source = std::move(source);
    return header;
}

// Whether what has come so far agrees with the start of `prefix`.
bool Agrees(std::string_view bytes, std::string_view prefix)
{
    const std::size_t n = std::min(bytes.size(), prefix.size());
    return bytes.substr(0, n) == prefix.substr(0, n);
}

bool ParsePort(std::string_view text, unsigned& port)
{
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0'))
        return false;
    port = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    return port <= 65535;
}

std::string Endpoint(const asio::ip::address& address, unsigned port)
{
    return address.to_string() + ":" + std::to_string(port);
}

CProxyHeader ParseText(std::string_view bytes)
{
    const std::size_t end = bytes.find("\r\n");
    if (end == std::string_view::npos || end + 2 > kMaxTextHeader) {
        if (end != std::string_view::npos || bytes.size() >= kMaxTextHeader)
            return Invalid("text header over 107 bytes");
        return Wanted(bytes.size() + 1);
    }
    std::vector<std::string_view> fields;
    std::string_view rest = bytes.substr(kTextPrefix.size(), end - kTextPrefix.size());
    for (std::size_t space; (space = rest.find(' ')) != std::string_view::npos; rest.remove_prefix(space + 1))
        fields.push_back(rest.substr(0, space));
    fields.push_back(rest);
    if (fields[0] == "UNKNOWN")
        return Complete(end + 2);
    const bool v4 = fields[0] == "TCP4";
    if (!v4 && fields[0] != "TCP6")
        return Invalid("text header with an unknown protocol");
    if (fields.size() != 5)
        return Invalid("text header without two addresses and two ports");
    asio::error_code error;
    asio::error_code dstError;
    const auto source = asio::ip::make_address(std::string(fields[1]), error);
    const auto destination = asio::ip::make_address(std::string(fields[2]), dstError);
    unsigned sourcePort = 0;
    unsigned destinationPort = 0;
    if (error || dstError || source.is_v4() != v4 || destination.is_v4() != v4 ||
        !ParsePort(fields[3], sourcePort) || !ParsePort(fields[4], destinationPort))
        return Invalid("text header with an invalid address or port");
    return Complete(end + 2, Endpoint(source, sourcePort));
}

CProxyHeader ParseBinary(std::string_view bytes)
{
    if (bytes.size() < kBinaryFixed)
        return Wanted(kBinaryFixed);
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned version = byte(12) >> 4;
    const unsigned command = byte(12) & 0x0F;
    const unsigned family = byte(13) >> 4;
    const unsigned transport = byte(13) & 0x0F;
    const std::size_t length = kBinaryFixed + ((std::size_t{byte(14)} << 8) | byte(15));
    if (version != 2 || command > 1)
        return Invalid("binary header of an unknown version or command");
    if (length > kMaxProxyHeader)
        return Invalid("binary header of " + std::to_string(length) + " bytes, over " +
                       std::to_string(kMaxProxyHeader));
    if (bytes.size() < length)
        return Wanted(length);
    // LOCAL: the proxy speaks for itself (a health check). No address
    // family: the proxy could not say, and the connection is taken as its.
    if (command == 0 || family == 0)
        return Complete(length);
    if (transport != 1 || (family != 1 && family != 2))
        return Invalid("binary header for a transport other than TCP over IPv4 or IPv6");
    const std::size_t size = family == 1 ? 4 : 16;
    if (length < kBinaryFixed + 2 * size + 4)
        return Invalid("binary header too short for its addresses");
    const std::size_t portAt = kBinaryFixed + 2 * size;
    const unsigned port = (unsigned{byte(portAt)} << 8) | byte(portAt + 1);
    if (family == 1) {
        asio::ip::address_v4::bytes_type address;
        std::copy_n(bytes.begin() + kBinaryFixed, size, address.begin());
        return Complete(length, Endpoint(asio::ip::address_v4(address), port));
    }
    asio::ip::address_v6::bytes_type address;
    std::copy_n(bytes.begin() + kBinaryFixed, size, address.begin());
    return Complete(length, Endpoint(asio::ip::address_v6(address), port));
}

} // namespace

CProxyHeader ParseProxyHeader(std::string_view bytes)
{
    const bool text = Agrees(bytes, kTextPrefix);
    const bool binary = Agrees(bytes, kSignature);
    if (!text && !binary)
        return Invalid("no PROXY header");
    if (text && bytes.size() >= kTextPrefix.size())
        return ParseText(bytes);
    if (binary && bytes.size() >= kSignature.size())
        return ParseBinary(bytes);
    return Wanted(bytes.size() + 1);
}

bool BeginsProxyHeader(std::string_view bytes)
{
    return bytes.substr(0, kTextPrefix.size()) == kTextPrefix ||
           bytes.substr(0, kSignature.size()) == kSignature;
}

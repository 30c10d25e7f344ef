#include "config.h"

#include <climits>
#include <fstream>
#include <iterator>

int ParsePortNumber(std::string_view value)
{
    std::size_t i = 0;
    while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-'))
        negative = value[i++] == '-';
    long long n = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        n = n * 10 + (value[i] - '0');
        if (n > INT_MAX)  // saturate instead of overflowing; no port is that large
            n = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        n = -n;
    if (n > INT_MAX)
        return INT_MAX;
    if (n < INT_MIN)
        return INT_MIN;
    return static_cast<int>(n);
}

std::string NormalizeFingerprint(std::string_view text)
{
    constexpr std::size_t kSha256HexDigits = 64;
    std::string hex;
    for (const char c : text) {
        if (c == ':' || c == ' ' || c == '\t')
            continue;
        if (c >= '0' && c <= '9')
            hex += c;
        else if (c >= 'a' && c <= 'f')
            hex += static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'F')
            hex += c;
        else
            return {};
    }
    return hex.size() == kSha256HexDigits ? hex : std::string{};
}

std::string ConfigProblem(const CServerConfig& config)
{
    if (config.tlsFingerprint.empty() || !NormalizeFingerprint(config.tlsFingerprint).empty())
        return {};
    // A line may be anything up to the file's size; the start is enough to
    // recognise it.
    constexpr std::size_t kShown = 100;
    std::string value = config.tlsFingerprint.substr(0, kShown);
    if (config.tlsFingerprint.size() > kShown)
        value += "...";
    return "TLS_FINGERPRINT=" + value +
           " is not a SHA-256 fingerprint (64 hexadecimal digits, colons allowed)";
}

void ParseConfig(std::string_view contents, CServerConfig& config)
{
    while (!contents.empty()) {
        const std::size_t eol = contents.find('\n');
        std::string_view line = contents.substr(0, eol);
        contents = eol == std::string_view::npos ? std::string_view{} : contents.substr(eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);

        if (line.starts_with("//"))
            continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key = line.substr(0, eq);
        const std::string_view value = line.substr(eq + 1);
        if (key == "PORT_NUM")
            config.port = ParsePortNumber(value);
        else if (key == "IP_ADDRESS")
            config.address = std::string(value);
        else if (key == "USE_TLS")
            config.useTls = value == "1";
        else if (key == "TLS_FINGERPRINT")
            config.tlsFingerprint = std::string(value);
    }
}

bool ReadConfigFile(const std::string& path, CServerConfig& config)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    // A configuration file is a few lines; refuse to slurp anything huge.
    constexpr std::size_t kMaxConfigBytes = 1 << 20;
    std::string contents;
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        contents.append(buf, static_cast<std::size_t>(in.gcount()));
        if (contents.size() > kMaxConfigBytes)
            break;
    }
    ParseConfig(contents, config);
    return true;
}

int ReadFirstConfigFile(const std::vector<std::string>& paths, CServerConfig& config)
{
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (ReadConfigFile(paths[i], config))
            return static_cast<int>(i);
    }
    return -1;
}

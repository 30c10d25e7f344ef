#pragma once

// The payloads of the cluster's messages, for the files of CNatsCluster.

#include <charconv>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace NatsPayload {

// A number that is the whole of `text`, nothing before or after it.
template <typename T> bool ParseWhole(std::string_view text, T& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

inline constexpr char kUserPrefix[] = "murmurly.user.";
inline constexpr char kNodePrefix[] = "murmurly.node.";
// Replies to a node go to subjects under kReplyPrefix NODE "."; the answers
// for its records, gathered per turn, to that prefix and kAnswerBatch.
inline constexpr char kReplyPrefix[] = "murmurly.reply.";
inline constexpr char kAnswerBatch[] = "batch";

// Payloads are a kind letter and space-separated words: user names are
// letters and digits only, node ids hexadecimal. The records for users
// travel in the client protocol's own encoding behind the letter.
inline std::vector<std::string> Words(std::string_view data, std::size_t from = 1)
{
    std::vector<std::string> words;
    std::size_t i = from;
    while (i < data.size()) {
        while (i < data.size() && (data[i] == ' ' || data[i] == '\n'))
            ++i;
        std::size_t end = i;
        while (end < data.size() && data[end] != ' ' && data[end] != '\n')
            ++end;
        if (end > i)
            words.emplace_back(data.substr(i, end - i));
        i = end;
    }
    return words;
}

inline std::string Join(char kind, std::initializer_list<std::string> words,
                        const std::vector<std::string>& more = {})
{
    std::string out(1, kind);
    for (const auto& w : words)
        out += ' ' + w;
    for (const auto& w : more)
        out += ' ' + w;
    return out;
}

} // namespace NatsPayload

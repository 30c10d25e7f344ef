#pragma once

#include "netmessage.h"

#include <string>
#include <utility>

// Builds a record with only a command and the given fields set; the other
// fields keep their constructed values.
CNetMessage MakeRecord(const char* command, std::string sender = {}, std::string recipient = {});

// An "SFA": `requester` asks `user` to be friends, in `text`'s words.
CNetMessage FriendRequestRecord(const std::string& requester, const std::string& user,
                                const std::string& text);

// The feature a login answer offers in its names: receipts for messages that
// carry an id.
inline constexpr char kReceiptsFeature[] = "receipts";
// The texts of "MA".
inline constexpr char kReceiptDelivered[] = "delivered";
inline constexpr char kReceiptStored[] = "stored";

// Moves the words of a message and how they look (text, face name, font,
// colour, size) from a record or a stored message to another.
template <typename TTo, typename TFrom> void MoveWords(TTo& to, TFrom& from)
{
    to.text = std::move(from.text);
    to.faceName = std::move(from.faceName);
    to.font = from.font;
    to.color = from.color;
    to.size = from.size;
}

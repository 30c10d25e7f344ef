#pragma once

#include "netmessage.h"
#include "wire.h"

#include <QByteArray>

#include <ctime>
#include <string>
#include <vector>

// A record with the given fields and every other one as constructed.
inline CNetMessage MakeRecord(const std::string& command, const std::string& sender,
                              const std::string& recipient = {}, const std::string& text = {},
                              std::vector<std::string> names = {})
{
    CNetMessage msg;
    msg.command = command;
    msg.sender = sender;
    msg.recipient = recipient;
    msg.text = text;
    msg.names = std::move(names);
    return msg;
}

// The bytes `expected` would travel as if it carried `actual`'s time stamp,
// which is the moment the sending side built its record.
inline QByteArray ExpectedBytes(CNetMessage&& expected, const CNetMessage& actual)
{
    expected.time = actual.time;
    return QByteArray::fromStdString(EncodeRecord(expected));
}

inline QByteArray Bytes(const CNetMessage& msg)
{
    return QByteArray::fromStdString(EncodeRecord(msg));
}

// The time stamp is the moment of construction: within a few seconds of now.
inline bool IsRecentTime(const CNetMessage& msg)
{
    const auto now = static_cast<long long>(std::time(nullptr));
    return msg.time >= now - 60 && msg.time <= now + 1;
}

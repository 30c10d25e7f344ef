#include "netmessage.h"

#include "archive.h"

#include <ctime>

CNetMessage::CNetMessage() : time(static_cast<int32_t>(std::time(nullptr))) {}

CNetMessage::CNetMessage(const CNetMessage& other)
    : sender(other.sender),
      recipient(other.recipient),
      text(other.text),
      command(other.command),
      time(other.time),
      color(other.color),
      size(other.size)
{
}

CNetMessage CNetMessage::FullCopy(const CNetMessage& other)
{
    CNetMessage copy(other);
    copy.names = other.names;
    copy.font = other.font;
    copy.faceName = other.faceName;
    return copy;
}

void CNetMessage::Serialize(CArchive& ar)
{
    if (ar.IsStoring()) {
        ar.WriteString(sender);
        ar.WriteString(recipient);
        ar.WriteString(text);
        ar.WriteString(command);
        ar.Write(time);
        ar.WriteString(faceName);
        ar.Write(size);
        ar.Write(font.lfWidth);
        ar.Write(font.lfEscapement);
        ar.Write(font.lfOrientation);
        ar.Write(font.lfWeight);
        ar.Write(font.lfItalic);
        ar.Write(font.lfUnderline);
        ar.Write(font.lfStrikeOut);
        ar.Write(font.lfCharSet);
        ar.Write(font.lfOutPrecision);
        ar.Write(font.lfClipPrecision);
        ar.Write(font.lfQuality);
        ar.Write(font.lfPitchAndFamily);
        ar.Write(color);
        ar.WriteCount(names.size());
        for (const std::string& name : names)
            ar.WriteString(name);
        return;
    }

    sender = ar.ReadString();
    recipient = ar.ReadString();
    text = ar.ReadString();
    command = ar.ReadString();
    time = ar.ReadInt();
    faceName = ar.ReadString();
    size = ar.ReadInt();
    font.lfWidth = ar.ReadInt();
    font.lfEscapement = ar.ReadInt();
    font.lfOrientation = ar.ReadInt();
    font.lfWeight = ar.ReadInt();
    font.lfItalic = ar.ReadByte();
    font.lfUnderline = ar.ReadByte();
    font.lfStrikeOut = ar.ReadByte();
    font.lfCharSet = ar.ReadByte();
    font.lfOutPrecision = ar.ReadByte();
    font.lfClipPrecision = ar.ReadByte();
    font.lfQuality = ar.ReadByte();
    font.lfPitchAndFamily = ar.ReadByte();
    color = ar.ReadDword();
    const std::size_t count = ar.ReadCount();
    names.reserve(names.size() + count);
    for (std::size_t i = 0; i < count; ++i)
        names.push_back(ar.ReadString());
}

#pragma once

// Helpers of the conversation window tests: a window opened the way the
// friends list opens it, received lines, line formats, and choosers that
// answer without showing anything.
#include "commands.h"
#include "netmessage.h"
#include "palaverdoc.h"
#include "speakwindow.h"
#include "speakwindowframe.h"
#include "wire.h"

#include <QByteArray>
#include <QTextBlock>
#include <QTextCursor>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>

#include <cstring>
#include <string>

// A frame as the friends list view opens it for `to`: placed, shown (its
// initial update), then given its names and listed.
inline CSpeakWindowFrame* OpenSpeakFrame(CPalaverDoc& doc, const std::string& from, const std::string& to)
{
    auto* frame = new CSpeakWindowFrame(&doc);
    frame->move(300, 100);
    frame->resize(460, 340);
    frame->show();
    frame->View()->SetFrom(from);
    frame->View()->SetTo(to);
    frame->View()->UpdateData(false);
    doc.AddSpeakWindow(frame->View());
    return frame;
}

inline CNetMessage ReceivedLine(const char* sender, const char* text, const char* face, int32_t weight = 400,
                                uint32_t color = 0, int32_t size = 240)
{
    CNetMessage msg;
    msg.command = Cmd::IncomingMessage;
    msg.sender = sender;
    msg.text = text;
    msg.faceName = face;
    std::strncpy(msg.font.lfFaceName, face, CLogFont::kFaceSize - 1);
    msg.font.lfWeight = weight;
    msg.color = color;
    msg.size = size;
    return msg;
}

// The format of the box's text at the start of line `n` (its first character).
inline QTextCharFormat FormatOfLine(QTextEdit* box, int n)
{
    QTextCursor cursor(box->document()->findBlockByNumber(n));
    cursor.movePosition(QTextCursor::NextCharacter);
    return cursor.charFormat();
}

// Puts choosers in for one test and takes them out again.
struct CChooserScope
{
    CChooserScope() { CSpeakWindow::Choosers() = {}; }
    ~CChooserScope() { CSpeakWindow::Choosers() = {}; }
    CSpeakChoosers& operator*() { return CSpeakWindow::Choosers(); }
    CSpeakChoosers* operator->() { return &CSpeakWindow::Choosers(); }
};

// A record's bytes on the wire, and those of `expected` as if built at the
// same moment as `actual` (records carry their creation time).
inline QByteArray WireBytes(const CNetMessage& msg)
{
    return QByteArray::fromStdString(EncodeRecord(msg));
}
inline QByteArray WireBytesAt(CNetMessage&& expected, const CNetMessage& actual)
{
    expected.time = actual.time;
    return WireBytes(expected);
}

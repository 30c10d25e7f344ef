#pragma once

#include <cstdint>
#include <string>

class CNetMessage;
class CSqliteDb;
class CSqliteStatement;

// One line of the conversation history as a row of the table `lines`: its
// time, its correspondent, its sender, its text and the format it is shown
// in. The window's thread hands such rows to the writer and reads them back.
struct CKeptLine
{
    int64_t id = 0; // given by the store before the row is written
    int64_t time = 0;
    std::string correspondent;
    std::string sender;
    std::string text;
    std::string face;
    int64_t weight = 0;
    int64_t italic = 0;
    int64_t underline = 0;
    int64_t strikeout = 0;
    int64_t charset = 0;
    int64_t pitchFamily = 0;
    int64_t color = 0;
    int64_t size = 0;
    // The server's id of a stored message ("O"), which comes again at each
    // login until deleted; empty for the others.
    std::string storedId;
    // The sender's own id of the message, when it travelled with one; a
    // sender never gives two messages the same id.
    std::string messageId;
};

// The row for `line`, a line of the conversation with `correspondent`.
CKeptLine KeptLine(const CNetMessage& line, const std::string& correspondent, int64_t time,
                   std::string storedId, std::string messageId);
// The line a conversation window shows for `kept`, a line of `owner`'s.
CNetMessage ShownLine(const CKeptLine& kept, const std::string& owner);

// The columns every statement that writes or reads a whole row uses, in
// this order: id first, then the fields of CKeptLine.
extern const char kLineColumns[];
void BindLine(CSqliteStatement& stmt, const CKeptLine& line, bool withId);
CKeptLine ReadLine(const CSqliteStatement& stmt);

// Brings the database to the schema this program writes (WAL, the steps it
// has not run yet). Throws CStoreError.
void PrepareHistoryDb(CSqliteDb& db);

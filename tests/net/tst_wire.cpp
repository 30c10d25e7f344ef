#include "recordstream.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

CNetMessage Empty()
{
    CNetMessage m;
    m.time = 0;
    return m;
}

// A record with every field set, so a round trip that drops or reorders any
// of them shows.
CNetMessage Full()
{
    CNetMessage m;
    m.sender = "anna";
    m.recipient = "bob";
    m.text = "hello there";
    m.command = "SM";
    m.time = 1772355907;
    m.faceName = "DejaVu Sans";
    m.size = 240;
    m.font.lfWidth = -3;
    m.font.lfEscapement = 900;
    m.font.lfOrientation = -900;
    m.font.lfWeight = 700;
    m.font.lfItalic = 1;
    m.font.lfUnderline = 2;
    m.font.lfStrikeOut = 3;
    m.font.lfCharSet = 204;
    m.font.lfOutPrecision = 5;
    m.font.lfClipPrecision = 6;
    m.font.lfQuality = 7;
    m.font.lfPitchAndFamily = 0x22;
    m.color = 0x00336699;
    m.names = {"ann*", "", "cy**"};
    return m;
}

CNetMessage Decode(const std::string& bytes, std::size_t* consumed = nullptr)
{
    CNetMessage m;
    const DecodeResult r = DecodeRecord(bytes, m, kClientLimits);
    EXPECT_EQ(r.status, DecodeStatus::Complete);
    if (consumed)
        *consumed = r.consumed;
    return m;
}

// The bytes of a record whose text field is `textField` (already encoded)
// and whose other fields are empty.
std::string WithTextField(const std::string& textField)
{
    std::string bytes = EncodeRecord(Empty());
    return bytes.replace(2, 1, textField);
}

} // namespace

TEST(WireEncoding, EmptyRecordIsFortyThreeZeroBytesButTime)
{
    CNetMessage m = Empty();
    m.time = 0x01020304;
    const std::string bytes = EncodeRecord(m);
    ASSERT_EQ(bytes.size(), kEmptyRecordSize);
    std::string expected(43, '\0');
    expected[4] = 0x04;  // time, little-endian, after four empty strings
    expected[5] = 0x03;
    expected[6] = 0x02;
    expected[7] = 0x01;
    EXPECT_EQ(bytes, expected);
}

TEST(WireEncoding, FieldOrderSizeBeforeFontColorAfter)
{
    CNetMessage m = Empty();
    m.sender = "a";
    m.command = "M";
    m.faceName = "F";
    m.size = 0x11;
    m.font.lfWidth = 0x22;
    m.font.lfWeight = 700;
    m.font.lfItalic = 1;
    m.font.lfPitchAndFamily = 0x33;
    m.color = 0x00CCBBAA;
    m.names = {"x", "yz"};
    const std::string expected = Bytes({1, 'a', 0, 0, 1, 'M', 0, 0, 0, 0, 1, 'F',
                                        0x11, 0, 0, 0,           // size
                                        0x22, 0, 0, 0,           // width
                                        0, 0, 0, 0, 0, 0, 0, 0,  // escapement, orientation
                                        0xBC, 0x02, 0, 0,        // weight 700
                                        1, 0, 0, 0, 0, 0, 0, 0x33,
                                        0xAA, 0xBB, 0xCC, 0,     // color
                                        2, 0, 1, 'x', 2, 'y', 'z'});
    EXPECT_EQ(EncodeRecord(m), expected);
}

// A receipt is written without a record; its bytes are that record's, with
// strings long enough for the longer prefix too. It appends.
TEST(WireEncoding, AReceiptIsTheRecordItStandsFor)
{
    for (const std::size_t length : {std::size_t{5}, std::size_t{300}}) {
        CNetMessage m = Empty();
        m.command = "MA";
        m.sender = std::string(length, 'b');
        m.recipient = "anna";
        m.text = "delivered";
        m.time = 1772355907;
        m.names = {"0123456789abcdef0123456789abcdef"};
        std::string bytes = "before";
        EncodeReceipt(m.sender, m.recipient, m.text, m.names.front(), m.time, bytes);
        EXPECT_EQ(bytes, "before" + EncodeRecord(m));
    }
}

TEST(WireEncoding, StringPrefixForms)
{
    struct Case
    {
        std::size_t length;
        std::string prefix;
    };
    const Case cases[] = {
        {0, Bytes({0})},
        {254, Bytes({0xFE})},
        {255, Bytes({0xFF, 0xFF, 0x00})},
        {65533, Bytes({0xFF, 0xFD, 0xFF})},
        {65534, Bytes({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00})},
        {70000, Bytes({0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        CNetMessage m = Empty();
        m.text.assign(c.length, 'q');
        const std::string bytes = EncodeRecord(m);
        EXPECT_EQ(bytes.substr(2, c.prefix.size()), c.prefix);
        EXPECT_EQ(bytes.size(), kEmptyRecordSize + c.prefix.size() - 1 + c.length);
        EXPECT_EQ(Decode(bytes).text, m.text);
    }
}

TEST(WireEncoding, ListCountForms)
{
    CNetMessage three = Empty();
    three.names = {"a", "b", "c"};
    EXPECT_EQ(EncodeRecord(three).substr(41, 2), Bytes({0x03, 0x00}));

    CNetMessage many = Empty();
    many.names.assign(65535, "");
    const std::string bytes = EncodeRecord(many);
    EXPECT_EQ(bytes.substr(41, 6), Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(Decode(bytes).names.size(), 65535u);

    many.names.assign(65534, "");
    EXPECT_EQ(EncodeRecord(many).substr(41, 2), Bytes({0xFE, 0xFF}));
}

TEST(WireDecoding, RoundTripKeepsEveryField)
{
    const CNetMessage m = Full();
    std::size_t consumed = 0;
    const std::string bytes = EncodeRecord(m);
    const CNetMessage back = Decode(bytes, &consumed);
    EXPECT_EQ(consumed, bytes.size());
    EXPECT_EQ(back, m);
}

TEST(WireDecoding, HeightAndFaceArrayAreNotOnTheWire)
{
    CNetMessage m = Full();
    m.font.lfHeight = -13;
    std::snprintf(m.font.lfFaceName, sizeof m.font.lfFaceName, "Courier");
    CNetMessage into;
    into.font.lfHeight = 99;
    std::snprintf(into.font.lfFaceName, sizeof into.font.lfFaceName, "Keep");
    ASSERT_EQ(DecodeRecord(EncodeRecord(m), into, kClientLimits).status, DecodeStatus::Complete);
    EXPECT_EQ(into.font.lfHeight, 99);
    EXPECT_STREQ(into.font.lfFaceName, "Keep");
    EXPECT_EQ(into.font.lfWeight, 700);
}

TEST(WireDecoding, AppendsToExistingNames)
{
    CNetMessage into;
    into.names = {"old"};
    CNetMessage m = Empty();
    m.names = {"new1", "new2"};
    ASSERT_EQ(DecodeRecord(EncodeRecord(m), into, kClientLimits).status, DecodeStatus::Complete);
    EXPECT_EQ(into.names, (std::vector<std::string>{"old", "new1", "new2"}));
}

TEST(WireDecoding, Utf16StringsBecomeUtf8)
{
    // "hé€" plus a surrogate pair (U+1F600) and a lone high surrogate.
    const std::string wide = Bytes({0xFF, 0xFE, 0xFF, 5, 'h', 0, 0xE9, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE});
    EXPECT_EQ(Decode(WithTextField(wide)).text, "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");

    const std::string lone = Bytes({0xFF, 0xFE, 0xFF, 2, 0x3D, 0xD8, 'x', 0});
    EXPECT_EQ(Decode(WithTextField(lone)).text, "\xEF\xBF\xBDx");

    // The character count may itself use the 16-bit form.
    std::string longWide = Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0x00, 0x01});
    for (int i = 0; i < 256; ++i)
        longWide += Bytes({'w', 0});
    EXPECT_EQ(Decode(WithTextField(longWide)).text, std::string(256, 'w'));
}

TEST(WireDecoding, PartialCopyDropsNamesFaceAndFontFullCopyKeepsThem)
{
    CNetMessage m = Full();
    m.font.lfHeight = -13;
    std::snprintf(m.font.lfFaceName, sizeof m.font.lfFaceName, "Courier");
    CNetMessage expected = CNetMessage::FullCopy(m);
    EXPECT_EQ(expected, m);
    expected.names.clear();
    expected.faceName.clear();
    expected.font = CLogFont{};
    EXPECT_EQ(CNetMessage(m), expected);
}

TEST(WireStreaming, TwoRecordsInOneBuffer)
{
    CNetMessage a = Empty();
    a.command = "SN";
    a.sender = "ann";
    CNetMessage b = Full();
    CRecordStream stream(kClientLimits);
    stream.Append(EncodeRecord(a) + EncodeRecord(b));

    CNetMessage first, second, third;
    ASSERT_EQ(stream.Next(first), DecodeStatus::Complete);
    ASSERT_EQ(stream.Next(second), DecodeStatus::Complete);
    EXPECT_EQ(stream.Next(third), DecodeStatus::Incomplete);
    EXPECT_EQ(first.sender, "ann");
    EXPECT_EQ(second, b);
    EXPECT_EQ(stream.Buffered(), 0u);
}

TEST(WireStreaming, RecordFedOneByteAtATime)
{
    const CNetMessage m = Full();
    const std::string bytes = EncodeRecord(m);
    CRecordStream stream(kClientLimits);
    CNetMessage out;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        stream.Append(bytes.substr(i, 1));
        ASSERT_EQ(stream.Next(out), DecodeStatus::Incomplete) << "after byte " << i;
    }
    stream.Append(bytes.substr(bytes.size() - 1));
    ASSERT_EQ(stream.Next(out), DecodeStatus::Complete);
    EXPECT_EQ(out, m);
}

TEST(WireStreaming, RecordFollowedByHalfOfAnother)
{
    const std::string one = EncodeRecord(Full());
    const std::string two = EncodeRecord(Full());
    CRecordStream stream(kClientLimits);
    stream.Append(one + two.substr(0, two.size() / 2));
    CNetMessage out;
    EXPECT_EQ(stream.Next(out), DecodeStatus::Complete);
    EXPECT_EQ(stream.Next(out), DecodeStatus::Incomplete);
    EXPECT_EQ(stream.Buffered(), two.size() / 2);
    stream.Append(two.substr(two.size() / 2));
    CNetMessage second;
    EXPECT_EQ(stream.Next(second), DecodeStatus::Complete);
    EXPECT_EQ(second, Full());
}

TEST(WireStreaming, LentBytesAreCopiedOnlyFromTheUnfinishedRecord)
{
    const std::string one = EncodeRecord(Full());
    std::string lent = one + one.substr(0, 10);
    CRecordStream stream(kClientLimits);
    stream.Lend(lent);
    CNetMessage first;
    EXPECT_EQ(stream.Next(first), DecodeStatus::Complete);
    CNetMessage second;
    EXPECT_EQ(stream.Next(second), DecodeStatus::Incomplete);
    stream.Keep();
    lent.assign(lent.size(), '\xFF'); // the reader's buffer is used again
    EXPECT_EQ(stream.Buffered(), 10u);
    stream.Lend(std::string_view(one).substr(10));
    EXPECT_EQ(stream.Next(second), DecodeStatus::Complete);
    stream.Keep();
    EXPECT_EQ(first, Full());
    EXPECT_EQ(second, Full());
    EXPECT_EQ(stream.Buffered(), 0u);
}

TEST(WireLimits, OverLimitPrefixesAreRefusedBeforeTheirBytesArrive)
{
    const DecodeLimits small{100, 5, 400};
    struct Case
    {
        const char* what;
        std::string bytes;
    };
    const std::string emptyHead = Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0});  // four strings, time, empty face
    const std::string fontEtc(32, '\0');
    const Case cases[] = {
        {"4 GiB string", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
        {"string just over the limit", Bytes({0xFF, 101, 0})},
        {"UTF-16 string of more characters than the limit", Bytes({0xFF, 0xFE, 0xFF, 101})},
        {"names count over the limit", emptyHead + fontEtc + Bytes({6, 0})},
        {"32-bit names count", emptyHead + fontEtc + Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F})},
        {"record over the limit", Bytes({99}) + std::string(99, 'a') + Bytes({99}) + std::string(99, 'b') +
                                      Bytes({99}) + std::string(99, 'c') + Bytes({99}) + std::string(99, 'd')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CNetMessage out;
        EXPECT_EQ(DecodeRecord(c.bytes, out, small).status, DecodeStatus::TooLarge);
        CRecordStream stream(small);
        stream.Append(c.bytes);
        EXPECT_EQ(stream.Next(out), DecodeStatus::TooLarge);
        EXPECT_TRUE(stream.Broken());
        EXPECT_EQ(stream.Buffered(), 0u);
        stream.Append(EncodeRecord(Empty()));  // a broken stream stays broken
        EXPECT_EQ(stream.Next(out), DecodeStatus::TooLarge);
    }
}

TEST(WireLimits, Utf16StringsAreMeasuredAsDecoded)
{
    const DecodeLimits small{100, 5, 400};
    // 40 characters of U+20AC: 80 bytes on the wire, 120 once decoded.
    std::string euros = Bytes({0xFF, 0xFE, 0xFF, 40});
    for (int i = 0; i < 40; ++i)
        euros += Bytes({0xAC, 0x20});
    CNetMessage out;
    EXPECT_EQ(DecodeRecord(WithTextField(euros), out, small).status, DecodeStatus::TooLarge);
    // 60 ASCII characters: 120 bytes on the wire, 60 once decoded.
    std::string ascii = Bytes({0xFF, 0xFE, 0xFF, 60});
    for (int i = 0; i < 60; ++i)
        ascii += Bytes({'a', 0});
    ASSERT_EQ(DecodeRecord(WithTextField(ascii), out, small).status, DecodeStatus::Complete);
    EXPECT_EQ(out.text, std::string(60, 'a'));
}

TEST(WireLimits, ClientLimitsAcceptTheirMaximum)
{
    CNetMessage m = Empty();
    m.text.assign(kClientLimits.maxString, 'z');
    const std::string bytes = EncodeRecord(m);
    EXPECT_EQ(Decode(bytes).text.size(), kClientLimits.maxString);

    m.text.push_back('z');
    CNetMessage out;
    EXPECT_EQ(DecodeRecord(EncodeRecord(m), out, kClientLimits).status, DecodeStatus::TooLarge);
}

// OversizedString says no exactly where the server's decoder does: at its
// string limit in bytes, in any field, whatever the characters.
TEST(WireLimits, OversizedStringAgreesWithTheServer)
{
    struct Case
    {
        const char* what;
        CNetMessage msg;
        std::size_t oversized;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto fill, std::size_t oversized) {
        CNetMessage m = Empty();
        m.command = "M";
        fill(m);
        cases.push_back({what, std::move(m), oversized});
    };
    const std::size_t max = kServerLimits.maxString;
    add(
        "text at the limit", [&](CNetMessage& m) { m.text.assign(max, 'x'); }, 0);
    add(
        "text one over", [&](CNetMessage& m) { m.text.assign(max + 1, 'x'); }, max + 1);
    add(
        "recipient one over", [&](CNetMessage& m) { m.recipient.assign(max + 1, 'r'); }, max + 1);
    add(
        "a name one over",
        [&](CNetMessage& m) {
            m.names = {"a", std::string(max + 1, 'n')};
        },
        max + 1);
    // 21846 euro signs are fewer characters than the limit but 65538 bytes.
    add(
        "multi-byte text",
        [&](CNetMessage& m) {
            for (int i = 0; i < 21846; ++i)
                m.text += "\xE2\x82\xAC";
        },
        65538);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(OversizedString(c.msg), c.oversized);
        CNetMessage out;
        const DecodeStatus status = DecodeRecord(EncodeRecord(c.msg), out, kServerLimits).status;
        EXPECT_EQ(status, c.oversized ? DecodeStatus::TooLarge : DecodeStatus::Complete);
    }
}

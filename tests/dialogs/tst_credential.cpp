// The credential rule as a table: each row a value, a confirmation and the
// result, covering the order of the four tests and their edges; then the
// messages the dialogs show, and the line-break forms of message texts.

#include "credential.h"
#include "linebreaks.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct CCredentialCase
{
    const char* name;
    std::string value;
    std::string confirmation;
    CredentialResult expected;
};

void PrintTo(const CCredentialCase& c, std::ostream* os)
{
    *os << c.name;
}

class CredentialTable : public testing::TestWithParam<CCredentialCase>
{
};

TEST_P(CredentialTable, GivesTheFirstFailingTest)
{
    const CCredentialCase& c = GetParam();
    EXPECT_EQ(CheckCredential(c.value, c.confirmation), c.expected);
}

const CCredentialCase kCases[] = {
    {"letters", "alice", "", CredentialValid},
    {"lettersAndDigits", "Bob42", "", CredentialValid},
    {"oneCharacter", "x", "", CredentialValid},
    {"fourteenLetters", "abcdefghijklmn", "", CredentialValid},
    {"fourteenLettersAndDigits", "abc123DEF456gh", "", CredentialValid},
    {"fifteenLetters", "abcdefghijklmno", "", CredentialBadLength},
    {"empty", "", "", CredentialBadLength},
    {"spaceInside", "ab cd", "", CredentialBadCharacters},
    {"leadingSpace", " abcd", "", CredentialHasSpaces},
    {"trailingSpace", "abcd ", "", CredentialHasSpaces},
    {"onlySpace", " ", "", CredentialHasSpaces},
    {"trailingTab", "abcd\t", "", CredentialBadCharacters},
    {"leadingTab", "\tabcd", "", CredentialHasSpaces},
    {"leadingLineFeed", "\nabcd", "", CredentialHasSpaces},
    {"leadingVerticalTab", "\vabcd", "", CredentialHasSpaces},
    {"leadingFormFeed", "\fabcd", "", CredentialHasSpaces},
    {"leadingCarriageReturn", "\rabcd", "", CredentialHasSpaces},
    {"trailingLineFeed", "abcd\n", "", CredentialBadCharacters},
    // Spaces are tested before the length: sixteen bytes with a leading space.
    {"leadingSpaceAndTooLong", " abcdefghijklmno", "", CredentialHasSpaces},
    {"punctuation", "abc!", "", CredentialBadCharacters},
    {"underscore", "ab_cd", "", CredentialBadCharacters},
    {"byteE9", "caf\xE9", "", CredentialBadCharacters},
    {"byte80",
     "\x80"
     "abc",
     "", CredentialBadCharacters},
    {"byteFF", "abc\xFF", "", CredentialBadCharacters},
    {"utf8Letter", "caf\xC3\xA9", "", CredentialBadCharacters},
    {"fifteenBytesOfUtf8", "abcdefghijklm\xC3\xA9", "", CredentialBadLength},
    {"bytesAroundLetters", "@[`{/:", "", CredentialBadCharacters},
    {"nulByte", std::string("ab\0cd", 5), "", CredentialBadCharacters},
    {"confirmationEqual", "Secret1", "Secret1", CredentialValid},
    {"confirmationDiffersInCase", "Secret1", "secret1", CredentialMismatch},
    {"confirmationDiffersInOneCharacter", "Secret1", "Secret2", CredentialMismatch},
    {"confirmationLonger", "Secret1", "Secret12", CredentialMismatch},
    {"emptyConfirmationSkipsTheMatch", "Secret1", "", CredentialValid},
    {"confirmationTestedFirst", "ab cd", "abcd", CredentialMismatch},
    {"confirmationBeforeLength", "", "abc", CredentialMismatch},
    {"matchingConfirmationThenSpaces", " ab", " ab", CredentialHasSpaces},
    {"matchingConfirmationThenCharacters", "ab cd", "ab cd", CredentialBadCharacters},
};

INSTANTIATE_TEST_SUITE_P(Rule, CredentialTable, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<CCredentialCase>& info) { return info.param.name; });

TEST(Credential, LimitIsFourteen)
{
    EXPECT_EQ(MaxCredentialLength, 14);
}

TEST(Credential, PasswordMessages)
{
    EXPECT_EQ(PasswordMessage(CredentialValid), nullptr);
    EXPECT_STREQ(PasswordMessage(CredentialMismatch), "Password entries much match");
    EXPECT_STREQ(PasswordMessage(CredentialHasSpaces), "Password cannot contain spaces");
    EXPECT_STREQ(PasswordMessage(CredentialBadLength), "Password length must be 1-14 characters");
    EXPECT_STREQ(PasswordMessage(CredentialBadCharacters),
                 "Password can contain only the characters from A-Z, a-z and 0-9");
    EXPECT_STREQ(kInvalidLoginName, "Invalid Login Name");
    EXPECT_STREQ(kInvalidOldPassword, "Old password is invalid, Please try again");
}

TEST(LineBreaks, BoxTextTravelsWithCrLf)
{
    EXPECT_EQ(ToCrLf(QStringLiteral("one\ntwo\n\nthree")), "one\r\ntwo\r\n\r\nthree");
    EXPECT_EQ(ToCrLf(QStringLiteral("a\r\nb\rc")), "a\r\nb\r\nc");
    EXPECT_EQ(ToCrLf(QString()), "");
    EXPECT_EQ(ToCrLf(QStringLiteral("caf\u00e9")), "caf\xC3\xA9");
}

TEST(LineBreaks, EveryFormShowsAsOneBreak)
{
    EXPECT_EQ(FromAnyLineBreaks("a\r\nb\nc\rd"), QStringLiteral("a\nb\nc\nd"));
    EXPECT_EQ(FromAnyLineBreaks("a\r\n\r\nb"), QStringLiteral("a\n\nb"));
    EXPECT_EQ(FromAnyLineBreaks("a\n\rb"), QStringLiteral("a\n\nb"));
    EXPECT_EQ(FromAnyLineBreaks("end\r"), QStringLiteral("end\n"));
}

} // namespace

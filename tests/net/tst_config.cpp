#include "config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

CServerConfig Parse(std::string_view text)
{
    CServerConfig c;
    c.port = -7;  // a value no line sets, to show when the port is left alone
    ParseConfig(text, c);
    return c;
}

} // namespace

TEST(ConfigFile, TwoLinesGiveAddressAndPort)
{
    const CServerConfig c = Parse("IP_ADDRESS=10.1.2.3\nPORT_NUM=7357\n");
    EXPECT_EQ(c.address, "10.1.2.3");
    EXPECT_EQ(c.port, 7357);
}

TEST(ConfigFile, LastLineWithoutLineFeedCounts)
{
    const CServerConfig c = Parse("IP_ADDRESS=localhost\nPORT_NUM=99");
    EXPECT_EQ(c.address, "localhost");
    EXPECT_EQ(c.port, 99);
}

TEST(ConfigFile, CarriageReturnBeforeLineFeedIsDropped)
{
    const CServerConfig c = Parse("IP_ADDRESS=host.example\r\nPORT_NUM=12\r\n");
    EXPECT_EQ(c.address, "host.example");
    EXPECT_EQ(c.port, 12);
}

TEST(ConfigFile, KeysAreExactAndNothingIsTrimmed)
{
    EXPECT_EQ(Parse("IP_ADDRESS = 1.2.3.4\n").address, "");
    EXPECT_EQ(Parse("ip_address=1.2.3.4\nport_num=5\n").port, -7);
    EXPECT_EQ(Parse("IP_ADDRESS= 1.2.3.4 \n").address, " 1.2.3.4 ");
}

TEST(ConfigFile, CommentsAndLinesWithoutKey)
{
    const CServerConfig c = Parse("//IP_ADDRESS=1.1.1.1\n\n===\nnoequals\nIP_ADDRESS=2.2.2.2\n");
    EXPECT_EQ(c.address, "2.2.2.2");
    EXPECT_EQ(c.port, -7);
    EXPECT_EQ(Parse(" //IP_ADDRESS=3.3.3.3\n").address, "");  // not a comment: key " //IP_ADDRESS"
}

TEST(ConfigFile, ValueKeepsFurtherEqualsAndLaterLinesWin)
{
    const CServerConfig c = Parse("IP_ADDRESS=a=b=c\nPORT_NUM=1\nPORT_NUM=2\n");
    EXPECT_EQ(c.address, "a=b=c");
    EXPECT_EQ(c.port, 2);
}

TEST(ConfigFile, LongLinesAreNotCut)
{
    const std::string host(120, 'h');
    EXPECT_EQ(Parse("IP_ADDRESS=" + host + "\n").address, host);
}

TEST(ConfigFile, PortIsReadLikeAtoi)
{
    EXPECT_EQ(ParsePortNumber("7357"), 7357);
    EXPECT_EQ(ParsePortNumber("  \t+80x"), 80);
    EXPECT_EQ(ParsePortNumber("-5"), -5);
    EXPECT_EQ(ParsePortNumber("abc"), 0);
    EXPECT_EQ(ParsePortNumber(""), 0);
    EXPECT_EQ(ParsePortNumber("99999999999999999999"), 2147483647);
}

TEST(ConfigFile, MissingFileIsReported)
{
    CServerConfig c;
    EXPECT_FALSE(ReadConfigFile("/nonexistent/dir/config.txt", c));

    const std::string path = ::testing::TempDir() + "murmurly_config_test.txt";
    std::ofstream(path, std::ios::binary) << "PORT_NUM=4242";
    EXPECT_TRUE(ReadConfigFile(path, c));
    EXPECT_EQ(c.port, 4242);
    std::remove(path.c_str());
}

TEST(ConfigFile, TlsSwitchAndFingerprint)
{
    const CServerConfig c = Parse("USE_TLS=1\nTLS_FINGERPRINT=ab:CD\n");
    EXPECT_TRUE(c.useTls);
    EXPECT_EQ(c.tlsFingerprint, "ab:CD");
    EXPECT_FALSE(Parse("USE_TLS=yes\n").useTls);
    EXPECT_FALSE(Parse("USE_TLS=1\nUSE_TLS=0\n").useTls);

    const std::string hex(64, 'a');
    EXPECT_EQ(NormalizeFingerprint(hex), std::string(64, 'A'));
    std::string colons;
    for (int i = 0; i < 32; ++i)
        colons += (i ? ":" : "") + std::string("0f");
    EXPECT_EQ(NormalizeFingerprint(colons).substr(0, 4), "0F0F");
    EXPECT_EQ(NormalizeFingerprint(hex.substr(1)), "");
    EXPECT_EQ(NormalizeFingerprint(hex.substr(1) + "g"), "");
}

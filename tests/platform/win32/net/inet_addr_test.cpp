// inet_addr's grammar and the byte-order helpers.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

ULONG Dotted(int a, int b, int c, int d)
{
    return htonl(static_cast<u_long>(a) << 24 | b << 16 | c << 8 | d);
}

TEST(InetAddr, DottedQuadsInEachBase)
{
    EXPECT_EQ(inet_addr("127.0.0.1"), Dotted(127, 0, 0, 1));
    EXPECT_EQ(inet_addr("192.168.1.10"), Dotted(192, 168, 1, 10));
    EXPECT_EQ(inet_addr("0x7f.0.0.0x1"), Dotted(127, 0, 0, 1));
    EXPECT_EQ(inet_addr("010.0.0.1"), Dotted(8, 0, 0, 1));
    EXPECT_EQ(inet_addr("0.0.0.0"), 0u);
}

TEST(InetAddr, ShorterFormsFillTheRemainingBytesWithTheLastPart)
{
    EXPECT_EQ(inet_addr("1.2.3"), Dotted(1, 2, 0, 3));
    EXPECT_EQ(inet_addr("1.2.772"), Dotted(1, 2, 3, 4));
    EXPECT_EQ(inet_addr("10.65539"), Dotted(10, 1, 0, 3));
    EXPECT_EQ(inet_addr("2130706433"), Dotted(127, 0, 0, 1));
}

TEST(InetAddr, TheBroadcastAddressIsIndistinguishableFromNone)
{
    EXPECT_EQ(inet_addr("255.255.255.255"), INADDR_NONE);
    EXPECT_EQ(inet_addr("255.255.255.255"), htonl(INADDR_BROADCAST));
}

TEST(InetAddr, AnythingElseIsNone)
{
    for (const char* bad : {"", " ", "1.2.3.256", "1.2.3.4.5", "1..2.3", "1.2.3.", ".1.2.3", "1.2.3.4x", "08", "0x",
                 "4294967296", "256.1.1", "1.65536.1", "a.b.c.d", "-1.2.3.4"})
        EXPECT_EQ(inet_addr(bad), INADDR_NONE) << '"' << bad << '"';
    EXPECT_EQ(inet_addr(nullptr), INADDR_NONE);
}

TEST(InetAddr, TrailingWhiteSpaceEndsTheAddress)
{
    EXPECT_EQ(inet_addr("127.0.0.1 "), Dotted(127, 0, 0, 1));
    EXPECT_EQ(inet_addr("127.0.0.1\n"), Dotted(127, 0, 0, 1));
}

TEST(ByteOrder, NetworkOrderIsBigEndian)
{
    u_short port = htons(48780);
    unsigned char bytes[4];
    std::memcpy(bytes, &port, 2);
    EXPECT_EQ(bytes[0], 0xBE);
    EXPECT_EQ(bytes[1], 0x8C);
    ULONG address = static_cast<ULONG>(htonl(0x7f000001));
    std::memcpy(bytes, &address, 4);
    EXPECT_EQ(bytes[0], 0x7f);
    EXPECT_EQ(bytes[3], 0x01);
    EXPECT_EQ(ntohs(htons(0x1234)), 0x1234);
    EXPECT_EQ(ntohl(htonl(0x12345678)), 0x12345678u);
}

}  // namespace

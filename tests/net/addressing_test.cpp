#include "net/Addressing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kalvoran::net {
namespace {

TEST(ParseDottedAddress, AcceptsFourDecimalNumbersUpTo255) {
    struct Row {
        const char* text;
        Octets octets;
    };
    const Row rows[] = {
        {"192.168.0.20", {192, 168, 0, 20}},       {"0.0.0.0", {0, 0, 0, 0}},
        {"255.255.255.255", {255, 255, 255, 255}}, {"10.0.0.1", {10, 0, 0, 1}},
        {"010.001.000.009", {10, 1, 0, 9}},  // decimal, as typed
    };
    for (const Row& row : rows) {
        Octets octets{9, 9, 9, 9};
        EXPECT_TRUE(ParseDottedAddress(row.text, octets)) << row.text;
        EXPECT_EQ(octets, row.octets) << row.text;
    }
}

TEST(ParseDottedAddress, RefusesEverythingElseAndLeavesAllZero) {
    const char* refused[] = {
        "192.168.1.300",  // would wrap to .44
        "1.2.3.4.5",      // would shift to 1.3.4.5
        "10.0.0.256",      "10.0.0",     "10..0.1",  ".10.0.0.1", "10.0.0.1.",
        "+1.2.3.4",        "-1.2.3.4",   "1.2.3.4 ", " 1.2.3.4",  "1.2.3.a",
        "0001.2.3.4",      "1.2.3.4/24", "",         "localhost",
        "1234.1234.1234.1"  // over 15 characters
    };
    for (const char* text : refused) {
        Octets octets{9, 9, 9, 9};
        EXPECT_FALSE(ParseDottedAddress(text, octets)) << text;
        EXPECT_EQ(octets, (Octets{0, 0, 0, 0})) << text;
    }
}

TEST(FormatDottedAddress, PrintsStorageOrderAndNeedsSixteenBytes) {
    const std::uint32_t address = ToStorageOrder({192, 168, 0, 20});
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(FormatDottedAddress(address, buffer, 15), nullptr);
    EXPECT_EQ(buffer[0], 'x');  // untouched
    ASSERT_EQ(FormatDottedAddress(address, buffer, 16), buffer);
    EXPECT_STREQ(buffer, "192.168.0.20");
    ASSERT_NE(FormatDottedAddress(0, buffer, sizeof buffer), nullptr);
    EXPECT_STREQ(buffer, "0.0.0.0");
    ASSERT_NE(FormatDottedAddress(ToStorageOrder({255, 255, 255, 255}), buffer, 16), nullptr);
    EXPECT_STREQ(buffer, "255.255.255.255");
}

TEST(LookupIPv4, DottedTextResolvesToThatAddressWithoutANameService) {
    EXPECT_EQ(FromStorageOrder(LookupIPv4("127.0.3.7")), (Octets{127, 0, 3, 7}));
    EXPECT_EQ(LookupIPv4(""), 0u);
    EXPECT_EQ(LookupIPv4(nullptr), 0u);
}

TEST(LocalHost, NameIsTerminatedEvenInASmallBuffer) {
    char name[256];
    ASSERT_NE(GetLocalHostName(name, sizeof name), nullptr);
    EXPECT_GT(std::strlen(name), 0u);
    char tiny[2] = {'x', 'x'};
    GetLocalHostName(tiny, sizeof tiny);  // may fail with a cut name; must stay terminated
    EXPECT_LT(strnlen(tiny, sizeof tiny), sizeof tiny);
}

TEST(Winsock, StartAndStopPair) {
    const bool before = WinsockStarted();
    EXPECT_TRUE(StartWinsock());
    EXPECT_TRUE(WinsockStarted());
    StopWinsock();
    EXPECT_EQ(WinsockStarted(), before);
}

}  // namespace
}  // namespace kalvoran::net

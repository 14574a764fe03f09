#include "net/Addressing.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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

// Runs probe in a child process inside a network namespace of its own, set up by the ip commands
// of setup (a veth pair with private test addresses stays inside it), and returns the addresses
// the probe found; nullopt when this machine allows no such namespace (not root, no ip, no veth).
std::optional<std::vector<std::uint32_t>> InOwnNetwork(
    const std::string& setup, const std::function<std::vector<std::uint32_t>()>& probe) {
    int results[2];
    if (pipe(results) != 0) {
        return std::nullopt;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(results[0]);
        const std::string commands =
            "PATH=\"$PATH:/usr/sbin:/sbin\"; exec >/dev/null 2>&1; " + setup;
        if (unshare(CLONE_NEWNET) != 0 || std::system(commands.c_str()) != 0) {
            _exit(77);
        }
        const std::vector<std::uint32_t> found = probe();
        const auto bytes = static_cast<ssize_t>(found.size() * sizeof(std::uint32_t));
        _exit(write(results[1], found.data(), static_cast<std::size_t>(bytes)) == bytes ? 0 : 1);
    }
    close(results[1]);
    std::vector<std::uint32_t> found;
    std::uint32_t address = 0;
    while (read(results[0], &address, sizeof address) == sizeof address) {
        found.push_back(address);
    }
    close(results[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return found;
}

std::uint32_t Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return ToStorageOrder({a, b, c, d});
}

TEST(LocalAddressFacing, NamesTheInterfaceThroughWhichTheAgentIsReached) {
    const auto found = InOwnNetwork(
        "ip link set lo up && ip link add k0 type veth peer name k1 && "
        "ip addr add 10.213.7.1/24 dev k0 && ip addr add 10.213.8.1/24 dev k1 && "
        "ip link set k0 up && ip link set k1 up",
        [] {
            return std::vector<std::uint32_t>{LocalAddressFacing(Address(10, 213, 8, 20)),
                                              LocalAddressFacing(Address(10, 213, 7, 20))};
        });
    if (!found) {
        GTEST_SKIP() << "needs root, ip and veth for a network namespace";
    }
    ASSERT_EQ(found->size(), 2u);
    EXPECT_EQ(FromStorageOrder((*found)[0]), (Octets{10, 213, 8, 1}));
    EXPECT_EQ(FromStorageOrder((*found)[1]), (Octets{10, 213, 7, 1}));
}

TEST(LocalAddressFacing, WithoutARouteToTheAgentNamesTheFirstAddressOfAnInterfaceThatIsUp) {
    // k1 carries an address but stays down, so only k0's address may be shown; 10.213.5.0/24 is
    // routed over loopback, which tells the engineer nothing about that agent's network.
    const auto found = InOwnNetwork(
        "ip link set lo up && ip link add k0 type veth peer name k1 && "
        "ip addr add 10.213.9.1/24 dev k1 && ip addr add 10.213.7.1/24 dev k0 && "
        "ip link set k0 up && ip route add 10.213.5.0/24 dev lo src 127.0.0.1",
        [] {
            return std::vector<std::uint32_t>{SourceAddressTowards(Address(192, 168, 50, 5)),
                                              SourceAddressTowards(Address(10, 213, 5, 5)),
                                              LocalAddressFacing(Address(192, 168, 50, 5)),
                                              LocalAddressFacing(Address(10, 213, 5, 5)),
                                              LocalAddressFacing(0),
                                              LocalAddressFacing(Address(255, 255, 255, 255)),
                                              FirstInterfaceAddress()};
        });
    if (!found) {
        GTEST_SKIP() << "needs root, ip and veth for a network namespace";
    }
    ASSERT_EQ(found->size(), 7u);
    EXPECT_EQ((*found)[0], 0u);                                        // no route
    EXPECT_EQ(FromStorageOrder((*found)[1]), (Octets{127, 0, 0, 1}));  // routed over loopback
    for (std::size_t i = 2; i < found->size(); ++i) {
        EXPECT_EQ(FromStorageOrder((*found)[i]), (Octets{10, 213, 7, 1})) << i;
    }
}

TEST(LocalAddressFacing, OnlyLoopbackGivesNothingUnlessTheAgentIsOnLoopback) {
    const auto found = InOwnNetwork(
        "ip link set lo up && ip link add k0 type veth peer name k1 && "
        "ip addr add 10.213.7.1/24 dev k0",
        [] {
            return std::vector<std::uint32_t>{FirstInterfaceAddress(),
                                              LocalAddressFacing(Address(10, 213, 7, 20)),
                                              LocalAddressFacing(Address(127, 0, 3, 9))};
        });
    if (!found) {
        GTEST_SKIP() << "needs root, ip and veth for a network namespace";
    }
    ASSERT_EQ(found->size(), 3u);
    EXPECT_EQ((*found)[0], 0u);
    EXPECT_EQ((*found)[1], 0u);
    EXPECT_TRUE(IsLoopbackAddress((*found)[2]));
}

TEST(LocalHost, NameIsTerminatedEvenInASmallBuffer) {
    char name[256];
    ASSERT_NE(GetLocalHostName(name, sizeof name), nullptr);
    EXPECT_GT(std::strlen(name), 0u);
    char tiny[2] = {'x', 'x'};
    GetLocalHostName(tiny, sizeof tiny);  // may fail with a cut name; must stay terminated
    EXPECT_LT(strnlen(tiny, sizeof tiny), sizeof tiny);
}

}  // namespace
}  // namespace kalvoran::net

// The in.tftpd harness of tests/support: it serves and accepts files on its own loopback address,
// reports a server that could not take the address as not started, and frees the port when it
// stops.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TftpdProcess.h"

namespace kalvoran::testing {
namespace {

// Bytes that differ from block to block, so that a lost, repeated or reordered block shows.
std::string PatternBytes(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// Whether this process can bind a UDP socket to address:69 right now.
bool PortIsFree(const std::string& address) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(69);
    ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    ::close(fd);
    return bound;
}

class TftpdProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "in.tftpd listens on port 69, which needs root";
        }
        if (!TftpdProcess::Available()) {
            GTEST_SKIP() << TftpdProcess::kProgram << " is not installed (package tftpd-hpa)";
        }
    }

    RunResult Tftp(const std::string& address, const std::string& command,
                   const std::string& remote, const std::string& local) {
        return RunProgram({"tftp", "-m", "binary", address, "-c", command, remote, local}, 20000);
    }

    TempDir served;
    TempDir client;
};

TEST_F(TftpdProcessTest, ServesAFileOfItsDirectory) {
    const std::string address = "127.0.9.3";
    const std::string content = PatternBytes(3 * 512 + 100, 3);
    WriteFileBytes(served.File("served.bin"), content);
    TftpdProcess server;
    ASSERT_TRUE(server.Start(address, served.Path().string())) << server.Output();
    EXPECT_TRUE(server.Running());

    const RunResult get = Tftp(address, "get", "served.bin", client.File("fetched.bin"));
    EXPECT_EQ(get.exitCode, 0) << get.output;
    EXPECT_EQ(ReadFileBytes(client.File("fetched.bin")), content);
}

TEST_F(TftpdProcessTest, AcceptsANewFile) {
    const std::string address = "127.0.9.4";
    // A whole number of blocks: the transfer ends with an empty block.
    const std::string content = PatternBytes(4 * 512, 4);
    WriteFileBytes(client.File("upload.bin"), content);
    TftpdProcess server;
    ASSERT_TRUE(server.Start(address, served.Path().string())) << server.Output();

    const RunResult put = Tftp(address, "put", client.File("upload.bin"), "image.bin");
    EXPECT_EQ(put.exitCode, 0) << put.output;
    EXPECT_EQ(ReadFileBytes(served.File("image.bin")), content);
}

TEST_F(TftpdProcessTest, SecondServerOnTheSameAddressIsNotStarted) {
    const std::string address = "127.0.9.5";
    TftpdProcess first;
    ASSERT_TRUE(first.Start(address, served.Path().string())) << first.Output();

    // The first server's socket is in the table, but not the second server's: it must not
    // count as listening.
    TftpdProcess second;
    EXPECT_FALSE(second.Start(address, served.Path().string()));
    EXPECT_FALSE(second.Running());
    EXPECT_TRUE(first.Running());
}

TEST_F(TftpdProcessTest, StopEndsTheServerAndFreesThePort) {
    const std::string address = "127.0.9.6";
    TftpdProcess server;
    ASSERT_TRUE(server.Start(address, served.Path().string())) << server.Output();
    EXPECT_FALSE(PortIsFree(address));

    // in.tftpd ends on SIGTERM by itself; -1 would mean it had to be killed.
    EXPECT_NE(server.Stop(), -1);
    EXPECT_FALSE(server.Running());
    EXPECT_TRUE(PortIsFree(address));
    // A second start on the freed address works.
    EXPECT_TRUE(server.Start(address, served.Path().string())) << server.Output();
}

}  // namespace
}  // namespace kalvoran::testing

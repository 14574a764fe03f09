// The ICMP module called directly: both socket kinds, the choice between them, matching of the
// reply among other ICMP traffic, the time-out, the wait callback between slices of the wait and
// refused arguments.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <thread>

#include "net/ping_test_support.h"

namespace kalvoran::net {
namespace {

using testing::Address;
using testing::IcmpModule;
using testing::NetworkSetup;
using testing::NowMs;
using testing::RunInPrivateNetwork;

constexpr std::size_t kPayload = 64;
constexpr std::size_t kBufferSize = sizeof(ICMP_ECHO_REPLY) + kPayload;

struct Echo {
    std::array<unsigned char, kPayload> payload{};
    alignas(ICMP_ECHO_REPLY) std::array<unsigned char, kBufferSize> buffer{};
    ICMP_ECHO_REPLY reply{};

    Echo() { payload.fill(0xAA); }
    std::uint32_t Send(const IcmpModule& module, void* handle, std::uint32_t destination,
                       std::uint32_t timeoutMs) {
        const std::uint32_t count =
            module.send(handle, destination, payload.data(), kPayload, nullptr, buffer.data(),
                        static_cast<std::uint32_t>(buffer.size()), timeoutMs);
        std::memcpy(&reply, buffer.data(), sizeof reply);
        return count;
    }
    bool BufferUntouched() const {
        for (unsigned char byte : buffer) {
            if (byte != 0) {
                return false;
            }
        }
        return true;
    }
    // The echoed bytes follow the record, Data points at them, and they are our payload.
    bool DataIsEchoed() const {
        return reply.DataSize == kPayload &&
               reply.Data == buffer.data() + sizeof(ICMP_ECHO_REPLY) &&
               std::memcmp(buffer.data() + sizeof(ICMP_ECHO_REPLY), payload.data(), kPayload) == 0;
    }
};

// The wait callback's context: counts the calls and notes a call made once the reply was stored.
struct WaitWatch {
    const Echo* echo = nullptr;
    int calls = 0;
    bool calledAfterReply = false;

    static void OnWait(void* context) {
        auto* self = static_cast<WaitWatch*>(context);
        ++self->calls;
        if (!self->echo->BufferUntouched()) {
            self->calledAfterReply = true;
        }
    }
};

TEST(IcmpModule, ReplyBufferHoldsOneRecordAndTheEchoedBytes) {
    // 92 bytes where pointers take four bytes; the record grows with 8-byte pointers.
    EXPECT_EQ(CPingService::kReplyBufferSize, sizeof(ICMP_ECHO_REPLY) + 64);
    EXPECT_GE(CPingService::kReplyBufferSize, 92u);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(CPingService::kReplyBufferSize, 92u);
    }
    EXPECT_EQ(offsetof(ICMP_ECHO_REPLY, Address), 0u);
    EXPECT_EQ(sizeof(ICMP_ECHO_REPLY::Address), 4u);
}

class IcmpModuleKind : public ::testing::TestWithParam<int> {};

TEST_P(IcmpModuleKind, EchoesLoopbackWithTtlAndData) {
    const int kind = GetParam();
    const std::uint32_t target = Address(127, 0, 6, kind == ICMP_SOCKET_RAW ? 1 : 2);
    const int result = RunInPrivateNetwork(NetworkSetup{}, [&] {
        IcmpModule module;
        CHILD_CHECK(module.Complete());
        module.select(kind);
        void* handle = module.create();
        CHILD_CHECK(handle != ICMP_INVALID_HANDLE);
        CHILD_CHECK(module.kindOf(handle) == kind);
        for (int round = 0; round < 3; ++round) {  // the sequence advances per echo
            Echo echo;
            CHILD_CHECK(echo.Send(module, handle, target, 2000) == 1);
            CHILD_CHECK(echo.reply.Address == target);
            CHILD_CHECK(echo.reply.Status == IP_SUCCESS);
            CHILD_CHECK(echo.reply.Options.Ttl == 64);
            CHILD_CHECK(echo.reply.RoundTripTime < 2000);
            CHILD_CHECK(echo.DataIsEchoed());
        }
        CHILD_CHECK(module.close(handle) != 0);
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST_P(IcmpModuleKind, GivesNoReplyWhenNobodyAnswersAndWaitsWithoutSpinning) {
    const int kind = GetParam();
    const std::uint32_t target = Address(127, 0, 6, kind == ICMP_SOCKET_RAW ? 3 : 4);
    NetworkSetup silent;
    silent.answerEchoRequests = false;
    const int result = RunInPrivateNetwork(silent, [&] {
        IcmpModule module;
        CHILD_CHECK(module.Complete());
        module.select(kind);
        void* handle = module.create();
        CHILD_CHECK(handle != ICMP_INVALID_HANDLE);
        timespec cpuBefore{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuBefore);
        const std::int64_t start = NowMs();
        Echo echo;
        CHILD_CHECK(echo.Send(module, handle, target, 400) == 0);
        const std::int64_t waited = NowMs() - start;
        timespec cpuAfter{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuAfter);
        const std::int64_t cpuMs = (cpuAfter.tv_sec - cpuBefore.tv_sec) * 1000 +
                                   (cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1'000'000;
        CHILD_CHECK(waited >= 400);
        CHILD_CHECK(waited < 1500);
        CHILD_CHECK(cpuMs < 100);  // poll() sleeps; a busy loop would burn the whole 400 ms
        CHILD_CHECK(echo.BufferUntouched());
        module.close(handle);
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST_P(IcmpModuleKind, WaitCallbackRunsBetweenSlicesUntilTheTimeOut) {
    const int kind = GetParam();
    const std::uint32_t target = Address(127, 0, 6, kind == ICMP_SOCKET_RAW ? 8 : 9);
    constexpr int kTimeoutMs = 300;
    NetworkSetup silent;
    silent.answerEchoRequests = false;
    const int result = RunInPrivateNetwork(silent, [&] {
        IcmpModule module;
        CHILD_CHECK(module.Complete());
        module.select(kind);
        void* handle = module.create();
        CHILD_CHECK(handle != ICMP_INVALID_HANDLE);
        Echo echo;
        WaitWatch watch{&echo};
        module.setWait(&WaitWatch::OnWait, &watch);
        const std::int64_t start = NowMs();
        CHILD_CHECK(echo.Send(module, handle, target, kTimeoutMs) == 0);
        const std::int64_t waited = NowMs() - start;
        CHILD_CHECK(waited >= kTimeoutMs);  // slicing leaves the time-out as it was
        CHILD_CHECK(echo.BufferUntouched());
        CHILD_CHECK(watch.calls >= kTimeoutMs / ICMP_WAIT_SLICE_MS - 2);
        // Slices are not shorter than ICMP_WAIT_SLICE_MS, as nothing arrives to end one early.
        CHILD_CHECK(watch.calls <= kTimeoutMs / ICMP_WAIT_SLICE_MS + 1);

        module.setWait(nullptr, nullptr);  // cleared: one uninterrupted wait again
        const int callsBefore = watch.calls;
        Echo quiet;
        CHILD_CHECK(quiet.Send(module, handle, target, 100) == 0);
        CHILD_CHECK(watch.calls == callsBefore);
        module.close(handle);
        return 0;
    });
    EXPECT_EQ(result, 0);
}

// Answers the module's echo request by hand, first with replies that must be passed over (wrong
// identifier, wrong sequence, wrong source), then with the right one carrying TTL 77.
int AnswerByHand(std::uint32_t target, std::uint32_t stranger, int requestSocket) {
    std::array<std::uint8_t, 1500> packet{};
    const ssize_t size = recv(requestSocket, packet.data(), packet.size(), 0);
    CHILD_CHECK(size >= 20 + 8);
    const std::size_t header = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    std::uint8_t* icmp = packet.data() + header;
    const std::size_t icmpSize = static_cast<std::size_t>(size) - header;
    CHILD_CHECK(icmp[0] == 8 && icmpSize == 8 + kPayload);
    std::uint32_t requester = 0;
    std::memcpy(&requester, packet.data() + 12, sizeof requester);

    const auto send = [&](std::uint32_t from, int ttl, int idDelta, int seqDelta,
                          bool corrupt = false) {
        std::array<std::uint8_t, 8 + kPayload> reply{};
        std::memcpy(reply.data(), icmp, reply.size());
        reply[0] = 0;  // echo reply
        reply[2] = reply[3] = 0;
        reply[5] = static_cast<std::uint8_t>(reply[5] + idDelta);
        reply[7] = static_cast<std::uint8_t>(reply[7] + seqDelta);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < reply.size(); i += 2) {
            sum += static_cast<std::uint32_t>((reply[i] << 8) | reply[i + 1]);
        }
        while ((sum >> 16) != 0) {
            sum = (sum & 0xFFFFu) + (sum >> 16);
        }
        reply[2] = static_cast<std::uint8_t>((~sum >> 8) & 0xFF);
        reply[3] = static_cast<std::uint8_t>((~sum & 0xFF) ^ (corrupt ? 1 : 0));
        const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = from;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = requester;
        const bool sent =
            fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
            setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) == 0 &&
            sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) == static_cast<ssize_t>(reply.size());
        if (fd >= 0) {
            close(fd);
        }
        return sent;
    };
    CHILD_CHECK(send(target, 11, 1, 0));        // another pinger's identifier
    CHILD_CHECK(send(target, 12, 0, 1));        // a later sequence number
    CHILD_CHECK(send(stranger, 13, 0, 0));      // someone else answering
    CHILD_CHECK(send(target, 14, 0, 0, true));  // damaged on the way
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    CHILD_CHECK(send(target, 77, 0, 0));
    return 0;
}

TEST_P(IcmpModuleKind, PassesOverOtherIcmpTrafficUntilItsOwnReply) {
    const int kind = GetParam();
    const std::uint32_t target = Address(127, 0, 6, kind == ICMP_SOCKET_RAW ? 5 : 6);
    const std::uint32_t stranger = Address(127, 0, 6, 99);
    NetworkSetup silent;
    silent.answerEchoRequests = false;  // only the hand-made replies exist
    const int result = RunInPrivateNetwork(silent, [&] {
        IcmpModule module;
        CHILD_CHECK(module.Complete());
        module.select(kind);
        // The same matching whether the wait is one piece or cut into slices.
        for (bool withCallback : {false, true}) {
            void* handle = module.create();
            CHILD_CHECK(handle != ICMP_INVALID_HANDLE);
            const int requestSocket = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
            CHILD_CHECK(requestSocket >= 0);
            Echo echo;
            WaitWatch watch{&echo};
            module.setWait(withCallback ? &WaitWatch::OnWait : nullptr, &watch);
            int answerResult = -1;
            std::thread answerer(
                [&] { answerResult = AnswerByHand(target, stranger, requestSocket); });
            const std::uint32_t count = echo.Send(module, handle, target, 3000);
            answerer.join();
            close(requestSocket);
            module.close(handle);
            CHILD_CHECK(answerResult == 0);
            CHILD_CHECK(count == 1);
            CHILD_CHECK(echo.reply.Address == target);
            CHILD_CHECK(echo.reply.Options.Ttl == 77);
            CHILD_CHECK(echo.reply.RoundTripTime >= 100);
            CHILD_CHECK(echo.reply.RoundTripTime < 3000);
            CHILD_CHECK(echo.DataIsEchoed());
            // The reply came after 150 ms: the callback ran meanwhile, never after it.
            CHILD_CHECK(!withCallback || watch.calls >= 100 / ICMP_WAIT_SLICE_MS);
            CHILD_CHECK(!watch.calledAfterReply);
        }
        return 0;
    });
    EXPECT_EQ(result, 0);
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, IcmpModuleKind,
                         ::testing::Values(ICMP_SOCKET_RAW, ICMP_SOCKET_DATAGRAM),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return std::string(param.param == ICMP_SOCKET_RAW ? "Raw"
                                                                               : "Datagram");
                         });

TEST(IcmpModule, AutomaticChoiceFollowsThePingGroupRange) {
    struct Case {
        bool datagramAllowed;
        int wanted;
        int expected;  // -1: no handle
    };
    const Case cases[] = {
        {true, ICMP_SOCKET_AUTOMATIC, ICMP_SOCKET_DATAGRAM},
        {false, ICMP_SOCKET_AUTOMATIC, ICMP_SOCKET_RAW},
        {false, ICMP_SOCKET_DATAGRAM, -1},
        {true, ICMP_SOCKET_RAW, ICMP_SOCKET_RAW},
    };
    for (const Case& c : cases) {
        NetworkSetup setup;
        setup.datagramSocketsAllowed = c.datagramAllowed;
        const int result = RunInPrivateNetwork(setup, [&] {
            IcmpModule module;
            CHILD_CHECK(module.Complete());
            module.select(c.wanted);
            void* handle = module.create();
            CHILD_CHECK(module.kindOf(handle) == c.expected);
            CHILD_CHECK((handle == ICMP_INVALID_HANDLE) == (c.expected == -1));
            CHILD_CHECK(module.close(handle) == (c.expected == -1 ? 0 : 1));
            return 0;
        });
        EXPECT_EQ(result, 0) << "allowed " << c.datagramAllowed << " wanted " << c.wanted;
    }
}

TEST(IcmpModule, RefusesUnusableArgumentsWithoutWaiting) {
    IcmpModule module;
    ASSERT_TRUE(module.Complete());
    void* handle = module.create();
    ASSERT_NE(handle, ICMP_INVALID_HANDLE);
    const std::uint32_t target = Address(127, 0, 6, 7);
    std::array<unsigned char, 4096> data{};
    alignas(ICMP_ECHO_REPLY) std::array<unsigned char, 4096> buffer{};
    struct Case {
        const char* what;
        void* handle;
        std::uint32_t destination;
        void* data;
        std::uint16_t size;
        void* buffer;
        std::uint32_t bufferSize;
    };
    const Case cases[] = {
        {"invalid handle", ICMP_INVALID_HANDLE, target, data.data(), 64, buffer.data(), 4096},
        {"null handle", nullptr, target, data.data(), 64, buffer.data(), 4096},
        {"no destination", handle, 0, data.data(), 64, buffer.data(), 4096},
        {"no request data", handle, target, nullptr, 64, buffer.data(), 4096},
        {"no reply buffer", handle, target, data.data(), 64, nullptr, 4096},
        {"buffer one byte short", handle, target, data.data(), 64, buffer.data(),
         static_cast<std::uint32_t>(sizeof(ICMP_ECHO_REPLY) + 63)},
        {"request too large", handle, target, data.data(), 4000, buffer.data(), 4096},
    };
    for (const Case& c : cases) {
        const std::int64_t start = NowMs();
        EXPECT_EQ(module.send(c.handle, c.destination, c.data, c.size, nullptr, c.buffer,
                              c.bufferSize, 3000),
                  0u)
            << c.what;
        EXPECT_LT(NowMs() - start, 1000) << c.what;
    }
    for (unsigned char byte : buffer) {
        ASSERT_EQ(byte, 0);
    }
    EXPECT_EQ(module.close(handle), 1);
    EXPECT_EQ(module.close(ICMP_INVALID_HANDLE), 0);
    EXPECT_EQ(module.close(nullptr), 0);
}

}  // namespace
}  // namespace kalvoran::net

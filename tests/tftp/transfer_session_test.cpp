// The sessions as a library: each runs a Transfer over a context of its own and returns its
// Outcome, with no client driver and no window (an observer that shows nothing, its report off).
// The agent is the simulated agent's protocol machine behind a simulated socket, in simulated time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "agent-sim/AgentFiles.h"
#include "support/AgentOnWire.h"
#include "support/FakeClock.h"
#include "support/FakeDatagramSocket.h"
#include "support/Pattern.h"
#include "support/ScriptedPing.h"
#include "support/TempDir.h"
#include "tftp/ConsoleReport.h"
#include "tftp/FetchSession.h"
#include "tftp/LinkObserver.h"
#include "tftp/SendSession.h"
#include "tftp/SessionContext.h"
#include "tftp/StatusReport.h"
#include "tftp/TransferTypes.h"

namespace kalvoran {
namespace {

using testing::PatternString;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr net::Octets kAgent = {127, 0, 3, 95};

// Everything one transfer needs and nothing of a client: aimed at the agent as a driver's
// OpenAgentSocket would leave it.
class TransferSessionTest : public ::testing::Test {
protected:
    TransferSessionTest() {
        ping.answer = [this](std::uint32_t, std::uint32_t) {
            clock.Advance(1);
            return true;
        };
        pingService.SetModulePath(ping.Path());
        pingService.SetTarget(net::ToStorageOrder(kAgent));
        wire.Open();
        channel.AimAt({net::ToStorageOrder(kAgent), 69});
    }

    std::string Stored(const char* name) {
        const auto bytes = wire.storage.Load(name);
        return bytes.has_value() ? std::string(bytes->begin(), bytes->end()) : std::string();
    }

    TempDir dir;
    fakes::FakeClock clock;
    fakes::ScriptedPing ping;
    fakes::AgentOnWire wire{clock, net::ToStorageOrder(kAgent)};
    LinkObserver nobody;
    ConsoleReport console{nullptr, nullptr};
    StatusDisplay display{nobody, console};
    TftpChannel channel{wire, clock, display};
    net::CPingService pingService;
    CLocalFile file;
    SessionContext context{channel, pingService, clock, display, file};
};

TEST_F(TransferSessionTest, SendReturnsWhatItMovedAndLaterTransfersRunInTheSameProcess) {
    SendSession send(context);
    for (const std::size_t size : {std::size_t{1}, std::size_t{70000}}) {
        SCOPED_TRACE(size);
        const std::string content = PatternString(size, static_cast<unsigned>(size));
        WriteFileBytes(dir.File("app.bin"), content);
        const Outcome outcome =
            send.Run(Transfer{APPLICATION_UPGRADE, dir.File("app.bin"), kAgent, {}});
        EXPECT_EQ(outcome.resultCode, kResultSuccess);
        EXPECT_FALSE(outcome.failed);
        EXPECT_EQ(outcome.reason, "");
        EXPECT_EQ(outcome.bytesMoved, static_cast<std::int32_t>(size));
        EXPECT_EQ(outcome.fileLength, static_cast<std::int32_t>(size));
        char crc[9] = {};
        const auto tail = [&](std::size_t i) {
            return size >= 4 ? static_cast<unsigned char>(content[size - 4 + i]) : 0u;
        };
        std::snprintf(crc, sizeof crc, "%02X%02X%02X%02X", tail(0), tail(1), tail(2), tail(3));
        if (size >= 4) {
            EXPECT_STREQ(outcome.storedCrc.data(), crc);
        }
        EXPECT_EQ(Stored("image.bin"), content);
        EXPECT_FALSE(file.IsOpen()) << "the End step closes the file";
    }
}

TEST_F(TransferSessionTest, RefusalsReturnTheirReasonAndSendNothing) {
    WriteFileBytes(dir.File("app.bin"), "12345");
    WriteFileBytes(dir.File("empty.bin"), "");
    const auto transfer = [this](int type, const char* name, int blksize = 0, int window = 0) {
        Transfer t{type, dir.File(name), kAgent, {}};
        t.options.asked = {blksize, window};
        return t;
    };
    struct Row {
        const char* label;
        Transfer transfer;
        std::string reason;
    };
    const std::vector<Row> rows = {
        {"no such type", transfer(9, "app.bin"), "!!!WRONG TRANSFER TYPE!!!"},
        {"a type that sends nothing", transfer(READ_EEPROM_FILE, "app.bin"),
         "!!!WRONG TRANSFER TYPE!!!"},
        {"empty file", transfer(APPLICATION_UPGRADE, "empty.bin"),
         "Empty file: " + dir.File("empty.bin")},
        {"block size below the range", transfer(APPLICATION_UPGRADE, "app.bin", 7),
         "Transfer options out of range: blksize 7, windowsize 0"},
        {"window above the range", transfer(APPLICATION_UPGRADE, "app.bin", 0, 65),
         "Transfer options out of range: blksize 0, windowsize 65"},
    };
    SendSession send(context);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const std::size_t before = wire.Sent().size();
        const Outcome outcome = send.Run(row.transfer);
        EXPECT_EQ(outcome.resultCode, kResultRefused);
        EXPECT_TRUE(outcome.failed);
        EXPECT_EQ(outcome.reason, row.reason);
        for (std::size_t i = before; i < wire.Sent().size(); ++i) {
            EXPECT_NE(wire.Sent()[i].bytes[1], tftp::kOpWrq) << "no request for a refused file";
        }
    }
}

TEST_F(TransferSessionTest, FetchDeliversTheWholeFileAndTheStatusReadItsText) {
    const std::string eeprom = PatternString(32768, 11);
    wire.storage.files["eeprom.bin"] = agentsim::Bytes(eeprom.begin(), eeprom.end());
    FetchSession fetch(context);
    const Outcome fetched =
        fetch.Run(Transfer{READ_EEPROM_FILE, dir.File("eeprom.bin"), kAgent, {}});
    EXPECT_EQ(fetched.resultCode, kResultSuccess);
    EXPECT_FALSE(fetched.failed);
    EXPECT_EQ(fetched.bytesMoved, 32768);
    EXPECT_EQ(ReadFileBytes(dir.File("eeprom.bin")), eeprom);

    // After a send the agent reports its job; an attempt returns the text it read.
    WriteFileBytes(dir.File("app.bin"), PatternString(600));
    SendSession send(context);
    ASSERT_EQ(send.Run(Transfer{APPLICATION_UPGRADE, dir.File("app.bin"), kAgent, {}}).resultCode,
              kResultSuccess);
    StatusReport status(context);
    Outcome read;
    for (int attempt = 0; attempt < 20; ++attempt) {
        read = status.ReadAttempt();
        if (read.statusResult != StatusReport::kNotFinal) {
            break;
        }
        EXPECT_FALSE(read.statusText.empty());
        EXPECT_FALSE(read.report) << "an intermediate status writes no completion report";
    }
    EXPECT_EQ(read.statusResult, StatusReport::kFinal);
    EXPECT_NE(read.statusText.find("Memory compare Flash/Ram is OK"), std::string::npos)
        << read.statusText;
    EXPECT_TRUE(read.report);
}

TEST_F(TransferSessionTest, FetchThatTheAgentRefusesLeavesTheEarlierFileAndSaysWhy) {
    WriteFileBytes(dir.File("eeprom.bin"), "earlier");
    wire.storage.files.erase("eeprom.bin");
    FetchSession fetch(context);
    const Outcome outcome =
        fetch.Run(Transfer{READ_EEPROM_FILE, dir.File("eeprom.txt"), kAgent, {}});
    EXPECT_EQ(outcome.resultCode, kResultRefused);
    EXPECT_EQ(outcome.reason, "invalid file");
    EXPECT_EQ(ReadFileBytes(dir.File("eeprom.bin")), "earlier");
}

// An agent of a test's own making that answers the client's datagrams as the test says, from
// its transfer port, a millisecond later: for the hostile answers no real agent gives.
class HostileAgentTest : public ::testing::Test {
protected:
    using Answer =
        std::function<std::vector<std::vector<std::uint8_t>>(const fakes::FakeDatagram&)>;

    HostileAgentTest() {
        ping.answer = [this](std::uint32_t, std::uint32_t) {
            clock.Advance(1);
            return true;
        };
        pingService.SetModulePath(ping.Path());
        pingService.SetTarget(net::ToStorageOrder(kAgent));
        socket.Open();
        channel.AimAt({net::ToStorageOrder(kAgent), 69});
        socket.OnSend([this](const fakes::FakeDatagram& sent) {
            if (answer) {
                for (std::vector<std::uint8_t>& reply : answer(sent)) {
                    socket.Deliver({net::ToStorageOrder(kAgent), 40000}, std::move(reply), 1);
                }
            }
        });
    }

    static std::vector<std::uint8_t> Ack(int block) {
        return {0, 4, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)};
    }
    static std::vector<std::uint8_t> Data(int block, const std::string& payload) {
        std::vector<std::uint8_t> packet(4 + payload.size());
        packet[1] = 3;
        packet[2] = static_cast<std::uint8_t>(block >> 8);
        packet[3] = static_cast<std::uint8_t>(block);
        std::copy(payload.begin(), payload.end(), packet.begin() + 4);
        return packet;
    }
    static int Opcode(const fakes::FakeDatagram& d) { return d.bytes.size() > 1 ? d.bytes[1] : 0; }
    static int Block(const fakes::FakeDatagram& d) {
        return d.bytes.size() > 3 ? d.bytes[2] << 8 | d.bytes[3] : -1;
    }
    bool ReplacementLeft() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            if (entry.path().filename().string().starts_with(".kalvoran-")) {
                return true;
            }
        }
        return false;
    }

    TempDir dir;
    fakes::FakeClock clock;
    fakes::ScriptedPing ping;
    fakes::FakeDatagramSocket socket{clock};
    LinkObserver nobody;
    ConsoleReport console{nullptr, nullptr};
    StatusDisplay display{nobody, console};
    TftpChannel channel{socket, clock, display};
    net::CPingService pingService;
    CLocalFile file;
    SessionContext context{channel, pingService, clock, display, file};
    Answer answer;
};

// An agent that never lets a block advance (always ACK 0, an acknowledgement of a block never
// sent, the same older acknowledgement again and again) keeps a send no longer than the misses
// of one block's wait would.
TEST_F(HostileAgentTest, ASendWhoseBlocksNeverAdvanceEndsAsATimeOut) {
    const std::string image = PatternString(5000, 7);
    WriteFileBytes(dir.File("app.bin"), image);
    const struct {
        const char* label;
        std::function<int(int sent)> ack;  // the block acknowledged when DATA sent arrives
        const char* reason;
    } rows[] = {
        {"always ACK 0", [](int) { return 0; }, "Time out on ACK. block: 1"},
        {"a block never sent", [](int sent) { return sent >= 3 ? 60000 : sent; },
         "Time out on ACK. block: 3"},
        {"the same older one", [](int sent) { return sent >= 4 ? 2 : sent; },
         "Time out on ACK. block: 4"},
    };
    SendSession send(context);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        answer = [&row](const fakes::FakeDatagram& sent) {
            if (Opcode(sent) == tftp::kOpWrq) {
                return std::vector<std::vector<std::uint8_t>>{Ack(0)};
            }
            return std::vector<std::vector<std::uint8_t>>{Ack(row.ack(Block(sent)))};
        };
        const std::int64_t start = clock.Milliseconds();
        const std::size_t sentBefore = socket.Sent().size();
        const Outcome outcome =
            send.Run(Transfer{APPLICATION_UPGRADE, dir.File("app.bin"), kAgent, {}});
        EXPECT_EQ(outcome.resultCode, kResultNetworkFailure);
        // An acknowledgement of a block never sent is ignored, so that agent's end is the six
        // misses of the block's wait ("Destination Unreachable" and the time-out).
        EXPECT_NE(outcome.reason.find(row.reason), std::string::npos) << outcome.reason;
        // The six misses of a 2-second wait, the ping before and the late wait after.
        EXPECT_LT(clock.Milliseconds() - start, 20000);
        EXPECT_GE(clock.Milliseconds() - start, 11000);
        EXPECT_LT(socket.Sent().size() - sentBefore, 20000u) << "bounded, not a busy loop";
    }
}

TEST_F(HostileAgentTest, AFetchOfTheSameBlockAgainAndAgainEndsAsATimeOutAndKeepsTheFile) {
    WriteFileBytes(dir.File("eeprom.bin"), "earlier");
    const std::string block(512, 'e');
    answer = [&block](const fakes::FakeDatagram& sent) {
        const int acked = Opcode(sent) == tftp::kOpRrq ? 0 : Block(sent);
        // Blocks 1 to 3, then block 3 for ever.
        return std::vector<std::vector<std::uint8_t>>{Data(std::min(acked + 1, 3), block)};
    };
    FetchSession fetch(context);
    const std::int64_t start = clock.Milliseconds();
    const Outcome outcome =
        fetch.Run(Transfer{READ_EEPROM_FILE, dir.File("eeprom.bin"), kAgent, {}});
    EXPECT_EQ(outcome.resultCode, kResultNetworkFailure);
    EXPECT_EQ(outcome.reason, "Time out on GET. block: 3");
    EXPECT_LT(clock.Milliseconds() - start, 30000);
    EXPECT_EQ(ReadFileBytes(dir.File("eeprom.bin")), "earlier");
    EXPECT_FALSE(ReplacementLeft());
}

TEST_F(HostileAgentTest, AnAnnouncedConfigurationOverOneMebibyteIsRefused) {
    WriteFileBytes(dir.File("site.cfg"), "earlier");
    for (const char* header : {"Len:FFFFFFFF\n", "Len:100001\n"}) {
        SCOPED_TRACE(header);
        answer = [header](const fakes::FakeDatagram& sent) {
            std::string payload = header;
            payload.resize(512, 'c');
            return std::vector<std::vector<std::uint8_t>>{
                Data(Opcode(sent) == tftp::kOpRrq ? 1 : Block(sent) + 1, payload)};
        };
        FetchSession fetch(context);
        const Outcome outcome =
            fetch.Run(Transfer{CREATE_CONFIG_FILE, dir.File("site.cfg"), kAgent, {}});
        EXPECT_EQ(outcome.resultCode, kResultNetworkFailure);
        EXPECT_EQ(outcome.reason, FormatLine("The agent announced %ld bytes (at most 1048576): "
                                             "transfer stopped.",
                                             std::strtol(header + 4, nullptr, 16)));
        EXPECT_EQ(ReadFileBytes(dir.File("site.cfg")), "earlier");
        EXPECT_FALSE(ReplacementLeft());
    }
}

// Junk around every answer an agent gives (datagrams too long for a packet, packets of the
// other direction, requests, three bytes) and answers repeated many times: the transfer still
// ends byte for byte, in time of the same order as a clean one, and what the client sends stays
// proportional to the blocks, not to what the agent sends (no answer may multiply its resends).
TEST_F(HostileAgentTest, JunkAndRepeatedAnswersNeitherStretchNorMultiplyATransfer) {
    const std::string image = PatternString(64 * 512 + 100, 8);
    WriteFileBytes(dir.File("app.bin"), image);
    using Datagrams = std::vector<std::vector<std::uint8_t>>;
    const std::vector<std::uint8_t> oversize(2000, 0xEE);
    const Datagrams junk = {oversize,
                            Data(7, "wrong way"),
                            {0, 1, 'x', 0, 'o', 'c', 't', 0},
                            {0, 2, 'y', 0, 'o', 'c', 't', 0},
                            {0, 4, 0}};
    const struct {
        const char* label;
        int copies;  // each answer sent this many times
        bool withJunk;
    } rows[] = {{"junk before each answer", 1, true},
                {"every answer five times", 5, false},
                {"every answer fifty times, with junk", 50, true}};
    context.lateWait = false;  // the time bound is the transfer's, not the End step's wait
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::vector<std::uint8_t> stored;
        answer = [&](const fakes::FakeDatagram& sent) {
            Datagrams replies;
            if (row.withJunk) {
                replies = junk;
                std::vector<std::uint8_t> longAck = Ack(Block(sent));
                longAck.resize(600, 0);  // the right ACK, but longer than any packet
                replies.push_back(longAck);
            }
            int block = 0;
            if (Opcode(sent) == tftp::kOpData) {
                block = Block(sent);
                const std::size_t at = static_cast<std::size_t>(block - 1) * 512;
                if (stored.size() == at) {
                    stored.insert(stored.end(), sent.bytes.begin() + 4, sent.bytes.end());
                }
            }
            for (int copy = 0; copy < row.copies; ++copy) {
                replies.push_back(Ack(block));
            }
            return replies;
        };
        const std::int64_t start = clock.Milliseconds();
        const std::size_t sentBefore = socket.Sent().size();
        SendSession send(context);
        const Outcome outcome =
            send.Run(Transfer{APPLICATION_UPGRADE, dir.File("app.bin"), kAgent, {}});
        EXPECT_EQ(outcome.resultCode, kResultSuccess) << outcome.reason;
        EXPECT_TRUE(std::string(stored.begin(), stored.end()) == image);
        // 65 DATA and the request: a repeated answer is the echo of a duplicate, never a resend.
        EXPECT_EQ(socket.Sent().size() - sentBefore, 66u);
        EXPECT_LT(clock.Milliseconds() - start, 5000);
    }
}

// The same for a fetch; a packet of the other direction (or a block out of sequence) from the
// agent's transfer port ends it at once as a protocol failure, with the earlier file kept.
TEST_F(HostileAgentTest, JunkAndRepeatedBlocksNeitherStretchNorCorruptAFetch) {
    const std::string eeprom = PatternString(32768, 3);
    const struct {
        const char* label;
        int copies;
        bool withJunk;
        bool wrongWay;  // an ACK from the agent before each block
    } rows[] = {{"junk before each block", 1, true, false},
                {"every block fifty times, with junk", 50, true, false},
                {"a packet of the other direction", 1, false, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        WriteFileBytes(dir.File("eeprom.bin"), "earlier");
        answer = [&](const fakes::FakeDatagram& sent) {
            std::vector<std::vector<std::uint8_t>> replies;
            const int block = Opcode(sent) == tftp::kOpRrq ? 1 : Block(sent) + 1;
            const std::size_t at = static_cast<std::size_t>(block - 1) * 512;
            const std::string payload = at < eeprom.size() ? eeprom.substr(at, 512) : "";
            if (row.withJunk) {
                std::vector<std::uint8_t> longData = Data(block, payload);
                longData.resize(2000, 0xEE);  // the right block, but longer than any packet
                replies = {longData, {0, 3, 0}, {0, 5}};
            }
            if (row.wrongWay) {
                replies.push_back(Ack(block));
            }
            for (int copy = 0; copy < row.copies; ++copy) {
                replies.push_back(Data(block, payload));
            }
            return replies;
        };
        const std::int64_t start = clock.Milliseconds();
        const std::size_t sentBefore = socket.Sent().size();
        FetchSession fetch(context);
        const Outcome outcome =
            fetch.Run(Transfer{READ_EEPROM_FILE, dir.File("eeprom.bin"), kAgent, {}});
        if (row.wrongWay) {
            EXPECT_EQ(outcome.resultCode, kResultNetworkFailure);
            EXPECT_EQ(outcome.reason,
                      "Unexpected packet from the agent (opcode 4): transfer stopped.");
            EXPECT_EQ(ReadFileBytes(dir.File("eeprom.bin")), "earlier");
        } else {
            EXPECT_EQ(outcome.resultCode, kResultSuccess) << outcome.reason;
            EXPECT_TRUE(ReadFileBytes(dir.File("eeprom.bin")) == eeprom);
        }
        EXPECT_FALSE(ReplacementLeft());
        EXPECT_LE(socket.Sent().size() - sentBefore, 2u * 66u);
        EXPECT_LT(clock.Milliseconds() - start, 5000);
    }
}

}  // namespace
}  // namespace kalvoran

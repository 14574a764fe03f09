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
#include <string_view>
#include <utility>
#include <vector>

#include "agent-sim/AgentFaults.h"
#include "agent-sim/AgentFiles.h"
#include "agent-sim/AgentSim.h"
#include "support/AgentOnWire.h"
#include "support/FakeClock.h"
#include "support/FakeDatagramSocket.h"
#include "support/Pattern.h"
#include "support/ScriptedPing.h"
#include "support/TempDir.h"
#include "tftp/ConsoleReport.h"
#include "tftp/FetchSession.h"
#include "tftp/LinkObserver.h"
#include "tftp/Negotiation.h"
#include "tftp/SendSession.h"
#include "tftp/SessionContext.h"
#include "tftp/StatusReport.h"
#include "tftp/TransferTypes.h"

namespace kalvoran {
namespace {

using testing::PatternString;
using testing::ReadFileBytes;
using testing::ReadFileData;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr net::Octets kAgent = {127, 0, 3, 95};

// The status-log lines that name the options.
struct OptionLines final : LinkObserver {
    std::vector<std::string> lines;
    void StatusLine(std::string_view text) override {
        if (text.find("ption") != std::string_view::npos) {
            lines.emplace_back(text);
        }
    }
};

// Everything one transfer needs and nothing of a client, over a simulated socket (made with the
// clock and the arguments given): aimed at the agent as a driver's OpenAgentSocket would leave
// it, every ping answered a second later.
template <typename Socket>
struct SessionRig {
    template <typename... SocketArguments>
    explicit SessionRig(SocketArguments&&... arguments)
        : socket(clock, std::forward<SocketArguments>(arguments)...) {
        ping.answer = [this](std::uint32_t, std::uint32_t) {
            clock.Advance(1);
            return true;
        };
        pingService.SetModulePath(ping.Path());
        pingService.SetTarget(net::ToStorageOrder(kAgent));
        socket.Open();
        channel.AimAt({net::ToStorageOrder(kAgent), 69});
    }
    SessionRig(const SessionRig&) = delete;
    SessionRig& operator=(const SessionRig&) = delete;

    TempDir dir;
    fakes::FakeClock clock;
    fakes::ScriptedPing ping;
    Socket socket;
    OptionLines log;
    ConsoleReport console{nullptr, nullptr};
    StatusDisplay display{log, console};
    TftpChannel channel{socket, clock, display};
    net::CPingService pingService;
    CLocalFile file;
    SessionContext context{channel, pingService, clock, display, file};
};

// The simulated agent's protocol machine behind the socket.
class TransferSessionTest : public ::testing::Test, protected SessionRig<fakes::AgentOnWire> {
protected:
    TransferSessionTest() : SessionRig(net::ToStorageOrder(kAgent)) {}

    std::string Stored(const char* name) {
        const auto bytes = socket.storage.Load(name);
        return bytes.has_value() ? std::string(bytes->begin(), bytes->end()) : std::string();
    }
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
        const std::size_t before = socket.Sent().size();
        const Outcome outcome = send.Run(row.transfer);
        EXPECT_EQ(outcome.resultCode, kResultRefused);
        EXPECT_TRUE(outcome.failed);
        EXPECT_EQ(outcome.reason, row.reason);
        for (std::size_t i = before; i < socket.Sent().size(); ++i) {
            EXPECT_NE(socket.Sent()[i].bytes[1], tftp::kOpWrq) << "no request for a refused file";
        }
    }
}

TEST_F(TransferSessionTest, FetchDeliversTheWholeFileAndTheStatusReadItsText) {
    const std::string eeprom = PatternString(32768, 11);
    socket.storage.files["eeprom.bin"] = agentsim::Bytes(eeprom.begin(), eeprom.end());
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
    socket.storage.files.erase("eeprom.bin");
    FetchSession fetch(context);
    const Outcome outcome =
        fetch.Run(Transfer{READ_EEPROM_FILE, dir.File("eeprom.txt"), kAgent, {}});
    EXPECT_EQ(outcome.resultCode, kResultRefused);
    EXPECT_EQ(outcome.reason, "invalid file");
    EXPECT_EQ(ReadFileBytes(dir.File("eeprom.bin")), "earlier");
}

// An agent of a test's own making that answers the client's datagrams as the test says, from
// its transfer port, a millisecond later: for the hostile answers no real agent gives.
class HostileAgentTest : public ::testing::Test, protected SessionRig<fakes::FakeDatagramSocket> {
protected:
    using Answer =
        std::function<std::vector<std::vector<std::uint8_t>>(const fakes::FakeDatagram&)>;

    HostileAgentTest() {
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
    // An OACK that names each option and then its value.
    static std::vector<std::uint8_t> Oack(const std::vector<std::string>& namesAndValues) {
        std::vector<std::uint8_t> packet{0, tftp::kOpOack};
        for (const std::string& text : namesAndValues) {
            packet.insert(packet.end(), text.begin(), text.end());
            packet.push_back(0);
        }
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

// The sorcerer's apprentice: an older acknowledgement that trails the block's sending by less
// than a few round trips is the echo of a duplicate and sends nothing; one that comes after the
// agent's own time-out sends the block again at once, however often, and is never a miss.
TEST_F(HostileAgentTest, OlderAcknowledgementsAreEchoesOrTheAgentAskingAgain) {
    const int blocks = 40;  // 39 full blocks and a short one
    const std::string image = PatternString(39 * 512 + 77, 5);
    WriteFileBytes(dir.File("app.bin"), image);
    const struct {
        const char* label;
        int window;
        int echoes;        // every acknowledgement delivered this many more times ...
        int echoAfter;     // ... this many milliseconds after it
        int losses;        // DATA 3 lost this many times, the agent asking again 1 s later
        int expectedData;  // DATA packets sent
    } rows[] = {
        {"every ACK twice at once", 1, 1, 0, 0, blocks},
        {"every ACK three times, 100 ms late", 1, 2, 100, 0, blocks},
        {"the agent asks for block 3 six times", 1, 0, 0, 6, blocks + 6},
        {"windows of 4, every ACK twice", 4, 1, 0, 0, blocks},
    };
    context.lateWait = false;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::string stored;
        int lost = 0;
        int inWindow = 0;
        answer = [&](const fakes::FakeDatagram& sent) {
            std::vector<std::vector<std::uint8_t>> now;
            int acked = -1;
            if (Opcode(sent) == tftp::kOpWrq) {
                inWindow = 0;
                acked = 0;
                if (row.window > 1) {
                    now.push_back(Oack({"windowsize", std::to_string(row.window)}));
                    acked = -1;
                }
            } else if (Opcode(sent) == tftp::kOpData) {
                const int block = Block(sent);
                if (block == 3 && lost < row.losses) {
                    ++lost;
                    socket.Deliver({net::ToStorageOrder(kAgent), 40000}, Ack(2), 1000);
                    return now;
                }
                if (stored.size() == static_cast<std::size_t>(block - 1) * 512) {
                    stored.append(sent.bytes.begin() + 4, sent.bytes.end());
                    ++inWindow;
                }
                if (inWindow == row.window || sent.bytes.size() < 516) {
                    inWindow = 0;
                    acked = block;
                }
            }
            if (acked >= 0) {
                now.push_back(Ack(acked));
                for (int echo = 0; echo < row.echoes; ++echo) {
                    socket.Deliver({net::ToStorageOrder(kAgent), 40000}, Ack(acked),
                                   1 + row.echoAfter);
                }
            }
            return now;
        };
        const std::size_t sentBefore = socket.Sent().size();
        SendSession send(context);
        Transfer transfer{APPLICATION_UPGRADE, dir.File("app.bin"), kAgent, {}};
        transfer.options.asked.windowsize = row.window > 1 ? row.window : 0;
        const Outcome outcome = send.Run(transfer);
        EXPECT_EQ(outcome.resultCode, kResultSuccess) << outcome.reason;
        EXPECT_TRUE(stored == image);
        int data = 0;
        for (std::size_t i = sentBefore; i < socket.Sent().size(); ++i) {
            data += Opcode(socket.Sent()[i]) == tftp::kOpData ? 1 : 0;
        }
        EXPECT_EQ(data, row.expectedData);
    }
}

// A fetch with options: the OACK acknowledged with ACK 0, windows acknowledged when full, a gap
// acknowledged once at the last block in sequence, and a transfer size beyond the file's limit
// refused before any block.
TEST_F(HostileAgentTest, AFetchWithOptionsTakesWindowsAndRefusesATooLargeSize) {
    const std::string eeprom = PatternString(32768, 4);
    const struct {
        const char* label;
        std::int64_t tsize;
        int dropOnce;  // DATA of this number is lost the first time
        int code;
        std::vector<int> acks;  // the blocks acknowledged, in order
    } rows[] = {
        {"whole windows", 32768, 0, kResultSuccess, {0, 8, 16, 24, 32, 33}},
        {"a gap in the second window", 32768, 12, kResultSuccess, {0, 8, 11, 19, 27, 33}},
        {"a size beyond the limit", 32769, 0, kResultNetworkFailure, {}},
    };
    context.lateWait = false;
    constexpr int kBlock = 1024;
    constexpr int kWindow = 8;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        bool dropped = false;
        const auto data = [&](int block) {
            const std::size_t at = static_cast<std::size_t>(block - 1) * kBlock;
            return Data(block,
                        eeprom.substr(at, std::min<std::size_t>(kBlock, eeprom.size() - at)));
        };
        answer = [&](const fakes::FakeDatagram& sent) {
            std::vector<std::vector<std::uint8_t>> replies;
            int from = 0;
            if (Opcode(sent) == tftp::kOpRrq) {
                replies.push_back(
                    Oack({"blksize", std::to_string(kBlock), "windowsize", std::to_string(kWindow),
                          "tsize", std::to_string(row.tsize)}));
            } else if (Opcode(sent) == tftp::kOpAck) {
                from = Block(sent) + 1;
            }
            const int blocks = static_cast<int>(eeprom.size()) / kBlock + 1;
            for (int block = from; from > 0 && block < from + kWindow && block <= blocks; ++block) {
                if (block == row.dropOnce && !dropped) {
                    dropped = true;
                    continue;
                }
                replies.push_back(data(block));
            }
            return replies;
        };
        WriteFileBytes(dir.File("eeprom.bin"), "earlier");
        const std::size_t sentBefore = socket.Sent().size();
        FetchSession fetch(context);
        Transfer transfer{READ_EEPROM_FILE, dir.File("eeprom.bin"), kAgent, {}};
        transfer.options.asked = {kBlock, kWindow};
        const Outcome outcome = fetch.Run(transfer);
        EXPECT_EQ(outcome.resultCode, row.code) << outcome.reason;
        std::vector<int> acks;
        int refusals = 0;
        for (std::size_t i = sentBefore; i < socket.Sent().size(); ++i) {
            if (Opcode(socket.Sent()[i]) == tftp::kOpAck) {
                acks.push_back(Block(socket.Sent()[i]));
            }
            refusals += Opcode(socket.Sent()[i]) == tftp::kOpError ? 1 : 0;
        }
        EXPECT_EQ(acks, row.acks);
        if (row.code == kResultSuccess) {
            EXPECT_EQ(ReadFileBytes(dir.File("eeprom.bin")), eeprom);
        } else {
            EXPECT_EQ(outcome.reason,
                      "The agent announced 32769 bytes (at most 32768): transfer stopped.");
            EXPECT_EQ(ReadFileBytes(dir.File("eeprom.bin")), "earlier");
            EXPECT_EQ(refusals, 1);
        }
    }
}

// Every fallback against the simulated agent: the bytes it stored, the DATA it took, and the one
// status-log line each case writes. A send, then a fetch of the agent's EEPROM image. (Repeated
// and older acknowledgements without options are counted exactly by the hostile agent above.)
TEST(OptionsAgainstTheAgent, EveryFallbackDeliversTheFileAndSaysHowInOneLine) {
    const std::string image = PatternString(100'000, 11);
    const int plainBlocks = 100'000 / 512 + 1;
    const std::string tsize = "tsize 100000";
    const std::string again = "): asking again without options";
    const struct {
        const char* label;
        const char* fault;  // "" for none
        tftp::AskedOptions asked;
        std::string line;  // "" for none
        int blksize;       // agreed, as the agent saw it
        int dataAtMost;    // DATA the agent took for the send
    } rows[] = {
        {"agreed",
         "",
         {1468, 16},
         "Options agreed: blksize 1468, windowsize 16, " + tsize,
         1468,
         69},
        {"plain, nothing asked", "", {}, "", 512, plainBlocks},
        {"ignored", "ignore-options", {1468, 16}, kOptionsIgnoredText, 512, plainBlocks},
        {"refused",
         "options-error",
         {1468, 0},
         "The agent refused the options (error code 8: Option negotiation failed" + again,
         512,
         plainBlocks},
        {"a larger block",
         "oack-larger-blksize",
         {1468, 0},
         "Option answer refused (blksize 1469 out of range" + again,
         512,
         plainBlocks},
        {"an unrequested option",
         "oack-unrequested",
         {1468, 0},
         "Option answer refused (an option that was not asked for" + again,
         512,
         plainBlocks},
        {"malformed",
         "oack-malformed",
         {1468, 0},
         "Option answer refused (malformed option list" + again,
         512,
         plainBlocks},
        {"a block lost inside a window",
         "drop-in-window:5",
         {1468, 16},
         "Options agreed: blksize 1468, windowsize 16, " + tsize,
         1468,
         69 + 16},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        agentsim::Settings settings;
        if (*row.fault != '\0') {
            settings.faults.push_back(*agentsim::ParseFault(row.fault));
        }
        std::vector<agentsim::TransferRecord> ends;
        settings.transferEnded = [&ends](const agentsim::TransferRecord& end) {
            ends.push_back(end);
        };
        SessionRig<fakes::AgentOnWire> rig(net::ToStorageOrder(kAgent), std::move(settings));
        fakes::AgentOnWire& wire = rig.socket;
        SessionContext& context = rig.context;
        context.lateWait = false;

        WriteFileBytes(rig.dir.File("app.bin"), image);
        Transfer send{APPLICATION_UPGRADE, rig.dir.File("app.bin"), kAgent, {}};
        send.options.asked = row.asked;
        const Outcome sent = SendSession(context).Run(send);
        EXPECT_EQ(sent.resultCode, kResultSuccess) << sent.reason;
        rig.clock.Advance(10'000);  // the agent ends its side of the transfer
        (void)wire.WaitReadable(0);
        const auto stored = wire.storage.Load("image.bin");
        ASSERT_TRUE(stored.has_value());
        EXPECT_TRUE(std::string(stored->begin(), stored->end()) == image);
        ASSERT_FALSE(ends.empty());
        EXPECT_EQ(ends.back().blksize, row.blksize);
        EXPECT_LE(ends.back().dataPackets, row.dataAtMost);
        EXPECT_GE(ends.back().dataPackets, (100'000 / row.blksize) + 1);
        const std::vector<std::string> expected =
            row.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.line};
        EXPECT_EQ(rig.log.lines, expected);

        Transfer fetch{READ_EEPROM_FILE, rig.dir.File("eeprom.bin"), kAgent, {}};
        fetch.options.asked = row.asked;
        rig.log.lines.clear();
        const Outcome fetched = FetchSession(context).Run(fetch);
        EXPECT_EQ(fetched.resultCode, kResultSuccess) << fetched.reason;
        EXPECT_EQ(ReadFileData(rig.dir.File("eeprom.bin")), agentsim::EepromImage());
        EXPECT_EQ(rig.log.lines.size(), expected.size());
    }
}

}  // namespace
}  // namespace kalvoran

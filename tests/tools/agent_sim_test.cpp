// The agent machine in simulated time: transfers, the files it serves and keeps, and what it
// does with requests it cannot take.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>

#include <unistd.h>

#include "SimWire.h"

namespace kalvoran::agentsim::testing {
namespace {

constexpr std::array<std::string_view, 7> kFinalPhrases = {"Memory compare Flash/Ram is OK",
                                                           "Memory compare Flash/Ram is in error",
                                                           "Unable to create thread",
                                                           "Unable to allocate thread stack",
                                                           "Config done",
                                                           "Config failed",
                                                           "Config file done"};

bool HoldsFinalPhrase(const std::string& text) {
    for (const std::string_view phrase : kFinalPhrases) {
        if (text.find(phrase) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class BoundarySizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BoundarySizes, WrittenFileIsStoredByteForByteAndReadBackTheSame) {
    SimWire wire;
    const Bytes content = PatternBytes(GetParam());
    ASSERT_TRUE(wire.Put("image.bin", content));
    ASSERT_EQ(wire.storage.files.count("image.bin"), 1u);
    EXPECT_TRUE(wire.storage.files["image.bin"] == content);
    EXPECT_EQ(wire.agent.LastReceived(), "image.bin");

    const auto back = wire.Get("image.bin");
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(*back == content);
    // The read ends with the final ACK; the write's socket closes once its linger is over.
    wire.Advance(60000);
    EXPECT_TRUE(wire.open.empty());
    EXPECT_EQ(wire.agent.ActiveTransfers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BoundarySizes,
                         ::testing::Values(0, 1, 511, 512, 513, 1024, std::size_t{1} << 20));

TEST(AgentSim, BlockNumbersWrapAfter65535) {
    SimWire wire;
    const Bytes content = PatternBytes(65537 * 512 + 7);
    ASSERT_TRUE(wire.Put("rom.bin", content));
    EXPECT_TRUE(wire.storage.files["rom.bin"] == content);
}

TEST(AgentSim, EepromIs64FullBlocksAndAnEmptyBlock65) {
    SimWire wire;
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    Bytes content;
    for (int block = 1; block <= 65; ++block) {
        auto sent = wire.Next();
        ASSERT_TRUE(sent.has_value());
        ASSERT_EQ(sent->Block(), block);
        EXPECT_EQ(sent->bytes.size(), block <= 64 ? 516u : 4u);
        content.insert(content.end(), sent->bytes.begin() + 4, sent->bytes.end());
        wire.ToAgent(sent->socket, Ack(block));
    }
    EXPECT_FALSE(wire.Next().has_value());
    EXPECT_TRUE(content == EepromImage());
    EXPECT_TRUE(wire.open.empty());
    std::set<std::string> blocks;
    for (std::size_t at = 0; at < content.size(); at += 512) {
        blocks.emplace(content.begin() + static_cast<long>(at),
                       content.begin() + static_cast<long>(at) + 512);
    }
    EXPECT_EQ(blocks.size(), 64u);

    // An eeprom.bin in the agent's storage is served instead.
    wire.storage.files["eeprom.bin"] = PatternBytes(1000);
    EXPECT_TRUE(wire.Get("eeprom.bin") == PatternBytes(1000));
}

struct StatusCase {
    const char* sent;
    const char* finalPhrase;
};

void PrintTo(const StatusCase& c, std::ostream* out) {
    *out << c.sent;
}

class StatusAfter : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusAfter, IntermediateTextsThenTheFinalPhraseOfTheLastFile) {
    SimWire wire;
    ASSERT_TRUE(wire.Put("config.cfg", PatternBytes(100)));  // an earlier file must not count
    ASSERT_TRUE(wire.Get("status.bin").has_value());
    ASSERT_TRUE(wire.Put(GetParam().sent, PatternBytes(700)));
    for (int step = 1; step <= 2; ++step) {
        const std::string text = Text(wire.Get("status.bin").value());
        EXPECT_FALSE(HoldsFinalPhrase(text)) << text;
        EXPECT_NE(text.find("step " + std::to_string(step) + " of 2"), std::string::npos) << text;
        EXPECT_LE(text.size(), 128u);
    }
    for (int again = 0; again < 2; ++again) {
        const std::string text = Text(wire.Get("status.bin").value());
        EXPECT_NE(text.find(GetParam().finalPhrase), std::string::npos) << text;
        EXPECT_EQ(text.find("Config file done") != std::string::npos,
                  std::string_view(GetParam().finalPhrase) == "Config file done");
    }
}

INSTANTIATE_TEST_SUITE_P(Files, StatusAfter,
                         ::testing::Values(StatusCase{"image.bin",
                                                      "Memory compare Flash/Ram is OK"},
                                           StatusCase{"rom.bin", "Memory compare Flash/Ram is OK"},
                                           StatusCase{"config.cfg", "Config done"},
                                           StatusCase{"request.cfg", "Config file done"},
                                           StatusCase{"command.cmd", "Config done"},
                                           StatusCase{"logo.gif", "Config done"}),
                         [](const ::testing::TestParamInfo<StatusCase>& param) {
                             std::string name = param.param.sent;
                             name[name.find('.')] = '_';
                             return name;
                         });

TEST(AgentSim, StatusStepsAndFinalTextAreSettings) {
    Settings settings;
    settings.statusSteps = 0;
    settings.statusFinal = "Memory compare Flash/Ram is in error";
    SimWire wire(settings);
    EXPECT_EQ(Text(wire.Get("status.bin").value()), "Agent ready");  // nothing received yet
    ASSERT_TRUE(wire.Put("image.bin", PatternBytes(10)));
    EXPECT_EQ(Text(wire.Get("status.bin").value()), "Memory compare Flash/Ram is in error");
}

TEST(AgentSim, ConfigAfterRequestCarriesItsLengthInHex) {
    SimWire wire;
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "config.cfg"));
    EXPECT_EQ(wire.Next()->Opcode(), tftp::kOpError);  // nothing to serve before a request

    ASSERT_TRUE(wire.Put("request.cfg", PatternBytes(300, 7)));
    const Bytes config = wire.Get("config.cfg").value();
    const std::string text = Text(config);
    ASSERT_EQ(text.rfind("Len:", 0), 0u);
    EXPECT_EQ(std::stoul(text.substr(4), nullptr, 16), config.size());
    EXPECT_GE(config.size(), 2048u);
    EXPECT_LE(config.size(), 4096u);
    EXPECT_TRUE(config == GenerateConfig(PatternBytes(300, 7)));
    EXPECT_FALSE(config == GenerateConfig(PatternBytes(300, 8)));

    // A configuration written afterwards is the one served.
    ASSERT_TRUE(wire.Put("config.cfg", PatternBytes(900)));
    EXPECT_TRUE(wire.Get("config.cfg") == PatternBytes(900));
}

TEST(AgentSim, RefusalsComeFromANewPortWithTheirErrorCode) {
    struct Case {
        Bytes request;
        int code;
    };
    const std::vector<Case> cases = {
        {Request(tftp::kOpRrq, "missing.bin"), 1},
        {Request(tftp::kOpWrq, "other.bin"), 2},
        {Request(tftp::kOpWrq, "IMAGE.BIN"), 2},
        {Request(tftp::kOpWrq, "../logo.gif"), 2},
        {Request(tftp::kOpRrq, "eeprom.bin", "mail"), 4},
        {Request(tftp::kOpWrq, "image.bin", "binary"), 4},
        {Request(tftp::kOpWrq, "image.bin", "octet", Pairs("tsize 99999999")), 3},
    };
    for (const Case& c : cases) {
        SimWire wire;
        wire.ToAgent(kListenSocket, c.request);
        const auto reply = wire.Next();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->Opcode(), tftp::kOpError);
        EXPECT_EQ(tftp::ErrorCodeOf(reply->bytes), c.code);
        EXPECT_EQ(tftp::ErrorTextOf(reply->bytes), tftp::ErrorMessage(c.code));
        EXPECT_NE(reply->socket, kListenSocket);
        EXPECT_TRUE(wire.open.empty());
        EXPECT_EQ(wire.agent.ActiveTransfers(), 0u);
    }
}

TEST(AgentSim, MalformedRequestsAreRefusedWithoutStartingATransfer) {
    const std::string tooLong(600, 'a');
    const std::vector<Bytes> malformed = {
        {},
        {0},
        {0, 1, 'x'},
        {0, 1, 'e', 'e', 0, 'o', 'c', 't', 'e', 't'},  // mode without its zero
        {0, 2, 'i', 'm', 'a', 'g', 'e'},               // name without its zero
        {0, 2, 0, 'o', 'c', 't', 'e', 't', 0},         // empty name
        {1, 1, 'a', 0, 'o', 'c', 't', 'e', 't', 0},    // opcode high byte set
        Request(tftp::kOpRrq, "eeprom.bin", "octet", std::string_view("x", 1)),
        Request(tftp::kOpRrq, "eeprom.bin", "octet", std::string_view("tsize\0", 6)),
        Request(tftp::kOpRrq, tooLong),
        Ack(0),
        Data(1, PatternBytes(10)),
    };
    for (const Bytes& datagram : malformed) {
        SimWire wire;
        wire.ToAgent(kListenSocket, datagram);
        const auto reply = wire.Next();
        ASSERT_TRUE(reply.has_value()) << datagram.size();
        EXPECT_EQ(reply->Opcode(), tftp::kOpError);
        EXPECT_EQ(tftp::ErrorCodeOf(reply->bytes), 4);
        EXPECT_EQ(wire.agent.ActiveTransfers(), 0u);
        EXPECT_TRUE(wire.open.empty());
    }
    SimWire wire;
    wire.ToAgent(kListenSocket, ErrorPacket(0, "go away"));
    EXPECT_TRUE(wire.inbox.empty()) << "an ERROR is never answered";
}

Settings Recording(std::vector<TransferRecord>& records) {
    Settings settings;
    settings.transferEnded = [&records](const TransferRecord& record) {
        records.push_back(record);
    };
    return settings;
}

TEST(AgentSim, KnownOptionsAreAnsweredWithinTheLimitsAndModesAreCaseInsensitive) {
    struct Case {
        int opcode;
        std::string options;
        std::string oack;  // empty: a plain transfer
        int maxBlksize = tftp::kMaxBlksize;
        int maxWindowsize = tftp::kMaxWindowsize;
    };
    const std::vector<Case> cases = {
        {tftp::kOpRrq, Pairs("blksize 1428 tsize 0"), Pairs("blksize 1428 tsize 32768")},
        {tftp::kOpWrq, Pairs("BlkSize 70000 WINDOWSIZE 100 tsize 9"),
         Pairs("blksize 65464 windowsize 64 tsize 9")},
        {tftp::kOpRrq, Pairs("windowsize 16 blksize 1428"), Pairs("blksize 1024 windowsize 8"),
         1024, 8},
        {tftp::kOpWrq, Pairs("timeout 5 blksize 100 blksize 200"), Pairs("blksize 100")},
        {tftp::kOpRrq, Pairs("timeout 5"), ""},
        {tftp::kOpWrq, Pairs("blksize 7 windowsize 0 tsize x"), ""},
    };
    for (const Case& c : cases) {
        Settings settings;
        settings.maxBlksize = c.maxBlksize;
        settings.maxWindowsize = c.maxWindowsize;
        SimWire wire(settings);
        const bool reading = c.opcode == tftp::kOpRrq;
        wire.ToAgent(kListenSocket,
                     Request(c.opcode, reading ? "eeprom.bin" : "image.bin", "OCTET", c.options));
        const Sent reply = wire.Next().value();
        if (!c.oack.empty()) {
            EXPECT_EQ(reply.bytes, Oack(c.oack)) << c.options;
        } else if (reading) {
            EXPECT_EQ(reply.bytes.size(), 516u);  // DATA 1 of 512 bytes
        } else {
            EXPECT_EQ(reply.bytes, Ack(0)) << c.options;
        }
    }

    SimWire netascii;
    netascii.storage.files["notes.txt"] = PatternBytes(600);
    netascii.ToAgent(kListenSocket, Request(tftp::kOpRrq, "notes.txt", "netascii"));
    EXPECT_EQ(netascii.Next()->bytes.size(), 516u);  // raw bytes, 512 per block
}

TEST(AgentSim, WindowedReadGoesOnAfterTheBlockAcknowledgedAndResendsTheWindowAfterATimeOut) {
    std::vector<TransferRecord> records;
    SimWire wire(Recording(records));
    const Bytes content = PatternBytes(1050);
    wire.storage.files["logo.gif"] = content;
    const std::string options = Pairs("blksize 100 windowsize 4");
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "logo.gif", "octet", options));
    const Sent oack = wire.Next().value();
    EXPECT_EQ(oack.bytes, Oack(options));
    wire.Advance(1000);
    EXPECT_EQ(wire.Next()->bytes, oack.bytes);  // no DATA before ACK 0, the OACK again
    wire.ToAgent(oack.socket, Ack(0));
    EXPECT_EQ(BlocksIn(wire.inbox), (std::vector<int>{1, 2, 3, 4}));
    wire.ToAgent(oack.socket, Ack(2));  // the client saw a gap after block 2
    EXPECT_EQ(BlocksIn(wire.inbox), (std::vector<int>{3, 4, 5, 6}));
    wire.ToAgent(oack.socket, Ack(1));  // old: ignored
    wire.Advance(1000);
    EXPECT_EQ(BlocksIn(wire.inbox), (std::vector<int>{3, 4, 5, 6}));
    wire.ToAgent(oack.socket, Ack(6));
    wire.ToAgent(oack.socket, Ack(10));
    ASSERT_EQ(wire.inbox.size(), 5u);
    EXPECT_TRUE(wire.inbox.back().Payload() == Bytes(content.begin() + 1000, content.end()));
    EXPECT_EQ(BlocksIn(wire.inbox), (std::vector<int>{7, 8, 9, 10, 11}));
    wire.ToAgent(oack.socket, Ack(11));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].options, "blksize=100 windowsize=4");
    EXPECT_EQ(records[0].dataPackets, 17);
    EXPECT_EQ(records[0].bytes, 1050u);
    EXPECT_EQ(records[0].end, "sent 1050 bytes");
}

TEST(AgentSim, WindowedWriteAcknowledgesEachWindowAGapOnceAndARepeatedBlock) {
    std::vector<TransferRecord> records;
    SimWire wire(Recording(records));
    const Bytes content = PatternBytes(950);
    const std::string options = Pairs("blksize 100 windowsize 3 tsize 950");
    wire.ToAgent(kListenSocket, Request(tftp::kOpWrq, "logo.gif", "octet", options));
    const Sent oack = wire.Next().value();
    EXPECT_EQ(oack.bytes, Oack(options));
    wire.Advance(1000);
    EXPECT_EQ(wire.Next()->bytes, oack.bytes);  // until DATA 1 comes

    struct Step {
        std::vector<int> blocks;  // sent by the client
        Millis wait;              // then this much time passes
        std::vector<Bytes> answers;
    };
    const std::vector<Step> steps = {
        {{1, 2}, 0, {}},
        {{3}, 0, {Ack(3)}},
        {{4}, 1000, {Ack(4)}},     // the rest of the window lost: the time-out ACKs block 4
        {{5, 7, 8}, 0, {Ack(5)}},  // 6 lost: ACK 5 once, 7 and 8 dropped
        {{4}, 0, {Ack(5)}},        // an acknowledged block again: the last ACK again
        {{6, 7, 8}, 0, {Ack(8)}},
        {{9, 10}, 0, {Ack(10)}},  // block 10 is short: the end, before the window is full
    };
    for (const Step& step : steps) {
        for (const int block : step.blocks) {
            const std::size_t offset = static_cast<std::size_t>(block - 1) * 100;
            wire.ToAgent(oack.socket,
                         Data(block, std::span(content).subspan(
                                         offset, std::min<std::size_t>(100, 950 - offset))));
        }
        wire.Advance(step.wait);
        std::vector<Bytes> answers;
        while (auto sent = wire.Next()) {
            answers.push_back(sent->bytes);
        }
        EXPECT_EQ(answers, step.answers) << "after block " << step.blocks.front();
    }
    EXPECT_TRUE(wire.storage.files["logo.gif"] == content);
    wire.Advance(60000);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].dataPackets, 13);
    EXPECT_EQ(records[0].tsize, 950);
}

TEST(AgentSim, LastPacketIsSentAgainAfterEachTimeOutThenTheTransferIsDropped) {
    Settings settings;
    settings.retransmitMs = 1000;
    settings.retransmits = 3;
    SimWire wire(settings);
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    const Sent first = wire.Next().value();
    wire.Advance(999);
    EXPECT_TRUE(wire.inbox.empty());
    for (int resend = 1; resend <= 3; ++resend) {
        wire.Advance(1);
        const auto again = wire.Next();
        ASSERT_TRUE(again.has_value()) << resend;
        EXPECT_EQ(again->bytes, first.bytes);
        EXPECT_EQ(again->socket, first.socket);
        wire.Advance(999);
    }
    wire.Advance(1);
    EXPECT_TRUE(wire.inbox.empty());
    EXPECT_TRUE(wire.open.empty());

    // A write waiting for DATA sends its ACK again.
    wire.ToAgent(kListenSocket, Request(tftp::kOpWrq, "config.cfg"));
    EXPECT_EQ(wire.Next()->bytes, Ack(0));
    wire.Advance(1000);
    EXPECT_EQ(wire.Next()->bytes, Ack(0));
}

TEST(AgentSim, RepeatsFromTheClientAreAnsweredWithoutNewTransfers) {
    SimWire wire;
    // A repeated request before any progress: the same transfer answers again.
    wire.ToAgent(kListenSocket, Request(tftp::kOpWrq, "command.cmd"));
    const SocketId transfer = wire.Next()->socket;
    wire.ToAgent(kListenSocket, Request(tftp::kOpWrq, "command.cmd"));
    const Sent again = wire.Next().value();
    EXPECT_EQ(again.socket, transfer);
    EXPECT_EQ(again.bytes, Ack(0));
    EXPECT_EQ(wire.open.size(), 1u);

    // A repeated DATA block is acknowledged again; the file holds it once.
    const Bytes block1 = PatternBytes(512);
    wire.ToAgent(transfer, Data(1, block1));
    wire.ToAgent(transfer, Data(1, block1));
    EXPECT_EQ(wire.Next()->bytes, Ack(1));
    EXPECT_EQ(wire.Next()->bytes, Ack(1));
    wire.ToAgent(transfer, Data(2, PatternBytes(3)));
    EXPECT_EQ(wire.Next()->bytes, Ack(2));
    EXPECT_EQ(wire.storage.files["command.cmd"].size(), 515u);
    // The last block repeated after our final ACK got lost: acknowledged again.
    wire.ToAgent(transfer, Data(2, PatternBytes(3)));
    EXPECT_EQ(wire.Next()->bytes, Ack(2));

    // On a read, a repeated ACK does not send the next block twice.
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    const SocketId read = wire.Next()->socket;
    wire.ToAgent(read, Ack(1));
    wire.ToAgent(read, Ack(1));
    EXPECT_EQ(wire.Next()->Block(), 2);
    EXPECT_TRUE(wire.inbox.empty());
}

TEST(AgentSim, ForeignPortGetsUnknownTransferIdAndTheTransferGoesOn) {
    SimWire wire;
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    const SocketId transfer = wire.Next()->socket;
    const Peer stranger{0x7F000001, 50001};
    wire.ToAgentFrom(transfer, stranger, Ack(1));
    const Sent error = wire.Next().value();
    EXPECT_EQ(error.to, stranger);
    EXPECT_EQ(tftp::ErrorCodeOf(error.bytes), 5);
    wire.ToAgent(transfer, Ack(1));
    EXPECT_EQ(wire.Next()->Block(), 2);
}

TEST(AgentSim, ClientErrorOrIllegalPacketEndsTheTransfer) {
    SimWire wire;
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    SocketId transfer = wire.Next()->socket;
    wire.ToAgent(transfer, ErrorPacket(0, "stop"));
    EXPECT_TRUE(wire.inbox.empty());
    EXPECT_TRUE(wire.open.empty());

    wire.ToAgent(kListenSocket, Request(tftp::kOpWrq, "image.bin"));
    transfer = wire.Next()->socket;
    wire.ToAgent(transfer, Bytes{0, 3, 0});  // too short to be a packet: ignored
    EXPECT_TRUE(wire.inbox.empty());
    Bytes oversize = Data(1, PatternBytes(600));
    wire.ToAgent(transfer, oversize);
    EXPECT_EQ(tftp::ErrorCodeOf(wire.Next()->bytes), 4);
    EXPECT_TRUE(wire.open.empty());
    EXPECT_EQ(wire.storage.files.count("image.bin"), 0u);
}

TEST(AgentSim, LimitsOnFileSizeAndTransfers) {
    Settings settings;
    settings.largestFile = 1000;
    settings.maxTransfers = 1;
    SimWire wire(settings);
    EXPECT_FALSE(wire.Put("image.bin", PatternBytes(1100)));
    EXPECT_EQ(wire.storage.files.count("image.bin"), 0u);
    wire.inbox.clear();

    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    wire.Next();
    wire.ToAgentFrom(kListenSocket, Peer{0x7F000002, 4000}, Request(tftp::kOpRrq, "eeprom.bin"));
    EXPECT_EQ(tftp::ErrorCodeOf(wire.Next()->bytes), 0);
}

// One datagram of a scripted client, sent at its own time whatever the agent has answered.
struct Step {
    Millis at = 0;
    int client = 0;           // which of two client ports sends it
    bool toTransfer = false;  // to the socket the agent last sent from to that client
    Bytes bytes;
};

struct LatencyCase {
    const char* name;
    std::vector<const char*> faults;
    std::vector<Step> script;
};

void PrintTo(const LatencyCase& c, std::ostream* out) {
    *out << c.name;
}

// Plays the script and returns everything the agent sent, once it has settled. A step to the
// transfer socket goes to targets[i] when targets is filled; otherwise the socket is found from
// what the agent sent so far and kept in targets, so that a second run aims at the same sockets
// even where its answers have not arrived yet.
std::vector<Sent> Play(const Settings& settings, const std::vector<Step>& script,
                       std::vector<SocketId>& targets) {
    const bool resolve = targets.empty();
    const Peer clients[2] = {Peer{0x7F000001, 50000}, Peer{0x7F000001, 50001}};
    SimWire wire(settings);
    std::vector<Sent> sent;
    for (std::size_t i = 0; i < script.size(); ++i) {
        const Step& step = script[i];
        wire.Advance(step.at - wire.now);
        while (auto next = wire.Next()) {
            sent.push_back(std::move(*next));
        }
        const Peer& from = clients[step.client];
        SocketId socket = kListenSocket;
        if (step.toTransfer) {
            if (resolve) {
                const auto last = std::find_if(sent.rbegin(), sent.rend(),
                                               [&from](const Sent& s) { return s.to == from; });
                EXPECT_NE(last, sent.rend()) << "step " << i << " has no socket to go to";
                targets.push_back(last == sent.rend() ? kListenSocket : last->socket);
            }
            socket = targets.at(static_cast<std::size_t>(
                std::count_if(script.begin(), script.begin() + static_cast<long>(i),
                              [](const Step& earlier) { return earlier.toTransfer; })));
        }
        wire.ToAgentFrom(socket, from, step.bytes);
    }
    wire.Advance(120000);
    while (auto next = wire.Next()) {
        sent.push_back(std::move(*next));
    }
    EXPECT_TRUE(wire.open.empty()) << "sockets left open";
    EXPECT_EQ(wire.agent.ActiveTransfers(), 0u);
    return sent;
}

std::vector<LatencyCase> LatencyCases() {
    std::vector<LatencyCase> cases;

    LatencyCase read{"read", {}, {{0, 0, false, Request(tftp::kOpRrq, "eeprom.bin")}}};
    for (int block = 1; block <= 65; ++block) {
        read.script.push_back({10 * block, 0, true, Ack(block)});
    }
    cases.push_back(std::move(read));

    cases.push_back({"write",
                     {},
                     {{0, 0, false, Request(tftp::kOpWrq, "image.bin")},
                      {10, 0, true, Data(1, PatternBytes(512))},
                      {20, 0, true, Data(1, PatternBytes(512))},  // repeated: ACK 1 again
                      {30, 0, true, Data(2, PatternBytes(3))},
                      {40, 0, true, Data(2, PatternBytes(3))}}});  // after the end: ACK 2 again

    cases.push_back({"refusals",
                     {"error:rom.bin:2:Flash locked"},
                     {{0, 0, false, Request(tftp::kOpRrq, "missing.bin")},
                      {10, 0, false, Request(tftp::kOpWrq, "other.bin")},
                      {20, 0, false, Request(tftp::kOpWrq, "rom.bin")},
                      {30, 0, false, Bytes{0, 1, 'x'}}}});

    // The ERROR goes out before the socket it comes from is closed.
    cases.push_back({"ends",
                     {},
                     {{0, 0, false, Request(tftp::kOpRrq, "eeprom.bin")},
                      {10, 0, true, ErrorPacket(0, "stop")},
                      {20, 1, false, Request(tftp::kOpRrq, "eeprom.bin")},
                      {30, 1, true, Data(1, PatternBytes(10))},
                      {40, 0, false, Request(tftp::kOpRrq, "eeprom.bin")},
                      {50, 1, true, Ack(1)}}});  // a foreign port: ERROR 5, the transfer goes on

    cases.push_back({"silent clients",
                     {},
                     {{0, 0, false, Request(tftp::kOpRrq, "eeprom.bin")},
                      {500, 1, false, Request(tftp::kOpWrq, "config.cfg")}}});

    cases.push_back({"faults",
                     {"delay:2:300", "duplicate:3", "wrong-port:4", "drop:5", "short:6"},
                     {{0, 0, false, Request(tftp::kOpRrq, "eeprom.bin")},
                      {10, 0, true, Ack(1)},
                      {400, 0, true, Ack(2)},
                      {410, 0, true, Ack(3)},
                      {420, 0, true, Ack(4)},  // to the wrong port: ERROR 5
                      {1500, 0, true, Ack(4)},
                      {2600, 0, true, Ack(5)},
                      {2610, 0, true, Ack(6)}}});

    // A window: several packets in flight, one of them held by the delay fault.
    cases.push_back(
        {"window",
         {"delay:2:300", "drop-in-window:3"},
         {{0, 0, false,
           Request(tftp::kOpRrq, "eeprom.bin", "octet", Pairs("blksize 1024 windowsize 4"))},
          {10, 0, true, Ack(0)},
          {400, 0, true, Ack(2)},
          {410, 0, true, Ack(6)}}});
    LatencyCase both{"two transfers at once",
                     {},
                     {{0, 0, false, Request(tftp::kOpRrq, "eeprom.bin")},
                      {5, 1, false, Request(tftp::kOpWrq, "logo.gif")}}};
    for (int block = 1; block <= 4; ++block) {
        both.script.push_back({10 * block, 0, true, Ack(block)});
        both.script.push_back({10 * block + 5, 1, true, Data(block, PatternBytes(512, block))});
    }
    both.script.push_back({60, 1, true, Data(5, PatternBytes(100))});
    cases.push_back(std::move(both));
    return cases;
}

class Latency : public ::testing::TestWithParam<LatencyCase> {};

// The client's datagrams reach the agent at the same times with and without a latency, so the
// agent does the same things: every packet, resends included, goes out the latency later, the
// same bytes from the same socket to the same peer, while its time-outs run as before.
TEST_P(Latency, EveryPacketGoesOutThatMuchLaterThanWithout) {
    Settings settings;
    for (const char* spec : GetParam().faults) {
        settings.faults.push_back(ParseFault(spec).value());
    }
    std::vector<SocketId> targets;
    const std::vector<Sent> direct = Play(settings, GetParam().script, targets);
    ASSERT_FALSE(direct.empty());
    for (const Millis latency : {Millis{1}, Millis{250}, Millis{2500}}) {
        SCOPED_TRACE("latency " + std::to_string(latency));
        settings.latencyMs = latency;
        const std::vector<Sent> late = Play(settings, GetParam().script, targets);
        ASSERT_EQ(late.size(), direct.size());
        for (std::size_t i = 0; i < late.size(); ++i) {
            EXPECT_EQ(late[i].at, direct[i].at + latency) << "packet " << i;
            EXPECT_EQ(late[i].bytes, direct[i].bytes) << "packet " << i;
            EXPECT_EQ(late[i].socket, direct[i].socket) << "packet " << i;
            EXPECT_EQ(late[i].to, direct[i].to) << "packet " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Exchanges, Latency, ::testing::ValuesIn(LatencyCases()),
                         [](const ::testing::TestParamInfo<LatencyCase>& param) {
                             std::string name = param.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

TEST(AgentSim, LatencyHoldsThePacketAndItsResendButNotTheTimeOut) {
    Settings settings;
    settings.retransmitMs = 1000;
    settings.retransmits = 1;
    settings.latencyMs = 300;
    SimWire wire(settings);
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    wire.Advance(299);
    EXPECT_TRUE(wire.inbox.empty());
    wire.Advance(1);
    const Sent first = wire.Next().value();
    EXPECT_EQ(first.Block(), 1);
    EXPECT_EQ(first.at, 300);
    // The time-out runs from the agent's send at 0, the resend then travels as long.
    wire.Advance(999);
    EXPECT_TRUE(wire.inbox.empty());
    wire.Advance(1);
    const Sent resend = wire.Next().value();
    EXPECT_EQ(resend.bytes, first.bytes);
    EXPECT_EQ(resend.at, 1300);
    wire.Advance(5000);
    EXPECT_TRUE(wire.inbox.empty());
    EXPECT_TRUE(wire.open.empty());
}

TEST(AgentSim, DirectoryStorageKeepsFilesAndRefusesPaths) {
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("agentsim-storage-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    DirectoryStorage storage(directory);
    EXPECT_FALSE(storage.Load("image.bin").has_value());
    ASSERT_TRUE(storage.Store("image.bin", PatternBytes(5000)));
    EXPECT_TRUE(storage.Load("image.bin") == PatternBytes(5000));
    ASSERT_TRUE(storage.Store("image.bin", PatternBytes(3)));
    EXPECT_TRUE(storage.Load("image.bin") == PatternBytes(3));
    EXPECT_FALSE(storage.Store("../escape.txt", PatternBytes(3)));
    EXPECT_FALSE(storage.Load("..").has_value());
    EXPECT_FALSE(std::filesystem::exists(directory.parent_path() / "escape.txt"));
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace kalvoran::agentsim::testing

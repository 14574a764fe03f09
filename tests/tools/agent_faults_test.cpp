// Every fault of the simulated agent, committed in simulated time, and its command-line form.
#include <gtest/gtest.h>

#include "SimWire.h"

namespace kalvoran::agentsim::testing {
namespace {

Settings WithFaults(std::initializer_list<const char*> specs) {
    Settings settings;
    settings.retransmitMs = 1000;
    for (const char* spec : specs) {
        const auto fault = ParseFault(spec);
        EXPECT_TRUE(fault.has_value()) << spec;
        if (fault) {
            settings.faults.push_back(*fault);
        }
    }
    return settings;
}

TEST(AgentFaults, CommandLineForms) {
    const auto delay = ParseFault("delay:3:250@image.bin");
    ASSERT_TRUE(delay.has_value());
    EXPECT_EQ(delay->kind, FaultKind::Delay);
    EXPECT_EQ(delay->block, 3);
    EXPECT_EQ(delay->delayMs, 250);
    EXPECT_EQ(delay->name, "image.bin");

    const auto error = ParseFault("error:image.bin:2:Flash: locked");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->errorCode, 2);
    EXPECT_EQ(error->errorText, "Flash: locked");
    EXPECT_EQ(ParseFault("error:eeprom.bin:1")->errorText, "");

    const auto lose = ParseFault("lose:2:7@rom.bin");
    ASSERT_TRUE(lose.has_value());
    EXPECT_EQ(lose->block, 2);
    EXPECT_EQ(lose->count, 7);
    EXPECT_EQ(lose->name, "rom.bin");

    for (const char* good :
         {"drop:0", "duplicate:65535", "stall:2@status.bin", "wrong-port:2", "short:1",
          "oversize:1", "stray:4", "drop-in-window:3", "ignore-options@image.bin"}) {
        EXPECT_TRUE(ParseFault(good).has_value()) << good;
    }
    for (const char* bad :
         {"", "drop", "drop:", "drop:x", "drop:-1", "drop:65536", "drop:1:2", "delay:1",
          "delay:1:", "delay:1:600001", "drop:1@", "lose:1", "lose:1:0", "drop-in-window:0",
          "ignore-options:1", "error:image.bin", "error::2", "error:image.bin:x", "DROP:1"}) {
        EXPECT_FALSE(ParseFault(bad).has_value()) << bad;
    }
}

TEST(AgentFaults, ErrorAnswersTheNamedRequestOnly) {
    SimWire wire(WithFaults({"error:image.bin:2:Flash locked", "error:eeprom.bin:1"}));
    wire.ToAgent(kListenSocket, Request(tftp::kOpWrq, "image.bin"));
    Sent reply = wire.Next().value();
    EXPECT_EQ(reply.Opcode(), tftp::kOpError);
    EXPECT_EQ(tftp::ErrorCodeOf(reply.bytes), 2);
    EXPECT_EQ(tftp::ErrorTextOf(reply.bytes), "Flash locked");
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    EXPECT_EQ(tftp::ErrorTextOf(wire.Next()->bytes), "File not found");
    EXPECT_TRUE(wire.Put("rom.bin", PatternBytes(600)));
}

TEST(AgentFaults, DropLeavesOnlyTheResendAfterTheTimeOut) {
    SimWire wire(WithFaults({"drop:2"}));
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    const SocketId transfer = wire.Next()->socket;
    wire.ToAgent(transfer, Ack(1));
    EXPECT_TRUE(wire.inbox.empty());
    wire.Advance(1000);
    EXPECT_EQ(wire.Next()->Block(), 2);

    // On a write the ACK of the named block is the one dropped.
    wire.ToAgent(kListenSocket, Request(tftp::kOpWrq, "image.bin"));
    const SocketId write = wire.Next()->socket;
    wire.ToAgent(write, Data(1, PatternBytes(512)));
    wire.ToAgent(write, Data(2, PatternBytes(512)));
    EXPECT_EQ(wire.Next()->bytes, Ack(1));
    EXPECT_TRUE(wire.inbox.empty());
    wire.Advance(1000);
    EXPECT_EQ(wire.Next()->bytes, Ack(2));
}

TEST(AgentFaults, DelayHoldsThePacketBack) {
    SimWire wire(WithFaults({"delay:1:300"}));
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    wire.Advance(299);
    EXPECT_TRUE(wire.inbox.empty());
    wire.Advance(1);
    EXPECT_EQ(wire.Next()->Block(), 1);
    wire.Advance(999);  // the resend time-out runs from the late send
    EXPECT_TRUE(wire.inbox.empty());
}

TEST(AgentFaults, DuplicateSendsTheBlockTwice) {
    SimWire wire(WithFaults({"duplicate:1"}));
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    const Sent first = wire.Next().value();
    const Sent second = wire.Next().value();
    EXPECT_EQ(first.bytes, second.bytes);
    EXPECT_EQ(first.socket, second.socket);
    EXPECT_EQ(first.Block(), 1);
    wire.ToAgent(first.socket, Ack(1));
    EXPECT_EQ(wire.Next()->Block(), 2);
    EXPECT_TRUE(wire.inbox.empty());
}

TEST(AgentFaults, StallStopsAnsweringAfterTheBlock) {
    SimWire wire(WithFaults({"stall:2"}));
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    const SocketId transfer = wire.Next()->socket;
    wire.ToAgent(transfer, Ack(1));
    EXPECT_EQ(wire.Next()->Block(), 2);
    wire.ToAgent(transfer, Ack(2));
    wire.Advance(3000);
    EXPECT_TRUE(wire.inbox.empty());
    wire.Advance(60000);
    EXPECT_TRUE(wire.inbox.empty());
    EXPECT_TRUE(wire.open.empty());
}

TEST(AgentFaults, WrongPortSendsFromAnotherSocketThenResendsFromTheTransferPort) {
    SimWire wire(WithFaults({"wrong-port:2"}));
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    const Sent block1 = wire.Next().value();
    wire.ToAgent(block1.socket, Ack(1));
    const Sent misplaced = wire.Next().value();
    EXPECT_EQ(misplaced.Block(), 2);
    EXPECT_NE(misplaced.socket, block1.socket);
    EXPECT_NE(misplaced.socket, kListenSocket);
    EXPECT_TRUE(wire.inbox.empty());

    // A client that answers the wrong port is told it has the wrong transfer.
    wire.ToAgent(misplaced.socket, Ack(2));
    EXPECT_EQ(tftp::ErrorCodeOf(wire.Next()->bytes), 5);
    wire.Advance(1000);
    const Sent resend = wire.Next().value();
    EXPECT_EQ(resend.socket, block1.socket);
    EXPECT_EQ(resend.bytes, misplaced.bytes);
}

TEST(AgentFaults, MalformedAndStrayDatagramsComeBeforeTheRealPacket) {
    SimWire wire(WithFaults({"short:1", "oversize:2", "stray:3"}));
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    const Sent shortOne = wire.Next().value();
    const Sent block1 = wire.Next().value();
    EXPECT_EQ(shortOne.bytes.size(), 3u);
    EXPECT_EQ(shortOne.socket, block1.socket);
    EXPECT_EQ(block1.bytes.size(), 516u);

    wire.ToAgent(block1.socket, Ack(1));
    const Sent big = wire.Next().value();
    EXPECT_EQ(big.bytes.size(), kOversizeLength);
    EXPECT_EQ(big.socket, block1.socket);
    EXPECT_EQ(big.Block(), 2);
    EXPECT_EQ(wire.Next()->bytes.size(), 516u);

    wire.ToAgent(block1.socket, Ack(2));
    const Sent stray = wire.Next().value();
    const Sent block3 = wire.Next().value();
    EXPECT_NE(stray.socket, block1.socket);
    EXPECT_EQ(stray.Block(), 3);
    EXPECT_EQ(stray.bytes.size(), 516u);
    EXPECT_NE(stray.Payload(), block3.Payload());
    EXPECT_EQ(block3.socket, block1.socket);
    const Bytes eeprom = EepromImage();
    EXPECT_TRUE(block3.Payload() == Bytes(eeprom.begin() + 1024, eeprom.begin() + 1536));
}

// Each option fault spoils the answer to a request with options; the client refuses it with
// ERROR 8 and asks again without options, which is served normally.
TEST(AgentFaults, OptionFaultsSpoilOnlyRequestsWithOptions) {
    const std::string asked = Pairs("blksize 1428 tsize 600");
    const Bytes fair = Oack(asked);
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"ignore-options", Ack(0)},
        {"options-error", ErrorPacket(tftp::kErrorOptionsRefused, "Option negotiation failed")},
        {"oack-larger-blksize", Oack(Pairs("blksize 1429 tsize 600"))},
        {"oack-unrequested", Oack(Pairs("blksize 1428 tsize 600 timeout 5"))},
        {"oack-malformed", Bytes(fair.begin(), fair.end() - 1)},
    };
    for (const auto& [spec, answer] : cases) {
        SimWire wire(WithFaults({spec}));
        wire.ToAgent(kListenSocket, Request(tftp::kOpWrq, "image.bin", "octet", asked));
        const Sent reply = wire.Next().value();
        EXPECT_EQ(reply.bytes, answer) << spec;
        wire.ToAgent(reply.socket, ErrorPacket(tftp::kErrorOptionsRefused, "bad OACK"));
        EXPECT_TRUE(wire.open.empty()) << spec;
        EXPECT_TRUE(wire.Put("image.bin", PatternBytes(600))) << spec;
        EXPECT_EQ(wire.storage.files["image.bin"].size(), 600u);
    }
}

TEST(AgentFaults, DropInWindowLeavesAGapAndLoseReacknowledgesAfterEachTimeOut) {
    SimWire wire(WithFaults({"drop-in-window:2"}));
    wire.ToAgent(kListenSocket,
                 Request(tftp::kOpRrq, "eeprom.bin", "octet", Pairs("windowsize 4")));
    const SocketId read = wire.Next()->socket;
    wire.ToAgent(read, Ack(0));
    EXPECT_EQ(BlocksIn(wire.inbox), (std::vector<int>{1, 3, 4}));
    wire.ToAgent(read, Ack(1));
    EXPECT_EQ(BlocksIn(wire.inbox), (std::vector<int>{2, 3, 4, 5}));

    // A write discards DATA 2 once: the next block shows the gap.
    wire.ToAgent(kListenSocket, Request(tftp::kOpWrq, "image.bin", "octet", Pairs("windowsize 2")));
    const SocketId write = wire.Next()->socket;
    for (const int block : {1, 2, 3, 2, 3}) {
        wire.ToAgent(write, Data(block, PatternBytes(512, static_cast<unsigned>(block))));
    }
    EXPECT_EQ(BlocksIn(wire.inbox), (std::vector<int>{1, 3}));  // ACK 1 for the gap, then ACK 3

    // DATA 2 lost three times, more often than the agent resends (once): each time, one time-out
    // later, ACK 1 again.
    Settings settings = WithFaults({"lose:2:3@rom.bin"});
    settings.retransmits = 1;
    SimWire lossy(settings);
    lossy.ToAgent(kListenSocket, Request(tftp::kOpWrq, "rom.bin"));
    const SocketId rom = lossy.Next()->socket;
    lossy.ToAgent(rom, Data(1, PatternBytes(512)));
    EXPECT_EQ(lossy.Next()->bytes, Ack(1));
    for (int lost = 1; lost <= 3; ++lost) {
        lossy.Advance(500);
        lossy.ToAgent(rom, Data(2, PatternBytes(10)));
        lossy.Advance(999);
        EXPECT_TRUE(lossy.inbox.empty()) << lost;
        lossy.Advance(1);
        EXPECT_EQ(lossy.Next()->bytes, Ack(1)) << lost;
    }
    lossy.ToAgent(rom, Data(2, PatternBytes(10)));
    EXPECT_EQ(lossy.Next()->bytes, Ack(2));
    EXPECT_EQ(lossy.storage.files["rom.bin"].size(), 522u);
}

TEST(AgentFaults, NamedFaultsSpareOtherFiles) {
    SimWire wire(WithFaults({"drop:1@eeprom.bin", "stall:0@image.bin"}));
    EXPECT_EQ(Text(wire.Get("status.bin").value()), "Agent ready");
    EXPECT_TRUE(wire.Put("rom.bin", PatternBytes(513)));
    wire.ToAgent(kListenSocket, Request(tftp::kOpRrq, "eeprom.bin"));
    EXPECT_TRUE(wire.inbox.empty());

    // A stalled write stays silent, also to the client's repeated request.
    wire.ToAgent(kListenSocket, Request(tftp::kOpWrq, "image.bin"));
    EXPECT_EQ(wire.Next()->bytes, Ack(0));
    wire.ToAgent(kListenSocket, Request(tftp::kOpWrq, "image.bin"));
    wire.Advance(2000);
    while (auto sent = wire.Next()) {
        EXPECT_EQ(sent->Block(), 1) << "only the dropped eeprom block may be resent";
    }
}

}  // namespace
}  // namespace kalvoran::agentsim::testing

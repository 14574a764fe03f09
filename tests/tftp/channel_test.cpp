// TftpChannel in simulated time: the packets it builds, the text and result of every timed
// exchange, the late-poll and cancel rules, and which datagrams a receive exchange takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/FakeClock.h"
#include "support/FakeDatagramSocket.h"
#include "support/FakeWaitHooks.h"
#include "tftp/TftpChannel.h"

namespace kalvoran {
namespace {

using Bytes = std::vector<std::uint8_t>;
using fakes::FakeClock;
using fakes::FakeDatagramSocket;
using fakes::FakeWaitHooks;
using fakes::Ipv4;
using net::SocketAddress;

// 700 ms into a second, so that whole-second time-outs end early as on a real clock.
constexpr std::int64_t kStart = 5'000'700;

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override { channel.AimAt(agent); }

    std::string Text() const { return channel.ExchangeText(); }
    std::int64_t Elapsed() const { return clock.Milliseconds() - kStart; }
    static Bytes Error(std::uint8_t code, const std::string& text, bool terminated = true) {
        Bytes bytes(4 + text.size() + (terminated ? 1 : 0), 0);
        bytes[1] = 0x05;
        bytes[3] = code;
        std::copy(text.begin(), text.end(), bytes.begin() + 4);
        return bytes;
    }

    FakeClock clock{kStart};
    FakeDatagramSocket socket{clock};
    FakeWaitHooks hooks;
    TftpChannel channel{socket, clock, hooks};
    const SocketAddress agent{Ipv4(127, 0, 4, 200), 69};
    const SocketAddress agentTransfer{Ipv4(127, 0, 4, 200), 4711};
};

// --- packets ---------------------------------------------------------------------------------

TEST_F(ChannelTest, buildRequest_writeRequestForImage_is18Bytes) {
    ASSERT_EQ(channel.BuildRequest(2, "image.bin"), 18);
    const Bytes expected = {0,   2,   'i', 'm', 'a', 'g', 'e', '.', 'b',
                            'i', 'n', 0,   'o', 'c', 't', 'e', 't', 0};
    EXPECT_EQ(Bytes(channel.DataBuffer().begin(), channel.DataBuffer().begin() + 18), expected);
}

TEST_F(ChannelTest, remoteName_over19Characters_isRefusedBeforeAnyRequest) {
    ASSERT_TRUE(channel.SetRemoteName("status.bin"));
    const std::string nineteen(19, 'n');
    const std::string twenty(20, 'n');

    EXPECT_FALSE(channel.SetRemoteName(twenty));
    EXPECT_STREQ(channel.RemoteName(), "status.bin");
    EXPECT_EQ(channel.BuildRequest(2, twenty), 0);
    EXPECT_EQ(channel.DataBuffer()[1], 0) << "nothing may be built for a refused name";

    EXPECT_TRUE(channel.SetRemoteName(nineteen));
    EXPECT_EQ(channel.BuildRequest(1, channel.RemoteName()), 19 + 5 + 4);
}

TEST_F(ChannelTest, buildDataPacket_writesHeaderAndReturnsLength) {
    EXPECT_EQ(channel.BuildDataPacket(3, 300, 512), 516);
    EXPECT_EQ(Bytes(channel.DataBuffer().begin(), channel.DataBuffer().begin() + 4),
              (Bytes{0x00, 0x03, 0x01, 0x2C}));
    EXPECT_EQ(channel.BuildDataPacket(3, 7, 0), 4);
    EXPECT_EQ(channel.BuildDataPacket(3, 7, 513), 0);
    EXPECT_EQ(channel.BuildDataPacket(3, 7, -1), 0);
}

TEST_F(ChannelTest, sendAck_sendsLow16BitsOfBlockToPeer) {
    socket.Deliver(agentTransfer, {0x00, 0x03, 0x00, 0x01, 'x'});
    ASSERT_EQ(channel.ReceiveDataBlock(20), 5);
    channel.SetBlock(65537);
    EXPECT_EQ(channel.SendAck(5), 4);
    ASSERT_EQ(socket.Sent().size(), 1u);
    EXPECT_EQ(socket.Sent()[0].bytes, (Bytes{0x00, 0x04, 0x00, 0x01}));
    EXPECT_EQ(socket.Sent()[0].peer, agentTransfer);
}

TEST_F(ChannelTest, sendPacket_sendsFirstLengthBytesToServerAddress) {
    const int length = channel.BuildRequest(2, "config.cfg");
    EXPECT_EQ(channel.SendPacket(length, 2), length);
    ASSERT_EQ(socket.Sent().size(), 1u);
    EXPECT_EQ(socket.Sent()[0].peer, agent);
    EXPECT_EQ(socket.Sent()[0].bytes,
              Bytes(channel.DataBuffer().begin(), channel.DataBuffer().begin() + length));
}

// --- send exchanges --------------------------------------------------------------------------

TEST_F(ChannelTest, sendPacket_socketFullForAWhile_sendsOnceItHasRoom) {
    socket.RefuseSendsUntil(kStart + 300);
    const int length = channel.BuildDataPacket(3, 1, 10);
    EXPECT_EQ(channel.SendPacket(length, 2), length);
    ASSERT_EQ(socket.Sent().size(), 1u);
    EXPECT_EQ(socket.Sent()[0].atMilliseconds, kStart + 300);
    EXPECT_LE(socket.SendCalls(), 300 / TftpChannel::kPollSliceMilliseconds + 2)
        << "waits for room between tries instead of retrying in a tight loop";
}

// A window the socket has no room for goes packet by packet once it has; one it never takes
// times out naming the first block that did not go.
TEST_F(ChannelTest, sendDataBlocks_socketFullForAWhile_sendsTheWindowInOrder) {
    const std::vector<std::uint8_t> body(600, 0x5A);
    channel.Agree({1024, 4, -1});
    const std::vector<std::span<const std::uint8_t>> window = {body, body,
                                                               std::span(body).first(3)};
    socket.RefuseSendsUntil(kStart + 300);
    EXPECT_EQ(channel.SendDataBlocks(5, window, 2), 3);
    ASSERT_EQ(socket.Sent().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const Bytes& sent = socket.Sent()[i].bytes;
        EXPECT_EQ(sent[3], 5 + i);
        EXPECT_EQ(sent.size(), 4 + window[i].size());
    }
    socket.RefuseSendsUntil(kStart + 60'000);
    EXPECT_EQ(channel.SendDataBlocks(8, window, 2), -1);
    EXPECT_EQ(Text(), "Time out on PUT. block: 8");
}

TEST_F(ChannelTest, sendPacket_socketRefusesThroughout_timesOutWithPutText) {
    socket.RefuseSendsUntil(kStart + 60'000);
    channel.SetBlock(7);
    EXPECT_EQ(channel.SendPacket(channel.BuildDataPacket(3, 7, 512), 2), -1);
    EXPECT_EQ(Text(), "Time out on PUT. block: 7");
    EXPECT_TRUE(socket.Sent().empty());
    EXPECT_GE(Elapsed(), 1000);
    EXPECT_LE(Elapsed(), 2100);
}

TEST_F(ChannelTest, sendPacket_failingSocket_pausesBetweenPollsUntilTimeOut) {
    socket.FailSends(true);
    channel.SetBlock(1);
    EXPECT_EQ(channel.SendPacket(channel.BuildRequest(2, "rom.bin"), 2), -1);
    EXPECT_EQ(Text(), "Time out on PUT. block: 1");
    EXPECT_GT(clock.SleepCalls(), 0);
    EXPECT_LE(socket.SendCalls(), 2100 / TftpChannel::kPollSliceMilliseconds);
}

TEST_F(ChannelTest, sendPacket_invalidLength_sendsNothing) {
    EXPECT_EQ(channel.SendPacket(0, 2), -1);
    EXPECT_EQ(channel.SendPacket(517, 2), -1);
    EXPECT_EQ(socket.SendCalls(), 0);
}

TEST_F(ChannelTest, sendAck_refusedThroughout_timesOutWithSendingAckText) {
    socket.RefuseSendsUntil(kStart + 60'000);
    EXPECT_LE(channel.SendAck(5), 0);
    EXPECT_EQ(Text(), "Time out on sending ACK.");
}

TEST_F(ChannelTest, sendWithCancelRaised_handsPacketOverOnce_thenCancels) {
    hooks.cancelFlag = 1;
    EXPECT_EQ(channel.SendPacket(channel.BuildRequest(2, "image.bin"), 5), -2);
    EXPECT_EQ(Text(), "Cancelled.");
    EXPECT_EQ(socket.Sent().size(), 1u);
}

// --- receive exchanges: texts ----------------------------------------------------------------

TEST_F(ChannelTest, waitForAck_describesAckWithSessionBlockAndAckedBlock) {
    channel.SetBlock(6);
    socket.Deliver(agentTransfer, {0x00, 0x04, 0x00, 0x05});
    EXPECT_EQ(channel.WaitForAck(2), 4);
    EXPECT_EQ(channel.AckedBlock(), 5);
    EXPECT_EQ(Text(), "6 ACK: block 5");
    EXPECT_EQ(channel.Peer(), agentTransfer);
}

TEST_F(ChannelTest, waitForAck_takesAnyNonErrorPacketAsAckOfItsBlock) {
    struct Case {
        Bytes datagram;
        int acked;
        std::string text;
    };
    const Case cases[] = {
        {{0x00, 0x03, 0x00, 0x01, 'x'}, 1, "2 DATA: block 1"},
        {{0x7F, 0x04, 0xFF, 0xFF}, 65535, "2 ACK: block 65535"},  // first byte not examined
        {{0x00, 0x09, 0x01, 0x00}, 256, "2 UNKNOWN: block 256"},
    };
    for (const Case& c : cases) {
        channel.SetBlock(2);
        socket.Deliver(agentTransfer, c.datagram);
        EXPECT_EQ(channel.WaitForAck(2), static_cast<int>(c.datagram.size()));
        EXPECT_EQ(channel.AckedBlock(), c.acked);
        EXPECT_EQ(Text(), c.text);
    }
}

TEST_F(ChannelTest, waitForAck_error_describesCodeStandardTextAndAgentText) {
    struct Case {
        Bytes datagram;
        std::string text;
    };
    const Case cases[] = {
        {Error(1, "no eeprom here"),
         "ERROR: error code: 1 msg: File not found \r\nerror msg: no eeprom here"},
        {Error(2, "read only", false),
         "ERROR: error code: 2 msg: Access violation \r\nerror msg: read only"},
        {Error(9, "vendor"), "ERROR: error code: 9 msg: Unknown error code \r\nerror msg: vendor"},
        {{0x00, 0x05, 0x01, 0x00},
         "ERROR: error code: 0 msg: Not defined, see error message "
         "\r\nerror msg: "},
    };
    for (const Case& c : cases) {
        socket.Deliver(agent, {0x00, 0x04, 0x00, 42});  // an ACK of block 42 comes first
        ASSERT_EQ(channel.WaitForAck(3), 4);
        socket.Deliver(agent, c.datagram);
        EXPECT_EQ(channel.WaitForAck(3), static_cast<int>(c.datagram.size()));
        EXPECT_EQ(Text(), c.text);
        EXPECT_EQ(channel.AckedBlock(), 42) << "an ERROR acknowledges nothing";
        EXPECT_EQ(channel.AckBuffer()[1], 5);
    }
}

TEST_F(ChannelTest, waitForAck_errorLongerThanPacket_isCutAtReceivedBytes) {
    const Bytes datagram = Error(0, std::string(900, 'E'), false);
    socket.Deliver(agent, datagram);
    EXPECT_EQ(channel.WaitForAck(2), 516);
    const std::string prefix =
        "ERROR: error code: 0 msg: Not defined, see error message \r\nerror msg: ";
    EXPECT_EQ(Text(), prefix + std::string(512, 'E'));
}

TEST_F(ChannelTest, waitForAck_errorTextStopsAtItsZeroByte) {
    Bytes datagram = Error(3, "full");
    datagram.insert(datagram.end(), {'j', 'u', 'n', 'k'});
    socket.Deliver(agent, datagram);
    channel.WaitForAck(2);
    EXPECT_EQ(Text(),
              "ERROR: error code: 3 msg: Disk full or allocation exceeded \r\nerror msg: full");
}

TEST_F(ChannelTest, receiveDataBlock_error_describesWithAck) {
    socket.Deliver(agent, Error(1, "missing"));
    EXPECT_EQ(channel.ReceiveDataBlock(20), 4 + 7 + 1);
    EXPECT_EQ(Text(), "ACK: error code: 1 msg: File not found");
}

TEST_F(ChannelTest, receiveDataBlock_data_isLeftInBufferTextUnchanged) {
    channel.DescribeAckTimeout();
    const std::string before = Text();
    socket.Deliver(agentTransfer, {0x00, 0x03, 0x00, 0x02, 'a', 'b', 'c'});
    EXPECT_EQ(channel.ReceiveDataBlock(20), 7);
    EXPECT_EQ(Text(), before);
    EXPECT_EQ(Bytes(channel.DataBuffer().begin(), channel.DataBuffer().begin() + 7),
              (Bytes{0x00, 0x03, 0x00, 0x02, 'a', 'b', 'c'}));
    EXPECT_EQ(channel.Peer(), agentTransfer);
}

TEST_F(ChannelTest, timeOutTexts_nameTheRightBlock) {
    channel.SetBlock(5);
    EXPECT_EQ(channel.WaitForAck(1), -1);
    EXPECT_EQ(Text(), "Time out on ACK. block: 4");
    EXPECT_EQ(channel.ReceiveDataBlock(1), -1);
    EXPECT_EQ(Text(), "Time out on GET. block: 5");
}

// --- timing rules ----------------------------------------------------------------------------

TEST_F(ChannelTest, silentFiveSecondWait_endsOnFourthLatePollAfter4To5Seconds) {
    channel.SetBlock(3);
    EXPECT_EQ(channel.WaitForAck(5), -1);
    EXPECT_EQ(Text(), "Time out on ACK. block: 2");
    EXPECT_GE(Elapsed(), 4000);
    EXPECT_LT(Elapsed(), 5000);

    // The time-out second began at simulated second 5005 (start 5000.7 s).
    int latePolls = 0;
    for (const std::int64_t at : socket.ReceiveCallTimes()) {
        latePolls += at >= 5'005'000 ? 1 : 0;
    }
    EXPECT_EQ(latePolls, 4);
}

TEST_F(ChannelTest, silentWait_sleepsOnSocketInsteadOfSpinning) {
    EXPECT_EQ(channel.WaitForAck(5), -1);
    // About one poll per slice; a spinning loop would never let simulated time advance.
    EXPECT_LE(socket.ReceiveCalls(), 5000 / TftpChannel::kPollSliceMilliseconds + 5);
    EXPECT_GE(socket.WaitCalls(), socket.ReceiveCalls() - 1);
}

TEST_F(ChannelTest, datagramArrivingMidWait_isTakenTheMomentItArrives) {
    socket.Deliver(agent, {0x00, 0x04, 0x00, 0x00}, 1503);
    EXPECT_EQ(channel.WaitForAck(3), 4);
    EXPECT_EQ(Elapsed(), 1503);
}

TEST_F(ChannelTest, closedSocket_waitsOutItsTimeOutWithoutSpinning) {
    socket.Close();
    EXPECT_EQ(channel.ReceiveDataBlock(2), -1);
    EXPECT_EQ(Text(), "Time out on GET. block: 0");
    EXPECT_GE(Elapsed(), 1000);
    EXPECT_GT(clock.SleepCalls(), 0);
}

TEST_F(ChannelTest, pumpsOnlyAboveTwoSeconds) {
    channel.WaitForAck(2);
    EXPECT_EQ(hooks.pumpCount, 0);
    const int pollsBefore = socket.ReceiveCalls();
    channel.WaitForAck(3);
    EXPECT_EQ(hooks.pumpCount, socket.ReceiveCalls() - pollsBefore) << "one pump after every poll";
    EXPECT_GT(hooks.pumpCount, 100) << "so the window is serviced about every slice";
}

TEST_F(ChannelTest, cancelAtTwoSeconds_isNotSeen_waitRunsOut) {
    hooks.cancelFlag = 1;
    EXPECT_LE(channel.WaitForAck(2), 0);
    EXPECT_EQ(Text(), "Time out on ACK. block: -1");
    EXPECT_GE(Elapsed(), 1000);
}

TEST_F(ChannelTest, cancelAtThreeSeconds_endsAfterFirstPoll) {
    hooks.cancelFlag = 1;
    EXPECT_EQ(channel.WaitForAck(3), -2);
    EXPECT_EQ(Text(), "Cancelled.");
    EXPECT_EQ(socket.ReceiveCalls(), 1);
    EXPECT_EQ(hooks.pumpCount, 1);
}

TEST_F(ChannelTest, cancelRaisedByHandlerDuringWait_endsAtThatCheck) {
    hooks.OnPump([&](int pump) {
        if (pump == 50) {
            hooks.cancelFlag = 1;
        }
    });
    EXPECT_EQ(channel.ReceiveDataBlock(20), -2);
    EXPECT_EQ(Text(), "Cancelled.");
    EXPECT_EQ(socket.ReceiveCalls(), 50);
}

TEST_F(ChannelTest, onlyTheValueOneCounts_asCancel) {
    hooks.cancelFlag = 2;
    EXPECT_EQ(channel.WaitForAck(3), -1);
}

// --- who may answer --------------------------------------------------------------------------

TEST_F(ChannelTest, datagramFromAnotherAddress_isDroppedAndWaitGoesOn) {
    const SocketAddress stranger{Ipv4(127, 0, 4, 201), 69};
    socket.Deliver(stranger, {0x00, 0x05, 0x00, 0x01, 'x', 0}, 100);
    socket.Deliver(agentTransfer, {0x00, 0x04, 0x00, 0x01}, 200);
    channel.SetBlock(2);
    EXPECT_EQ(channel.WaitForAck(3), 4);
    EXPECT_EQ(Text(), "2 ACK: block 1");
    EXPECT_EQ(channel.Peer(), agentTransfer);
    EXPECT_EQ(channel.DroppedDatagrams(), 1);
    EXPECT_EQ(Elapsed(), 200);
}

TEST_F(ChannelTest, droppedDatagram_leavesBufferAndPeerUntouched) {
    const SocketAddress stranger{Ipv4(127, 0, 4, 202), 4711};
    Bytes big(516, 'S');
    big[1] = 3;
    socket.Deliver(stranger, big);
    socket.Deliver(agent, {0x00, 0x03, 0x00, 0x01, 'o', 'k'}, 10);
    EXPECT_EQ(channel.ReceiveDataBlock(5), 6);
    EXPECT_EQ(channel.DataBuffer()[6], 0) << "no stranger's bytes behind the agent's data";
    EXPECT_EQ(channel.Peer(), agent);
}

TEST_F(ChannelTest, afterFirstDatagram_onlyThatPortIsTaken_untilNextRequest) {
    const SocketAddress otherPort{agent.address, 4712};
    channel.BuildRequest(2, "image.bin");
    EXPECT_EQ(channel.TransferPort(), 0);

    socket.Deliver(agentTransfer, {0x00, 0x04, 0x00, 0x00});
    ASSERT_EQ(channel.WaitForAck(2), 4);
    EXPECT_EQ(channel.TransferPort(), agentTransfer.port);

    socket.Deliver(otherPort, {0x00, 0x04, 0x00, 0x00});  // a second answer to the request
    socket.Deliver(agentTransfer, {0x00, 0x04, 0x00, 0x01}, 50);
    channel.SetBlock(2);
    ASSERT_EQ(channel.WaitForAck(2), 4);
    EXPECT_EQ(channel.AckedBlock(), 1);
    EXPECT_EQ(channel.Peer(), agentTransfer);
    EXPECT_EQ(channel.DroppedDatagrams(), 1);

    channel.BuildRequest(1, "status.bin");
    socket.Deliver(otherPort, {0x00, 0x03, 0x00, 0x01});
    EXPECT_EQ(channel.ReceiveDataBlock(5), 4);
    EXPECT_EQ(channel.Peer(), otherPort);
    EXPECT_EQ(channel.TransferPort(), otherPort.port);
}

TEST_F(ChannelTest, shortDatagrams_areDropped_neverReadAsPackets) {
    socket.Deliver(agent, {0x00, 0x04, 0x00, 9});
    ASSERT_EQ(channel.WaitForAck(2), 4);
    channel.ForgetTransferPort();
    socket.Deliver(agent, Bytes{});
    socket.Deliver(agent, {0x00});
    socket.Deliver(agent, {0x00, 0x05});
    socket.Deliver(agent, {0x00, 0x05, 0x00});
    EXPECT_EQ(channel.WaitForAck(2), -1);
    EXPECT_EQ(channel.AckedBlock(), 9);
    EXPECT_EQ(channel.DroppedDatagrams(), 4);
    EXPECT_EQ(channel.TransferPort(), 0) << "a dropped datagram pins nothing";
    EXPECT_EQ(Text(), "Time out on ACK. block: -1");
}

TEST_F(ChannelTest, oversizeDatagrams_areDropped_notCutIntoAFullBlock) {
    Bytes oversize(600, 0xAB);
    oversize[0] = 0x00;
    oversize[1] = 0x03;
    oversize[2] = 0x00;
    oversize[3] = 0x01;
    Bytes whole(516, 0xCD);
    whole[1] = 0x03;
    whole[3] = 0x01;
    socket.Deliver(agent, oversize);
    socket.Deliver(agent, Bytes(517, 0x03));
    socket.Deliver(agent, whole);
    EXPECT_EQ(channel.ReceiveDataBlock(5), 516);
    EXPECT_EQ(channel.DroppedDatagrams(), 2);
    EXPECT_EQ(channel.DataBuffer()[4], 0xCD);
}

TEST_F(ChannelTest, lateDatagramsOfAnEarlierTransfer_areNotTakenForTheAnswerToARequest) {
    const SocketAddress earlierTransfer{agent.address, 4700};
    // A final status block the agent resends because nobody acknowledged it: one already
    // queued when the next request goes out, one arriving while its answer is awaited.
    socket.Deliver(earlierTransfer, {0x00, 0x03, 0x00, 0x01, 'O', 'K'});
    const int length = channel.BuildRequest(2, "image.bin");
    ASSERT_EQ(channel.SendPacket(length, 2), length);
    EXPECT_EQ(socket.Pending(), 0u);
    socket.Deliver(earlierTransfer, {0x00, 0x03, 0x00, 0x01, 'O', 'K'}, 100);
    socket.Deliver(agentTransfer, {0x00, 0x04, 0x00, 0x00}, 200);
    channel.SetBlock(1);
    ASSERT_EQ(channel.WaitForAck(2), 4);
    EXPECT_EQ(channel.AckedBlock(), 0);
    EXPECT_EQ(channel.TransferPort(), agentTransfer.port);
    EXPECT_EQ(channel.DroppedDatagrams(), 2);
}

TEST_F(ChannelTest, untilAPortIsPinned_onlyWhatCanOpenTheTransferIsTaken) {
    struct Case {
        int request;
        Bytes first;
        bool taken;
    };
    const Case cases[] = {
        {2, {0x00, 0x04, 0x00, 0x00}, true},        // ACK 0 answers a write request
        {2, {0x00, 0x04, 0x00, 0x03}, false},       // a later ACK does not
        {2, {0x00, 0x03, 0x00, 0x01, 'x'}, false},  // nor DATA
        {2, Error(2, "Access violation"), true},    // an ERROR always counts
        {1, {0x00, 0x03, 0x00, 0x01, 'x'}, true},   // DATA 1 answers a read request
        {1, {0x00, 0x03, 0x00, 0x02, 'x'}, false},  // a later block does not
        {1, {0x00, 0x04, 0x00, 0x00}, false},       // nor an ACK
        {1, Error(1, "File not found"), true},
    };
    for (const Case& c : cases) {
        FakeClock caseClock{kStart};
        FakeDatagramSocket caseSocket{caseClock};
        TftpChannel caseChannel{caseSocket, caseClock, hooks};
        caseChannel.AimAt(agent);
        caseChannel.BuildRequest(c.request, "x.bin");
        caseSocket.Deliver(agentTransfer, c.first);
        const int result =
            c.request == 2 ? caseChannel.WaitForAck(2) : caseChannel.ReceiveDataBlock(2);
        EXPECT_EQ(result > 0, c.taken) << c.request << " " << static_cast<int>(c.first[1]);
        EXPECT_EQ(caseChannel.TransferPort(), c.taken ? agentTransfer.port : 0);
    }
}

// The agent's ERROR text reaches the log and the terminal with its control characters shown as
// \xNN: it can neither forge log lines nor set the terminal's title or colours. The template's
// own line break between the two halves stays.
TEST_F(ChannelTest, waitForAck_errorTextControlCharacters_areShownAsHexEscapes) {
    const std::string prefix =
        "ERROR: error code: 0 msg: Not defined, see error message \r\nerror msg: ";
    struct Case {
        std::string agentText;
        std::string shown;
    };
    const Case cases[] = {
        {"bad\nThe card will reset", "bad\\x0aThe card will reset"},
        {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
        {"del\x7f\r\t", "del\\x7f\\x0d\\x09"},
        {"\x1f \x7e\x80\xff", "\\x1f \x7e\x80\xff"},  // only controls and DEL change
        {std::string(512, '\x01'),
         [] {
             std::string all;
             for (int i = 0; i < 512; ++i) {
                 all += "\\x01";
             }
             return all;
         }()},  // a whole packet of controls is shown whole
    };
    for (const Case& c : cases) {
        socket.Deliver(agent, Error(0, c.agentText, false));
        channel.WaitForAck(2);
        EXPECT_EQ(Text(), prefix + c.shown);
    }
}

}  // namespace
}  // namespace kalvoran

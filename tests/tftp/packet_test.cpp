// The TFTP packet codec: exact bytes of what the client writes, and readers that never take a
// short, unterminated or padded datagram for more than it is.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tftp/TftpPacket.h"

namespace kalvoran::tftp {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FromText(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(PacketWriters, writeRequest_isOpcodeNameZeroModeZero) {
    std::array<std::uint8_t, kPacketSize> buffer{};
    ASSERT_EQ(WriteRequest(buffer, kOpWrq, "image.bin", "octet"), 18u);
    const Bytes expected = {0x00, 0x02, 'i',  'm', 'a', 'g', 'e', '.', 'b',
                            'i',  'n',  0x00, 'o', 'c', 't', 'e', 't', 0x00};
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 18), expected);
}

TEST(PacketWriters, writeRequest_thatDoesNotFit_writesNothing) {
    std::array<std::uint8_t, 17> buffer{};
    EXPECT_EQ(WriteRequest(buffer, kOpRrq, "image.bin", "octet"), 0u);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 17>{}));
}

TEST(PacketWriters, dataHeader_carriesLow16BitsOfBlockHighByteFirst) {
    struct Case {
        int block;
        std::size_t payload;
        std::size_t length;
        std::uint8_t high, low;
    };
    for (const Case& c : {Case{300, 512, 516, 0x01, 0x2C}, Case{1, 0, 4, 0x00, 0x01},
                          Case{65535, 17, 21, 0xFF, 0xFF}, Case{65536, 1, 5, 0x00, 0x00},
                          Case{65537, 511, 515, 0x00, 0x01}}) {
        std::array<std::uint8_t, kPacketSize> buffer{};
        EXPECT_EQ(WriteDataHeader(buffer, kOpData, c.block, c.payload), c.length) << c.block;
        EXPECT_EQ(buffer[0], 0x00);
        EXPECT_EQ(buffer[1], 0x03);
        EXPECT_EQ(buffer[2], c.high) << c.block;
        EXPECT_EQ(buffer[3], c.low) << c.block;
    }
}

TEST(PacketWriters, dataHeader_withPayloadBeyondBuffer_isRefused) {
    std::array<std::uint8_t, kPacketSize> buffer{};
    EXPECT_EQ(WriteDataHeader(buffer, kOpData, 1, 513), 0u);
    std::array<std::uint8_t, 3> tiny{};
    EXPECT_EQ(WriteDataHeader(tiny, kOpData, 1, 0), 0u);
}

TEST(PacketWriters, ack_isAlwaysFourBytes) {
    std::array<std::uint8_t, 4> buffer{};
    ASSERT_EQ(WriteAck(buffer, 65537), 4u);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 4>{0x00, 0x04, 0x00, 0x01}));
}

TEST(PacketWriters, error_roundTripsThroughReaders_andIsCutToFit) {
    std::array<std::uint8_t, kPacketSize> buffer{};
    const std::size_t length = WriteError(buffer, 1, "no such file");
    ASSERT_EQ(length, 4u + 12u + 1u);
    const std::span<const std::uint8_t> packet(buffer.data(), length);
    EXPECT_EQ(OpcodeOf(packet), kOpError);
    EXPECT_EQ(ErrorCodeOf(packet), 1);
    EXPECT_EQ(ErrorTextOf(packet), "no such file");

    std::array<std::uint8_t, 10> small{};
    ASSERT_EQ(WriteError(small, 2, "a much longer text"), 10u);
    EXPECT_EQ(ErrorTextOf(small), "a muc");
}

TEST(PacketReaders, datagramsShorterThanHeader_readAsNothing) {
    for (std::size_t size = 0; size < kHeaderSize; ++size) {
        const Bytes datagram(size, 0x05);
        EXPECT_FALSE(IsWholePacket(datagram)) << size;
        EXPECT_EQ(OpcodeOf(datagram), -1) << size;
        EXPECT_EQ(BlockOf(datagram), -1) << size;
        EXPECT_EQ(ErrorCodeOf(datagram), -1) << size;
        EXPECT_TRUE(ErrorTextOf(datagram).empty()) << size;
    }
}

TEST(PacketReaders, opcodeIsSecondByteAlone_blockUnsigned_errorCodeLowByteAlone) {
    const Bytes datagram = {0xFF, 0x05, 0xFF, 0xFE};
    EXPECT_EQ(OpcodeOf(datagram), 5);
    EXPECT_EQ(BlockOf(datagram), 65534);
    EXPECT_EQ(ErrorCodeOf(datagram), 0xFE);
    EXPECT_EQ(ErrorCodeOf(Bytes{0x00, 0x05, 0x01, 0x02}), 2);
}

TEST(PacketReaders, errorText_endsAtZeroOrAtEndOfDatagram) {
    struct Case {
        Bytes datagram;
        std::string text;
    };
    const Case cases[] = {
        {{0, 5, 0, 1, 'g', 'o', 'n', 'e', 0}, "gone"},
        {{0, 5, 0, 1, 'g', 'o', 'n', 'e'}, "gone"},  // no terminator
        {{0, 5, 0, 1, 'a', 0, 'x', 'y', 'z'}, "a"},  // bytes after the terminator
        {{0, 5, 0, 1, 0}, ""},                       // empty text
        {{0, 5, 0, 1}, ""},                          // header only
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorTextOf(c.datagram), c.text) << c.datagram.size();
    }
}

TEST(PacketReaders, request_roundTripsWhatTheClientWrites) {
    std::array<std::uint8_t, kPacketSize> buffer{};
    const std::size_t length = WriteRequest(buffer, kOpRrq, "status.bin", "octet");
    const auto request = ParseRequest(std::span<const std::uint8_t>(buffer.data(), length));
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->opcode, kOpRrq);
    EXPECT_EQ(request->name, "status.bin");
    EXPECT_EQ(request->mode, "octet");
}

TEST(PacketReaders, request_malformed_isRefused) {
    const Bytes cases[] = {
        {},
        {0x00},
        FromText(std::string("\0\x02image.bin", 11)),             // name not terminated
        FromText(std::string("\0\x02image.bin\0octet", 17)),      // mode not terminated
        FromText(std::string("\0\x02\0octet\0", 9)),              // empty name
        FromText(std::string("\0\x02image.bin\0\0", 13)),         // empty mode
        FromText(std::string("\0\x03image.bin\0octet\0", 18)),    // DATA, not a request
        FromText(std::string("\x01\x02image.bin\0octet\0", 18)),  // first byte not zero
    };
    for (const Bytes& datagram : cases) {
        EXPECT_FALSE(ParseRequest(datagram).has_value()) << datagram.size();
    }
}

TEST(PacketReaders, request_withOptionsAfterMode_readsNameAndMode) {
    // RFC 2347 options follow the mode; the name and mode are still read exactly.
    const Bytes datagram =
        FromText(std::string("\0\x01"
                             "eeprom.bin\0octet\0blksize\0"
                             "1428\0",
                             32));
    const auto request = ParseRequest(datagram);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->name, "eeprom.bin");
    EXPECT_EQ(request->mode, "octet");
}

TEST(PacketOptions, requestWithOptions_carriesWhatWasAskedAndTsize_andReadsBack) {
    std::array<std::uint8_t, 516> out{};
    const std::size_t length =
        WriteRequestWithOptions(out, kOpWrq, "image.bin", "octet", {1468, 0}, 4096);
    const auto request = ParseRequest(std::span(out).first(length));
    ASSERT_TRUE(request.has_value());
    const auto options = ParseOptionPairs(request->options);
    ASSERT_TRUE(options.has_value());
    ASSERT_EQ(options->count, 2u);  // no windowsize unless one is asked
    EXPECT_EQ(options->pairs[0].name, "blksize");
    EXPECT_EQ(options->pairs[0].value, "1468");
    EXPECT_EQ(options->pairs[1].name, "tsize");
    EXPECT_EQ(options->pairs[1].value, "4096");
    EXPECT_EQ(WriteRequestWithOptions(out, kOpWrq, "image.bin", "octet", {}, 4096),
              WriteRequest(out, kOpWrq, "image.bin", "octet"));
}

// An OACK is judged against what was asked: what it leaves out is not in force; anything not
// asked, named twice, not a number or beyond what was asked refuses it, with the reason.
TEST(PacketOptions, oack_agreesWithinWhatWasAsked_orSaysWhyNot) {
    const auto oack = [](std::string_view pairs) {
        Bytes packet(2 + pairs.size(), 0);
        packet[1] = kOpOack;
        std::copy(pairs.begin(), pairs.end(), packet.begin() + 2);
        return packet;
    };
    using namespace std::string_view_literals;
    const struct {
        const char* label;
        Bytes packet;
        AskedOptions asked;
        Agreement agreed;  // when problem is empty
        std::string problem;
    } rows[] = {
        {"all three",
         oack("blksize\0"
              "1468\0windowsize\0"
              "16\0tsize\0"
              "99\0"sv),
         {1468, 16},
         {1468, 16, 99},
         ""},
        {"smaller, any case, one left out",
         oack("BlkSize\0"
              "1024\0"sv),
         {1468, 16},
         {1024, 1, -1},
         ""},
        {"nothing in it", oack(""), {1468, 0}, {512, 1, -1}, ""},
        {"a larger block",
         oack("blksize\0"
              "1469\0"sv),
         {1468, 0},
         {},
         "blksize 1469 out of range"},
        {"a block below 8",
         oack("blksize\0"
              "7\0"sv),
         {1468, 0},
         {},
         "blksize 7 out of range"},
        {"a window of 0",
         oack("windowsize\0"
              "0\0"sv),
         {0, 8},
         {},
         "windowsize 0 out of range"},
        {"a window not asked",
         oack("windowsize\0"
              "4\0"sv),
         {1468, 0},
         {},
         "an option that was not asked for"},
        {"unknown",
         oack("timeout\0"
              "5\0"sv),
         {1468, 0},
         {},
         "an option that was not asked for"},
        {"named twice",
         oack("tsize\0"
              "1\0tsize\0"
              "1\0"sv),
         {1468, 0},
         {},
         "tsize named twice"},
        {"not a number",
         oack("blksize\0"
              "+512\0"sv),
         {1468, 0},
         {},
         "blksize without a number"},
        {"unterminated",
         oack("blksize\0"
              "512"sv),
         {1468, 0},
         {},
         "malformed option list"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const OackReading reading = ReadOack(row.packet, row.asked);
        EXPECT_EQ(reading.problem, row.problem);
        EXPECT_EQ(reading.agreed.has_value(), row.problem.empty());
        if (reading.agreed) {
            EXPECT_EQ(*reading.agreed, row.agreed);
        }
    }
}

TEST(PacketTables, namesAndMessages_coverStandardValues_andNameTheRest) {
    EXPECT_STREQ(OpcodeName(1), "RRQ");
    EXPECT_STREQ(OpcodeName(5), "ERROR");
    EXPECT_STREQ(OpcodeName(0), "UNKNOWN");
    EXPECT_STREQ(OpcodeName(6), "UNKNOWN");
    EXPECT_STREQ(ErrorMessage(0), "Not defined, see error message");
    EXPECT_STREQ(ErrorMessage(7), "No such user");
    EXPECT_STREQ(ErrorMessage(8), "Unknown error code");
    EXPECT_STREQ(ErrorMessage(-1), "Unknown error code");
    EXPECT_STREQ(TransferModeName(1), "octet");
    EXPECT_EQ(TransferModeName(3), nullptr);
}

}  // namespace
}  // namespace kalvoran::tftp

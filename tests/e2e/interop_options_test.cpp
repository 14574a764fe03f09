// Transfers with options against real TFTP servers from Debian, run through an AgentLink as a
// fleet worker runs one: tftpd-hpa agrees to blksize and tsize and leaves windowsize out of its
// answer (so one block at a time), atftpd agrees to all three. Each server serves a folder of the
// test's own on an address of its own; every copy is compared byte for byte, and the status log
// must name exactly what was agreed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/AtftpdProcess.h"
#include "support/Pattern.h"
#include "support/TempDir.h"
#include "support/TftpdProcess.h"
#include "tftp/AgentLink.h"
#include "tftp/TransferTypes.h"

namespace kalvoran::testing {
namespace {

constexpr std::size_t kBlock = 1468;  // an Ethernet frame's worth of data

// The status log as the link writes it, line by line.
class LogLines final : public LinkObserver {
public:
    void StatusLine(std::string_view text) override { lines.emplace_back(text); }
    std::vector<std::string> lines;
};

struct LinkRun {
    ChainOutcome chain;
    std::vector<std::string> log;
};

// One chain on a link of its own, built as a fleet worker builds it: nobody watches, so the End
// step waits for no late datagram.
LinkRun RunLink(const Transfer& transfer) {
    LogLines observer;
    ConsoleReport console(nullptr, nullptr);
    StatusDisplay display(observer, console);
    SystemClock clock;
    AgentLink link(display, clock, LinkSetup{false, nullptr, nullptr});
    LinkRun run{transfer.type == READ_EEPROM_FILE ? link.Fetch(transfer) : link.Send(transfer), {}};
    link.Release();
    run.log = std::move(observer.lines);
    return run;
}

// One transfer: the options asked, the file's length, and the line the log must hold once.
struct OptionCase {
    tftp::AskedOptions asked;
    std::size_t length;
    const char* agreed;
};

class InteropOptions : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root: the servers listen on port 69 and the link pings";
        }
        std::filesystem::create_directories(served);
    }

    // Sends a file of each case's length as an application image and compares the server's
    // image.bin with it. The server writes in a process or thread of its own, which may finish
    // just after the last acknowledgement.
    void ExpectSends(std::uint8_t last, const std::vector<OptionCase>& cases) {
        unsigned seed = 1;
        for (const OptionCase& row : cases) {
            SCOPED_TRACE(row.agreed);
            const std::string content = PatternString(row.length, seed++);
            WriteFileBytes(dir.File("app.bin"), content);
            std::filesystem::remove(served / "image.bin");
            const LinkRun run = RunLink(Transfer{
                APPLICATION_UPGRADE, dir.File("app.bin"), {127, 0, 29, last}, {row.asked, {}}});
            EXPECT_EQ(run.chain.end, ChainEnd::Success) << run.chain.reason;
            ExpectAgreedOnce(run.log, row.agreed);
            bool same = false;
            for (int wait = 0; wait < 20 && !same; ++wait) {
                same = ReadFileBytes((served / "image.bin").string()) == content;
                if (!same) {
                    ::usleep(100000);
                }
            }
            EXPECT_TRUE(same) << "the server's image.bin differs from the file sent";
        }
    }

    // Fetches an EEPROM image of each case's length and compares the local copy with it.
    void ExpectFetches(std::uint8_t last, const std::vector<OptionCase>& cases) {
        unsigned seed = 11;
        for (const OptionCase& row : cases) {
            SCOPED_TRACE(row.agreed);
            const std::string content = PatternString(row.length, seed++);
            WriteFileBytes((served / "eeprom.bin").string(), content);
            const std::string copy = dir.File("eeprom-copy.bin");
            std::filesystem::remove(copy);
            const LinkRun run =
                RunLink(Transfer{READ_EEPROM_FILE, copy, {127, 0, 29, last}, {row.asked, {}}});
            EXPECT_EQ(run.chain.end, ChainEnd::Success) << run.chain.reason;
            ExpectAgreedOnce(run.log, row.agreed);
            EXPECT_TRUE(ReadFileBytes(copy) == content) << "the copy differs from eeprom.bin";
        }
    }

    static void ExpectAgreedOnce(const std::vector<std::string>& log, const std::string& line) {
        EXPECT_EQ(std::count(log.begin(), log.end(), line), 1) << [&log] {
            std::string all;
            for (const std::string& logged : log) {
                all += logged + '\n';
            }
            return all;
        }();
    }

    TempDir dir;
    const std::filesystem::path served = dir.Path() / "served";
};

// tftpd-hpa answers windowsize by leaving it out: not in force, the window stays one block.
TEST_F(InteropOptions, TftpdHpaTakesImagesInBlocksOfTheAgreedSize) {
    if (!TftpdProcess::Available()) {
        GTEST_SKIP() << TftpdProcess::kProgram << " is not installed (tftpd-hpa)";
    }
    TftpdProcess server;
    ASSERT_TRUE(server.Start("127.0.29.1", served.string())) << server.Output();
    ExpectSends(
        1, {
               {{1468, 0}, 100000, "Options agreed: blksize 1468, tsize 100000"},
               {{1468, 16}, 40 * kBlock, "Options agreed: blksize 1468, windowsize 1, tsize 58720"},
           });
}

TEST_F(InteropOptions, TftpdHpaServesTheEepromImageInBlocksOfTheAgreedSize) {
    if (!TftpdProcess::Available()) {
        GTEST_SKIP() << TftpdProcess::kProgram << " is not installed (tftpd-hpa)";
    }
    TftpdProcess server;
    ASSERT_TRUE(server.Start("127.0.29.2", served.string())) << server.Output();
    ExpectFetches(
        2, {
               {{1468, 16}, 32768, "Options agreed: blksize 1468, windowsize 1, tsize 32768"},
               {{1468, 0}, 22 * kBlock, "Options agreed: blksize 1468, tsize 32296"},
           });
}

// atftpd agrees to windows: whole windows, a window cut short by the end, and a last block that
// is empty because the length is a multiple of the block size.
TEST_F(InteropOptions, AtftpdTakesImagesInWindowsOfTheAgreedSize) {
    if (!AtftpdProcess::Available()) {
        GTEST_SKIP() << AtftpdProcess::kProgram << " is missing (tools/install-deps.sh unpacks it)";
    }
    AtftpdProcess server;
    ASSERT_TRUE(server.Start("127.0.29.3", served.string())) << server.Output();
    ExpectSends(
        3,
        {
            {{1468, 16}, 100000, "Options agreed: blksize 1468, windowsize 16, tsize 100000"},
            {{1468, 16}, 32 * kBlock, "Options agreed: blksize 1468, windowsize 16, tsize 46976"},
            {{0, 8}, 24 * 512, "Options agreed: windowsize 8, tsize 12288"},
        });
    // The server's own account: it used what our log says was agreed.
    const std::string log = server.Output();
    EXPECT_NE(log.find("windowsize option -> 16"), std::string::npos) << log;
    EXPECT_NE(log.find("windowsize option -> 8"), std::string::npos) << log;
}

TEST_F(InteropOptions, AtftpdServesTheEepromImageInWindowsOfTheAgreedSize) {
    if (!AtftpdProcess::Available()) {
        GTEST_SKIP() << AtftpdProcess::kProgram << " is missing (tools/install-deps.sh unpacks it)";
    }
    AtftpdProcess server;
    ASSERT_TRUE(server.Start("127.0.29.4", served.string())) << server.Output();
    ExpectFetches(
        4,
        {
            {{1468, 16}, 32768, "Options agreed: blksize 1468, windowsize 16, tsize 32768"},
            {{1468, 16}, 22 * kBlock, "Options agreed: blksize 1468, windowsize 16, tsize 32296"},
            {{0, 4}, 32768, "Options agreed: windowsize 4, tsize 32768"},
        });
    const std::string log = server.Output();
    EXPECT_NE(log.find("windowsize option -> 4"), std::string::npos) << log;
}

}  // namespace
}  // namespace kalvoran::testing

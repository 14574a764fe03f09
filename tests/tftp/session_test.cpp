// The send, fetch and status sessions end to end in simulated time: the real client core, its
// channel and ping service (through the scripted ICMP module) against the simulated agent's
// protocol machine behind a simulated socket. What the agent stored, the log, the boxes, the
// result codes and the command-line streams are checked; 20-second waits take no time.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent-sim/AgentFiles.h"
#include "support/AgentOnWire.h"
#include "support/ArgumentVector.h"
#include "support/FakeClock.h"
#include "support/Pattern.h"
#include "support/RecordingDialogView.h"
#include "support/ScriptedPing.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "tftp/AgentLink.h"
#include "tftp/FetchSession.h"
#include "tftp/StatusReport.h"
#include "tftp/TftpClient.h"
#include "tftp/ViewObserver.h"

namespace kalvoran {
namespace {

using fakes::AgentOnWire;
using testing::PatternString;
using testing::ReadFileBytes;
using testing::RecordingDialogView;
using testing::TempDir;
using testing::Text;
using testing::WriteFileBytes;
using Lines = std::vector<std::string>;

constexpr net::Octets kAgent = {127, 0, 3, 90};

std::string StreamText(std::FILE* stream) {
    std::fflush(stream);
    std::rewind(stream);
    std::string text;
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

class SessionTest : public ::testing::Test {
public:
    ~SessionTest() override {
        std::fclose(log);
        std::fclose(failures);
    }

    // A client whose agent answers pings (unless pingAnswered says otherwise) and runs the
    // simulated agent with these settings; started interactively, or with a command line.
    void Start(agentsim::Settings settings = {}, std::vector<std::string> commandLine = {}) {
        ping.answer = [this](std::uint32_t, std::uint32_t timeoutMs) {
            clock.Advance(pingAnswered ? 1 : timeoutMs);
            return pingAnswered;
        };
        wire =
            std::make_unique<AgentOnWire>(clock, net::ToStorageOrder(kAgent), std::move(settings));
        client = std::make_unique<TftpClient>(view, clock, dir.File("KalvoranTFTPclient.INI"),
                                              ClientIo{log, failures, wire.get(), ping.Path()});
        // The engine the window's buttons drive, run on its own on the same window and agent.
        link.reset();
        rig = std::make_unique<LinkRig>(view, log, failures);
        link = std::make_unique<AgentLink>(rig->display, clock,
                                           LinkSetup{true, wire.get(), ping.Path()});
        client->InitDialog(
            testing::ParseArguments(ParseCommandLine, commandLine, "KalvoranTFTPclient"));
        view.statusLog.clear();
        view.addressFields = kAgent;
    }
    // An agent whose status says finalText at once after a send of a small image.
    void AgentThatReportsAfterASend(const char* finalText) {
        WriteFileBytes(dir.File("app.bin"), PatternString(100));
        agentsim::Settings settings;
        settings.statusSteps = 0;
        settings.statusFinal = finalText;
        Start(settings);
        Select(APPLICATION_UPGRADE, dir.File("app.bin"));
    }
    // What the window's buttons would start now.
    Transfer Download() const { return client->CurrentTransfer(StartButton::DownloadToDevice); }
    Transfer Upload() const { return client->CurrentTransfer(StartButton::UploadFromDevice); }
    void Select(int type, const std::string& download, const std::string& upload = {}) {
        view.selection = type;
        view.downloadField = download;
        view.uploadField = upload;
    }
    static agentsim::Settings WithFault(const std::string& spec, int statusSteps = 0) {
        agentsim::Settings settings;
        settings.statusSteps = statusSteps;
        settings.faults.push_back(*agentsim::ParseFault(spec));
        return settings;
    }
    // The log from its last "Connection closed" on: the end of the last session.
    Lines LastEnd() const {
        const auto last =
            std::find(view.statusLog.rbegin(), view.statusLog.rend(), "Connection closed");
        return {last == view.statusLog.rend() ? view.statusLog.end() : (last + 1).base(),
                view.statusLog.end()};
    }
    bool Logged(const std::string& line) const {
        return std::find(view.statusLog.begin(), view.statusLog.end(), line) !=
               view.statusLog.end();
    }
    int RequestsSent() const {
        return static_cast<int>(std::count_if(
            wire->Sent().begin(), wire->Sent().end(),
            [](auto& d) { return d.bytes[1] == tftp::kOpRrq || d.bytes[1] == tftp::kOpWrq; }));
    }

    TempDir dir;
    RecordingDialogView view;
    fakes::FakeClock clock;
    fakes::ScriptedPing ping;
    bool pingAnswered = true;
    std::FILE* log = std::tmpfile();
    std::FILE* failures = std::tmpfile();
    std::unique_ptr<AgentOnWire> wire;
    std::unique_ptr<TftpClient> client;
    struct LinkRig {
        LinkRig(RecordingDialogView& view, std::FILE* log, std::FILE* failures)
            : observer(view), console(log, failures), display(observer, console) {}
        ViewObserver observer;
        ConsoleReport console;
        StatusDisplay display;
    };
    std::unique_ptr<LinkRig> rig;
    std::unique_ptr<AgentLink> link;
};

const Lines kFlashEnd = {"Connection closed", "  ", "  ",
                         "Please wait while the flash process is being finalized.",
                         "The card will reset at the completion of the flash."};
const Lines kFailedEnd = {"Connection closed", "  ", "  "};

// --- send ---

class SendSizes : public SessionTest, public ::testing::WithParamInterface<int> {};

TEST_P(SendSizes, CommandLineRunDeliversTheFileByteForByte) {
    const int size = GetParam();
    const std::string path = dir.File("app.bin");
    const std::string content = PatternString(static_cast<std::size_t>(size));
    WriteFileBytes(path, content);
    Start({}, {"image", path, "127.0.3.90"});
    client->OnDownloadToDevice();

    EXPECT_EQ(view.exitRequests, std::vector<int>{kResultSuccess});
    EXPECT_EQ(Text(*wire->storage.Load("image.bin")), content);
    const int blocks = size / 512;
    EXPECT_EQ(wire->DataPacketsSent(), blocks + 1) << "one packet per block, none twice";
    EXPECT_EQ(view.progressMaximum, blocks + (size % 512 != 0 ? 1 : 0));
    EXPECT_EQ(view.progressPos, 0);
    EXPECT_EQ(view.statFields[StatField::FileLength], std::to_string(size) + " bytes");
    // The box moves in steps of 8192 bytes and ends at the exact length.
    ASSERT_FALSE(view.byteCounts.empty());
    EXPECT_EQ(view.byteCounts.back(), std::to_string(size));
    for (std::size_t i = 1; i + 2 < view.byteCounts.size(); ++i) {
        EXPECT_EQ(std::stoi(view.byteCounts[i]) % 8192, 0) << view.byteCounts[i];
    }
    EXPECT_EQ(LastEnd(), kFlashEnd);
    // The log on the log stream line for line; nothing on the failure stream.
    std::string expected;
    for (const std::string& line : view.statusLog) {
        expected += line + "\n";
    }
    EXPECT_NE(StreamText(log).find(expected), std::string::npos);
    EXPECT_EQ(StreamText(failures), "");
    EXPECT_TRUE(view.errorBoxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Boundaries, SendSizes,
                         ::testing::Values(1, 511, 512, 513, 1024, 8000, 8192, 100000));

struct Refusal {
    const char* label;
    int type;
    const char* name;
    std::int64_t size;  // -1: no file
    const char* box;    // text of the box before the path, or nullptr
    const char* line;   // status line before the path, or nullptr
    // The reason the outcome (and a command-line run's failure stream) gives where neither box
    // nor status line says anything.
    const char* silentReason = nullptr;
};

TEST_F(SessionTest, RefusedFilesEndWithCode2BeforeTheRequest) {
    const Refusal refusals[] = {
        {"type that sends nothing", READ_EEPROM_FILE, "app.bin", 10, nullptr,
         "!!!WRONG TRANSFER TYPE!!!"},
        {"case-sensitive name test", SEND_FILE_TO_FILE_SYSTEM, "logo.GIF", 10, "Invalid file type!",
         nullptr},
        {"firmware name", APPLICATION_UPGRADE, "app.txt", 10, "Invalid file type!", nullptr},
        {"missing file", APPLICATION_UPGRADE, "gone.bin", -1, "Failed to open file: ", nullptr},
        {"empty file", APPLICATION_UPGRADE, "empty.bin", 0, nullptr, nullptr, "Empty file: "},
        {"bootloader over its limit", BOOTLOADER_UPGRADE, "rom.bin", 131073,
         "!! File too big for a bootloader image !!: ", nullptr},
        {"file-system file over its limit", SEND_FILE_TO_FILE_SYSTEM, "logo.gif", 262145,
         "!! File too big for file system !!: ", nullptr},
        {"agent-side name over 19 characters", SEND_FILE_TO_FILE_SYSTEM, "a-long-picture-name.gif",
         10, nullptr, "Agent file name too long (at most 19 characters): a-long-picture-name.gif"},
        {"65535 full blocks", APPLICATION_UPGRADE, "huge.bin", 65535 * 512,
         "!! File too big for a TFTP transfer (at most 33553919 bytes) !!: ", nullptr},
        {"a FIFO", APPLICATION_UPGRADE, "x.bin", -2, "Failed to open file: ", nullptr},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.label);
        const std::string path = dir.File(r.name);
        ::unlink(path.c_str());
        if (r.size >= 0) {
            WriteFileBytes(path, PatternString(std::min<std::int64_t>(r.size, 16)));
            ASSERT_EQ(::truncate(path.c_str(), r.size), 0);  // sparse: large sizes cost nothing
        } else if (r.size == -2) {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        }
        view.errorBoxes.clear();
        Start();
        Select(r.type, path);
        const ChainOutcome chain = link->Send(Download());
        EXPECT_EQ(chain.end, ChainEnd::Refused);
        EXPECT_EQ(link->ResultCode(), kResultRefused);
        EXPECT_TRUE(link->FailureFlag());
        EXPECT_EQ(RequestsSent(), 0);
        EXPECT_EQ(LastEnd(), kFailedEnd);
        if (r.box != nullptr) {
            const std::string withPath = std::string(r.box).ends_with(": ") ? r.box + path : r.box;
            EXPECT_EQ(view.errorBoxes, Lines{withPath});
        }
        if (r.line != nullptr) {
            const std::string withPath =
                std::string(r.line).ends_with(": ") ? r.line + path : r.line;
            EXPECT_TRUE(Logged(withPath)) << withPath;
        }
        // The outcome names the reason the operator was shown, or the one a script is told.
        const char* said = r.box != nullptr ? r.box : r.line != nullptr ? r.line : r.silentReason;
        EXPECT_EQ(chain.reason,
                  std::string(said).ends_with(": ") ? said + path : std::string(said));
        if (r.silentReason != nullptr) {
            EXPECT_FALSE(Logged(said + path)) << "the status log shows only the session's end";
            EXPECT_TRUE(view.errorBoxes.empty());
        }
        EXPECT_TRUE(view.exitRequests.empty());
    }
}

TEST_F(SessionTest, LimitsAreInclusiveAndFileSystemFilesKeepTheirOwnName) {
    const struct {
        int type;
        const char* name;
        int size;
        const char* stored;
        std::size_t endLines;  // the three fixed lines and the type's completion lines
    } accepted[] = {{BOOTLOADER_UPGRADE, "boot.cmd", 131072, "rom.bin", 3},
                    {SEND_FILE_TO_FILE_SYSTEM, "logo.gif", 262144, "logo.gif", 4},
                    {APPLICATION_UPGRADE, "settings.cfg", 700, "image.bin", 5}};
    for (const auto& a : accepted) {
        SCOPED_TRACE(a.name);
        const std::string content = PatternString(static_cast<std::size_t>(a.size));
        WriteFileBytes(dir.File(a.name), content);
        Start();
        Select(a.type, dir.File(a.name));
        ASSERT_EQ(link->Send(Download()).end, ChainEnd::Success);
        EXPECT_EQ(link->ResultCode(), kResultSuccess);
        EXPECT_EQ(Text(*wire->storage.Load(a.stored)), content);
        EXPECT_EQ(LastEnd().size(), a.endLines);
    }
}

TEST_F(SessionTest, NetworkFailuresEndTheSendWithTheirCodeAndReason) {
    const struct {
        const char* label;
        std::function<void(SessionTest&)> arrange;
        int code;
        const char* box;
        const char* linePrefix;
    } cases[] = {
        {"no ping answer", [](SessionTest& t) { t.pingAnswered = false; }, kResultNoPingAnswer,
         nullptr, "Unable to contact server."},
        {"ERROR to the request",
         [](SessionTest& t) { t.Start(WithFault("error:image.bin:2:read-only")); },
         kResultNetworkFailure, "Server error TFTPERROR",
         "ERROR: error code: 2 msg: Access violation \r\nerror msg: read-only"},
        {"agent stops answering", [](SessionTest& t) { t.Start(WithFault("stall:3")); },
         kResultNetworkFailure, "Destination Unreachable", "Time out on ACK. block: 4"},
        {"nobody at the address",
         [](SessionTest& t) {
             t.view.addressFields = {127, 0, 3, 91};
         },
         kResultNetworkFailure, "Destination Unreachable", "Time out on ACK. block: 0"},
        {"socket takes nothing", [](SessionTest& t) { t.wire->RefuseSendsUntil(INT64_MAX); },
         kResultNetworkFailure, nullptr, "Time out on PUT. block: 1"},
    };
    for (const auto& f : cases) {
        SCOPED_TRACE(f.label);
        pingAnswered = true;
        view.errorBoxes.clear();
        WriteFileBytes(dir.File("app.bin"), PatternString(5000));
        Start();
        f.arrange(*this);
        Select(APPLICATION_UPGRADE, dir.File("app.bin"));
        const std::int64_t start = clock.Milliseconds();
        client->OnDownloadToDevice();
        EXPECT_EQ(client->State().resultCode, f.code);
        EXPECT_EQ(view.errorBoxes, f.box != nullptr ? Lines{f.box} : Lines{});
        EXPECT_TRUE(Logged(f.linePrefix)) << f.linePrefix;
        EXPECT_EQ(LastEnd(), kFailedEnd);
        EXPECT_FALSE(Logged("Getting Status (if available): ")) << "no status after a failure";
        if (f.code == kResultNoPingAnswer) {
            EXPECT_EQ(RequestsSent(), 0);
            EXPECT_GE(clock.Milliseconds() - start, 19000);
        }
    }
}

TEST_F(SessionTest, UnansweredRequestIsRepeatedToPort69SixTimes) {
    WriteFileBytes(dir.File("app.bin"), PatternString(100));
    Start();
    view.addressFields = {127, 0, 3, 91};
    Select(APPLICATION_UPGRADE, dir.File("app.bin"));
    EXPECT_EQ(link->Send(Download()).end, ChainEnd::NetworkFailure);
    EXPECT_EQ(RequestsSent(), 6);
    for (const auto& datagram : wire->Sent()) {
        EXPECT_EQ(datagram.peer.port, 69);
    }
}

TEST_F(SessionTest, LostAndRepeatedAcknowledgementsStillDeliverTheFile) {
    for (const char* fault : {"drop:3", "duplicate:5", "delay:2:2500", "wrong-port:4", "stray:6",
                              "short:2", "oversize:7"}) {
        SCOPED_TRACE(fault);
        const std::string content = PatternString(6000);
        WriteFileBytes(dir.File("app.bin"), content);
        Start(WithFault(fault));
        Select(APPLICATION_UPGRADE, dir.File("app.bin"));
        EXPECT_EQ(link->Send(Download()).end, ChainEnd::Success);
        EXPECT_EQ(Text(*wire->storage.Load("image.bin")), content);
        // Every DATA packet went to the port the agent answered the request from.
        for (const auto& datagram : wire->Sent()) {
            if (datagram.bytes[1] == tftp::kOpData) {
                EXPECT_EQ(datagram.peer.port, AgentOnWire::kFirstTransferPort + 1);
            }
        }
    }
}

TEST_F(SessionTest, InteractiveSendPollsTheStatusUntilTheAgentReportsAnOutcome) {
    WriteFileBytes(dir.File("app.bin"), PatternString(3000));
    agentsim::Settings settings;
    settings.statusSteps = 2;
    Start(settings);
    Select(APPLICATION_UPGRADE, dir.File("app.bin"));
    client->OnDownloadToDevice();
    EXPECT_EQ(client->State().resultCode, kResultSuccess);
    const auto poll =
        std::find(view.statusLog.begin(), view.statusLog.end(), "Getting Status (if available): ");
    ASSERT_NE(poll, view.statusLog.end());
    EXPECT_EQ(Lines(poll - 5, poll), kFlashEnd);
    EXPECT_TRUE(Logged("Programming flash: step 1 of 2"));
    EXPECT_TRUE(Logged("Programming flash: step 2 of 2"));
    EXPECT_EQ(view.statusLog.back(), "  ");
    EXPECT_TRUE(Logged("Memory compare Flash/Ram is OK"));
    // Controls were disabled while it ran, and are set by the type's rules again.
    EXPECT_TRUE(view.enabled[DialogControl::DownloadToDevice]);
    EXPECT_TRUE(view.enabled[DialogControl::TransferTypeList]);
    EXPECT_TRUE(view.enabled[DialogControl::Ping]);
    EXPECT_FALSE(view.enabled[DialogControl::UploadFromDevice]);
}

TEST_F(SessionTest, ClosingTheWindowCancelsTheSend_andACommandLineRunExitsWith2) {
    for (const bool commandLine : {false, true}) {
        SCOPED_TRACE(commandLine ? "command line" : "interactive");
        const std::string path = dir.File("app.bin");
        WriteFileBytes(path, PatternString(50000));
        view.exitRequests.clear();
        Start({}, commandLine ? std::vector<std::string>{"image", path, "127.0.3.90"}
                              : std::vector<std::string>{});
        Select(APPLICATION_UPGRADE, path);
        bool closed = false;
        view.onPump = [&] {
            if (!closed && wire->DataPacketsSent() >= 20) {
                closed = true;
                client->OnCancel();
            }
        };
        client->OnDownloadToDevice();
        view.onPump = nullptr;
        EXPECT_EQ(client->State().resultCode, kResultRefused);
        EXPECT_LT(wire->DataPacketsSent(), 22);
        EXPECT_EQ(std::count(view.statusLog.begin(), view.statusLog.end(), "Connection closed"), 2);
        ASSERT_FALSE(view.exitRequests.empty());
        EXPECT_EQ(view.exitRequests.front(), commandLine ? kResultRefused : kResultSuccess);
    }
}

TEST_F(SessionTest, CommandLineRefusalGoesToTheFailureStreamInsteadOfABox) {
    const std::string path = dir.File("app.txt");
    WriteFileBytes(path, "x");
    WriteFileBytes(dir.File("KalvoranTFTPclient.INI"), "[Settings]\ntype=0\n");
    Start({}, {"IMAGE", path, "127.0.3.90"});
    client->OnDownloadToDevice();
    EXPECT_TRUE(view.errorBoxes.empty());
    EXPECT_EQ(view.exitRequests, std::vector<int>{kResultRefused});
    EXPECT_EQ(StreamText(failures),
              "File type \"IMAGE\" names none of image, config, command, filesystem: sending as "
              "the saved transfer type APPLICATION UPGRADE\nInvalid file type!\n");
    EXPECT_TRUE(StreamText(log).ends_with("\nConnection closed\n  \n  \n"));
}

// --- fetch ---

TEST_F(SessionTest, EepromFetchReplacesTheLocalFileWithTheWholeImage) {
    const std::string target = dir.File("dump.bin");
    WriteFileBytes(target, "earlier");
    Start();
    Select(READ_EEPROM_FILE, "", target);
    client->OnUploadFromDevice();
    EXPECT_EQ(client->State().resultCode, kResultSuccess);
    EXPECT_EQ(ReadFileBytes(target), Text(agentsim::EepromImage()));
    EXPECT_EQ(view.progressMaximum, 64);
    EXPECT_EQ(view.byteCounts.back(), "32768");
    EXPECT_EQ(std::count_if(wire->Sent().begin(), wire->Sent().end(),
                            [](auto& d) { return d.bytes[1] == tftp::kOpAck; }),
              65);
    EXPECT_TRUE(Logged("open file: " + target));
    EXPECT_TRUE(Logged("Getting file: eeprom.bin as dump.bin"));
    EXPECT_EQ(view.statusLog.back(), "Transfer complete.");
    EXPECT_TRUE(view.enabled[DialogControl::UploadFromDevice]);
}

// One failure, one box: the session's words, and the system's below them in the same box.
TEST_F(SessionTest, AFetchIntoAFolderThatIsNotThereShowsOneBox) {
    const std::string target = dir.File("gone/dump.bin");
    Start();
    Select(READ_EEPROM_FILE, "", target);
    client->OnUploadFromDevice();
    EXPECT_EQ(client->State().resultCode, kResultRefused);
    EXPECT_EQ(view.errorBoxes,
              Lines{"Failed to open file: " + target + "\n" + "No such file or directory"});
}

TEST_F(SessionTest, RepeatedDataBlockIsAcknowledgedAgainAndWrittenOnce) {
    const std::string target = dir.File("dump.bin");
    Start(WithFault("duplicate:3@eeprom.bin"));
    Select(READ_EEPROM_FILE, "", target);
    EXPECT_EQ(link->Fetch(Upload()).end, ChainEnd::Success);
    EXPECT_EQ(ReadFileBytes(target), Text(agentsim::EepromImage()));
}

TEST_F(SessionTest, FetchThatStopsEarlyFailsAndLeavesTheEarlierFileAsItWas) {
    const struct {
        const char* label;
        int type;
        const char* localName;
        std::function<void(SessionTest&)> arrange;
        int code;
        const char* line;
    } cases[] = {
        {"agent stops sending", READ_EEPROM_FILE, "dump.bin",
         [](SessionTest& t) { t.Start(WithFault("stall:3@eeprom.bin")); }, kResultNetworkFailure,
         "Time out on GET. block: 3"},
        {"ERROR", READ_EEPROM_FILE, "dump.bin",
         [](SessionTest& t) { t.Start(WithFault("error:eeprom.bin:1")); }, kResultNetworkFailure,
         "ACK: error code: 1 msg: File not found"},
        {"more than the image may hold", READ_EEPROM_FILE, "dump.bin",
         [](SessionTest& t) {
             t.Start();
             const std::string big = PatternString(33000);
             t.wire->storage.Store("eeprom.bin", agentsim::Bytes(big.begin(), big.end()));
         },
         kResultNetworkFailure, "The agent sent more than 32768 bytes: transfer stopped."},
        {"name without .bin or .cfg", READ_EEPROM_FILE, "dump.txt",
         [](SessionTest& t) { t.Start(); }, kResultRefused, "invalid file"},
        {"a type that fetches nothing", APPLICATION_UPGRADE, "dump.bin",
         [](SessionTest& t) { t.Start(); }, kResultRefused, "!!!WRONG TRANSFER TYPE!!!"},
        {"window closed", READ_EEPROM_FILE, "dump.bin",
         [](SessionTest& t) {
             t.Start();
             t.view.onPump = [&t] {
                 if (t.RequestsSent() > 0) {
                     t.view.onPump = nullptr;
                     t.link->Close();
                 }
             };
         },
         kResultRefused, nullptr},
    };
    for (const auto& f : cases) {
        SCOPED_TRACE(f.label);
        const std::string target = dir.File(f.localName);
        WriteFileBytes(target, "earlier");
        f.arrange(*this);
        Select(f.type, "", target);
        link->Fetch(Upload());
        EXPECT_EQ(link->ResultCode(), f.code);
        EXPECT_TRUE(link->FailureFlag());
        if (f.line != nullptr) {
            EXPECT_TRUE(Logged(f.line)) << f.line;
        }
        EXPECT_NE(view.statusLog.back(), "Transfer complete.");
        EXPECT_EQ(ReadFileBytes(target), "earlier");
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            EXPECT_FALSE(entry.path().filename().string().starts_with(".kalvoran-"))
                << "nothing of the fetch is left beside the target";
        }
        std::filesystem::remove(target);
    }
}

TEST_F(SessionTest, CreateConfigFileSendsTheRequestPollsAndFetchesTheGeneratedFile) {
    const std::string request = "agent=7\r\nport=all\r\n";
    WriteFileBytes(dir.File("request.cfg"), request);
    agentsim::Settings settings;
    settings.statusSteps = 1;
    Start(settings);
    Select(CREATE_CONFIG_FILE, dir.File("request.cfg"), dir.File("out.cfg"));
    client->OnUploadFromDevice();
    EXPECT_EQ(client->State().resultCode, kResultSuccess);
    const agentsim::Bytes generated =
        agentsim::GenerateConfig(agentsim::Bytes(request.begin(), request.end()));
    EXPECT_EQ(ReadFileBytes(dir.File("out.cfg")), Text(generated));
    EXPECT_EQ(Text(*wire->storage.Load("request.cfg")), request);
    EXPECT_TRUE(Logged("Generating config file: step 1 of 1"));
    EXPECT_TRUE(Logged("Config file done"));
    EXPECT_TRUE(Logged("Getting config file: please wait."));
    EXPECT_TRUE(Logged("Getting file: config.cfg as out.cfg"));
    EXPECT_EQ(view.statusLog.back(), "Transfer complete.");
    // The range follows the announced length.
    const long announced = FetchSession::AnnouncedLength(generated);
    EXPECT_EQ(view.progressMaximum, announced / 512 - (announced % 512 == 0 ? 1 : 0));
}

TEST(FetchHeader, AnnouncedLengthReadsHexadecimalAfterLen) {
    const struct {
        const char* text;
        long length;
    } cases[] = {{"Len:400\r\nx", 0x400}, {"head Len: 0x1F rest", 0x1F},
                 {"Len:-10", -16},        {"Len:zz", 0},
                 {"len:400", -1},         {"", -1}};
    for (const auto& c : cases) {
        const std::string text = c.text;
        EXPECT_EQ(FetchSession::AnnouncedLength(agentsim::Bytes(text.begin(), text.end())),
                  c.length)
            << c.text;
    }
}

// --- status ---

TEST_F(SessionTest, StatusPollEndsOnTheFirstFinalPhrase) {
    const struct {
        const char* finalText;
        StatusVerdict verdict;
        ChainEnd end;
        int attempts;  // status requests made
    } cases[] = {
        {"Memory compare Flash/Ram is OK", StatusVerdict::Ok, ChainEnd::Success, 1},
        {"Config file done", StatusVerdict::ConfigFileDone, ChainEnd::NoFinalStatus, 1},
        {"Config done; Config file done", StatusVerdict::ConfigFileDone, ChainEnd::NoFinalStatus,
         1},
        {"Unable to allocate thread stack", StatusVerdict::JobFailed, ChainEnd::JobFailed, 1},
        {"memory compare flash/ram is ok", StatusVerdict::NotFinal, ChainEnd::NoFinalStatus, 20}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.finalText);
        ASSERT_NO_FATAL_FAILURE(AgentThatReportsAfterASend(c.finalText));
        const std::size_t sentBefore = wire->Sent().size();
        const ChainOutcome chain = link->SendThenPoll(Download());
        EXPECT_EQ(chain.Verdict(), c.verdict);
        EXPECT_EQ(chain.end, c.end);
        EXPECT_EQ(chain.StatusText(), c.finalText);
        EXPECT_EQ(RequestsSent() - 1, c.attempts);
        EXPECT_TRUE(Logged(c.finalText));
        const bool acknowledged =
            std::any_of(wire->Sent().begin() + static_cast<long>(sentBefore), wire->Sent().end(),
                        [](auto& d) { return d.bytes[1] == tftp::kOpAck; });
        EXPECT_EQ(acknowledged, c.verdict == StatusVerdict::NotFinal)
            << "a final status is not acknowledged";
        EXPECT_EQ(view.progressPos, 0);
    }
}

TEST_F(SessionTest, StatusWithoutAnAnswerEndsThePollAtOnce) {
    agentsim::Settings settings;
    settings.retransmits = 0;
    settings.faults.push_back(*agentsim::ParseFault("drop:1@status.bin"));
    WriteFileBytes(dir.File("app.bin"), PatternString(100));
    Start(settings);
    Select(APPLICATION_UPGRADE, dir.File("app.bin"));
    const ChainOutcome polled = link->SendThenPoll(Download());
    EXPECT_EQ(polled.Verdict(), StatusVerdict::None);
    EXPECT_EQ(polled.end, ChainEnd::NoFinalStatus);
    EXPECT_TRUE(
        polled.reason.starts_with("no final status from the agent (Upgrade Status "
                                  "Unavailable: Time out on GET."))
        << polled.reason;
    EXPECT_TRUE(Logged("Upgrade Status Unavailable: "));
    EXPECT_EQ(RequestsSent(), 2) << "the send's request and one status request";

    pingAnswered = false;
    Start();
    const ChainOutcome read = link->ReadStatus(Download());
    EXPECT_EQ(read.end, ChainEnd::NoPingAnswer);
    EXPECT_EQ(RequestsSent(), 0);
    EXPECT_EQ(LastEnd(), kFailedEnd);
    EXPECT_TRUE(Logged("No response from server"));
}

TEST(StatusText, ClassifiesByCaseSensitivePhrases) {
    EXPECT_EQ(StatusReport::Classify(""), StatusReport::kFinal);
    EXPECT_EQ(StatusReport::Classify("Config failed at line 3"), StatusReport::kFinal);
    EXPECT_EQ(StatusReport::Classify("Programming flash: step 1 of 2"), StatusReport::kNotFinal);
    const std::uint8_t payload[] = {'O', 'K', 0, 'x'};
    EXPECT_EQ(StatusReport::TextOf(payload), "OK");
}

// A status text is logged with its control characters shown as \xNN: a line feed the agent
// put in cannot start a log line of its own, and the final phrase after it is still found in
// the text as it came.
TEST_F(SessionTest, StatusTextIsLoggedAsOneEscapedLineAndStillClassifiedOnTheRawText) {
    const struct {
        const char* finalText;
        const char* logged;
        StatusVerdict verdict;
    } cases[] = {
        {"Programming\nMemory compare Flash/Ram is OK",
         "Programming\\x0aMemory compare Flash/Ram is OK", StatusVerdict::Ok},
        {"\x1b]0;title\x07"
         "Config file done\x7f",
         "\\x1b]0;title\\x07Config file done\\x7f", StatusVerdict::ConfigFileDone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        ASSERT_NO_FATAL_FAILURE(AgentThatReportsAfterASend(c.finalText));
        EXPECT_EQ(link->SendThenPoll(Download()).Verdict(), c.verdict);
        EXPECT_EQ(RequestsSent() - 1, 1) << "the first status is final";
        EXPECT_TRUE(Logged(c.logged));
        for (const std::string& line : view.statusLog) {
            EXPECT_EQ(line.find_first_of("\n\r\x1b\x07\x7f"), std::string::npos) << line;
        }
    }
}

}  // namespace
}  // namespace kalvoran

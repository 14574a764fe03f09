#include "files/StoredCrc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/LocalFileFixture.h"
#include "support/TempDir.h"

namespace kalvoran {
namespace {

using testing::TempDir;
using testing::WriteFileBytes;

// The shown text and the reason, as one comparable, printable value.
using Shown = std::pair<std::string, std::string>;

Shown ShownOf(const StoredCrc& crc) {
    return {std::string(crc.text.data()), crc.reason};
}

class StoredCrcTest : public testing::LocalFileFixture {};

struct StoredCase {
    const char* label;
    std::string bytes;
    const char* shown;
};

TEST_F(StoredCrcTest, ShowsTheLastFourBytesInFileOrderAndRewindsTheFile) {
    const std::string body = "firmware body ";
    const StoredCase cases[] = {
        {"dead beef", body + "\xDE\xAD\xBE\xEF", "DEADBEEF"},
        {"reversed", body + "\xEF\xBE\xAD\xDE", "EFBEADDE"},
        {"dump order", body + std::string("\x12\xAB\x00\xFF", 4), "12AB00FF"},
        {"exactly four bytes", "\x01\x23\x45\x67", "01234567"},
        {"zero bytes stored", body + std::string(4, '\0'), "00000000"},
        {"one full block", std::string(508, 'x') + "\xCA\xFE\xBA\xBE", "CAFEBABE"},
        {"three bytes", "abc", "30000000"},
        {"one byte", "a", "30000000"},
        {"empty", "", "30000000"},
    };
    for (const StoredCase& c : cases) {
        const std::string path = dir.File("app.bin");
        WriteFileBytes(path, c.bytes);
        ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
        EXPECT_EQ(ShownOf(ReadStoredCrc(file)), Shown(c.shown, "")) << c.label;
        // The send session reads the file from its first byte right after this.
        EXPECT_EQ(file.Seek(1, 0), 0) << c.label;
        if (c.bytes.size() >= 2) {
            char first[2] = {};
            EXPECT_EQ(file.Read(first, 2).count, 2);
            EXPECT_EQ(std::string(first, 2), c.bytes.substr(0, 2)) << c.label;
        }
    }
}

TEST_F(StoredCrcTest, FileLeftMidwayIsStillReadFromItsTail) {
    const std::string path = dir.File("app.bin");
    WriteFileBytes(path, "0123456789\x11\x22\x33\x44");
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
    ASSERT_EQ(file.Seek(0, 5), 5);
    EXPECT_EQ(ShownOf(ReadStoredCrc(file)), Shown("11223344", ""));
    EXPECT_EQ(file.Seek(1, 0), 0);
}

TEST_F(StoredCrcTest, NoFileHeldShowsUnavailableWithoutAReason) {
    EXPECT_EQ(ShownOf(ReadStoredCrc(file)), Shown("30000000", ""));
}

TEST_F(StoredCrcTest, UnseekableFileShowsUnavailableWithoutAReason) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::write(ends[1], "\xDE\xAD\xBE\xEF", 4), 4);
    const std::string path = dir.File("app.bin");
    WriteFileBytes(path, "abcd");
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
    // The held descriptor now refers to the pipe's reading end.
    ASSERT_EQ(::dup2(ends[0], file.Descriptor()), file.Descriptor());
    ::close(ends[0]);
    EXPECT_EQ(ShownOf(ReadStoredCrc(file)), Shown("30000000", ""));
    char left[4] = {};
    ASSERT_EQ(::read(file.Descriptor(), left, 4), 4);
    EXPECT_EQ(std::string(left, 4), "\xDE\xAD\xBE\xEF");  // nothing was taken from the pipe
    ::close(ends[1]);
}

TEST_F(StoredCrcTest, ReadErrorShowsZerosWithUnexpectedEofAndRewinds) {
    const std::string path = dir.File("app.bin");
    WriteFileBytes(path, "0123456789\xDE\xAD\xBE\xEF");
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
    // Swap in a write-only descriptor of the same file: seeks work, reads fail.
    const int writeOnly = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writeOnly, 0);
    ASSERT_EQ(::dup2(writeOnly, file.Descriptor()), file.Descriptor());
    ::close(writeOnly);
    EXPECT_EQ(ShownOf(ReadStoredCrc(file)), Shown("00000000", "unexpected EOF"));
    EXPECT_EQ(file.Seek(1, 0), 0);
    // Asking again gives the same: nothing was left behind by the failed read.
    EXPECT_EQ(ShownOf(ReadStoredCrc(file)), Shown("00000000", "unexpected EOF"));
}

// A file that answers from a script, for outcomes a regular file does not give after a
// successful seek (a read that stops after one to three bytes) and for seeing the calls made.
struct ScriptedFile {
    std::int32_t readResult = 4;
    std::string readBytes = "\xAA\xBB\xCC\xDD";
    std::string readReason;
    std::int64_t failSeekNumber = -1;  // which seek call (0-based) reports -1
    std::vector<std::pair<int, std::int32_t>> seeks;
    std::vector<std::int32_t> readCounts;  // what each read asked for

    std::int64_t Seek(int origin, std::int32_t offset) {
        const bool fail = static_cast<std::int64_t>(seeks.size()) == failSeekNumber;
        seeks.emplace_back(origin, offset);
        return fail ? -1 : 0;
    }
    FileResult Read(void* buffer, std::int32_t count) {
        readCounts.push_back(count);
        std::memcpy(buffer, readBytes.data(),
                    std::min(readBytes.size(), static_cast<std::size_t>(count)));
        return {readResult, readReason};
    }
};

using SeekList = std::vector<std::pair<int, std::int32_t>>;
const SeekList kUsualSeeks = {{0, 0}, {2, 0}, {2, -4}, {0, 0}};

struct ScriptCase {
    const char* label;
    std::int32_t readResult;
    std::string readBytes;
    std::int64_t failSeekNumber;
    const char* shown;
    SeekList seeks;
    std::size_t reads;
};

TEST(StoredCrcScript, EveryOutcomeOfTheSeeksAndTheRead) {
    const ScriptCase cases[] = {
        {"four bytes", 4, "\xAA\xBB\xCC\xDD", -1, "AABBCCDD", kUsualSeeks, 1},
        {"three bytes", 3, "\xAA\xBB\xCC", -1, "AABBCC00", kUsualSeeks, 1},
        {"two bytes", 2, "\xAA\xBB", -1, "AABB0000", kUsualSeeks, 1},
        {"one byte", 1, "\xAA", -1, "AA000000", kUsualSeeks, 1},
        {"nothing read", 0, "", -1, "30000000", {{0, 0}, {2, 0}, {2, -4}, {0, 0}, {0, 0}}, 1},
        // A failed read leaves nothing of what the buffer may have received.
        {"read error", -1, "\x11\x22\x33\x44", -1, "00000000", kUsualSeeks, 1},
        {"first seek fails", 4, "\xAA\xBB\xCC\xDD", 0, "30000000", {{0, 0}, {0, 0}, {0, 0}}, 0},
        {"end seek fails",
         4,
         "\xAA\xBB\xCC\xDD",
         1,
         "30000000",
         {{0, 0}, {2, 0}, {0, 0}, {0, 0}},
         0},
        {"too short",
         4,
         "\xAA\xBB\xCC\xDD",
         2,
         "30000000",
         {{0, 0}, {2, 0}, {2, -4}, {0, 0}, {0, 0}},
         0},
        {"rewind fails", 4, "\xAA\xBB\xCC\xDD", 3, "30BBCCDD", kUsualSeeks, 1},
    };
    for (const ScriptCase& c : cases) {
        // The reason is the read's, whatever it says, and there is none when no read was made.
        for (const char* readReason : {"", "scripted reason"}) {
            ScriptedFile scripted;
            scripted.readResult = c.readResult;
            scripted.readBytes = c.readBytes;
            scripted.readReason = readReason;
            scripted.failSeekNumber = c.failSeekNumber;
            const std::string reason = c.reads > 0 ? readReason : "";
            EXPECT_EQ(ShownOf(detail::ReadStoredCrcFrom(scripted)), Shown(c.shown, reason))
                << c.label;
            EXPECT_EQ(scripted.seeks, c.seeks) << c.label;
            EXPECT_EQ(scripted.readCounts, std::vector<std::int32_t>(c.reads, 4)) << c.label;
        }
    }
}

}  // namespace
}  // namespace kalvoran

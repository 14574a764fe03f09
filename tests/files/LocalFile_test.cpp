#include "files/LocalFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "support/LocalFileFixture.h"
#include "support/Pattern.h"
#include "support/TempDir.h"

namespace kalvoran {
namespace {

using testing::Outcome;
using testing::OutcomeOf;
using testing::PatternString;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

bool Exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

bool DescriptorIsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

class LocalFileTest : public testing::LocalFileFixture {};

struct FileNameCase {
    const char* path;
    const char* name;
};

TEST(FileNameOf, TakesThePartAfterTheLastBackslashOrSlash) {
    const FileNameCase cases[] = {
        {"C:\\dir/name.bin", "name.bin"},
        {"name.bin", "name.bin"},
        {"C:\\agents\\app.bin", "app.bin"},
        {"/home/op/fw/app.bin", "app.bin"},
        {"dir/sub\\x.cfg", "x.cfg"},
        {"dir\\sub/x.cfg", "x.cfg"},
        {"C:\\dir\\", ""},
        {"/", ""},
        {"", ""},
        {"\\no file selected\\", ""},
        {"C:name.bin", "C:name.bin"},
    };
    for (const FileNameCase& c : cases) {
        EXPECT_EQ(CLocalFile::FileNameOf(c.path), c.name) << "path: " << c.path;
    }
}

TEST_F(LocalFileTest, ModesOtherThanReadAndWriteAreRefusedWithoutTouchingTheDisk) {
    const std::string path = dir.File("never.bin");
    for (int mode : {2, -1, 3, 0x40}) {
        EXPECT_EQ(file.Open(path.c_str(), mode), CLocalFile::kNoFile) << "mode " << mode;
        EXPECT_FALSE(file.IsOpen());
        EXPECT_FALSE(Exists(path)) << "mode " << mode;
    }
    EXPECT_EQ(file.Open(nullptr, CLocalFile::ModeRead), CLocalFile::kNoFile);
}

TEST_F(LocalFileTest, FailedOpenKeepsTheHeldFileAndCreatesNothing) {
    const std::string held = dir.File("held.bin");
    WriteFileBytes(held, "abc");
    const int fd = file.Open(held.c_str(), CLocalFile::ModeRead);
    ASSERT_NE(fd, CLocalFile::kNoFile);

    const std::string missing = dir.File("missing.bin");
    EXPECT_EQ(file.Open(missing.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
    EXPECT_EQ(file.Open(dir.File("no/such/dir.bin").c_str(), CLocalFile::ModeWrite),
              CLocalFile::kNoFile);
    EXPECT_EQ(file.Open(held.c_str(), 2), CLocalFile::kNoFile);
    EXPECT_FALSE(Exists(missing));
    EXPECT_EQ(file.Descriptor(), fd);
    EXPECT_TRUE(DescriptorIsOpen(fd));
    char bytes[3] = {};
    EXPECT_EQ(OutcomeOf(file.Read(bytes, 3)), Outcome(3, ""));
    EXPECT_EQ(std::string(bytes, 3), "abc");
}

TEST_F(LocalFileTest, OpenWhileHoldingAFileClosesTheHeldOne) {
    const std::string first = dir.File("first.bin");
    const std::string second = dir.File("second.bin");
    WriteFileBytes(first, "1");
    WriteFileBytes(second, "2");
    const int firstFd = file.Open(first.c_str(), CLocalFile::ModeRead);
    ASSERT_NE(firstFd, CLocalFile::kNoFile);
    const int secondFd = file.Open(second.c_str(), CLocalFile::ModeRead);
    ASSERT_NE(secondFd, CLocalFile::kNoFile);
    EXPECT_NE(secondFd, firstFd);
    EXPECT_EQ(file.Descriptor(), secondFd);
    EXPECT_FALSE(DescriptorIsOpen(firstFd));
}

TEST_F(LocalFileTest, OpenedDescriptorIsNotInheritedByStartedPrograms) {
    const std::string path = dir.File("a.bin");
    WriteFileBytes(path, "x");
    for (int mode : {CLocalFile::ModeRead, CLocalFile::ModeWrite}) {
        const int fd = file.Open(path.c_str(), mode);
        ASSERT_GE(fd, 0);
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "mode " << mode;
        EXPECT_TRUE(file.Close());
    }
}

TEST_F(LocalFileTest, ModeReadDoesNotCreateOrChangeFiles) {
    const std::string path = dir.File("fw.bin");
    WriteFileBytes(path, "firmware");
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
    EXPECT_EQ(OutcomeOf(file.Write("XX", 2)), Outcome(-1, "unexpected EOF"));
    file.Close();
    EXPECT_EQ(ReadFileBytes(path), "firmware");
}

TEST_F(LocalFileTest, ModeWriteEmptiesALongerOldFile) {
    const std::string path = dir.File("eeprom.bin");
    WriteFileBytes(path, std::string(2000, 'O'));
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeWrite), CLocalFile::kNoFile);
    EXPECT_EQ(OutcomeOf(file.GetSize()), Outcome(0, ""));
    EXPECT_EQ(OutcomeOf(file.Write("new", 3)), Outcome(3, ""));
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(ReadFileBytes(path), "new");
}

TEST_F(LocalFileTest, ModeWriteCreatesAMissingFileWithReadWritePermissionUnderTheUmask) {
    const mode_t oldMask = ::umask(027);
    const std::string path = dir.File("fetched.cfg");
    const int fd = file.Open(path.c_str(), CLocalFile::ModeWrite);
    ::umask(oldMask);
    ASSERT_NE(fd, CLocalFile::kNoFile);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
}

TEST_F(LocalFileTest, WrittenBlocksReadBackByteForByte) {
    const std::string path = dir.File("round.bin");
    const std::string data = PatternString(1 << 20);
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeWrite), CLocalFile::kNoFile);
    const auto size = static_cast<std::int32_t>(data.size());
    EXPECT_EQ(OutcomeOf(file.Write(data.data(), size)), Outcome(size, ""));
    EXPECT_EQ(file.Seek(0, 0), 0);
    std::string back(data.size(), '\0');
    EXPECT_EQ(OutcomeOf(file.Read(back.data(), size)), Outcome(size, ""));
    EXPECT_EQ(back, data);
    EXPECT_EQ(OutcomeOf(file.GetSize()), Outcome(size, ""));
}

TEST_F(LocalFileTest, GetSizeWithNoFileIsZeroWithoutAReason) {
    EXPECT_EQ(OutcomeOf(file.GetSize()), Outcome(0, ""));
}

TEST_F(LocalFileTest, GetSizeReportsTheLengthAndZeroForAnEmptyFile) {
    const std::string path = dir.File("len.bin");
    for (std::size_t length : {0u, 1u, 511u, 512u, 513u, 1000u}) {
        WriteFileBytes(path, PatternString(length));
        ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
        EXPECT_EQ(OutcomeOf(file.GetSize()), Outcome(static_cast<std::int32_t>(length), ""));
    }
}

TEST_F(LocalFileTest, GetSizeCountsALengthOf2GiBOrMoreAsBeyondATransfer) {
    const std::string path = dir.File("huge.bin");
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeWrite), CLocalFile::kNoFile);
    // Sparse files: no data blocks are written.
    constexpr off_t kLargest = std::numeric_limits<std::int32_t>::max() - 1;
    ASSERT_EQ(::ftruncate(file.Descriptor(), kLargest), 0);
    EXPECT_EQ(OutcomeOf(file.GetSize()), Outcome(static_cast<std::int32_t>(kLargest), ""));
    for (const off_t length : {kLargest + 1, kLargest + 2, off_t{5} << 30}) {
        ASSERT_EQ(::ftruncate(file.Descriptor(), length), 0);
        EXPECT_EQ(OutcomeOf(file.GetSize()), Outcome(CLocalFile::kBeyondTransfer, "")) << length;
    }
}

TEST_F(LocalFileTest, ReadAndWriteWithNoFileGiveZeroAndTheirReason) {
    char buffer[4] = {};
    EXPECT_EQ(OutcomeOf(file.Read(buffer, 4)), Outcome(0, "file read failed"));
    EXPECT_EQ(OutcomeOf(file.Write(buffer, 4)), Outcome(0, "file write failed"));
}

struct BlockReadCase {
    std::int32_t lastCount;  // what the last read asks for
    Outcome last;
};

TEST_F(LocalFileTest, ShortLastBlockGivesUnexpectedEofUnlessAskedForExactly) {
    const std::string path = dir.File("app.bin");
    const std::string data = PatternString(1000);
    WriteFileBytes(path, data);
    const BlockReadCase cases[] = {
        {512, {488, "unexpected EOF"}},
        {488, {488, ""}},  // the send session asks for the remainder
    };
    for (const BlockReadCase& c : cases) {
        ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
        char block[512];
        ASSERT_EQ(OutcomeOf(file.Read(block, 512)), Outcome(512, ""));
        EXPECT_EQ(std::string(block, 512), data.substr(0, 512));
        EXPECT_EQ(OutcomeOf(file.Read(block, c.lastCount)), c.last) << "count " << c.lastCount;
        EXPECT_EQ(std::string(block, 488), data.substr(512));
    }
}

TEST_F(LocalFileTest, ReadAtTheEndGivesZeroAndUnexpectedEof) {
    const std::string path = dir.File("a.bin");
    WriteFileBytes(path, "abcd");
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
    ASSERT_EQ(file.Seek(2, 0), 4);
    char buffer[4];
    EXPECT_EQ(OutcomeOf(file.Read(buffer, 4)), Outcome(0, "unexpected EOF"));
}

// Only regular files are read or written: a directory, a FIFO (which would block the program in
// open or read until someone writes to it) or a device is refused like a file that cannot be
// opened, and a file already held stays held.
TEST_F(LocalFileTest, SomethingOtherThanARegularFileIsRefusedInEveryMode) {
    const std::string held = dir.File("held.bin");
    WriteFileBytes(held, "abc");
    const std::string fifo = dir.File("x.bin");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = dir.File("folder.bin");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    for (const std::string& path : {fifo, folder, std::string("/dev/null")}) {
        ASSERT_NE(file.Open(held.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
        const int descriptor = file.Descriptor();
        EXPECT_EQ(file.Open(path.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile) << path;
        EXPECT_EQ(file.Open(path.c_str(), CLocalFile::ModeWrite), CLocalFile::kNoFile) << path;
        EXPECT_EQ(file.OpenReplacement(path.c_str()), CLocalFile::kNoFile) << path;
        EXPECT_EQ(file.Descriptor(), descriptor);
    }
}

// A fetch writes into a replacement beside its target: the target changes only on commit, an
// unfinished replacement leaves no trace, and a link's target is what gets replaced.
TEST_F(LocalFileTest, ReplacementTakesThePlaceOfItsTargetOnlyWhenCommitted) {
    const std::string target = dir.File("dump.bin");
    WriteFileBytes(target, "earlier content");
    const std::string block = PatternString(700);
    const auto FilesInDir = [this] {
        return std::distance(std::filesystem::directory_iterator(dir.Path()),
                             std::filesystem::directory_iterator());
    };

    ASSERT_NE(file.OpenReplacement(target.c_str()), CLocalFile::kNoFile);
    ASSERT_EQ(OutcomeOf(file.Write(block.data(), 700)), Outcome(700, ""));
    EXPECT_EQ(ReadFileBytes(target), "earlier content");
    EXPECT_TRUE(file.Close());  // abandoned: the earlier file stays, the replacement goes
    EXPECT_EQ(ReadFileBytes(target), "earlier content");
    EXPECT_EQ(FilesInDir(), 1);

    ASSERT_NE(file.OpenReplacement(target.c_str()), CLocalFile::kNoFile);
    ASSERT_EQ(OutcomeOf(file.Write(block.data(), 700)), Outcome(700, ""));
    EXPECT_TRUE(file.CommitReplacement());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadFileBytes(target), block);
    EXPECT_EQ(FilesInDir(), 1);
    struct stat status {};
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);

    const std::string link = dir.File("link.bin");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ASSERT_NE(file.OpenReplacement(link.c_str()), CLocalFile::kNoFile);
    ASSERT_EQ(OutcomeOf(file.Write("new", 3)), Outcome(3, ""));
    EXPECT_TRUE(file.CommitReplacement());
    EXPECT_EQ(ReadFileBytes(target), "new");
    EXPECT_TRUE(std::filesystem::is_symlink(link));

    EXPECT_EQ(file.OpenReplacement(dir.File("no/such/dir.bin").c_str()), CLocalFile::kNoFile);
    EXPECT_FALSE(file.CommitReplacement());
}

struct ReplacedModeCase {
    mode_t earlier;  // the earlier file's mode; 0: no earlier file
    mode_t mask;     // the umask while the replacement is opened
    mode_t replaced;
};

// A fetched file is no more open than the one it replaces, whatever the umask; a new one gets
// what a plain create gives.
TEST_F(LocalFileTest, ReplacementTakesTheEarlierFilesPermissions) {
    const ReplacedModeCase cases[] = {
        {0600, 022, 0600}, {0640, 022, 0640},  {0400, 022, 0400},
        {0666, 077, 0666}, {04755, 022, 0755},  // setuid is not carried over to new content
        {0, 022, 0644},    {0, 027, 0640},     {0, 077, 0600},
    };
    const std::string target = dir.File("eeprom.bin");
    for (const ReplacedModeCase& c : cases) {
        ::unlink(target.c_str());
        if (c.earlier != 0) {
            WriteFileBytes(target, "earlier");
            ASSERT_EQ(::chmod(target.c_str(), c.earlier), 0);
        }
        const mode_t oldMask = ::umask(c.mask);
        const int fd = file.OpenReplacement(target.c_str());
        ::umask(oldMask);
        ASSERT_NE(fd, CLocalFile::kNoFile) << std::oct << c.earlier;
        ASSERT_EQ(OutcomeOf(file.Write("new", 3)), Outcome(3, ""));
        ASSERT_TRUE(file.CommitReplacement());
        struct stat status {};
        ASSERT_EQ(::stat(target.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, c.replaced)
            << std::oct << "earlier " << c.earlier << " umask " << c.mask;
        EXPECT_EQ(ReadFileBytes(target), "new");
    }
}

TEST_F(LocalFileTest, ReplacementKeepsTheEarlierFilesOwnerAndGroup) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root may give a file to another owner";
    }
    constexpr uid_t kOwner = 12345;
    constexpr gid_t kGroup = 23456;
    const std::string target = dir.File("config.cfg");
    WriteFileBytes(target, "earlier");
    ASSERT_EQ(::chown(target.c_str(), kOwner, kGroup), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_NE(file.OpenReplacement(target.c_str()), CLocalFile::kNoFile);
    ASSERT_EQ(OutcomeOf(file.Write("new", 3)), Outcome(3, ""));
    ASSERT_TRUE(file.CommitReplacement());
    struct stat status {};
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kOwner);
    EXPECT_EQ(status.st_gid, kGroup);
    EXPECT_EQ(status.st_mode & 07777, 0640u);

    // A new file belongs to the process, as a plain create would make it.
    const std::string fresh = dir.File("fresh.cfg");
    ASSERT_NE(file.OpenReplacement(fresh.c_str()), CLocalFile::kNoFile);
    ASSERT_TRUE(file.CommitReplacement());
    ASSERT_EQ(::stat(fresh.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, ::geteuid());
    EXPECT_EQ(status.st_gid, ::getegid());
}

// The id of a process that has ended: a child that exits at once, reaped.
pid_t DeadProcessId() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

// Names in the folder that start with prefix.
std::vector<std::string> NamesStartingWith(const std::filesystem::path& folder,
                                           const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix)) {
            names.push_back(name);
        }
    }
    return names;
}

TEST_F(LocalFileTest, ReplacementIsNamedAfterItsProcess) {
    const std::string target = dir.File("eeprom.bin");
    const std::string prefix = ".kalvoran-" + std::to_string(::getpid()) + "-";
    ASSERT_NE(file.OpenReplacement(target.c_str()), CLocalFile::kNoFile);
    const std::vector<std::string> names = NamesStartingWith(dir.Path(), ".kalvoran-");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names[0].starts_with(prefix)) << names[0];
    EXPECT_EQ(names[0].size(), prefix.size() + 6) << names[0];
    EXPECT_NE(::fcntl(file.Descriptor(), F_GETFD) & FD_CLOEXEC, 0);
}

enum class Kind { File, Folder, Link };

struct LeftoverCase {
    std::string name;
    Kind kind;
    bool removed;
};

// A replacement left by a process that was killed is removed by the next fetch into its folder;
// nothing else is: not a live process's, not a name that only looks alike, not a folder or link.
TEST_F(LocalFileTest, ReplacementRemovesOnlyTheFilesLeftByEndedProcesses) {
    const std::string dead = std::to_string(DeadProcessId());
    const std::string self = std::to_string(::getpid());
    ASSERT_NE(::kill(::getppid(), 0), -1);
    const std::string parent = std::to_string(::getppid());
    const LeftoverCase cases[] = {
        {".kalvoran-" + dead + "-abc123", Kind::File, true},
        {".kalvoran-" + dead + "-ZZ9q0A", Kind::File, true},
        {".kalvoran-" + self + "-abc123", Kind::File, false},
        {".kalvoran-" + parent + "-abc123", Kind::File, false},
        {".kalvoran-notes", Kind::File, false},
        {".kalvoran-abc123", Kind::File, false},  // no process id: whose it is cannot be told
        {".kalvoran-" + dead + "-dir123", Kind::Folder, false},
        {".kalvoran-" + dead + "-dir", Kind::Folder, false},
        {".kalvoran-" + dead + "-lnk123", Kind::Link, false},
        {".kalvoran-" + dead + "-abc1234", Kind::File, false},
        {".kalvoran-" + dead + "-abc12", Kind::File, false},
        {".kalvoran-" + dead + "-abc.23", Kind::File, false},
        {".kalvoran-0" + dead + "-abc123", Kind::File, false},
        {".kalvoran--" + dead + "-abc123", Kind::File, false},
        {".kalvoran-" + dead + "x-abc123", Kind::File, false},
        {"x.kalvoran-" + dead + "-abc123", Kind::File, false},
        {"kalvoran-" + dead + "-abc123", Kind::File, false},
    };
    const std::string linked = dir.File("linked.bin");
    WriteFileBytes(linked, "linked");
    for (const LeftoverCase& c : cases) {
        const std::string path = dir.File(c.name);
        switch (c.kind) {
            case Kind::File:
                WriteFileBytes(path, "left");
                break;
            case Kind::Folder:
                ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << c.name;
                break;
            case Kind::Link:
                ASSERT_EQ(::symlink(linked.c_str(), path.c_str()), 0) << c.name;
                break;
        }
    }
    // Another folder's leftovers are not this fetch's business.
    const std::string other = dir.File("other");
    ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
    const std::string elsewhere = other + "/.kalvoran-" + dead + "-abc123";
    WriteFileBytes(elsewhere, "left");

    const std::string target = dir.File("eeprom.bin");
    ASSERT_NE(file.OpenReplacement(target.c_str()), CLocalFile::kNoFile);
    for (const LeftoverCase& c : cases) {
        EXPECT_EQ(Exists(dir.File(c.name)), !c.removed) << c.name;
    }
    EXPECT_TRUE(Exists(elsewhere));
    EXPECT_EQ(ReadFileBytes(linked), "linked");
    // The replacement just made is there too, and survives a second fetch by this process.
    const std::string ours = ".kalvoran-" + self + "-";
    EXPECT_EQ(NamesStartingWith(dir.Path(), ours).size(), 2u);
    CLocalFile second;
    ASSERT_NE(second.OpenReplacement(target.c_str()), CLocalFile::kNoFile);
    EXPECT_EQ(NamesStartingWith(dir.Path(), ours).size(), 3u);
    EXPECT_TRUE(second.Close());
    EXPECT_TRUE(file.CommitReplacement());
    EXPECT_EQ(NamesStartingWith(dir.Path(), ours).size(), 1u);  // the planted one
}

TEST_F(LocalFileTest, WriteErrorGivesMinusOneAndTheSystemsReason) {
    // With a file size limit of zero the kernel refuses every byte, as a full disk does.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    const std::string path = dir.File("refused.bin");
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeWrite), CLocalFile::kNoFile);
    struct rlimit limited = old;
    limited.rlim_cur = 0;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::string block = PatternString(512);
    const FileResult written = file.Write(block.data(), 512);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(OutcomeOf(written), Outcome(-1, std::strerror(EFBIG)));
}

TEST_F(LocalFileTest, ShortWriteReturnsTheBytesWrittenAndTheSystemsReason) {
    // A file size limit makes the kernel accept only part of a write, as a full disk does.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = old;
    limited.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);

    const std::string path = dir.File("partial.bin");
    const std::string block = PatternString(512);
    FileResult written;
    if (file.Open(path.c_str(), CLocalFile::ModeWrite) != CLocalFile::kNoFile) {
        written = file.Write(block.data(), 512);
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(OutcomeOf(written), Outcome(100, std::strerror(EFBIG)));
    file.Close();
    EXPECT_EQ(ReadFileBytes(path), block.substr(0, 100));
}

// A failed call with no storage error behind it keeps the general text, whatever errno an
// earlier call left behind.
TEST_F(LocalFileTest, RefusedWritesWithoutAStorageErrorKeepUnexpectedEof) {
    const std::string path = dir.File("a.bin");
    WriteFileBytes(path, "abc");
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeWrite), CLocalFile::kNoFile);
    char buffer[4] = {};
    errno = ENOSPC;
    EXPECT_EQ(OutcomeOf(file.Write(buffer, -1)), Outcome(-1, "unexpected EOF"));
    errno = EIO;
    EXPECT_EQ(OutcomeOf(file.Write(nullptr, 4)), Outcome(-1, "unexpected EOF"));
}

// A small file system of its own, so that a write can fill it as a full disk would.
class FullDiskTest : public testing::LocalFileFixture {
protected:
    static constexpr std::int32_t kDiskBytes = 64 * 1024;

    void SetUp() override {
        LocalFileFixture::SetUp();
        disk = dir.File("disk");
        ASSERT_EQ(::mkdir(disk.c_str(), 0700), 0);
        if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
        }
        mounted = true;
    }
    void TearDown() override {
        LocalFileFixture::TearDown();
        if (mounted) {
            ::umount2(disk.c_str(), MNT_DETACH);
        }
    }

    std::string disk;
    bool mounted = false;
};

struct FullDiskCase {
    const char* name;
    bool replacement;  // written through OpenReplacement rather than Open
};

TEST_F(FullDiskTest, AFullDiskGivesTheSystemsReasonNotUnexpectedEof) {
    const FullDiskCase cases[] = {{"plain", false}, {"replacement", true}};
    const std::string block = PatternString(2 * kDiskBytes);
    const auto size = static_cast<std::int32_t>(block.size());
    const std::string full = std::strerror(ENOSPC);
    for (const FullDiskCase& c : cases) {
        const std::string path = disk + "/" + c.name + ".bin";
        WriteFileBytes(path, "");
        const int fd = c.replacement ? file.OpenReplacement(path.c_str())
                                     : file.Open(path.c_str(), CLocalFile::ModeWrite);
        ASSERT_NE(fd, CLocalFile::kNoFile) << c.name;
        // The disk takes part of the block, then refuses the rest.
        const FileResult first = file.Write(block.data(), size);
        EXPECT_GT(first.count, 0) << c.name;
        EXPECT_LT(first.count, size) << c.name;
        EXPECT_EQ(first.reason, full) << c.name;
        EXPECT_EQ(OutcomeOf(file.Write(block.data(), 512)), Outcome(-1, full)) << c.name;
        file.Close();
        EXPECT_EQ(ReadFileBytes(path).size(), c.replacement ? 0u : std::size_t(first.count))
            << c.name;
        ::unlink(path.c_str());
    }
}

// A commit that fails says why; one that succeeds clears the reason.
TEST_F(LocalFileTest, FailedCommitLeavesTheSystemsReason) {
    EXPECT_EQ(file.LastError(), "");
    EXPECT_FALSE(file.CommitReplacement());  // nothing held: no system call failed
    EXPECT_EQ(file.LastError(), "");

    const std::string target = dir.File("config.cfg");
    WriteFileBytes(target, "old");
    ASSERT_NE(file.OpenReplacement(target.c_str()), CLocalFile::kNoFile);
    ASSERT_EQ(OutcomeOf(file.Write("new", 3)), Outcome(3, ""));
    // The target turns into a folder meanwhile: rename cannot put a file over it.
    ASSERT_EQ(::unlink(target.c_str()), 0);
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    EXPECT_FALSE(file.CommitReplacement());
    EXPECT_EQ(file.LastError(), std::strerror(EISDIR));
    EXPECT_TRUE(std::filesystem::is_directory(target));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator()),
              1);

    ASSERT_EQ(::rmdir(target.c_str()), 0);
    ASSERT_NE(file.OpenReplacement(target.c_str()), CLocalFile::kNoFile);
    ASSERT_EQ(OutcomeOf(file.Write("new", 3)), Outcome(3, ""));
    EXPECT_TRUE(file.CommitReplacement());
    EXPECT_EQ(file.LastError(), "");
    EXPECT_EQ(ReadFileBytes(target), "new");
}

// fsync failing (here: the held descriptor made into a pipe, which cannot be synced) is reported
// and still lets go of the descriptor; nothing is renamed over the target.
TEST_F(LocalFileTest, CommitWhoseSyncFailsClosesTheDescriptorAndSaysWhy) {
    const std::string target = dir.File("dump.bin");
    WriteFileBytes(target, "earlier");
    const int fd = file.OpenReplacement(target.c_str());
    ASSERT_NE(fd, CLocalFile::kNoFile);
    int ends[2] = {-1, -1};
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::dup2(ends[0], fd), fd);
    ::close(ends[0]);
    EXPECT_FALSE(file.CommitReplacement());
    EXPECT_EQ(file.LastError(), std::strerror(EINVAL));
    EXPECT_FALSE(DescriptorIsOpen(fd));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadFileBytes(target), "earlier");
    EXPECT_TRUE(NamesStartingWith(dir.Path(), ".kalvoran-").empty());
    ::close(ends[1]);
}

TEST_F(LocalFileTest, NegativeCountsAndMissingBuffersFailWithoutMovingAnyBytes) {
    const std::string path = dir.File("a.bin");
    WriteFileBytes(path, "abcdef");
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeWrite), CLocalFile::kNoFile);
    char buffer[8] = {};
    const Outcome failed(-1, "unexpected EOF");
    EXPECT_EQ(OutcomeOf(file.Write(buffer, -1)), failed);
    EXPECT_EQ(OutcomeOf(file.Write(buffer, std::numeric_limits<std::int32_t>::min())), failed);
    EXPECT_EQ(OutcomeOf(file.Read(buffer, -4)), failed);
    EXPECT_EQ(OutcomeOf(file.Write(nullptr, 4)), failed);
    EXPECT_EQ(OutcomeOf(file.Read(nullptr, 4)), failed);
    EXPECT_EQ(file.Seek(1, 0), 0);
    EXPECT_EQ(OutcomeOf(file.GetSize()), Outcome(0, ""));
}

TEST_F(LocalFileTest, ZeroCountMovesNothingAndGivesNoReason) {
    const std::string path = dir.File("a.bin");
    WriteFileBytes(path, "abc");
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
    EXPECT_EQ(OutcomeOf(file.Read(nullptr, 0)), Outcome(0, ""));
}

TEST_F(LocalFileTest, SeekTakesTheOriginFirstAndReportsTheNewPosition) {
    const std::string path = dir.File("ten.bin");
    WriteFileBytes(path, "0123456789");
    EXPECT_EQ(file.Seek(0, 0), -1);  // no file held
    ASSERT_NE(file.Open(path.c_str(), CLocalFile::ModeRead), CLocalFile::kNoFile);
    EXPECT_EQ(file.Seek(2, -4), 6);
    char c = 0;
    EXPECT_EQ(OutcomeOf(file.Read(&c, 1)), Outcome(1, ""));
    EXPECT_EQ(c, '6');
    EXPECT_EQ(file.Seek(0, 3), 3);
    EXPECT_EQ(file.Seek(1, 2), 5);
    EXPECT_EQ(file.Seek(2, 0), 10);
    EXPECT_EQ(file.Seek(2, -11), -1);
    EXPECT_EQ(file.Seek(3, 0), -1);
    EXPECT_EQ(file.Seek(-1, 0), -1);
    EXPECT_EQ(file.Seek(1, 0), 10);  // failed seeks left the position alone
}

TEST_F(LocalFileTest, CloseLetsGoOfTheFileAndIsHarmlessWithoutOne) {
    EXPECT_TRUE(file.Close());
    const std::string path = dir.File("a.bin");
    WriteFileBytes(path, "a");
    const int fd = file.Open(path.c_str(), CLocalFile::ModeRead);
    ASSERT_NE(fd, CLocalFile::kNoFile);
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Descriptor(), CLocalFile::kNoFile);
    EXPECT_FALSE(DescriptorIsOpen(fd));
    EXPECT_TRUE(file.Close());
}

TEST_F(LocalFileTest, DestructionLeavesClosingToTheOwner) {
    const std::string path = dir.File("a.bin");
    WriteFileBytes(path, "a");
    int fd = CLocalFile::kNoFile;
    {
        CLocalFile scoped;
        fd = scoped.Open(path.c_str(), CLocalFile::ModeRead);
    }
    ASSERT_NE(fd, CLocalFile::kNoFile);
    EXPECT_TRUE(DescriptorIsOpen(fd));
    ::close(fd);
}

}  // namespace
}  // namespace kalvoran

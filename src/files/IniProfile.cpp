#include "files/IniProfile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <utility>

#include "files/AsciiText.h"

namespace kalvoran {

namespace {

constexpr std::string_view kProfileFileName = "KalvoranTFTPclient.INI";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t\r\v\f";
// A profile holds a handful of keys; anything larger is not ours. It is read as missing values
// and never rewritten, so a stray large file is neither loaded into memory whole nor truncated.
constexpr std::size_t kMaxProfileBytes = std::size_t{4} * 1024 * 1024;
constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

enum class LoadResult { Loaded, Missing, Unreadable };

// The text as lines without their line ends (views into it), so that a rewrite reproduces every
// line it does not change.
struct ProfileLines {
    std::string_view bom;
    std::vector<std::string_view> lines;
    bool crlf = false;
};

// "[name]": the name between the bracket and the closing bracket (or the line's end), trimmed.
bool ParseSectionLine(std::string_view line, std::string_view& name) {
    const std::string_view text = TrimmedOf(line, kBlanks);
    if (text.empty() || text.front() != '[') {
        return false;
    }
    std::string_view inner = text.substr(1);
    const std::size_t close = inner.find(']');
    if (close != std::string_view::npos) {
        inner = inner.substr(0, close);
    }
    name = TrimmedOf(inner, kBlanks);
    return true;
}

// "key = value": both trimmed. Comments (';' or '#'), blank lines and lines without '=' are no
// keys.
bool ParseKeyLine(std::string_view line, std::string_view& key, std::string_view& value) {
    const std::string_view text = TrimmedOf(line, kBlanks);
    if (text.empty() || text.front() == ';' || text.front() == '#' || text.front() == '[') {
        return false;
    }
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        return false;
    }
    key = TrimmedOf(text.substr(0, equals), kBlanks);
    value = TrimmedOf(text.substr(equals + 1), kBlanks);
    return true;
}

// Where a key stands: the line of the first section of that name, the line of the first entry of
// the key inside it, and the line after which a new key of that section goes (its last key, or
// the section line when it has none). Keys before the first section belong to no section, and a
// later section of the same name is not looked at.
struct Location {
    std::size_t sectionLine = kNotFound;
    std::size_t keyLine = kNotFound;
    std::size_t insertAfter = kNotFound;
};

Location Locate(const std::vector<std::string_view>& lines, std::string_view section,
                std::string_view key) {
    Location where;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view name;
        std::string_view value;
        if (ParseSectionLine(lines[i], name)) {
            if (where.sectionLine != kNotFound) {
                break;
            }
            inSection = EqualsIgnoringAsciiCase(name, section);
            if (inSection) {
                where.sectionLine = i;
                where.insertAfter = i;
            }
        } else if (inSection && ParseKeyLine(lines[i], name, value)) {
            where.insertAfter = i;
            if (where.keyLine == kNotFound && EqualsIgnoringAsciiCase(name, key)) {
                where.keyLine = i;
            }
        }
    }
    return where;
}

int OpenRetrying(const char* path, int flags, mode_t mode) {
    int fd = -1;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool ReadAll(int fd, std::string& text) {
    char chunk[8192];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            return true;
        }
        text.append(chunk, static_cast<std::size_t>(got));
        if (text.size() > kMaxProfileBytes) {
            return false;
        }
    }
}

bool WriteAll(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (put == 0) {
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

ProfileLines SplitLines(std::string_view text) {
    ProfileLines profile;
    if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        profile.bom = kUtf8Bom;
        text.remove_prefix(kUtf8Bom.size());
    }
    profile.lines.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    const std::size_t firstBreak = text.find('\n');
    profile.crlf =
        firstBreak != std::string_view::npos && firstBreak > 0 && text[firstBreak - 1] == '\r';
    while (!text.empty()) {
        const std::size_t lineEnd = text.find('\n');
        std::string_view line = text.substr(0, lineEnd);
        // Every carriage return at the end belongs to the line end: a line kept with one at its
        // end would lose it to the line end when written again.
        while (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        profile.lines.push_back(line);
        if (lineEnd == std::string_view::npos) {
            break;
        }
        text.remove_prefix(lineEnd + 1);
    }
    return profile;
}

// Reads the profile at path. Only a regular file is read (opened without blocking, so a FIFO in
// its place cannot hang the program); status receives its attributes when it was loaded.
LoadResult LoadProfile(const std::string& path, std::string& text, struct stat& status) {
    const int fd = OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0) {
        return errno == ENOENT ? LoadResult::Missing : LoadResult::Unreadable;
    }
    const bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                    static_cast<std::uintmax_t>(status.st_size) <= kMaxProfileBytes &&
                    ReadAll(fd, text);
    ::close(fd);
    return ok ? LoadResult::Loaded : LoadResult::Unreadable;
}

std::string JoinLines(const ProfileLines& profile) {
    const std::string_view lineEnd = profile.crlf ? "\r\n" : "\n";
    std::size_t length = profile.bom.size() + profile.lines.size() * lineEnd.size();
    for (const std::string_view line : profile.lines) {
        length += line.size();
    }
    std::string text;
    text.reserve(length);
    text += profile.bom;
    for (const std::string_view line : profile.lines) {
        text += line;
        text += lineEnd;
    }
    return text;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Names and values that would not read back as written are refused: a line break or NUL would
// split the line, ']' would end the section name early, '=' would end the key early. The names
// are taken without their surrounding blanks.
bool WritableEntry(std::string_view section, std::string_view key, std::string_view value) {
    section = TrimmedOf(section, kBlanks);
    key = TrimmedOf(key, kBlanks);
    return !section.empty() && !key.empty() && !HasLineBreakOrNul(section) &&
           !HasLineBreakOrNul(key) && !HasLineBreakOrNul(value) &&
           section.find(']') == std::string_view::npos && key.find('=') == std::string_view::npos &&
           key.front() != ';' && key.front() != '#' && key.front() != '[';
}

// The file a write replaces: the target of a symbolic link rather than the link itself, so
// that a profile kept elsewhere through a link stays where it is.
std::string WriteTarget(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            std::string target(resolved);
            std::free(resolved);
            return target;
        }
    }
    return path;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

void SyncDirectory(const std::string& directory) {
    const int fd = OpenRetrying(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Replaces the file at target with text: a new file in the same directory receives the text
// and the old file's permission bits, and is then renamed over the old one, so that a reader (or
// a crash) sees either the old profile or the new one, never a part.
bool ReplaceFile(const std::string& target, std::string_view text, const struct stat* oldStatus) {
    static std::atomic<unsigned> sequence{0};
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = target + ".tmp-" + std::to_string(::getpid()) + "-" +
                    std::to_string(sequence.fetch_add(1));
        // A new profile gets read and write permission as the umask allows; a replaced one is
        // given its old bits below, and until then is readable by its owner only.
        fd = OpenRetrying(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          oldStatus != nullptr ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAll(fd, text);
    if (ok && oldStatus != nullptr) {
        ok = ::fchmod(fd, oldStatus->st_mode & 07777) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    SyncDirectory(DirectoryOf(target));
    return true;
}

// The home directory: $HOME, or the password database's entry when HOME is unset or empty.
std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return home;
    }
    long bufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (bufferSize <= 0) {
        bufferSize = 16384;
    }
    std::vector<char> buffer(static_cast<std::size_t>(bufferSize));
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
        return found->pw_dir;
    }
    return {};
}

}  // namespace

std::optional<std::string_view> ProfileValue(std::string_view text, std::string_view section,
                                             std::string_view key) {
    // The names as WriteString writes them, without surrounding blanks.
    section = TrimmedOf(section, kBlanks);
    key = TrimmedOf(key, kBlanks);
    // The lines as SplitLines cuts them and the key as Locate finds it, read in one pass
    // without keeping the lines: a read stops at the key or at the end of its section.
    if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        text.remove_prefix(kUtf8Bom.size());
    }
    bool inSection = false;
    bool sectionSeen = false;
    while (!text.empty()) {
        const std::size_t lineEnd = text.find('\n');
        std::string_view line = text.substr(0, lineEnd);
        while (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        std::string_view name;
        std::string_view value;
        if (ParseSectionLine(line, name)) {
            if (sectionSeen) {
                break;
            }
            inSection = EqualsIgnoringAsciiCase(name, section);
            sectionSeen = inSection;
        } else if (inSection && ParseKeyLine(line, name, value) &&
                   EqualsIgnoringAsciiCase(name, key)) {
            return Unquote(value);
        }
        if (lineEnd == std::string_view::npos) {
            break;
        }
        text.remove_prefix(lineEnd + 1);
    }
    return std::nullopt;
}

// Like GetProfileInt: blanks, an optional sign, then decimal digits up to the first other
// character; no digits give 0. The number is accumulated modulo 2^32 and read as a signed 32-bit
// value, so a number too long for 32 bits wraps around instead of overflowing.
int ProfileIntOf(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint32_t magnitude = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        magnitude = magnitude * 10u + static_cast<std::uint32_t>(text[i] - '0');
        ++i;
    }
    if (negative) {
        magnitude = 0u - magnitude;
    }
    return static_cast<int>(static_cast<std::int32_t>(magnitude));
}

std::optional<ProfileEdit> EditProfileText(std::string_view text, std::string_view section,
                                           std::string_view key, std::string_view value) {
    if (!WritableEntry(section, key, value)) {
        return std::nullopt;
    }
    section = TrimmedOf(section, kBlanks);
    key = TrimmedOf(key, kBlanks);
    ProfileLines profile = SplitLines(text);
    const std::string before = JoinLines(profile);

    // The lines written; profile.lines holds views of them.
    std::string keyLine;
    std::string header;
    const Location where = Locate(profile.lines, section, key);
    if (where.keyLine != kNotFound) {
        // Keep the key's spelling as the file has it; only the value changes.
        std::string_view oldKey;
        std::string_view oldValue;
        ParseKeyLine(profile.lines[where.keyLine], oldKey, oldValue);
        keyLine.append(oldKey).append("=").append(value);
        profile.lines[where.keyLine] = keyLine;
    } else if (where.sectionLine != kNotFound) {
        keyLine.append(key).append("=").append(value);
        profile.lines.insert(
            profile.lines.begin() + static_cast<std::ptrdiff_t>(where.insertAfter) + 1, keyLine);
    } else {
        if (!profile.lines.empty() && !TrimmedOf(profile.lines.back(), kBlanks).empty()) {
            profile.lines.emplace_back();
        }
        // Appended piece by piece: GCC 12 at -O3 misreads "[" + std::string(...) as an
        // overlapping copy (-Wrestrict).
        header.append("[").append(section).append("]");
        keyLine.append(key).append("=").append(value);
        profile.lines.push_back(header);
        profile.lines.push_back(keyLine);
    }
    ProfileEdit edit;
    edit.text = JoinLines(profile);
    edit.changed = edit.text != before;
    return edit;
}

IniProfile::IniProfile(std::string profilePath) : path(std::move(profilePath)) {}

std::string IniProfile::GetString(std::string_view section, std::string_view key,
                                  std::string_view defaultValue) const {
    std::string text;
    struct stat status {};
    if (LoadProfile(path, text, status) != LoadResult::Loaded) {
        return std::string(defaultValue);
    }
    return std::string(ProfileValue(text, section, key).value_or(defaultValue));
}

int IniProfile::GetInt(std::string_view section, std::string_view key, int defaultValue) const {
    // A key that is present but empty reads the same as an absent one.
    const std::string value = GetString(section, key, "");
    if (value.empty()) {
        return defaultValue;
    }
    return ProfileIntOf(value);
}

bool IniProfile::WriteInt(std::string_view section, std::string_view key, int value) {
    return WriteString(section, key, std::to_string(value));
}

bool IniProfile::WriteString(std::string_view section, std::string_view key,
                             std::string_view value) {
    if (!WritableEntry(section, key, value)) {
        return false;
    }
    const std::string target = WriteTarget(path);
    std::string text;
    struct stat status {};
    const LoadResult loaded = LoadProfile(target, text, status);
    if (loaded == LoadResult::Unreadable) {
        return false;
    }
    const std::optional<ProfileEdit> edit = EditProfileText(text, section, key, value);
    if (!edit) {
        return false;
    }
    if (loaded == LoadResult::Loaded && !edit->changed) {
        return true;
    }

    if (loaded == LoadResult::Missing) {
        // The configuration directory itself may not exist yet on a fresh account.
        const std::string directory = DirectoryOf(target);
        struct stat directoryStatus {};
        if (::stat(directory.c_str(), &directoryStatus) != 0 &&
            (errno != ENOENT || ::mkdir(directory.c_str(), 0700) != 0)) {
            return false;
        }
    }
    return ReplaceFile(target, edit->text, loaded == LoadResult::Loaded ? &status : nullptr);
}

std::string DefaultProfilePath() {
    // A relative XDG_CONFIG_HOME is ignored, as the XDG base directory rules ask.
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && configHome[0] == '/') {
        return std::string(configHome) + "/" + std::string(kProfileFileName);
    }
    const std::string home = HomeDirectory();
    if (home.empty()) {
        // No home directory to be found: the bare name, in the working directory.
        return std::string(kProfileFileName);
    }
    return home + "/.config/" + std::string(kProfileFileName);
}

}  // namespace kalvoran

// The files the simulated agent keeps and serves: where they are stored, which names it takes,
// and the content it makes up itself (EEPROM image, generated configuration, status texts).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kalvoran::agentsim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kEepromSize = 32768;

// Where the agent keeps the files it receives and finds files to serve. Names are plain file
// names (SafeFileName); implementations never see a path.
class Storage {
public:
    virtual ~Storage() = default;
    virtual std::optional<Bytes> Load(std::string_view name) = 0;
    // False when the file could not be kept.
    virtual bool Store(std::string_view name, std::span<const std::uint8_t> content) = 0;
};

// Files in memory, for tests and in-process sessions.
class MemoryStorage final : public Storage {
public:
    std::optional<Bytes> Load(std::string_view name) override;
    bool Store(std::string_view name, std::span<const std::uint8_t> content) override;

    std::map<std::string, Bytes, std::less<>> files;
};

// Files in one directory. A received file is written beside its final name and then renamed
// over it, so a reader never sees half a file.
class DirectoryStorage final : public Storage {
public:
    explicit DirectoryStorage(std::filesystem::path folder);
    std::optional<Bytes> Load(std::string_view name) override;
    bool Store(std::string_view name, std::span<const std::uint8_t> content) override;

private:
    std::filesystem::path directory;
};

// A name the agent will read or write: 1 to 255 characters, no path separator, no leading dot,
// no control characters.
bool SafeFileName(std::string_view name);

// What a received file is to the agent; decides its status texts.
enum class FileRole { None, Image, Config, Command, Request, FileSystem };

// The role of a name the agent accepts in a write request, or nullopt when it refuses the name:
// "image.bin" and "rom.bin" (Image), "config.cfg", "command.cmd", "request.cfg", and any name
// holding ".jpg", ".gif", ".css", ".ico" or ".txt" (FileSystem; case-sensitive).
std::optional<FileRole> WritableRole(std::string_view name);

// The agent's own EEPROM image: kEepromSize bytes; every 512-byte block differs from the others.
Bytes EepromImage();

// The configuration file the agent generates after a request file: text lines derived from the
// request, opening with "Len:<total length in hexadecimal>\r\n". Deterministic, 2 to 4 KB.
Bytes GenerateConfig(std::span<const std::uint8_t> request);

// The status text for a read of "status.bin": step 1..steps give intermediate texts for the
// last received file; later steps give its final phrase. finalOverride, when not empty,
// replaces every final phrase. With no file received the agent only reports that it is ready.
std::string StatusText(FileRole lastRole, int step, int steps, std::string_view finalOverride);

}  // namespace kalvoran::agentsim

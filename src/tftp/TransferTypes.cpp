#include "tftp/TransferTypes.h"

namespace kalvoran {

namespace {

constexpr std::array<std::string_view, 3> kFirmwareExtensions = {".bin", ".cfg", ".cmd"};
constexpr std::array<std::string_view, 5> kFileSystemExtensions = {".jpg", ".gif", ".css", ".ico",
                                                                   ".txt"};
constexpr std::array<std::string_view, 2> kFetchExtensions = {".bin", ".cfg"};
// Every extension a send accepts, whatever the type.
constexpr auto kAllSendExtensions = [] {
    std::array<std::string_view, kFirmwareExtensions.size() + kFileSystemExtensions.size()> all{};
    std::size_t at = 0;
    for (std::string_view extension : kFirmwareExtensions) {
        all[at++] = extension;
    }
    for (std::string_view extension : kFileSystemExtensions) {
        all[at++] = extension;
    }
    return all;
}();

constexpr std::array<std::string_view, 2> kFlashLines = {
    "Please wait while the flash process is being finalized.",
    "The card will reset at the completion of the flash."};
constexpr std::array<std::string_view, 1> kConfigLines = {"Configuration file transfer complete."};
constexpr std::array<std::string_view, 1> kCommandLines = {"Rebooting Agent."};
constexpr std::array<std::string_view, 1> kFileSystemLines = {"File system transfer complete."};
constexpr std::array<std::string_view, 1> kFetchLines = {"Transfer complete."};

constexpr std::span<const std::string_view> kNone{};

constexpr std::array<TransferTypeInfo, kTransferTypeCount> kTransferTypes = {{
    {"APPLICATION UPGRADE", StartButton::DownloadToDevice, "image.bin", false, kFirmwareExtensions,
     0, "", "", kNone, 0, "image", kFlashLines},
    {"CONFIGURATION UPGRADE", StartButton::DownloadToDevice, "config.cfg", false,
     kFirmwareExtensions, 0, "", "", kNone, 0, "config", kConfigLines},
    {"SEND COMMAND FILE", StartButton::DownloadToDevice, "command.cmd", false, kFirmwareExtensions,
     0, "", "", kNone, 0, "command", kCommandLines},
    {"SEND FILE TO FILE SYSTEM", StartButton::DownloadToDevice, "", true, kFileSystemExtensions,
     0x40000, "!! File too big for file system !!: ", "", kNone, 0, "filesystem", kFileSystemLines},
    {"CREATE CONFIG FILE", StartButton::UploadFromDevice, "request.cfg", false, kFirmwareExtensions,
     0, "", "config.cfg", kFetchExtensions, 8192, "", kFetchLines},
    {"READ EEPROM FILE", StartButton::UploadFromDevice, "", false, kNone, 0, "", "eeprom.bin",
     kFetchExtensions, 32768, "", kFetchLines},
    {"BOOTLOADER UPGRADE", StartButton::DownloadToDevice, "rom.bin", false, kFirmwareExtensions,
     0x20000, "!! File too big for a bootloader image !!: ", "", kNone, 0, "", kNone},
}};

}  // namespace

const TransferTypeInfo* TransferTypeInfoOf(int type) {
    if (type < 0 || type >= kTransferTypeCount) {
        return nullptr;
    }
    return &kTransferTypes[static_cast<std::size_t>(type)];
}

std::span<const TransferTypeInfo, kTransferTypeCount> AllTransferTypes() {
    return kTransferTypes;
}

bool ContainsAnyOf(std::string_view name, std::span<const std::string_view> extensions) {
    for (std::string_view extension : extensions) {
        if (name.find(extension) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

std::span<const std::string_view> AllSendExtensions() {
    return kAllSendExtensions;
}
std::span<const std::string_view> AllFetchExtensions() {
    return kFetchExtensions;
}

int TransferTypeForKeyword(std::string_view argument) {
    for (int type = 0; type < kTransferTypeCount; ++type) {
        const std::string_view keyword = kTransferTypes[static_cast<std::size_t>(type)].keyword;
        if (!keyword.empty() && argument.find(keyword) != std::string_view::npos) {
            return type;
        }
    }
    return -1;
}

FileControlState FileControlsFor(int type) {
    const TransferTypeInfo* info = TransferTypeInfoOf(type);
    if (info == nullptr) {
        return {true, true, true, true, true, true};
    }
    const bool sends = !info->sendExtensions.empty();
    const bool fetches = !info->fetchName.empty();
    const bool download = info->startedBy == StartButton::DownloadToDevice;
    return {sends, sends, download, fetches, fetches, !download};
}

}  // namespace kalvoran

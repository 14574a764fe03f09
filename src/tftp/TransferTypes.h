// The seven kinds of transfer and everything that depends on the kind: list text, agent-side
// names, accepted local names, size limits, command-line keyword and completion lines. Every
// per-type decision of the program reads this one table.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace kalvoran {

// Equal to the entry's index in the "File Transfer Type" list.
enum TransferType : int {
    APPLICATION_UPGRADE = 0,
    CONFIGURATION_UPGRADE = 1,
    SEND_COMMAND_FILE = 2,
    SEND_FILE_TO_FILE_SYSTEM = 3,
    CREATE_CONFIG_FILE = 4,
    READ_EEPROM_FILE = 5,
    BOOTLOADER_UPGRADE = 6,
};
inline constexpr int kTransferTypeCount = 7;

// Which button starts a transfer of the type.
enum class StartButton { DownloadToDevice, UploadFromDevice };

struct TransferTypeInfo {
    std::string_view displayString;  // the list entry
    StartButton startedBy;
    // The name under which the local file is sent; empty when the type sends nothing, and for
    // SEND_FILE_TO_FILE_SYSTEM, whose agent-side name is the local file's own name.
    std::string_view sendName;
    bool sendsOwnName;
    // Extensions one of which the local name must contain (case-sensitive, anywhere in the name
    // part); empty when the type sends nothing.
    std::span<const std::string_view> sendExtensions;
    std::int32_t sendSizeLimit;      // largest accepted size in bytes; 0 means no limit
    std::string_view sizeLimitText;  // refusal of a larger file; the local path follows it
    // The file fetched from the agent, the extensions its local name must contain, and the most
    // it may hold at the start (empty name: the type fetches nothing).
    std::string_view fetchName;
    std::span<const std::string_view> fetchExtensions;
    std::int32_t fetchSizeLimit;
    std::string_view keyword;  // command-line keyword; empty when none selects the type
    std::span<const std::string_view> completionLines;
};

// nullptr for a value outside 0..6.
const TransferTypeInfo* TransferTypeInfoOf(int type);
std::span<const TransferTypeInfo, kTransferTypeCount> AllTransferTypes();

// True when name contains one of the extensions (case-sensitive substring test).
bool ContainsAnyOf(std::string_view name, std::span<const std::string_view> extensions);

// Every extension that some type sends, and every extension that some type fetches into: what a
// path must contain for the profile to keep it.
std::span<const std::string_view> AllSendExtensions();
std::span<const std::string_view> AllFetchExtensions();

// The type whose keyword occurs first in the table order anywhere in argument (case-sensitive),
// or -1 when none does.
int TransferTypeForKeyword(std::string_view argument);

// Which of the six file controls a type enables.
struct FileControlState {
    bool downloadName;    // Download File Name field
    bool browseDownload;  // "Browse..."
    bool downloadButton;  // "DOWNLOAD TO DEVICE"
    bool uploadName;      // Upload File Name field
    bool browseUpload;    // "Browse"
    bool uploadButton;    // "UPLOAD FROM DEVICE"
};
// A value outside 0..6 enables all six.
FileControlState FileControlsFor(int type);

}  // namespace kalvoran

// What the toolkit-free core sees of the main window. The window renders and forwards; the core
// owns the run state and decides. Tests drive the core through a recording fake of this interface.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "net/Addressing.h"

namespace kalvoran {

// The three read-only boxes of the "Stats" group.
enum class StatField { Crc32, FileLength, BytesSentRecvd };

// Controls whose enabled state the core decides.
enum class DialogControl {
    DownloadFileName,
    BrowseDownload,
    DownloadToDevice,
    UploadFileName,
    BrowseUpload,
    UploadFromDevice,
    AgentAddress,
    LocalHostName,
    LocalAddress,
    Ping,
    TransferTypeList,
};

class DialogView {
public:
    virtual ~DialogView() = default;

    // A modal box captioned "Error" with the stop icon and one OK button; the detail (the
    // system's own words, when there are any) below the text.
    virtual void ShowErrorBox(std::string_view text, std::string_view detail = {}) = 0;

    // Status log: the text becomes a new last line, and the log scrolls to it.
    virtual void AppendStatusLine(std::string_view text) = 0;
    virtual void ClearStatusLog() = 0;

    // Progress bar: the range 0..maximum and the position in it (BarOf decides both).
    virtual void SetProgress(std::uint16_t maximum, int position) = 0;

    virtual void SetStatField(StatField field, std::string_view text) = 0;

    // The "File Transfer Type" list: its entries, the selected index (-1 for none), and
    // selecting an entry by index.
    virtual void SetTransferTypeList(std::span<const std::string_view> entries) = 0;
    virtual int TransferTypeSelection() const = 0;
    virtual void SelectTransferType(int index) = 0;

    // The two file-name fields.
    virtual std::string DownloadFileName() const = 0;
    virtual std::string UploadFileName() const = 0;
    virtual void SetDownloadFileName(std::string_view path) = 0;
    virtual void SetUploadFileName(std::string_view path) = 0;

    // The four fields of the agent address, first field first; a blank field reads as 0.
    virtual net::Octets AddressFields() const = 0;
    virtual void SetAddressFields(const net::Octets& octets) = 0;

    // The local host's name and dotted address boxes.
    virtual void SetLocalHost(std::string_view name, std::string_view address) = 0;

    virtual void EnableControl(DialogControl control, bool enabled) = 0;

    // Starts the window minimised ("silent" command-line runs).
    virtual void MinimizeWindow() = 0;

    // Dispatch pending window events without waiting; a waiting session calls it and then
    // tests the cancel flag.
    virtual void PumpMessages() = 0;
    // Let the window repaint and update without running the operator's input (clicks and keys
    // wait for the next PumpMessages): called during the waits that do not pump, so that the
    // window never looks frozen.
    virtual void KeepWindowAlive() = 0;

    // End the program with this exit code once control returns to the window's event loop.
    virtual void RequestExit(int exitCode) = 0;
};

}  // namespace kalvoran

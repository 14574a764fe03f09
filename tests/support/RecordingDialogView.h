// A DialogView that records what the core shows, and answers with what a test puts in its
// fields. Header-only, shared by the core's tests.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tftp/DialogView.h"

namespace kalvoran::testing {

class RecordingDialogView : public DialogView {
public:
    // What the window shows.
    std::vector<std::string> statusLog;
    std::vector<std::string> errorBoxes;
    std::vector<std::string> typeList;
    int selection = -1;
    std::string downloadField;
    std::string uploadField;
    net::Octets addressFields{};
    std::string localHostName;
    std::string localAddress;
    std::map<StatField, std::string> statFields;
    std::vector<std::string> byteCounts;  // every text the Bytes Sent/Recvd box showed
    std::map<DialogControl, bool> enabled;
    int progressMaximum = 100;
    int progressPos = 0;
    bool minimized = false;
    int pumpCount = 0;
    int keepAliveCount = 0;
    std::vector<int> exitRequests;
    // Runs inside PumpMessages, as a handler dispatched while a session waits would.
    std::function<void()> onPump;

    void AppendStatusLine(std::string_view text) override { statusLog.emplace_back(text); }
    void ClearStatusLog() override { statusLog.clear(); }
    // A box with a detail is recorded as its text, a line break and the detail.
    void ShowErrorBox(std::string_view text, std::string_view detail = {}) override {
        errorBoxes.emplace_back(detail.empty() ? std::string(text)
                                               : std::string(text) + "\n" + std::string(detail));
    }

    void SetProgress(std::uint16_t maximum, int position) override {
        progressMaximum = maximum;
        progressPos = position;
    }

    void SetStatField(StatField field, std::string_view text) override {
        statFields[field] = std::string(text);
        if (field == StatField::BytesSentRecvd) {
            byteCounts.emplace_back(text);
        }
    }

    void SetTransferTypeList(std::span<const std::string_view> entries) override {
        typeList.assign(entries.begin(), entries.end());
    }
    int TransferTypeSelection() const override { return selection; }
    void SelectTransferType(int index) override { selection = index; }

    std::string DownloadFileName() const override { return downloadField; }
    std::string UploadFileName() const override { return uploadField; }
    void SetDownloadFileName(std::string_view path) override { downloadField = path; }
    void SetUploadFileName(std::string_view path) override { uploadField = path; }

    net::Octets AddressFields() const override { return addressFields; }
    void SetAddressFields(const net::Octets& octets) override { addressFields = octets; }

    void SetLocalHost(std::string_view name, std::string_view address) override {
        localHostName = name;
        localAddress = address;
    }

    void EnableControl(DialogControl control, bool on) override { enabled[control] = on; }
    void MinimizeWindow() override { minimized = true; }

    void PumpMessages() override {
        ++pumpCount;
        if (onPump) {
            onPump();
        }
    }

    void KeepWindowAlive() override { ++keepAliveCount; }

    void RequestExit(int exitCode) override { exitRequests.push_back(exitCode); }
};

}  // namespace kalvoran::testing

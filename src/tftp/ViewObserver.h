// The window's side of a running chain: status lines, boxes, the bar and the statistics boxes
// rendered through DialogView, and the waits pumping the window's messages.
#pragma once

#include <cstdio>

#include "tftp/DialogView.h"
#include "tftp/LinkObserver.h"

namespace kalvoran {

class ViewObserver final : public LinkObserver {
public:
    explicit ViewObserver(DialogView& dialogView) : view(dialogView) {}

    void StatusLine(std::string_view text) override { view.AppendStatusLine(text); }
    void ErrorBox(std::string_view text, std::string_view detail) override {
        view.ShowErrorBox(text, detail);
    }
    void ProgressChanged(const Progress& progress) override {
        const BarPosition bar = BarOf(progress);
        view.SetProgress(bar.maximum, bar.position);
    }
    void BytesCounted(std::int64_t bytes) override {
        char text[24];
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(bytes));
        view.SetStatField(StatField::BytesSentRecvd, text);
    }
    void FileLength(std::int32_t bytes) override {
        char text[32];
        std::snprintf(text, sizeof text, "%d bytes", static_cast<int>(bytes));
        view.SetStatField(StatField::FileLength, text);
    }
    void Checksum(std::string_view crcText) override {
        view.SetStatField(StatField::Crc32, crcText);
    }
    void Pump() override { view.PumpMessages(); }
    void KeepAlive() override { view.KeepWindowAlive(); }

private:
    DialogView& view;
};

}  // namespace kalvoran

// The progress bar and the Bytes Sent/Recvd box as the core moves them. A send steps the bar once
// per block and counts its bytes every 16 blocks; both are shown only when the window is next
// brought up to date, since a repaint per block would cost more than the block.
#pragma once

#include <QString>

#include <optional>

class QLineEdit;
class QProgressBar;

namespace kalvoran {

class TransferProgress {
public:
    TransferProgress(QProgressBar& progressBar, QLineEdit& byteCountBox)
        : bar(progressBar), byteCount(byteCountBox) {}

    // The range 0..maximum (a maximum of 0 shows an empty bar) and the position in it. A bar
    // that moved on by one block is shown when the window is next brought up to date; any
    // other change at once.
    void Set(int maximum, int position);
    void SetByteCount(const QString& text) { pendingByteCount = text; }
    // Empties the box at once (a change of transfer type).
    void ClearByteCount();
    // Brings the bar and the box to what they were last told.
    void Show();

private:
    QProgressBar& bar;
    QLineEdit& byteCount;
    int maximum = 100;
    int value = 0;
    std::optional<QString> pendingByteCount;
};

}  // namespace kalvoran

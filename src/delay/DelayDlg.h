// The delay dialog: shows "Delay <n> seconds" and a bar that fills one step a second, and closes
// by itself when the time has passed. Nothing the operator does ends the wait early.
#pragma once

#include <QDialog>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "delay/DelayClock.h"
#include "delay/DelayCountdown.h"

class QCloseEvent;
class QGroupBox;
class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;

namespace kalvoran::delay {

// The error box: caption, text, stop icon and one OK button, owned by the given window.
std::unique_ptr<QMessageBox> MakeErrorBox(QWidget* owner, const QString& caption,
                                          const QString& text);

// The program's own icon, at the sizes a title bar and a task bar ask for.
QIcon DelayIcon();

class CDelayDlg : public QDialog {
    Q_OBJECT

public:
    // Shows an error to the operator: caption and text.
    using ErrorReporter = std::function<void(const QString& caption, const QString& text)>;

    // words holds every command-line word, the program name first.
    CDelayDlg(std::vector<std::string> words, DelayClock& waitClock, QWidget* parent = nullptr);

    // Replaces the error box, e.g. by standard error where nobody could dismiss a box.
    void SetErrorReporter(ErrorReporter reporter);

    // Initialises the dialog and, when there is a wait to do, runs it modally. Returns the exit
    // code of the program: kExitUsage after the usage, otherwise kExitDone.
    int DoModal();

    // Argument handling and caption. Returns false when the dialog is to close at once (no
    // argument, or the usage has been shown).
    bool OnInitDialog();
    // Sets up the bar and the countdown and takes the first pass of the wait.
    void OnStartDelay();
    // One pass of the wait: moves the bar to the seconds elapsed, ends the dialog when the time
    // has passed, and otherwise arms the timer for the next whole second.
    void OnDelayTick();

    std::int32_t Seconds() const { return seconds; }
    bool IsWaiting() const { return waiting; }
    bool HasEnded() const { return ended; }

    // Esc (and any other request to reject the dialog) is ignored while the wait runs.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void EndDelay();

    std::vector<std::string> commandLine;
    DelayClock& clock;
    ErrorReporter reportError;
    bool usageShown = false;

    std::string argumentText;
    std::int32_t seconds = 0;
    std::string captionText;

    DelayCountdown countdown;
    QTimer tickTimer{this};
    bool waiting = false;
    bool ended = false;

    QGroupBox* groupBox = nullptr;
    QProgressBar* progressBar = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QLabel* statusText = nullptr;
};

}  // namespace kalvoran::delay

// The delay dialog: shows "Delay <n> seconds" and a bar that advances once a second, and closes
// by itself when the time has passed. Nothing the operator does ends the wait early.
#pragma once

#include <QDialog>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "delay/DelayArguments.h"
#include "delay/DelayClock.h"

class QCloseEvent;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace kalvoran::delay {

class CDelayDlg : public QDialog {
    Q_OBJECT

public:
    // Shows an error to the operator: caption and text.
    using ErrorReporter = std::function<void(const QString& caption, const QString& text)>;

    // commandLine holds every command-line word, the program name first.
    CDelayDlg(std::vector<std::string> commandLine, CDelayClock& clock, QWidget* parent = nullptr);

    // Replaces the error box, e.g. by standard error where nobody could dismiss a box.
    void SetErrorReporter(ErrorReporter reporter);

    // Initialises the dialog and, when there is a wait to do, runs it modally. Returns the exit
    // code of the program, always 0.
    int DoModal();

    // Argument handling and caption. Returns false when the dialog is to close at once (no
    // argument, or the usage has been shown).
    bool OnInitDialog();
    // Sets up the bar and the countdown and takes the first pass of the wait.
    void OnStartDelay();
    // One pass of the wait: steps the bar for the seconds elapsed, ends the dialog when the time
    // has passed, and otherwise arms the timer for the next whole second.
    void OnDelayTick();

    std::int32_t Seconds() const { return m_seconds; }
    bool IsWaiting() const { return m_waiting; }
    bool HasEnded() const { return m_ended; }

    // Esc (and any other request to reject the dialog) is ignored while the wait runs.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void EndDelay();

    std::vector<std::string> m_commandLine;
    CDelayClock& m_clock;
    ErrorReporter m_reportError;

    std::string m_argumentText;
    std::int32_t m_seconds = 0;
    std::string m_captionText;

    CDelayCountdown m_countdown;
    QTimer m_tickTimer{this};
    bool m_barSteps = true;
    bool m_waiting = false;
    bool m_ended = false;

    QGroupBox* m_groupBox = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QPushButton* m_okButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QLabel* m_statusText = nullptr;
};

}  // namespace kalvoran::delay

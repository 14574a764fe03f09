#include "delay/DelayDlg.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <utility>

namespace kalvoran::delay {

namespace {

// The dialog's size and control positions in dialog units: a quarter of the average character
// width across, an eighth of the line height down.
constexpr int kDialogWidthDlu = 185;
constexpr int kDialogHeightDlu = 87;

// A pass is timed a little after the clock's second boundary, so that it surely sees the new
// second rather than waking just before it.
constexpr int kTickMarginMs = 5;

class DialogUnits {
public:
    explicit DialogUnits(const QFontMetrics& metrics)
        : m_baseX(metrics.averageCharWidth()), m_baseY(metrics.height()) {}

    int X(int dlu) const { return dlu * m_baseX / 4; }
    int Y(int dlu) const { return dlu * m_baseY / 8; }
    QRect Rect(int x, int y, int width, int height) const {
        return QRect(X(x), Y(y), X(width), Y(height));
    }

private:
    int m_baseX;
    int m_baseY;
};

void ShowErrorBox(QWidget* owner, const QString& caption, const QString& text) {
    QMessageBox::critical(owner, caption, text, QMessageBox::Ok);
}

}  // namespace

CDelayDlg::CDelayDlg(std::vector<std::string> commandLine, CDelayClock& clock, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      m_commandLine(std::move(commandLine)),
      m_clock(clock),
      m_reportError([this](const QString& caption, const QString& text) {
          ShowErrorBox(this, caption, text);
      }) {
    setWindowTitle(QStringLiteral("DELAY"));
    m_tickTimer.setObjectName(QStringLiteral("tickTimer"));
    m_tickTimer.setSingleShot(true);
    m_tickTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_tickTimer, &QTimer::timeout, this, &CDelayDlg::OnDelayTick);
    BuildControls();
}

void CDelayDlg::BuildControls() {
    const DialogUnits units(fontMetrics());
    setFixedSize(units.X(kDialogWidthDlu), units.Y(kDialogHeightDlu));

    // The group box is made first so that the bar and the buttons lie on top of it.
    m_groupBox = new QGroupBox(tr("Elapsed time"), this);
    m_groupBox->setObjectName(QStringLiteral("groupBox"));
    m_groupBox->setGeometry(units.Rect(13, 16, 159, 53));

    m_progressBar = new QProgressBar(this);
    m_progressBar->setObjectName(QStringLiteral("progressBar"));
    m_progressBar->setGeometry(units.Rect(17, 26, 147, 8));
    m_progressBar->setTextVisible(false);
    m_progressBar->setRange(0, 1);
    m_progressBar->setValue(0);

    // Both buttons stay disabled for the whole run: the wait cannot be cut short.
    m_okButton = new QPushButton(tr("OK"), this);
    m_okButton->setObjectName(QStringLiteral("okButton"));
    m_okButton->setGeometry(units.Rect(18, 48, 50, 14));
    m_okButton->setDefault(true);
    m_okButton->setEnabled(false);

    m_cancelButton = new QPushButton(tr("Cancel"), this);
    m_cancelButton->setObjectName(QStringLiteral("cancelButton"));
    m_cancelButton->setGeometry(units.Rect(115, 48, 50, 14));
    m_cancelButton->setEnabled(false);

    m_statusText = new QLabel(tr("Please wait..."), this);
    m_statusText->setObjectName(QStringLiteral("statusText"));
    m_statusText->setGeometry(units.Rect(95, 70, 76, 8));
    m_statusText->setEnabled(false);
}

void CDelayDlg::SetErrorReporter(ErrorReporter reporter) {
    m_reportError = std::move(reporter);
}

int CDelayDlg::DoModal() {
    if (!OnInitDialog()) {
        return 0;
    }
    // The wait starts from the event loop, once the dialog is on screen.
    QMetaObject::invokeMethod(this, &CDelayDlg::OnStartDelay, Qt::QueuedConnection);
    exec();
    return 0;
}

bool CDelayDlg::OnInitDialog() {
    switch (ClassifyArguments(static_cast<int>(m_commandLine.size()))) {
        case DelayCommand::kEndSilently:
            return false;
        case DelayCommand::kShowUsage:
            m_reportError(QString::fromLatin1(kErrorCaption), QString::fromLatin1(kUsageText));
            return false;
        case DelayCommand::kWait:
            break;
    }
    m_argumentText = m_commandLine[1];
    m_seconds = ParseSeconds(m_argumentText.c_str());
    m_captionText = FormatCaption(m_seconds);
    setWindowTitle(QString::fromStdString(m_captionText));
    return true;
}

void CDelayDlg::OnStartDelay() {
    // An empty range (a wait of a multiple of 65536 seconds) would turn the bar into an endlessly
    // animated busy indicator; such a bar stays empty instead.
    const int upperBound = BarUpperBound(m_seconds);
    m_progressBar->setRange(0, upperBound > 0 ? upperBound : 1);
    m_barSteps = upperBound > 0;
    m_progressBar->setValue(0);
    m_countdown.Start(m_clock.Now(), m_seconds);
    m_waiting = true;
    OnDelayTick();
}

void CDelayDlg::OnDelayTick() {
    if (!m_waiting) {
        return;
    }
    const DelayPass pass = m_countdown.Advance(m_clock.Now());
    if (pass.steps > 0 && m_barSteps) {
        m_progressBar->setValue(
            AdvanceBarPosition(m_progressBar->value(), pass.steps, m_progressBar->maximum()));
    }
    if (pass.finished) {
        EndDelay();
        return;
    }
    m_tickTimer.start(m_clock.MillisecondsToNextSecond() + kTickMarginMs);
}

void CDelayDlg::EndDelay() {
    m_waiting = false;
    m_ended = true;
    m_tickTimer.stop();
    done(QDialog::Accepted);
}

// The close box, Alt+F4 and the window manager's close request do not end the wait: a script
// that runs delay between two steps relies on the full wait having passed when it goes on.
void CDelayDlg::closeEvent(QCloseEvent* event) {
    if (m_ended) {
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
}

// Esc does not end the wait either.
void CDelayDlg::reject() {
    if (m_ended) {
        QDialog::reject();
    }
}

}  // namespace kalvoran::delay

#include "delay/DelayDlg.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <cmath>
#include <utility>

#include "delay/DelayArguments.h"

// At global scope: the macro declares the resource initialiser, which lives outside any
// namespace. Calling it keeps the icons of this static library in every program that links it.
static void InitDelayResources() {
    Q_INIT_RESOURCE(kalvoran_delay);
}

namespace kalvoran::delay {

namespace {

// The dialog's size in dialog units: a quarter of the average width of the 52 letters across,
// an eighth of the line height down, so the window keeps its proportions with any font.
constexpr int kDialogWidthDlu = 185;
constexpr int kDialogHeightDlu = 87;
constexpr const char* kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

class DialogUnits {
public:
    explicit DialogUnits(const QFontMetrics& metrics)
        : baseX(metrics.horizontalAdvance(QLatin1String(kLetters)) / 52.0),
          baseY(metrics.height()) {}

    int X(int dlu) const { return static_cast<int>(std::lround(dlu * baseX / 4)); }
    int Y(int dlu) const { return static_cast<int>(std::lround(dlu * baseY / 8)); }
    // Edges are converted one by one, so controls that line up in units line up in pixels.
    QRect Rect(int x, int y, int width, int height) const {
        return QRect(QPoint(X(x), Y(y)), QPoint(X(x + width) - 1, Y(y + height) - 1));
    }

private:
    double baseX;
    double baseY;
};

}  // namespace

std::unique_ptr<QMessageBox> MakeErrorBox(QWidget* owner, const QString& caption,
                                          const QString& text) {
    return std::make_unique<QMessageBox>(QMessageBox::Critical, caption, text, QMessageBox::Ok,
                                         owner);
}

QIcon DelayIcon() {
    InitDelayResources();
    QIcon icon;
    for (const int size : {16, 32, 48, 64}) {
        icon.addFile(QStringLiteral(":/delay/kalvoran-delay-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

CDelayDlg::CDelayDlg(std::vector<std::string> words, DelayClock& waitClock, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      commandLine(std::move(words)),
      clock(waitClock),
      reportError([this](const QString& caption, const QString& text) {
          MakeErrorBox(this, caption, text)->exec();
      }) {
    setWindowTitle(QStringLiteral("DELAY"));
    setWindowIcon(DelayIcon());
    tickTimer.setObjectName(QStringLiteral("tickTimer"));
    tickTimer.setSingleShot(true);
    tickTimer.setTimerType(Qt::PreciseTimer);
    connect(&tickTimer, &QTimer::timeout, this, &CDelayDlg::OnDelayTick);
    BuildControls();
}

void CDelayDlg::BuildControls() {
    const DialogUnits units(fontMetrics());
    setFixedSize(units.X(kDialogWidthDlu), units.Y(kDialogHeightDlu));

    // The group box is made first so that the bar and the buttons lie on top of it. It has no
    // caption: the window's caption states the wait, and a caption inside would stand above the
    // frame line in some styles and on it in others, where the bar would cover it.
    groupBox = new QGroupBox(this);
    groupBox->setObjectName(QStringLiteral("groupBox"));
    groupBox->setGeometry(units.Rect(13, 16, 159, 53));

    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setGeometry(units.Rect(17, 26, 147, 8));
    progressBar->setTextVisible(false);
    progressBar->setRange(0, 1);
    progressBar->setValue(0);

    // Both buttons stay disabled for the whole run: the wait cannot be cut short.
    okButton = new QPushButton(tr("OK"), this);
    okButton->setObjectName(QStringLiteral("okButton"));
    okButton->setGeometry(units.Rect(18, 48, 50, 14));
    okButton->setDefault(true);
    okButton->setEnabled(false);

    cancelButton = new QPushButton(tr("Cancel"), this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    cancelButton->setGeometry(units.Rect(115, 48, 50, 14));
    cancelButton->setEnabled(false);

    statusText = new QLabel(tr("Please wait..."), this);
    statusText->setObjectName(QStringLiteral("statusText"));
    statusText->setGeometry(units.Rect(95, 70, 76, 8));
    statusText->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    statusText->setEnabled(false);
}

void CDelayDlg::SetErrorReporter(ErrorReporter reporter) {
    reportError = std::move(reporter);
}

int CDelayDlg::DoModal() {
    if (!OnInitDialog()) {
        return usageShown ? kExitUsage : kExitDone;
    }
    // The wait starts from the event loop, once the dialog is on screen.
    QMetaObject::invokeMethod(this, &CDelayDlg::OnStartDelay, Qt::QueuedConnection);
    exec();
    return kExitDone;
}

bool CDelayDlg::OnInitDialog() {
    switch (ClassifyArguments(static_cast<int>(commandLine.size()))) {
        case DelayCommand::EndSilently:
            return false;
        case DelayCommand::ShowUsage:
            reportError(QString::fromLatin1(kErrorCaption), QString::fromLatin1(kUsageText));
            usageShown = true;
            return false;
        case DelayCommand::Wait:
            break;
    }
    argumentText = commandLine[1];
    seconds = ParseSeconds(argumentText.c_str());
    captionText = FormatCaption(seconds);
    setWindowTitle(QString::fromStdString(captionText));
    return true;
}

void CDelayDlg::OnStartDelay() {
    progressBar->setRange(0, BarMaximum(seconds));
    progressBar->setValue(0);
    countdown.Start(clock.Now(), seconds);
    waiting = true;
    OnDelayTick();
}

void CDelayDlg::OnDelayTick() {
    if (!waiting) {
        return;
    }
    const DelayPass pass = countdown.Advance(clock.Now());
    progressBar->setValue(pass.barPosition);
    if (pass.finished) {
        EndDelay();
        return;
    }
    tickTimer.start(pass.untilNextStep);
}

void CDelayDlg::EndDelay() {
    waiting = false;
    ended = true;
    tickTimer.stop();
    done(QDialog::Accepted);
}

// The close box, Alt+F4 and the window manager's close request do not end the wait: a script
// that runs delay between two steps relies on the full wait having passed when it goes on.
void CDelayDlg::closeEvent(QCloseEvent* event) {
    if (ended) {
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
}

// Esc does not end the wait either.
void CDelayDlg::reject() {
    if (ended) {
        QDialog::reject();
    }
}

}  // namespace kalvoran::delay

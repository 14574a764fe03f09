#include "delay/DelayApp.h"

#include <QApplication>
#include <QByteArray>
#include <cstdio>
#include <string>
#include <vector>

#include "delay/DelayClock.h"
#include "delay/DelayDlg.h"

namespace kalvoran::delay {

namespace {

bool IsSet(const char* name) {
    return !qEnvironmentVariableIsEmpty(name);
}

// Platforms without a screen: a box shown there could never be dismissed.
bool IsHeadlessPlatform() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

void WriteErrorToStandardError(const QString& /*caption*/, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fprintf(stderr, "%s\n", bytes.constData());
    std::fflush(stderr);
}

}  // namespace

bool IsDisplayAvailable() {
    return IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

CDelayApp::CDelayApp(int& argc, char** argv) : m_argc(argc), m_argv(argv) {}

int CDelayApp::InitInstance() {
    // The words are taken before the application object sees them, so every word counts as an
    // argument, as the operator typed it.
    std::vector<std::string> commandLine(m_argv, m_argv + m_argc);

    // Without a display (a script run over ssh or from a scheduler) the wait still takes place,
    // only without a window; the usage then goes to standard error.
    if (!IsDisplayAvailable()) {
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    }
    QApplication application(m_argc, m_argv);

    CSystemDelayClock clock;
    CDelayDlg dialog(std::move(commandLine), clock);
    if (IsHeadlessPlatform()) {
        dialog.SetErrorReporter(&WriteErrorToStandardError);
    }
    return dialog.DoModal();
}

}  // namespace kalvoran::delay

#include "delay/DelayApp.h"

#include <QApplication>
#include <QByteArray>
#include <cstdio>
#include <vector>

#include "delay/DelayClock.h"
#include "delay/DelayDlg.h"

namespace kalvoran::delay {

namespace {

// The program says nothing but its usage: the toolkit's own notes (a missing XDG_RUNTIME_DIR
// under cron, a display it could not reach before it fell back) would only confuse the script
// that reads standard error.
void DropToolkitMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

std::string Environment(const char* name) {
    return qEnvironmentVariable(name).toStdString();
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

std::string ChoosePlatforms(const std::string& namedPlatform, const std::string& x11Display,
                            const std::string& waylandDisplay) {
    if (!namedPlatform.empty()) {
        return namedPlatform;
    }
    std::string platforms;
    if (!waylandDisplay.empty()) {
        platforms += "wayland;";
    }
    if (!x11Display.empty()) {
        platforms += "xcb;";
    }
    return platforms + "offscreen";
}

CDelayApp::CDelayApp(int& argumentCount, char** arguments) : argc(argumentCount), argv(arguments) {}

int CDelayApp::InitInstance() {
    // The words are taken before the application object sees them, so every word counts as an
    // argument, as the operator typed it.
    std::vector<std::string> commandLine(argv, argv + argc);

    qInstallMessageHandler(DropToolkitMessages);
    const std::string platforms = ChoosePlatforms(
        Environment("QT_QPA_PLATFORM"), Environment("DISPLAY"), Environment("WAYLAND_DISPLAY"));
    qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString(platforms));
    QApplication application(argc, argv);

    SystemDelayClock clock;
    CDelayDlg dialog(std::move(commandLine), clock);
    if (IsHeadlessPlatform()) {
        dialog.SetErrorReporter(&WriteErrorToStandardError);
    }
    return dialog.DoModal();
}

}  // namespace kalvoran::delay

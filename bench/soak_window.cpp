// soak_window: the client's window off screen, driven as an operator drives it, for
// bench/soak.sh. One window on the offscreen platform, its profile in the file given, its error
// boxes written to standard error instead of shown, APPLICATION UPGRADE selected, the agent's
// address typed into the four fields and the file's path into the download field.
//
//   soak_window sends N --address A --file F --agent-dir D --profile P [--clear-log]
//     clicks DOWNLOAD TO DEVICE N times in the one window; each click returns once the send
//     and the status poll after it have ended. After each click the agent's D/image.bin must
//     be F byte for byte and the status log must end with the agent's final status; the copy
//     is then removed for the next send. After every send it prints the open descriptors
//     (entries of /proc/self/fd), the resident set (VmRSS) and the lines in the status log:
//       sample SEND FDS RSS_KB LOG_LINES
//     The log keeps every line of the session; with --clear-log it is emptied through the
//     widget before each send, so that what remains is the cost of the sends themselves.
//     Exit code 0 when every send succeeded, 1 otherwise (the reason on standard error).
//
//   soak_window close MS --address A --file F --profile P
//     clicks DOWNLOAD TO DEVICE from the event loop, as the program does, and closes the window
//     after MS milliseconds as its close box does (close() from a timer), whatever the send is
//     doing then. Ends like the program: the exit code the window requested, else the loop's.
//     Prints how long after the click the loop ended and how long after the close, then the
//     status log.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "tftp/CommandLine.h"
#include "tftp/TransferTypes.h"
#include "ui/TftpClientDlg.h"

namespace {

using kalvoran::CTftpClientDlg;

constexpr const char* kUsage =
    "usage: soak_window sends N --address A --file F --agent-dir D --profile P [--clear-log]\n"
    "       soak_window close MS --address A --file F --profile P\n";
constexpr const char* kFinalStatus = "Memory compare Flash/Ram is OK";

struct Options {
    std::string mode;
    long count = 0;  // sends N, or close MS
    std::string address;
    std::string file;
    std::string agentDir;
    std::string profile;
    bool clearLog = false;
};

std::optional<long> ReadNumber(std::string_view text) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    if (argc < 3) {
        return std::nullopt;
    }
    Options options;
    options.mode = argv[1];
    const auto count = ReadNumber(argv[2]);
    if ((options.mode != "sends" && options.mode != "close") || !count) {
        return std::nullopt;
    }
    options.count = *count;
    int end = argc;
    if (std::string_view(argv[argc - 1]) == "--clear-log") {
        options.clearLog = true;
        --end;
    }
    for (int i = 3; i + 1 < end; i += 2) {
        const std::string_view name = argv[i];
        std::string* target = name == "--address"     ? &options.address
                              : name == "--file"      ? &options.file
                              : name == "--agent-dir" ? &options.agentDir
                              : name == "--profile"   ? &options.profile
                                                      : nullptr;
        if (target == nullptr) {
            return std::nullopt;
        }
        *target = argv[i + 1];
    }
    const QStringList octets = QString::fromStdString(options.address).split(QLatin1Char('.'));
    if (end % 2 == 0 || octets.size() != 4 || options.file.empty() || options.profile.empty() ||
        (options.mode == "sends" && (options.agentDir.empty() || options.count < 1))) {
        return std::nullopt;
    }
    return options;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

long OpenDescriptors() {
    std::error_code error;
    long count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return count - 1;  // the iterator's own descriptor
}

long ResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    std::string rest;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kilobytes = -1;
            status >> kilobytes;
            return kilobytes;
        }
        std::getline(status, rest);
    }
    return -1;
}

template <typename Widget>
Widget* Find(CTftpClientDlg& dialog, const QString& name) {
    auto* widget = dialog.findChild<Widget*>(name);
    if (widget == nullptr) {
        std::fprintf(stderr, "soak_window: no widget %s\n", qPrintable(name));
    }
    return widget;
}

// Selects APPLICATION UPGRADE, types the address and the file's path.
bool FillIn(CTftpClientDlg& dialog, const Options& options) {
    auto* type = Find<QComboBox>(dialog, QStringLiteral("transferType"));
    auto* path = Find<QLineEdit>(dialog, QStringLiteral("downloadFileName"));
    if (type == nullptr || path == nullptr) {
        return false;
    }
    type->setCurrentIndex(kalvoran::APPLICATION_UPGRADE);
    path->setText(QString::fromStdString(options.file));
    const QStringList octets = QString::fromStdString(options.address).split(QLatin1Char('.'));
    for (int i = 0; i < 4; ++i) {
        auto* field = Find<QLineEdit>(dialog, QStringLiteral("agentAddress%1").arg(i));
        if (field == nullptr) {
            return false;
        }
        field->setText(octets[i]);
    }
    return true;
}

void ClickDownload(CTftpClientDlg& dialog) {
    QTest::mouseClick(Find<QPushButton>(dialog, QStringLiteral("downloadToDevice")),
                      Qt::LeftButton);
}

int RunSends(CTftpClientDlg& dialog, const Options& options) {
    const auto image = ReadWholeFile(options.file);
    if (!image) {
        std::fprintf(stderr, "soak_window: cannot read %s\n", options.file.c_str());
        return 1;
    }
    const std::string copy = options.agentDir + "/image.bin";
    auto* log = Find<QPlainTextEdit>(dialog, QStringLiteral("statusLog"));
    if (log == nullptr) {
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    for (long send = 1; send <= options.count; ++send) {
        std::filesystem::remove(copy);
        if (options.clearLog) {
            log->clear();
        }
        ClickDownload(dialog);
        const QString text = log->toPlainText();
        if (ReadWholeFile(copy) != image || !text.contains(QString::fromLatin1(kFinalStatus))) {
            std::fprintf(stderr,
                         "soak_window: send %ld: the agent's copy differs from %s, or the log "
                         "lacks the final status; the log:\n%s\n",
                         send, options.file.c_str(), qPrintable(text));
            return 1;
        }
        std::printf("sample %ld %ld %ld %d\n", send, OpenDescriptors(), ResidentKilobytes(),
                    log->document()->blockCount());
        std::fflush(stdout);
    }
    std::printf("sends %ld in %.2f s\n", options.count, clock.elapsed() / 1000.0);
    return 0;
}

int RunClose(CTftpClientDlg& dialog, const Options& options) {
    const auto imageBytes = static_cast<qint64>(std::filesystem::file_size(options.file));
    QElapsedTimer clock;
    QTimer::singleShot(0, &dialog, [&] {
        clock.start();
        ClickDownload(dialog);
    });
    QElapsedTimer sinceClose;
    QTimer::singleShot(static_cast<int>(options.count), &dialog, [&] {
        // Where the send was: the log's last line and the byte count at that moment.
        auto* log = Find<QPlainTextEdit>(dialog, QStringLiteral("statusLog"));
        auto* bytes = Find<QLineEdit>(dialog, QStringLiteral("bytesSentRecvd"));
        QStringList lines =
            log != nullptr ? log->toPlainText().split(QLatin1Char('\n')) : QStringList();
        lines.removeIf([](const QString& line) { return line.trimmed().isEmpty(); });
        // The phase: the status poll once it has begun, the data (or the ping before it) until
        // the whole file is counted, and the wait for a late datagram in between.
        const bool polling = std::any_of(lines.begin(), lines.end(), [](const QString& line) {
            return line.startsWith(QStringLiteral("Getting Status (if available):"));
        });
        const bool whole = bytes != nullptr && bytes->text() == QString::number(imageBytes);
        std::printf("at the close: phase %s, bytes %s, last log line \"%s\"\n",
                    polling ? "status-poll"
                    : whole ? "late-wait"
                            : "data",
                    bytes != nullptr ? qPrintable(bytes->text()) : "?",
                    lines.isEmpty() ? "" : qPrintable(lines.last()));
        sinceClose.start();
        dialog.close();
    });
    const int loopResult = QApplication::exec();
    std::printf("closed %.3f s after the click, the loop ended %.3f s after the close\n",
                clock.elapsed() / 1000.0,
                sinceClose.isValid() ? sinceClose.elapsed() / 1000.0 : -1.0);
    if (auto* log = Find<QPlainTextEdit>(dialog, QStringLiteral("statusLog"))) {
        std::printf("%s\n", qPrintable(log->toPlainText()));
    }
    return dialog.ExitRequested().value_or(loopResult);
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    }
    int toolkitArgc = 1;
    QApplication application(toolkitArgc, argv);
    int errorBoxes = 0;
    CTftpClientDlg::SetErrorBoxRecorder([&errorBoxes](const QString& text) {
        ++errorBoxes;
        std::fprintf(stderr, "soak_window: error box: %s\n", qPrintable(text));
    });
    CTftpClientDlg dialog(options->profile);
    if (!dialog.Initialise(kalvoran::CommandLine{}) || !FillIn(dialog, *options)) {
        return 1;
    }
    dialog.show();
    const int result =
        options->mode == "sends" ? RunSends(dialog, *options) : RunClose(dialog, *options);
    CTftpClientDlg::SetErrorBoxRecorder(nullptr);
    if (options->mode == "sends" && errorBoxes > 0) {
        return 1;
    }
    return result;
}

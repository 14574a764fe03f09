#include "ui/FileBrowser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <utility>

namespace kalvoran {

namespace {

struct BrowseHook {
    bool armed = false;
    std::optional<QString> answer;
    std::optional<BrowseRequest> lastRequest;
};

BrowseHook& Hook() {
    static BrowseHook hook;
    return hook;
}

// The folder the dialog opens in: that of the path in the field, where it exists.
QString StartDirectory(const QString& path) {
    const QFileInfo info(path);
    const QDir folder = info.isDir() ? QDir(path) : info.dir();
    return !path.isEmpty() && folder.exists() ? folder.absolutePath() : QString();
}

}  // namespace

BrowseRequest DownloadBrowseRequest(const QString& fieldText) {
    return {{QStringLiteral("Binary Files (*.bin)"), QStringLiteral("Config Files (*.cfg)"),
             QStringLiteral("Command Files (*.cmd)"), QStringLiteral("All Files (*)")},
            QStringLiteral("bin"),
            true,
            fieldText};
}

BrowseRequest UploadBrowseRequest(const QString& fieldText) {
    return {{QStringLiteral("Binary Files (*.bin)"), QStringLiteral("Config Files (*.cfg)"),
             QStringLiteral("All Files (*)")},
            QStringLiteral("bin"),
            false,
            fieldText};
}

void BrowseForFile(QWidget* owner, const BrowseRequest& request,
                   std::function<void(const QString&)> onChosen) {
    BrowseHook& hook = Hook();
    hook.lastRequest = request;
    if (hook.armed) {
        hook.armed = false;
        if (hook.answer.has_value()) {
            onChosen(*std::exchange(hook.answer, std::nullopt));
        }
        return;
    }
    auto* dialog =
        new QFileDialog(owner, QStringLiteral("Open"), StartDirectory(request.startPath));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(request.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog->setNameFilters(request.nameFilters);
    dialog->selectNameFilter(request.nameFilters.front());
    dialog->setDefaultSuffix(request.defaultSuffix);
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                     [onChosen = std::move(onChosen)](const QString& path) {
                         onChosen(QDir::toNativeSeparators(path));
                     });
    dialog->open();
}

void SetNextBrowseAnswer(std::optional<QString> answer) {
    Hook().armed = true;
    Hook().answer = std::move(answer);
}

const std::optional<BrowseRequest>& LastBrowseRequest() {
    return Hook().lastRequest;
}

}  // namespace kalvoran

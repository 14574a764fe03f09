// The two Browse buttons' file dialogs. A dialog runs without blocking, so a transfer that is
// under way keeps running while the operator browses. Tests answer the next dialog through a
// hook instead of the operator.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QWidget;

namespace kalvoran {

struct BrowseRequest {
    QStringList nameFilters;  // the first one is selected
    QString defaultSuffix;    // added to a typed name without an extension
    bool mustExist = true;    // false: a file about to be written may be named
    QString startPath;        // the field's current text
};

// "Browse...": a file to send, from Binary, Config, Command or all files.
BrowseRequest DownloadBrowseRequest(const QString& fieldText);
// "Browse": the file a fetch writes, from Binary, Config or all files; it need not exist yet.
BrowseRequest UploadBrowseRequest(const QString& fieldText);

// Shows a file-open dialog owned by owner. On OK the full path goes to onChosen; Cancel changes
// nothing.
void BrowseForFile(QWidget* owner, const BrowseRequest& request,
                   std::function<void(const QString&)> onChosen);

// Tests: the next BrowseForFile shows no dialog and takes this answer, a path or std::nullopt
// for Cancel. The request it was given is kept for the test to read.
void SetNextBrowseAnswer(std::optional<QString> answer);
const std::optional<BrowseRequest>& LastBrowseRequest();

}  // namespace kalvoran

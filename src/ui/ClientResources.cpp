#include "ui/ClientResources.h"

#include <QFile>
#include <QPainter>

// Resources of a static library are registered by name, from the global namespace.
static void RegisterClientResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(client);
        return true;
    }();
    (void)registered;
}

namespace kalvoran {

namespace {

constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128};
const QString kPictureResource = QStringLiteral(":/client/agent-card.png");
const QString kHelpResource = QStringLiteral(":/client/help.html");
// The picture's own backdrop, which also fills the margins its proportions leave.
const QColor kPictureBackdrop(0xee, 0xf3, 0xf8);

}  // namespace

QIcon ProgramIcon() {
    RegisterClientResources();
    QIcon icon;
    for (int size : kIconSizes) {
        icon.addFile(QStringLiteral(":/client/kalvoran-tftp-client-%1.png").arg(size),
                     QSize(size, size));
    }
    return icon;
}

QPixmap WindowPicture(const QSize& size, qreal pixelRatio) {
    RegisterClientResources();
    QPixmap pixmap(size * pixelRatio);
    pixmap.fill(kPictureBackdrop);
    const QPixmap picture =
        QPixmap(kPictureResource)
            .scaled(pixmap.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPainter painter(&pixmap);
    painter.drawPixmap((pixmap.width() - picture.width()) / 2,
                       (pixmap.height() - picture.height()) / 2, picture);
    painter.end();
    pixmap.setDevicePixelRatio(pixelRatio);
    return pixmap;
}

QString HelpText() {
    RegisterClientResources();
    QFile file(kHelpResource);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

}  // namespace kalvoran

// The client's bundled resources (res/client/client.qrc): the program icon and the main window's
// picture, both drawn as SVG and rendered to PNG by res/client/render-images.sh, and the help
// text.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace kalvoran {

// The program icon at the sizes desktops ask for.
QIcon ProgramIcon();
// The main window's picture, scaled to fit size (device-independent pixels) on a screen of the
// given pixel ratio, centred on its own backdrop colour.
QPixmap WindowPicture(const QSize& size, qreal pixelRatio);
// The help window's text, as HTML.
QString HelpText();

}  // namespace kalvoran

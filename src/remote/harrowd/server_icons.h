// harrowd's pictures, drawn rather than shipped: the status bar's idle and busy pictures and the
// tray's online and offline icons.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace harrow::remote {

// Bitmaps 134 (idle) and 135 (busy): 12 pixels wide, as the status pane is.
QPixmap activityPicture(bool busy);
// Icons 137 (online: a request being served or a drive open) and 138 (offline).
QIcon trayIcon(bool online);

}  // namespace harrow::remote

// TCoolTrayIcon: the server's icon in the desktop's notification area, with the hint and the
// pop-up menu it is given. The right button opens the menu at the pointer; the left button and
// a double-click do nothing, since the menu has no default item. Main thread only.
#pragma once

#include <QIcon>
#include <QSystemTrayIcon>

class QMenu;

namespace pv {

// The hint shown while the pointer rests on the icon.
inline constexpr const char* kTrayHint = "Quorvin Server";

// The application icon: drawn, so the program needs no image files beside it.
QIcon ApplicationIcon();

class TCoolTrayIcon : public QSystemTrayIcon {
  Q_OBJECT

 public:
  TCoolTrayIcon(QMenu* popup_menu, QObject* parent);
};

}  // namespace pv

#include "shell/desktop/tray_icon.h"

#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace pv {

namespace {

// A speech bubble with two sound waves, drawn at one size; the tray scales it.
QPixmap DrawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  QPainterPath bubble;
  bubble.addRoundedRect(QRectF(s * 0.06, s * 0.08, s * 0.88, s * 0.68), s * 0.18, s * 0.18);
  QPolygonF tail;
  tail << QPointF(s * 0.22, s * 0.70) << QPointF(s * 0.16, s * 0.94) << QPointF(s * 0.44, s * 0.72);
  bubble.addPolygon(tail);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x5f, 0xbf));
  painter.drawPath(bubble.simplified());
  QPen wave(Qt::white, s * 0.07, Qt::SolidLine, Qt::RoundCap);
  painter.setPen(wave);
  painter.setBrush(Qt::NoBrush);
  painter.drawEllipse(QPointF(s * 0.34, s * 0.42), s * 0.07, s * 0.07);
  painter.drawArc(QRectF(s * 0.30, s * 0.24, s * 0.30, s * 0.36), -50 * 16, 100 * 16);
  painter.drawArc(QRectF(s * 0.24, s * 0.16, s * 0.50, s * 0.52), -50 * 16, 100 * 16);
  return pixmap;
}

}  // namespace

QIcon ApplicationIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(DrawIcon(size));
  return icon;
}

TCoolTrayIcon::TCoolTrayIcon(QMenu* popup_menu, QObject* parent) : QSystemTrayIcon(ApplicationIcon(), parent) {
  setObjectName("CoolTrayIcon");
  setToolTip(QString::fromLatin1(kTrayHint));
  // Qt opens the context menu on the right button only; nothing is connected to activated(),
  // so a left click or a double-click changes nothing.
  setContextMenu(popup_menu);
}

}  // namespace pv

#include "ui/resources.h"

#include <QPainter>
#include <QString>

namespace vt {

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128}) {
    icon.addFile(QStringLiteral(":/icons/veltrana-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

QIcon StateIcon(TServerState state) {
  const QColor badge = state == TServerState::Running   ? QColor(0x2e, 0xa0, 0x43)
                       : state == TServerState::Stopped ? QColor(0x8a, 0x8a, 0x8a)
                       : state == TServerState::Waiting ? QColor(0xe8, 0x9a, 0x00)
                                                        : QColor(0xd0, 0x30, 0x30);
  const QIcon program = ProgramIcon();
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap = program.pixmap(size, size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal diameter = size * 0.5;
    const QRectF circle(size - diameter, size - diameter, diameter, diameter);
    painter.setPen(QPen(Qt::white, qMax(1.0, size / 16.0)));
    painter.setBrush(badge);
    painter.drawEllipse(circle.adjusted(0.5, 0.5, -0.5, -0.5));
    if (state == TServerState::Waiting) {
      // A white dot: waiting, neither serving nor broken.
      const qreal dot = diameter * 0.3;
      painter.setPen(Qt::NoPen);
      painter.setBrush(Qt::white);
      painter.drawEllipse(QRectF(circle.center().x() - dot / 2, circle.center().y() - dot / 2, dot, dot));
    }
    if (state == TServerState::Error) {
      const qreal bar = diameter * 0.5;
      painter.fillRect(
          QRectF(circle.center().x() - bar / 2, circle.center().y() - diameter * 0.09, bar, diameter * 0.18),
          Qt::white);
    }
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

QPixmap ServerActivePixmap() { return QPixmap(QStringLiteral(":/icons/server-active.png")); }

QPixmap ServerInactivePixmap() { return QPixmap(QStringLiteral(":/icons/server-inactive.png")); }

}  // namespace vt

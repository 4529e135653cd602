#include "ui/resources.h"

#include <QString>

namespace vt {

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128}) {
    icon.addFile(QStringLiteral(":/icons/veltrana-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

QPixmap ServerActivePixmap() { return QPixmap(QStringLiteral(":/icons/server-active.png")); }

QPixmap ServerInactivePixmap() { return QPixmap(QStringLiteral(":/icons/server-inactive.png")); }

}  // namespace vt

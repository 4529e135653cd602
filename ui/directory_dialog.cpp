#include "ui/directory_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace vt {

bool TfndDirectoryDialog::Execute() {
  QString path;
  if (Chooser) {
    path = Chooser(owner_, Title, InitialDir);
  } else {
    path = QFileDialog::getExistingDirectory(owner_, Title, InitialDir, QFileDialog::ShowDirsOnly);
  }
  if (path.isEmpty()) {
    dir_name_.clear();
    dir_path_.clear();
    return false;
  }
  dir_path_ = QDir::toNativeSeparators(path);
  dir_name_ = QFileInfo(path).fileName();
  if (dir_name_.isEmpty()) dir_name_ = dir_path_;  // the root folder has no last component
  return true;
}

}  // namespace vt

#pragma once

// TfndDirectoryDialog: lets the user pick a folder with Qt's folder chooser.
//
// Lifetime: a plain object; its owner (the window that shows it) keeps it.
// Main thread only.

#include <QString>
#include <functional>

class QWidget;

namespace vt {

class TfndDirectoryDialog {
 public:
  // Asks the user for a folder: the parent window, the prompt, the folder to
  // start in. Returns the chosen folder's full path, or an empty text when
  // the user cancelled.
  using TChooseFolder = std::function<QString(QWidget* parent, const QString& title, const QString& start)>;

  // `owner` becomes the chooser's parent window; without one the chooser is
  // a window of its own.
  explicit TfndDirectoryDialog(QWidget* owner = nullptr) : owner_(owner) {}

  // The prompt shown as the chooser's caption.
  QString Title;
  // Where the chooser starts; empty: Qt's choice (the working directory).
  QString InitialDir;
  // Replaces the real chooser (QFileDialog::getExistingDirectory), for tests.
  TChooseFolder Chooser;

  // The display name (last path component) and full path of the folder the
  // last Execute chose; empty after a cancelled one.
  const QString& DirName() const { return dir_name_; }
  const QString& DirPath() const { return dir_path_; }

  // Shows the chooser, limited to folders. True when the user chose one.
  bool Execute();

 private:
  QWidget* owner_;
  QString dir_name_;
  QString dir_path_;
};

}  // namespace vt

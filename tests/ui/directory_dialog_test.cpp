#include "ui/directory_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QTimer>

#include "support/temp_dir.h"

namespace vt {
namespace {

// Answers the next modal folder chooser: picks `folder`, or cancels when it
// is empty. Records the chooser's caption.
void AnswerChooser(const QString& folder, QString& caption) {
  QTimer::singleShot(0, [folder, &caption] {
    auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(nullptr, chooser);
    caption = chooser->windowTitle();
    if (folder.isEmpty()) {
      chooser->reject();
    } else {
      chooser->setDirectory(folder);
      chooser->selectFile(folder);
      static_cast<QDialog*>(chooser)->accept();  // QFileDialog hides it, the dialog runs it
    }
  });
}

TEST(DirectoryDialog, ExecuteReturnsTheChosenFolderOrClearsBoth) {
  test::TempDir dir;
  const QString folder = QString::fromStdString(dir.File("web pages"));
  ASSERT_TRUE(QDir().mkpath(folder));
  // Qt's own chooser, not one of the desktop's, so that the test can drive it.
  QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);

  TfndDirectoryDialog picker;
  picker.Title = "Select Directory to Publish.";
  picker.InitialDir = QString::fromStdString(dir.Path());
  QString caption;
  AnswerChooser(folder, caption);
  ASSERT_TRUE(picker.Execute());
  EXPECT_EQ("Select Directory to Publish.", caption);
  EXPECT_EQ(folder, picker.DirPath());
  EXPECT_EQ("web pages", picker.DirName());

  AnswerChooser(QString(), caption);
  EXPECT_FALSE(picker.Execute());
  EXPECT_EQ("", picker.DirPath());
  EXPECT_EQ("", picker.DirName());
}

}  // namespace
}  // namespace vt

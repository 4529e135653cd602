// The first-run question: each answer, and another folder chosen first.

#include "ui/first_run_dialog.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include "support/temp_dir.h"

namespace vt {
namespace {

TEST(FirstRunDialog, EachButtonIsAnAnswer) {
  test::TempDir dir;
  dir.WriteFile("Public/readme.txt", "hello");
  const std::string folder = dir.File("Public");
  const struct {
    const char* why;
    QPushButton* TfrmFirstRun::*button;  // nullptr: closed without an answer
    TFirstRunChoice choice;
  } cases[] = {
      {"shared with the network", &TfrmFirstRun::bNetwork, TFirstRunChoice::Network},
      {"this computer only", &TfrmFirstRun::bThisComputer, TFirstRunChoice::ThisComputer},
      {"closed: not now", nullptr, TFirstRunChoice::NotNow},
  };
  for (const auto& c : cases) {
    TfrmFirstRun question(folder);
    EXPECT_NE(-1, question.lQuestion->text().indexOf(QString::fromStdString(folder))) << c.why;
    if (c.button) {
      (question.*c.button)->click();
    } else {
      question.reject();
    }
    EXPECT_EQ(c.choice, question.Answer().Choice) << c.why;
    EXPECT_EQ(folder, question.Answer().Folder) << c.why;
  }
}

TEST(FirstRunDialog, AnotherFolderIsAskedAboutInstead) {
  test::TempDir dir;
  dir.WriteFile("site/index.html", "home");
  TfrmFirstRun question(dir.File("Public"));
  EXPECT_NE(-1, question.lQuestion->text().indexOf("(It will be made.)")) << "the folder is not there yet";
  QString offered;
  question.fndFolder.Chooser = [&](QWidget*, const QString&, const QString& start) {
    offered = start;
    return QString::fromStdString(dir.File("site"));
  };
  question.bOtherFolder->click();
  EXPECT_FALSE(offered.isEmpty());
  EXPECT_EQ(TFirstRunChoice::NotNow, question.Answer().Choice) << "no answer yet";
  EXPECT_NE(-1, question.lQuestion->text().indexOf(QString::fromStdString(dir.File("site"))));
  EXPECT_EQ(-1, question.lQuestion->text().indexOf("(It will be made.)"));
  question.bThisComputer->click();
  EXPECT_EQ(TFirstRunChoice::ThisComputer, question.Answer().Choice);
  EXPECT_EQ(dir.File("site"), question.Answer().Folder);

  // A cancelled picker changes nothing.
  TfrmFirstRun again(dir.File("site"));
  again.fndFolder.Chooser = [](QWidget*, const QString&, const QString&) { return QString(); };
  again.bOtherFolder->click();
  EXPECT_EQ(dir.File("site"), again.Answer().Folder);
}

}  // namespace
}  // namespace vt

#pragma once

// TfrmFirstRun: the one question of a new user's first windowed start,
// asked before anything listens: share the folder with the devices on the
// network, only with this computer, or another folder.
//
// "Choose another folder..." opens the folder picker and asks the same
// question about the folder chosen; closing the window (or Escape) answers
// "not now": the server stays stopped until Start.
//
// Lifetime: created for one question and deleted after it. Main thread only.

#include <QDialog>
#include <string>

#include "app/web_server_app.h"
#include "ui/directory_dialog.h"

class QLabel;
class QPushButton;

namespace vt {

class TfrmFirstRun : public QDialog {
 public:
  // Asks about `folder`.
  explicit TfrmFirstRun(const std::string& folder, QWidget* parent = nullptr);

  // The answer once the dialog has closed (NotNow until one is given).
  const TFirstRunAnswer& Answer() const { return answer_; }

  QLabel* lQuestion;
  QLabel* lNote;
  QPushButton* bNetwork;
  QPushButton* bThisComputer;
  QPushButton* bOtherFolder;
  // The picker behind "Choose another folder..." (tests replace its
  // Chooser).
  TfndDirectoryDialog fndFolder;

 private:
  void ShowFolder();
  void Choose(TFirstRunChoice choice);
  void ChooseOtherFolder();

  TFirstRunAnswer answer_;
};

// Asks the question modally over `owner`; the answer.
TFirstRunAnswer AskFirstRunQuestion(QWidget* owner, const std::string& folder);

}  // namespace vt

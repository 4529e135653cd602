#pragma once

// TfrmAbout: the modal about box. The program picture beside a sunken panel
// whose first line, in bold, names the program and its version.
//
// Lifetime: created for one use and deleted when closed. Main thread only.

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

namespace vt {

inline constexpr const char* kProgramTitle = "Veltrana Web Server 1.0";

class TfrmAbout : public QDialog {
 public:
  explicit TfrmAbout(QWidget* parent = nullptr);

  QLabel* iProgram;
  QFrame* pInfo;     // the sunken panel
  QLabel* lTitle;    // first line, bold
  QLabel* lDetails;  // the lines below it
  QPushButton* bOK;
};

// Shows the about box modally over `owner` and deletes it when closed.
void ShowAboutBox(QWidget* owner);

}  // namespace vt

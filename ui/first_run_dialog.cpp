#include "ui/first_run_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/settings_environment.h"
#include "ui/controls.h"

namespace vt {

TfrmFirstRun::TfrmFirstRun(const std::string& folder, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), fndFolder(this) {
  setWindowTitle(QStringLiteral("Share a folder"));
  answer_.Choice = TFirstRunChoice::NotNow;
  answer_.Folder = folder;
  fndFolder.Title = QStringLiteral("Select Directory to Publish.");

  auto* form = new QVBoxLayout(this);
  form->setSizeConstraint(QLayout::SetFixedSize);
  lQuestion = new QLabel(this);
  lQuestion->setTextFormat(Qt::PlainText);  // a folder name is never markup
  lNote = new QLabel(
      QStringLiteral("Nothing is shared until you answer. You can change this later in Setup."), this);
  bNetwork = new QPushButton(QStringLiteral("With devices on the &network"), this);
  bThisComputer = new QPushButton(QStringLiteral("Only with &this computer"), this);
  bOtherFolder = new QPushButton(QStringLiteral("&Choose another folder..."), this);
  for (QPushButton* button : {bNetwork, bThisComputer, bOtherFolder}) button->setAutoDefault(false);
  bNetwork->setDefault(true);
  auto* buttons = new QHBoxLayout();
  buttons->addWidget(bNetwork);
  buttons->addWidget(bThisComputer);
  buttons->addWidget(bOtherFolder);
  form->addWidget(lQuestion);
  form->addSpacing(6);
  form->addLayout(buttons);
  form->addWidget(lNote);

  connect(bNetwork, &QPushButton::clicked, this, [this] { Choose(TFirstRunChoice::Network); });
  connect(bThisComputer, &QPushButton::clicked, this, [this] { Choose(TFirstRunChoice::ThisComputer); });
  connect(bOtherFolder, &QPushButton::clicked, this, [this] { ChooseOtherFolder(); });
  ShowFolder();
}

void TfrmFirstRun::ShowFolder() {
  const std::string shown = ShortenHomePath(answer_.Folder);
  // The folder on a line of its own, never wrapped: a path wraps badly
  // inside a sentence (a label that wraps also leaves a fixed-size dialog
  // too short for it).
  lQuestion->setText(ToQString(std::string(kServerName) + " shares one folder with web browsers.\n\nShare " +
                               shown + "?" + (DirectoryExists(answer_.Folder) ? "" : " (It will be made.)")));
}

void TfrmFirstRun::Choose(TFirstRunChoice choice) {
  answer_.Choice = choice;
  accept();
}

void TfrmFirstRun::ChooseOtherFolder() {
  fndFolder.InitialDir = ToQString(HomeDirectory());
  if (!fndFolder.Execute()) return;
  answer_.Folder = fndFolder.DirPath().toStdString();
  ShowFolder();
}

TFirstRunAnswer AskFirstRunQuestion(QWidget* owner, const std::string& folder) {
  TfrmFirstRun question(folder, owner);
  question.exec();
  return question.Answer();
}

}  // namespace vt

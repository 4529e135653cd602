#include "ui/about_box.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtGlobal>

#include "ui/resources.h"

namespace vt {

TfrmAbout::TfrmAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("About"));
  auto* form = new QVBoxLayout(this);
  form->setSizeConstraint(QLayout::SetFixedSize);

  auto* row = new QHBoxLayout();
  iProgram = new QLabel(this);
  iProgram->setPixmap(ProgramIcon().pixmap(64, 64));
  iProgram->setAlignment(Qt::AlignTop);
  row->addWidget(iProgram);

  pInfo = new QFrame(this);
  pInfo->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  auto* info = new QVBoxLayout(pInfo);
  lTitle = new QLabel(QString::fromLatin1(kProgramTitle), pInfo);
  QFont bold = lTitle->font();
  bold.setBold(true);
  lTitle->setFont(bold);
  lDetails = new QLabel(pInfo);
  lDetails->setText(QStringLiteral("Version 1.0\n"
                                   "A small HTTP/1.1 web server for the desktop.\n"
                                   "Uses Qt %1.")
                        .arg(QString::fromLatin1(qVersion())));
  info->addWidget(lTitle);
  info->addWidget(lDetails);
  row->addWidget(pInfo);
  form->addLayout(row);

  auto* buttons = new QHBoxLayout();
  buttons->addStretch();
  bOK = new QPushButton(QStringLiteral("OK"), this);
  bOK->setDefault(true);
  buttons->addWidget(bOK);
  buttons->addStretch();
  form->addLayout(buttons);
  connect(bOK, &QPushButton::clicked, this, &QDialog::accept);
}

void ShowAboutBox(QWidget* owner) {
  TfrmAbout about(owner);
  about.exec();
}

}  // namespace vt

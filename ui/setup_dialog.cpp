#include "ui/setup_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "app/listen_on.h"
#include "app/password.h"
#include "app/settings_environment.h"
#include "platform/registry.h"
#include "ui/controls.h"
#include "util/text.h"

namespace vt {

namespace {

constexpr int kDefaultPort = 80;
constexpr int kDefaultThrottleRate = 0;

QGroupBox* NewGroup(const char* title, QWidget* page) {
  auto* group = new QGroupBox(QString::fromLatin1(title), page);
  page->layout()->addWidget(group);
  return group;
}

QWidget* NewPage(QTabWidget* pages, const char* title) {
  auto* page = new QWidget(pages);
  new QVBoxLayout(page);
  pages->addTab(page, QString::fromLatin1(title));
  return page;
}

int FieldNumber(const QString& text, int default_value) {
  return TextToIntOr(text.toStdString(), default_value);
}

}  // namespace

TfrmSetup::TfrmSetup(const TWebServerSettings& settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), fndPubDir(this) {
  setWindowTitle(QStringLiteral("Setup"));
  fndPubDir.Title = QStringLiteral("Select Directory to Publish.");
  CreateControls();
  FormCreate(settings);
  CentreOnDesktop();
}

TfrmSetup::~TfrmSetup() = default;

void TfrmSetup::CreateControls() {
  auto* form = new QVBoxLayout(this);
  form->setSizeConstraint(QLayout::SetFixedSize);  // a fixed-size dialog
  pcSetup = new QTabWidget(this);
  form->addWidget(pcSetup);

  // General
  tsGeneral = NewPage(pcSetup, "General");
  gbSettings = NewGroup(" Settings ", tsGeneral);
  auto* settings_box = new QVBoxLayout(gbSettings);
  cAutoRun = new QCheckBox(QStringLiteral("Automatically run web server on start-up."), gbSettings);
  settings_box->addWidget(cAutoRun);

  gbPubDir = NewGroup(" Published Directory ", tsGeneral);
  auto* pub_dir_box = new QGridLayout(gbPubDir);
  ePubDir = new QLineEdit(gbPubDir);
  ePubDir->setMaxLength(kPubDirMaxLength);
  ePubDir->setMinimumWidth(280);
  bPubDirBrowse = new QPushButton(QStringLiteral("Browse..."), gbPubDir);
  bPubDirBrowse->setAutoDefault(false);
  cExecEXEasCGI = new QCheckBox(QStringLiteral("Execute .EXE files as CGI/1.1 scripts"), gbPubDir);
  pub_dir_box->addWidget(ePubDir, 0, 0);
  pub_dir_box->addWidget(bPubDirBrowse, 0, 1);
  cServeHiddenFiles =
      new QCheckBox(QStringLiteral("Serve hidden files and folders (names beginning with \".\")."), gbPubDir);
  pub_dir_box->addWidget(cExecEXEasCGI, 1, 0, 1, 2);
  pub_dir_box->addWidget(cServeHiddenFiles, 2, 0, 1, 2);
  static_cast<QVBoxLayout*>(tsGeneral->layout())->addStretch();

  // Network
  tsNetwork = NewPage(pcSetup, "Network");
  gbServer = NewGroup(" Server ", tsNetwork);
  auto* server_box = new QHBoxLayout(gbServer);
  lPort = new QLabel(QStringLiteral("Port"), gbServer);
  ePort = new QComboBox(gbServer);
  ePort->setEditable(true);
  ePort->setInsertPolicy(QComboBox::NoInsert);  // Enter means OK, not "add to the list"
  ePort->addItems({QStringLiteral("80"), QStringLiteral("3128"), QStringLiteral("8080")});
  ePort->lineEdit()->setMaxLength(kPortMaxLength);
  ePort->setMinimumWidth(90);
  TDigitKeyFilter::Install(ePort);
  lPort->setBuddy(ePort);
  server_box->addWidget(lPort);
  server_box->addWidget(ePort);
  server_box->addStretch();

  gbListenOn = NewGroup(" Listen on ", tsNetwork);
  auto* listen_box = new QGridLayout(gbListenOn);
  rbListenEvery = new QRadioButton(QStringLiteral("Every address: other computers can connect."), gbListenOn);
  rbListenLocal = new QRadioButton(QStringLiteral("This computer only (127.0.0.1 and ::1)."), gbListenOn);
  rbListenOne = new QRadioButton(QStringLiteral("Only this address:"), gbListenOn);
  eListenAddress = new QComboBox(gbListenOn);
  eListenAddress->setEditable(true);
  eListenAddress->setInsertPolicy(QComboBox::NoInsert);
  eListenAddress->setMinimumWidth(200);
  for (const TInterfaceAddress& entry : LocalInterfaceAddresses())
    eListenAddress->addItem(ToQString(entry.Address.HostText()));
  listen_box->addWidget(rbListenEvery, 0, 0, 1, 2);
  listen_box->addWidget(rbListenLocal, 1, 0, 1, 2);
  listen_box->addWidget(rbListenOne, 2, 0);
  listen_box->addWidget(eListenAddress, 2, 1);

  gbPassword = NewGroup(" Password ", tsNetwork);
  auto* password_box = new QGridLayout(gbPassword);
  cPassword = new QCheckBox(QStringLiteral("Ask every visitor for a password."), gbPassword);
  lAuthUser = new QLabel(QStringLiteral("User name:"), gbPassword);
  eAuthUser = new QLineEdit(gbPassword);
  eAuthUser->setMaxLength(kAuthUserMaxLength);
  lAuthUser->setBuddy(eAuthUser);
  lPassword = new QLabel(QStringLiteral("Password:"), gbPassword);
  ePassword = new QLineEdit(gbPassword);
  ePassword->setEchoMode(QLineEdit::Password);
  ePassword->setMaxLength(kPasswordMaxLength);
  lPassword->setBuddy(ePassword);
  lPasswordNote = new QLabel(
      QStringLiteral("Without HTTPS the password crosses the network as readable text: anyone who can "
                     "watch the network can read it."),
      gbPassword);
  lPasswordNote->setWordWrap(true);
  password_box->addWidget(cPassword, 0, 0, 1, 2);
  password_box->addWidget(lAuthUser, 1, 0);
  password_box->addWidget(eAuthUser, 1, 1);
  password_box->addWidget(lPassword, 2, 0);
  password_box->addWidget(ePassword, 2, 1);
  password_box->addWidget(lPasswordNote, 3, 0, 1, 2);

  gbBandwidth = NewGroup(" Bandwidth ", tsNetwork);
  auto* bandwidth_box = new QGridLayout(gbBandwidth);
  cLimitBandwidth = new QCheckBox(QStringLiteral("Limit band-width per connection."), gbBandwidth);
  eBandwidthLimit = new QLineEdit(gbBandwidth);
  eBandwidthLimit->setMaxLength(kBandwidthMaxLength);
  eBandwidthLimit->setFixedWidth(100);
  TDigitKeyFilter::Install(eBandwidthLimit);
  lBandwidthUnit = new QLabel(QStringLiteral("bytes/second."), gbBandwidth);
  lBandwidthUnit->setBuddy(eBandwidthLimit);
  bandwidth_box->addWidget(cLimitBandwidth, 0, 0, 1, 3);
  bandwidth_box->addWidget(eBandwidthLimit, 1, 0);
  bandwidth_box->addWidget(lBandwidthUnit, 1, 1);
  bandwidth_box->setColumnStretch(2, 1);
  static_cast<QVBoxLayout*>(tsNetwork->layout())->addStretch();

  // Log
  tsLog = NewPage(pcSetup, "Log");
  gbLog = NewGroup(" Log ", tsLog);
  auto* log_box = new QVBoxLayout(gbLog);
  cLogToFile = new QCheckBox(QStringLiteral("Write log file."), gbLog);
  lLogFormat = new QLabel(QStringLiteral("Log format:"), gbLog);
  eLogFormat = new QLineEdit(gbLog);
  eLogFormat->setMaxLength(kLogFormatMaxLength);
  lLogFormat->setBuddy(eLogFormat);
  lVariables = new QLabel(QStringLiteral("The following variables can be used in the format string:"), gbLog);
  log_box->addWidget(cLogToFile);
  log_box->addWidget(lLogFormat);
  log_box->addWidget(eLogFormat);
  log_box->addWidget(lVariables);
  auto* variables = new QGridLayout();
  const char* const names[] = {"$date$",    "$time$",      "$method$",   "$size$",   "$uri$",
                               "$referer$", "$useragent$", "$response$", "$address$"};
  for (std::size_t i = 0; i < lVariable.size(); ++i) {
    lVariable[i] = new QLabel(QString::fromLatin1(names[i]), gbLog);
    lVariable[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);  // to copy a name into the format
    variables->addWidget(lVariable[i], static_cast<int>(i % 4), static_cast<int>(i / 4));
  }
  variables->setHorizontalSpacing(24);
  variables->setColumnStretch(3, 1);
  log_box->addLayout(variables);
  auto* log_file = new QHBoxLayout();
  lLogFile = new QLabel(gbLog);
  lLogFile->setTextFormat(Qt::PlainText);
  lLogFile->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lLogFile->setWordWrap(true);
  bOpenLog = new QPushButton(QStringLiteral("Open"), gbLog);
  bOpenLog->setAutoDefault(false);
  log_file->addWidget(lLogFile, 1);
  log_file->addWidget(bOpenLog, 0, Qt::AlignTop);
  log_box->addLayout(log_file);
  static_cast<QVBoxLayout*>(tsLog->layout())->addStretch();

  // Buttons
  auto* buttons = new QHBoxLayout();
  buttons->addStretch();
  bOK = new QPushButton(QStringLiteral("OK"), this);
  bOK->setDefault(true);
  bCancel = new QPushButton(QStringLiteral("Cancel"), this);
  buttons->addWidget(bOK);
  buttons->addWidget(bCancel);
  form->addLayout(buttons);

  connect(cLimitBandwidth, &QCheckBox::clicked, this, &TfrmSetup::cLimitBandwidthClick);
  connect(cLogToFile, &QCheckBox::clicked, this, &TfrmSetup::cLogToFileClick);
  connect(cPassword, &QCheckBox::clicked, this, &TfrmSetup::UpdateControls);
  for (QRadioButton* choice : {rbListenEvery, rbListenLocal, rbListenOne})
    connect(choice, &QRadioButton::toggled, this, &TfrmSetup::UpdateControls);
  connect(bPubDirBrowse, &QPushButton::clicked, this, &TfrmSetup::bPubDirBrowseClick);
  connect(bOpenLog, &QPushButton::clicked, this, &TfrmSetup::bOpenLogClick);
  connect(bOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(bCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TfrmSetup::CentreOnDesktop() {
  adjustSize();
  const QScreen* desktop = parentWidget() ? parentWidget()->screen() : screen();
  if (!desktop) return;
  const QRect area = desktop->availableGeometry();
  move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
}

void TfrmSetup::FormCreate(const TWebServerSettings& settings) {
  pcSetup->setCurrentWidget(tsGeneral);
  FAutoRunFound = IsRunAtStartup(kAutoRunName);
  cAutoRun->setChecked(FAutoRunFound);

  pub_dir_read_ = settings.PubDir;
  SetFieldText(ePubDir, ToQString(settings.PubDir), kPubDirMaxLength);
  SetFieldText(ePort->lineEdit(), QString::number(settings.Port), kPortMaxLength);
  cLimitBandwidth->setChecked(settings.Throttle && settings.ThrottleRate > 0);
  SetFieldText(eBandwidthLimit,
               settings.ThrottleRate == 0 ? QString() : QString::number(settings.ThrottleRate),
               kBandwidthMaxLength);
  cLogToFile->setChecked(settings.LogToFile);
  log_format_read_ = settings.LogFormat;
  SetFieldText(eLogFormat, ToQString(settings.LogFormat), kLogFormatMaxLength);
  cExecEXEasCGI->setChecked(settings.ExecEXEAsCGI);
  cServeHiddenFiles->setChecked(settings.ServeHiddenFiles);

  const std::vector<std::string> hosts = ListenHostsOf(settings.ListenOn);
  rbListenEvery->setChecked(hosts.empty());
  rbListenLocal->setChecked(hosts.size() > 1);
  rbListenOne->setChecked(hosts.size() == 1);
  if (hosts.size() == 1) eListenAddress->setEditText(ToQString(hosts.front()));

  password_hash_read_ = settings.AuthPasswordHash;
  cPassword->setChecked(!settings.AuthPasswordHash.empty());
  eAuthUser->setText(ToQString(settings.AuthUser));
  ePassword->clear();
  ePassword->setPlaceholderText(
      settings.AuthPasswordHash.empty() ? QString() : QStringLiteral("(set: type to change it)"));
  UpdateControls();
}

void TfrmSetup::UpdateControls() {
  const bool limit = cLimitBandwidth->isChecked();
  SetControlEnabled(eBandwidthLimit, limit);
  SetControlEnabled(lBandwidthUnit, limit);

  const bool log = cLogToFile->isChecked();
  SetControlEnabled(lLogFormat, log);
  SetControlEnabled(eLogFormat, log);
  SetControlEnabled(lVariables, log);
  for (QLabel* variable : lVariable) SetControlEnabled(variable, log);

  SetControlEnabled(eListenAddress, rbListenOne->isChecked());
  const bool password = cPassword->isChecked();
  for (QWidget* control : std::initializer_list<QWidget*>{lAuthUser, eAuthUser, lPassword, ePassword})
    SetControlEnabled(control, password);
}

void TfrmSetup::bPubDirBrowseClick() {
  fndPubDir.InitialDir = ePubDir->text();
  if (fndPubDir.Execute()) SetFieldText(ePubDir, fndPubDir.DirPath(), kPubDirMaxLength);
}

void TfrmSetup::SetAccessLogFileName(const std::string& path) {
  log_file_ = path;
  lLogFile->setText(QStringLiteral("Access log: ") + ToQString(path));
  bOpenLog->setEnabled(!path.empty());
}

void TfrmSetup::bOpenLogClick() {
  const QFileInfo log(ToQString(log_file_));
  QDesktopServices::openUrl(QUrl::fromLocalFile(log.exists() ? log.filePath() : log.path()));
}

QString TfrmSetup::PubDirProblem() const {
  const std::string folder = PublishedDirectoryOf(FieldText(ePubDir->text(), pub_dir_read_));
  if (DirectoryExists(folder)) return QString();
  return QStringLiteral("Published folder ") + ToQString(folder) +
         QStringLiteral(" does not exist: create it, or choose another one.");
}

QString TfrmSetup::NetworkProblem() const {
  TSocketAddress address;
  const std::string listen_on = eListenAddress->currentText().trimmed().toStdString();
  if (rbListenOne->isChecked() && !ParseSocketAddress(listen_on, 0, address))
    return QStringLiteral("\"") + eListenAddress->currentText() +
           QStringLiteral("\" is no IP address: choose one of this computer's addresses to listen on.");
  if (cPassword->isChecked() && ePassword->text().isEmpty() && password_hash_read_.empty())
    return QStringLiteral(
        "Type the password visitors are to give, or clear \"Ask every visitor for a password.\"");
  return QString();
}

void TfrmSetup::accept() {
  if (const QString problem = NetworkProblem(); !problem.isEmpty()) {
    pcSetup->setCurrentWidget(tsNetwork);
    QMessageBox::warning(this, windowTitle(), problem);
    return;
  }
  const QString problem = PubDirProblem();
  if (problem.isEmpty()) {
    QDialog::accept();
    return;
  }
  pcSetup->setCurrentWidget(tsGeneral);
  ePubDir->setFocus();
  QMessageBox::warning(this, windowTitle(), problem);
}

void TfrmSetup::ApplyToSettings(TWebServerSettings& settings) {
  const bool auto_run = cAutoRun->isChecked();
  if (auto_run != FAutoRunFound) {
    FAutoRunFound = auto_run;
    SetRunAtStartup(kAutoRunName, auto_run);
  }
  settings.PubDir = FieldText(ePubDir->text(), pub_dir_read_);
  settings.Port = FieldNumber(ePort->currentText(), kDefaultPort);
  settings.ThrottleRate = FieldNumber(eBandwidthLimit->text(), kDefaultThrottleRate);
  settings.Throttle = cLimitBandwidth->isChecked() && settings.ThrottleRate > 0;
  settings.LogToFile = cLogToFile->isChecked();
  settings.LogFormat = FieldText(eLogFormat->text(), log_format_read_);
  settings.ExecEXEAsCGI = cExecEXEasCGI->isChecked();
  settings.ServeHiddenFiles = cServeHiddenFiles->isChecked();
  if (rbListenEvery->isChecked()) {
    settings.ListenOn = kListenOnEvery;
  } else if (rbListenLocal->isChecked()) {
    settings.ListenOn = kListenOnLocal;
  } else {
    settings.ListenOn = eListenAddress->currentText().trimmed().toStdString();
  }
  if (!cPassword->isChecked()) {
    settings.AuthUser.clear();
    settings.AuthPasswordHash.clear();
  } else {
    settings.AuthUser = eAuthUser->text().toStdString();
    const std::string password = ePassword->text().toStdString();
    settings.AuthPasswordHash = password.empty() ? password_hash_read_ : HashPassword(password);
  }
}

bool ShowSetupDialog(QWidget* owner, TWebServerSettings& settings, const std::string& access_log) {
  TfrmSetup setup(settings, owner);
  setup.SetAccessLogFileName(access_log);
  if (setup.exec() != QDialog::Accepted) return false;
  setup.ApplyToSettings(settings);
  return true;
}

}  // namespace vt

#include "ui/setup_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
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

QLabel* NewNote(const QString& text, QWidget* parent) {
  auto* note = new QLabel(text, parent);
  note->setWordWrap(true);
  QFont font = note->font();
  font.setPointSizeF(font.pointSizeF() * 0.9);
  note->setFont(font);
  return note;
}

// `path` without the slashes at its ends.
std::string TrimSlashes(std::string path) {
  while (!path.empty() && path.front() == '/') path.erase(0, 1);
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

// The upload folder as the setting holds it (relative to `pub_dir`), from
// the field's text: relative already, or a full path inside `pub_dir`.
// False when it lies outside (a full path elsewhere, a ".." step).
bool UploadFolderOf(const std::string& text, const std::string& pub_dir, std::string& relative) {
  std::string value = text;
  if (!value.empty() && value.front() == '/') {
    std::string root = pub_dir;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (value != root && value.rfind(root + "/", 0) != 0) return false;
    value = value.substr(root.size());
  }
  value = TrimSlashes(value);
  for (std::size_t at = 0; at <= value.size();) {
    const std::size_t end = std::min(value.find('/', at), value.size());
    if (value.compare(at, end - at, "..") == 0) return false;
    at = end + 1;
  }
  relative = value;
  return true;
}

}  // namespace

TfrmSetup::TfrmSetup(const TWebServerSettings& settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      fndPubDir(this),
      fndUploadFolder(this) {
  setWindowTitle(QStringLiteral("Setup"));
  fndPubDir.Title = QStringLiteral("Select Directory to Publish.");
  fndUploadFolder.Title = QStringLiteral("Select the folder uploads go to");
  ChooseFile = [](QWidget* parent, const QString& title, const QString& start) {
    return QFileDialog::getOpenFileName(parent, title, start);
  };
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
  lAutoRunNote = NewNote(QStringLiteral("Starts the program when you log in."), gbSettings);
  lAutoRunNote->setIndent(22);  // under the box's text
  settings_box->addWidget(cAutoRun);
  settings_box->addWidget(lAutoRunNote);

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
  cListFolders = new QCheckBox(
      QStringLiteral("List folders: a folder without index.html shows a list of its files."), gbPubDir);
  pub_dir_box->addWidget(cExecEXEasCGI, 1, 0, 1, 2);
  pub_dir_box->addWidget(cServeHiddenFiles, 2, 0, 1, 2);
  pub_dir_box->addWidget(cListFolders, 3, 0, 1, 2);

  gbUploads = NewGroup(" Uploads ", tsGeneral);
  auto* uploads_box = new QGridLayout(gbUploads);
  cAllowUploads = new QCheckBox(QStringLiteral("Allow visitors to upload files"), gbUploads);
  lUploadFolder = new QLabel(QStringLiteral("Into:"), gbUploads);
  eUploadFolder = new QLineEdit(gbUploads);
  eUploadFolder->setMaxLength(kPubDirMaxLength);
  eUploadFolder->setPlaceholderText(QStringLiteral("(the published folder)"));
  lUploadFolder->setBuddy(eUploadFolder);
  bUploadFolderBrowse = new QPushButton(QStringLiteral("Browse..."), gbUploads);
  bUploadFolderBrowse->setAutoDefault(false);
  lMaxUploadSize = new QLabel(QStringLiteral("At most:"), gbUploads);
  eMaxUploadSize = new QLineEdit(gbUploads);
  eMaxUploadSize->setMaxLength(kMaxUploadSizeMaxLength);
  eMaxUploadSize->setFixedWidth(100);
  TDigitKeyFilter::Install(eMaxUploadSize);
  lMaxUploadSize->setBuddy(eMaxUploadSize);
  lMaxUploadUnit = new QLabel(QStringLiteral("MB a file."), gbUploads);
  uploads_box->addWidget(cAllowUploads, 0, 0, 1, 3);
  uploads_box->addWidget(lUploadFolder, 1, 0);
  uploads_box->addWidget(eUploadFolder, 1, 1);
  uploads_box->addWidget(bUploadFolderBrowse, 1, 2);
  auto* size_row = new QHBoxLayout();
  size_row->addWidget(eMaxUploadSize);
  size_row->addWidget(lMaxUploadUnit);
  size_row->addStretch();
  uploads_box->addWidget(lMaxUploadSize, 2, 0);
  uploads_box->addLayout(size_row, 2, 1, 1, 2);
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
  ePort->setMaximumWidth(120);  // the note beside it takes the rest
  TDigitKeyFilter::Install(ePort);
  lPort->setBuddy(ePort);
  lPortNote = new QLabel(gbServer);
  lPortNote->setWordWrap(true);
  QPalette port_palette = lPortNote->palette();
  port_palette.setColor(QPalette::WindowText, QColor(176, 0, 0));
  lPortNote->setPalette(port_palette);
  lPortNote->hide();
  server_box->addWidget(lPort);
  server_box->addWidget(ePort);
  server_box->addWidget(lPortNote, 1);
  server_box->addStretch(0);  // takes the room while the note is hidden

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
  lPasswordAgain = new QLabel(QStringLiteral("Again:"), gbPassword);
  ePasswordAgain = new QLineEdit(gbPassword);
  ePasswordAgain->setEchoMode(QLineEdit::Password);
  ePasswordAgain->setMaxLength(kPasswordMaxLength);
  lPasswordAgain->setBuddy(ePasswordAgain);
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
  password_box->addWidget(lPasswordAgain, 3, 0);
  password_box->addWidget(ePasswordAgain, 3, 1);
  password_box->addWidget(lPasswordNote, 4, 0, 1, 2);

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

  // HTTPS
  tsHttps = NewPage(pcSetup, "HTTPS");
  gbHttps = NewGroup(" HTTPS ", tsHttps);
  auto* https_box = new QGridLayout(gbHttps);
  cHTTPS = new QCheckBox(
      QStringLiteral("Serve HTTPS as well: visitors' browsers encrypt what they send and get."), gbHttps);
  lHTTPSPort = new QLabel(QStringLiteral("HTTPS port:"), gbHttps);
  eHTTPSPort = new QLineEdit(gbHttps);
  eHTTPSPort->setMaxLength(kPortMaxLength);
  eHTTPSPort->setFixedWidth(90);
  TDigitKeyFilter::Install(eHTTPSPort);
  lHTTPSPort->setBuddy(eHTTPSPort);
  const auto file_row = [&](const char* caption, QLabel*& label, QLineEdit*& field, QPushButton*& browse) {
    label = new QLabel(QString::fromLatin1(caption), gbHttps);
    field = new QLineEdit(gbHttps);
    field->setMaxLength(kFileNameMaxLength);
    field->setPlaceholderText(QStringLiteral("(made by the program)"));
    label->setBuddy(field);
    browse = new QPushButton(QStringLiteral("Browse..."), gbHttps);
    browse->setAutoDefault(false);
  };
  file_row("Certificate:", lCertificateFile, eCertificateFile, bCertificateBrowse);
  file_row("Key:", lKeyFile, eKeyFile, bKeyBrowse);
  lCertificateNote = NewNote(
      QStringLiteral("PEM files. Left empty, the program makes a certificate of its own: browsers then ask "
                     "visitors once to trust it."),
      gbHttps);
  cRedirectToHTTPS =
      new QCheckBox(QStringLiteral("Send visitors who come by plain HTTP to the HTTPS address."), gbHttps);
  cAllowPasswordOverHTTP =
      new QCheckBox(QStringLiteral("Ask for the password over plain HTTP as well."), gbHttps);
  lPasswordOverHttpNote =
      NewNote(QStringLiteral("Not advised: over plain HTTP anyone who can watch the network reads the "
                             "password as it is sent, and then uses it."),
              gbHttps);
  https_box->addWidget(cHTTPS, 0, 0, 1, 3);
  https_box->addWidget(lHTTPSPort, 1, 0);
  https_box->addWidget(eHTTPSPort, 1, 1, 1, 2, Qt::AlignLeft);
  https_box->addWidget(lCertificateFile, 2, 0);
  https_box->addWidget(eCertificateFile, 2, 1);
  https_box->addWidget(bCertificateBrowse, 2, 2);
  https_box->addWidget(lKeyFile, 3, 0);
  https_box->addWidget(eKeyFile, 3, 1);
  https_box->addWidget(bKeyBrowse, 3, 2);
  https_box->addWidget(lCertificateNote, 4, 1, 1, 2);
  https_box->addWidget(cRedirectToHTTPS, 5, 0, 1, 3);
  https_box->addWidget(cAllowPasswordOverHTTP, 6, 0, 1, 3);
  https_box->addWidget(lPasswordOverHttpNote, 7, 0, 1, 3);
  https_box->setColumnStretch(1, 1);
  static_cast<QVBoxLayout*>(tsHttps->layout())->addStretch();

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
  connect(bUploadFolderBrowse, &QPushButton::clicked, this, &TfrmSetup::bUploadFolderBrowseClick);
  for (QCheckBox* box : {cAllowUploads, cHTTPS})
    connect(box, &QCheckBox::clicked, this, &TfrmSetup::UpdateControls);
  connect(ePort, &QComboBox::currentTextChanged, this, [this] {
    const QString note = PortNote();
    lPortNote->setText(note);
    lPortNote->setVisible(!note.isEmpty());
  });
  const auto browse_file = [this](QLineEdit* field, const QString& title) {
    const QString chosen = ChooseFile(this, title, field->text());
    if (!chosen.isEmpty()) SetFieldText(field, chosen, kFileNameMaxLength);
  };
  connect(bCertificateBrowse, &QPushButton::clicked, this,
          [this, browse_file] { browse_file(eCertificateFile, QStringLiteral("Certificate (PEM)")); });
  connect(bKeyBrowse, &QPushButton::clicked, this,
          [this, browse_file] { browse_file(eKeyFile, QStringLiteral("Private key (PEM)")); });
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
  cListFolders->setChecked(settings.ListFolders);
  cAllowUploads->setChecked(settings.AllowUploads);
  upload_folder_read_ = settings.UploadFolder;
  SetFieldText(eUploadFolder, ToQString(settings.UploadFolder), kPubDirMaxLength);
  max_upload_read_ = settings.MaxUploadSize;
  SetFieldText(eMaxUploadSize, QString::number(settings.MaxUploadSize), kMaxUploadSizeMaxLength);
  cHTTPS->setChecked(settings.HTTPS);
  SetFieldText(eHTTPSPort, QString::number(settings.HTTPSPort), kPortMaxLength);
  SetFieldText(eCertificateFile, ToQString(settings.CertificateFile), kFileNameMaxLength);
  SetFieldText(eKeyFile, ToQString(settings.KeyFile), kFileNameMaxLength);
  cRedirectToHTTPS->setChecked(settings.RedirectToHTTPS);
  cAllowPasswordOverHTTP->setChecked(settings.AllowPasswordOverHTTP);

  const std::vector<std::string> hosts = ListenHostsOf(settings.ListenOn);
  rbListenEvery->setChecked(hosts.empty());
  rbListenLocal->setChecked(hosts.size() > 1);
  rbListenOne->setChecked(hosts.size() == 1);
  if (hosts.size() == 1) eListenAddress->setEditText(ToQString(hosts.front()));

  password_hash_read_ = settings.AuthPasswordHash;
  cPassword->setChecked(!settings.AuthPasswordHash.empty());
  eAuthUser->setText(ToQString(settings.AuthUser));
  ePassword->clear();
  ePasswordAgain->clear();
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
  for (QWidget* control : std::initializer_list<QWidget*>{lAuthUser, eAuthUser, lPassword, ePassword,
                                                          lPasswordAgain, ePasswordAgain})
    SetControlEnabled(control, password);

  const bool uploads = cAllowUploads->isChecked();
  for (QWidget* control : std::initializer_list<QWidget*>{lUploadFolder, eUploadFolder, bUploadFolderBrowse,
                                                          lMaxUploadSize, eMaxUploadSize, lMaxUploadUnit})
    SetControlEnabled(control, uploads);
  const bool https = cHTTPS->isChecked();
  for (QWidget* control : std::initializer_list<QWidget*>{
           lHTTPSPort, eHTTPSPort, lCertificateFile, eCertificateFile, bCertificateBrowse, lKeyFile, eKeyFile,
           bKeyBrowse, lCertificateNote, cRedirectToHTTPS})
    SetControlEnabled(control, https);
}

void TfrmSetup::bUploadFolderBrowseClick() {
  const std::string pub_dir = PublishedDirectoryOf(FieldText(ePubDir->text(), pub_dir_read_));
  std::string relative;
  const bool inside = UploadFolderOf(eUploadFolder->text().toStdString(), pub_dir, relative);
  fndUploadFolder.InitialDir = ToQString(inside && !relative.empty() ? pub_dir + "/" + relative : pub_dir);
  if (!fndUploadFolder.Execute()) return;
  const std::string chosen = fndUploadFolder.DirPath().toStdString();
  // Inside the published folder it is kept relative to it; elsewhere it
  // stays as chosen, and OK says why it cannot be.
  SetFieldText(eUploadFolder, ToQString(UploadFolderOf(chosen, pub_dir, relative) ? relative : chosen),
               kPubDirMaxLength);
}

QString TfrmSetup::PortNote() const {
  const int port = FieldNumber(ePort->currentText(), kDefaultPort);
  if (port >= 1 && port < 1024 && !CanBindPrivilegedPorts())
    return QStringLiteral("Port %1 needs administrator rights on Linux: choose a port from 1024 up.")
        .arg(port);
  if (port > 65535) return QStringLiteral("Ports go up to 65535.");
  return QString();
}

QString TfrmSetup::UploadProblem() const {
  if (!cAllowUploads->isChecked()) return QString();
  const std::string pub_dir = PublishedDirectoryOf(FieldText(ePubDir->text(), pub_dir_read_));
  std::string relative;
  if (UploadFolderOf(FieldText(eUploadFolder->text(), upload_folder_read_), pub_dir, relative))
    return QString();
  return QStringLiteral("Uploads go into the published folder or a folder in it: ") + eUploadFolder->text() +
         QStringLiteral(" is neither.");
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
  if (cPassword->isChecked() && ePassword->text() != ePasswordAgain->text())
    return QStringLiteral("The two passwords differ: type the same password twice.");
  return QString();
}

void TfrmSetup::accept() {
  if (const QString problem = NetworkProblem(); !problem.isEmpty()) {
    pcSetup->setCurrentWidget(tsNetwork);
    QMessageBox::warning(this, windowTitle(), problem);
    return;
  }
  if (const QString problem = UploadProblem(); !problem.isEmpty()) {
    pcSetup->setCurrentWidget(tsGeneral);
    eUploadFolder->setFocus();
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
  settings.ListFolders = cListFolders->isChecked();
  settings.AllowUploads = cAllowUploads->isChecked();
  std::string relative;
  const std::string upload_text = FieldText(eUploadFolder->text(), upload_folder_read_);
  settings.UploadFolder = upload_text == upload_folder_read_ ? upload_folder_read_
                          : UploadFolderOf(upload_text, PublishedDirectoryOf(settings.PubDir), relative)
                              ? relative
                              : upload_folder_read_;
  settings.MaxUploadSize = FieldNumber(eMaxUploadSize->text(), max_upload_read_);
  settings.HTTPS = cHTTPS->isChecked();
  settings.HTTPSPort = FieldNumber(eHTTPSPort->text(), settings.HTTPSPort);
  settings.CertificateFile = eCertificateFile->text().trimmed().toStdString();
  settings.KeyFile = eKeyFile->text().trimmed().toStdString();
  settings.RedirectToHTTPS = cRedirectToHTTPS->isChecked();
  settings.AllowPasswordOverHTTP = cAllowPasswordOverHTTP->isChecked();
}

bool ShowSetupDialog(QWidget* owner, TWebServerSettings& settings, const std::string& access_log) {
  TfrmSetup setup(settings, owner);
  setup.SetAccessLogFileName(access_log);
  if (setup.exec() != QDialog::Accepted) return false;
  setup.ApplyToSettings(settings);
  return true;
}

}  // namespace vt

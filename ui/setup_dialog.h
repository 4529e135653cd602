#pragma once

// TfrmSetup: the modal setup dialog.
//
// Four pages: "General" (start at login, published directory, CGI, hidden
// files, folder listings, uploads), "Network" (port, where the server
// listens, the password, bandwidth limit), "HTTPS" (HTTPS beside HTTP, its
// port, certificate and key, the redirect, the password over plain HTTP)
// and "Log" (access log and its format, where the log file is, and a button
// that opens it). A port this user may not bind is said at once, under the
// port. The password is typed twice. The dialog reads a
// settings record when it opens and writes it back only through
// ApplyToSettings, which the caller runs after OK; Cancel (or closing the
// window) changes nothing, not even the start-at-login entry. OK refuses a
// published folder that does not exist, an address to listen on that is no
// IP address, a password switched on without one or typed differently the
// second time, and an upload folder outside the published one, saying so,
// and stays open. The password field shows nothing of a password already set: left
// empty, the password stays as it is; typed, its hash replaces it.
//
// Lifetime: created for one use and deleted when closed (by its creator;
// the controls are its Qt children). Main thread only.

#include <QDialog>
#include <array>
#include <functional>
#include <string>

#include "app/settings.h"
#include "ui/directory_dialog.h"

class QCheckBox;
class QComboBox;
class QRadioButton;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace vt {

// The name of the start-at-login entry (platform/registry.h).
inline constexpr const char* kAutoRunName = "Veltrana WebServer";

class TfrmSetup : public QDialog {
 public:
  // Builds the dialog and fills it from `settings` (FormCreate).
  explicit TfrmSetup(const TWebServerSettings& settings, QWidget* parent = nullptr);
  ~TfrmSetup() override;

  // Shows the first page and fills every control from `settings` and the
  // start-at-login entry; then UpdateControls.
  void FormCreate(const TWebServerSettings& settings);
  // Enables the bandwidth field, the address, the password fields and the
  // log format controls by their boxes.
  void UpdateControls();
  // Writes the dialog into `settings`, in this order: the start-at-login
  // entry (only when its box changed since the dialog opened), PubDir as
  // typed, Port (80 when the field holds no number), ThrottleRate (0 when
  // no number), Throttle (box ticked and rate above 0), LogToFile,
  // LogFormat, ExecEXEAsCGI, ServeHiddenFiles, ListenOn, AuthUser and
  // AuthPasswordHash (none when the password box is clear; a new hash when
  // a password was typed; else the one it had), ListFolders, AllowUploads,
  // UploadFolder (relative to the published folder), MaxUploadSize (as it
  // was when the field holds no number), HTTPS, HTTPSPort, CertificateFile,
  // KeyFile, RedirectToHTTPS, AllowPasswordOverHTTP.
  void ApplyToSettings(TWebServerSettings& settings);
  // What OK refuses (see above), or empty.
  QString NetworkProblem() const;
  // The upload folder is neither the published folder nor below it: why,
  // or empty.
  QString UploadProblem() const;
  // What the port field's number means for this user: "Port 80 needs
  // administrator rights on Linux: choose a port from 1024 up.", or empty.
  QString PortNote() const;

  // The state of the start-at-login entry when the dialog opened, or as last
  // written by ApplyToSettings.
  bool AutoRunFound() const { return FAutoRunFound; }

  // The access log's path, shown on the Log page.
  void SetAccessLogFileName(const std::string& path);
  // The problem with the published folder field (it names no folder), or
  // empty.
  QString PubDirProblem() const;
  // OK: refused with a message while PubDirProblem says something.
  void accept() override;
  // Opens the access log (or its folder, while there is no log yet) with
  // the desktop's program for it.
  void bOpenLogClick();

  // Handlers of the controls (connected by the constructor).
  void cLimitBandwidthClick() { UpdateControls(); }
  void cLogToFileClick() { UpdateControls(); }
  void bPubDirBrowseClick();
  void bUploadFolderBrowseClick();

  // The controls, by page.
  QTabWidget* pcSetup;
  QWidget* tsGeneral;
  QWidget* tsNetwork;
  QWidget* tsLog;
  // General
  QGroupBox* gbSettings;
  QCheckBox* cAutoRun;
  QGroupBox* gbPubDir;
  QLineEdit* ePubDir;
  QPushButton* bPubDirBrowse;
  QCheckBox* cExecEXEasCGI;
  QCheckBox* cServeHiddenFiles;
  QCheckBox* cListFolders;
  QLabel* lAutoRunNote;  // what the start-up box does
  QGroupBox* gbUploads;
  QCheckBox* cAllowUploads;
  QLabel* lUploadFolder;
  QLineEdit* eUploadFolder;  // relative to the published folder; empty: it
  QPushButton* bUploadFolderBrowse;
  QLabel* lMaxUploadSize;
  QLineEdit* eMaxUploadSize;
  QLabel* lMaxUploadUnit;
  // Network
  QGroupBox* gbServer;
  QLabel* lPort;
  QComboBox* ePort;
  QLabel* lPortNote;  // PortNote()
  QGroupBox* gbListenOn;
  QRadioButton* rbListenEvery;
  QRadioButton* rbListenLocal;
  QRadioButton* rbListenOne;
  QComboBox* eListenAddress;  // the machine's addresses; any may be typed
  QGroupBox* gbPassword;
  QCheckBox* cPassword;
  QLabel* lAuthUser;
  QLineEdit* eAuthUser;
  QLabel* lPassword;
  QLineEdit* ePassword;
  QLabel* lPasswordAgain;
  QLineEdit* ePasswordAgain;
  QLabel* lPasswordNote;  // without HTTPS the password can be read on the network
  QGroupBox* gbBandwidth;
  QCheckBox* cLimitBandwidth;
  QLineEdit* eBandwidthLimit;
  QLabel* lBandwidthUnit;
  // HTTPS
  QWidget* tsHttps;
  QGroupBox* gbHttps;
  QCheckBox* cHTTPS;
  QLabel* lHTTPSPort;
  QLineEdit* eHTTPSPort;
  QLabel* lCertificateFile;
  QLineEdit* eCertificateFile;
  QPushButton* bCertificateBrowse;
  QLabel* lKeyFile;
  QLineEdit* eKeyFile;
  QPushButton* bKeyBrowse;
  QLabel* lCertificateNote;  // empty fields: a certificate the program makes
  QCheckBox* cRedirectToHTTPS;
  QCheckBox* cAllowPasswordOverHTTP;
  QLabel* lPasswordOverHttpNote;  // why not to
  // Log
  QGroupBox* gbLog;
  QCheckBox* cLogToFile;
  QLabel* lLogFormat;
  QLineEdit* eLogFormat;
  QLabel* lVariables;
  std::array<QLabel*, 9> lVariable;
  QLabel* lLogFile;
  QPushButton* bOpenLog;
  // Buttons
  QPushButton* bOK;
  QPushButton* bCancel;

  // The folder picker behind "Browse...", and the one of the upload folder.
  TfndDirectoryDialog fndPubDir;
  TfndDirectoryDialog fndUploadFolder;
  // Picks a file for the certificate and key fields (tests replace it): the
  // parent, the caption, the file to start at; empty when cancelled.
  std::function<QString(QWidget*, const QString&, const QString&)> ChooseFile;

 private:
  void CreateControls();
  void CentreOnDesktop();

  bool FAutoRunFound = false;
  // The hash the settings held when the dialog opened.
  std::string password_hash_read_;
  // The texts as they were read, so that untouched fields give back exactly
  // the stored bytes (ui/controls.h).
  std::string pub_dir_read_;
  std::string log_format_read_;
  std::string log_file_;
  std::string upload_folder_read_;
  std::int32_t max_upload_read_ = 0;
};

// Typing limits of the fields.
inline constexpr int kPubDirMaxLength = 255;
inline constexpr int kPortMaxLength = 5;
inline constexpr int kBandwidthMaxLength = 8;
inline constexpr int kLogFormatMaxLength = 255;
inline constexpr int kAuthUserMaxLength = 64;
inline constexpr int kPasswordMaxLength = 128;
inline constexpr int kMaxUploadSizeMaxLength = 7;
inline constexpr int kFileNameMaxLength = 1024;

// Shows the setup dialog modally over `owner` (the Log page shows
// `access_log`); after OK applies it to `settings` and returns true. Cancel
// leaves everything as it was.
bool ShowSetupDialog(QWidget* owner, TWebServerSettings& settings, const std::string& access_log = {});

}  // namespace vt

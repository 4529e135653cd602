#include "ui/setup_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "app/password.h"
#include "app/settings_environment.h"
#include "platform/desktop_entry.h"
#include "platform/registry.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "ui/controls.h"

namespace vt {
namespace {

using test::ReadFileText;
using test::ScopedEnv;
using test::TempDir;

TWebServerSettings SampleSettings() {
  TWebServerSettings s;
  s.PubDir = "/tmp";  // OK refuses a folder that does not exist
  s.Port = 8080;
  s.Throttle = true;
  s.ThrottleRate = 5000;
  s.LogToFile = false;
  s.LogFormat = "$uri$ $size$";
  s.ExecEXEAsCGI = false;
  return s;
}

QColor Background(const QWidget* field) { return field->palette().color(QPalette::Active, QPalette::Base); }
QColor StandardColour(QPalette::ColorRole role) {
  return QApplication::palette().color(QPalette::Active, role);
}

// A user's click on a check box: on its indicator, which a click in the
// middle of a wide box would miss.
void ClickBox(QCheckBox* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2)); }

TEST(SetupDialog, OpensOnTheFirstPageWithTheSettingsGiven) {
  TfrmSetup setup(SampleSettings());
  EXPECT_EQ(setup.tsGeneral, setup.pcSetup->currentWidget());
  EXPECT_FALSE(setup.cAutoRun->isChecked());
  EXPECT_EQ("/tmp", setup.ePubDir->text());
  EXPECT_EQ("8080", setup.ePort->currentText());
  EXPECT_TRUE(setup.cLimitBandwidth->isChecked());
  EXPECT_EQ("5000", setup.eBandwidthLimit->text());
  EXPECT_TRUE(setup.eBandwidthLimit->isEnabled());
  EXPECT_FALSE(setup.cLogToFile->isChecked());
  EXPECT_FALSE(setup.eLogFormat->isEnabled());
  EXPECT_EQ("$uri$ $size$", setup.eLogFormat->text());
  EXPECT_FALSE(setup.cExecEXEasCGI->isChecked());

  // Throttling on without a rate is no throttling.
  TWebServerSettings settings = SampleSettings();
  settings.ThrottleRate = 0;
  setup.pcSetup->setCurrentWidget(setup.tsLog);
  setup.FormCreate(settings);
  EXPECT_EQ(setup.tsGeneral, setup.pcSetup->currentWidget());
  EXPECT_FALSE(setup.cLimitBandwidth->isChecked());
  EXPECT_EQ("", setup.eBandwidthLimit->text());
  EXPECT_FALSE(setup.eBandwidthLimit->isEnabled());
  EXPECT_FALSE(setup.lBandwidthUnit->isEnabled());
}

TEST(SetupDialog, CheckBoxesGreyTheirControls) {
  TWebServerSettings settings = SampleSettings();
  settings.LogToFile = true;
  TfrmSetup setup(settings);
  setup.show();
  setup.pcSetup->setCurrentWidget(setup.tsLog);

  auto log_controls = [&] {
    std::vector<QWidget*> all{setup.lLogFormat, setup.eLogFormat, setup.lVariables};
    all.insert(all.end(), setup.lVariable.begin(), setup.lVariable.end());
    return all;
  };
  for (QWidget* w : log_controls()) EXPECT_TRUE(w->isEnabled()) << w->metaObject()->className();
  EXPECT_EQ(StandardColour(QPalette::Base), Background(setup.eLogFormat));

  ClickBox(setup.cLogToFile);
  EXPECT_FALSE(setup.cLogToFile->isChecked());
  for (QWidget* w : log_controls()) EXPECT_FALSE(w->isEnabled());
  EXPECT_EQ(StandardColour(QPalette::Button), Background(setup.eLogFormat));
  EXPECT_EQ("$date$", setup.lVariable[0]->text());
  EXPECT_EQ("$response$", setup.lVariable[7]->text());

  ClickBox(setup.cLogToFile);
  for (QWidget* w : log_controls()) EXPECT_TRUE(w->isEnabled());
  EXPECT_EQ(StandardColour(QPalette::Base), Background(setup.eLogFormat));

  setup.pcSetup->setCurrentWidget(setup.tsNetwork);
  ClickBox(setup.cLimitBandwidth);
  EXPECT_FALSE(setup.eBandwidthLimit->isEnabled());
  EXPECT_FALSE(setup.lBandwidthUnit->isEnabled());
  EXPECT_EQ("5000", setup.eBandwidthLimit->text()) << "greying keeps the text";
  ClickBox(setup.cLimitBandwidth);
  EXPECT_TRUE(setup.eBandwidthLimit->isEnabled());
}

TEST(SetupDialog, SetControlEnabledReachesEverythingInsideAGroup) {
  QGroupBox group(" Box ");
  auto* inner = new QGroupBox("inner", &group);
  auto* field = new QLineEdit(inner);
  auto* list = new QComboBox(inner);
  list->setEditable(true);
  field->setEnabled(false);  // disabled on its own beforehand

  SetControlEnabled(&group, false);
  for (QWidget* w : std::initializer_list<QWidget*>{&group, inner, field, list, list->lineEdit()}) {
    EXPECT_FALSE(w->isEnabled());
  }
  EXPECT_EQ(StandardColour(QPalette::Button), Background(list));
  EXPECT_EQ(QApplication::palette().color(QPalette::Disabled, QPalette::WindowText),
            group.palette().color(QPalette::Disabled, QPalette::WindowText));

  SetControlEnabled(&group, true);
  for (QWidget* w : std::initializer_list<QWidget*>{&group, inner, field, list, list->lineEdit()}) {
    EXPECT_TRUE(w->isEnabled());
  }
  EXPECT_EQ(StandardColour(QPalette::Base), Background(field));
  EXPECT_EQ(StandardColour(QPalette::WindowText),
            group.palette().color(QPalette::Active, QPalette::WindowText));
}

TEST(SetupDialog, NumberFieldsTakeOnlyDigitsBackspaceAndEnter) {
  TfrmSetup setup(SampleSettings());
  setup.show();
  setup.pcSetup->setCurrentWidget(setup.tsNetwork);

  setup.ePort->setFocus();
  setup.ePort->lineEdit()->clear();
  QTest::keyClicks(setup.ePort, "8a0 -8.x");
  EXPECT_EQ("808", setup.ePort->currentText());
  QTest::keyClick(setup.ePort, Qt::Key_Backspace);
  EXPECT_EQ("80", setup.ePort->currentText());
  QTest::keyClicks(setup.ePort, "1234567");
  EXPECT_EQ("80123", setup.ePort->currentText()) << "five characters at most";
  QTest::sendKeyEvent(QTest::Click, setup.ePort->lineEdit(), Qt::Key_Eacute, QString::fromUtf8("\xc3\xa9"),
                      Qt::NoModifier);  // sent to the line edit itself
  EXPECT_EQ("80123", setup.ePort->currentText());

  setup.eBandwidthLimit->clear();
  QTest::keyClicks(setup.eBandwidthLimit, "12ab345678901");
  EXPECT_EQ("12345678", setup.eBandwidthLimit->text()) << "eight characters at most";
  QTest::keyClick(setup.eBandwidthLimit, Qt::Key_Left);  // keys that type nothing still work
  QTest::keyClick(setup.eBandwidthLimit, Qt::Key_Backspace);
  EXPECT_EQ("1234568", setup.eBandwidthLimit->text());

  // Enter passes the filter and presses the default button.
  QTest::keyClick(setup.eBandwidthLimit, Qt::Key_Return);
  EXPECT_EQ(QDialog::Accepted, setup.result());
  EXPECT_FALSE(setup.isVisible());
}

struct FieldCase {
  const char* port;
  bool limit;
  const char* rate;
  int want_port;
  bool want_throttle;
  int want_rate;
};

TEST(SetupDialog, ApplyToSettingsReadsEveryField) {
  const FieldCase cases[] = {
      {"8081", true, "1500", 8081, true, 1500},
      {"", true, "", 80, false, 0},
      {"12ab", true, "x9", 80, false, 0},
      {"99999", false, "1500", 99999, false, 1500},
      {"-5", true, "-7", -5, false, -7},
      {"443", true, "0", 443, false, 0},
      {"0", false, "99999999", 0, false, 99999999},
  };
  for (const FieldCase& c : cases) {
    TfrmSetup setup(SampleSettings());
    // What a paste can put into the fields; the key filter never sees it.
    setup.ePort->setEditText(c.port);
    setup.cLimitBandwidth->setChecked(c.limit);
    setup.eBandwidthLimit->setText(c.rate);
    TWebServerSettings out;
    setup.ApplyToSettings(out);
    EXPECT_EQ(c.want_port, out.Port) << c.port;
    EXPECT_EQ(c.want_throttle, out.Throttle) << c.rate;
    EXPECT_EQ(c.want_rate, out.ThrottleRate) << c.rate;
  }

  TfrmSetup setup(SampleSettings());
  setup.ePubDir->setText(" /data/web/ ");
  setup.cLogToFile->setChecked(true);
  setup.eLogFormat->setText("");
  setup.cExecEXEasCGI->setChecked(true);
  TWebServerSettings out;
  out.Active = false;
  out.Minimized = true;
  out.FormX = 12;
  setup.ApplyToSettings(out);
  EXPECT_EQ(" /data/web/ ", out.PubDir) << "taken as typed";
  EXPECT_TRUE(out.LogToFile);
  EXPECT_EQ("", out.LogFormat);
  EXPECT_TRUE(out.ExecEXEAsCGI);
  EXPECT_FALSE(out.Active) << "not the dialog's";
  EXPECT_TRUE(out.Minimized);
  EXPECT_EQ(12, out.FormX);
}

// Where it listens, hidden files and the password: each setting shows in
// its controls and comes back from them; a password is kept unless typed
// anew, and OK refuses what cannot work.
TEST(SetupDialog, SharingControlsShowAndGiveBackTheirSettings) {
  const struct {
    const char* listen_on;
    bool every, local, one;
    const char* given_back;
  } listen_cases[] = {
      {"all", true, false, false, "all"},     {"", true, false, false, "all"},
      {"LOCAL", false, true, false, "local"}, {"192.0.2.7", false, false, true, "192.0.2.7"},
      {"[::1]", false, false, true, "::1"},
  };
  for (const auto& c : listen_cases) {
    TWebServerSettings settings = SampleSettings();
    settings.ListenOn = c.listen_on;
    settings.ServeHiddenFiles = c.one;
    TfrmSetup setup(settings);
    EXPECT_EQ(c.every, setup.rbListenEvery->isChecked()) << c.listen_on;
    EXPECT_EQ(c.local, setup.rbListenLocal->isChecked()) << c.listen_on;
    EXPECT_EQ(c.one, setup.rbListenOne->isChecked()) << c.listen_on;
    EXPECT_EQ(c.one, setup.eListenAddress->isEnabled()) << c.listen_on;
    EXPECT_EQ(c.one, setup.cServeHiddenFiles->isChecked());
    EXPECT_EQ("", setup.NetworkProblem());
    TWebServerSettings out;
    setup.ApplyToSettings(out);
    EXPECT_EQ(c.given_back, out.ListenOn) << c.listen_on;
    EXPECT_EQ(c.one, out.ServeHiddenFiles);
  }

  TfrmSetup address(SampleSettings());
  address.rbListenOne->setChecked(true);
  address.eListenAddress->setEditText("my-laptop");
  EXPECT_NE("", address.NetworkProblem()) << "a name is no address to listen on";

  // No password yet: the box is clear and the fields grey; ticked, a
  // password must be typed.
  TfrmSetup none(SampleSettings());
  EXPECT_FALSE(none.cPassword->isChecked());
  EXPECT_FALSE(none.ePassword->isEnabled());
  EXPECT_NE(-1, none.lPasswordNote->text().indexOf("Without HTTPS"));
  ClickBox(none.cPassword);
  EXPECT_TRUE(none.ePassword->isEnabled());
  EXPECT_NE("", none.NetworkProblem());
  none.eAuthUser->setText("ann");
  none.ePassword->setText("s3cret");
  none.ePasswordAgain->setText("s3cret");
  EXPECT_EQ("", none.NetworkProblem());
  TWebServerSettings out;
  none.ApplyToSettings(out);
  EXPECT_EQ("ann", out.AuthUser);
  EXPECT_TRUE(VerifyPassword(out.AuthPasswordHash, "s3cret")) << out.AuthPasswordHash;

  // A password set: the field stays empty (nothing of it is shown), and
  // left so, the hash stays; cleared box, no password at all.
  TWebServerSettings protected_settings = SampleSettings();
  protected_settings.AuthUser = "ann";
  protected_settings.AuthPasswordHash = out.AuthPasswordHash;
  TfrmSetup set(protected_settings);
  EXPECT_TRUE(set.cPassword->isChecked());
  EXPECT_EQ("", set.ePassword->text());
  EXPECT_EQ(QLineEdit::Password, set.ePassword->echoMode());
  TWebServerSettings kept;
  set.ApplyToSettings(kept);
  EXPECT_EQ(protected_settings.AuthPasswordHash, kept.AuthPasswordHash);
  set.cPassword->setChecked(false);
  set.ApplyToSettings(kept);
  EXPECT_EQ("", kept.AuthUser);
  EXPECT_EQ("", kept.AuthPasswordHash);
}

TEST(SetupDialog, UntouchedFieldsGiveBackTheStoredValuesWhole) {
  TWebServerSettings settings = SampleSettings();
  settings.PubDir = "/srv/" + std::string(300, 'd');  // longer than the typing limit
  settings.LogFormat = "$uri$ \xff\xfe raw bytes";    // no valid UTF-8
  settings.Port = 123456;
  settings.ThrottleRate = 1234567890;
  TWebServerSettings out = settings;
  TfrmSetup setup(settings);
  setup.ApplyToSettings(out);
  EXPECT_EQ(settings.PubDir, out.PubDir);
  EXPECT_EQ(settings.LogFormat, out.LogFormat);
  EXPECT_EQ(123456, out.Port);
  EXPECT_EQ(1234567890, out.ThrottleRate);

  setup.eLogFormat->setText("$date$");
  setup.ApplyToSettings(out);
  EXPECT_EQ("$date$", out.LogFormat) << "an edited field gives its new text";
}

class AutoRunEntry : public ::testing::Test {
 protected:
  std::string Entry() const { return GetAutostartFileName(kAutoRunName); }
  void WriteEntryFor(const std::string& program) {
    dir_.WriteFile("autostart/Veltrana WebServer.desktop",
                   "[Desktop Entry]\nType=Application\nExec=" + EncodeDesktopExec(program) + "\n");
  }

  TempDir dir_;
  ScopedEnv config_{"XDG_CONFIG_HOME", dir_.Path()};
};

TEST_F(AutoRunEntry, IsTouchedOnlyWhenItsBoxChanged) {
  WriteEntryFor("/opt/other/veltrana");
  const std::string other = ReadFileText(Entry());
  TWebServerSettings settings;
  {
    TfrmSetup setup(settings);
    EXPECT_FALSE(setup.cAutoRun->isChecked()) << "the entry names another program";
    setup.ApplyToSettings(settings);
    EXPECT_EQ(other, ReadFileText(Entry())) << "left alone";

    setup.cAutoRun->setChecked(true);
    setup.ApplyToSettings(settings);
    EXPECT_TRUE(IsRunAtStartup(kAutoRunName));
    EXPECT_TRUE(setup.AutoRunFound());
  }
  {
    TfrmSetup setup(settings);
    EXPECT_TRUE(setup.cAutoRun->isChecked());
    setup.cAutoRun->setChecked(false);
    setup.ApplyToSettings(settings);
    EXPECT_FALSE(std::filesystem::exists(Entry()));
  }
}

// Runs ShowSetupDialog; `user` acts on the open dialog (it must close it).
bool ShowSetupAnd(TWebServerSettings& settings, std::function<void(TfrmSetup&)> user) {
  QTimer::singleShot(0, [user] {
    auto* setup = dynamic_cast<TfrmSetup*>(QApplication::activeModalWidget());
    ASSERT_NE(nullptr, setup);
    setup->cAutoRun->setChecked(false);
    setup->ePort->setEditText("3128");
    user(*setup);
  });
  return ShowSetupDialog(nullptr, settings);
}

TEST_F(AutoRunEntry, CancelChangesNothing) {
  WriteEntryFor(GetAppFileName());
  TWebServerSettings settings = SampleSettings();
  EXPECT_FALSE(ShowSetupAnd(settings, [](TfrmSetup& s) { QTest::mouseClick(s.bCancel, Qt::LeftButton); }));
  EXPECT_TRUE(IsRunAtStartup(kAutoRunName));
  EXPECT_EQ(8080, settings.Port);
  EXPECT_FALSE(ShowSetupAnd(settings, [](TfrmSetup& s) { s.close(); })) << "the close box counts as Cancel";
  EXPECT_TRUE(IsRunAtStartup(kAutoRunName));
  EXPECT_EQ(8080, settings.Port);

  EXPECT_TRUE(ShowSetupAnd(settings, [](TfrmSetup& s) { QTest::mouseClick(s.bOK, Qt::LeftButton); }));
  EXPECT_FALSE(IsRunAtStartup(kAutoRunName));
  EXPECT_EQ(3128, settings.Port);
}

TEST(SetupDialog, OkRefusesAFolderThatDoesNotExistAndTheLogPageShowsTheLog) {
  TempDir dir;
  TWebServerSettings settings = SampleSettings();
  settings.PubDir = dir.File("missing");
  TfrmSetup setup(settings);
  setup.SetAccessLogFileName("/home/user/.local/state/veltrana/webserver.log");
  EXPECT_EQ("Access log: /home/user/.local/state/veltrana/webserver.log", setup.lLogFile->text());
  setup.show();
  setup.pcSetup->setCurrentWidget(setup.tsLog);

  QString said;
  QTimer::singleShot(0, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      said = box->text();
      box->accept();
    }
  });
  QTest::mouseClick(setup.bOK, Qt::LeftButton);
  EXPECT_EQ(QString::fromStdString("Published folder " + dir.File("missing") +
                                   " does not exist: create it, or choose another one."),
            said);
  EXPECT_TRUE(setup.isVisible()) << "refused: the dialog stays open";
  EXPECT_EQ(setup.tsGeneral, setup.pcSetup->currentWidget()) << "on the page of the field";

  setup.ePubDir->setText(QString::fromStdString(dir.Path()));
  QTest::mouseClick(setup.bOK, Qt::LeftButton);
  EXPECT_EQ(QDialog::Accepted, setup.result());
}

TEST(SetupDialog, BrowseFillsTheDirectoryFieldUnlessCancelled) {
  TfrmSetup setup(SampleSettings());
  QString asked_title;
  QString asked_start;
  QWidget* asked_parent = nullptr;
  QString answer = "/home/user/public";
  setup.fndPubDir.Chooser = [&](QWidget* parent, const QString& title, const QString& start) {
    asked_parent = parent;
    asked_title = title;
    asked_start = start;
    return answer;
  };
  QTest::mouseClick(setup.bPubDirBrowse, Qt::LeftButton);
  EXPECT_EQ("Select Directory to Publish.", asked_title);
  EXPECT_EQ("/tmp", asked_start);
  EXPECT_EQ(&setup, asked_parent);
  EXPECT_EQ("/home/user/public", setup.ePubDir->text());
  EXPECT_EQ("public", setup.fndPubDir.DirName());

  answer.clear();
  setup.bPubDirBrowseClick();
  EXPECT_EQ("/home/user/public", setup.ePubDir->text());
  EXPECT_EQ("", setup.fndPubDir.DirPath());
}

TEST(SetupDialog, ThePasswordIsTypedTwice) {
  const struct {
    const char* why;
    const char* first;
    const char* again;
    bool refused;
  } cases[] = {
      {"the same twice", "s3cret", "s3cret", false},
      {"a typo the second time", "s3cret", "s3crte", true},
      {"typed once only", "s3cret", "", true},
      {"only the second field", "", "s3cret", true},
  };
  TWebServerSettings settings = SampleSettings();
  settings.AuthPasswordHash = HashPassword("old");  // so that an empty first field is allowed
  for (const auto& c : cases) {
    TfrmSetup setup(settings);
    setup.ePassword->setText(c.first);
    setup.ePasswordAgain->setText(c.again);
    EXPECT_EQ(c.refused, !setup.NetworkProblem().isEmpty()) << c.why;
  }
  TfrmSetup cleared(settings);
  EXPECT_TRUE(cleared.ePasswordAgain->isEnabled());
  cleared.cPassword->setChecked(false);
  cleared.UpdateControls();
  EXPECT_FALSE(cleared.ePasswordAgain->isEnabled());
}

TEST(SetupDialog, ListingsUploadsAndHttpsShowAndGiveBackTheirSettings) {
  TWebServerSettings settings = SampleSettings();
  settings.ListFolders = true;
  settings.AllowUploads = true;
  settings.UploadFolder = "drop";
  settings.MaxUploadSize = 100;
  settings.HTTPS = true;
  settings.HTTPSPort = 9443;
  settings.CertificateFile = "/etc/ssl/site.pem";
  settings.KeyFile = "/etc/ssl/site.key";
  settings.RedirectToHTTPS = true;
  settings.AllowPasswordOverHTTP = true;
  TfrmSetup setup(settings);
  EXPECT_TRUE(setup.cListFolders->isChecked());
  EXPECT_TRUE(setup.eUploadFolder->isEnabled());
  EXPECT_TRUE(setup.eHTTPSPort->isEnabled());
  TWebServerSettings out;
  setup.ApplyToSettings(out);
  for (const char* key :
       {"ListFolders", "AllowUploads", "UploadFolder", "MaxUploadSize", "HTTPS", "HTTPSPort",
        "CertificateFile", "KeyFile", "RedirectToHTTPS", "AllowPasswordOverHTTP"})
    EXPECT_EQ(SettingText(settings, key), SettingText(out, key)) << key;

  setup.cAllowUploads->setChecked(false);
  setup.cHTTPS->setChecked(false);
  setup.UpdateControls();
  EXPECT_FALSE(setup.eUploadFolder->isEnabled());
  EXPECT_FALSE(setup.eMaxUploadSize->isEnabled());
  EXPECT_FALSE(setup.eCertificateFile->isEnabled());
  EXPECT_TRUE(setup.cAllowPasswordOverHTTP->isEnabled()) << "it matters most without HTTPS";
  EXPECT_NE(-1, setup.lPasswordOverHttpNote->text().indexOf("Not advised"));
}

TEST(SetupDialog, UploadsGoIntoThePublishedFolderOrOneInIt) {
  const struct {
    const char* typed;
    const char* kept;  // nullptr: refused
  } cases[] = {
      {"", ""},
      {"drop", "drop"},
      {"drop/in/", "drop/in"},
      {"/drop/in", nullptr},  // a full path, and not in the published folder
      {"/tmp/drop", "drop"},  // the published folder is /tmp
      {"/tmp", ""},
      {"../etc", nullptr},
      {"drop/../../etc", nullptr},
      {"/etc", nullptr},
      {"/tmpfoo", nullptr},
  };
  for (const auto& c : cases) {
    TWebServerSettings settings = SampleSettings();
    settings.AllowUploads = true;
    TfrmSetup setup(settings);
    setup.eUploadFolder->setText(c.typed);
    EXPECT_EQ(c.kept == nullptr, !setup.UploadProblem().isEmpty()) << c.typed;
    if (!c.kept) continue;
    TWebServerSettings out;
    setup.ApplyToSettings(out);
    EXPECT_EQ(c.kept, out.UploadFolder) << c.typed;
  }
}

TEST(SetupDialog, APortThisUserCannotBindIsSaidAtOnce) {
  const std::string privileged =
      CanBindPrivilegedPorts() ? ""
                               : "Port 80 needs administrator rights on Linux: choose a port from 1024 up.";
  const struct {
    const char* port;
    std::string note;
  } cases[] = {
      {"8080", ""},
      {"80", privileged},
      {"70000", "Ports go up to 65535."},
  };
  TfrmSetup setup(SampleSettings());
  for (const auto& c : cases) {
    setup.ePort->setEditText(c.port);
    EXPECT_EQ(c.note, setup.PortNote().toStdString()) << c.port;
    EXPECT_EQ(c.note, setup.lPortNote->text().toStdString()) << c.port;
  }
  // The texts around it stay as they were.
  EXPECT_EQ("Automatically run web server on start-up.", setup.cAutoRun->text());
  EXPECT_EQ("Starts the program when you log in.", setup.lAutoRunNote->text());
  EXPECT_EQ("Limit band-width per connection.", setup.cLimitBandwidth->text());
  EXPECT_EQ("Select Directory to Publish.", setup.fndPubDir.Title);
}

}  // namespace
}  // namespace vt

#include "ui/main_window.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "app/settings_environment.h"
#include "app_test_support.h"
#include "platform/ini_file.h"
#include "socket_test_support.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "ui/dashboard.h"
#include "ui/main_queue_bridge.h"
#include "ui/tray_icon.h"

namespace vt {
namespace {

using test::ScopedEnv;
using test::TempDir;

constexpr int kPatienceMs = 10000;

// The status window over an application with settings of its own (a
// temporary XDG_CONFIG_HOME), its published directory and access log, and
// Qt's loop serving the main queue.
class MainWindow : public ::testing::Test {
 protected:
  MainWindow() : config_("XDG_CONFIG_HOME", dir_.File("config")) {
    dir_.WriteFile("site/index.html", "home page");
    // Qt's offscreen platform has no tray: a test says whether there is one.
    TCoolTrayIcon::DefaultTrayAvailable = [this] { return tray_; };
  }
  ~MainWindow() override {
    frm_.reset();
    app_.reset();
    TCoolTrayIcon::DefaultTrayAvailable = nullptr;
  }

  // Writes the settings: the site, a free port, then `more`.
  void WriteSettings(const std::string& more) {
    port_ = test::FreePort();
    dir_.WriteFile("config/vtWebServer.ini", "[WebServer]\nPubDir=" + dir_.File("site") +
                                                 "\nPort=" + std::to_string(port_) + "\n" + more);
  }
  TIniFile Settings() const { return TIniFile(dir_.File("config/vtWebServer.ini")); }

  // Makes the application and its window, shows the window and runs the
  // deferred start.
  void Open() {
    frm_.reset();
    app_.reset();
    app_ = std::make_unique<TWebServerApp>();
    app_->AccessLogFileName = dir_.File("webserver.log");
    frm_ = std::make_unique<TfrmMain>(*app_);
    frm_->OnClose = [this] { ++closed_; };
    frm_->ShowView();
    bridge_.Serve();
  }

  // Ends the program as Exit does; true when the settings were saved.
  bool Exit() {
    frm_->actExit->trigger();
    return frm_->FormDestroy();
  }

  TfrmMain& Frm() { return *frm_; }

  TempDir dir_;
  ScopedEnv config_;
  TMainQueueBridge bridge_;
  std::unique_ptr<TWebServerApp> app_;
  std::unique_ptr<TfrmMain> frm_;
  std::uint16_t port_ = 0;
  int closed_ = 0;
  bool tray_ = true;
};

// Gets `uri` from the server on a thread of its own while Qt's loop serves
// the main thread.
test::HttpAnswer GetWhileServing(std::uint16_t port, const std::string& uri) {
  test::HttpAnswer answer;
  std::atomic<bool> done{false};
  std::thread client([&] {
    answer = test::Get(port, uri);
    done = true;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, kPatienceMs));
  client.join();
  return answer;
}

// The state of one action on the window's button and in the tray menu.
void ExpectAgree(QAction* action, QPushButton* button, bool enabled, QMenu* menu) {
  EXPECT_EQ(enabled, action->isEnabled()) << action->text().toStdString();
  EXPECT_EQ(enabled, button->isEnabled()) << action->text().toStdString();
  EXPECT_EQ(action->text(), button->text());
  EXPECT_TRUE(menu->actions().contains(action)) << action->text().toStdString();
}

// What the published folder gives away shows below the figures (amber when
// it warns) and in the tray hint; Details shows the whole report.
TEST_F(MainWindow, TheExposureCheckShowsInTheWindowAndTheTrayHint) {
  const std::string program = dir_.WriteFile("site/run.exe", "#!/bin/sh\n");
  ::chmod(program.c_str(), 0755);
  WriteSettings("Active=1\n");
  Open();
  EXPECT_FALSE(Frm().lExposure->isVisible()) << "nothing before the check has run";
  ASSERT_TRUE(QTest::qWaitFor([&] { return Frm().lExposure->isVisible(); }, kPatienceMs));
  EXPECT_EQ(QString::fromStdString(app_->Exposure()->Summary()), Frm().lExposure->text());
  EXPECT_NE(-1, Frm().lExposure->text().indexOf("1 program run on request"));
  EXPECT_NE(-1, Frm().TrayIcon->Hint().indexOf("warning: 1 program run on request"));
  QString shown;
  QTimer::singleShot(0, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->text();
      box->accept();
    }
  });
  Frm().bExposureDetails->click();
  EXPECT_NE(-1, shown.indexOf("ExecEXEAsCGI is on): run.exe")) << shown.toStdString();
  EXPECT_TRUE(Exit());
}

TEST_F(MainWindow, LabelsFollowStartAndStop) {
  WriteSettings("Active=1\n");
  Open();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Frm().lStatus->text() == "Active"; }, kPatienceMs));
  EXPECT_EQ(QString::number(port_), Frm().lPort->text());
  EXPECT_FALSE(Frm().iServerActive->isHidden());
  EXPECT_TRUE(Frm().iServerInactive->isHidden());
  EXPECT_EQ("0", Frm().lConnections->text());
  EXPECT_TRUE(QRegularExpression("^0:00:\\d\\d$").match(Frm().lUpTime->text()).hasMatch())
      << Frm().lUpTime->text().toStdString();
  ExpectAgree(Frm().actStart, Frm().bStart, false, Frm().mTrayIcon);
  ExpectAgree(Frm().actStop, Frm().bStop, true, Frm().mTrayIcon);
  ExpectAgree(Frm().actSetup, Frm().bSetup, true, Frm().mTrayIcon);
  ExpectAgree(Frm().actAbout, Frm().bAbout, true, Frm().mTrayIcon);
  ExpectAgree(Frm().actExit, Frm().bExit, true, Frm().mTrayIcon);
  EXPECT_TRUE(Frm().TrayIcon->Hint().startsWith(QString::fromUtf8("Veltrana Web Server \u2014 serving ")))
      << Frm().TrayIcon->Hint().toStdString();
  EXPECT_TRUE(Frm().lProblem->isHidden());

  EXPECT_EQ("home page", GetWhileServing(port_, "/index.html").body);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return Frm().lRequestCount->text() == "1" && Frm().lConnections->text() == "0"; }, kPatienceMs))
      << "figures after one request: " << Frm().lRequestCount->text().toStdString() << ", "
      << Frm().lConnections->text().toStdString();
  EXPECT_EQ("/index.html", Frm().lLastRequest->text());
  EXPECT_TRUE(Frm().lDataServed->text().endsWith(" bytes")) << Frm().lDataServed->text().toStdString();

  // A click on the window's Stop button.
  QTest::mouseClick(Frm().bStop, Qt::LeftButton);
  EXPECT_EQ("Inactive", Frm().lStatus->text());
  EXPECT_EQ(QString::number(port_), Frm().lPort->text()) << "the setting while inactive";
  EXPECT_EQ("-", Frm().lUpTime->text());
  EXPECT_EQ("-", Frm().lConnections->text());
  EXPECT_EQ("", Frm().lLastRequest->text());
  EXPECT_EQ("1", Frm().lRequestCount->text());
  EXPECT_TRUE(Frm().iServerActive->isHidden());
  EXPECT_FALSE(Frm().iServerInactive->isHidden());
  ExpectAgree(Frm().actStart, Frm().bStart, true, Frm().mTrayIcon);
  ExpectAgree(Frm().actStop, Frm().bStop, false, Frm().mTrayIcon);
  EXPECT_FALSE(Settings().ReadBool("WebServer", "Active", true)) << "Stop is saved at once";

  // Start again from the tray menu's entry.
  Frm().actStart->trigger();
  EXPECT_EQ("Active", Frm().lStatus->text());
  EXPECT_FALSE(Frm().bStart->isEnabled());
  EXPECT_TRUE(Frm().bStop->isEnabled());
  EXPECT_EQ("home page", GetWhileServing(port_, "/").body);
  EXPECT_TRUE(Exit());
  EXPECT_TRUE(Settings().ReadBool("WebServer", "Active", false));
}

// The dashboard beside the figures: the addresses with their QR code and
// buttons, a download in progress, the logs. What it opens on the desktop
// is recorded, not opened.
TEST_F(MainWindow, DashboardSharesTheAddressesAndShowsTheActivityAndTheLogs) {
  dir_.WriteFile("site/big.bin", std::string(40000, 'x'));
  WriteSettings("Active=1\nThrottle=1\nThrottleRate=10000\n");
  std::vector<QUrl> opened;
  const auto open_url = TDashboard::OpenUrl;
  TDashboard::OpenUrl = [&](const QUrl& url) { opened.push_back(url); };
  Open();
  TDashboard& dashboard = *Frm().Dashboard;
  const QString local = QString("http://localhost:%1/").arg(port_);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dashboard.lbUrls->count() > 0; }, kPatienceMs));
  EXPECT_EQ(local, dashboard.lbUrls->item(0)->text());
  const std::vector<std::string>& urls = app_->Urls();
  EXPECT_EQ(urls.at(urls.size() > 1 ? 1 : 0), dashboard.SelectedUrl()) << "a phone cannot use localhost";
  EXPECT_EQ(dashboard.SelectedUrl(), dashboard.iQrCode->Text());
  dashboard.bOpenInBrowser->click();
  ASSERT_EQ(1u, opened.size());
  EXPECT_EQ(QUrl(QString::fromStdString(dashboard.SelectedUrl())), opened.back());
  dashboard.lbUrls->setCurrentRow(0);
  EXPECT_EQ(urls.size() > 1 ? urls[1] : std::string(), dashboard.iQrCode->Text())
      << "localhost chosen: the code still shows an address a phone can use";
  EXPECT_EQ(urls.size() > 1 ? "Scan with a phone on the same network"
                            : "No network address: a phone cannot reach this computer",
            dashboard.lQrCaption->text().toStdString());
  dashboard.bCopyAddress->click();
  EXPECT_EQ(local, QApplication::clipboard()->text());
  dashboard.bOpenFolder->click();
  EXPECT_EQ(QUrl::fromLocalFile(QString::fromStdString(dir_.File("site"))), opened.back());

  // A download at 10000 bytes a second, in the Activity page's table.
  dashboard.setCurrentWidget(dashboard.tsActivity);
  const int download = test::ConnectLoopback(port_);
  test::SendAll(download, "GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n");
  QTableWidget& table = *dashboard.tvConnections;
  const auto cell = [&](int column) {
    return table.rowCount() == 1 && table.item(0, column) ? table.item(0, column)->text() : QString();
  };
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return cell(1) == "throttled" && cell(3).contains(" of 39."); }, kPatienceMs))
      << cell(1).toStdString() << " " << cell(3).toStdString();
  EXPECT_EQ("127.0.0.1", cell(0));
  EXPECT_EQ("GET /big.bin", cell(2));
  ::close(download);
  EXPECT_TRUE(QTest::qWaitFor([&] { return table.rowCount() == 0; }, kPatienceMs));
  EXPECT_EQ(TConnectionSampler::kHistorySeconds, dashboard.iThroughput->Buckets().size());

  // The logs: the server's lines and the access log's, read while the page
  // shows.
  EXPECT_EQ("home page", GetWhileServing(port_, "/index.html").body);
  dashboard.setCurrentWidget(dashboard.tsLog);
  EXPECT_TRUE(QTest::qWaitFor([&] { return dashboard.mAccessLog->toPlainText().contains("GET /index.html"); },
                              kPatienceMs))
      << dashboard.mAccessLog->toPlainText().toStdString();
  EXPECT_TRUE(dashboard.mServerLog->toPlainText().contains("Server active"))
      << dashboard.mServerLog->toPlainText().toStdString();
  EXPECT_TRUE(dashboard.lAccessLogFile->text().endsWith(QString::fromStdString(dir_.File("webserver.log"))));
  dashboard.bOpenLog->click();
  EXPECT_EQ(QUrl::fromLocalFile(QString::fromStdString(dir_.File("webserver.log"))), opened.back());

  Frm().actStop->trigger();
  EXPECT_EQ(0, dashboard.lbUrls->count());
  EXPECT_FALSE(dashboard.bOpenInBrowser->isEnabled());
  EXPECT_EQ("", dashboard.iQrCode->Text());
  TDashboard::OpenUrl = open_url;
  EXPECT_TRUE(Exit());
}

TEST_F(MainWindow, CloseBoxHidesAndStatusIsEnabledExactlyWhileHidden) {
  WriteSettings("Active=0\n");
  Open();
  EXPECT_TRUE(Frm().isVisible());
  EXPECT_FALSE(Frm().actOpen->isEnabled());
  EXPECT_FALSE(Frm().miStatus->isEnabled()) << "Status is greyed while the window shows";
  EXPECT_TRUE(Frm().TrayIcon->IconVisible());
  EXPECT_EQ("Veltrana Web Server \u2014 stopped", Frm().TrayIcon->Hint().toStdString());

  EXPECT_FALSE(Frm().close()) << "the close box only hides the window";
  EXPECT_TRUE(Frm().isHidden());
  EXPECT_EQ(0, closed_);
  EXPECT_TRUE(Frm().actOpen->isEnabled());
  EXPECT_TRUE(Frm().miStatus->isEnabled());
  EXPECT_TRUE(Frm().TrayIcon->IconVisible()) << "hiding leaves the icon alone";

  Frm().TrayIconClick(*Frm().TrayIcon);  // a double click on the icon
  EXPECT_TRUE(Frm().isVisible());
  EXPECT_FALSE(Frm().miStatus->isEnabled());
  Frm().TrayIconClick(*Frm().TrayIcon);
  EXPECT_TRUE(Frm().isVisible()) << "a double click on a shown window changes nothing";

  // Hidden again, then Exit from the tray menu: the icon goes, and the next
  // start is hidden in the tray.
  Frm().close();
  EXPECT_TRUE(Exit());
  EXPECT_EQ(1, closed_);
  EXPECT_FALSE(Frm().TrayIcon->IconVisible());
  EXPECT_FALSE(Frm().TrayIcon->TrayIcon().isVisible());
  EXPECT_TRUE(Settings().ReadBool("WebServer", "Minimized", false));

  Open();
  EXPECT_TRUE(Frm().isHidden()) << "hidden right after the start";
  EXPECT_TRUE(Frm().miStatus->isEnabled());
  Frm().miStatus->trigger();  // "Status" from the tray menu
  EXPECT_TRUE(Frm().isVisible());
  EXPECT_TRUE(Exit());
  EXPECT_FALSE(Settings().ReadBool("WebServer", "Minimized", true));
}

TEST_F(MainWindow, MinimiseGoesIntoTheTrayAndStatusBringsTheWindowBack) {
  WriteSettings("Active=0\n");
  Open();
  Frm().showMinimized();
  EXPECT_TRUE(Frm().actOpen->isEnabled()) << "Status is not greyed while the window is minimised";
  EXPECT_TRUE(Frm().miStatus->isEnabled());
  Frm().TrayIconClick(*Frm().TrayIcon);  // a click on the icon
  EXPECT_TRUE(Frm().isVisible());
  EXPECT_FALSE(Frm().isMinimized());
  EXPECT_FALSE(Frm().miStatus->isEnabled());
  EXPECT_TRUE(Exit());
  EXPECT_FALSE(Settings().ReadBool("WebServer", "Minimized", true));
}

TEST_F(MainWindow, WithoutATrayTheWindowIsNeverHiddenOutOfReach) {
  WriteSettings("Active=0\n");
  tray_ = false;
  Open();
  EXPECT_FALSE(Frm().close());
  EXPECT_TRUE(Frm().isVisible()) << "no tray to hide into: minimised, on the taskbar";
  EXPECT_TRUE(Frm().isMinimized());
  EXPECT_TRUE(Frm().miStatus->isEnabled());
  Frm().miStatus->trigger();
  EXPECT_FALSE(Frm().isMinimized());
  EXPECT_FALSE(Frm().miStatus->isEnabled());

  // Hidden in a tray that then goes away: the window comes back.
  tray_ = true;
  Frm().TrayIcon->CheckTray();
  Frm().close();
  EXPECT_TRUE(Frm().isHidden());
  tray_ = false;
  Frm().TrayIcon->CheckTray();
  EXPECT_TRUE(Frm().isVisible());
  EXPECT_FALSE(Frm().miStatus->isEnabled());
  EXPECT_TRUE(Exit());
}

TEST_F(MainWindow, AMissingPublishedFolderIsSaidAndAnotherOneCanBeChosen) {
  dir_.WriteFile("config/vtWebServer.ini", "[WebServer]\nActive=0\nPubDir=" + dir_.File("gone") + "\n");
  Open();
  EXPECT_TRUE(Frm().lProblem->isVisible());
  EXPECT_EQ("Published folder " + dir_.File("gone") +
                " does not exist: create it, or choose another one in Setup \u2192 General",
            Frm().lProblem->text().toStdString());
  EXPECT_TRUE(Frm().bChooseFolder->isVisible());
  EXPECT_TRUE(Frm().TrayIcon->Hint().endsWith(QStringLiteral(" does not exist")));

  app_->ChoosePublishedDirectory(dir_.File("site"));  // what the button's picker gives
  EXPECT_TRUE(Frm().lProblem->isHidden());
  EXPECT_TRUE(Frm().bChooseFolder->isHidden());
  EXPECT_EQ(dir_.File("site"), Settings().ReadString("WebServer", "PubDir", "")) << "saved at once";
  EXPECT_TRUE(Exit());
}

// Listening without its folder is a state of its own: "Waiting for ...",
// amber, never "Active"; the Create button makes the folder.
TEST_F(MainWindow, AServerWaitingForItsFolderOffersToCreateIt) {
  WriteSettings("Active=1\n");
  const std::string gone = dir_.File("later/share");
  {
    TIniFile ini(dir_.File("config/vtWebServer.ini"));
    ini.WriteString("WebServer", "PubDir", gone);
    ini.UpdateFile();
  }
  Open();
  ASSERT_TRUE(QTest::qWaitFor([&] { return app_->HTTPServer.Active(); }, kPatienceMs));
  EXPECT_EQ("Waiting for " + gone, Frm().lStatus->text().toStdString());
  EXPECT_EQ(TServerState::Waiting, app_->ServerState());
  EXPECT_TRUE(Frm().iServerInactive->isVisible());
  EXPECT_TRUE(Frm().bCreateFolder->isVisible());
  EXPECT_TRUE(Frm().bChooseFolder->isVisible());
  EXPECT_TRUE(Frm().actStop->isEnabled());
  Frm().bCreateFolder->click();
  EXPECT_TRUE(DirectoryExists(gone));
  EXPECT_EQ("Active", Frm().lStatus->text());
  EXPECT_TRUE(Frm().bCreateFolder->isHidden());
  EXPECT_TRUE(Frm().lProblem->isHidden());
  EXPECT_TRUE(Exit());
}

// The first close box into the tray says that sharing goes on; the settings
// remember that it was said.
TEST_F(MainWindow, TheFirstCloseIntoTheTrayIsToldOnce) {
  WriteSettings("Active=0\n");
  Open();
  EXPECT_FALSE(Settings().ReadBool("WebServer", "CloseNoticeShown", false));
  Frm().close();
  EXPECT_TRUE(Frm().isHidden());
  EXPECT_TRUE(Settings().ReadBool("WebServer", "CloseNoticeShown", false));
  EXPECT_EQ(std::nullopt, app_->TakeCloseNotice()) << "said once";
  EXPECT_TRUE(Exit());

  // Without a tray the close box minimises: nothing to tell, nothing used up.
  tray_ = false;
  WriteSettings("Active=0\n");
  Open();
  Frm().close();
  EXPECT_FALSE(Settings().ReadBool("WebServer", "CloseNoticeShown", false));
  EXPECT_TRUE(Exit());
}

TEST_F(MainWindow, StartFailureIsShownAsAnErrorAndTheServerStaysInactive) {
  WriteSettings("Active=1\n");
  const int taken = test::ListenOn(port_);
  ASSERT_GE(taken, 0);

  // The message box is modal: a timer looks for it from inside its loop.
  QString shown;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->text();
      EXPECT_EQ(QMessageBox::Critical, box->icon());
      box->accept();
    }
  });
  closer.start(10);
  Open();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !shown.isEmpty(); }, kPatienceMs));
  closer.stop();
  ::close(taken);
  EXPECT_EQ(
      "Port " + std::to_string(port_) + " is used by another program (pid " + std::to_string(::getpid()) +
          ", ui_tests): choose another port in Setup \u2192 Network (Error creating server socket: Socket "
          "bind failed: Address in use)",
      shown.toStdString());
  EXPECT_EQ("Inactive", Frm().lStatus->text());
  EXPECT_TRUE(Frm().bStart->isEnabled());
  EXPECT_FALSE(Frm().bStop->isEnabled());
  EXPECT_TRUE(Frm().isVisible()) << "the program goes on";
  EXPECT_TRUE(Settings().ReadBool("WebServer", "Active", false)) << "a failed start changes no setting";
}

TEST_F(MainWindow, PlacedFromTheSettingsAndItsPositionSavedAtExit) {
  WriteSettings("Active=0\nFormX=5000\nFormY=5000\n");
  Open();
  const TViewBounds desktop = Frm().DesktopBounds();
  ASSERT_GT(desktop.Width, 0);
  const QRect frame = Frm().frameGeometry();
  EXPECT_EQ(desktop.Width, frame.x() + frame.width()) << "pulled back onto a smaller desktop";
  EXPECT_EQ(desktop.Height, frame.y() + frame.height());

  Frm().move(-20, 40);
  EXPECT_TRUE(Exit());
  EXPECT_EQ(0, Settings().ReadInteger("WebServer", "FormX", -1));
  EXPECT_EQ(40, Settings().ReadInteger("WebServer", "FormY", -1));

  WriteSettings("Active=0\n");  // no position: centred
  Open();
  const QRect centred = Frm().frameGeometry();
  EXPECT_LE(std::abs(desktop.Width - centred.width() - 2 * centred.x()), 1);
  EXPECT_LE(std::abs(desktop.Height - centred.height() - 2 * centred.y()), 1);
}

}  // namespace
}  // namespace vt

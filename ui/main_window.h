#pragma once

// TfrmMain: the program's status window, a view of the application
// (app/web_server_app.h).
//
// A fixed-size dialog-style window captioned "Veltrana Web Server 1.0"
// whose only title-bar button is the close box. On its left the group
// " Web Server " shows the application's figures (values in navy); below a
// separator line, the server picture (active or inactive) and the buttons
// Start, Stop, Setup, About and Exit. On its right the sharing dashboard
// (ui/dashboard.h): the addresses with a QR code, the live connections with
// a throughput graph, and the logs. Every button is bound to one action object, and the tray
// menu holds the same objects, so an action's enabled state shows alike on
// its button and its menu entry. Above the figures a red line says what
// needs the user (a missing published folder, a start that failed), with
// buttons to create the folder or choose another when that is the problem
// (amber while the server waits for the folder). Below the figures,
// one line says what the published folder gives away (the exposure check,
// app/exposure_check.h), with a button for the whole report.
//
// The tray. While a tray host is there, the window has no taskbar entry
// (on X11 it asks the window manager to leave it out of taskbars and
// pagers), and both the close box and the window manager's minimise hide it
// into the tray; the tray menu's Status, a click or a double click on the
// icon bring it back. The first time the close box hides it, a
// notification says that sharing goes on (once per user: the settings
// remember it). The icon shows the server's state (running, stopped,
// a problem) and its hint says it in words. Without a tray host (GNOME has
// none by default) the window is never hidden where nobody could reach it:
// it keeps its taskbar entry, the close box minimises it, and when the tray
// host goes away while the window is hidden, the window is shown.
//
// Position. The saved position is the frame's. A window not yet mapped can
// only be placed by its client area (the frame is unknown), so the frame is
// put in its place at the first expose; and the position is remembered
// while the window is shown and saved from there, so that a window manager
// moving the client area as the window closes cannot shift it either
// (Openbox did both, so the window crept up by the title bar's height at
// every restart).
//
// Life cycle. The constructor builds the window, sets itself as the
// application's view, runs the application's FormCreate (settings read,
// window placed) and puts the tray icon up. Every show runs FormShow (the
// first one posts the deferred start). The close box runs FormClose: the
// window hides into the tray unless Exit was asked for; then it really
// closes, the icon leaves the tray and OnClose fires (the program ends its
// loop). FormDestroy (called by whoever ran the loop, or by the destructor)
// saves the window's position and the settings and shuts the server down.
//
// Lifetime: lives for the program's run; the application it shows must
// outlive it. Main thread only (Qt's and the application's main thread).

#include <QLabel>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "app/web_server_app.h"

class QAction;
class QFrame;
class QGroupBox;
class QMenu;
class QPushButton;

namespace vt {

class TCoolTrayIcon;
class TDashboard;

// A label of fixed size whose text wraps anywhere, even inside a word (a
// request URI has no blanks to wrap at); what does not fit is cut off. The
// text is drawn as typed, never read as markup.
class TWrapLabel : public QLabel {
 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

class TfrmMain : public QWidget, public IWebServerView {
 public:
  // Builds the window over `app` and runs FormCreate; the window is not
  // shown yet (ShowView does that).
  explicit TfrmMain(TWebServerApp& app, QWidget* parent = nullptr);
  // Runs FormDestroy unless that ran already.
  ~TfrmMain() override;

  // Saves the window's position and the settings and shuts the server down
  // (once); the tray icon leaves the tray. False when the settings could not
  // be saved (the user was told).
  bool FormDestroy();

  // Fires once the window has really closed (after Exit).
  std::function<void()> OnClose;

  // The tray icon's click or double click: opens the window when it is
  // hidden or minimised, else brings it to the front.
  void TrayIconClick(TCoolTrayIcon& sender);
  // A tray host came or went.
  void TrayChanged(bool available);

  // --- IWebServerView ---
  void ShowView() override;
  void HideView() override;
  bool ViewVisible() const override;
  // The window's frame (title bar and border included) on the desktop.
  std::optional<TViewBounds> ViewBounds() const override;
  void MoveView(int left, int top) override;
  // The available area of the window's screen.
  TViewBounds DesktopBounds() const override;
  void CloseView() override;
  bool ShowsFigures() const override { return true; }
  void DisplayChanged(unsigned parts) override;
  // An error message box over the window (and the line on standard error).
  void ShowError(const std::string& message) override;
  bool AskYesNo(const std::string& question) override;
  bool ShowSetupDialog(TWebServerSettings& settings) override;
  void ShowAboutBox() override;
  TFirstRunAnswer AskFirstRun(const std::string& folder) override;

  // --- Controls ---
  // The problem line and its buttons "Create folder" and "Choose folder...".
  QLabel* lProblem;
  QPushButton* bCreateFolder;
  QPushButton* bChooseFolder;
  QGroupBox* gbWebServer;
  QLabel* lStatus;
  QLabel* lPort;
  QLabel* lUpTime;
  QLabel* lRequestCount;
  QLabel* lDataServed;
  QLabel* lConnections;
  TWrapLabel* lLastRequest;
  // What the published folder gives away (the exposure check's summary,
  // amber when it warns) and the button that shows the whole report.
  QLabel* lExposure;
  QPushButton* bExposureDetails;
  QFrame* bvSeparator;
  QLabel* iServerActive;
  QLabel* iServerInactive;
  QPushButton* bStart;
  QPushButton* bStop;
  QPushButton* bSetup;
  QPushButton* bAbout;
  QPushButton* bExit;
  // The sharing dashboard beside the figures.
  TDashboard* Dashboard;

  // --- Actions, shared by the buttons and the tray menu ---
  QAction* actStart;
  QAction* actStop;
  QAction* actSetup;
  QAction* actAbout;
  QAction* actExit;
  QAction* actOpen;

  // --- The tray ---
  QMenu* mTrayIcon;
  // The menu's "Status" entry, which stands for actOpen.
  QAction* miStatus;
  TCoolTrayIcon* TrayIcon;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void CreateActions();
  void CreateTrayIcon();
  // The tray icon's picture and hint from the application's state.
  void UpdateTrayIcon();
  void RememberFramePosition();
  void ChooseFolder();
  // The exposure check's whole report in a message box.
  void ShowExposureDetails();

  TWebServerApp& app_;
  bool destroyed_ = false;
  // The frame's position while the window was last shown, if it was.
  std::optional<QPoint> frame_position_;
  // Where the frame is to go once the window manager has framed the window.
  std::optional<QPoint> place_frame_;
  bool shown_once_ = false;
  std::optional<TServerState> tray_state_;
};

}  // namespace vt

#pragma once

// TfrmMain: the program's status window, a view of the application
// (app/web_server_app.h).
//
// A fixed-size dialog-style window captioned "Veltrana Web Server 1.0" whose
// only title-bar button is the close box. The group " Web Server " shows the
// application's figures (values in navy); below a separator line, the
// server picture (active or inactive) and the buttons Start, Stop, Setup,
// About and Exit. Every button is bound to one action object, and the tray
// menu holds the same objects, so an action's enabled state shows alike on
// its button and its menu entry. The window has no taskbar entry: the tray
// icon stands for it (on X11 the window asks the window manager to leave it
// out of taskbars and pagers).
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

// The tray icon's hint.
inline constexpr const char* kTrayHint = "Web Server";

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

  // The tray icon's double click: opens the window when it is hidden.
  void TrayIconClick(TCoolTrayIcon& sender);

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
  // An error message box over the window.
  void ShowError(const std::string& message) override;
  bool ShowSetupDialog(TWebServerSettings& settings) override;
  void ShowAboutBox() override;

  // --- Controls ---
  QGroupBox* gbWebServer;
  QLabel* lStatus;
  QLabel* lPort;
  QLabel* lUpTime;
  QLabel* lRequestCount;
  QLabel* lDataServed;
  QLabel* lConnections;
  TWrapLabel* lLastRequest;
  QFrame* bvSeparator;
  QLabel* iServerActive;
  QLabel* iServerInactive;
  QPushButton* bStart;
  QPushButton* bStop;
  QPushButton* bSetup;
  QPushButton* bAbout;
  QPushButton* bExit;

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

 private:
  void CreateControls();
  void CreateActions();
  void CreateTrayIcon();

  TWebServerApp& app_;
  bool destroyed_ = false;
};

}  // namespace vt

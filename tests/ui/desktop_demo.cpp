// A small desktop program for the real-window check (desktop_check.sh),
// built only with the tests. It puts the pieces of the user interface
// together the way the program will: the settings from
// $XDG_CONFIG_HOME/vtWebServer.ini, one action object per action shared by
// the window and the tray menu, the tray icon with its menu, the setup
// dialog (OK saves the settings) and the about box. The status window is a
// stand-in with the real caption: hidden at start when the settings say
// Minimized, shown by a double click on the icon or by "Status", hidden
// again by its close box. Exit (from the menu) removes the icon and quits.

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>

#include "app/settings.h"
#include "platform/ini_file.h"
#include "ui/about_box.h"
#include "ui/main_queue_bridge.h"
#include "ui/resources.h"
#include "ui/setup_dialog.h"
#include "ui/tray_icon.h"

namespace {

class StandInWindow : public QWidget {
 public:
  std::function<void()> OnClose;

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();  // the close box hides the window in the tray
    hide();
    if (OnClose) OnClose();
  }
};

}  // namespace

int main(int argc, char** argv) {
  using namespace vt;
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(ProgramIcon());
  TMainQueueBridge bridge;

  TIniFile ini(kSettingsFileName);
  TWebServerSettings settings;
  settings.LoadSettings(ini, kSettingsSection);

  StandInWindow window;
  window.setWindowTitle(QString::fromLatin1(kProgramTitle));
  auto* layout = new QVBoxLayout(&window);
  layout->addWidget(new QLabel(QStringLiteral("Stand-in for the status window."), &window));

  QAction actOpen(QStringLiteral("Open"));
  QAction actStart(QStringLiteral("St&art"));
  QAction actStop(QStringLiteral("St&op"));
  QAction actSetup(QStringLiteral("Se&tup"));
  QAction actAbout(QStringLiteral("A&bout"));
  QAction actExit(QStringLiteral("E&xit"));
  actStop.setEnabled(false);

  QObject::connect(&actOpen, &QAction::triggered, [&] {
    window.show();
    settings.Minimized = false;
    actOpen.setEnabled(false);
  });
  window.OnClose = [&] {
    actOpen.setEnabled(true);
    settings.Minimized = true;
  };
  QObject::connect(&actStart, &QAction::triggered, [&] {
    actStart.setEnabled(false);
    actStop.setEnabled(true);
  });
  QObject::connect(&actStop, &QAction::triggered, [&] {
    actStop.setEnabled(false);
    actStart.setEnabled(true);
  });
  QObject::connect(&actSetup, &QAction::triggered, [&] {
    if (!ShowSetupDialog(&window, settings)) return;
    settings.SaveSettings(ini, kSettingsSection);
    try {
      ini.UpdateFile();
    } catch (const Exception& e) {
      std::fprintf(stderr, "settings not saved: %s\n", e.what());
    }
  });
  QObject::connect(&actAbout, &QAction::triggered, [&] { ShowAboutBox(&window); });

  QMenu menu;
  BuildTrayMenu(menu, TTrayActions{&actOpen, &actStart, &actStop, &actSetup, &actAbout, &actExit});
  TCoolTrayIcon tray(&window);
  tray.SetIcon(ProgramIcon());
  tray.SetHint(QStringLiteral("Web Server"));
  tray.SetPopupMenu(&menu);
  tray.OnDblClick = [&](TCoolTrayIcon&) {
    if (actOpen.isEnabled()) actOpen.trigger();
  };
  QObject::connect(&actExit, &QAction::triggered, [&] {
    tray.SetIconVisible(false);
    QApplication::quit();
  });
  tray.SetIconVisible(true);

  if (settings.Minimized) {
    actOpen.setEnabled(true);
  } else {
    actOpen.setEnabled(false);
    window.show();
  }
  return QApplication::exec();
}

#include "ui/tray_icon.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>

#include "ui/resources.h"

namespace vt {
namespace {

// The tray menu's actions, as the owner window will hold them.
struct Actions {
  QAction open{"Open"}, start{"St&art"}, stop{"St&op"}, setup{"Se&tup"}, about{"A&bout"}, exit{"E&xit"};
  TTrayActions Tray() { return {&open, &start, &stop, &setup, &about, &exit}; }
};

TEST(TrayIcon, HintIsCutAndIconAndHintReachTheTray) {
  TCoolTrayIcon tray;
  tray.SetIcon(ProgramIcon());
  tray.SetHint("Web Server");
  EXPECT_EQ("Web Server", tray.TrayIcon().toolTip());
  EXPECT_FALSE(tray.TrayIcon().icon().isNull());

  tray.SetHint(QString(200, 'h'));
  EXPECT_EQ(127, tray.Hint().size());
  EXPECT_EQ(tray.Hint(), tray.TrayIcon().toolTip());
  // A character outside the BMP across the limit is dropped whole.
  tray.SetHint(QString(126, 'h') + QString::fromUtf8("\xf0\x9f\x8c\x90"));
  EXPECT_EQ(126, tray.Hint().size());

  tray.SetIconVisible(true);
  EXPECT_TRUE(tray.TrayIcon().isVisible());
  tray.SetIconVisible(false);
  EXPECT_FALSE(tray.TrayIcon().isVisible());
}

TEST(TrayIcon, MenuHasTheEntriesInOrderWithStatusFollowingOpen) {
  Actions actions;
  QMenu menu;
  QAction* status = BuildTrayMenu(menu, actions.Tray());
  QStringList entries;
  for (QAction* entry : menu.actions()) entries << (entry->isSeparator() ? "-" : entry->text());
  EXPECT_EQ((QStringList{"Status", "-", "St&art", "St&op", "Se&tup", "-", "A&bout", "E&xit"}), entries);
  EXPECT_EQ(status, menu.defaultAction());
  EXPECT_TRUE(status->font().bold());
  EXPECT_EQ("Open", actions.open.text());

  int opened = 0;
  QObject::connect(&actions.open, &QAction::triggered, [&] { ++opened; });
  actions.open.setEnabled(false);  // the window is visible
  EXPECT_FALSE(status->isEnabled());
  status->trigger();
  EXPECT_EQ(0, opened);
  actions.open.setEnabled(true);
  EXPECT_TRUE(status->isEnabled());
  status->trigger();
  EXPECT_EQ(1, opened);
}

TEST(TrayIcon, DoubleClickFiresTheEventThenTheEnabledDefaultEntry) {
  Actions actions;
  QMenu menu;
  BuildTrayMenu(menu, actions.Tray());
  TCoolTrayIcon tray;
  tray.SetPopupMenu(&menu);
  EXPECT_EQ(&menu, tray.TrayIcon().contextMenu());

  std::vector<std::string> events;
  QObject::connect(&actions.open, &QAction::triggered, [&] {
    events.push_back("open");
    actions.open.setEnabled(false);  // as the window does when it shows
  });
  tray.OnDblClick = [&](TCoolTrayIcon& sender) {
    EXPECT_EQ(&tray, &sender);
    events.push_back(actions.open.isEnabled() ? "dblclick(hidden)" : "dblclick(shown)");
    if (actions.open.isEnabled()) actions.open.trigger();
  };
  emit tray.TrayIcon().activated(QSystemTrayIcon::DoubleClick);
  EXPECT_EQ((std::vector<std::string>{"dblclick(hidden)", "open"}), events);
  emit tray.TrayIcon().activated(QSystemTrayIcon::DoubleClick);
  EXPECT_EQ((std::vector<std::string>{"dblclick(hidden)", "open", "dblclick(shown)"}), events);

  // Without the handler the default entry still opens the window.
  tray.OnDblClick = nullptr;
  actions.open.setEnabled(true);
  emit tray.TrayIcon().activated(QSystemTrayIcon::Trigger);  // a single click without OnClick does nothing
  EXPECT_EQ(3u, events.size());
  emit tray.TrayIcon().activated(QSystemTrayIcon::DoubleClick);
  EXPECT_EQ(4u, events.size());
  tray.OnClick = [&](TCoolTrayIcon&) { events.push_back("click"); };
  emit tray.TrayIcon().activated(QSystemTrayIcon::Trigger);
  EXPECT_EQ("click", events.back());
}

TEST(TrayIcon, IconComesBackWhenTheTrayReturns) {
  bool available = false;  // no tray yet when the icon is shown
  TCoolTrayIcon tray;
  tray.TrayAvailable = [&] { return available; };
  tray.TrayCheckInterval = 5;
  tray.SetIcon(ProgramIcon());
  EXPECT_FALSE(tray.ShowIcon());
  available = true;
  EXPECT_TRUE(QTest::qWaitFor([&] { return tray.RestoreCount() == 1; }, 10000)) << "the timer notices";
  EXPECT_TRUE(tray.TrayIcon().isVisible());

  available = false;  // the tray host restarts
  tray.CheckTray();
  available = true;
  tray.CheckTray();
  tray.CheckTray();
  EXPECT_EQ(2, tray.RestoreCount());

  std::vector<bool> changes;
  tray.OnTrayChanged = [&](TCoolTrayIcon&, bool now) { changes.push_back(now); };
  tray.SetIconVisible(false);
  available = false;
  tray.CheckTray();
  tray.CheckTray();
  available = true;
  tray.CheckTray();
  EXPECT_EQ(2, tray.RestoreCount()) << "a hidden icon stays hidden";
  EXPECT_EQ((std::vector<bool>{false, true}), changes) << "each coming and going told once";
  EXPECT_FALSE(tray.TrayIcon().isVisible());
}

}  // namespace
}  // namespace vt

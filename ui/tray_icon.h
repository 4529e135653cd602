#pragma once

// TCoolTrayIcon: the program's icon in the desktop's notification area.
//
// Built on QSystemTrayIcon, which docks the icon by the freedesktop.org
// XEmbed tray protocol, or registers it with a StatusNotifier host when one
// is on the session bus. The icon shows a hint and opens PopupMenu on a
// right click; a single click fires OnClick; a double click fires
// OnDblClick and then clicks the menu's default entry when that is enabled.
//
// Tray host restarts. Qt docks the icon again by itself when an XEmbed tray
// comes back; for hosts where it does not, the component also watches the
// tray's availability and, when the tray reappears while IconVisible is on,
// adds the icon again (re-adding an icon that is already docked only
// replaces it). OnTrayChanged tells the owner when a tray comes or goes, so
// that a window hidden in a tray that went away can be shown again.
//
// When the owner window is shown, the component brings it to the front, so
// that a window opened from the tray is not left behind others.
//
// Lifetime: a Qt child of its owner (or held by whoever created it); its
// destruction removes the icon. The menu is not owned. Main thread only.

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace vt {

class TCoolTrayIcon : public QObject {
 public:
  using TNotifyEvent = std::function<void(TCoolTrayIcon& sender)>;

  // The hint's length limit in characters.
  static constexpr int kMaxHintLength = 127;

  explicit TCoolTrayIcon(QWidget* owner = nullptr);
  ~TCoolTrayIcon() override;

  const QIcon& Icon() const { return icon_; }
  void SetIcon(const QIcon& icon);  // ModifyIcon
  bool IconVisible() const { return icon_visible_; }
  void SetIconVisible(bool visible);  // ShowIcon or HideIcon
  // The tooltip; cut to kMaxHintLength characters.
  const QString& Hint() const { return hint_; }
  void SetHint(const QString& hint);  // ModifyIcon
  QMenu* PopupMenu() const { return popup_menu_.data(); }
  void SetPopupMenu(QMenu* menu);

  // Fires on a single click on the icon.
  TNotifyEvent OnClick;
  // Fires on a double click on the icon.
  TNotifyEvent OnDblClick;
  // Fires when the check finds that a tray came (true) or went (false).
  std::function<void(TCoolTrayIcon& sender, bool available)> OnTrayChanged;

  // Adds the icon to the tray; false when there is no tray right now (the
  // icon then appears when one does).
  bool ShowIcon();
  // Removes the icon from the tray.
  void HideIcon();
  // Passes the current picture and hint to the tray.
  void ModifyIcon();
  // Opens PopupMenu at the mouse position (nothing without a menu).
  void PopupAtCursor();

  // How often the tray's availability is checked, in milliseconds; read
  // when the icon is shown.
  int TrayCheckInterval = 2000;
  // Says whether a tray is there: this, else DefaultTrayAvailable, else
  // QSystemTrayIcon::isSystemTrayAvailable (tests replace them).
  std::function<bool()> TrayAvailable;
  static std::function<bool()> DefaultTrayAvailable;
  // True when a tray host is there to hold the icon.
  bool IsTrayAvailable() const;
  // How often the icon was added again because the tray came back.
  int RestoreCount() const { return restore_count_; }
  // The availability check that the timer runs while the icon is shown.
  void CheckTray();

  // The Qt object underneath (for the tray menu's popup, and for tests).
  QSystemTrayIcon& TrayIcon() { return *tray_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Activated(int reason);

  QWidget* owner_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<QTimer> tray_check_;
  QPointer<QMenu> popup_menu_;
  QIcon icon_;
  QString hint_;
  bool icon_visible_ = false;
  bool tray_was_available_ = false;  // at the last check
  int restore_count_ = 0;
};

// The actions the tray menu offers; the owner window owns them, and its
// buttons share them, so that the enabled states agree everywhere.
struct TTrayActions {
  QAction* actOpen;
  QAction* actStart;
  QAction* actStop;
  QAction* actSetup;
  QAction* actAbout;
  QAction* actExit;
};

// Fills `menu` with the tray menu: "Status" (the default entry, in bold),
// a separator, Start, Stop, Setup, a separator, About and Exit. "Status" is
// an entry of the menu's own that stands for actOpen (whose caption is
// "Open"): it follows actOpen's enabled state and triggers it. Returns the
// "Status" entry.
QAction* BuildTrayMenu(QMenu& menu, const TTrayActions& actions);

}  // namespace vt

#include "ui/tray_icon.h"

#include <QAction>
#include <QCursor>
#include <QEvent>
#include <QFont>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

namespace vt {

std::function<bool()> TCoolTrayIcon::DefaultTrayAvailable;

TCoolTrayIcon::TCoolTrayIcon(QWidget* owner)
    : QObject(owner),
      owner_(owner),
      tray_(std::make_unique<QSystemTrayIcon>()),
      tray_check_(std::make_unique<QTimer>()) {
  connect(tray_.get(), &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { Activated(reason); });
  connect(tray_check_.get(), &QTimer::timeout, this, [this] { CheckTray(); });
  if (owner_) owner_->installEventFilter(this);
}

TCoolTrayIcon::~TCoolTrayIcon() { HideIcon(); }

void TCoolTrayIcon::SetIcon(const QIcon& icon) {
  icon_ = icon;
  ModifyIcon();
}

void TCoolTrayIcon::SetIconVisible(bool visible) {
  icon_visible_ = visible;
  if (visible) {
    ShowIcon();
  } else {
    HideIcon();
  }
}

void TCoolTrayIcon::SetHint(const QString& hint) {
  hint_ = hint.left(kMaxHintLength);
  if (!hint_.isEmpty() && hint_.back().isHighSurrogate()) hint_.chop(1);  // never half a character
  ModifyIcon();
}

void TCoolTrayIcon::SetPopupMenu(QMenu* menu) {
  popup_menu_ = menu;
  // Qt opens the context menu on a right click itself (and exports it to a
  // StatusNotifier host, which draws menus on its own).
  tray_->setContextMenu(menu);
}

bool TCoolTrayIcon::ShowIcon() {
  ModifyIcon();
  tray_->show();
  tray_was_available_ = IsTrayAvailable();
  tray_check_->start(TrayCheckInterval);
  return tray_was_available_;
}

void TCoolTrayIcon::HideIcon() {
  tray_check_->stop();
  tray_->hide();
}

void TCoolTrayIcon::ModifyIcon() {
  tray_->setIcon(icon_);
  tray_->setToolTip(hint_);
}

void TCoolTrayIcon::PopupAtCursor() {
  if (popup_menu_) popup_menu_->popup(QCursor::pos());
}

bool TCoolTrayIcon::IsTrayAvailable() const {
  if (TrayAvailable) return TrayAvailable();
  if (DefaultTrayAvailable) return DefaultTrayAvailable();
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TCoolTrayIcon::CheckTray() {
  const bool available = IsTrayAvailable();
  const bool changed = available != tray_was_available_;
  tray_was_available_ = available;
  if (available && changed && tray_->isVisible()) {
    tray_->hide();
    tray_->show();
    ++restore_count_;
  }
  if (changed && OnTrayChanged) OnTrayChanged(*this, available);
}

void TCoolTrayIcon::Activated(int reason) {
  QPointer<TCoolTrayIcon> alive(this);
  if (reason == QSystemTrayIcon::Trigger) {
    if (OnClick) OnClick(*this);
    return;
  }
  if (reason != QSystemTrayIcon::DoubleClick) return;  // the right click's menu is Qt's
  if (OnDblClick) OnDblClick(*this);
  if (!alive || !popup_menu_) return;
  QAction* entry = popup_menu_->defaultAction();
  if (entry && entry->isEnabled()) entry->trigger();
}

bool TCoolTrayIcon::eventFilter(QObject* watched, QEvent* event) {
  if (watched == owner_ && event->type() == QEvent::Show) {
    // After the show, when the window can take the focus.
    QTimer::singleShot(0, owner_, [owner = owner_] {
      if (owner->isMinimized()) return;  // shown minimised: activating it would undo that
      owner->raise();
      owner->activateWindow();
    });
  }
  return QObject::eventFilter(watched, event);
}

QAction* BuildTrayMenu(QMenu& menu, const TTrayActions& actions) {
  QAction* open = actions.actOpen;
  auto* status = new QAction(QStringLiteral("Status"), &menu);
  QFont bold = status->font();
  bold.setBold(true);
  status->setFont(bold);
  status->setEnabled(open->isEnabled());
  QObject::connect(open, &QAction::enabledChanged, status, &QAction::setEnabled);
  QObject::connect(status, &QAction::triggered, open, &QAction::trigger);
  menu.addAction(status);
  menu.setDefaultAction(status);
  menu.addSeparator();
  menu.addAction(actions.actStart);
  menu.addAction(actions.actStop);
  menu.addAction(actions.actSetup);
  menu.addSeparator();
  menu.addAction(actions.actAbout);
  menu.addAction(actions.actExit);
  return status;
}

}  // namespace vt

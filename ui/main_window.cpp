#include "ui/main_window.h"

#include <xcb/xcb.h>

#include <QAction>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTextOption>
#include <QVBoxLayout>
#include <QWindow>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "app/settings_environment.h"
#include "ui/about_box.h"
#include "ui/controls.h"
#include "ui/dashboard.h"
#include "ui/first_run_dialog.h"
#include "ui/resources.h"
#include "ui/setup_dialog.h"
#include "ui/tray_icon.h"

namespace vt {

namespace {

// Width of the value column, and the lines the last request may take.
constexpr int kValueWidth = 200;
constexpr int kLastRequestLines = 3;

// The value labels' text colour: navy.
const QColor kValueColour(0, 0, 128);

QLabel* NewValueLabel(QLabel* label, QWidget* parent) {
  label->setParent(parent);
  label->setTextFormat(Qt::PlainText);  // request text is never markup
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, kValueColour);
  label->setPalette(palette);
  return label;
}

// The problem line's colour: dark red.
const QColor kProblemColour(176, 0, 0);
// The exposure line when the check warns, and the problem line while the
// server waits for its folder: amber.
const QColor kWarningColour(160, 90, 0);
// How long the close notification stays (milliseconds).
constexpr int kCloseNoticeMs = 10000;

// Asks an X11 window manager to leave the window out of taskbars and pagers
// (`entry` false: the tray icon stands for the program) or to show it there
// (`entry` true: there is no tray). Before the window is mapped the states
// go onto the window itself (Qt adds its own states to those it finds there
// when it maps it); a mapped window asks the window manager by a client
// message, as EWMH says. Other platforms have no such request.
void SetTaskbarEntry(QWidget& window, bool entry, bool mapped) {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (!x11 || !x11->connection()) return;
  xcb_connection_t* connection = x11->connection();
  const auto atom = [connection](const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return result;
  };
  static const xcb_atom_t state = atom("_NET_WM_STATE");
  static const xcb_atom_t skip[] = {atom("_NET_WM_STATE_SKIP_TASKBAR"), atom("_NET_WM_STATE_SKIP_PAGER")};
  if (state == XCB_ATOM_NONE) return;
  const auto id = static_cast<xcb_window_t>(window.winId());
  if (mapped) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = id;
    message.type = state;
    message.data.data32[0] = entry ? 0 : 1;  // remove, add
    message.data.data32[1] = skip[0];
    message.data.data32[2] = skip[1];
    message.data.data32[3] = 1;  // from a normal application
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_send_event(connection, 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
  } else if (entry) {
    xcb_delete_property(connection, id, state);
  } else {
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, state, XCB_ATOM_ATOM, 32, 2, skip);
  }
  xcb_flush(connection);
}

}  // namespace

void TWrapLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QTextOption option(alignment());
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
  painter.drawText(QRectF(contentsRect()), text(), option);
}

// ---------------------------------------------------------------------------

TfrmMain::TfrmMain(TWebServerApp& app, QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      app_(app) {
  setWindowTitle(QString::fromLatin1(kMainCaption));
  CreateActions();
  CreateControls();
  CreateTrayIcon();
  // FormCreate places the window by its outer size: the platform window is
  // made first, so that the frame counts where the platform knows it up
  // front (an X11 window manager tells it only once the window is mapped).
  adjustSize();
  winId();
  // The first expose tells where the window manager put the frame.
  windowHandle()->installEventFilter(this);

  app_.SetView(this);
  app_.FormCreate();
  // The icon goes up once the window is loaded, and stays until the end.
  TrayIcon->SetIconVisible(true);
}

TfrmMain::~TfrmMain() {
  FormDestroy();
  app_.SetView(nullptr);
}

void TfrmMain::CreateActions() {
  const auto action = [this](const char* caption) { return new QAction(QString::fromLatin1(caption), this); };
  actStart = action("St&art");
  actStop = action("St&op");
  actSetup = action("Se&tup");
  actAbout = action("A&bout");
  actExit = action("E&xit");
  actOpen = action("Open");
  connect(actStart, &QAction::triggered, this, [this] { app_.actStartExecute(); });
  connect(actStop, &QAction::triggered, this, [this] { app_.actStopExecute(); });
  connect(actSetup, &QAction::triggered, this, [this] { app_.actSetupExecute(); });
  connect(actAbout, &QAction::triggered, this, [this] { app_.actAboutExecute(); });
  connect(actExit, &QAction::triggered, this, [this] { app_.actExitExecute(); });
  connect(actOpen, &QAction::triggered, this, [this] { app_.actOpenExecute(); });
  const TStatusDisplay& display = app_.Display();
  actStart->setEnabled(display.actStart);
  actStop->setEnabled(display.actStop);
  actOpen->setEnabled(display.actOpen);
}

void TfrmMain::CreateControls() {
  // The status column, and the dashboard beside it.
  auto* window = new QHBoxLayout(this);
  window->setSizeConstraint(QLayout::SetFixedSize);  // a fixed-size window
  auto* form = new QVBoxLayout();
  window->addLayout(form);

  auto* problem = new QHBoxLayout();
  lProblem = new QLabel(this);
  lProblem->setTextFormat(Qt::PlainText);  // a folder name is never markup
  lProblem->setWordWrap(true);
  lProblem->setFixedWidth(kValueWidth + 60);
  QPalette palette = lProblem->palette();
  palette.setColor(QPalette::WindowText, kProblemColour);
  lProblem->setPalette(palette);
  bCreateFolder = new QPushButton(QStringLiteral("C&reate"), this);
  bCreateFolder->setAutoDefault(false);
  connect(bCreateFolder, &QPushButton::clicked, this, [this] { app_.CreatePublishedDirectory(); });
  bChooseFolder = new QPushButton(QStringLiteral("Choose folder..."), this);
  bChooseFolder->setAutoDefault(false);
  connect(bChooseFolder, &QPushButton::clicked, this, [this] { ChooseFolder(); });
  auto* folder_buttons = new QVBoxLayout();
  folder_buttons->addWidget(bCreateFolder);
  folder_buttons->addWidget(bChooseFolder);
  problem->addWidget(lProblem, 1);
  problem->addLayout(folder_buttons);
  lProblem->hide();
  bCreateFolder->hide();
  bChooseFolder->hide();
  form->addLayout(problem);

  gbWebServer = new QGroupBox(QStringLiteral(" Web Server "), this);
  auto* figures = new QGridLayout(gbWebServer);
  figures->setColumnMinimumWidth(1, kValueWidth);
  figures->setHorizontalSpacing(16);
  int row = 0;
  const auto add_row = [&](const char* caption, QLabel* value) {
    auto* label = new QLabel(QString::fromLatin1(caption), gbWebServer);
    figures->addWidget(label, row, 0, Qt::AlignLeft | Qt::AlignTop);
    figures->addWidget(NewValueLabel(value, gbWebServer), row, 1, Qt::AlignLeft | Qt::AlignTop);
    ++row;
    return value;
  };
  lStatus = add_row("Status", new QLabel);
  lPort = add_row("Port", new QLabel);
  lUpTime = add_row("Up-Time", new QLabel);
  lRequestCount = add_row("Requests", new QLabel);
  lDataServed = add_row("Data served", new QLabel);
  lConnections = add_row("Connections", new QLabel);
  lLastRequest = static_cast<TWrapLabel*>(add_row("Last request", new TWrapLabel));
  lLastRequest->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lLastRequest->setFixedSize(kValueWidth, lLastRequest->fontMetrics().lineSpacing() * kLastRequestLines);
  form->addWidget(gbWebServer);

  auto* exposure = new QHBoxLayout();
  lExposure = new QLabel(this);
  lExposure->setTextFormat(Qt::PlainText);
  lExposure->setWordWrap(true);
  lExposure->setFixedWidth(kValueWidth + 60);
  bExposureDetails = new QPushButton(QStringLiteral("Details..."), this);
  bExposureDetails->setAutoDefault(false);
  connect(bExposureDetails, &QPushButton::clicked, this, [this] { ShowExposureDetails(); });
  exposure->addWidget(lExposure, 1);
  exposure->addWidget(bExposureDetails, 0, Qt::AlignTop);
  lExposure->hide();
  bExposureDetails->hide();
  form->addLayout(exposure);

  bvSeparator = new QFrame(this);
  bvSeparator->setFrameShape(QFrame::HLine);
  bvSeparator->setFrameShadow(QFrame::Sunken);
  form->addWidget(bvSeparator);

  auto* bottom = new QGridLayout();
  iServerActive = new QLabel(this);
  iServerActive->setPixmap(ServerActivePixmap());
  iServerInactive = new QLabel(this);
  iServerInactive->setPixmap(ServerInactivePixmap());
  iServerActive->hide();
  bottom->addWidget(iServerActive, 0, 0, 2, 1, Qt::AlignLeft | Qt::AlignVCenter);
  bottom->addWidget(iServerInactive, 0, 0, 2, 1, Qt::AlignLeft | Qt::AlignVCenter);
  bottom->setColumnStretch(0, 1);
  const auto button = [this, bottom](QAction* action, int button_row, int column) {
    auto* result = new QPushButton(this);
    result->setAutoDefault(false);
    BindButtonToAction(result, action);
    bottom->addWidget(result, button_row, column);
    return result;
  };
  bStart = button(actStart, 0, 1);
  bStop = button(actStop, 0, 2);
  bSetup = button(actSetup, 0, 3);
  bAbout = button(actAbout, 1, 2);
  bExit = button(actExit, 1, 3);
  form->addLayout(bottom);
  form->addStretch(1);

  Dashboard = new TDashboard(app_, this);
  window->addWidget(Dashboard, 1);
}

void TfrmMain::CreateTrayIcon() {
  mTrayIcon = new QMenu(this);
  miStatus = BuildTrayMenu(*mTrayIcon, TTrayActions{actOpen, actStart, actStop, actSetup, actAbout, actExit});
  TrayIcon = new TCoolTrayIcon(this);
  TrayIcon->SetIcon(StateIcon(TServerState::Stopped));
  TrayIcon->SetHint(QString::fromLatin1(kServerName));
  TrayIcon->SetPopupMenu(mTrayIcon);
  TrayIcon->OnClick = [this](TCoolTrayIcon& sender) { TrayIconClick(sender); };
  TrayIcon->OnDblClick = [this](TCoolTrayIcon& sender) { TrayIconClick(sender); };
  TrayIcon->OnTrayChanged = [this](TCoolTrayIcon&, bool available) { TrayChanged(available); };
}

void TfrmMain::UpdateTrayIcon() {
  const TServerState state = app_.ServerState();
  if (state != tray_state_) {
    tray_state_ = state;
    TrayIcon->SetIcon(StateIcon(state));
  }
  const QString hint = QString::fromUtf8(app_.StatusHint());
  if (hint != TrayIcon->Hint()) TrayIcon->SetHint(hint);
}

bool TfrmMain::FormDestroy() {
  if (destroyed_) return true;
  destroyed_ = true;
  TrayIcon->SetIconVisible(false);
  return app_.FormDestroy();
}

void TfrmMain::TrayIconClick(TCoolTrayIcon&) {
  if (actOpen->isEnabled()) {
    actOpen->trigger();
  } else {
    raise();  // shown, perhaps behind other windows
    activateWindow();
  }
}

void TfrmMain::TrayChanged(bool available) {
  if (destroyed_ || app_.ExitRequested()) return;
  if (!available && isHidden() && actOpen->isEnabled()) {
    actOpen->trigger();  // nothing would be left to bring it back
    return;
  }
  if (!available && isMinimized() && actOpen->isEnabled()) {
    actOpen->trigger();  // minimised into a tray that is gone
    return;
  }
  // A window minimised for want of a tray is in the tray that came, once it
  // leaves the taskbar.
  if (isVisible()) SetTaskbarEntry(*this, !available, true);
}

// --- The window ---------------------------------------------------------------

void TfrmMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // A window manager that maps the window again (after an iconify) is no
  // show of ours (changeEvent sees the return from there).
  if (event->spontaneous()) return;
  SetTaskbarEntry(*this, !TrayIcon->IsTrayAvailable(), false);
  RememberFramePosition();
  app_.FormShow();
}

void TfrmMain::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || destroyed_) return;
  const bool was_minimized = static_cast<QWindowStateChangeEvent*>(event)->oldState() & Qt::WindowMinimized;
  if (isMinimized() && !was_minimized) {
    // The title bar's minimise. With a tray the minimised window, which has
    // no taskbar entry, is in the tray: Status and the icon bring it back.
    // (Hiding it as well would not do: leaving the minimised state later
    // maps the window behind Qt's back.) Without a tray it stays on the
    // taskbar.
    app_.FormMinimized();
  } else if (!isMinimized() && was_minimized && isVisible()) {
    app_.FormRestored();  // brought back by the window manager or the taskbar
  }
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == windowHandle() && event->type() == QEvent::Expose && isVisible() && !isMinimized() &&
      place_frame_) {
    // Before the window was mapped, Qt could only place the client area:
    // the frame's size was unknown. Now it is, and the frame goes where it
    // was asked to be (the saved position is the frame's).
    const QPoint wanted = *place_frame_;
    place_frame_.reset();
    if (frameGeometry().topLeft() != wanted) move(wanted);
  }
  return QWidget::eventFilter(watched, event);
}

void TfrmMain::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  RememberFramePosition();
}

void TfrmMain::RememberFramePosition() {
  if (isVisible() && !isMinimized()) frame_position_ = frameGeometry().topLeft();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (!app_.FormClose()) {
    event->ignore();  // hidden into the tray
    // Said once, the first time: a window that vanishes could as well have
    // ended the program, and the folder would still be shared.
    if (TrayIcon->IsTrayAvailable() && isHidden())
      if (const std::optional<std::string> notice = app_.TakeCloseNotice())
        TrayIcon->TrayIcon().showMessage(QString::fromLatin1(kServerName), ToQString(*notice),
                                         QSystemTrayIcon::Information, kCloseNoticeMs);
    return;
  }
  event->accept();
  TrayIcon->SetIconVisible(false);
  if (OnClose) OnClose();
}

void TfrmMain::ShowView() {
  if (!shown_once_ && app_.Settings().Minimized && !TrayIcon->IsTrayAvailable()) {
    // To be hidden at once with no tray to hide into: mapped minimised from
    // the start, in one map. Qt's X11 window leaves the minimised state
    // whenever its geometry is set, and a show sets it when the window was
    // placed while hidden (FormCreate does): the window would be mapped in
    // the normal state first, and mapped again once minimised, which asks
    // the window manager to restore it. So the platform window takes the
    // widget's geometry now, while it is in the normal state anyway.
    shown_once_ = true;
    QWindow* window = windowHandle();
    if (testAttribute(Qt::WA_Moved)) {
      window->setGeometry(geometry());
    } else {
      window->resize(size());  // where the window manager likes
    }
    // Nor is it to take the focus (on X11 a user time of 0, "do not focus
    // this window when it is mapped"), which would give a window manager
    // that activates new windows a reason to bring it back. Qt reads this
    // property of the platform window at each show; the widget attribute
    // reaches only a window made after it is set.
    window->setProperty("_q_showWithoutActivating", true);
    showMinimized();
    window->setProperty("_q_showWithoutActivating", QVariant());
    return;
  }
  shown_once_ = true;
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void TfrmMain::HideView() {
  if (TrayIcon->IsTrayAvailable()) {
    hide();
  } else if (!isMinimized()) {
    showMinimized();  // no tray to hide into: the taskbar entry stays
  }
}

bool TfrmMain::ViewVisible() const { return isVisible(); }

std::optional<TViewBounds> TfrmMain::ViewBounds() const {
  const QRect frame = frameGeometry();
  // Once it is hidden, the window manager may already have moved the client
  // area to where the frame was: only the shown window's frame counts.
  const QPoint position =
      isVisible() && !isMinimized() ? frame.topLeft() : frame_position_.value_or(frame.topLeft());
  return TViewBounds{position.x(), position.y(), frame.width(), frame.height()};
}

void TfrmMain::MoveView(int left, int top) {
  move(left, top);
  frame_position_ = QPoint(left, top);
  if (!isVisible()) place_frame_ = frame_position_;
}

TViewBounds TfrmMain::DesktopBounds() const {
  const QScreen* desktop = screen() ? screen() : QGuiApplication::primaryScreen();
  if (!desktop) return TViewBounds{};
  const QRect area = desktop->availableGeometry();
  return TViewBounds{area.x(), area.y(), area.width(), area.height()};
}

void TfrmMain::CloseView() { close(); }

void TfrmMain::DisplayChanged(unsigned parts) {
  const TStatusDisplay& display = app_.Display();
  if (parts & dpStatus) {
    lProblem->setText(ToQString(display.lProblem));
    lProblem->setVisible(!display.lProblem.empty());
    QPalette problem_palette = lProblem->palette();
    problem_palette.setColor(QPalette::WindowText, display.Waiting ? kWarningColour : kProblemColour);
    lProblem->setPalette(problem_palette);
    bCreateFolder->setVisible(display.PubDirMissing);
    bChooseFolder->setVisible(display.PubDirMissing);
    lStatus->setText(ToQString(display.lStatus));
    lPort->setText(ToQString(display.lPort));
    iServerActive->setVisible(display.iServerActive);
    iServerInactive->setVisible(!display.iServerActive);
    actStart->setEnabled(display.actStart);
    actStop->setEnabled(display.actStop);
  }
  if (parts & dpStatistics) {
    lRequestCount->setText(ToQString(display.lRequestCount));
    lDataServed->setText(ToQString(display.lDataServed));
    lConnections->setText(ToQString(display.lConnections));
    const QString last_request = ToQString(display.lLastRequest);
    lLastRequest->setText(last_request);
    lLastRequest->setToolTip(last_request);  // the whole of a long one
  }
  if (parts & dpUpTime) lUpTime->setText(ToQString(display.lUpTime));
  if (parts & dpActions) actOpen->setEnabled(display.actOpen);
  if (parts & dpExposure) {
    lExposure->setText(ToQString(display.lExposure));
    QPalette palette = lExposure->palette();
    palette.setColor(QPalette::WindowText, display.ExposureWarns ? kWarningColour : kValueColour);
    lExposure->setPalette(palette);
    lExposure->setVisible(!display.lExposure.empty());
    bExposureDetails->setVisible(!display.lExposure.empty());
  }
  if (parts & (dpStatus | dpStatistics | dpExposure | dpAddresses)) UpdateTrayIcon();
  Dashboard->DisplayChanged(parts);
}

void TfrmMain::ShowExposureDetails() {
  const std::optional<TExposureReport>& report = app_.Exposure();
  if (!report) return;
  // Plain text throughout: a file name is never markup.
  QString text;
  for (const std::string& line : report->Details()) text += ToQString(line) + QStringLiteral("\n\n");
  QMessageBox box(report->Warns() ? QMessageBox::Warning : QMessageBox::Information,
                  QStringLiteral("What the published folder gives away"), text.trimmed(), QMessageBox::Ok,
                  this);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void TfrmMain::ChooseFolder() {
  TfndDirectoryDialog picker(this);
  picker.Title = QStringLiteral("Select Directory to Publish.");
  picker.InitialDir = ToQString(HomeDirectory());
  if (picker.Execute()) app_.ChoosePublishedDirectory(picker.DirPath().toStdString());
}

void TfrmMain::ShowError(const std::string& message) {
  app_.ServerLog.Log(nullptr, 1, "Error: " + message);
  // Over the window when it shows; centred on the desktop while the window
  // is hidden in the tray.
  QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kServerName), ToQString(message),
                  QMessageBox::Ok, isVisible() ? this : nullptr);
  box.exec();
}

bool TfrmMain::AskYesNo(const std::string& question) {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(kServerName), ToQString(question),
                  QMessageBox::Yes | QMessageBox::No, isVisible() ? this : nullptr);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool TfrmMain::ShowSetupDialog(TWebServerSettings& settings) {
  return vt::ShowSetupDialog(this, settings, app_.AccessLogFileName);
}

void TfrmMain::ShowAboutBox() { vt::ShowAboutBox(this); }

TFirstRunAnswer TfrmMain::AskFirstRun(const std::string& folder) {
  return AskFirstRunQuestion(isVisible() ? this : nullptr, folder);
}

}  // namespace vt

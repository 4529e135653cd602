#include "ui/dashboard.h"

#include <qrencode.h>

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "app/settings_environment.h"
#include "app/web_server_app.h"
#include "ui/controls.h"
#include "util/date_time.h"
#include "util/text.h"

namespace vt {

namespace {

// The access log lines the Log page shows, and how often it looks at the
// file while the page shows (milliseconds).
constexpr std::size_t kAccessLogLines = 300;
constexpr int kAccessLogLookMs = 1000;
// Server log lines are added to the page at most this often (milliseconds).
constexpr int kServerLogShowMs = 250;

// The quiet zone around a QR code, in modules, that readers need.
constexpr int kQuietZone = 4;

const QColor kBytesColour(40, 100, 190);
const QColor kRequestsColour(220, 120, 20);

QPushButton* NewButton(const char* caption, QWidget* parent) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setAutoDefault(false);
  return button;
}

QString Text(const std::string& text) { return ToQString(text); }

}  // namespace

// ---------------------------------------------------------------------------
// TQrCodeView

TQrCodeView::TQrCodeView(QWidget* parent) : QWidget(parent) {
  setMinimumSize(sizeHint());
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TQrCodeView::SetText(const std::string& text) {
  if (text == text_ && (modules_ > 0 || text.empty())) return;
  text_ = text;
  modules_ = 0;
  dark_.clear();
  if (!text.empty()) {
    // Medium error correction: a code on a screen, read by a camera at an
    // angle, still reads with a smudge or a reflection on it.
    if (QRcode* code = QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1)) {
      modules_ = code->width;
      dark_.resize(static_cast<std::size_t>(modules_) * static_cast<std::size_t>(modules_));
      for (std::size_t i = 0; i < dark_.size(); ++i) dark_[i] = (code->data[i] & 1) != 0;
      QRcode_free(code);
    }
  }
  update();
}

void TQrCodeView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().color(QPalette::Window));
  if (modules_ == 0) return;
  const int side = std::min(width(), height());
  // Whole pixels per module, so that no module blurs into its neighbour.
  const int pixels = std::max(side / (modules_ + 2 * kQuietZone), 1);
  const int size = pixels * (modules_ + 2 * kQuietZone);
  const QPoint origin((width() - size) / 2, (height() - size) / 2);
  painter.fillRect(QRect(origin, QSize(size, size)), Qt::white);
  const QPoint first = origin + QPoint(kQuietZone * pixels, kQuietZone * pixels);
  for (int y = 0; y < modules_; ++y)
    for (int x = 0; x < modules_; ++x)
      if (dark_[static_cast<std::size_t>(y * modules_ + x)])
        painter.fillRect(first.x() + x * pixels, first.y() + y * pixels, pixels, pixels, Qt::black);
}

// ---------------------------------------------------------------------------
// TThroughputGraph

TThroughputGraph::TThroughputGraph(QWidget* parent) : QWidget(parent) { setMinimumHeight(80); }

void TThroughputGraph::SetBuckets(std::vector<TThroughputBucket> buckets) {
  buckets_ = std::move(buckets);
  update();
}

void TThroughputGraph::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QPalette& colours = palette();
  painter.fillRect(rect(), colours.color(QPalette::Base));
  const int line = fontMetrics().height();
  const QRectF plot(QPointF(1, line + 2), QPointF(width() - 1, height() - line - 2));
  painter.setPen(colours.color(QPalette::Mid));
  painter.drawRect(plot);

  std::int64_t peak_bytes = 0;
  std::int64_t peak_requests = 0;
  for (const TThroughputBucket& bucket : buckets_) {
    peak_bytes = std::max(peak_bytes, bucket.Bytes);
    peak_requests = std::max(peak_requests, bucket.Requests);
  }
  const std::size_t count = buckets_.size();
  if (count >= 2) {
    const auto x = [&](std::size_t i) { return plot.left() + plot.width() * double(i) / double(count - 1); };
    const auto y = [&](std::int64_t value, std::int64_t peak) {
      return plot.bottom() - (peak > 0 ? plot.height() * 0.92 * double(value) / double(peak) : 0.0);
    };
    QPainterPath bytes;
    bytes.moveTo(x(0), plot.bottom());
    for (std::size_t i = 0; i < count; ++i) bytes.lineTo(x(i), y(buckets_[i].Bytes, peak_bytes));
    bytes.lineTo(x(count - 1), plot.bottom());
    bytes.closeSubpath();
    QColor fill = kBytesColour;
    fill.setAlpha(110);
    painter.fillPath(bytes, fill);
    painter.setPen(QPen(kBytesColour, 1.2));
    painter.drawPath(bytes);
    QPainterPath requests;
    requests.moveTo(x(0), y(buckets_[0].Requests, peak_requests));
    for (std::size_t i = 1; i < count; ++i) requests.lineTo(x(i), y(buckets_[i].Requests, peak_requests));
    painter.setPen(QPen(kRequestsColour, 1.5));
    painter.drawPath(requests);
  }

  // Captions: the peaks above the plot, the time below it.
  painter.setPen(kBytesColour);
  painter.drawText(QRectF(4, 0, width() - 8, line), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("Sent, peak %1").arg(Text(SpeedText(peak_bytes))));
  painter.setPen(kRequestsColour);
  painter.drawText(QRectF(4, 0, width() - 8, line), Qt::AlignRight | Qt::AlignVCenter,
                   QStringLiteral("Requests, peak %1/s").arg(peak_requests));
  painter.setPen(colours.color(QPalette::WindowText));
  const QRectF below(4, height() - line, width() - 8, line);
  painter.drawText(below, Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("%1 min ago").arg((count + 30) / 60));
  painter.drawText(below, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("now"));
}

// ---------------------------------------------------------------------------
// TDashboard

std::function<void(const QUrl&)> TDashboard::OpenUrl = [](const QUrl& url) {
  QDesktopServices::openUrl(url);
};

TDashboard::TDashboard(TWebServerApp& app, QWidget* parent) : QTabWidget(parent), app_(app) {
  setFixedSize(sizeHint());
  CreateSharePage();
  CreateActivityPage();
  CreateLogPage();
  access_log_timer_ = new QTimer(this);
  access_log_timer_->setInterval(kAccessLogLookMs);
  connect(access_log_timer_, &QTimer::timeout, this, [this] { RefreshAccessLog(); });
  // The file is looked at only while its page shows.
  connect(this, &QTabWidget::currentChanged, this, [this](int) {
    if (currentWidget() == tsLog) {
      RefreshAccessLog();
      access_log_timer_->start();
    } else {
      access_log_timer_->stop();
    }
  });
  for (const std::string& line : app_.ServerLogLines()) mServerLog->appendPlainText(Text(line));
  DisplayChanged(dpStatus | dpAddresses | dpConnections);
}

void TDashboard::CreateSharePage() {
  tsShare = new QWidget(this);
  auto* page = new QGridLayout(tsShare);
  lUrlsCaption = new QLabel(tsShare);
  lUrlsCaption->setWordWrap(true);
  lbUrls = new QListWidget(tsShare);
  lbUrls->setSelectionMode(QAbstractItemView::SingleSelection);
  bOpenInBrowser = NewButton("Open in browser", tsShare);
  bCopyAddress = NewButton("Copy address", tsShare);
  iQrCode = new TQrCodeView(tsShare);
  iQrCode->setToolTip(QStringLiteral("Point a phone's camera at the code to open the address"));
  lQrCaption = new QLabel(tsShare);
  lQrCaption->setWordWrap(true);
  lQrCaption->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  lQrCaption->setFixedWidth(iQrCode->sizeHint().width());
  auto* qr = new QVBoxLayout();
  qr->addWidget(iQrCode, 0, Qt::AlignHCenter);
  qr->addWidget(lQrCaption);
  qr->addStretch(1);
  const auto line = [this] {
    auto* label = new QLabel(tsShare);
    label->setTextFormat(Qt::PlainText);  // a folder name is never markup
    label->setWordWrap(true);
    return label;
  };
  lVisitors = line();
  bListFolders = NewButton("List folders", tsShare);
  bListFolders->hide();
  lUploads = line();
  lHttps = line();
  auto* visitors = new QHBoxLayout();
  visitors->addWidget(lVisitors, 1);
  visitors->addWidget(bListFolders, 0, Qt::AlignTop);
  auto* meets = new QVBoxLayout();
  meets->setSpacing(2);
  meets->addLayout(visitors);
  meets->addWidget(lUploads);
  meets->addWidget(lHttps);
  auto* buttons = new QHBoxLayout();
  buttons->addWidget(bOpenInBrowser);
  buttons->addWidget(bCopyAddress);
  buttons->addStretch(1);
  auto* folder = new QHBoxLayout();
  lPubDir = new QLabel(tsShare);
  lPubDir->setTextFormat(Qt::PlainText);
  lPubDir->setTextInteractionFlags(Qt::TextSelectableByMouse);
  bOpenFolder = NewButton("Open folder", tsShare);
  folder->addWidget(new QLabel(QStringLiteral("Folder:"), tsShare));
  folder->addWidget(lPubDir, 1);
  folder->addWidget(bOpenFolder);
  page->addWidget(lUrlsCaption, 0, 0, 1, 2);
  page->addWidget(lbUrls, 1, 0);
  page->addLayout(qr, 1, 1, 3, 1);
  page->addLayout(buttons, 2, 0);
  page->addLayout(meets, 3, 0);
  page->addLayout(folder, 4, 0, 1, 2);
  page->setColumnStretch(0, 1);
  page->setRowStretch(1, 1);
  // Access keys that none of the window's buttons use.
  addTab(tsShare, QStringLiteral("S&hare"));

  connect(lbUrls, &QListWidget::currentRowChanged, this, [this](int) { ShowSelectedUrl(); });
  connect(bOpenInBrowser, &QPushButton::clicked, this, [this] {
    if (!SelectedUrl().empty()) OpenUrl(QUrl(Text(SelectedUrl())));
  });
  connect(bCopyAddress, &QPushButton::clicked, this, [this] {
    if (!SelectedUrl().empty()) QApplication::clipboard()->setText(Text(SelectedUrl()));
  });
  connect(bListFolders, &QPushButton::clicked, this, [this] { app_.TurnListingsOn(); });
  connect(bOpenFolder, &QPushButton::clicked, this,
          [this] { OpenUrl(QUrl::fromLocalFile(Text(app_.PublishedDirectory()))); });
}

void TDashboard::CreateActivityPage() {
  tsActivity = new QWidget(this);
  auto* page = new QVBoxLayout(tsActivity);
  tvConnections = new QTableWidget(0, 6, tsActivity);
  tvConnections->setHorizontalHeaderLabels({QStringLiteral("Client"), QStringLiteral("State"),
                                            QStringLiteral("Request"), QStringLiteral("Sent"),
                                            QStringLiteral("Speed"), QStringLiteral("Open")});
  tvConnections->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvConnections->setSelectionMode(QAbstractItemView::NoSelection);
  tvConnections->setFocusPolicy(Qt::NoFocus);
  tvConnections->verticalHeader()->hide();
  tvConnections->verticalHeader()->setDefaultSectionSize(tvConnections->fontMetrics().height() + 6);
  tvConnections->setWordWrap(false);
  QHeaderView* header = tvConnections->horizontalHeader();
  header->setSectionResizeMode(QHeaderView::ResizeToContents);
  header->setSectionResizeMode(2, QHeaderView::Stretch);
  lThroughput = new QLabel(QStringLiteral("Last five minutes"), tsActivity);
  iThroughput = new TThroughputGraph(tsActivity);
  page->addWidget(tvConnections, 3);
  page->addWidget(lThroughput);
  page->addWidget(iThroughput, 2);
  addTab(tsActivity, QStringLiteral("A&ctivity"));
}

void TDashboard::CreateLogPage() {
  tsLog = new QWidget(this);
  auto* page = new QVBoxLayout(tsLog);
  auto* split = new QSplitter(Qt::Vertical, tsLog);
  const auto log_view = [split](std::size_t lines) {
    auto* view = new QPlainTextEdit(split);
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setMaximumBlockCount(static_cast<int>(lines));
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    return view;
  };
  auto* server = new QWidget(split);
  auto* server_box = new QVBoxLayout(server);
  server_box->setContentsMargins(0, 0, 0, 0);
  server_box->addWidget(new QLabel(QStringLiteral("Server log"), server));
  mServerLog = log_view(kServerLogLines);
  server_box->addWidget(mServerLog);
  auto* access = new QWidget(split);
  auto* access_box = new QVBoxLayout(access);
  access_box->setContentsMargins(0, 0, 0, 0);
  auto* access_title = new QHBoxLayout();
  lAccessLogFile = new QLabel(access);
  lAccessLogFile->setTextFormat(Qt::PlainText);
  lAccessLogFile->setTextInteractionFlags(Qt::TextSelectableByMouse);
  bOpenLog = NewButton("Open log", access);
  access_title->addWidget(lAccessLogFile, 1);
  access_title->addWidget(bOpenLog);
  access_box->addLayout(access_title);
  mAccessLog = log_view(kAccessLogLines);
  access_box->addWidget(mAccessLog);
  split->addWidget(server);
  split->addWidget(access);
  page->addWidget(split);
  addTab(tsLog, QStringLiteral("&Log"));

  connect(bOpenLog, &QPushButton::clicked, this, [this] {
    const QFileInfo log(Text(app_.AccessLogFileName));
    OpenUrl(QUrl::fromLocalFile(log.exists() ? log.filePath() : log.path()));
  });
}

std::string TDashboard::SelectedUrl() const {
  const QListWidgetItem* item = lbUrls->currentItem();
  return item ? item->text().toStdString() : std::string();
}

void TDashboard::DisplayChanged(unsigned parts) {
  if (parts & (dpStatus | dpAddresses)) ShowUrls();
  if (parts & dpStatus) ShowFolders();
  if (parts & (dpStatus | dpExposure)) ShowVisitors();
  if (parts & dpConnections) ShowConnections();
  if (parts & dpServerLog) {
    // Lines come in bursts (a browser's every request can log one): they are
    // added together, a few times a second at most.
    if (pending_log_lines_++ == 0)
      QTimer::singleShot(kServerLogShowMs, this, [this] {
        const auto& lines = app_.ServerLogLines();
        const std::size_t count = std::min(pending_log_lines_, lines.size());
        pending_log_lines_ = 0;
        for (std::size_t i = lines.size() - count; i < lines.size(); ++i)
          mServerLog->appendPlainText(Text(lines[i]));
      });
  }
}

void TDashboard::ShowUrls() {
  const std::vector<std::string>& urls = app_.Urls();
  const std::string selected = SelectedUrl();
  bool same = static_cast<std::size_t>(lbUrls->count()) == urls.size();
  for (std::size_t i = 0; same && i < urls.size(); ++i)
    same = lbUrls->item(static_cast<int>(i))->text().toStdString() == urls[i];
  if (!same) {
    lbUrls->clear();
    for (const std::string& url : urls) lbUrls->addItem(Text(url));
    // The one chosen before, else the first a phone can reach: not
    // "localhost", which on a phone is the phone.
    int row = urls.size() > 1 ? 1 : 0;
    for (std::size_t i = 0; i < urls.size(); ++i)
      if (urls[i] == selected) row = static_cast<int>(i);
    if (!urls.empty()) lbUrls->setCurrentRow(row);
  }
  lUrlsCaption->setText(urls.empty() ? QStringLiteral("The server is stopped: Start it to share the folder.")
                                     : QStringLiteral("The folder can be reached at:"));
  ShowSelectedUrl();
}

void TDashboard::ShowSelectedUrl() {
  const std::string url = SelectedUrl();
  const std::string code = QrCodeUrl(app_.Urls(), url, app_.HttpsPort());
  iQrCode->SetText(code);
  iQrCode->setToolTip(code.empty() ? QString() : Text(code));
  lQrCaption->setText(code.empty() ? (app_.Urls().empty()
                                          ? QString()
                                          : QStringLiteral("No network address: a phone cannot reach this "
                                                           "computer"))
                                   : QStringLiteral("Scan with a phone on the same network"));
  bOpenInBrowser->setEnabled(!url.empty());
  bCopyAddress->setEnabled(!url.empty());
}

void TDashboard::ShowVisitors() {
  const TStatusDisplay& display = app_.Display();
  lVisitors->setText(Text(display.lVisitors));
  lVisitors->setVisible(!display.lVisitors.empty());
  bListFolders->setVisible(display.OfferListings);
  lUploads->setText(Text(display.lUploads));
  lUploads->setVisible(!display.lUploads.empty());
  QPalette palette = lUploads->palette();
  palette.setColor(QPalette::WindowText, display.UploadsWarn
                                             ? QColor(160, 90, 0)
                                             : QApplication::palette().color(QPalette::WindowText));
  lUploads->setPalette(palette);
  lHttps->setText(Text(display.lHttps));
  lHttps->setVisible(!display.lHttps.empty());
}

void TDashboard::ShowFolders() {
  const std::string folder = app_.PublishedDirectory();
  lPubDir->setText(Text(ShortenHomePath(folder)));
  lPubDir->setToolTip(Text(folder));
  lAccessLogFile->setText(app_.Settings().LogToFile
                              ? Text("Access log: " + app_.AccessLogFileName)
                              : QStringLiteral("The access log is off (Setup \u2192 Log)"));
}

void TDashboard::ShowConnections() {
  const TConnectionSampler& connections = app_.Connections();
  const std::vector<TConnectionRow>& rows = connections.Rows();
  tvConnections->setRowCount(static_cast<int>(rows.size()));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TConnectionRow& row = rows[i];
    const std::string texts[] = {row.Address,
                                 ConnectionStateText(row.State, row.Throttled),
                                 row.Request,
                                 ProgressText(row),
                                 SpeedText(row.BytesPerSecond),
                                 DurationToText(static_cast<double>(row.OpenMs / 1000) / 86400.0)};
    for (int column = 0; column < 6; ++column) {
      const QString text = Text(texts[column]);
      QTableWidgetItem* item = tvConnections->item(static_cast<int>(i), column);
      if (!item) {
        item = new QTableWidgetItem();
        tvConnections->setItem(static_cast<int>(i), column, item);
      }
      if (item->text() != text) item->setText(text);
    }
  }
  iThroughput->SetBuckets(connections.History().Buckets(IdleClockMs()));
}

void TDashboard::RefreshAccessLog() {
  const QFileInfo info(Text(app_.AccessLogFileName));
  const qint64 size = info.exists() ? info.size() : -1;
  const qint64 time = info.exists() ? info.lastModified().toMSecsSinceEpoch() : -1;
  if (size == access_log_size_ && time == access_log_time_) return;
  access_log_size_ = size;
  access_log_time_ = time;
  QString text;
  for (const std::string& line : ReadLastLines(app_.AccessLogFileName, kAccessLogLines))
    text += Text(line) + QLatin1Char('\n');
  if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
  mAccessLog->setPlainText(text);
  mAccessLog->moveCursor(QTextCursor::End);
  mAccessLog->ensureCursorVisible();
}

}  // namespace vt

#pragma once

// The sharing dashboard beside the status figures of the main window: three
// pages over the application (app/web_server_app.h, app/dashboard.h).
//
// - "Share": the URLs that reach the server, with "Open in browser" and
//   "Copy address", a QR code of the chosen one (a phone's camera opens it;
//   never a loopback address, since a phone cannot reach "localhost": the
//   first network address stands in for one; the https address while HTTPS
//   serves), with its caption, what a visitor meets (a list of the files or
//   exact addresses, with "List folders" for the latter; uploads; HTTPS),
//   and the published folder with "Open folder".
// - "Activity": the open connections (client, state, request, bytes sent of
//   how many, speed, time open) and a graph of the bytes and requests per
//   second of the last five minutes.
// - "Log": the last lines of the server's log and of the access log, with
//   the access log's path and "Open log".
//
// Everything shown comes from the application on the main thread: the
// figures the workers keep are looked at by the application every
// kConnectionSampleMs, the access log file is read again (its tail only)
// while its page shows and the file has changed.
//
// Main thread only, like every widget.

#include <QTabWidget>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "app/dashboard.h"

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;

namespace vt {

class TWebServerApp;

// A QR code of a text, drawn black on white with its quiet zone, as large
// as whole pixels per module allow.
class TQrCodeView : public QWidget {
 public:
  explicit TQrCodeView(QWidget* parent = nullptr);

  // The text to encode (up to a few hundred bytes); empty: nothing drawn.
  void SetText(const std::string& text);
  const std::string& Text() const { return text_; }
  // Modules per side of the code; 0 when there is none.
  int Modules() const { return modules_; }

  QSize sizeHint() const override { return QSize(196, 196); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::string text_;
  int modules_ = 0;
  std::vector<bool> dark_;  // modules_ * modules_, row by row
};

// Bytes per second (a filled area) and requests per second (a line) over
// time, oldest on the left, each scaled to its own peak.
class TThroughputGraph : public QWidget {
 public:
  explicit TThroughputGraph(QWidget* parent = nullptr);

  void SetBuckets(std::vector<TThroughputBucket> buckets);
  const std::vector<TThroughputBucket>& Buckets() const { return buckets_; }

  QSize sizeHint() const override { return QSize(420, 110); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<TThroughputBucket> buckets_;
};

class TDashboard : public QTabWidget {
 public:
  TDashboard(TWebServerApp& app, QWidget* parent);

  // Shows what changed (TDisplayPart bits of the application).
  void DisplayChanged(unsigned parts);

  // Opens a URL or a file's URL on the desktop (the browser, the file
  // manager); tests replace it.
  static std::function<void(const QUrl&)> OpenUrl;

  // The URL the QR code shows and the buttons use; empty when none.
  std::string SelectedUrl() const;

  // The dashboard's size in the fixed-size window: what it shows never
  // changes the window's size.
  QSize sizeHint() const override { return QSize(560, 370); }

  // --- Share ---
  QWidget* tsShare;
  QLabel* lUrlsCaption;
  QListWidget* lbUrls;
  QPushButton* bOpenInBrowser;
  QPushButton* bCopyAddress;
  TQrCodeView* iQrCode;
  QLabel* lQrCaption;
  // What a visitor meets (from the exposure check), and the offer to list
  // folders while visitors would need exact addresses.
  QLabel* lVisitors;
  QPushButton* bListFolders;
  QLabel* lUploads;
  QLabel* lHttps;
  QLabel* lPubDir;
  QPushButton* bOpenFolder;
  // --- Activity ---
  QWidget* tsActivity;
  QTableWidget* tvConnections;
  TThroughputGraph* iThroughput;
  QLabel* lThroughput;
  // --- Log ---
  QWidget* tsLog;
  QPlainTextEdit* mServerLog;
  QPlainTextEdit* mAccessLog;
  QLabel* lAccessLogFile;
  QPushButton* bOpenLog;

  // Reads the access log's last lines again when the file has changed.
  void RefreshAccessLog();

 private:
  void CreateSharePage();
  void CreateActivityPage();
  void CreateLogPage();
  void ShowUrls();
  void ShowConnections();
  void ShowFolders();
  void ShowSelectedUrl();
  void ShowVisitors();

  TWebServerApp& app_;
  QTimer* access_log_timer_;
  // Server log lines not yet added to the page.
  std::size_t pending_log_lines_ = 0;
  // The access log as last read: its size and modification time.
  qint64 access_log_size_ = -1;
  qint64 access_log_time_ = -1;
};

}  // namespace vt

#include "ui/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace vt {

namespace {

// What a later start sends, and what the running program answers.
constexpr char kShowRequest[] = "show\n";
constexpr char kShownAnswer[] = "shown\n";
// How long a later start tries to reach the running program: it may be
// starting up itself, with the lock taken and the socket not yet there.
constexpr auto kAskTime = std::chrono::seconds(5);
constexpr int kAnswerWaitMs = 2000;
// What is kept of a peer's bytes before its line ends: a message is one
// short line, so a peer that sends this much without a line end is no later
// start of this program. It is dropped, and its bytes never grow the running
// program's memory beyond this.
constexpr qint64 kMaxMessageBytes = 256;

// FNV-1a: a stable hash, the same in every build of the program.
std::uint64_t StableHash(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return hash;
}

// $XDG_RUNTIME_DIR, else /tmp/veltrana-<uid> (made private to the user).
std::string RuntimeFolder() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') return runtime;
  const std::string folder = "/tmp/veltrana-" + std::to_string(::geteuid());
  ::mkdir(folder.c_str(), 0700);
  struct stat status {};
  // A folder someone else made there must not be ours to trust.
  if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid())
    return std::string();
  return folder;
}

}  // namespace

TSingleInstance::TSingleInstance(const std::string& settings_file) {
  const std::string folder = RuntimeFolder();
  if (folder.empty()) return;
  char name[64];
  std::snprintf(name, sizeof name, "/veltrana-webserver-%016llx",
                static_cast<unsigned long long>(StableHash(settings_file)));
  lock_file_ = folder + name + ".lock";
  socket_file_ = folder + name + ".socket";
}

TSingleInstance::~TSingleInstance() {
  if (server_) server_->close();  // removes the socket file
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

TSingleInstance::TClaim TSingleInstance::Claim() {
  if (lock_file_.empty()) return ciFirst;  // nowhere to meet: no check
  lock_fd_ = ::open(lock_file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd_ < 0) return ciFirst;
  if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    ::close(lock_fd_);
    lock_fd_ = -1;
    return AskRunningProgram() ? ciShown : ciNoAnswer;
  }
  // The lock is ours: a socket file left there is a dead program's.
  QLocalServer::removeServer(QString::fromStdString(socket_file_));
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_.get(), &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
      peer->setReadBufferSize(kMaxMessageBytes);
      connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
        if (!peer->canReadLine()) {
          if (peer->bytesAvailable() >= kMaxMessageBytes) {
            peer->abort();
            peer->deleteLater();
          }
          return;
        }
        const QByteArray line = peer->readLine(64);
        if (line == kShowRequest && OnShowRequest) OnShowRequest();
        peer->write(kShownAnswer);
        peer->flush();
        peer->disconnectFromServer();
      });
    }
  });
  server_->listen(QString::fromStdString(socket_file_));
  return ciFirst;
}

bool TSingleInstance::AskRunningProgram() {
  const auto deadline = std::chrono::steady_clock::now() + kAskTime;
  do {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(socket_file_));
    if (socket.waitForConnected(kAnswerWaitMs)) {
      socket.write(kShowRequest);
      socket.flush();
      while (!socket.canReadLine() && socket.waitForReadyRead(kAnswerWaitMs)) {
      }
      if (socket.canReadLine() && socket.readLine(64) == kShownAnswer) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace vt

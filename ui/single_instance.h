#pragma once

// TSingleInstance: one windowed program per desktop login and settings file.
//
// The first program takes an exclusive lock (flock) on a file in
// $XDG_RUNTIME_DIR (else a folder of the user's own in /tmp) and listens on
// a local socket beside it; it holds both until it ends, and the system
// drops the lock even when it is killed. A later start finds the lock
// taken, connects, asks the running program to show its window, waits for
// its answer and ends. A peer's message is one short line: one that sends
// more without a line end is dropped. The names carry a hash of the
// settings file's path, so that programs pointed at other settings
// (XDG_CONFIG_HOME, as the tests do) run side by side, while two programs
// never share one settings file.
//
// Lifetime: one object for the program's run, on the main thread, after the
// QApplication. Main thread only.

#include <QObject>
#include <functional>
#include <memory>
#include <string>

class QLocalServer;

namespace vt {

class TSingleInstance : public QObject {
 public:
  enum TClaim {
    ciFirst,     // this is the only program: it listens for later starts
    ciShown,     // another program runs and has shown its window
    ciNoAnswer,  // another program holds the lock but did not answer
  };

  // `settings_file`: the settings file's full path.
  explicit TSingleInstance(const std::string& settings_file);
  ~TSingleInstance() override;

  TClaim Claim();

  // Runs when a later start asks for the window.
  std::function<void()> OnShowRequest;

  // The lock file's and the socket's paths.
  const std::string& LockFile() const { return lock_file_; }
  const std::string& SocketFile() const { return socket_file_; }

 private:
  bool AskRunningProgram();

  std::string lock_file_;
  std::string socket_file_;
  int lock_fd_ = -1;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace vt

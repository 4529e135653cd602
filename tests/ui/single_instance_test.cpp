#include "ui/single_instance.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLocalSocket>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "support/temp_dir.h"

namespace vt {
namespace {

// Serves Qt's events (the running program's and the peer's sockets are on
// this thread) until `done` holds or 5 s have passed.
bool PumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// A peer that sends bytes without a line end is dropped once it has sent
// more than a message can be; the program goes on answering later starts.
TEST(SingleInstance, APeerThatSendsNoLineIsDroppedAndOthersAreStillAnswered) {
  test::TempDir runtime;
  const char* before = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = before ? before : "";
  ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
  TSingleInstance first(runtime.Path() + "/vtWebServer.ini");
  int shows = 0;
  first.OnShowRequest = [&] { ++shows; };
  ASSERT_EQ(TSingleInstance::ciFirst, first.Claim());

  QLocalSocket flood;
  flood.connectToServer(QString::fromStdString(first.SocketFile()));
  ASSERT_TRUE(PumpUntil([&] { return flood.state() == QLocalSocket::ConnectedState; }));
  flood.write(QByteArray(1 << 20, 'x'));
  EXPECT_TRUE(PumpUntil([&] { return flood.state() == QLocalSocket::UnconnectedState; }))
      << "a peer that sent 1 MiB without a line end is still connected";
  EXPECT_EQ(0, shows);

  QLocalSocket later;
  later.connectToServer(QString::fromStdString(first.SocketFile()));
  later.write("show\n");
  ASSERT_TRUE(PumpUntil([&] { return later.canReadLine(); }));
  EXPECT_EQ("shown\n", later.readLine(64).toStdString());
  EXPECT_EQ(1, shows);

  if (before) {
    ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
}

}  // namespace
}  // namespace vt

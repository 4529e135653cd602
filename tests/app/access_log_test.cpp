#include "app/access_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "util/exception.h"

namespace vt {
namespace {

TEST(AccessLog, AppendsLinesAndKeepsWhatWasThere) {
  test::TempDir dir;
  const std::string path = dir.WriteFile("webserver.log", "older line\r\n");
  TAccessLog log(path);
  log.Append("first");
  log.Append("second");
  EXPECT_EQ("older line\r\nfirst\r\nsecond\r\n", test::ReadFileText(path));
}

TEST(AccessLog, FollowsTheNameWhenTheFileIsMovedOrRemoved) {
  test::TempDir dir;
  const std::string path = dir.File("webserver.log");
  TAccessLog log(path);
  log.Append("one");
  ASSERT_EQ(0, std::rename(path.c_str(), dir.File("webserver.log.1").c_str()));
  log.Append("two");
  ASSERT_EQ(0, ::unlink(path.c_str()));
  log.Append("three");
  EXPECT_EQ("one\r\n", test::ReadFileText(dir.File("webserver.log.1")));
  EXPECT_EQ("three\r\n", test::ReadFileText(path));
}

TEST(AccessLog, LooksAtThePathOnlyEverySoOften) {
  test::TempDir dir;
  const std::string path = dir.File("webserver.log");
  TAccessLog log(path, std::chrono::milliseconds(200));
  log.Append("one");
  ASSERT_EQ(0, std::rename(path.c_str(), dir.File("webserver.log.1").c_str()));
  // Within the interval the open file takes the line under its new name:
  // moved, not lost.
  log.Append("two");
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  log.Append("three");
  EXPECT_EQ("one\r\ntwo\r\n", test::ReadFileText(dir.File("webserver.log.1")));
  EXPECT_EQ("three\r\n", test::ReadFileText(path));
  // A removed file takes the lines of the interval with it (no system call
  // per line looks for it); the first line after the interval starts a new
  // file.
  ASSERT_EQ(0, ::unlink(path.c_str()));
  log.Append("four");
  EXPECT_NE(0, ::access(path.c_str(), F_OK));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  log.Append("five");
  EXPECT_EQ("five\r\n", test::ReadFileText(path));
}

TEST(AccessLog, UnwritableLogsRaiseWithoutLeavingHalfLines) {
  if (::geteuid() == 0) {
    // root writes read-only files anyway; the full device still fails.
  } else {
    test::TempDir dir;
    const std::string path = dir.WriteFile("ro.log", "kept\r\n");
    ASSERT_EQ(0, ::chmod(path.c_str(), 0444));
    TAccessLog log(path);
    EXPECT_THROW(log.Append("x"), EOSError);
    EXPECT_EQ("kept\r\n", test::ReadFileText(path));
  }
  TAccessLog full("/dev/full");
  try {
    full.Append("x");
    ADD_FAILURE() << "a full device took the line";
  } catch (const EOSError& error) {
    EXPECT_EQ(ENOSPC, error.ErrorCode());
  }
  TAccessLog missing_dir("/nonexistent-dir/webserver.log");
  EXPECT_THROW(missing_dir.Append("x"), EOSError);
}

TEST(AccessLog, LinesOfManyThreadsNeverMix) {
  test::TempDir dir;
  const std::string path = dir.File("webserver.log");
  TAccessLog log(path);
  constexpr int kThreads = 8;
  constexpr int kLines = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      const std::string line = "thread " + std::to_string(t) + " " + std::string(100 + t, 'a' + t);
      for (int i = 0; i < kLines; ++i) log.Append(line);
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::istringstream text(test::ReadFileText(path));
  std::vector<int> counts(kThreads, 0);
  std::string line;
  int total = 0;
  while (std::getline(text, line)) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ('\r', line.back());
    line.pop_back();
    const int t = line[7] - '0';
    ASSERT_EQ("thread " + std::to_string(t) + " " + std::string(100 + t, 'a' + t), line);
    ++counts[t];
    ++total;
  }
  EXPECT_EQ(kThreads * kLines, total);
  for (int count : counts) EXPECT_EQ(kLines, count);
}

}  // namespace
}  // namespace vt

#include "app/access_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
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

// Many threads append at once while the file is closed now and then (as
// switching the log off does); a case may also cap the file's size. Every
// line comes out whole and each thread's lines keep their order; without a
// cap none is lost, with one the lines that did not fit raise.
struct ManyThreadsCase {
  const char* name;
  bool close_meanwhile;
  rlim_t size_cap;  // RLIM_INFINITY: none
};

class AccessLogThreads : public ::testing::TestWithParam<ManyThreadsCase> {};

TEST_P(AccessLogThreads, LinesComeOutWholeAndInOrder) {
  const ManyThreadsCase& c = GetParam();
  test::TempDir dir;
  const std::string path = dir.File("webserver.log");
  TAccessLog log(path);
  rlimit old_cap{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old_cap));
  // A write beyond the cap fails with EFBIG instead of ending the process.
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  if (c.size_cap != RLIM_INFINITY) {
    const rlimit cap{c.size_cap, old_cap.rlim_max};
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &cap));
  }
  constexpr int kThreads = 8;
  constexpr int kLines = 400;
  std::atomic<int> raised{0};
  std::atomic<bool> appending{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, &raised, t] {
      for (int i = 0; i < kLines; ++i) {
        try {
          log.Append("thread " + std::to_string(t) + " " + std::to_string(i) + " " +
                     std::string(100 + t, 'a' + t));
        } catch (const EOSError& error) {
          EXPECT_EQ(EFBIG, error.ErrorCode());
          ++raised;
        }
      }
    });
  }
  std::thread closer([&] {
    while (c.close_meanwhile && appending) {
      log.Close();
      std::this_thread::yield();
    }
  });
  for (std::thread& thread : threads) thread.join();
  appending = false;
  closer.join();
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &old_cap));
  std::signal(SIGXFSZ, old_handler);

  const std::string text = test::ReadFileText(path);
  ASSERT_TRUE(text.empty() || text.back() == '\n') << "the file ends in half a line";
  std::istringstream lines(text);
  std::vector<int> next(kThreads, 0);
  std::string line;
  int total = 0;
  while (std::getline(lines, line)) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ('\r', line.back());
    line.pop_back();
    const int t = line[7] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    const std::size_t blank = line.find(' ', 9);
    ASSERT_NE(std::string::npos, blank) << line;
    const int i = std::stoi(line.substr(9, blank - 9));
    ASSERT_EQ(line.substr(blank + 1), std::string(100 + t, 'a' + t));
    // In order; with a cap, lines that did not fit may be missing.
    ASSERT_GE(i, next[t]) << line;
    if (c.size_cap == RLIM_INFINITY) {
      ASSERT_EQ(next[t], i) << line;
    }
    next[t] = i + 1;
    ++total;
  }
  if (c.size_cap == RLIM_INFINITY) {
    EXPECT_EQ(kThreads * kLines, total);
    EXPECT_EQ(0, raised.load());
  } else {
    EXPECT_LE(text.size(), c.size_cap);
    EXPECT_GT(raised.load(), 0);
    // A line that raised is not in the file; one that did not raise may be
    // (it rode on another thread's write that failed, which raised there).
    EXPECT_LE(total, kThreads * kLines - raised.load());
  }
}

INSTANTIATE_TEST_SUITE_P(AccessLog, AccessLogThreads,
                         ::testing::Values(ManyThreadsCase{"Open", false, RLIM_INFINITY},
                                           ManyThreadsCase{"ClosedMeanwhile", true, RLIM_INFINITY},
                                           ManyThreadsCase{"SizeCapped", false, 100'000},
                                           ManyThreadsCase{"SizeCappedAndClosed", true, 50'001}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vt

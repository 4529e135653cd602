#include "platform/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace vt {
namespace {

using Entry = std::pair<int, std::string>;

// Collects what reaches OnLogMessage.
struct Recorder {
  std::vector<Entry> entries;
  void Attach(TLog& log) {
    log.OnLogMessage = [this](TComponent*, int log_class, const std::string& text) {
      entries.emplace_back(log_class, text);
    };
  }
};

TEST(Log, CollapsesRepeatsIntoACountNote) {
  TLog log;
  Recorder recorder;
  recorder.Attach(log);
  log.Options = loCollapseRepeats;
  for (const char* text : {"A", "A", "A", "B", "B", "C"}) log.Log(nullptr, 0, text);
  const std::vector<Entry> expected = {{0, "A"}, {4, "3 times"}, {0, "B"}, {4, "2 times"}, {0, "C"}};
  EXPECT_EQ(expected, recorder.entries);
}

TEST(Log, HiddenClassesAreDroppedButNotesAreNot) {
  TLog log;
  Recorder recorder;
  recorder.Attach(log);
  log.Options = loHideClass1 | loCollapseRepeats;
  log.Log(nullptr, 0, "x");
  log.Log(nullptr, 0, "x");
  log.Log(nullptr, 1, "error");  // hidden: never counted, never shown
  log.Log(nullptr, 0, "y");
  const std::vector<Entry> expected = {{0, "x"}, {4, "2 times"}, {0, "y"}};
  EXPECT_EQ(expected, recorder.entries);
}

TEST(Log, PrefixesDateTimeAndElapsedInThatOrder) {
  // TriggerLogMessage is the hook that sees the finished line.
  struct Probe : TLog {
    std::string line;
    void TriggerLogMessage(int, const std::string& message) override { line = message; }
  } log;
  log.Options = loLogDate | loLogTime | loLogElapsed | loNoLogEvent;
  log.OnLogMessage = [](TComponent*, int, const std::string&) { ADD_FAILURE() << "event suppressed"; };
  log.Log(nullptr, 0, "x");
  // yymmdd hhnnss, then the elapsed milliseconds right-aligned in four places.
  EXPECT_TRUE(std::regex_match(log.line, std::regex(R"(\d{6} \d{6} (   \d|  \d\d| \d{3}|\d{4,}) x)")))
      << log.line;
}

TEST(Log, EditedMessageReachesEventAndFileButVetoOnlyStopsTheFile) {
  test::TempDir dir;
  TLog log;
  Recorder recorder;
  recorder.Attach(log);
  log.LogFileName = dir.File("server.log");
  log.Options = loLogToFile;
  log.OnEditMessage = [](TComponent*, int, std::string& text) { text = "[" + text + "]"; };
  log.Log(nullptr, 0, "one");
  log.OnLogFileWrite = [](TComponent*, int log_class, bool& write, std::string& text) {
    write = log_class != 1;
    text += "!";
  };
  log.Log(nullptr, 1, "two");
  log.Log(nullptr, 0, "three");
  EXPECT_EQ("[one]\r\n[three]!\r\n", test::ReadFileText(log.LogFileName));
  ASSERT_EQ(3u, recorder.entries.size());
  EXPECT_EQ("[two]", recorder.entries[1].second);
}

TEST(Log, AppendsToAnExistingFileWithOrWithoutKeepingItOpen) {
  test::TempDir dir;
  const std::string path = dir.WriteFile("a.log", "old\r\n");
  for (TLogOptions keep : {TLogOptions{0}, TLogOptions{loKeepFileOpen}}) {
    TLog log;
    log.LogFileName = path;
    log.Options = loLogToFile | keep;
    log.Log(nullptr, 0, "new");
  }
  EXPECT_EQ("old\r\nnew\r\nnew\r\n", test::ReadFileText(path));
}

TEST(Log, FileFailuresPropagateUnlessIgnored) {
  TLog log;
  log.LogFileName = "/nonexistent-dir/x.log";
  log.Options = loLogToFile;
  EXPECT_THROW(log.Log(nullptr, 0, "x"), Exception);
  log.Options = loLogToFile | loIgnoreLogFailures;
  EXPECT_NO_THROW(log.Log(nullptr, 0, "x"));
}

TEST(Log, ForwardsFirstAndForgetsADestroyedTarget) {
  TLog log;
  Recorder mine;
  mine.Attach(log);
  std::vector<std::string> order;
  {
    TLog target;
    target.OnLogMessage = [&](TComponent* sender, int, const std::string& text) {
      EXPECT_EQ(nullptr, sender);
      order.push_back("target:" + text);
    };
    log.OnLogMessage = [&](TComponent*, int, const std::string& text) { order.push_back("log:" + text); };
    log.SetForwardTo(&target);
    log.Log(nullptr, 0, "m");
  }
  EXPECT_EQ(nullptr, log.ForwardTo());
  log.Log(nullptr, 0, "n");  // must not touch the destroyed target
  const std::vector<std::string> expected = {"target:m", "log:m", "log:n"};
  EXPECT_EQ(expected, order);
}

TEST(Log, DefaultFileNameComesFromTheClassName) {
  TLog log;
  EXPECT_EQ("Log.log", log.LogFileName);
}

}  // namespace
}  // namespace vt

// Which changes of the published folder make the exposure check look again:
// files made, finished, removed or renamed, never a file still being
// written (the server's own access log may lie in the folder).

#include "app/folder_watch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "app/messages.h"
#include "platform/window_handle.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

TEST(FolderWatch, OnlyChangesThatAlterTheReportCount) {
  test::TempDir dir;
  dir.WriteFile("pub/sub/old.txt", "old");
  dir.WriteFile("pub/log.txt", "");
  std::FILE* log = std::fopen(dir.File("pub/log.txt").c_str(), "a");
  ASSERT_NE(nullptr, log);
  TWindowHandle window;
  TFolderWatch watch;
  ASSERT_TRUE(watch.Watch(window.GetHandle(), kPublishedFolderMessage,
                          {dir.File("pub"), dir.File("pub/sub"), dir.File("gone")}));
  EXPECT_EQ(2u, watch.Count()) << "a folder that is not there is left out";
  const struct {
    const char* why;
    std::function<void()> change;
    bool seen;
  } steps[] = {
      {"nothing yet", [] {}, false},
      {"a line appended to an open file", [&] { std::fputs("GET /\n", log), std::fflush(log); }, false},
      {"a file made in a sub-folder", [&] { dir.WriteFile("pub/sub/new.txt", "new"); }, true},
      {"a file removed", [&] { std::filesystem::remove(dir.File("pub/sub/old.txt")); }, true},
      {"a file renamed", [&] { std::filesystem::rename(dir.File("pub/sub/new.txt"), dir.File("pub/n.txt")); },
       true},
      {"a folder made", [&] { std::filesystem::create_directory(dir.File("pub/more")); }, true},
  };
  for (const auto& step : steps) {
    step.change();
    EXPECT_EQ(step.seen, watch.TakeEvents()) << step.why;
    EXPECT_FALSE(watch.TakeEvents()) << step.why << ": read once";
  }
  std::fclose(log);
  EXPECT_TRUE(watch.TakeEvents()) << "the file closed after writing is finished";
  watch.Stop();
  EXPECT_EQ(0u, watch.Count());
  EXPECT_FALSE(watch.TakeEvents());
}

}  // namespace
}  // namespace vt

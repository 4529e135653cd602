// Small files answered from memory: never once the file has changed, and
// never more than the bounds allow.

#include "app/file_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <functional>

#include "app/file_response.h"
#include "streams/writer.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

constexpr std::int64_t kNow = 2000000000;

struct stat Settled(std::int64_t size = 5) {
  struct stat status {};
  status.st_dev = 3;
  status.st_ino = 7;
  status.st_mode = S_IFREG | 0644;
  status.st_size = size;
  status.st_mtim = {kNow - 100, 5};
  status.st_ctim = {kNow - 100, 9};
  return status;
}

std::shared_ptr<const std::string> Text(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

TEST(SmallFileCache, AnyChangeOfTheFileMissesAndOnlySettledSteadyFilesAreTaken) {
  TSmallFileCache cache;
  const struct stat base = Settled();
  cache.Offer("/p", base, base, kNow, Text("hello"));
  ASSERT_NE(nullptr, cache.Find("/p", base));
  EXPECT_EQ("hello", *cache.Find("/p", base));
  EXPECT_EQ(nullptr, cache.Find("/q", base));

  const std::function<void(struct stat&)> changes[] = {
      [](struct stat& s) { s.st_dev = 4; },          [](struct stat& s) { s.st_ino = 8; },
      [](struct stat& s) { s.st_size = 6; },         [](struct stat& s) { s.st_mode = S_IFREG | 0600; },
      [](struct stat& s) { s.st_mtim.tv_sec += 1; }, [](struct stat& s) { s.st_mtim.tv_nsec += 1; },
      [](struct stat& s) { s.st_ctim.tv_sec += 1; }, [](struct stat& s) { s.st_ctim.tv_nsec += 1; },
  };
  for (std::size_t i = 0; i < std::size(changes); ++i) {
    struct stat changed = base;
    changes[i](changed);
    EXPECT_EQ(nullptr, cache.Find("/p", changed)) << "change " << i;
  }

  struct stat moving = base;
  moving.st_ctim.tv_nsec += 1;
  struct stat recent = base;
  recent.st_ctim.tv_sec = kNow - TSmallFileCache::kSettleSeconds + 1;
  struct stat large = Settled(TSmallFileCache::kMaxFileSize + 1);
  struct stat fifo = base;
  fifo.st_mode = S_IFIFO | 0644;
  const struct {
    const char* why;
    struct stat before;
    struct stat after;
    std::string content;
  } refused[] = {
      {"changed while read", base, moving, "hello"},
      {"read short", base, base, "hell"},
      {"changed too recently", recent, recent, "hello"},
      {"too large", large, large, std::string(TSmallFileCache::kMaxFileSize + 1, 'x')},
      {"no regular file", fifo, fifo, "hello"},
  };
  for (const auto& c : refused) {
    TSmallFileCache empty;
    empty.Offer("/p", c.before, c.after, kNow, Text(c.content));
    EXPECT_EQ(0u, empty.Files()) << c.why;
  }
}

TEST(SmallFileCache, HoldsNoMoreThanItsBoundsAndLetsTheOldestGo) {
  TSmallFileCache cache;
  const std::string full(TSmallFileCache::kMaxFileSize, 'f');
  const int files = static_cast<int>(TSmallFileCache::kMaxBytes / full.size()) + 3;
  struct stat status = Settled(static_cast<std::int64_t>(full.size()));
  for (int i = 0; i < files; ++i) cache.Offer("/f" + std::to_string(i), status, status, kNow, Text(full));
  EXPECT_LE(cache.Bytes(), TSmallFileCache::kMaxBytes);
  EXPECT_EQ(nullptr, cache.Find("/f0", status));
  EXPECT_NE(nullptr, cache.Find("/f" + std::to_string(files - 1), status));

  TSmallFileCache empties;
  struct stat empty = Settled(0);
  for (std::size_t i = 0; i < TSmallFileCache::kMaxFiles + 10; ++i)
    empties.Offer("/e" + std::to_string(i), empty, empty, kNow, Text(""));
  EXPECT_EQ(TSmallFileCache::kMaxFiles, empties.Files());
}

struct TAnswer {
  std::string etag;
  std::string body;
};

TAnswer Answer(const std::string& path, TSmallFileCache& cache) {
  struct stat status {};
  EXPECT_EQ(0, ::stat(path.c_str(), &status));
  auto response = CreateFileResponse(path, "text/plain", &status, &cache);
  TStringWriter body;
  response->Prepare();
  response->WriteContent(body);
  return {response->ETag, body.Text()};
}

// End to end through the file answer: the second answer comes from memory
// and is the first one; a file written in place (same size) is sent anew.
TEST(SmallFileCache, FileAnswersFromMemoryAreThoseFromTheDiskUntilTheFileChanges) {
  test::TempDir dir;
  const std::string path = dir.WriteFile("page.txt", "version one");
  // The cache's clock is moved on instead of waiting for the file to age.
  std::int64_t ahead = 0;
  TSmallFileCache cache([&ahead] { return static_cast<std::int64_t>(std::time(nullptr)) + ahead; });
  const TAnswer fresh = Answer(path, cache);
  EXPECT_EQ(0u, cache.Files()) << "a file changed a moment ago is not taken in";
  ahead = TSmallFileCache::kSettleSeconds + 1;
  const TAnswer read = Answer(path, cache);
  EXPECT_EQ(1u, cache.Files());
  const TAnswer held = Answer(path, cache);
  EXPECT_EQ("version one", held.body);
  EXPECT_EQ(fresh.etag, held.etag);
  EXPECT_EQ(read.body, held.body);

  std::ofstream(path, std::ios::binary | std::ios::in) << "VERSION";
  const TAnswer changed = Answer(path, cache);
  EXPECT_EQ("VERSION one", changed.body);
  EXPECT_NE(fresh.etag, changed.etag);
}

}  // namespace
}  // namespace vt

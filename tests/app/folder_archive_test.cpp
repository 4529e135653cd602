// A folder packed as one archive: what goes in under the serving rules, the
// names and fields of the download, and a file that changes on the way.
// Each archive is read back with libarchive's reader; the socket and the
// unpacking by other programs are tests/abuse/archive_test.py's.

#include "app/folder_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vt {
namespace {

TEST(FolderArchive, TheQueryAsksForAnArchiveByExactWords) {
  const struct {
    const char* query;
    std::optional<TArchiveKind> kind;
  } cases[] = {
      {"download=zip", TArchiveKind::kZip},
      {"download=tar", TArchiveKind::kTar},
      {"sort=size&download=tar", TArchiveKind::kTar},
      {"download=zip&order=desc", TArchiveKind::kZip},
      {"download=zip&download=tar", TArchiveKind::kZip},  // the first one asks
      {"", std::nullopt},
      {"download=ZIP", std::nullopt},
      {"download=rar", std::nullopt},
      {"xdownload=zip", std::nullopt},
      {"download=zipx", std::nullopt},
      {"download", std::nullopt},
      {"&&", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(c.kind, ArchiveKindOfQuery(c.query)) << c.query;
}

TEST(FolderArchive, TheDownloadIsNamedAfterTheFolder) {
  const struct {
    const char* uri;
    const char* pub_dir;
    const char* name;
  } cases[] = {
      {"/photos/", "/srv/pub", "photos"},
      {"/photos", "/srv/pub", "photos"},
      {"/a/b/", "/srv/pub", "b"},
      {"/a\\b\\", "/srv/pub", "b"},
      {"/", "/home/ann/Public", "Public"},  // the root: the published folder's name
      {"/", "/home/ann/Public/", "Public"},
      {"", "/home/ann/Public", "Public"},
      {"/", "/", "files"},
      {"/", "", "files"},
      {"/..", "/srv/pub", "files"},  // never a name that climbs
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.name, ArchiveBaseName(c.uri, c.pub_dir)) << c.uri << " " << c.pub_dir;
}

TEST(FolderArchive, TheFileNameFieldIsPlainAsciiWithUtf8BesideIt) {
  const struct {
    const char* name;
    TArchiveKind kind;
    const char* value;
  } cases[] = {
      {"photos", TArchiveKind::kZip, "attachment; filename=\"photos.zip\""},
      {"Holiday 2024", TArchiveKind::kTar, "attachment; filename=\"Holiday 2024.tar\""},
      {"\xC3\x9C"
       "ber",
       TArchiveKind::kZip, "attachment; filename=\"__ber.zip\"; filename*=UTF-8''%C3%9Cber.zip"},
      {"a\"b\\c", TArchiveKind::kZip, "attachment; filename=\"a_b_c.zip\"; filename*=UTF-8''a%22b%5Cc.zip"},
      {"50%", TArchiveKind::kTar, "attachment; filename=\"50_.tar\"; filename*=UTF-8''50%25.tar"},
      {"x\r\ny", TArchiveKind::kZip, "attachment; filename=\"x__y.zip\"; filename*=UTF-8''x%0D%0Ay.zip"},
      // Bytes that are no UTF-8 are encoded as U+FFFD, never passed on.
      {"bad\xFF", TArchiveKind::kZip, "attachment; filename=\"bad_.zip\"; filename*=UTF-8''bad%EF%BF%BD.zip"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, ArchiveContentDisposition(c.name, c.kind)) << c.name;
}

TEST(FolderArchive, NamesBecomeValidUtf8) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    std::string bytes;
    std::string text;
  } cases[] = {
      {"plain.txt", "plain.txt"},
      {"h\xC3\xA9llo", "h\xC3\xA9llo"},
      {"\xE2\x82\xAC \xF0\x9F\x93\xB7", "\xE2\x82\xAC \xF0\x9F\x93\xB7"},  // three and four bytes
      {"a\xFF"
       "b",
       "a" + r + "b"},
      {"cut\xC3", "cut" + r},
      {"\xC0\xAF", r + r},                  // an overlong "/"
      {"\xED\xA0\x80", r + r + r},          // a UTF-16 surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // past U+10FFFF
      {"\xE2\x82", r + r},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, ValidUtf8(c.bytes)) << c.bytes;
}

// An archive read back: each entry's path ("/" at the end for a folder)
// with a file's content.
using TEntries = std::map<std::string, std::string>;

TEntries Unpack(const std::string& bytes) {
  // libarchive's reader, too, converts names by the thread's locale.
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  const locale_t previous = uselocale(utf8);
  TEntries entries;
  archive* reader = archive_read_new();
  archive_read_support_format_all(reader);
  EXPECT_EQ(ARCHIVE_OK, archive_read_open_memory(reader, bytes.data(), bytes.size()));
  archive_entry* entry = nullptr;
  int result = ARCHIVE_OK;
  while ((result = archive_read_next_header(reader, &entry)) == ARCHIVE_OK) {
    std::string path = archive_entry_pathname_utf8(entry) ? archive_entry_pathname_utf8(entry) : "?";
    const bool folder = archive_entry_filetype(entry) == AE_IFDIR;
    if (folder && !path.ends_with('/')) path += '/';
    std::string content;
    char buffer[8192];
    la_ssize_t got = 0;
    while ((got = archive_read_data(reader, buffer, sizeof buffer)) > 0)
      content.append(buffer, static_cast<std::size_t>(got));
    EXPECT_EQ(0, got) << path;
    EXPECT_FALSE(entries.contains(path)) << "twice: " << path;
    entries[path] = content;
  }
  EXPECT_EQ(ARCHIVE_EOF, result) << archive_error_string(reader);
  archive_read_free(reader);
  uselocale(previous);
  return entries;
}

// Reads the whole archive in reads of `count` bytes.
std::string ReadAll(TFolderArchiveReader& reader, std::int32_t count) {
  std::string bytes;
  std::vector<char> buffer(static_cast<std::size_t>(count));
  bool short_read = false;
  for (;;) {
    const std::int32_t got = reader.Read(buffer.data(), count);
    if (got == 0) break;
    // Every read is full but the last: a short one would have the sender
    // flush a small piece.
    EXPECT_FALSE(short_read) << "a short read before the end, at " << bytes.size();
    short_read = got < count;
    bytes.append(buffer.data(), static_cast<std::size_t>(got));
  }
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_EQ(static_cast<std::int64_t>(bytes.size()), reader.GetPosition());
  return bytes;
}

std::string RandomBytes(std::size_t size, unsigned stream) {
  std::mt19937 random(stream);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// A published folder with every kind of entry the rules judge.
struct TSharedTree {
  test::TempDir dir;
  std::string pub;
  std::string shared;
  std::string big = RandomBytes(200 * 1024 + 17, 1);

  TSharedTree() : pub(dir.File("pub")), shared(dir.File("pub/shared")) {
    namespace fs = std::filesystem;
    dir.WriteFile("pub/shared/a.txt", "alpha");
    dir.WriteFile("pub/shared/empty.txt", "");
    dir.WriteFile("pub/shared/h\xC3\xA9llo w\xC3\xB6rld.txt", "unicode");
    dir.WriteFile("pub/shared/bad\xFFname.txt", "bytes");
    dir.WriteFile("pub/shared/#?%& '\"<-x.txt", "hostile");
    dir.WriteFile("pub/shared/sub/deep/z.bin", big);
    fs::create_directories(shared + "/emptydir");
    dir.WriteFile("pub/shared/.env", "secret");
    dir.WriteFile("pub/shared/.git/config", "git");
    fs::create_symlink(".env", shared + "/envlink.txt");
    fs::create_symlink(".git", shared + "/gitdir");
    fs::create_symlink(".", shared + "/loop");
    fs::create_symlink("nowhere", shared + "/dangling");
    dir.WriteFile("outside/f.txt", "outside");
    fs::create_symlink(dir.File("outside"), shared + "/out");
    dir.WriteFile("pub/shared/settings.ini", "AuthPasswordHash=x");
    fs::create_hard_link(shared + "/settings.ini", shared + "/copy.ini");
    EXPECT_EQ(0, ::mkfifo((shared + "/pipe").c_str(), 0600));
  }
};

TEST(FolderArchive, PacksWhatTheServerWouldServe) {
  TSharedTree tree;
  const TEntries visible = {
      {"shared/", ""},
      {"shared/a.txt", "alpha"},
      {"shared/empty.txt", ""},
      {"shared/h\xC3\xA9llo w\xC3\xB6rld.txt", "unicode"},
      {"shared/bad\xEF\xBF\xBDname.txt", "bytes"},
      {"shared/#?%& '\"<-x.txt", "hostile"},
      {"shared/sub/", ""},
      {"shared/sub/deep/", ""},
      {"shared/sub/deep/z.bin", tree.big},
      {"shared/emptydir/", ""},
      {"shared/out/", ""},  // a link out of the published folder is followed
      {"shared/out/f.txt", "outside"},
  };
  TEntries with_hidden = visible;
  with_hidden.insert({{"shared/.env", "secret"},
                      {"shared/.git/", ""},
                      {"shared/.git/config", "git"},
                      {"shared/envlink.txt", "secret"},
                      {"shared/gitdir/", ""},
                      {"shared/gitdir/config", "git"}});
  const struct {
    const char* why;
    bool serve_hidden;
    TArchiveKind kind;
    const TEntries& expected;
  } cases[] = {
      {"zip, hidden names left out with the links to them", false, TArchiveKind::kZip, visible},
      {"tar, hidden names left out with the links to them", false, TArchiveKind::kTar, visible},
      {"zip, hidden names served", true, TArchiveKind::kZip, with_hidden},
      {"tar, hidden names served", true, TArchiveKind::kTar, with_hidden},
  };
  for (const auto& c : cases) {
    TArchiveRules rules{tree.pub, {}};
    rules.rules.ServeHidden = c.serve_hidden;
    // The settings file never goes in, by any name (copy.ini is a hard link).
    rules.rules.NeverServed = {tree.shared + "/settings.ini"};
    std::vector<std::string> lines;
    TFolderArchiveReader reader(tree.shared + "/", "shared", c.kind, rules,
                                [&](const std::string& line) { lines.push_back(line); });
    const TEntries entries = Unpack(ReadAll(reader, 32 * 1024));
    EXPECT_EQ(c.expected, entries) << c.why;
    EXPECT_EQ(static_cast<std::int64_t>(c.expected.size()), reader.Entries()) << c.why;
    // The loop is told; what the rules leave out is not.
    ASSERT_EQ(1u, lines.size()) << c.why;
    EXPECT_NE(std::string::npos, lines[0].find("shared/loop/ (a link back")) << lines[0];
  }
}

// The archive is the same whatever the reads ask for: one byte at a time,
// less than a step, more than one.
TEST(FolderArchive, ReadsOfAnySizeGiveTheSameBytes) {
  TSharedTree tree;
  for (const TArchiveKind kind : {TArchiveKind::kZip, TArchiveKind::kTar}) {
    std::vector<std::string> archives;
    for (const std::int32_t count : {1, 1000, 32 * 1024, 200 * 1024}) {
      TFolderArchiveReader reader(tree.shared + "/", "shared", kind, TArchiveRules{tree.pub, {}}, nullptr);
      archives.push_back(ReadAll(reader, count));
    }
    for (const std::string& bytes : archives) EXPECT_EQ(archives[0], bytes);
    // Without a file never served, the settings file and its link go in.
    EXPECT_EQ(14u, Unpack(archives[0]).size());
  }
}

// A file whose size or time changes while it is packed cuts the archive:
// an error that names it, never bytes of two versions or a padded file.
TEST(FolderArchive, AFileThatChangesWhileItIsPackedCutsTheArchive) {
  const struct {
    const char* why;
    void (*change)(const std::string& path);
    const char* told;
  } cases[] = {
      {"grown",
       [](const std::string& path) {
         const int handle = ::open(path.c_str(), O_WRONLY | O_APPEND);
         ASSERT_EQ(3, ::write(handle, "end", 3));
         ::close(handle);
       },
       "changed while it was packed"},
      {"cut short", [](const std::string& path) { ASSERT_EQ(0, ::truncate(path.c_str(), 1000)); },
       "got shorter while it was packed"},
      {"rewritten in place",
       [](const std::string& path) {
         const int handle = ::open(path.c_str(), O_WRONLY);
         ASSERT_EQ(3, ::pwrite(handle, "new", 3, 250000));
         ::close(handle);
         const struct timespec times[2] = {{0, UTIME_OMIT},
                                           {1, 0}};  // another time, whatever the clock's grain
         ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
       },
       "changed while it was packed"},
  };
  for (const auto& c : cases) {
    for (const TArchiveKind kind : {TArchiveKind::kZip, TArchiveKind::kTar}) {
      test::TempDir dir;
      const std::string file = dir.WriteFile("pub/f/big.bin", RandomBytes(300 * 1024, 2));
      std::vector<std::string> lines;
      TFolderArchiveReader reader(dir.File("pub/f/"), "f", kind, TArchiveRules{dir.File("pub"), {}},
                                  [&](const std::string& line) { lines.push_back(line); });
      char buffer[16 * 1024];
      // The headers and the first of the data.
      for (int i = 0; i < 3; ++i) ASSERT_GT(reader.Read(buffer, sizeof buffer), 0) << c.why;
      c.change(file);
      try {
        while (reader.Read(buffer, sizeof buffer) > 0) {
        }
        ADD_FAILURE() << c.why << ": the archive came to its end";
      } catch (const EFolderArchive& error) {
        EXPECT_NE(std::string::npos, error.Message().find(std::string("f/big.bin ") + c.told))
            << error.Message();
      }
      // The server's log learns it from the failed answer.
      EXPECT_TRUE(lines.empty()) << c.why;
    }
  }
}

// The walk goes kMaxDepth levels down and tells of what lies deeper.
TEST(FolderArchive, FoldersDeeperThanTheBoundAreLeftOutAndTold) {
  test::TempDir dir;
  std::string path = "pub/top";
  std::string entry = "top/";
  for (int level = 1; level <= TFolderArchiveReader::kMaxDepth + 1; ++level) {
    path += "/d" + std::to_string(level);
    entry += "d" + std::to_string(level) + "/";
  }
  dir.WriteFile(path + "/deepest.txt", "x");
  std::vector<std::string> lines;
  TFolderArchiveReader reader(dir.File("pub/top/"), "top", TArchiveKind::kTar,
                              TArchiveRules{dir.File("pub"), {}},
                              [&](const std::string& line) { lines.push_back(line); });
  const TEntries entries = Unpack(ReadAll(reader, 64 * 1024));
  EXPECT_EQ(static_cast<std::size_t>(TFolderArchiveReader::kMaxDepth + 1), entries.size());
  const std::string last_packed = entry.substr(0, entry.rfind('/', entry.size() - 2) + 1);
  EXPECT_TRUE(entries.contains(last_packed)) << last_packed;
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find(entry + " (deeper than")) << lines[0];
}

TEST(FolderArchive, AFolderThatIsNotServedGivesNoArchive) {
  test::TempDir dir;
  dir.WriteFile("pub/.git/config", "git");
  std::filesystem::create_symlink(".git", dir.File("pub/repo"));
  const struct {
    const char* why;
    std::string folder;
  } cases[] = {
      {"missing", dir.File("pub/missing/")},
      {"a file", dir.File("pub/.git/config")},
      {"a link to a hidden folder", dir.File("pub/repo/")},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(
        TFolderArchiveReader(c.folder, "x", TArchiveKind::kZip, TArchiveRules{dir.File("pub"), {}}, nullptr),
        EFolderArchive)
        << c.why;
  }
}

}  // namespace
}  // namespace vt

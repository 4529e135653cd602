#include "app/upload_store.h"

#include <dirent.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace vt {
namespace {

// Every entry of a folder, hidden ones included.
std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    ::closedir(dir);
  }
  return names;
}

TEST(UploadName, RefusesWhatCouldHarmOrHide) {
  struct Row {
    std::string name;
    bool taken;
    const char* why;
  };
  const Row rows[] = {
      {"photo.jpg", true, "a plain name"},
      {"Zeugnis für Ann.pdf", true, "UTF-8 letters"},
      {"\xE2\x82\xAC 100 (final).txt", true, "a sign and brackets"},
      {"a..b", true, "two dots inside are no parent folder"},
      {std::string(255, 'n'), true, "255 bytes, the most a name has"},
      {"", false, "no name"},
      {".", false, "the folder itself"},
      {"..", false, "the parent folder"},
      {".bashrc", false, "hidden names are never served, so never taken"},
      {"a/b.txt", false, "a separator"},
      {"..\\b.txt", false, "a Windows separator"},
      {"a\nb.txt", false, "a line end would forge log lines"},
      {std::string("a\0b", 3), false, "a NUL cuts the name short"},
      {"a\x7F", false, "DEL"},
      {"a\xC2\x85.txt", false, "a C1 control written as UTF-8"},
      {"caf\xE9.txt", false, "Latin-1, not UTF-8"},
      {"\xC0\xAF.txt", false, "an overlong '/'"},
      {"\xED\xA0\x80.txt", false, "a surrogate"},
      {"\xF4\x90\x80\x80", false, "past U+10FFFF"},
      {"cut\xE2\x82", false, "a sequence cut short"},
      {std::string(256, 'n'), false, "longer than a file system takes"},
      {"vtwebserver.INI", false, "the settings file's name"},
      {"WebServer.log", false, "the access log's name"},
      {"setup.exe", false, "a program"},
      {"SETUP.EXE", false, "a program in capitals"},
      {"setup.exe.txt", true, "text whose name mentions a program"},
  };
  for (const Row& row : rows) EXPECT_EQ(RefuseUploadName(row.name) == nullptr, row.taken) << row.why;
}

TEST(UploadName, NumbersBeforeTheExtension) {
  struct Row {
    const char* name;
    int number;
    const char* numbered;
  };
  const Row rows[] = {
      {"photo.jpg", 1, "photo (1).jpg"},   {"archive.tar.gz", 2, "archive.tar (2).gz"},
      {"README", 3, "README (3)"},         {"photo (1).jpg", 1, "photo (1) (1).jpg"},
      {"trailing.", 12, "trailing (12)."},
  };
  for (const Row& row : rows) EXPECT_EQ(NumberedName(row.name, row.number), row.numbered) << row.name;
}

TEST(UploadDiskReserve, KeepsAGibibyteOrAPartOfSmallDisks) {
  struct Row {
    std::int64_t disk;
    std::int64_t reserve;
  };
  constexpr std::int64_t kGiB = 1024 * 1024 * 1024;
  const Row rows[] = {
      {1000 * kGiB, kGiB}, {20 * kGiB, kGiB}, {10 * kGiB, kGiB / 2}, {8 << 20, (8 << 20) / 20}};
  for (const Row& row : rows) EXPECT_EQ(UploadDiskReserve(row.disk), row.reserve) << row.disk;
}

// Storing: what a store leaves in the folder, for each way an upload ends.
TEST(UploadFile, LeavesOnlyCommittedFilesUnderFreeNames) {
  test::TempDir dir;
  dir.WriteFile("photo.jpg", "old");
  TUploadFolder folder(dir.Path());
  {
    TUploadFile file(folder, 100, -1);
    file.Write("new", 3);
    // Not yet committed: nothing visible at all.
    EXPECT_EQ(Entries(dir.Path()), std::set<std::string>{"photo.jpg"});
    EXPECT_EQ(file.Commit("photo.jpg"), "photo (1).jpg");
  }
  {
    TUploadFile broken(folder, 100, -1);
    broken.Write("half", 4);
  }
  {
    TUploadFile empty(folder, 100, 0);
    EXPECT_EQ(empty.Commit("empty.txt"), "empty.txt");
  }
  EXPECT_EQ(Entries(dir.Path()), (std::set<std::string>{"photo.jpg", "photo (1).jpg", "empty.txt"}));
  EXPECT_EQ(test::ReadFileText(dir.File("photo.jpg")), "old");
  EXPECT_EQ(test::ReadFileText(dir.File("photo (1).jpg")), "new");
}

TEST(UploadFile, RefusesPastItsBounds) {
  test::TempDir dir;
  TUploadFolder folder(dir.Path());
  struct Row {
    const char* what;
    std::int64_t max_size;
    std::int64_t expected;
    std::size_t written;
    std::int32_t status;
  };
  const Row rows[] = {
      {"an announced size past the limit", 10, 11, 0, 413},
      {"a body that grows past the limit", 10, -1, 11, 413},
      {"an announced size past the free space", std::int64_t{1} << 62, std::int64_t{1} << 61, 0, 507},
  };
  for (const Row& row : rows) {
    std::int32_t status = 0;
    try {
      TUploadFile file(folder, row.max_size, row.expected);
      const std::string data(row.written, 'x');
      file.Write(data.data(), data.size());
    } catch (const EUpload& error) {
      status = error.Status();
    }
    EXPECT_EQ(status, row.status) << row.what;
  }
  EXPECT_TRUE(Entries(dir.Path()).empty());
  EXPECT_THROW(TUploadFolder(dir.File("missing")), EUpload);
}

// Two uploads of one name at the same moment both stay, under two names.
TEST(UploadFile, RacingUploadsOfOneNameAllStay) {
  test::TempDir dir;
  TUploadFolder folder(dir.Path());
  constexpr int kUploads = 8;
  std::vector<std::string> stored(kUploads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kUploads; ++i) {
    threads.emplace_back([&, i] {
      TUploadFile file(folder, 100, -1);
      const std::string text = std::to_string(i);
      file.Write(text.data(), text.size());
      stored[i] = file.Commit("same.txt");
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(Entries(dir.Path()).size(), std::size_t{kUploads});
  for (int i = 0; i < kUploads; ++i) EXPECT_EQ(test::ReadFileText(dir.File(stored[i])), std::to_string(i));
}

// A full file system: the upload answers 507 and leaves nothing. Mounting
// a small memory file system needs root.
TEST(UploadFile, AFullDiskLeavesNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  test::TempDir dir;
  if (::mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=4m") != 0)
    GTEST_SKIP() << "tmpfs cannot be mounted here";
  std::int32_t status = 0;
  {
    TUploadFolder folder(dir.Path());
    try {
      TUploadFile file(folder, std::int64_t{1} << 30, -1);
      const std::string block(64 * 1024, 'x');
      for (int i = 0; i < 128; ++i) file.Write(block.data(), block.size());
      file.Commit("big.bin");
    } catch (const EUpload& error) {
      status = error.Status();
    }
    EXPECT_TRUE(Entries(dir.Path()).empty());
  }
  ::umount(dir.Path().c_str());
  EXPECT_EQ(status, 507);
}

}  // namespace
}  // namespace vt

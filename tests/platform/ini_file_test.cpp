#include "platform/ini_file.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

using test::ReadFileText;
using test::TempDir;

// The names in a directory other than "." and "..".
std::vector<std::string> DirectoryEntries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

TEST(IniFile, WritingKeysKeepsEveryOtherByte) {
  TempDir dir;
  const std::string original =
      "; settings\r\n"
      "[Other]\r\n"
      "Unknown = keep me \r\n"
      "\r\n"
      "[WebServer]\r\n"
      "Port=80\r\n"
      "# a note\r\n"
      "Future=1\r\n"
      "\r\n"
      "[Tail]\r\n"
      "x=y";  // no line end at the end
  const std::string path = dir.WriteFile("vt.ini", original);
  {
    TIniFile ini(path);
    ini.WriteInteger("WebServer", "Port", 8080);
    ini.WriteString("WebServer", "PubDir", "/srv/www");
    ini.WriteBool("Tail", "Active", false);
    ini.WriteString("New", "Key", "v");
    ini.UpdateFile();
  }
  EXPECT_EQ(
      "; settings\r\n"
      "[Other]\r\n"
      "Unknown = keep me \r\n"
      "\r\n"
      "[WebServer]\r\n"
      "Port=8080\r\n"
      "# a note\r\n"
      "Future=1\r\n"
      "PubDir=/srv/www\r\n"
      "\r\n"
      "[Tail]\r\n"
      "x=y\r\n"
      "Active=0\r\n"
      "\r\n"
      "[New]\r\n"
      "Key=v\r\n",
      ReadFileText(path));

  TIniFile reread(path);
  EXPECT_EQ("keep me", reread.ReadString("Other", "Unknown", ""));
  EXPECT_EQ(8080, reread.ReadInteger("WebServer", "Port", 0));
  EXPECT_FALSE(reread.ReadBool("Tail", "Active", true));
}

TEST(IniFile, NamesIgnoreCaseAndTheFirstOfANameWins) {
  TempDir dir;
  const std::string path = dir.WriteFile("vt.ini",
                                         "\xEF\xBB\xBF[ webserver ]\n"
                                         "  PORT = 81\n"
                                         "port=82\n"
                                         "[WEBSERVER]\n"
                                         "Port=83\n");
  TIniFile ini(path);
  EXPECT_TRUE(ini.SectionExists("WebServer"));
  EXPECT_EQ(81, ini.ReadInteger("WebServer", "Port", 0));
  ini.WriteInteger("WebServer", "pOrT", 90);
  ini.UpdateFile();
  EXPECT_EQ("\xEF\xBB\xBF[ webserver ]\nPORT=90\nport=82\n[WEBSERVER]\nPort=83\n", ReadFileText(path));
  EXPECT_TRUE(ini.DeleteKey("WEBserver", "port"));
  EXPECT_EQ(82, ini.ReadInteger("WebServer", "Port", 0));
}

TEST(IniFile, NumbersBooleansAndQuotes) {
  TempDir dir;
  const std::string path =
      dir.WriteFile("vt.ini",
                    "[S]\n"
                    "hex=0x1F\nHEX=0X1f\nall=0xFFFFFFFF\nlong=0x100000000\nbarehex=0x\n"
                    "neg=-12\nplus=+7\nmax=2147483647\nmin=-2147483648\nover=2147483648\n"
                    "junk=12abc\nempty=\nword=true\ntwo=2\nzero=0\n"
                    "quoted=\" a b \"\nsingle='0x10'\nlone=\"x\n");
  TIniFile ini(path);
  struct Case {
    const char* key;
    int32_t expected;
  };
  for (const Case& c :
       {Case{"hex", 31}, Case{"all", -1}, Case{"long", -5}, Case{"barehex", -5}, Case{"neg", -12},
        Case{"plus", 7}, Case{"max", INT32_MAX}, Case{"min", INT32_MIN}, Case{"over", -5}, Case{"junk", -5},
        Case{"empty", -5}, Case{"word", -5}, Case{"missing", -5}, Case{"single", 16}}) {
    EXPECT_EQ(c.expected, ini.ReadInteger("S", c.key, -5)) << c.key;
  }
  EXPECT_TRUE(ini.ReadBool("S", "two", false));
  EXPECT_FALSE(ini.ReadBool("S", "zero", true));
  EXPECT_TRUE(ini.ReadBool("S", "word", true));
  EXPECT_FALSE(ini.ReadBool("S", "word", false));
  EXPECT_EQ(" a b ", ini.ReadString("S", "quoted", ""));
  EXPECT_EQ("\"x", ini.ReadString("S", "lone", ""));
  EXPECT_EQ("", ini.ReadString("S", "empty", "default"));
  EXPECT_EQ("default", ini.ReadString("S", "missing", "default"));

  // Values that the plain form would change read back exactly as written.
  for (const std::string value : {" lead", "trail ", "\"both\"", "'single'", "$date$ $time$", ""}) {
    ini.WriteString("Round", "v", value);
    ini.UpdateFile();
    EXPECT_EQ(value, TIniFile(path).ReadString("Round", "v", "?")) << value;
  }
}

TEST(IniFile, WhatTheFormatCannotHoldIsRefusedWithoutChange) {
  TempDir dir;
  const std::string path = dir.WriteFile("vt.ini", "[S]\nk=1\n");
  TIniFile ini(path);
  EXPECT_THROW(ini.WriteString("S", "k", "two\nlines"), EIniFile);
  EXPECT_THROW(ini.WriteString("S", "a=b", "1"), EIniFile);
  EXPECT_THROW(ini.WriteString("S", ";k", "1"), EIniFile);
  EXPECT_THROW(ini.WriteString("S]", "k", "1"), EIniFile);
  EXPECT_THROW(ini.WriteString(" S", "k", "1"), EIniFile);
  EXPECT_THROW(ini.WriteString("S", "", "1"), EIniFile);
  EXPECT_FALSE(ini.Modified());
  EXPECT_EQ("1", ini.ReadString("S", "k", ""));
}

TEST(IniFile, MissingFileGivesDefaultsAndOneSaveCreatesIt) {
  TempDir dir;
  test::ScopedEnv config("XDG_CONFIG_HOME", dir.File("config"));
  TIniFile ini("vtWebServer.ini");
  EXPECT_EQ(dir.File("config/vtWebServer.ini"), ini.FileName());
  EXPECT_FALSE(ini.ReadFailed());
  EXPECT_TRUE(ini.ReadBool("WebServer", "Active", true));
  EXPECT_EQ(80, ini.ReadInteger("WebServer", "Port", 80));

  ini.WriteBool("WebServer", "Active", true);
  ini.WriteInteger("WebServer", "Port", 80);
  EXPECT_TRUE(ini.Modified());
  struct stat info;
  EXPECT_NE(0, ::stat(ini.FileName().c_str(), &info)) << "written before UpdateFile";
  ini.UpdateFile();
  EXPECT_FALSE(ini.Modified());
  EXPECT_EQ("[WebServer]\nActive=1\nPort=80\n", ReadFileText(ini.FileName()));
  ASSERT_EQ(0, ::stat(dir.File("config").c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);
}

TEST(IniFile, SaveKeepsWhatChangedOnDiskMeanwhile) {
  TempDir dir;
  const std::string path = dir.WriteFile("vt.ini", "[WebServer]\nPort=80\n");
  TIniFile ini(path);
  dir.WriteFile("vt.ini", "[WebServer]\nPort=80\nLogFormat=$uri$\n");  // edited by hand meanwhile
  ini.WriteInteger("WebServer", "Port", 81);
  ini.UpdateFile();
  EXPECT_EQ("[WebServer]\nPort=81\nLogFormat=$uri$\n", ReadFileText(path));
}

TEST(IniFile, SettingsThatCannotBeReadAreNeverOverwritten) {
  TempDir dir;
  const std::string path = dir.File("vt.ini");
  ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));  // opening it for reading must not block either
  {
    TIniFile ini(path);
    EXPECT_TRUE(ini.ReadFailed());
    EXPECT_EQ(80, ini.ReadInteger("WebServer", "Port", 80));
    ini.WriteInteger("WebServer", "Port", 81);
    EXPECT_THROW(ini.UpdateFile(), EIniFile);
    EXPECT_TRUE(ini.Modified());
  }  // the destructor's last save is refused too
  struct stat info;
  ASSERT_EQ(0, ::lstat(path.c_str(), &info));
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(std::vector<std::string>{"vt.ini"}, DirectoryEntries(dir.Path()));
}

TEST(IniFile, FailedOrInterruptedSaveLeavesTheOldFileWhole) {
  TempDir dir;
  const std::string original = "[WebServer]\nPort=80\n";
  const std::string path = dir.WriteFile("vt.ini", original);
  // A temporary file left by a save that crashed does not disturb the next one.
  dir.WriteFile(".vt.ini.tmp-" + std::to_string(::getpid()) + "-0", "[WebServer]\nPo");

  TIniFile ini(path);
  ini.WriteString("WebServer", "LogFormat", std::string(4000, 'x'));
  {
    // The disk "fills up" in the middle of writing the new file.
    struct rlimit old_limit;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old_limit));
    struct rlimit small = old_limit;
    small.rlim_cur = 1000;
    const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
    EXPECT_THROW(ini.UpdateFile(), EIniFile);
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::signal(SIGXFSZ, old_handler);
  }
  EXPECT_EQ(original, ReadFileText(path));
  EXPECT_EQ(2u, DirectoryEntries(dir.Path()).size()) << "the failed save left its temporary file";

  ini.UpdateFile();  // the writes stayed pending
  EXPECT_EQ(4000u, TIniFile(path).ReadString("WebServer", "LogFormat", "").size());

  if (::geteuid() != 0) {  // root writes into read-only directories
    ini.WriteInteger("WebServer", "Port", 1);
    ASSERT_EQ(0, ::chmod(dir.Path().c_str(), 0500));
    EXPECT_THROW(ini.UpdateFile(), EIniFile);
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_EQ(80, TIniFile(path).ReadInteger("WebServer", "Port", 0));
  }
}

TEST(IniFile, KilledWhileSavingLeavesOneCompleteVersion) {
  TempDir dir;
  const std::string path = dir.File("vt.ini");
  const std::string a(200000, 'a'), b(200000, 'b');
  {
    TIniFile ini(path);
    ini.WriteString("S", "v", a);
    ini.UpdateFile();
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (int i = 0;; ++i) {
      TIniFile ini(path);
      ini.WriteString("S", "v", i % 2 ? a : b);
      ini.UpdateFile();
    }
  }
  // Let the child get well into its saves, then kill it wherever it is.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadFileText(path).find('b') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(37));
  ::kill(child, SIGKILL);
  int status;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));

  const std::string value = TIniFile(path).ReadString("S", "v", "");
  EXPECT_TRUE(value == a || value == b) << "a damaged settings file of " << value.size() << " bytes";
}

}  // namespace
}  // namespace vt

#include "platform/registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/desktop_entry.h"
#include "platform/mime_types.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "util/ascii.h"

namespace vt {
namespace {

using test::ReadFileText;
using test::ScopedEnv;
using test::TempDir;

constexpr auto kMachine = RegistryRoot::kLocalMachine;

bool Exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

TEST(Registry, StringAndNumberValues) {
  TempDir dir;
  ScopedEnv config("XDG_CONFIG_HOME", dir.Path());

  EXPECT_EQ("", GetRegistryString(kMachine, "Software\\Vt", "Name"));
  EXPECT_FALSE(DeleteRegistryValue(kMachine, "Software\\Vt", "Name"));

  ASSERT_TRUE(SetRegistryString(kMachine, "Software\\Vt", "Name", "Veltrana"));
  EXPECT_EQ("Veltrana", GetRegistryString(kMachine, "\\SOFTWARE\\\\vt\\", "NAME"));
  std::string data;
  uint32_t type;
  ASSERT_TRUE(GetRegistryValue(kMachine, "Software\\Vt", "Name", data, type));
  EXPECT_EQ(std::string("Veltrana\0", 9), data);
  EXPECT_EQ(kRegistryString, type);

  const uint32_t big = 4000000000u;
  ASSERT_TRUE(SetRegistryValue(kMachine, "Software\\Vt", "Count", &big, 4, kRegistryNumber));
  EXPECT_EQ("4000000000", GetRegistryString(kMachine, "Software\\Vt", "Count"));

  ASSERT_TRUE(SetRegistryString(kMachine, "Software\\Vt", "Empty", ""));  // one zero byte
  EXPECT_EQ("", GetRegistryString(kMachine, "Software\\Vt", "Empty"));
  ASSERT_TRUE(SetRegistryValue(kMachine, "Software\\Vt", "NoZero", "abc", 3, kRegistryString));
  EXPECT_EQ("abc", GetRegistryString(kMachine, "Software\\Vt", "NoZero"));
  ASSERT_TRUE(SetRegistryValue(kMachine, "Software\\Vt", "Nothing", nullptr, 0, kRegistryString));
  EXPECT_FALSE(GetRegistryValue(kMachine, "Software\\Vt", "Nothing", data, type));
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(SetRegistryValue(kMachine, "Software\\Vt", "Bad", "x", -1, kRegistryString));

  // Names that the store's own format uses as syntax.
  for (const std::string name : {"", "a=b", "[x]", "50%", "@", " padded ", ";c", "\"q\""}) {
    ASSERT_TRUE(SetRegistryString(kMachine, "Odd]Key", name, "v" + name)) << name;
  }
  for (const std::string name : {"", "a=b", "[x]", "50%", "@", " padded ", ";c", "\"q\""}) {
    EXPECT_EQ("v" + name, GetRegistryString(kMachine, "odd]key", name)) << name;
  }

  EXPECT_EQ("", GetRegistryString(RegistryRoot::kClassesRoot, "Software\\Vt", "Name"))
      << "roots are separate";
  EXPECT_TRUE(DeleteRegistryValue(kMachine, "software\\vt", "name"));
  EXPECT_FALSE(DeleteRegistryValue(kMachine, "Software\\Vt", "Name"));
  EXPECT_EQ("4000000000", GetRegistryString(kMachine, "Software\\Vt", "Count"));
}

TEST(Registry, AppDirectoryHoldsThisProgram) {
  const std::string directory = GetAppDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ('/', directory.back());
  EXPECT_EQ(directory, GetAppFileName().substr(0, directory.size()));
  EXPECT_TRUE(Exists(GetAppFileName()));
}

TEST(Registry, RunAtStartupIsAnAutostartEntryForThisProgram) {
  TempDir dir;
  ScopedEnv config("XDG_CONFIG_HOME", dir.Path());
  const std::string name = "Veltrana WebServer";
  const std::string entry = dir.File("autostart/Veltrana WebServer.desktop");
  ASSERT_EQ(entry, GetAutostartFileName(name));

  EXPECT_FALSE(IsRunAtStartup(name));
  SetRunAtStartup(name, true);
  EXPECT_TRUE(IsRunAtStartup(name));
  std::string exec;
  ASSERT_TRUE(FindDesktopEntryValue(ReadFileText(entry), "Exec", exec));
  EXPECT_EQ(GetAppFileName(), DesktopExecProgram(exec));
  SetRunAtStartup(name, false);
  EXPECT_FALSE(Exists(entry));
  SetRunAtStartup(name, false);  // already off: nothing to do, nothing raised

  std::string upper = GetAppFileName();
  for (char& c : upper) c = AsciiToUpper(c);
  dir.WriteFile("autostart/Veltrana WebServer.desktop",
                "[Desktop Entry]\nType=Application\nExec=" + EncodeDesktopExec(upper) + " --flag\n");
  EXPECT_TRUE(IsRunAtStartup(name)) << "letter case of the path does not matter";
  dir.WriteFile("autostart/Veltrana WebServer.desktop",
                "[Desktop Entry]\nExec=" + EncodeDesktopExec(GetAppFileName()) + "\nHidden=true\n");
  EXPECT_FALSE(IsRunAtStartup(name)) << "an entry the desktop hides does not run";

  dir.WriteFile("autostart/Veltrana WebServer.desktop", "[Desktop Entry]\nExec=/usr/bin/another-program\n");
  EXPECT_FALSE(IsRunAtStartup(name));
  SetRunAtStartup(name, false);
  EXPECT_FALSE(Exists(entry)) << "off deletes an entry naming another program too";

  EXPECT_FALSE(IsRunAtStartup(""));
  SetRunAtStartup("../escape", true);
  EXPECT_FALSE(Exists(dir.File("escape.desktop")));
}

TEST(Registry, DesktopExecQuotingRoundTrips) {
  for (const std::string path : {"/usr/bin/vt", "/opt/my app/vt", "/a\"b/c", "/cost$/x`y`", "/back\\slash",
                                 "/100%/vt", "/tab\there", "/semi;colon", "/it's"}) {
    const std::string exec = EncodeDesktopExec(path);
    std::string read;
    ASSERT_TRUE(FindDesktopEntryValue("[Desktop Entry]\nExec=" + exec + "\n", "Exec", read)) << path;
    EXPECT_EQ(path, DesktopExecProgram(read)) << exec;
  }
  EXPECT_EQ("\"/opt/my app/vt\"", EncodeDesktopExec("/opt/my app/vt"));
  EXPECT_EQ("\"/back\\\\\\\\slash\"", EncodeDesktopExec("/back\\slash"));
  EXPECT_EQ("/usr/bin/x", DesktopExecProgram("/usr/bin/x %U"));

  std::string value;
  EXPECT_FALSE(FindDesktopEntryValue("[Other]\nExec=/x\n", "Exec", value));
  EXPECT_FALSE(FindDesktopEntryValue("[Desktop Entry]\nexec=/x\n", "Exec", value));
  EXPECT_TRUE(
      FindDesktopEntryValue("[Desktop Entry]\nExec = /x\n[Desktop Action a]\nExec=/y\n", "Exec", value));
  EXPECT_EQ("/x", value);
}

TEST(Registry, AutostartEntryText) {
  struct Case {
    TAutostartEntry entry;
    std::string text;
  } cases[] = {
      {{"Veltrana Web Server", "/usr/bin/veltrana-webserver", "veltrana-webserver"},
       "[Desktop Entry]\nType=Application\nName=Veltrana Web Server\nIcon=veltrana-webserver\n"
       "TryExec=/usr/bin/veltrana-webserver\nExec=/usr/bin/veltrana-webserver\nTerminal=false\n"},
      // TryExec is a plain path; Exec quotes it.
      {{"A\nB\\C", "/opt/my app/100%/vt", ""},
       "[Desktop Entry]\nType=Application\nName=A B\\\\C\nTryExec=/opt/my app/100%/vt\n"
       "Exec=\"/opt/my app/100%%/vt\"\nTerminal=false\n"},
  };
  for (const Case& c : cases) {
    const std::string text = AutostartEntryText(c.entry);
    EXPECT_EQ(c.text, text) << c.entry.Program;
    std::string value;
    ASSERT_TRUE(FindDesktopEntryValue(text, "TryExec", value));
    EXPECT_EQ(c.entry.Program, value);
    ASSERT_TRUE(FindDesktopEntryValue(text, "Exec", value));
    EXPECT_EQ(c.entry.Program, DesktopExecProgram(value));
  }
}

// The entry shows as the menu shows the program, and one an older version
// wrote (named after its file, no icon, no TryExec) is brought up to date;
// another program's entry is left alone.
TEST(Registry, AutostartEntriesTakeTheMenusLook) {
  TempDir dir;
  ScopedEnv config("XDG_CONFIG_HOME", dir.Path());
  const std::string name = "Veltrana WebServer";
  const std::string entry = dir.File("autostart/Veltrana WebServer.desktop");
  SetAutostartLook("Veltrana Web Server", "veltrana-webserver");
  SetRunAtStartup(name, true);
  const std::string expected =
      AutostartEntryText({"Veltrana Web Server", GetAppFileName(), "veltrana-webserver"});
  EXPECT_EQ(expected, ReadFileText(entry));

  const std::string old = "[Desktop Entry]\nType=Application\nName=Veltrana WebServer\nExec=" +
                          EncodeDesktopExec(GetAppFileName()) + "\nTerminal=false\n";
  dir.WriteFile("autostart/Veltrana WebServer.desktop", old);
  RefreshRunAtStartup(name);
  EXPECT_EQ(expected, ReadFileText(entry));
  for (const std::string& other :
       {std::string("[Desktop Entry]\nExec=/usr/bin/another-program\n"), old + "Hidden=true\n"}) {
    dir.WriteFile("autostart/Veltrana WebServer.desktop", other);
    RefreshRunAtStartup(name);
    EXPECT_EQ(other, ReadFileText(entry)) << "not this program's, or switched off";
  }
  std::filesystem::remove(entry);
  RefreshRunAtStartup(name);
  EXPECT_FALSE(Exists(entry)) << "no entry is made";
  SetAutostartLook("", "");
}

TEST(Registry, ContentTypesComeFromTheMimeDatabase) {
  TMimeTypeTable table;
  table.Parse(
      "# comment text/x-no\n"
      "text/html\t\thtml htm\n"
      "application/x-first  dup\n"
      "application/x-second dup  # trailing comment\n"
      "no-slash nsl\n"
      "image/png png\n");
  EXPECT_EQ("text/html", table.Find(".HTM"));
  EXPECT_EQ("text/html", table.Find("html"));
  EXPECT_EQ("application/x-first", table.Find(".dup"));
  EXPECT_EQ("", table.Find(".nsl"));
  EXPECT_EQ("", table.Find(".no"));
  EXPECT_EQ("", table.Find("."));
  EXPECT_EQ("", table.Find(""));

  if (!Exists("/etc/mime.types")) GTEST_SKIP() << "no /etc/mime.types (Debian package media-types)";
  EXPECT_EQ("text/html", GetRegistryContentType(".html"));
  EXPECT_EQ("image/png", GetRegistryContentType(".PNG"));
  EXPECT_EQ("", GetRegistryContentType(".no-such-extension"));
}

}  // namespace
}  // namespace vt

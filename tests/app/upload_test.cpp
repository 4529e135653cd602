// Uploads through the real program: curl -T (PUT) and curl -F (a form's
// multipart POST), Python's urllib, and bodies that break off.

#include <dirent.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "app/upload_form.h"
#include "app_test_support.h"
#include "socket_test_support.h"

namespace vt {
namespace {

using test::ServerProgram;

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

// Runs a shell command; what it printed on standard output.
std::string RunShell(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

// A program serving `Root()` with uploads into its "inbox" folder, at most
// 1 MiB each.
class UploadProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    program.WriteRootFile("inbox/taken.txt", "old");
    program.WriteRootFile("other/x.txt", "x");
    program.WriteSettings(
        "AllowUploads=1\nUploadFolder=inbox\nMaxUploadSize=1\nLogFormat=$response$ $method$ $uri$ "
        "$received$\n");
    ASSERT_TRUE(program.Start());
    base = "http://127.0.0.1:" + std::to_string(program.Port());
  }
  std::string Inbox() const { return program.Root() + "/inbox"; }
  std::string Curl(const std::string& args) {
    return RunShell("curl -s -o /dev/null -w '%{http_code} %header{location}' " + args + " 2>&1");
  }

  ServerProgram program;
  std::string base;
};

TEST_F(UploadProgram, CurlPutsAndPostsFilesUnderFreeNames) {
  test::TempDir local;
  const std::string small = local.WriteFile("taken.txt", "new text");
  const std::string empty = local.WriteFile("empty.txt", "");
  const std::string big = local.WriteFile("big.bin", std::string(1024 * 1024 + 1, 'b'));
  const std::string program_file = local.WriteFile("setup.exe", "MZ");
  struct Row {
    const char* what;
    std::string args;
    std::string answer;  // status and Location
    std::vector<std::string> stored;
  };
  const Row rows[] = {
      {"a taken name is numbered",
       "-T " + small + " " + base + "/inbox/taken.txt",
       "201 /inbox/taken%20%281%29.txt",
       {"taken (1).txt"}},
      {"and numbered again",
       "-T " + small + " " + base + "/inbox/taken.txt",
       "201 /inbox/taken%20%282%29.txt",
       {"taken (2).txt"}},
      {"zero bytes", "-T " + empty + " " + base + "/inbox/", "201 /inbox/empty.txt", {"empty.txt"}},
      {"chunked from standard input",
       "-T - " + base + "/inbox/piped.txt < " + small,
       "201 /inbox/piped.txt",
       {"piped.txt"}},
      {"a form of two files",
       "-F a=@" + small + " -F b=@" + empty + " -F note=hi " + base + "/inbox/",
       "201 /inbox/taken%20%283%29.txt",
       {"taken (3).txt", "empty (1).txt"}},
      {"a hidden name", "-T " + small + " " + base + "/inbox/.bashrc", "403 ", {}},
      {"a backslash", "-T " + small + " '" + base + "/inbox/a%5Cb.txt'", "403 ", {}},
      {"a control byte", "-T " + small + " '" + base + "/inbox/a%0Ab.txt'", "403 ", {}},
      {"a program", "-T " + program_file + " " + base + "/inbox/", "403 ", {}},
      {"a program in a form", "-F f=@" + program_file + " " + base + "/inbox/", "403 ", {}},
      {"another folder", "-T " + small + " " + base + "/other/new.txt", "403 ", {}},
      {"the published folder", "-F f=@" + small + " " + base + "/", "403 ", {}},
      {"past the size limit", "-T " + big + " " + base + "/inbox/big.bin", "413 ", {}},
      {"past the size limit in a form", "-F f=@" + big + " " + base + "/inbox/", "413 ", {}},
      {"past the size limit, chunked", "-T - " + base + "/inbox/big.bin < " + big, "413 ", {}},
  };
  std::set<std::string> expected = Entries(Inbox());
  for (const Row& row : rows) {
    EXPECT_EQ(Curl(row.args), row.answer) << row.what;
    for (const std::string& name : row.stored) expected.insert(name);
    EXPECT_EQ(Entries(Inbox()), expected) << row.what;
  }
  EXPECT_EQ(test::ReadFileText(Inbox() + "/taken.txt"), "old");
  EXPECT_EQ(test::ReadFileText(Inbox() + "/taken (1).txt"), "new text");
  EXPECT_EQ(test::ReadFileText(Inbox() + "/piped.txt"), "new text");
  EXPECT_EQ(test::ReadFileText(Inbox() + "/empty.txt"), "");
  // The server's log names each file stored; the access log has the
  // status and the bytes received.
  EXPECT_NE(program.Stderr().find("stored taken (3).txt"), std::string::npos);
  const std::vector<std::string> lines = program.LogLines(std::size(rows));
  ASSERT_GE(lines.size(), std::size(rows));
  EXPECT_EQ(lines[0], "201 PUT /inbox/taken.txt 8");
  EXPECT_EQ(lines[3], "201 PUT /inbox/piped.txt 8");
}

// A body that breaks off leaves nothing, not even a hidden temporary file.
TEST_F(UploadProgram, ABrokenBodyLeavesNothing) {
  const std::set<std::string> before = Entries(Inbox());
  const std::string heads[] = {
      "PUT /inbox/cut.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n",
      "PUT /inbox/cut.txt HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n1f4\r\n",
      "POST /inbox/ HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=b\r\n"
      "Content-Length: 1000\r\n\r\n--b\r\nContent-Disposition: form-data; name=f; filename=cut.txt\r\n\r\n",
  };
  for (const std::string& head : heads) {
    const int fd = test::ConnectLoopback(program.Port());
    ASSERT_GE(fd, 0);
    const std::string sent = head + std::string(500, 'x');
    ASSERT_EQ(::send(fd, sent.data(), sent.size(), MSG_NOSIGNAL), static_cast<ssize_t>(sent.size()));
    // Time for the server to store what came.
    ::usleep(200 * 1000);
    ::close(fd);
  }
  // The server notices each end, and has nothing to name.
  EXPECT_TRUE(test::WaitFor([&] {
    return program.Stderr().find("Request body cut short") != std::string::npos ||
           program.Stderr().find("Stream error") != std::string::npos;
  }));
  ::usleep(300 * 1000);
  EXPECT_EQ(Entries(Inbox()), before);
}

// Python's urllib, as a script would send a file: PUT, then a form.
TEST_F(UploadProgram, PythonUrllibStoresFiles) {
  const std::string script =
      "import urllib.request as u, sys\n"
      "base = sys.argv[1]\n"
      "r = u.urlopen(u.Request(base + '/inbox/py.txt', data=b'from python', method='PUT'))\n"
      "print(r.status, r.headers['Location'])\n"
      "body = (b'--xyz\\r\\nContent-Disposition: form-data; name=\"f\"; filename=\"form.txt\"\\r\\n\\r\\n'\n"
      "        b'form data\\r\\n--xyz--\\r\\n')\n"
      "r = u.urlopen(u.Request(base + '/inbox/', data=body, method='POST',\n"
      "    headers={'Content-Type': 'multipart/form-data; boundary=xyz'}))\n"
      "print(r.status, r.headers['Location'])\n";
  test::TempDir local;
  const std::string file = local.WriteFile("up.py", script);
  EXPECT_EQ(RunShell("python3 " + file + " " + base + " 2>&1"), "201 /inbox/py.txt\n201 /inbox/form.txt\n");
  EXPECT_EQ(test::ReadFileText(Inbox() + "/py.txt"), "from python");
  EXPECT_EQ(test::ReadFileText(Inbox() + "/form.txt"), "form data");
}

// The peak of the program's resident memory, in KiB (VmHWM).
long PeakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// 100 MB stream to disk: the file is whole, and the program never held
// the body (its peak memory grows by far less than the body).
TEST(UploadLarge, AHundredMegabytesStreamToDisk) {
  ServerProgram program;
  program.WriteRootFile("inbox/.keep", "");
  program.WriteSettings("AllowUploads=1\nUploadFolder=inbox\nMaxUploadSize=200\n");
  ASSERT_TRUE(program.Start());
  const long before = PeakResidentKiB(program.Pid());
  test::TempDir local;
  const std::string big = local.File("big.bin");
  ASSERT_EQ(std::system(("head -c 100000000 /dev/urandom > " + big).c_str()), 0);
  const std::string base = "http://127.0.0.1:" + std::to_string(program.Port());
  EXPECT_EQ(RunShell("curl -s -o /dev/null -w '%{http_code}' -T " + big + " " + base + "/inbox/"), "201");
  EXPECT_EQ(RunShell("cmp " + big + " " + program.Root() + "/inbox/big.bin && echo same"), "same\n");
  EXPECT_EQ(RunShell("curl -s -o /dev/null -w '%{http_code}' -F f=@" + big + " " + base + "/inbox/"), "201");
  EXPECT_EQ(RunShell("cmp " + big + " '" + program.Root() + "/inbox/big (1).bin' && echo same"), "same\n");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (A sanitizer keeps freed memory aside for a while: its peak says
  // nothing about what the program holds.)
  EXPECT_LT(PeakResidentKiB(program.Pid()) - before, 20 * 1024);
#else
  (void)before;
#endif
}

// A full file system: 507, and nothing left in the folder. Mounting a
// small memory file system as the upload folder needs root.
TEST(UploadLarge, AFullDiskAnswers507AndLeavesNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  ServerProgram program;
  program.WriteRootFile("inbox/.keep", "");
  const std::string inbox = program.Root() + "/inbox";
  if (std::system(("mount -t tmpfs -o size=4m tmpfs '" + inbox + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "tmpfs cannot be mounted here";
  program.WriteSettings("AllowUploads=1\nUploadFolder=inbox\nMaxUploadSize=100\n");
  if (program.Start()) {
    test::TempDir local;
    const std::string big = local.WriteFile("big.bin", std::string(8 << 20, 'x'));
    const std::string base = "http://127.0.0.1:" + std::to_string(program.Port());
    // Announced: refused before the body. Chunked: refused when the disk fills.
    EXPECT_EQ(RunShell("curl -s -o /dev/null -w '%{http_code}' -T " + big + " " + base + "/inbox/"), "507");
    const std::string chunked =
        RunShell("curl -s -o /dev/null -w '%{http_code}' -T - " + base + "/inbox/c.bin < " + big);
    EXPECT_TRUE(chunked == "507" || chunked == "000") << chunked;
    EXPECT_TRUE(Entries(inbox).empty());
    program.Stop();
  }
  std::system(("umount '" + inbox + "'").c_str());
}

// A form upload in headless Chromium, the file input set through its
// DevTools: once as a plain form, once through the page's script.
TEST(UploadBrowser, HeadlessChromiumSendsTheForm) {
  const std::string chromium = RunShell("command -v chromium chromium-browser 2>/dev/null | head -n 1");
  if (chromium.empty()) GTEST_SKIP() << "no Chromium on this machine";
  ServerProgram program;
  program.WriteRootFile("inbox/form.html",
                        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Inbox</title>"
                        "</head><body>" +
                            UploadFormHTML("/inbox/", 1 << 20) + "</body></html>");
  program.WriteSettings("AllowUploads=1\nUploadFolder=inbox\n");
  ASSERT_TRUE(program.Start());
  test::TempDir local;
  const std::string photo = local.WriteFile("photo.jpg", "not really a photo");
  const std::string base = "http://127.0.0.1:" + std::to_string(program.Port());
  EXPECT_EQ(
      RunShell("python3 " VT_APP_TEST_DIR "/upload_browser_check.py " +
               chromium.substr(0, chromium.size() - 1) + " " + base + "/inbox/form.html " + photo + " 2>&1"),
      "OK\n");
  EXPECT_EQ(test::ReadFileText(program.Root() + "/inbox/photo.jpg"), "not really a photo");
  EXPECT_EQ(test::ReadFileText(program.Root() + "/inbox/photo (1).jpg"), "not really a photo");
}

// A folder and a name with blanks and letters beyond ASCII come back
// percent-encoded in Location.
TEST(UploadLocation, IsAURLEvenForNamesWithBlanks) {
  ServerProgram program;
  program.WriteRootFile("my photos/.keep", "");
  program.WriteSettings("AllowUploads=1\nUploadFolder=my photos\n");
  ASSERT_TRUE(program.Start());
  const std::string url =
      "http://127.0.0.1:" + std::to_string(program.Port()) + "/my%20photos/caf%C3%A9%20bar.txt";
  EXPECT_EQ(
      RunShell("curl -s -o /dev/null -w '%{http_code} %header{location}' -T /etc/hostname '" + url + "'"),
      "201 /my%20photos/caf%C3%A9%20bar.txt");
}

// Uploads off (the default): PUT and a form's POST are refused as before.
TEST(UploadsOff, PutAndPostAreNotTaken) {
  ServerProgram program;
  program.WriteRootFile("inbox/a.txt", "a");
  program.WriteSettings();
  ASSERT_TRUE(program.Start());
  const std::string base = "http://127.0.0.1:" + std::to_string(program.Port());
  EXPECT_EQ(RunShell("curl -s -o /dev/null -w '%{http_code}' -T /etc/hostname " + base + "/inbox/h.txt"),
            "405");
  EXPECT_EQ(RunShell("curl -s -o /dev/null -w '%{http_code}' -F f=@/etc/hostname " + base + "/inbox/"),
            "405");
  EXPECT_EQ(Entries(program.Root() + "/inbox"), std::set<std::string>{"a.txt"});
}

TEST(UploadForm, PostsToTheFolderWithoutScript) {
  const std::string html = UploadFormHTML("/my photos/", 4096);
  EXPECT_NE(html.find("method=\"post\" enctype=\"multipart/form-data\" action=\"/my%20photos/\""),
            std::string::npos);
  EXPECT_NE(html.find("<input type=\"file\" name=\"file\" multiple>"), std::string::npos);
  EXPECT_NE(html.find("<button type=\"submit\">"), std::string::npos);
}

}  // namespace
}  // namespace vt

#include "ui/dashboard.h"

#include <gtest/gtest.h>

#include <QImage>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/temp_dir.h"

namespace vt {
namespace {

// What zbarimg (Debian's zbar-tools) reads in `image`: the text of the one
// code it finds, or empty.
std::string ReadQrCode(const QImage& image) {
  test::TempDir dir;
  const std::string file = dir.File("code.png");
  if (!image.save(QString::fromStdString(file))) return "(not saved)";
  FILE* pipe = ::popen(("zbarimg --raw -q " + file + " 2>/dev/null").c_str(), "r");
  std::string out;
  char buffer[1024];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  ::pclose(pipe);
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TEST(QrCode, TheDrawnCodeReadsBackAsItsText) {
  if (std::system("command -v zbarimg >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "zbarimg (Debian package zbar-tools) is not installed";
  const std::string texts[] = {
      "http://localhost:8080/", "http://192.168.1.20/", "http://[2001:db8::20]:8080/",
      "http://192.168.100.200:65535/" + std::string(200, 'x'),  // a larger code
  };
  for (const std::string& text : texts) {
    TQrCodeView view;
    view.resize(240, 240);
    view.SetText(text);
    EXPECT_GT(view.Modules(), 20) << text;
    EXPECT_EQ(text, ReadQrCode(view.grab().toImage()));
  }
  TQrCodeView empty;
  empty.resize(240, 240);
  empty.SetText("http://x/");
  empty.SetText("");
  EXPECT_EQ(0, empty.Modules());
  EXPECT_EQ("", ReadQrCode(empty.grab().toImage())) << "no text, no code";
}

}  // namespace
}  // namespace vt

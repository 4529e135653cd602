// Readers and writers over real files.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "streams/reader.h"
#include "streams/writer.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

using test::ReadFileText;
using test::TempDir;

bool IsOpen(int handle) { return ::fcntl(handle, F_GETFD) != -1; }

TEST(FileReader, OpensOnlyExistingFilesThatAreNotDirectories) {
  TempDir dir;
  EXPECT_VT_ERROR(TFileReader(dir.File("missing")), EFileReader, "File open error");
  EXPECT_VT_ERROR(TFileReader(dir.Path()), EFileReader, "File open error");
  const std::string file = dir.WriteFile("a", "x");
  EXPECT_VT_ERROR(TFileReader(file + std::string("\0.txt", 5)), EFileReader, "File open error");
  // A FIFO without a writer must not block the open.
  ASSERT_EQ(0, ::mkfifo(dir.File("fifo").c_str(), 0600));
  TFileReader fifo(dir.File("fifo"));
  char byte;
  EXPECT_EQ(0, fifo.Read(&byte, 1));
}

// Reading itself runs with every other reader in reader_test.cpp.
TEST(FileReader, EndAndSeekErrors) {
  TempDir dir;
  TFileReader reader(dir.WriteFile("a", "0123456789"));
  reader.SetPosition(10);
  EXPECT_TRUE(reader.AtEnd());
  // Unlike the memory reader, the end of a file says "no bytes" to a match,
  // which an exact match reports as a read error.
  EXPECT_VT_ERROR(reader.MatchText("x", true), EReader, "Read error");
  EXPECT_VT_ERROR(reader.SetPosition(-1), EFileReader, "File seek error");
}

// A regular file is measured at its opening: what is appended later is not
// read (a length announced from it holds), and seeking costs no call.
TEST(FileReader, RegularFileIsMeasuredOnce) {
  TempDir dir;
  const std::string path = dir.WriteFile("a", "0123456789");
  TFileReader reader(path);
  EXPECT_TRUE(reader.Measured());
  {
    TFileWriter writer(path, fwOpen);
    writer.SeekToEnd();
    writer.WriteText("abc");
  }
  EXPECT_EQ(10, reader.GetSize());
  reader.SetPosition(7);
  EXPECT_EQ("789", reader.ReadText(100));
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_EQ(10, reader.GetPosition());
  reader.SetPosition(2);
  EXPECT_EQ("23", reader.ReadText(2));
  EXPECT_EQ(4, reader.GetPosition());
  // Over a descriptor handed in, the system is asked: the file's end now.
  const int handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  TFileReader borrowed(handle, true);
  EXPECT_FALSE(borrowed.Measured());
  EXPECT_EQ(13, borrowed.GetSize());
}

TEST(FileReader, ClosesOnlyWhatItOwns) {
  TempDir dir;
  const std::string path = dir.WriteFile("a", "abc");
  int handle;
  {
    TFileReader reader(path);
    handle = reader.Handle();
    EXPECT_TRUE(IsOpen(handle));
  }
  EXPECT_FALSE(IsOpen(handle));

  handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  { TFileReader borrowed(handle, false); }
  EXPECT_TRUE(IsOpen(handle));
  ::close(handle);
}

int OSErrorOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const EOSError& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(FileWriter, OpenModes) {
  const struct {
    TFileWriterOpenMode mode;
    bool exists;
    int error;         // errno expected from the constructor, 0 for none
    bool created;      // the Created flag
    std::string kept;  // the content after opening
  } cases[] = {
      {fwOpen, false, ENOENT, false, ""},
      {fwOpen, true, 0, false, "old"},
      {fwOpenTruncate, false, ENOENT, false, ""},
      {fwOpenTruncate, true, 0, false, ""},
      {fwCreate, false, 0, true, ""},
      {fwCreate, true, 0, true, ""},
      {fwOpenOrCreate, false, 0, true, ""},
      {fwOpenOrCreate, true, 0, false, "old"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << int(c.mode) << (c.exists ? " existing" : " missing"));
    TempDir dir;
    const std::string path = c.exists ? dir.WriteFile("f", "old") : dir.File("f");
    if (c.error) {
      EXPECT_EQ(c.error, OSErrorOf([&] { TFileWriter writer(path, c.mode); }));
      continue;
    }
    TFileWriter writer(path, c.mode);
    EXPECT_EQ(c.created, writer.Created());
    EXPECT_TRUE(writer.HandleOwner());
    EXPECT_EQ(0, writer.GetPosition());
    EXPECT_EQ(c.kept, ReadFileText(path));
  }
}

TEST(FileWriter, AppendsTheWayTheAccessLogDoes) {
  TempDir dir;
  const std::string path = dir.File("webserver.log");
  for (const char* line : {"first", "second"}) {
    TFileWriter writer(path, fwOpenOrCreate);
    writer.SeekToEnd();
    writer.WriteText(std::string(line) + "\r\n");
    writer.WriteText("");
  }
  EXPECT_EQ("first\r\nsecond\r\n", ReadFileText(path));
}

TEST(FileWriter, SizeAndTruncate) {
  TempDir dir;
  const std::string path = dir.File("f");
  TFileWriter writer(path, fwCreate);
  writer.WriteText(std::string(60, 'a'));
  writer.SetPosition(50);
  writer.SetSize(10);
  EXPECT_EQ(10, writer.GetPosition());
  EXPECT_EQ(10, writer.GetSize());
  writer.SetSize(12);
  EXPECT_EQ(std::string(10, 'a') + std::string(2, '\0'), ReadFileText(path));
  writer.SetPosition(0);
  writer.Truncate();
  EXPECT_EQ(0, writer.GetSize());
  EXPECT_VT_ERROR(writer.SetPosition(-1), EFileWriter, "File seek error");
  EXPECT_VT_ERROR(writer.SetSize(-1), EFileWriter, "File seek error");
  // A device has no length to cut.
  EXPECT_VT_ERROR(TFileWriter("/dev/null", fwOpenTruncate), EFileWriter, "File truncate error");
  TFileWriter device("/dev/null", fwOpen);
  EXPECT_VT_ERROR(device.SetSize(10), EFileWriter, "File resize error");
}

TEST(FileWriter, SystemFailuresAreOSErrors) {
  TempDir dir;
  EXPECT_EQ(EISDIR, OSErrorOf([&] { TFileWriter writer(dir.Path(), fwOpen); }));
  EXPECT_EQ(EINVAL, OSErrorOf([&] { TFileWriter writer(dir.File("a") + std::string("\0b", 2), fwCreate); }));
  const int handle = ::open(dir.WriteFile("ro", "x").c_str(), O_RDONLY | O_CLOEXEC);
  TFileWriter readOnly(handle, true);
  EXPECT_EQ(EBADF, OSErrorOf([&] { readOnly.WriteText("y"); }));
  EXPECT_FALSE(readOnly.Created());
}

}  // namespace
}  // namespace vt

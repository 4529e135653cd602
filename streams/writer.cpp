#include "streams/writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "streams/file_io.h"
#include "streams/write_all.h"

namespace vt {

namespace {

constexpr int kCreateMode = 0666;
// fwOpenOrCreate retries when another program deletes or creates the file
// between its two attempts; a file that keeps flickering gives up.
constexpr int kOpenOrCreateAttempts = 8;

int OpenExisting(const std::string& fileName) { return ::open(fileName.c_str(), O_RDWR | O_CLOEXEC); }

int CreateOrReplace(const std::string& fileName) {
  return ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, kCreateMode);
}

// O_CREAT alone cannot say whether it made the file, so an exclusive create
// comes first and settles it; EEXIST means there is a file to open.
int OpenOrCreate(const std::string& fileName, bool& created) {
  for (int attempt = 0; attempt < kOpenOrCreateAttempts; ++attempt) {
    int handle = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kCreateMode);
    if (handle >= 0) {
      created = true;
      return handle;
    }
    if (errno != EEXIST) return -1;
    handle = OpenExisting(fileName);
    if (handle >= 0 || errno != ENOENT) return handle;
  }
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// AWriterEx

void AWriterEx::Truncate() { SetSize(GetPosition()); }

void AWriterEx::WriteText(const std::string& text) {
  WriteBytes(text.data(), static_cast<int64_t>(text.size()));
}

void AWriterEx::WriteExact(const char* buffer, int32_t count) { WriteBytes(buffer, count); }

void AWriterEx::WriteBytes(const char* buffer, int64_t count) {
  const auto write = [this](const char* bytes, int32_t n) { return Write(bytes, n); };
  if (!detail::WriteAll(write, buffer, count)) throw EWriter("Write error");
}

void AWriterEx::SeekToEnd() { SetPosition(GetSize()); }

// ---------------------------------------------------------------------------
// TFileWriter

TFileWriter::TFileWriter(const std::string& fileName, TFileWriterOpenMode openMode) : file_name_(fileName) {
  // A name with a NUL byte would reach the system shortened.
  if (fileName.find('\0') != std::string::npos) RaiseOSError(EINVAL);
  bool created = false;
  int handle = -1;
  switch (openMode) {
    case fwOpen:
    case fwOpenTruncate:
      handle = OpenExisting(fileName);
      break;
    case fwCreate:
      handle = CreateOrReplace(fileName);
      created = true;
      break;
    case fwOpenOrCreate:
      handle = OpenOrCreate(fileName, created);
      break;
    default:
      RaiseOSError(EINVAL);
  }
  if (handle < 0) RaiseLastOSError();
  if (openMode == fwOpenTruncate && ::ftruncate(handle, 0) != 0) {
    detail::FileClose(handle);
    throw EFileWriter("File truncate error");
  }
  handle_ = handle;
  handle_owner_ = true;
  created_ = created;
}

TFileWriter::TFileWriter(int handle, bool handleOwner) : handle_(handle), handle_owner_(handleOwner) {}

TFileWriter::~TFileWriter() {
  if (handle_owner_) detail::FileClose(handle_);
}

int64_t TFileWriter::GetPosition() { return detail::GetFilePosition<EFileWriter>(handle_); }

void TFileWriter::SetPosition(int64_t position) { detail::SetFilePosition<EFileWriter>(handle_, position); }

int64_t TFileWriter::GetSize() { return detail::GetFileSize<EFileWriter>(handle_); }

void TFileWriter::SetSize(int64_t size) {
  SetPosition(size);
  if (::ftruncate(handle_, static_cast<off_t>(size)) != 0) throw EFileWriter("File resize error");
}

int32_t TFileWriter::Write(const char* buffer, int32_t count) {
  int32_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(handle_, buffer + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseLastOSError();
    }
    if (n == 0) break;
    done += static_cast<int32_t>(n);
  }
  return done;
}

// ---------------------------------------------------------------------------
// TStringWriter

TStringWriter::TStringWriter(std::string text) : text_(std::move(text)) {}

int64_t TStringWriter::GetPosition() { return position_; }

void TStringWriter::SetPosition(int64_t position) {
  if (position < 0) throw EWriter("Seek error");
  position_ = position;
}

int64_t TStringWriter::GetSize() { return static_cast<int64_t>(text_.size()); }

void TStringWriter::SetSize(int64_t size) {
  if (size < 0) throw EWriter("Resize error");
  text_.resize(static_cast<size_t>(size));
  position_ = size;
}

int32_t TStringWriter::Write(const char* buffer, int32_t count) {
  if (count <= 0) return 0;
  const auto position = static_cast<size_t>(position_);
  const auto n = static_cast<size_t>(count);
  if (text_.size() < position + n) text_.resize(position + n);
  text_.replace(position, n, buffer, n);
  position_ += count;
  return count;
}

std::string TStringWriter::TakeText() {
  std::string text = std::move(text_);
  text_.clear();
  position_ = 0;
  return text;
}

}  // namespace vt

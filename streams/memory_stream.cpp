#include "streams/memory_stream.h"

#include <algorithm>
#include <cstring>

namespace vt {

TMemoryStream::TMemoryStream(std::string text) : data_(std::move(text)) {}

int64_t TMemoryStream::GetPosition() { return data_.GetPosition(); }

void TMemoryStream::SetPosition(int64_t position) { data_.SetPosition(position); }

int64_t TMemoryStream::GetSize() { return data_.GetSize(); }

void TMemoryStream::SetSize(int64_t size) { data_.SetSize(size); }

AReaderEx* TMemoryStream::GetReader() { return &reader_; }

AWriterEx* TMemoryStream::GetWriter() { return &data_; }

int32_t TMemoryStream::Read(char* buffer, int32_t count) { return reader_.Read(buffer, count); }

int32_t TMemoryStream::Write(const char* buffer, int32_t count) { return data_.Write(buffer, count); }

int64_t TMemoryStream::TStreamReader::GetPosition() { return data_.GetPosition(); }

void TMemoryStream::TStreamReader::SetPosition(int64_t position) {
  if (position < 0) throw EReader("Seek error");
  data_.SetPosition(position);
}

int64_t TMemoryStream::TStreamReader::GetSize() { return data_.GetSize(); }

int32_t TMemoryStream::TStreamReader::Read(char* buffer, int32_t count) {
  const int64_t position = data_.GetPosition();
  const int64_t size = data_.GetSize();
  if (count <= 0 || position >= size) return 0;
  const auto n = static_cast<int32_t>(std::min<int64_t>(count, size - position));
  std::memcpy(buffer, data_.Text().data() + position, static_cast<size_t>(n));
  data_.SetPosition(position + n);
  return n;
}

bool TMemoryStream::TStreamReader::AtEnd() { return data_.GetPosition() >= data_.GetSize(); }

}  // namespace vt

#include "http/request_body_reader.h"

#include <algorithm>
#include <chrono>

#include "http/content_readers.h"

namespace vt {

ThttpRequestBodyReader::ThttpRequestBodyReader(AReaderEx& source, TContentFraming framing, int64_t length,
                                               int64_t maxBytes, Deadline deadline, Deadline* readDeadline)
    : source_(source),
      framing_(framing),
      length_(length),
      max_bytes_(maxBytes),
      deadline_(deadline),
      read_deadline_(readDeadline) {
  if (framing_ != TContentFraming::kSized && framing_ != TContentFraming::kChunked) at_end_ = true;
  if (framing_ == TContentFraming::kSized && length_ <= 0) at_end_ = true;
}

ThttpRequestBodyReader::~ThttpRequestBodyReader() = default;

void ThttpRequestBodyReader::SetPosition(int64_t position) {
  if (position != position_) throw EReader("SetPosition failed");
}

int64_t ThttpRequestBodyReader::GetSize() {
  if (framing_ == TContentFraming::kSized) return length_;
  return at_end_ ? position_ : -1;
}

void ThttpRequestBodyReader::RaiseCutShort() {
  if (std::chrono::steady_clock::now() >= deadline_) throw EhttpContent(408, "Request body timeout");
  throw EReader("Request body cut short");
}

void ThttpRequestBodyReader::Finish() {
  at_end_ = true;
  if (OnEnd) OnEnd();
}

int32_t ThttpRequestBodyReader::Read(char* buffer, int32_t count) {
  if (count <= 0 || at_end_) return 0;
  // Each wait of the connection ends at the body's deadline at the latest;
  // the connection's bound is its own again afterwards.
  struct TBound {
    Deadline* bound;
    Deadline before;
    TBound(Deadline* b, Deadline d) : bound(b), before(b ? *b : Deadline::max()) {
      if (bound) *bound = std::min(before, d);
    }
    ~TBound() {
      if (bound) *bound = before;
    }
  } bound(read_deadline_, deadline_);

  if (framing_ == TContentFraming::kSized) {
    const auto want = static_cast<int32_t>(std::min<int64_t>(count, length_ - position_));
    const int32_t got = source_.Read(buffer, want);
    if (got <= 0) RaiseCutShort();
    position_ += got;
    if (position_ >= length_) Finish();
    return got;
  }

  int32_t got = 0;
  try {
    if (!chunked_) chunked_ = std::make_unique<ThttpChunkedContentReader>(&source_, false);
    if (!chunked_->AtEnd()) got = chunked_->Read(buffer, count);
  } catch (const EChunkedContentFraming& error) {
    throw EhttpContent(400, error.Message());
  } catch (const EChunkedContentReader&) {
    RaiseCutShort();
  }
  // Bytes past the limit are never handed on: the body is refused instead.
  if (max_bytes_ >= 0 && position_ + got > max_bytes_) throw EhttpContent(413, "Content too large");
  position_ += got;
  if (chunked_->AtEnd()) Finish();
  return got;
}

}  // namespace vt

#include "streams/stream.h"

#include <algorithm>
#include <memory>

#include "streams/write_all.h"

namespace vt {

namespace {

using Block = std::unique_ptr<char[]>;

Block AllocateBlock(int32_t size) {
  return std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size));
}

void ReportProgress(const TCopyProgressEvent& progress, AStream* source, AStream* destination,
                    int64_t total) {
  if (!progress) return;
  bool abort = false;
  progress(source, destination, total, abort);
  if (abort) throw EStreamOperationAborted();
}

int64_t CopyForwards(AStream* source, AStream* destination, char* block, int32_t blockSize,
                     int64_t sourceOffset, int64_t destinationOffset, int64_t count,
                     const TCopyProgressEvent& progress) {
  int64_t total = 0;
  while (count != 0) {
    // Position first, then ask for the end: the question is about the offset
    // that is read next, not about wherever the source was left (a source
    // just written sits at its end; a stream copied onto itself was last
    // moved to the destination offset).
    source->SetPosition(sourceOffset);
    if (source->AtEnd()) break;
    const int32_t piece = count > 0 ? static_cast<int32_t>(std::min<int64_t>(blockSize, count)) : blockSize;
    const int32_t n = source->Read(block, piece);
    if (n <= 0) {
      if (source->AtEnd()) break;
      throw EStream("Stream read error");
    }
    destination->SetPosition(destinationOffset);
    destination->WriteExact(block, n);
    total += n;
    if (count > 0) count -= n;
    sourceOffset += n;
    destinationOffset += n;
    ReportProgress(progress, source, destination, total);
  }
  return total;
}

int64_t CopyBackwards(AStream* source, AStream* destination, char* block, int32_t blockSize,
                      int64_t sourceOffset, int64_t destinationOffset, int64_t count,
                      const TCopyProgressEvent& progress) {
  // Every block is placed by its distance from the range's start, so the
  // range must hold bytes all the way: it stops at the source's end.
  const int64_t size = source->GetSize();
  if (size >= 0) count = std::min(count, std::max<int64_t>(size - sourceOffset, 0));
  int64_t total = 0;
  for (int64_t remaining = count; remaining > 0;) {
    const int32_t piece = static_cast<int32_t>(std::min<int64_t>(blockSize, remaining));
    const int64_t offset = remaining - piece;
    source->SetPosition(sourceOffset + offset);
    for (int32_t got = 0; got < piece;) {
      const int32_t n = source->Read(block + got, piece - got);
      if (n <= 0) throw EStream("Stream read error");
      got += n;
    }
    destination->SetPosition(destinationOffset + offset);
    destination->WriteExact(block, piece);
    total += piece;
    remaining -= piece;
    ReportProgress(progress, source, destination, total);
  }
  return total;
}

}  // namespace

// ---------------------------------------------------------------------------
// AStream

void AStream::TriggerCopyProgress(AStream* source, AStream* destination, int64_t bytesCopied, bool& abort) {
  if (OnCopyProgress) OnCopyProgress(source, destination, bytesCopied, abort);
}

bool AStream::AtEnd() { return GetPosition() >= GetSize(); }

void AStream::Assign(TPersistent* source) {
  if (!source) throw EStream("Invalid source");
  auto* stream = dynamic_cast<AStream*>(source);
  if (!stream) throw EStream("Assign not defined for source type");
  const auto progress = [this, stream](AStream* from, AStream* to, int64_t bytesCopied, bool& abort) {
    stream->TriggerCopyProgress(from, to, bytesCopied, abort);
    if (!abort) TriggerCopyProgress(from, to, bytesCopied, abort);
  };
  SetSize(CopyStream(stream, this, kDefaultCopyBlockSize, 0, 0, -1, progress, false));
}

void AStream::WriteExact(const char* buffer, int32_t count) { WriteBytes(buffer, count); }

void AStream::WriteText(const std::string& text) {
  WriteBytes(text.data(), static_cast<int64_t>(text.size()));
}

void AStream::WriteBytes(const char* buffer, int64_t count) {
  const auto write = [this](const char* bytes, int32_t n) { return Write(bytes, n); };
  if (!detail::WriteAll(write, buffer, count)) throw EStream("Write error");
}

// ---------------------------------------------------------------------------
// Copies

int64_t CopyReaderToWriter(AReader* reader, AWriterEx* writer, int32_t blockSize) {
  if (!reader) throw EStream("Invalid source");
  if (!writer) throw EStream("Invalid destination");
  if (blockSize <= 0) blockSize = kDefaultCopyBlockSize;
  const Block block = AllocateBlock(blockSize);
  int64_t total = 0;
  while (!reader->AtEnd()) {
    const int32_t n = reader->Read(block.get(), blockSize);
    if (n <= 0) {
      // A connection may only notice its end while reading.
      if (reader->AtEnd()) break;
      RaiseReadError();
    }
    writer->WriteExact(block.get(), n);
    total += n;
  }
  return total;
}

int64_t CopyStream(AStream* source, AStream* destination, int32_t blockSize, int64_t sourceOffset,
                   int64_t destinationOffset, int64_t count, const TCopyProgressEvent& progress,
                   bool backwards) {
  if (!source) throw EStream("Invalid source");
  if (!destination) throw EStream("Invalid destination");
  if (sourceOffset < 0 || destinationOffset < 0) throw EStream("Invalid offset");
  // Copying a stream onto a later part of itself up to its end would chase
  // its own growing end.
  if (source == destination && count < 0 && sourceOffset < destinationOffset) {
    throw EStream("Invalid parameters");
  }
  ReportProgress(progress, source, destination, 0);
  if (count == 0) return 0;
  if (blockSize <= 0) blockSize = kDefaultCopyBlockSize;
  if (count > 0 && count < blockSize) blockSize = static_cast<int32_t>(count);
  if (backwards && count < 0) throw EStream("Invalid count");
  const Block block = AllocateBlock(blockSize);
  return backwards ? CopyBackwards(source, destination, block.get(), blockSize, sourceOffset,
                                   destinationOffset, count, progress)
                   : CopyForwards(source, destination, block.get(), blockSize, sourceOffset,
                                  destinationOffset, count, progress);
}

}  // namespace vt

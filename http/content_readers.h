#pragma once

// Readers of a message body that follows a header on another reader (a
// connection), which stop where the body ends and never read past it.
//
// ThttpSizedContentReader delivers exactly the Content-Length bytes;
// ThttpChunkedContentReader decodes the chunked transfer coding of HTTP/1.1,
// optionally passing the chunk framing through unchanged (raw mode).
//
// Memory follows the bytes that arrive: neither reader reserves anything from
// a size the peer announced.
//
// Ownership and threading: both readers borrow the underlying reader (which
// must outlive them) unless told otherwise, and are used by one thread at a
// time.

#include <cstdint>
#include <string>
#include <vector>

#include "streams/reader.h"

namespace vt {

VT_EXCEPTION_CLASS(EChunkedContentReader, EReader);
// A chunked body whose framing breaks the coding's rules (the peer's fault,
// not the connection's): a server answers it with 400 and closes.
VT_EXCEPTION_CLASS(EChunkedContentFraming, EChunkedContentReader);

// A window of `size` bytes starting at the underlying reader's position. Its
// size is `size` itself, whatever the underlying reader holds, and it is at
// its end once `size` bytes have been read: a body cut short by the peer is
// not at its end, and the next Read gives 0 bytes (which the copy routines
// report as a read error).
class ThttpSizedContentReader : public TReaderProxy {
 public:
  ThttpSizedContentReader(AReaderEx* reader, bool readerOwner, int64_t size);

  int64_t GetSize() override;
  bool AtEnd() override;
};

// Decodes a chunked body. The first chunk header is read by the constructor.
// Without raw mode only the data bytes are delivered and the lines that
// follow the last chunk are kept in TrailerLines; in raw mode the bytes
// delivered are the chunked stream itself (size lines, data, line ends, last
// chunk and trailer), every line end written as CR LF.
//
// The framing is read strictly, so that it ends where every other reader of
// the same bytes (a proxy in front) sees it end: each line ends in LF or
// CR LF, the bytes after a chunk's data are exactly that line end, and a
// size line is one to sixteen hexadecimal digits (a size that fits 63 bits),
// then optional blanks and extensions after ";", which are ignored.
//
// Errors (EChunkedContentReader): "Read past EOF" for a Read at the end,
// "Stream read error" when the data ends (or the underlying reader stops
// delivering) before the body does. Broken framing raises
// EChunkedContentFraming: "Invalid chunk size", "Bytes after chunk data",
// "Bare CR in chunk framing", "Chunk framing line too long", "Too many
// trailer lines" (past kMaxTrailerLines).
class ThttpChunkedContentReader : public AReaderEx {
 public:
  // The longest size, end-of-data or trailer line, its line end included.
  // A longer one is refused: cut anywhere, its rest would be read as data.
  static constexpr int64_t kMaxLineLength = 4096;
  // The most trailer lines kept: a peer must not make the trailer list grow
  // without end. One more raises "Too many trailer lines".
  static constexpr int32_t kMaxTrailerLines = 100;

  ThttpChunkedContentReader(AReaderEx* reader, bool rawMode);

  // The bytes delivered so far.
  int64_t GetPosition() override;
  // Only the current position is accepted; anything else raises EReader
  // "SetPosition failed".
  void SetPosition(int64_t position) override;
  // The position once the body is at its end, else -1 (unknown).
  int64_t GetSize() override;
  int32_t Read(char* buffer, int32_t count) override;
  // The last chunk has been read and no framing text waits for delivery.
  bool AtEnd() override;

  bool RawMode() const { return raw_mode_; }
  // The non-empty lines after the last chunk, in order.
  const std::vector<std::string>& TrailerLines() const { return trailer_lines_; }

 private:
  // Reads a size line and, after the last chunk, the trailer.
  void ReadChunkHeader();
  // One framing line without its line end (see above); in raw mode the
  // line and CR LF are queued for delivery too. Empty when the data has
  // ended before it.
  std::string ReadFramingLine();

  AReaderEx* reader_;
  bool raw_mode_;
  int64_t chunk_consumed_ = 0;
  int64_t chunk_size_ = 0;
  bool last_chunk_ = false;
  std::vector<std::string> trailer_lines_;
  int64_t position_ = 0;
  std::string pending_raw_;
};

// The size a chunk size line announces: one or more hexadecimal digits at
// its start, then nothing but blanks (space, tab) before the end or a ";".
// -1 for any other line, and for a number beyond 2^63 - 1.
int64_t ParseChunkSizeLine(const std::string& line);

}  // namespace vt

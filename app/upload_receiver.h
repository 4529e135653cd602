#pragma once

// Receiving an upload's body into files of the upload folder: a PUT's body
// is one file, a form's multipart body one file per part with a file name
// (other parts, the form's fields, are read past and dropped).
//
// The body is read in blocks of kUploadReadBlock and each block goes to
// disk before the next is read: an upload holds that block and the
// multipart parser's few kilobytes, never the body. Files are named only
// once the whole body has arrived (a PUT's reader at its end; a form's
// closing boundary read and its reader at its end); until then they have no
// name, and an upload that fails anywhere leaves none of them.
//
// Failures: EUpload (app/upload_store.h) for a refusal of the upload
// itself, with 400 for a form body that cannot be read; the body reader's
// own exceptions (the body cut short, past its deadline, too large) pass
// through as they are.
//
// Threads: the request's worker.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "streams/reader.h"

namespace vt {

class TUploadFolder;

// Bytes read from the body at a time: large enough that a fast disk is
// written in few calls, small enough that an upload stays far under its
// memory bound (256 KiB) together with the parser's buffer.
inline constexpr std::int32_t kUploadReadBlock = 128 * 1024;

// Files of one form: each is an open file until the form has come whole.
// One more is refused (413).
inline constexpr std::size_t kMaxFormFiles = 100;

struct TStoredFile {
  std::string name;  // the name it got (a taken one numbered)
  std::int64_t size = 0;
};

struct TUploadJob {
  TUploadFolder* folder = nullptr;
  // The most bytes of one file.
  std::int64_t max_file_size = 0;
  // Told the body bytes read so far, after each block.
  std::function<void(std::int64_t)> progress;
};

// A PUT's body as the file `name`; the file stored.
TStoredFile ReceivePut(AReaderEx& body, const std::string& name, const TUploadJob& job);

// A form's multipart body with this boundary; the files stored, in the
// body's order (none when the form sent no file).
std::vector<TStoredFile> ReceiveForm(AReaderEx& body, std::string_view boundary, const TUploadJob& job);

}  // namespace vt

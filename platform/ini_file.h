#pragma once

// Settings files in the classic profile format:
//
//   ; comment
//   [Section]
//   Key=value
//
// Section and key names are matched without regard to ASCII case and with
// blanks around them ignored; the first section and the first key of a name
// win, as with the classic profile functions. Lines that are neither a
// section header nor a key (comments, blank lines, anything else) are kept
// as they are.
//
// Reading and writing
// - The file is read once, by the constructor. A missing file reads as
//   empty, so every Read* call gives its default.
// - A file that exists but cannot be read (no permission, a directory or a
//   FIFO in its place, an I/O error) also reads as empty, ReadFailed()
//   becomes true, and UpdateFile() refuses to replace it: writing defaults
//   over a file we could not read would lose the user's settings.
// - Write* calls change the in-memory copy only. UpdateFile() writes them
//   out in one atomic replacement (temporary file in the same directory,
//   fsync, rename): a crash leaves the old file or the new one, never half
//   a file. Saving many keys therefore costs one rewrite.
// - UpdateFile() reads the file again and applies the pending writes to
//   what is on disk now, so keys another program or the user changed
//   meanwhile survive, and every line the writes do not touch is kept
//   byte for byte (comments, unknown keys and sections, order, line ends).
// - The destructor saves pending writes as a last resort and ignores a
//   failure there; callers that care call UpdateFile() and handle EIniFile.
//
// Values
// - A value is the text after the first "=", with blanks around it removed;
//   one pair of matching double or single quotes around it is removed too.
//   WriteString quotes a value that would otherwise not read back as
//   written (blanks at either end, or quotes at both ends).
// - Integers are decimal with an optional sign, or hexadecimal after "0x" or
//   "0X" (at most 8 digits, read as the 32-bit pattern: "0xFFFFFFFF" is -1).
//   Anything else, or a value out of the 32-bit range, gives the default.
// - Booleans read as true when the value is an integer other than 0, and
//   are written as "1" and "0"; "true" or "yes" read as the default.
//
// Not thread-safe: one object belongs to one thread at a time.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/exception.h"

namespace vt {

// A save that failed, or a name or value that the format cannot hold.
VT_EXCEPTION_CLASS(EIniFile, Exception);

class TIniFile {
 public:
  // A name without "/" lives in the configuration directory
  // (GetConfigDirectory(): $XDG_CONFIG_HOME or ~/.config), as a profile name
  // without a folder does; any other path is used as given.
  explicit TIniFile(const std::string& file_name);
  ~TIniFile();
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  // The full path of the file.
  const std::string& FileName() const { return file_name_; }

  // True when the file existed but could not be read the last time it was
  // read (by the constructor or UpdateFile()).
  bool ReadFailed() const { return read_error_ != 0; }

  std::string ReadString(const std::string& section, const std::string& ident, const std::string& def) const;
  int32_t ReadInteger(const std::string& section, const std::string& ident, int32_t def) const;
  bool ReadBool(const std::string& section, const std::string& ident, bool def) const;
  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& ident) const;

  // Set a key, adding the section at the end of the file and the key after
  // the section's last key when they are not there. Raise EIniFile for a
  // name that the format cannot hold (empty, a line break, "]" in a section
  // name, "=" in a key, a key beginning with "[", ";" or "#", blanks at either
  // end) or a value with a line break; nothing is changed then.
  void WriteString(const std::string& section, const std::string& ident, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& ident, int32_t value);
  void WriteBool(const std::string& section, const std::string& ident, bool value);

  // Removes the key's line; true when the key was there.
  bool DeleteKey(const std::string& section, const std::string& ident);

  // True while writes are waiting for UpdateFile().
  bool Modified() const { return !pending_.empty(); }

  // Saves the pending writes atomically (see above); does nothing when there
  // are none. Raises EIniFile when the file cannot be read or written; the
  // file is then unchanged and the writes stay pending.
  void UpdateFile();

  // Parses a profile integer as described above; false when `text` is not one.
  static bool ParseInteger(const std::string& text, int32_t& value);

 private:
  struct Change {
    bool remove;
    std::string section, ident, value;
  };
  class Document;

  std::string file_name_;
  int read_error_ = 0;
  std::unique_ptr<Document> document_;
  std::vector<Change> pending_;
};

}  // namespace vt

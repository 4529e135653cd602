#pragma once

// TSettingsKeeper: the settings file, read at the start, read again when it
// changes, and saved.
//
// It remembers the values and the text the file held when last read or
// written. A reload that finds the same text does nothing; otherwise only
// the keys whose values changed in the file are taken over, so a change the
// program made itself and has not saved yet stays. A key the file no longer
// holds, or whose value is no number, changes nothing: a file caught
// between two writes of whoever makes it anew would otherwise turn the
// password off and publish the default folder. An empty value is a value:
// "AuthPasswordHash=" turns the password off. A save writes only the
// values that differ from what the file holds (and keys it lacks), so an
// edit the program has not seen yet, or a value that is no number, stays in
// the file as written (TWebServerSettings::SaveSettings).
//
// The file is watched through inotify on its folder, not on the file: a save
// (the program's or an editor's) replaces the file by a rename, which would
// end a watch of the file itself. The folder may not exist before the first
// save; the save starts the watch then. Only a finished file is read: one
// closed after writing, or renamed into place (FinishedSettingsEvent); its
// creation, or a write still under way, is no reason to read it.
//
// Settings given for this run only (TRunOptions) never reach the file: a
// save writes the file's own values for them, and a reload leaves them as
// the run set them.
//
// Threads: main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/settings.h"
#include "platform/event_queue.h"

namespace vt {

class TIniFile;

// The settings given on the command line for this run only: never saved.
struct TRunOptions {
  std::optional<std::string> PubDir;
  std::optional<std::int32_t> Port;
};

// True when an event of the folder watch (its inotify mask, and the name
// it concerns) says the file `file_name` in that folder is finished: closed
// after writing (IN_CLOSE_WRITE) or renamed into place (IN_MOVED_TO). A file
// just created, or still being written, may hold half of what is coming.
bool FinishedSettingsEvent(std::uint32_t mask, std::string_view event_name, std::string_view file_name);

class TSettingsKeeper {
 public:
  TSettingsKeeper();
  ~TSettingsKeeper();
  TSettingsKeeper(const TSettingsKeeper&) = delete;
  TSettingsKeeper& operator=(const TSettingsKeeper&) = delete;

  // Told what went wrong with the file, in words for the user.
  std::function<void(const std::string&)> OnError;

  // Opens the settings file (kSettingsFileName) and reads it: the file's
  // values, with the run's options over them. A file that cannot be read
  // gives the defaults with Active off (they would publish a folder the user
  // never chose), and is left as it is.
  TWebServerSettings Open(const TRunOptions& run);
  bool IsOpen() const { return ini_ != nullptr; }
  // Open found no settings file: the user is new, and was given
  // NewUserSettings().
  bool NewUser() const { return new_user_; }
  // Forgets the file (after the last save).
  void Close();
  // The file's full path; empty while not open.
  std::string FileName() const;

  // Reads the file again. When it holds changed values (or `always`): the
  // settings `current` with those values taken over (not those the run
  // set), and in `list` the changes as "Key=value, Key=value" (the password
  // in words, never its hash: SettingChangeText). None when
  // the file is as last read or written, cannot be read, has no settings
  // section (a file deleted, or between an editor's steps, takes nothing
  // away) or changed nothing that applies.
  std::optional<TWebServerSettings> Reload(bool always, const TWebServerSettings& current,
                                           const TRunOptions& run, std::string& list);

  // Writes `settings` (less the run's own values) to the file. False, with
  // OnError told, when that failed; the changes stay pending for the next
  // save.
  bool Save(const TWebServerSettings& settings, const TRunOptions& run);

  // Watches the file's folder; `window` gets kSettingsFileMessage when
  // something in it changed. Does nothing while watching, or before the
  // folder exists (the next save tries again).
  void Watch(HWindow window);
  void StopWatching();
  // Reads the watch's events: true when they concern the settings file.
  bool TakeEvents();

 private:
  // The text the file holds now.
  std::string FileText() const;
  // Tells OnError the values of `ini` that are no numbers; `again`: read
  // again, where they keep the values in use rather than the defaults.
  void ReportNotNumbers(const TIniFile& ini, bool again);
  void Report(const std::string& message);

  std::unique_ptr<TIniFile> ini_;
  bool new_user_ = false;
  // The values as the file held them when last read or written, and its text
  // then.
  TWebServerSettings file_settings_;
  std::string file_text_;
  HWindow window_ = 0;
  int watch_fd_ = -1;
};

}  // namespace vt

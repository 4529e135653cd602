#include "app/settings_keeper.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "app/messages.h"
#include "app/ready_message.h"
#include "platform/ini_file.h"

namespace vt {

namespace {

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What the folder watch asks for: see FinishedSettingsEvent.
constexpr std::uint32_t kWatchedEvents = IN_CLOSE_WRITE | IN_MOVED_TO;

}  // namespace

bool FinishedSettingsEvent(std::uint32_t mask, std::string_view event_name, std::string_view file_name) {
  return (mask & kWatchedEvents) != 0 && (mask & IN_ISDIR) == 0 && event_name == file_name;
}

TSettingsKeeper::TSettingsKeeper() = default;

TSettingsKeeper::~TSettingsKeeper() { StopWatching(); }

std::string TSettingsKeeper::FileName() const { return ini_ ? ini_->FileName() : std::string(); }

std::string TSettingsKeeper::FileText() const {
  return ini_ ? ReadWholeFile(ini_->FileName()) : std::string();
}

void TSettingsKeeper::Report(const std::string& message) {
  if (OnError) OnError(message);
}

TWebServerSettings TSettingsKeeper::Open(const TRunOptions& run) {
  ini_ = std::make_unique<TIniFile>(kSettingsFileName);
  // No file yet: a new user, whose file the first save writes. A file that
  // is there but cannot be read is no new user's.
  struct stat status {};
  new_user_ = ::stat(ini_->FileName().c_str(), &status) != 0 && errno == ENOENT;
  TWebServerSettings loaded;
  loaded.ReadSettings(*ini_, kSettingsSection, new_user_ ? NewUserSettings() : DefaultSettings());
  file_text_ = FileText();
  if (ini_->ReadFailed()) {
    // The defaults would publish a folder the user never chose, on a port
    // they never chose, where their own settings may say not to run at all.
    loaded.Active = false;
    Report("The settings file " + ini_->FileName() +
           " could not be read: the defaults are used, the server is not started, and the file is left as it "
           "is.");
  }
  ReportNotNumbers(*ini_, false);
  file_settings_ = loaded;
  if (run.PubDir) loaded.PubDir = *run.PubDir;
  if (run.Port) loaded.Port = *run.Port;
  return loaded;
}

void TSettingsKeeper::Close() { ini_.reset(); }

void TSettingsKeeper::ReportNotNumbers(const TIniFile& ini, bool again) {
  const std::vector<std::string> bad = SettingsNotNumbers(ini, kSettingsSection);
  if (bad.empty()) return;
  std::string list;
  for (const std::string& entry : bad) list += (list.empty() ? "" : ", ") + entry;
  Report("The settings file " + ini.FileName() + " has values that are no numbers: " + list + "; " +
         (again ? "the values in use stay" : "their defaults are used") +
         " until you set new values (the file keeps what you wrote).");
}

std::optional<TWebServerSettings> TSettingsKeeper::Reload(bool always, const TWebServerSettings& current,
                                                          const TRunOptions& run, std::string& list) {
  list.clear();
  if (!ini_) return std::nullopt;
  const std::string text = FileText();
  if (!always && text == file_text_) return std::nullopt;
  auto ini = std::make_unique<TIniFile>(ini_->FileName());
  if (ini->ReadFailed()) {
    Report("The settings file " + ini->FileName() + " could not be read again: the settings in use stay.");
    return std::nullopt;
  }
  file_text_ = text;
  // A missing file (deleted, or between an editor's steps) takes nothing
  // away: the next save writes it whole again. So does a missing key.
  if (!ini->SectionExists(kSettingsSection)) return std::nullopt;
  TWebServerSettings loaded;
  loaded.ReadSettings(*ini, kSettingsSection, file_settings_);
  ReportNotNumbers(*ini, true);
  const std::vector<std::string> changed = ChangedSettings(file_settings_, loaded);
  file_settings_ = loaded;
  ini_ = std::move(ini);

  TWebServerSettings settings = current;
  for (const std::string& key : changed) {
    if ((key == "PubDir" && run.PubDir) || (key == "Port" && run.Port)) continue;
    CopySetting(settings, loaded, key);
    list += (list.empty() ? "" : ", ") + SettingChangeText(current, settings, key);
  }
  if (list.empty()) return std::nullopt;
  return settings;
}

bool TSettingsKeeper::Save(const TWebServerSettings& current, const TRunOptions& run) {
  if (!ini_) return false;
  try {
    // The run's own values are not the file's: it keeps what it had.
    TWebServerSettings settings = current;
    if (run.PubDir) settings.PubDir = file_settings_.PubDir;
    if (run.Port) settings.Port = file_settings_.Port;
    settings.SaveSettings(*ini_, kSettingsSection, &file_settings_);
    ini_->UpdateFile();
    file_settings_ = settings;
    file_text_ = FileText();
    if (window_ != 0) Watch(window_);  // the first save may have made the folder
    return true;
  } catch (const Exception& error) {
    Report("The settings could not be saved: " + error.Message());
    return false;
  }
}

void TSettingsKeeper::Watch(HWindow window) {
  window_ = window;
  if (watch_fd_ >= 0 || !ini_) return;
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return;
  const std::string folder = FolderOf(ini_->FileName());
  if (::inotify_add_watch(fd, folder.c_str(), kWatchedEvents) < 0) {
    ::close(fd);  // no folder yet: the first save makes it, and tries again
    return;
  }
  if (WatchReadable(window, fd, kSettingsFileMessage)) watch_fd_ = fd;
}

void TSettingsKeeper::StopWatching() {
  EndWatch(watch_fd_);
  window_ = 0;
}

bool TSettingsKeeper::TakeEvents() {
  if (watch_fd_ < 0 || !ini_) return false;
  const std::string name = ini_->FileName().substr(FolderOf(ini_->FileName()).size());
  bool ours = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(watch_fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && FinishedSettingsEvent(event->mask, event->name, name)) ours = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return ours;
}

}  // namespace vt

#include "app/exposure_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "app/listen_on.h"
#include "app/request_path.h"
#include "app/settings.h"
#include "app/settings_environment.h"
#include "platform/ini_file.h"
#include "util/text.h"

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;
using FileId = std::pair<dev_t, ino_t>;

// How many entries pass between two looks at the clock and the cancel flag.
constexpr std::uint64_t kLookEvery = 256;
// How much of a .pem or .key file is read to see whether it holds a private key.
constexpr std::size_t kKeySniffBytes = 16384;

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// `path` is `folder` or lies below it (both canonical).
bool IsWithin(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                            path[folder.size()] == '/');
}

bool HoldsPrivateKey(int dir, const char* name) {
  const int fd = ::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  std::string head(kKeySniffBytes, '\0');
  const ssize_t got = ::read(fd, head.data(), head.size());
  ::close(fd);
  return got > 0 &&
         head.substr(0, static_cast<std::size_t>(got)).find("PRIVATE KEY-----") != std::string::npos;
}

bool LooksLikeSecret(int dir, const std::string& name) {
  std::string lower = name;
  AsciiLowerInPlace(lower);
  for (const char* exact : {"id_rsa", "id_dsa", "id_ecdsa", "id_ed25519", "id_ecdsa_sk", "id_ed25519_sk",
                            ".netrc", ".pgpass", ".git-credentials", ".htpasswd", ".env"}) {
    if (lower == exact) return true;
  }
  if (lower.rfind(".env.", 0) == 0 || lower.rfind("credentials", 0) == 0) return true;
  const std::string ext(FileExtOfPath(lower));
  if (ext == ".kdbx" || ext == ".p12" || ext == ".pfx") return true;
  return (ext == ".pem" || ext == ".key") && HoldsPrivateKey(dir, name.c_str());
}

std::string DurationText(std::chrono::milliseconds span) {
  return span.count() >= 1000 && span.count() % 1000 == 0 ? std::to_string(span.count() / 1000) + " s"
                                                          : std::to_string(span.count()) + " ms";
}

std::string Plural(std::uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The default documents a folder's address shows, in the order the server
// looks for them.
constexpr const char* kDefaultDocuments[] = {"index.html", "index.htm", "default.html", "default.htm"};

// The first default document of `folder`, or empty.
std::string DefaultDocumentOf(const std::string& folder) {
  for (const char* name : kDefaultDocuments) {
    struct stat file {};
    if (::stat((folder + "/" + name).c_str(), &file) == 0 && S_ISREG(file.st_mode)) return name;
  }
  return std::string();
}

// A size given in MiB as a reader says it: "100 MB", "4 GB", "1.5 GB".
std::string MiBText(std::int32_t mib) {
  if (mib < 1024) return std::to_string(mib) + " MB";
  const std::int32_t tenths = mib * 10 / 1024;
  return std::to_string(tenths / 10) + (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") + " GB";
}

// Where uploads go, as the user knows the folder ("~/Public/uploads").
std::string UploadPlace(const TExposureReport& report) {
  std::string folder = ShortenHomePath(report.PubDir);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  std::string below = report.UploadFolder;
  while (!below.empty() && below.front() == '/') below.erase(0, 1);
  while (!below.empty() && below.back() == '/') below.pop_back();
  return below.empty() ? folder : folder + "/" + below;
}

}  // namespace

void TFoundPaths::Add(std::string path) {
  ++Count;
  if (Shown.size() < kShown) Shown.push_back(std::move(path));
}

std::string TFoundPaths::Text() const {
  std::string text;
  for (const std::string& path : Shown) text += (text.empty() ? "" : ", ") + path;
  if (Count > Shown.size()) text += " and " + std::to_string(Count - Shown.size()) + " more";
  return text;
}

TExposureReport CheckExposure(const TExposureOptions& options) {
  TExposureReport report;
  report.PubDir = options.PubDir.empty() ? std::string(kEmptyPubDirBase) : options.PubDir;
  report.Audience = options.Audience;
  report.LocalOnly = options.LocalOnly;
  report.Password = options.Password;
  report.User = options.User;
  report.Listings = options.Listings;
  report.Uploads = options.Uploads;
  report.UploadFolder = options.UploadFolder;
  report.MaxUploadMiB = options.MaxUploadMiB;
  report.Https = options.Https;
  report.HttpsFingerprint = options.HttpsFingerprint;
  const std::string root = RealPath(report.PubDir);
  struct stat status {};
  if (root.empty() || ::stat(root.c_str(), &status) != 0) {
    report.Problem = "Published folder " + report.PubDir + " cannot be checked: " + std::strerror(errno);
    return report;
  }
  if (!S_ISDIR(status.st_mode)) {
    report.Problem = "Published folder " + report.PubDir + " is no folder";
    return report;
  }
  const char* home_variable = std::getenv("HOME");
  const std::string home = RealPath(!options.HomeDir.empty() ? options.HomeDir
                                    : home_variable          ? home_variable
                                                             : "");
  report.WholeFileSystem = root == "/";
  report.DefaultDocument = DefaultDocumentOf(root);
  report.WholeHome = !report.WholeFileSystem && !home.empty() && IsWithin(home, root);

  std::set<FileId> never;
  for (const std::string& path : options.NeverServed) {
    struct stat file {};
    if (::stat(path.c_str(), &file) == 0) never.emplace(file.st_dev, file.st_ino);
  }

  struct Folder {
    std::string path;  // relative to the root, empty for the root
    bool in_hidden;    // below a hidden folder (already reported)
  };
  std::vector<Folder> folders{{std::string(), false}};
  std::set<FileId> visited{{status.st_dev, status.st_ino}};
  const auto deadline = Clock::now() + options.TimeLimit;
  while (!folders.empty() && report.StoppedAt.empty()) {
    const Folder folder = std::move(folders.back());
    folders.pop_back();
    const std::string folder_path = folder.path.empty() ? root : root + "/" + folder.path;
    if (report.Folders.size() < TExposureReport::kWatchedFolders) report.Folders.push_back(folder_path);
    const int fd = ::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
      ::close(fd);
      continue;
    }
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (report.Entries >= options.EntryLimit) {
        report.StoppedAt = std::to_string(options.EntryLimit) + " entries";
        break;
      }
      if (++report.Entries % kLookEvery == 0) {
        if (options.Cancel && options.Cancel->load(std::memory_order_relaxed)) report.StoppedAt = "cancelled";
        if (Clock::now() >= deadline) report.StoppedAt = DurationText(options.TimeLimit);
        if (!report.StoppedAt.empty()) break;
      }
      const std::string path = folder.path.empty() ? name : folder.path + "/" + name;
      const bool hidden = name[0] == '.';
      if (hidden && !options.ServeHidden) {
        ++report.HiddenKept;
        continue;
      }
      struct stat file {};
      if (::fstatat(::dirfd(dir), name.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (hidden && !folder.in_hidden) report.HiddenServed.Add(S_ISDIR(file.st_mode) ? path + "/" : path);
      if (S_ISDIR(file.st_mode)) {
        if (visited.emplace(file.st_dev, file.st_ino).second)
          folders.push_back({path, folder.in_hidden || hidden});
        continue;
      }
      if (S_ISLNK(file.st_mode)) {
        const std::string target = RealPath(root + "/" + path);
        if (target.empty()) continue;  // leads nowhere
        if (!IsWithin(target, root)) report.OutsideLinks.Add(path + " -> " + target);
        // A folder behind a link is walked where it lies, or (outside) not at all.
        if (::stat(target.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) continue;
      } else if (!S_ISREG(file.st_mode)) {
        continue;
      }
      if (never.count({file.st_dev, file.st_ino}) != 0) continue;
      if (::faccessat(::dirfd(dir), name.c_str(), R_OK, 0) != 0) continue;  // the server could not read it
      ++report.Files;
      report.Bytes += static_cast<std::uint64_t>(file.st_size);
      if (LooksLikeSecret(::dirfd(dir), name)) report.Secrets.Add(path);
      if (options.ExecCGI && TextEqualFolded(FileExtOfPath(name), ".exe") &&
          ::faccessat(::dirfd(dir), name.c_str(), X_OK, 0) == 0)
        report.Programs.Add(path);
    }
    ::closedir(dir);
  }
  for (TFoundPaths* found : {&report.HiddenServed, &report.OutsideLinks, &report.Secrets, &report.Programs})
    std::sort(found->Shown.begin(), found->Shown.end());
  return report;
}

bool TExposureReport::Warns() const {
  return !Problem.empty() || WholeFileSystem || WholeHome || HiddenServed.Count > 0 ||
         OutsideLinks.Count > 0 || Secrets.Count > 0 || Programs.Count > 0 || (Uploads && !Password);
}

std::vector<std::string> TExposureReport::Warnings() const {
  if (!Problem.empty()) return {Problem};
  std::vector<std::string> warnings;
  if (WholeFileSystem) warnings.push_back("the whole file system is published");
  if (WholeHome) warnings.push_back("your home folder is published");
  if (Secrets.Count > 0)
    warnings.push_back(Plural(Secrets.Count, "secret-looking file", "secret-looking files"));
  if (HiddenServed.Count > 0)
    warnings.push_back(Plural(HiddenServed.Count, "hidden name", "hidden names") + " served");
  if (OutsideLinks.Count > 0)
    warnings.push_back(Plural(OutsideLinks.Count, "link", "links") + " out of the folder");
  if (Programs.Count > 0)
    warnings.push_back(Plural(Programs.Count, "program", "programs") + " run on request");
  if (Uploads && !Password) warnings.emplace_back("uploads without a password");
  return warnings;
}

std::string TExposureReport::Summary() const {
  if (!Problem.empty()) return Problem;
  std::string text = Audience;
  if (Password) text += ", with the password" + (User.empty() ? std::string() : " of user " + User) + ",";
  text += Listings ? " can list and read " : " can read ";
  text += (StoppedAt.empty() ? "" : "at least ") + Plural(Files, "file", "files") + " (" +
          ByteCountToText(false, static_cast<int64_t>(Bytes)) + ")";
  if (Uploads) text += " and upload files to " + UploadPlace(*this);
  if (Https) text += " over HTTPS";
  const std::vector<std::string> warnings = Warnings();
  if (warnings.empty()) return text + "; nothing to warn about";
  std::string joined;
  for (const std::string& warning : warnings) joined += (joined.empty() ? "" : ", ") + warning;
  return text + "; warning: " + joined;
}

std::vector<std::string> TExposureReport::Details() const {
  std::vector<std::string> lines{Summary()};
  if (!Problem.empty()) return lines;
  lines.push_back("Published folder: " + PubDir);
  if (!StoppedAt.empty())
    lines.push_back("The check stopped after " + StoppedAt + " (" + std::to_string(Entries) +
                    " entries looked at): there may be more than it says.");
  if (WholeFileSystem) lines.push_back("Warning: the published folder is the root of the file system.");
  if (WholeHome) lines.push_back("Warning: the published folder is your home folder or holds it.");
  if (Secrets.Count > 0)
    lines.push_back("Warning: " + Plural(Secrets.Count, "file looks", "files look") +
                    " like a secret (keys, passwords, credentials): " + Secrets.Text());
  if (HiddenServed.Count > 0)
    lines.push_back("Warning: hidden files and folders are served (ServeHiddenFiles is on): " +
                    HiddenServed.Text());
  if (OutsideLinks.Count > 0)
    lines.push_back("Warning: " + Plural(OutsideLinks.Count, "symbolic link leads", "symbolic links lead") +
                    " out of the published folder (the server follows them): " + OutsideLinks.Text());
  if (Programs.Count > 0)
    lines.push_back("Warning: " + Plural(Programs.Count, "program runs", "programs run") +
                    " on request (ExecEXEAsCGI is on): " + Programs.Text());
  if (Uploads && !Password)
    lines.push_back(
        "Warning: visitors can upload files without a password (AllowUploads is on): anyone who "
        "can reach the server can fill the disk or leave files in " +
        UploadPlace(*this) + ".");
  lines.push_back(VisitorsText(*this) + ".");
  lines.push_back(UploadsText(*this) + ".");
  lines.push_back(HttpsText(*this) + ".");
  if (HiddenKept > 0)
    lines.push_back(Plural(HiddenKept, "hidden file or folder is", "hidden files and folders are") +
                    " not served (ServeHiddenFiles is off).");
  if (!Warns()) lines.push_back("Nothing to warn about.");
  return lines;
}

std::string VisitorsText(const TExposureReport& report) {
  if (!report.Problem.empty()) return std::string();
  if (report.Listings) return "Visitors see a list of the files";
  std::string folder = ShortenHomePath(report.PubDir);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!report.DefaultDocument.empty())
    return "Visitors see " + (folder == "/" ? folder : folder + "/") + report.DefaultDocument;
  return "Visitors need exact addresses: " + folder + " has no index.html and folder listings are off";
}

std::string UploadsText(const TExposureReport& report) {
  if (!report.Uploads) return "Visitors cannot upload files";
  std::string text = "Visitors can upload files";
  if (report.MaxUploadMiB > 0) text += " of up to " + MiBText(report.MaxUploadMiB);
  text += " into " + UploadPlace(report);
  if (!report.Password) text += "; anyone can: there is no password";
  return text;
}

std::string HttpsText(const TExposureReport& report) {
  if (report.Https)
    return "HTTPS on" + (report.HttpsFingerprint.empty() ? std::string()
                                                         : " (fingerprint " + report.HttpsFingerprint + ")");
  if (report.LocalOnly) return "HTTP only: nothing leaves this computer";
  return std::string("HTTP only: anyone on your network can read what you share") +
         (report.Password ? ", and the password" : "");
}

TExposureOptions ExposureOptionsOf(const TWebServerSettings& settings) {
  TExposureOptions options;
  options.PubDir = settings.PubDir;
  options.ServeHidden = settings.ServeHiddenFiles;
  options.ExecCGI = settings.ExecEXEAsCGI;
  options.Audience = AudienceOf(settings.ListenOn);
  // Only loopback addresses: the audience says so.
  options.LocalOnly = options.Audience == "Only this computer";
  options.Password = !settings.AuthPasswordHash.empty();
  options.User = settings.AuthUser;
  options.Listings = settings.ListFolders;
  options.Uploads = settings.AllowUploads;
  options.UploadFolder = settings.UploadFolder;
  options.MaxUploadMiB = settings.MaxUploadSize;
  options.Https = settings.HTTPS;
  return options;
}

TExposureOptions ExposureOptionsFromSettings(const std::string& folder, const std::string& access_log) {
  const TIniFile ini(kSettingsFileName);
  TWebServerSettings settings;
  settings.LoadSettings(ini, kSettingsSection);
  TExposureOptions options = ExposureOptionsOf(settings);
  if (!folder.empty()) options.PubDir = folder;
  options.NeverServed = {ini.FileName(), access_log};
  return options;
}

int RunExposureCheckCommand(const std::string& folder, const std::string& access_log, std::FILE* out) {
  const TExposureReport report = CheckExposure(ExposureOptionsFromSettings(folder, access_log));
  for (const std::string& line : report.Details()) std::fprintf(out, "%s\n", line.c_str());
  return report.Warns() ? 1 : 0;
}

}  // namespace vt

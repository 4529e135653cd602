#pragma once

// The exposure check: what a published folder gives away to whoever can
// reach the server.
//
// It walks the folder as the server would serve it and reports:
// - how many files (and bytes) can be read: regular files this program may
//   read, hidden ones only when they are served, the server's own settings
//   file and access log never;
// - hidden files and folders that are served (when ServeHiddenFiles is on),
//   or how many are kept back (when it is off);
// - symbolic links that lead out of the folder (the server follows them, as
//   other servers do; what lies behind one is not walked);
// - files that look like secrets: private keys (id_rsa and its kin, *.pem
//   and *.key files holding a private key, *.p12, *.pfx), .env files,
//   password databases (*.kdbx), credentials*, .netrc, .pgpass,
//   .git-credentials, .htpasswd;
// - with CGI on, the .exe files that would run as programs on request;
// - a published folder that is the root of the file system, the home
//   folder or a folder holding it;
// - uploads without a password (anyone who reaches the server can fill
//   the disk or plant files).
// Beside the files it says what a visitor meets: whether the password is
// asked (and for which user name), whether folders are listed or the
// folder has a default document, where uploads go, and whether HTTPS is
// on (VisitorsText, UploadsText, HttpsText).
// The walk is bounded in time and in entries: a report that stopped early
// says so, and its figures are then lower bounds.
//
// Threads: CheckExposure is a pure function of its options and the file
// system; any thread (the application runs it on a worker of its own).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vt {

struct TExposureOptions {
  std::string PubDir;
  bool ServeHidden = false;
  bool ExecCGI = true;
  // Files never served (the settings file, the access log).
  std::vector<std::string> NeverServed;
  // Who can reach the server, as the start of the summary: "Anyone who can
  // reach this computer", "Only this computer".
  std::string Audience = "Anyone who can reach this computer";
  // Nobody but this computer can connect (ListenOn=local, or a loopback
  // address): nothing crosses the network.
  bool LocalOnly = false;
  // What a visitor meets: the password (and its user name; empty: any
  // name), folder listings, uploads (into UploadFolder, relative to the
  // published folder; empty: that folder itself; at most MaxUploadMiB a
  // file), HTTPS (its certificate's fingerprint; empty: not known).
  bool Password = false;
  std::string User;
  bool Listings = false;
  bool Uploads = false;
  std::string UploadFolder;
  std::int32_t MaxUploadMiB = 0;
  bool Https = false;
  std::string HttpsFingerprint;
  // The home folder; empty: $HOME.
  std::string HomeDir;
  std::chrono::milliseconds TimeLimit{2000};
  std::size_t EntryLimit = 100000;
  // Set by another thread to end the walk at once (a report that stopped
  // early).
  const std::atomic<bool>* Cancel = nullptr;
};

// A list of paths (relative to the published folder) that keeps the first
// kShown and counts the rest.
struct TFoundPaths {
  static constexpr std::size_t kShown = 20;
  std::vector<std::string> Shown;
  std::size_t Count = 0;
  void Add(std::string path);
  // "a, b, c and 4 more"
  std::string Text() const;
};

struct TExposureReport {
  // The folders of the walk (absolute, the published folder first) that a
  // watch on the folder's content may cover; at most kWatchedFolders.
  static constexpr std::size_t kWatchedFolders = 256;

  std::string PubDir;
  // The folder cannot be checked (missing, not a folder, unreadable): why.
  std::string Problem;
  std::string Audience;
  std::uint64_t Files = 0;
  std::uint64_t Bytes = 0;
  std::uint64_t Entries = 0;  // directory entries looked at
  // The walk ended at a bound: "2 s", "100000 entries", "cancelled".
  std::string StoppedAt;
  bool WholeFileSystem = false;  // the folder is "/"
  bool WholeHome = false;        // the folder is the home folder or holds it
  TFoundPaths HiddenServed;
  std::uint64_t HiddenKept = 0;
  TFoundPaths OutsideLinks;  // "link -> target"
  TFoundPaths Secrets;
  TFoundPaths Programs;
  // The published folder's default document (index.html, index.htm,
  // default.html or default.htm), which its address shows; empty: none.
  std::string DefaultDocument;
  std::vector<std::string> Folders;
  // What the options said a visitor meets (TExposureOptions).
  bool LocalOnly = false;
  bool Password = false;
  std::string User;
  bool Listings = false;
  bool Uploads = false;
  std::string UploadFolder;
  std::int32_t MaxUploadMiB = 0;
  bool Https = false;
  std::string HttpsFingerprint;

  // Anything to warn about (a folder that cannot be checked included).
  bool Warns() const;
  // The warnings in a few words each ("2 secret-looking files", "1 link
  // out of the folder"); the problem alone when the folder cannot be
  // checked.
  std::vector<std::string> Warnings() const;
  // One short line: "Anyone who can reach this computer can read 12 files
  // (3.4 Kb); warning: ...", with the password ("..., with the password of
  // user ann, can read ..."), listings ("can list and read"), uploads
  // ("... and upload files to uploads") and HTTPS (" over HTTPS") in it.
  std::string Summary() const;
  // The whole report, one line each, the summary first.
  std::vector<std::string> Details() const;
};

TExposureReport CheckExposure(const TExposureOptions& options);

// What a visitor sees at the folder's address: "Visitors see a list of the
// files", "Visitors see ~/Public/index.html", or "Visitors need exact
// addresses: ~/Public has no index.html and folder listings are off".
// Empty when the folder cannot be checked.
std::string VisitorsText(const TExposureReport& report);
// Uploads in plain words: "Visitors cannot upload files", or "Visitors can
// upload files of up to 4 GB into ~/Public/uploads", with "; anyone can:
// there is no password" while no password is asked.
std::string UploadsText(const TExposureReport& report);
// "HTTPS on (fingerprint AB:CD:...)", or "HTTP only: anyone on your network
// can read what you share" (", and the password" while one is set; "HTTP
// only: nothing leaves this computer" while only this computer connects).
std::string HttpsText(const TExposureReport& report);

struct TWebServerSettings;

// The options of a configuration: its folder, hidden files, CGI, where it
// listens, the password, listings, uploads and HTTPS (the fingerprint is
// the caller's to add).
TExposureOptions ExposureOptionsOf(const TWebServerSettings& settings);

// The options of the running configuration: the settings file's PubDir
// (or `folder` when given), ServeHiddenFiles, ExecEXEAsCGI and ListenOn;
// the settings file and `access_log` are never served.
TExposureOptions ExposureOptionsFromSettings(const std::string& folder, const std::string& access_log);

// veltrana-webserver --check [FOLDER]: prints the report of the settings'
// published folder (or FOLDER) on `out`; returns the exit status: 0 when
// there is nothing to warn about, 1 otherwise.
int RunExposureCheckCommand(const std::string& folder, const std::string& access_log, std::FILE* out);

}  // namespace vt

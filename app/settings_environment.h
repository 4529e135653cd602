#pragma once

// What the settings and their messages need to know about this user and
// this machine: the defaults that make a normal user's first run work, where
// the access log goes, and who holds a port.
//
// Defaults
// - The published directory is the user's public-share folder of the XDG
//   user directories (XDG_PUBLICSHARE_DIR in $XDG_CONFIG_HOME/user-dirs.dirs,
//   the file xdg-user-dir reads), else ~/Public. An entry that names the
//   home folder itself means "not set" there: publishing the whole home
//   folder is never a default.
// - The port is 80 where this process may bind it (the capability
//   CAP_NET_BIND_SERVICE, which root has, or a system that lets everyone
//   bind from port 80 up: net.ipv4.ip_unprivileged_port_start), else 8080.
//
// Every function reads the environment and /proc at each call; any thread.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vt {

// The port used when port 80 may not be bound.
inline constexpr std::int32_t kUnprivilegedDefaultPort = 8080;

// $HOME, else the home folder of the user database; without a trailing "/".
std::string HomeDirectory();

// The XDG public-share folder (see above); without a trailing "/".
std::string PublicShareDirectory();

// True when this process may bind TCP ports below 1024 (80 in particular).
bool CanBindPrivilegedPorts();

// 80 or kUnprivilegedDefaultPort (see above).
std::int32_t DefaultPort();

// The access log "webserver.log": in the program's own folder when that is a
// folder of the user's that they may write to (a build tree), else in
// $XDG_STATE_HOME/veltrana/ (default ~/.local/state/veltrana/). An
// installed program's folder (below /usr or /opt) never counts as the
// user's, even for root.
std::string DefaultAccessLogFileName();

// `path` with the home folder written as "~" ("~/Public"); other paths as
// they are.
std::string ShortenHomePath(const std::string& path);

// True when `path` names a folder (following links).
bool DirectoryExists(const std::string& path);

// The folder a PubDir value publishes: an empty value means "/inetpub/".
std::string PublishedDirectoryOf(const std::string& pub_dir);

// A process that listens on a TCP port.
struct TPortHolder {
  pid_t pid = 0;
  std::string name;  // its command name (/proc/<pid>/comm); empty if unknown
};

// The process listening on TCP `port` (IPv4 or IPv6), when one is found
// among those this user may look at; none otherwise.
std::optional<TPortHolder> FindPortHolder(std::uint16_t port);

// The first IPv4 address of an interface that is up and no loopback, as
// text ("192.168.1.20"); "127.0.0.1" when there is none.
std::string PrimaryAddress();

}  // namespace vt

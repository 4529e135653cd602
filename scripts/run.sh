#!/usr/bin/env bash
# Runs Veltrana Web Server on the demo site at http://127.0.0.1:8080/.
#
#   scripts/run.sh                         the demo site on its saved port
#   PORT=9000 FOLDER=~/site scripts/run.sh another folder and port, for this
#                                          run only (not saved)
#
# On a fresh Debian machine it installs what the build needs, builds the
# program and the demo site (build/demo-site: demo/site plus the compiled
# CGI examples), and starts the server with a settings folder of its own,
# .run/config/ (filled on first use: PubDir = the demo site, Port = 8080).
# Your own settings in ~/.config are never touched.
#
# On a desktop (DISPLAY or WAYLAND_DISPLAY set) the program shows its status
# window and tray icon; elsewhere it runs headless. Either way Ctrl+C ends
# it (as Exit does: the settings are saved).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# shellcheck source=scripts/lib/install.sh
source scripts/lib/install.sh
vt_install_packages cmake ninja-build g++ pkg-config libsodium-dev libarchive-dev libssl-dev libgtest-dev libgmock-dev media-types qt6-base-dev libxcb1-dev libqrencode-dev \
  librsvg2-bin fonts-dejavu-core

cmake --preset default >/dev/null
cmake --build --preset default --target veltrana-webserver demo_site

config_dir="$root/.run/config"
settings="$config_dir/vtWebServer.ini"
if [ ! -f "$settings" ]; then
  mkdir -p "$config_dir"
  printf '[WebServer]\nPubDir=%s\nPort=8080\n' "$root/build/demo-site" >"$settings"
fi
port=$(sed -n 's/^[[:space:]]*[Pp][Oo][Rr][Tt][[:space:]]*=[[:space:]]*\([0-9]*\).*/\1/p' "$settings" | head -n 1)

# PORT and FOLDER reach the program as its command line: this run only.
args=()
if [ -n "${FOLDER:-}" ]; then
  [ -d "$FOLDER" ] || { echo "FOLDER=$FOLDER is no folder" >&2; exit 2; }
  args+=("$FOLDER")
fi
if [ -n "${PORT:-}" ]; then
  args+=(--port "$PORT")
  port=$PORT
fi

echo
echo "Veltrana Web Server: open http://127.0.0.1:${port:-80}/"
echo "  publishing: ${FOLDER:-the folder in the settings (the demo site)}"
echo "  settings:   $settings (read again whenever you save it)"
echo "  access log: $root/build/bin/webserver.log"
export XDG_CONFIG_HOME="$config_dir"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "  With its windows: the status window and the tray icon (Exit or Ctrl+C ends it)."
  echo "  (Should Qt fail to open the display, the program says so and runs headless.)"
  echo
  exec build/bin/veltrana-webserver "${args[@]}"
fi
echo "  Headless: no display here (DISPLAY and WAYLAND_DISPLAY are unset). Ctrl+C stops the server."
echo
exec build/bin/veltrana-webserver --headless "${args[@]}"

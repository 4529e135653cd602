#!/usr/bin/env bash
# Soak run: the normal build of veltrana-webserver under wrk on 127.0.0.1 for
# several minutes with 64 kept-alive connections, then as long again with a
# new connection per request ("Connection: close"). Its memory (VmRSS) and
# open descriptors are sampled every 10 s. Prints a summary; exits non-zero
# on any socket error, any answer other than 2xx, a server that died,
# memory or descriptors that grew from minute 1 to the end of a phase by
# more than a small slack, or descriptors left open once the load is gone.
#
#   scripts/soak.sh                  3 minutes a phase
#   SOAK_MINUTES=10 scripts/soak.sh  minutes a phase (whole minutes; 1 is a smoke run)
#   SOAK_RSS_SLACK_KB=8192           allowed growth of VmRSS (default 4096 KiB)
#   SOAK_FD_SLACK=8                  allowed growth of descriptors (default 8:
#                                    connections in flight come and go)
#   BUILD=0                          use build/bin/veltrana-webserver as it is
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

minutes=${SOAK_MINUTES:-3}
rss_slack=${SOAK_RSS_SLACK_KB:-4096}
fd_slack=${SOAK_FD_SLACK:-8}
[[ $minutes =~ ^[1-9][0-9]*$ ]] || { echo "SOAK_MINUTES must be a positive whole number" >&2; exit 2; }

# shellcheck source=scripts/lib/install.sh
source scripts/lib/install.sh
vt_install_packages wrk procps python3
if [ "${BUILD:-1}" = 1 ]; then
  vt_install_packages cmake ninja-build g++ pkg-config libsodium-dev libarchive-dev libssl-dev qt6-base-dev libxcb1-dev libqrencode-dev media-types
  cmake --preset default >/dev/null
  cmake --build --preset default --target veltrana-webserver
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vt-soak.XXXXXX")
pid=""
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A copy of the program, so that its access log (a line per request) goes
# away with the temporary folder.
mkdir -p "$tmp/bin" "$tmp/config" "$tmp/www"
cp build/bin/veltrana-webserver "$tmp/bin/"
head -c 1024 /dev/urandom >"$tmp/www/1k.bin"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[WebServer]\nActive=1\nPubDir=%s\nPort=%s\nLogToFile=1\n' "$tmp/www" "$port" >"$tmp/config/vtWebServer.ini"
XDG_CONFIG_HOME=$tmp/config "$tmp/bin/veltrana-webserver" --headless 2>"$tmp/server.log" </dev/null &
pid=$!
for ((i = 0; i < 150; i++)); do
  grep -q "Active on port $port" "$tmp/server.log" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
grep -q "Active on port $port" "$tmp/server.log" || { cat "$tmp/server.log" >&2; echo "the server did not start" >&2; exit 1; }

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; }
fds() { find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l; }

status=0
summary=""
fail() {
  summary+="  FAILED: $1"$'\n'
  status=1
}

# phase NAME WRK-OPTIONS...: wrk for the phase's minutes, samples beside it.
phase() {
  local name=$1
  shift
  local out=$tmp/wrk-$name.txt samples=$tmp/samples-$name.txt
  echo "=== $name: wrk -t2 -c64 -d${minutes}m $* http://127.0.0.1:$port/1k.bin"
  : >"$samples"
  timeout -k 10 $((minutes * 60 + 60)) wrk -t2 -c64 -d"${minutes}m" --timeout 10s "$@" \
    "http://127.0.0.1:$port/1k.bin" >"$out" 2>&1 &
  local wrk_pid=$! t=0
  while kill -0 "$wrk_pid" 2>/dev/null; do
    sleep 10 # the sampling period
    t=$((t + 10))
    kill -0 "$wrk_pid" 2>/dev/null || break # samples are taken under load only
    kill -0 "$pid" 2>/dev/null || break
    printf '%d %d %d\n' "$t" "$(rss)" "$(fds)" | tee -a "$samples"
  done
  local wrk_status=0
  wait "$wrk_pid" || wrk_status=$?
  cat "$out"
  kill -0 "$pid" 2>/dev/null || { fail "$name: the server died"; return; }
  [ "$wrk_status" = 0 ] || fail "$name: wrk ended with status $wrk_status"

  local requests errors non2xx
  requests=$(awk '/requests in/ { print $1 }' "$out")
  errors=$(awk '/Socket errors/ { n = 0; for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+,?$/) n += $i; print n }' "$out")
  non2xx=$(awk '/Non-2xx/ { print $NF }' "$out")
  [ -n "${errors:-}" ] && [ "$errors" != 0 ] && fail "$name: $errors socket errors"
  [ -n "${non2xx:-}" ] && fail "$name: $non2xx answers not 2xx"
  [ -n "${requests:-}" ] || fail "$name: no request count in wrk's output"

  # Minute 1 against the last minute. Under load both counts move with the
  # requests in flight (each holds its file open, each new connection its
  # socket and its worker's queue), so a window's lowest value at the end
  # is held against the highest of minute 1: growth that outlasts the noise.
  [ -s "$samples" ] || { fail "$name: no samples"; return; }
  local end
  end=$(tail -n 1 "$samples" | cut -d' ' -f1)
  read -r rss1 fd1 < <(awk '$1 >= 60 && $1 < 120 { if ($2 > r) r = $2; if ($3 > f) f = $3 }
    END { print r + 0, f + 0 }' "$samples")
  if [ "$rss1" = 0 ]; then # a smoke run shorter than that: its first sample
    read -r _ rss1 fd1 < <(head -n 1 "$samples")
  fi
  read -r rss2 fd2 < <(awk -v from=$((end - 50)) '$1 >= from { if (!n++ || $2 < r) r = $2; if (n == 1 || $3 < f) f = $3 }
    END { print r, f }' "$samples")
  summary+="  $name: ${requests:-?} requests, socket errors ${errors:-0}, non-2xx ${non2xx:-0};"
  summary+=" RSS ${rss1} -> ${rss2} KiB, fds ${fd1} -> ${fd2} (highest in minute 1 -> lowest in the last)"$'\n'
  ((rss2 - rss1 <= rss_slack)) || fail "$name: RSS grew by $((rss2 - rss1)) KiB (slack $rss_slack)"
  ((fd2 - fd1 <= fd_slack)) || fail "$name: descriptors grew by $((fd2 - fd1)) (slack $fd_slack)"
}

idle() { # once the load has gone: every descriptor of the phase is closed again
  local name=$1 want=$2 i
  for ((i = 0; i < 100; i++)); do
    [ "$(fds)" -le "$want" ] && break
    sleep 0.1
  done
  summary+="  idle after $name: RSS $(rss) KiB, fds $(fds)"$'\n'
  (($(fds) <= want)) || fail "$name: $(fds) descriptors once idle, $want before"
}

base_fds=$(fds)
summary+="  at start: RSS $(rss) KiB, fds $base_fds"$'\n'
phase keep-alive
# The access log stays open from the first request, and the check of files
# never served keeps a handle on the log's identity from then on: two more.
idle keep-alive $((base_fds + 2))
phase close -H "Connection: close"
idle close $((base_fds + 2))

kill -TERM "$pid"
exit_status=0
wait "$pid" || exit_status=$?
pid=""
[ "$exit_status" = 0 ] || fail "the server ended with status $exit_status after SIGTERM"
log_lines=$(wc -l <"$tmp/bin/webserver.log" 2>/dev/null || echo 0)
summary+="  access log: $log_lines lines; server log (stderr): $(wc -l <"$tmp/server.log") lines"$'\n'

echo
echo "=== soak summary ($minutes min a phase, 64 connections, 127.0.0.1)"
printf '%s' "$summary"
[ $status = 0 ] && echo "  PASSED" || echo "  FAILED"
exit $status

#!/usr/bin/env bash
# The ceiling of our threading model, measured beside the peers: a 60-line program
# with the same model (bench/model/worker_per_connection.c: the main thread accepts, a
# pooled worker per connection, a file opened and sent by sendfile per request, no log),
# nginx, lighttpd and veltrana-webserver, side by side in one run, for points (a) 1 KiB
# keep-alive, (b) 1 KiB with a new connection per request and (d) 100 KiB keep-alive
# (wrk -t2 -c64), rounds interleaved. Prints the medians, our share of the model and the
# model's share of the better peer.
#
#   bench/model.sh [PROGRAM [SECONDS [ROUNDS]]]   (build-release/bin/veltrana-webserver 5 3)
#
# Needs gcc, wrk, nginx and lighttpd (bench/run.sh installs them). Loopback only; every
# process it starts is ended by its pid.
set -u
here=$(cd "$(dirname "$0")" && pwd)
prog=$(readlink -f "${1:-$here/../build-release/bin/veltrana-webserver}")
secs=${2:-5} rounds=${3:-3}
[ -x "$prog" ] || { echo "$prog: not built (cmake --preset release && cmake --build --preset release)" >&2; exit 1; }
work=$(mktemp -d) pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
port() { python3 "$here/benchtool.py" free-port; }

gcc -O2 -Wall -o "$work/model" "$here/model/worker_per_connection.c" -lpthread || exit 1
mkdir -p "$work/root" "$work/cfg" "$work/lt" "$work/ng/tmp"
chmod 755 "$work"
head -c 1024 /dev/urandom >"$work/root/1k.bin"
head -c 102400 /dev/urandom >"$work/root/100k.bin"
declare -A ports=([model]=$(port) [nginx]=$(port) [lighttpd]=$(port) [ours]=$(port))
cat >"$work/lt/lighttpd.conf" <<EOT
server.modules = ("mod_access", "mod_accesslog", "mod_staticfile")
server.document-root = "$work/root"
server.bind = "127.0.0.1"
server.port = ${ports[lighttpd]}
server.errorlog = "$work/lt/error.log"
accesslog.filename = "$work/lt/access.log"
mimetype.assign = (".bin" => "application/octet-stream")
EOT
user=""
[ "$(id -u)" -eq 0 ] && user="user $(id -un) $(id -gn);"
sed -e "s|@USER@|$user|" -e "s|@DIR@|$work/ng|g" -e "s|@PORT@|${ports[nginx]}|" -e "s|@DOCROOT@|$work/root|" \
  -e 's|@LIMIT_RATE@||' "$here/conf/nginx.conf.in" >"$work/ng/nginx.conf"
printf '[WebServer]\nActive=1\nPubDir=%s\nPort=%s\nLogToFile=1\nListenOn=127.0.0.1\n' \
  "$work/root" "${ports[ours]}" >"$work/cfg/vtWebServer.ini"
mkdir -p "$work/bin" && cp "$prog" "$work/bin/"

"$work/model" "${ports[model]}" "$work/root" & pids+=($!)
nginx -c "$work/ng/nginx.conf" -g 'daemon off;' </dev/null >/dev/null 2>&1 & pids+=($!)
lighttpd -D -f "$work/lt/lighttpd.conf" </dev/null >/dev/null 2>&1 & pids+=($!)
XDG_CONFIG_HOME="$work/cfg" "$work/bin/$(basename "$prog")" --headless 2>"$work/ours.log" & pids+=($!)
sleep 1

declare -A all
for r in $(seq "$rounds"); do
  for point in a b d; do
    path=/1k.bin extra=()
    [ $point = d ] && path=/100k.bin
    [ $point = b ] && extra=(-H 'Connection: close')
    for name in model nginx lighttpd ours; do
      out=$(wrk -t2 -c64 -d"${secs}s" "${extra[@]}" "http://127.0.0.1:${ports[$name]}$path")
      rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
      grep -q 'Non-2xx' <<<"$out" && rps="0 (errors)"
      echo "round $r  ($point) $name  ${rps:-failed}"
      all[$point-$name]+="${rps%% *} "
    done
  done
done
median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo
printf '%-6s %10s %10s %10s %10s %11s %17s\n' point model nginx lighttpd ours 'ours/model' 'model/better peer'
for point in a b d; do
  m=$(echo "${all[$point-model]}" | median) n=$(echo "${all[$point-nginx]}" | median)
  l=$(echo "${all[$point-lighttpd]}" | median) o=$(echo "${all[$point-ours]}" | median)
  printf '%-6s %10s %10s %10s %10s %11s %17s\n' "($point)" "$m" "$n" "$l" "$o" \
    "$(awk -v a="$o" -v b="$m" 'BEGIN {if (b > 0) printf "%.2f", a / b}')" \
    "$(awk -v a="$m" -v n="$n" -v l="$l" 'BEGIN {b = n > l ? n : l; if (b > 0) printf "%.2f", a / b}')"
done

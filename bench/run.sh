#!/usr/bin/env bash
# Side-by-side benchmark of veltrana-webserver against nginx and lighttpd on
# 127.0.0.1, one server after the other, with wrk. Prints one table (our
# figure, each peer's, our ratio to each) and writes it to bench/results/.
#
#   bench/run.sh            full run: 10 s a point, 3 repetitions, medians
#   QUICK=1 bench/run.sh    smoke run: 2 s a point, 1 repetition, 10 MiB large file
#
# Knobs (environment): QUICK, DURATION (s a point), REPS, LARGE_MIB,
# THROTTLE_SECONDS, ARCHIVE_MIB, UPLOAD_MIB, SERVERS ("veltrana nginx lighttpd"), POINTS ("a b c d e f g h i j k l m n o p"),
# INSTALL=0 (install nothing), BUILD=0 (no release build), VELTRANA_BIN (the
# program to measure), RESULTS_DIR, KEEP_TMP=1 (keep configs, logs, wrk output).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
cd "$root"
PATH=$PATH:/usr/sbin:/sbin # nginx and lighttpd live there
tool() { python3 "$here/benchtool.py" "$@"; }

knobs="QUICK DURATION REPS LARGE_MIB THROTTLE_SECONDS ARCHIVE_MIB UPLOAD_MIB SERVERS POINTS INSTALL BUILD VELTRANA_BIN RESULTS_DIR KEEP_TMP"
if [ -z "${VT_BENCH_RERUN+x}" ]; then
  VT_BENCH_RERUN=""
  for k in $knobs; do
    [ -n "${!k+x}" ] || continue
    v=${!k}
    # shellcheck disable=SC2089 # the quotes are for the reader of the printed command
    [[ $v =~ ^[A-Za-z0-9_./:,+=-]*$ ]] || v="'${v//\'/\'\\\'\'}'"
    VT_BENCH_RERUN+="$k=$v "
  done
  # shellcheck disable=SC2090
  export VT_BENCH_RERUN
fi

QUICK=${QUICK:-0}
if [ "$QUICK" = 1 ]; then
  DURATION=${DURATION:-2} REPS=${REPS:-1} LARGE_MIB=${LARGE_MIB:-10} THROTTLE_SECONDS=${THROTTLE_SECONDS:-3} ARCHIVE_MIB=${ARCHIVE_MIB:-64}
  UPLOAD_MIB=${UPLOAD_MIB:-100}
else
  DURATION=${DURATION:-10} REPS=${REPS:-3} LARGE_MIB=${LARGE_MIB:-100} THROTTLE_SECONDS=${THROTTLE_SECONDS:-10} ARCHIVE_MIB=${ARCHIVE_MIB:-1024}
  UPLOAD_MIB=${UPLOAD_MIB:-1024}
fi
SERVERS=${SERVERS:-"veltrana nginx lighttpd"}
POINTS=${POINTS:-"a b c d e f g h i j k l m n o p"}
INSTALL=${INSTALL:-1}
BUILD=${BUILD:-1}
VELTRANA_BIN=${VELTRANA_BIN:-$root/build-release/bin/veltrana-webserver}
RESULTS_DIR=${RESULTS_DIR:-$here/results}
KEEP_TMP=${KEEP_TMP:-0}
RATE=102400 # the send limit of (f), bytes per second
for k in DURATION REPS LARGE_MIB THROTTLE_SECONDS ARCHIVE_MIB UPLOAD_MIB; do
  [[ ${!k} =~ ^[1-9][0-9]*$ ]] || { echo "$k must be a positive whole number" >&2; exit 2; }
done
export QUICK DURATION REPS LARGE_MIB THROTTLE_SECONDS ARCHIVE_MIB UPLOAD_MIB SERVERS POINTS VELTRANA_BIN RESULTS_DIR KEEP_TMP

# ---------------------------------------------------------------------------
# Preparation: packages and the release build, in the machine's own network.
if [ -z "${VT_BENCH_INNER:-}" ]; then
  if [ "$INSTALL" = 1 ]; then
    # shellcheck source=scripts/lib/install.sh
    source scripts/lib/install.sh
    # Debian starts a freshly installed nginx or lighttpd as a system service
    # on port 80 of every address; this run wants neither, so service starts
    # are denied for the install (unless a policy is already in place).
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    policy=/usr/sbin/policy-rc.d
    if [ ! -e $policy ] && ! { [ -x /usr/sbin/nginx ] && [ -x /usr/sbin/lighttpd ]; }; then
      trap '$sudo rm -f $policy' EXIT
      printf '#!/bin/sh\nexit 101\n' | $sudo tee $policy >/dev/null
      $sudo chmod 755 $policy
    fi
    vt_install_packages wrk nginx lighttpd lighttpd-mod-openssl openssl procps python3 gcc libc6-dev iproute2 util-linux strace valgrind
    [ "$BUILD" = 1 ] && vt_install_packages cmake ninja-build g++ pkg-config libsodium-dev libssl-dev libarchive-dev qt6-base-dev libxcb1-dev libqrencode-dev media-types
    if [ -n "$(trap -p EXIT)" ]; then # the policy is ours: take it away again
      $sudo rm -f $policy
      trap - EXIT
    fi
  fi

  VT_BENCH_OURS_NOTE=""
  # Build when the tree declares the program (it is still being written).
  if [ "$BUILD" = 1 ] && grep -rqsE '(add_executable\(\s*|OUTPUT_NAME\s+)veltrana-webserver' \
    --include=CMakeLists.txt --exclude-dir='build*' .; then
    echo "=== release build"
    if ! { cmake --preset release >/dev/null && cmake --build --preset release; }; then
      VT_BENCH_OURS_NOTE="release build failed"
    fi
  fi
  export VT_BENCH_OURS_NOTE

  # Our program listens on every address of the machine (it has no setting for
  # the address). As root, every server and every client of this run share a
  # network namespace of their own whose only interface is its loopback, so no
  # server of the run can be reached from outside, whatever it binds.
  if [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null && unshare --net true 2>/dev/null; then
    exec env VT_BENCH_INNER=netns unshare --net -- bash "$here/run.sh"
  fi
  export VT_BENCH_INNER=host
fi

# ---------------------------------------------------------------------------
# Measurement
if [ "$VT_BENCH_INNER" = netns ]; then
  ip link set lo up
fi

load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vt-bench.XXXXXX")
results=$tmp/results.tsv
mkdir -p "$tmp/raw"
running=() # process ids of servers started and not yet stopped

alive() { # true while the process runs (a zombie counts as gone)
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

stop_server() { # SIGTERM, up to 10 s to finish, then SIGKILL for its whole group
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    alive "$pid" || break
    sleep 0.1
  done
  if alive "$pid"; then
    echo "  process $pid did not end within 10 s of SIGTERM: killed"
    record "${server:-?}" '*' note_stop "did not end within 10 s of SIGTERM (killed)"
  fi
  kill -KILL -- "-$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  local keep=()
  for i in "${running[@]}"; do [ "$i" = "$pid" ] || keep+=("$i"); done
  running=("${keep[@]+"${keep[@]}"}")
}

cleanup() {
  local pid
  for pid in "${running[@]+"${running[@]}"}"; do stop_server "$pid"; done
  if [ "$KEEP_TMP" = 1 ]; then echo "Kept $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

record() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" >>"$results"; }

fill() { # template -> stdout, @NAME@ replaced by the values given as NAME=value
  local args=() kv
  for kv in "${@:2}"; do args+=(-e "s|@${kv%%=*}@|${kv#*=}|g"); done
  sed "${args[@]}" "$1"
}

# The document root.
www=$tmp/www
mkdir -p "$www"
head -c 1024 /dev/urandom >"$www/1k.bin"
head -c $((100 * 1024)) /dev/urandom >"$www/100k.bin"
head -c $((LARGE_MIB << 20)) /dev/urandom >"$www/large.bin"
# (n) A folder of ARCHIVE_MIB in eight files, half of them in a sub-folder.
if [[ " $POINTS " == *" n "* ]]; then
  mkdir -p "$www/tree/sub"
  for i in 1 2 3 4 5 6 7 8; do
    where=$www/tree
    [ $i -gt 4 ] && where=$www/tree/sub
    head -c $(((ARCHIVE_MIB << 20) / 8)) /dev/urandom >"$where/part$i.bin"
  done
fi
cc -O2 -o "$www/hello.exe" "$here/hello.c"
# Folders of 10 000 and 100 000 empty files for the listing points (l), (m).
make_listing_folder() { # FOLDER COUNT
  mkdir -p "$1"
  (cd "$1" && seq -f 'file-%06g.txt' 1 "$2" | xargs touch)
}
has_listing_points=0
[[ " $POINTS " == *" l "* || " $POINTS " == *" m "* ]] && has_listing_points=1
if [ $has_listing_points = 1 ]; then
  make_listing_folder "$www/list10k" 10000
  make_listing_folder "$www/list100k" 100000
fi
# (o): a program that copies the large file to its answer, as cat does.
printf '#!/bin/sh\nprintf '"'"'Content-Type: application/octet-stream\\r\\n\\r\\n'"'"'\nexec /bin/cat %s\n' \
  "$www/large.bin" >"$www/stream.exe"
chmod +x "$www/stream.exe"
cc -O2 -shared -fPIC -o "$tmp/alloc_count.so" "$here/alloc_count.c"
www_made=$(date +%s)
# One certificate and key for every server's TLS port (points i, j, k): ECDSA
# P-256, as our program makes for itself.
tls=$tmp/tls
mkdir -p "$tls"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$tls/key.pem" -out "$tls/cert.pem" 2>/dev/null
chmod 600 "$tls/key.pem"
# The TLS 1.2 suites every server is given, in the same order (our program's own).
tls_ciphers=ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305
large_label="$LARGE_MIB MiB"

# launch DIR CMD... : starts a server in its own process group, under the
# command in the array `wrap` when it is set (a tracer, a preload); sets srv_pid.
wrap=()
launch() {
  local dir=$1 seconds=15
  shift
  [ ${#wrap[@]} -gt 0 ] && seconds=120 # valgrind starts slowly
  setsid "${wrap[@]}" "$@" >"$dir/output.log" 2>&1 </dev/null &
  srv_pid=$!
  running+=("$srv_pid")
  if ! tool wait-port "$srv_port" --pid "$srv_pid" --seconds $seconds; then
    tail -n 20 "$dir/output.log" "$dir/error.log" 2>/dev/null || true
    stop_server "$srv_pid"
    return 1
  fi
}

# start_<server> MODE (plain, throttled, or the name of a budget run, which is
# plain in a folder of its own): sets srv_pid, srv_port, srv_log.
start_veltrana() {
  local dir=$tmp/veltrana-$1 throttle=0
  [ "$1" = throttled ] && throttle=1
  mkdir -p "$dir/bin" "$dir/config"
  # A copy of the program, so that the access log it writes next to itself
  # (millions of lines in a full run) goes away with the temporary folder.
  cp "$VELTRANA_BIN" "$dir/bin/veltrana-webserver"
  srv_port=$(tool free-port)
  srv_tls_port=$(tool free-port)
  fill "$here/conf/vtWebServer.ini.in" DOCROOT="$www" PORT="$srv_port" THROTTLE=$throttle RATE=$RATE \
    TLSPORT="$srv_tls_port" CERT="$tls/cert.pem" KEY="$tls/key.pem" >"$dir/config/vtWebServer.ini"
  # (p) stores its upload in a folder beside the document root, on its disk.
  [ "$1" = uploads ] && printf 'AllowUploads=1\nUploadFolder=inbox\nMaxUploadSize=%s\n' $((UPLOAD_MIB + 1)) \
    >>"$dir/config/vtWebServer.ini"
  srv_log=$dir/bin/webserver.log
  [ "$VT_BENCH_INNER" = host ] &&
    echo "  note: without a private network namespace (it needs root) veltrana-webserver listens on every address"
  launch "$dir" env XDG_CONFIG_HOME="$dir/config" "$dir/bin/veltrana-webserver" --headless
}

start_nginx() {
  local dir=$tmp/nginx-$1 limit="" user=""
  [ "$1" = throttled ] && limit="limit_rate $((RATE / 1024))k;"
  # As root nginx would hand its worker to "nobody", who cannot read the
  # document root: keep it on the user that runs the benchmark.
  [ "$(id -u)" -eq 0 ] && user="user $(id -un) $(id -gn);"
  mkdir -p "$dir/tmp"
  srv_port=$(tool free-port)
  srv_tls_port=$(tool free-port)
  fill "$here/conf/nginx.conf.in" DIR="$dir" DOCROOT="$www" PORT="$srv_port" LIMIT_RATE="$limit" USER="$user" \
    TLSPORT="$srv_tls_port" CERT="$tls/cert.pem" KEY="$tls/key.pem" CIPHERS="$tls_ciphers" >"$dir/nginx.conf"
  srv_log=$dir/access.log
  launch "$dir" nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" -g 'daemon off;'
}

start_lighttpd() {
  local dir=$tmp/lighttpd-$1 kbps=0
  [ "$1" = throttled ] && kbps=$((RATE / 1024))
  mkdir -p "$dir/tmp"
  srv_port=$(tool free-port)
  srv_tls_port=$(tool free-port)
  fill "$here/conf/lighttpd.conf.in" DIR="$dir" DOCROOT="$www" PORT="$srv_port" KBPS=$kbps \
    TLSPORT="$srv_tls_port" CERT="$tls/cert.pem" KEY="$tls/key.pem" CIPHERS="$tls_ciphers" >"$dir/lighttpd.conf"
  srv_log=$dir/access.log
  launch "$dir" lighttpd -D -f "$dir/lighttpd.conf"
}

listen_overflows() { # the kernel's count of handshakes dropped at full listen queues
  awk '/^TcpExt:/ { if (!n) { for (i = 1; i <= NF; i++) if ($i == "ListenOverflows") n = i } else print $n }' \
    /proc/net/netstat
}

has_point() { [[ " $POINTS " == *" $1 "* ]]; }

# (h) The work per request, counted: one client sends requests one after the
# other for /1k.bin. System calls are counted on the running server (strace
# attached to every process and thread), allocations and instructions on a
# server started again for the purpose (preloading bench/alloc_count.c, then
# under callgrind).
budget_requests=2000 budget_connections=500 budget_instr_requests=1000
[ "$QUICK" = 1 ] && budget_requests=500 budget_connections=200 budget_instr_requests=300
budget() { # SERVER KIND ARGS... : one budget figure of the running server
  local server=$1 kind=$2
  shift 2
  printf '  (h) %-10s ' "$server"
  tool budget "$kind" "$srv_pid" "$srv_port" /1k.bin --out "$results" --server "$server" "$@" ||
    echo "  (h) $server: $kind not measured"
}
budget_syscalls() { # SERVER, on the running server
  # A file changed within the last seconds is looked at more closely (the
  # small-file cache and the check of files never served take it afresh); a
  # served site's files are older, as they are here after the other points.
  local settle=$((www_made + 5 - $(date +%s)))
  [ $settle -gt 0 ] && sleep $settle
  budget "$1" syscalls --requests $budget_requests --work "$tmp/raw/$1-strace-keepalive.txt"
  budget "$1" syscalls --requests $budget_connections --close --work "$tmp/raw/$1-strace-connections.txt"
}
budget_restarts() { # SERVER: allocations, then instructions, each on a server of its own
  local server=$1 counter=$tmp/raw/$1-allocations cg=$tmp/raw/$1-callgrind
  wrap=(env LD_PRELOAD="$tmp/alloc_count.so" VT_ALLOC_COUNTER="$counter")
  if "start_$server" allocations; then
    budget "$server" allocations --requests $budget_requests --work "$counter"
    stop_server "$srv_pid"
  fi
  mkdir -p "$cg"
  wrap=(valgrind --tool=callgrind --trace-children=yes "--callgrind-out-file=$cg/callgrind.out.%p")
  if "start_$server" instructions; then
    budget "$server" instructions --requests $budget_instr_requests --work "$cg"
    stop_server "$srv_pid"
  fi
  wrap=()
}

# (n) The folder tree/ as one ZIP download, beside cat of the same files;
# the peers make no archives of a folder.
archive_point() { # SERVER
  local server=$1
  if [ "$server" != veltrana ]; then
    record "$server" n status "n/a: no folder archives in $server"
    return 0
  fi
  printf '  (n) %-10s ' "$server"
  tool archive "$srv_port" "/tree/?download=zip" --folder "$www/tree" --reps "$REPS" --out "$results" \
    --server "$server" || true
}

wrk_point() { # SERVER POINT CONNECTIONS PATH [wrk options]
  local server=$1 point=$2 conns=$3 path=$4 rep files=()
  shift 4
  for ((rep = 1; rep <= REPS; rep++)); do
    local out=$tmp/raw/$server-$point-$rep.txt
    files+=("$out")
    if ! tool load --pid "$srv_pid" --out "$out" -- timeout -k 5 $((DURATION + 30)) \
      wrk -t2 -c"$conns" -d"${DURATION}s" --timeout 10s --latency "$@" "${wrk_base:-http://127.0.0.1:$srv_port}$path"; then
      record "$server" "$point" status "failed: wrk ended with an error (see $(basename "$out"))"
      cat "$out" >&2
      return 0
    fi
  done
  printf '  (%s) %-10s ' "$point" "$server"
  tool wrk --out "$results" --server "$server" --point "$point" "${files[@]}" || true
}

run_server() {
  local server=$1
  echo "=== $server"
  if [ "$server" = veltrana ] && [ ! -x "$VELTRANA_BIN" ]; then
    local why="veltrana-webserver not built yet: skipped"
    [ -n "$VT_BENCH_OURS_NOTE" ] && why="$VT_BENCH_OURS_NOTE: veltrana-webserver skipped"
    echo "$why"
    record "$server" '*' status "skipped: ${why%%:*}"
    return 0
  fi
  local overflows_before
  overflows_before=$(listen_overflows)
  if ! "start_$server" plain; then
    record "$server" '*' status "failed: did not start"
    return 0
  fi
  local problem
  for f in 1k.bin:1024 100k.bin:102400 large.bin:$((LARGE_MIB << 20)); do
    if ! problem=$(tool check "$srv_port" "/${f%%:*}" --size "${f#*:}"); then
      record "$server" '*' status "failed: $problem"
      stop_server "$srv_pid"
      return 0
    fi
  done
  local cgi=1
  if [ "$server" = nginx ]; then
    cgi=0
    has_point e && record "$server" e status "n/a: no CGI in nginx"
    has_point o && record "$server" o status "n/a: no CGI in nginx"
  elif ! problem=$(tool check "$srv_port" /hello.exe --body Hello); then
    cgi=0
    has_point e && record "$server" e status "failed: $problem"
    has_point o && record "$server" o status "failed: $problem"
  fi

  # Memory first, on a server that has served nothing but the checks.
  has_point g && { tool memory "$srv_pid" "$srv_port" /1k.bin --conns 64 --out "$results" --server "$server" ||
    echo "  (g) $server: memory probe failed"; }
  has_point a && wrk_point "$server" a 64 /1k.bin
  has_point b && wrk_point "$server" b 64 /1k.bin -H 'Connection: close'
  has_point c && wrk_point "$server" c 8 /large.bin
  has_point d && wrk_point "$server" d 64 /100k.bin
  has_point e && [ $cgi = 1 ] && wrk_point "$server" e 16 /hello.exe
  # TLS: the same loads on the server's TLS port, with the run's certificate.
  if has_point i || has_point j || has_point k; then
    if tool wait-port "$srv_tls_port" --pid "$srv_pid" --seconds 5 &&
      curl -sS --max-time 10 --cacert "$tls/cert.pem" -o /dev/null "https://127.0.0.1:$srv_tls_port/1k.bin"; then
      wrk_base=https://127.0.0.1:$srv_tls_port
      has_point i && wrk_point "$server" i 64 /1k.bin
      has_point j && wrk_point "$server" j 64 /1k.bin -H 'Connection: close'
      has_point k && wrk_point "$server" k 8 /large.bin
      wrk_base=
    else
      for p in i j k; do has_point $p && record "$server" $p status "failed: no answer over TLS"; done
    fi
  fi
  # Listings are seconds of work a request on the large folder: two
  # connections, and at most 5 s a repetition, keep the points short.
  has_point l && DURATION=$((DURATION < 5 ? DURATION : 5)) wrk_point "$server" l 2 /list10k/
  has_point m && DURATION=$((DURATION < 5 ? DURATION : 5)) wrk_point "$server" m 2 /list100k/
  has_point n && archive_point "$server"
  if has_point o && [ $cgi = 1 ]; then
    printf '  (o) %-10s ' "$server"
    tool stream "$srv_pid" "$srv_port" /stream.exe --size $((LARGE_MIB << 20)) --out "$results" --server "$server" ||
      echo "  (o) $server: stream failed"
  fi
  has_point h && budget_syscalls "$server"
  stop_server "$srv_pid"
  local lines overflows
  lines=$(wc -l 2>/dev/null <"$srv_log" || echo "no")
  overflows=$(($(listen_overflows) - overflows_before))
  record "$server" '*' note "access log: $lines lines; listen queue overflows: $overflows"
  rm -f "$srv_log"

  if has_point f; then
    if "start_$server" throttled; then
      tool throttle "$srv_port" /large.bin --seconds "$THROTTLE_SECONDS" --rate $RATE --out "$results" \
        --server "$server" || echo "  (f) $server: download failed"
      stop_server "$srv_pid"
    else
      record "$server" f status "failed: did not start"
    fi
  fi
  has_point h && budget_restarts "$server"
  if has_point p; then
    if [ "$server" != veltrana ]; then
      record "$server" p status "n/a: takes no uploads as set up here"
    elif "start_$server" uploads; then
      mkdir -p "$www/inbox"
      printf '  (p) %-10s ' "$server"
      tool upload "$srv_port" /inbox/upload.bin --mib "$UPLOAD_MIB" --folder "$www/inbox" --out "$results" \
        --server "$server" || true
      stop_server "$srv_pid"
    else
      record "$server" p status "failed: did not start"
    fi
  fi
  return 0
}

for server in veltrana nginx lighttpd; do
  if [[ " $SERVERS " == *" $server "* ]]; then
    run_server "$server"
  elif [ "$server" = veltrana ]; then
    record veltrana '*' status "skipped: not in SERVERS"
  fi
done

# ---------------------------------------------------------------------------
# The table
peers=""
for server in nginx lighttpd; do [[ " $SERVERS " == *" $server "* ]] && peers+="$server "; done
stamp=$(date +%Y-%m-%d-%H%M%S)
[ "$QUICK" = 1 ] && stamp+=-quick
mkdir -p "$RESULTS_DIR"
report=$RESULTS_DIR/$stamp.md
version() { timeout 5 "$@" 2>&1 | head -n 1 || true; }
ours_version=""
[ -x "$VELTRANA_BIN" ] && ours_version=$(version "$VELTRANA_BIN" --version)
write_report() {
  echo "# Benchmark $stamp"
  echo
  echo "$(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)), Linux $(uname -r);" \
    "wrk -t2, $DURATION s a point, $REPS repetition(s), medians; large file $large_label;" \
    "network: $([ "$VT_BENCH_INNER" = netns ] && echo "private namespace, loopback only" || echo "127.0.0.1 of the machine");" \
    "load average before the run: $load_at_start (other work on the machine lowers every figure)."
  echo "veltrana: ${ours_version:-not built}; $(version nginx -v); $(version lighttpd -v); $(version wrk --version)."
  echo
  local status=0
  tool report "$results" --ours veltrana --peers "$peers" --points "$POINTS" --large "$large_label" --rate "$RATE" \
    --archive "$ARCHIVE_MIB MiB" --upload "$UPLOAD_MIB MiB" ||
    status=$?
  echo
  echo "Rerun: \`cd $root && ${VT_BENCH_RERUN}bench/run.sh\`"
  return $status
}
status=0
write_report >"$report" || status=$?
echo
cat "$report"
echo "Written to $report"
exit "$status"

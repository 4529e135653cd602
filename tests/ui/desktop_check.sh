#!/usr/bin/env bash
# Real-window check of the program: runs a copy of veltrana-webserver on an
# X server of its own (Xvfb) under a window manager (Openbox) beside an
# XEmbed tray host (trayer), finds its window and its tray icon, works the
# tray menu, fetches a page from the running server, takes the tray host
# away and back, restarts the program, and saves screenshots for people to
# look at.
#
#   desktop_check.sh SCREENSHOT_DIR PROGRAM
#
# What it checks, in order:
#   0. a new user's first start (no settings file) asks one question before
#      anything listens, once for each answer: shared with the network
#      (ListenOn=all, it serves), this computer only (ListenOn=local), and
#      another folder chosen in the picker; each answer is saved;
#   1. the tray icon docks (a small visible window of the program's class);
#   2. the status window is hidden (the settings say Minimized=1), and the
#      server (Active=1) serves a page of the published folder to curl;
#   3. a right click on the icon opens the tray menu;
#   4. the menu's Setup entry opens the setup dialog (its three pages are
#      photographed), and Escape closes it;
#   5. the menu's About entry opens the about box, and Enter closes it;
#   6. a double click on the icon shows the status window "Veltrana Web
#      Server 1.0", which asks to be left off taskbars and pagers; the QR
#      code its dashboard draws reads (zbarimg) as the server's URL on this
#      machine; with two throttled downloads running, its Activity and Log
#      pages are photographed;
#   7. the title bar's minimise hides the window into the tray, and a double
#      click brings it back (with a window manager);
#   8. the close box hides the window, and says once, in a notification,
#      that sharing goes on (CloseNoticeShown=1 saved); a second start of
#      the program shows it and ends with status 0 (one program per login);
#   9. the mouse over the icon shows its hint;
#  10. with the window hidden in the tray, the tray host goes away: the
#      window is shown, with a taskbar entry; its close box now minimises it
#      (never hidden out of reach); the tray host comes back: the icon docks
#      again;
#  11. the menu's Exit entry ends the program (exit status 0), removes the
#      icon, stops the server and saves the settings (Minimized=0 after the
#      window was opened, and the window's position);
#  12. three restarts, each ended by the window's Exit button: the window
#      comes back where it was each time (with a window manager), and its
#      missing published folder is said in red; then a running server
#      whose folder is missing waits ("Waiting for ..."), and the window's
#      Create button makes the folder, after which it serves;
#  13. without any tray host, a start with Minimized=1 leaves the window
#      minimised with a taskbar entry, and its close box does not hide it.
# Screenshots: first-run-question.png, first-run-network.png,
# first-run-local.png, first-run-folder.png, tray-menu.png,
# setup-general.png, setup-network.png, setup-https.png, setup-log.png,
# about.png, main-window.png (the dashboard's Share page with its QR code),
# dashboard-activity.png, dashboard-log.png, close-notice.png,
# tray-hint.png, desktop.png, main-window-problem.png,
# main-window-waiting.png (and desktop-at-failure.png when a check fails).
#
# The copy of the program lives in a temporary folder (its access log is
# written beside it), with XDG_CONFIG_HOME pointing at a fresh folder whose
# vtWebServer.ini says Active=1, Minimized=1, a free port and a published
# folder of its own. It runs on a private session bus without a
# StatusNotifier host (or with no bus when dbus-run-session is missing), so
# that Qt docks its icon by XEmbed.
#
# Exit status: 0 passed, 1 failed, 77 skipped (Xvfb, trayer, xdotool,
# xprop, ImageMagick's import, curl or python3 missing; without zbarimg the
# QR code is not read back). Without openbox the
# checks that need a window manager (7, the positions of 12, 13) are left
# out. Every wait is bounded, and everything the script started is stopped
# when it ends.
set -uo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 SCREENSHOT_DIR PROGRAM" >&2
  exit 2
fi
shots=$1
built_program=$2

for tool in Xvfb trayer xdotool xprop import curl python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (Debian: xvfb trayer xdotool x11-utils imagemagick curl python3)"
    exit 77
  fi
done
have_wm=0
command -v openbox >/dev/null && have_wm=1

main_title="Veltrana Web Server 1.0"
question_title="Share a folder"
setup_title=Setup
about_title=About
class=veltrana-webserver
# The menu entries' access keys: Se&tup, A&bout, E&xit.
setup_key=t about_key=b exit_key=x

work=$(mktemp -d "${TMPDIR:-/tmp}/vt-desktop-XXXXXX")
mkdir -p "$shots" "$work/bin" "$work/config" "$work/site"
program="$work/bin/$class"
cp "$built_program" "$program" || { echo "FAIL: cannot copy $built_program"; rm -rf "$work"; exit 1; }
rm -f "$shots/desktop-at-failure.png"  # from an earlier run
xvfb_pid="" tray_pid="" program_pid="" wm_pid="" spy_pid="" downloads=()

# Stops a process we started (TARGET: its pid, or -pid for its whole process
# group), bounded: TERM, up to 5 s, then KILL.
stop() {
  local target=$1 pid=${1#-}
  [ -n "$pid" ] || return 0
  kill -TERM -- "$target" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 -- "$target" 2>/dev/null || break; sleep 0.1; done
  kill -KILL -- "$target" 2>/dev/null
  wait "$pid" 2>/dev/null
}
cleanup() {
  for pid in "${downloads[@]}"; do stop "$pid"; done
  [ -n "$program_pid" ] && stop "-$program_pid"
  stop "$spy_pid"
  spy_pid=""
  stop "$tray_pid"
  stop "$wm_pid"
  stop "$xvfb_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

failures=0
pass() { echo "PASS: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
give_up() {
  fail "$*"
  local log
  for log in first program second trayer openbox xvfb; do
    [ -s "$work/$log.log" ] && { echo "--- $log output"; cat "$work/$log.log"; }
  done
  snap_root desktop-at-failure.png
  exit 1
}

# Retries a command every 0.1 s until it succeeds or SECONDS pass.
wait_until() {
  local seconds=$1 end
  shift
  end=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -ge "$end" ] && return 1
    sleep 0.1
  done
}

xdo() { timeout 10 xdotool "$@"; }
snap_root() {  # NAME [import options]
  local name=$1
  shift
  timeout 20 import -window root "$@" "$shots/$name" 2>/dev/null
}
snap_window() { timeout 20 import -window "$1" "$shots/$2" 2>/dev/null; }
# Lets a repaint after a key press reach the screen before a screenshot
# (only the pictures depend on it; no check does).
settle() { sleep 0.5; }

# shellcheck disable=SC2016  # the sed program is meant literally
regex_quote() { printf '%s' "$1" | sed 's/[][\.*^$()+?{}|/]/\\&/g'; }

# Visible windows of the program (its class); ids one a line.
program_windows() { xdo search --onlyvisible --classname "^$(regex_quote "$class")\$" 2>/dev/null; }

# The visible window captioned exactly $1 (first one), or nothing.
titled_window() {
  local id
  for id in $(program_windows); do
    [ "$(xdo getwindowname "$id" 2>/dev/null)" = "$1" ] && { echo "$id"; return 0; }
  done
  return 1
}

# The tray icon: a small visible window of the program's class.
icon_window() {
  local id WIDTH HEIGHT
  for id in $(program_windows); do
    eval "$(xdo getwindowgeometry --shell "$id" 2>/dev/null | grep -E '^(WIDTH|HEIGHT)=')"
    if [ "${WIDTH:-999}" -le 64 ] && [ "${HEIGHT:-999}" -le 64 ]; then
      echo "$id"
      return 0
    fi
  done
  return 1
}

# The open tray menu: a visible window of the program that is neither an
# icon (the one docked, or one the tray host is replacing it with) nor one
# of its captioned windows.
menu_window() {
  local id name WIDTH HEIGHT
  for id in $(program_windows); do
    [ "$id" = "$icon" ] && continue
    eval "$(xdo getwindowgeometry --shell "$id" 2>/dev/null | grep -E '^(WIDTH|HEIGHT)=')"
    [ "${WIDTH:-0}" -le 64 ] && [ "${HEIGHT:-0}" -le 64 ] && continue
    name=$(xdo getwindowname "$id" 2>/dev/null)
    case "$name" in "$main_title" | "$setup_title" | "$about_title" | "$question_title") continue ;; esac
    echo "$id"
    return 0
  done
  return 1
}

find_icon() { icon=$(icon_window); [ -n "$icon" ]; }
find_menu() { menu=$(menu_window); [ -n "$menu" ]; }
no_menu() { ! menu_window >/dev/null; }
no_icon() { ! icon_window >/dev/null; }
shows() { titled_window "$1" >/dev/null; }
hidden() { ! titled_window "$1" >/dev/null; }
tray_up() { xdo search --onlyvisible --classname '^panel$' >/dev/null 2>&1; }

# On a loaded machine trayer now and then fails to open a display that has
# just answered us: it gets three tries.
start_tray() {
  for _ in 1 2 3; do
    trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
      --transparent false >>"$work/trayer.log" 2>&1 &
    tray_pid=$!
    wait_until 10 tray_up && return 0
    stop "$tray_pid"
  done
  give_up "the tray host did not start"
}

# A right click on the icon, until a menu opens. The icon's window may be
# replaced meanwhile (the program docks the icon again when it sees the tray
# come back), so the icon is looked up again before each try.
right_click_icon() {
  find_icon && xdo mousemove --window "$icon" 6 6 click 3 2>/dev/null && wait_until 3 find_menu
}
open_menu() {
  wait_until 15 right_click_icon || give_up "a right click on the icon opened no menu"
}

# --- the X server, the tray host and the program
# A display number of our own, checked by the screen size we asked for: a
# server of another session (X sockets in the abstract namespace are shared
# between containers that share a network) must never be mistaken for ours.
screen_width=1280 screen_height=800
x_is_ours() { [ "$(xdo getdisplaygeometry 2>/dev/null)" = "$screen_width $screen_height" ]; }
start_x() {
  local n
  for _ in 1 2 3 4 5; do
    n=$((100 + RANDOM % 800))
    [ -e "/tmp/.X$n-lock" ] && continue
    grep -q "/tmp/.X11-unix/X$n\$" /proc/net/unix 2>/dev/null && continue
    # -noreset: an X server resets when its last client leaves, and one that
    # connects during the reset (openbox, trayer after our own look) fails.
    Xvfb ":$n" -screen 0 "${screen_width}x${screen_height}x24" -nolisten tcp -noreset 2>"$work/xvfb.log" &
    xvfb_pid=$!
    export DISPLAY=":$n"
    wait_until 10 x_is_ours && return 0
    stop "$xvfb_pid"
    xvfb_pid=""
  done
  return 1
}
start_x || give_up "Xvfb did not start"
echo "display $DISPLAY"

if [ $have_wm -eq 1 ]; then
  openbox >"$work/openbox.log" 2>&1 &
  wm_pid=$!
  wm_up() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
  wait_until 10 wm_up || give_up "openbox did not start"
  pass "window manager running"
else
  echo "NOTE: openbox is not installed (Debian: openbox): the window manager's checks are left out"
fi

start_tray
pass "tray host running"

# A port that was free a moment ago: the program takes its port as a number
# in its settings. Another program may take it first; the system hands out
# ports from a range of some 28,000, not the one just closed first, so that
# is rare enough for a check run by hand and in the test run.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
page="Served by the desktop check."
printf '<p>%s</p>\n' "$page" >"$work/site/index.html"
head -c 8000000 /dev/zero >"$work/site/video.mp4"  # downloads for the Activity page
settings="$work/config/vtWebServer.ini"
printf '[WebServer]\nActive=1\nMinimized=1\nPort=%s\nPubDir=%s\nThrottle=1\nThrottleRate=204800\n%s\n' \
  "$port" "$work/site" 'LogFormat=$date$ $time$ $address$ $response$ $size$ $method$ $uri$' >"$settings"
# Under AddressSanitizer: libxkbcommon-x11 (loaded by Qt's X11 platform)
# calls strndup on names that are not NUL-terminated, which is valid but
# trips ASan's strict string checks; everything else stays checked.
asan_options="${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}strict_string_checks=0"
# A session bus of its own without a StatusNotifier host, so that Qt docks by
# XEmbed (without any bus, libdbus leaks a buffer that AddressSanitizer
# builds report at exit). In a session of its own, so that stopping the
# group stops the bus and the program together.
bus=()
command -v dbus-run-session >/dev/null && bus=(dbus-run-session --)
# Starts a copy of the program (output to $work/LOG.log); its pid in $started.
run_program() {
  env -u DBUS_SESSION_BUS_ADDRESS XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb \
    ASAN_OPTIONS="$asan_options" setsid "${bus[@]}" "$program" >>"$work/$1.log" 2>&1 &
  started=$!
}
program_ended() { ! kill -0 "$program_pid" 2>/dev/null; }
# Waits for the program's end; its exit status.
wait_program() {
  wait_until 15 program_ended || give_up "$1 did not end the program"
  wait "$program_pid"
  local status=$?
  program_pid=""
  return $status
}
# The window manager's view of a window: Normal, Iconic or Withdrawn.
wm_state() { xprop -id "$1" WM_STATE 2>/dev/null | sed -n 's/.*window state: //p'; }
# A key pressed on the window, which the window manager sees (Alt+F4).
window_key() { xdo windowactivate --sync "$1" key "$2" 2>/dev/null; }
# The middle of the minimise button in window $1's title bar, as Openbox's
# default theme draws it: the second button from the right, 43 pixels from
# the frame's right edge, in the middle of the title bar.
minimise_button() {
  local info x y width title
  info=$(xwininfo -id "$1")
  x=$(sed -n 's/^ *Absolute upper-left X: *//p' <<<"$info")
  y=$(sed -n 's/^ *Absolute upper-left Y: *//p' <<<"$info")
  width=$(sed -n 's/^ *Width: *//p' <<<"$info")
  title=$(sed -n 's/^ *Relative upper-left Y: *//p' <<<"$info")
  button_x=$((x + width - 42)) button_y=$((y - title / 2 - 1))
}
# 0: a new user's first start, once for each answer. HOME is a folder of
# its own, so ~/Public is $work/home/Public; --port gives the port (it says
# nothing of what to share, so the question is still asked).
first_run() {  # ANSWER_KEY NAME [FOLDER]
  local key=$1 name=$2 folder=${3:-} question
  rm -rf "$work/first" && mkdir -p "$work/first/config" "$work/home"
  env -u DBUS_SESSION_BUS_ADDRESS HOME="$work/home" XDG_CONFIG_HOME="$work/first/config" QT_QPA_PLATFORM=xcb \
    ASAN_OPTIONS="$asan_options" setsid "${bus[@]}" "$program" --port "$port" >>"$work/first.log" 2>&1 &
  program_pid=$!
  wait_until 20 shows "$question_title" || give_up "$name: no first-run question"
  question=$(titled_window "$question_title")
  listening() { curl -s -o /dev/null --max-time 5 "http://127.0.0.1:$port/" 2>/dev/null; }
  listening && fail "$name: the server listens before the question is answered"
  settle
  [ "$name" = network ] && snap_window "$question" first-run-question.png
  if [ -n "$folder" ]; then
    window_key "$question" alt+c
    picker_up() { [ -n "$(xdo search --onlyvisible --name 'Select Directory to Publish' 2>/dev/null)" ]; }
    wait_until 10 picker_up || give_up "$name: Choose another folder opened no picker"
    picker=$(xdo search --onlyvisible --name 'Select Directory to Publish' | head -1)
    xdo windowactivate --sync "$picker" 2>/dev/null
    xdo key ctrl+a
    xdo type --delay 20 "$folder"
    xdo key Return
    picker_gone() { ! picker_up; }
    wait_until 10 picker_gone || { xdo key Return; wait_until 10 picker_gone; } ||
      give_up "$name: the picker did not take $folder"
    key=t
  fi
  window_key "$question" "alt+$key"
  wait_until 10 hidden "$question_title" || give_up "$name: the answer did not close the question"
  wait_until 20 shows "$main_title" || give_up "$name: no status window after the answer"
  main=$(titled_window "$main_title")
  wait_until 20 listening || give_up "$name: the server does not listen after the answer"
  settle
  snap_window "$main" "first-run-$name.png"
  window_key "$main" alt+x
  wait_program "the window's Exit button ($name)" || fail "$name: exit status $?"
}
first_settings="$work/first/config/vtWebServer.ini"
first_run n network
grep -qx 'ListenOn=all' "$first_settings" && grep -qx "PubDir=$work/home/Public" "$first_settings" &&
  [ -d "$work/home/Public" ] && grep -qx 'Active=1' "$first_settings" ||
  fail "sharing with the network was not saved as such: $(tr '\n' ' ' <"$first_settings")"
pass "first run: shared with the network, ~/Public made, the answer saved"
first_run t local
grep -qx 'ListenOn=local' "$first_settings" || fail "this computer only was not saved: $(tr '\n' ' ' <"$first_settings")"
pass "first run: shared with this computer only"
mkdir -p "$work/other"
first_run c folder "$work/other"
grep -qx "PubDir=$work/other" "$first_settings" || fail "another folder was not saved: $(tr '\n' ' ' <"$first_settings")"
pass "first run: another folder chosen and shared"

run_program program
program_pid=$started

# 1, 2
wait_until 20 find_icon || give_up "no tray icon of class $class appeared"
pass "tray icon docked (window $icon)"
wait_until 10 hidden "$main_title" || give_up "the status window stays visible with Minimized=1"
pass "status window hidden at start"
serves() { curl -sf --max-time 5 "http://127.0.0.1:$port/index.html" 2>/dev/null | grep -qF "$page"; }
wait_until 20 serves || give_up "the server does not serve http://127.0.0.1:$port/index.html"
pass "the server serves a page of the published folder on port $port"

# 3
open_menu
eval "$(xdo getwindowgeometry --shell "$menu" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
settle
left=$((X > 40 ? X - 40 : 0))
snap_root tray-menu.png -crop "$((screen_width - left))x$((Y + HEIGHT + 20))+${left}+0"
pass "right click opens the tray menu (window $menu)"

# 4
xdo key "$setup_key"
wait_until 10 shows "$setup_title" || give_up "the menu's Setup entry opened no \"$setup_title\" window"
setup=$(titled_window "$setup_title")
settle
snap_window "$setup" setup-general.png
xdo windowfocus --sync "$setup"
for page in network https log; do
  xdo key ctrl+Tab
  settle
  snap_window "$setup" "setup-$page.png"
done
xdo key Escape
wait_until 10 hidden "$setup_title" || give_up "Escape did not close the setup dialog"
pass "setup dialog opened from the tray menu and closed by Escape"

# 5
open_menu
xdo key "$about_key"
wait_until 10 shows "$about_title" || give_up "the menu's About entry opened no \"$about_title\" window"
about=$(titled_window "$about_title")
settle
snap_window "$about" about.png
xdo windowfocus --sync "$about"
xdo key Return
wait_until 10 hidden "$about_title" || give_up "Enter did not close the about box"
pass "about box opened from the tray menu and closed by Enter"

# 6
xdo mousemove --window "$icon" 6 6 click --repeat 2 --delay 80 1
wait_until 10 shows "$main_title" || give_up "a double click on the icon did not show \"$main_title\""
main=$(titled_window "$main_title")
settle
snap_window "$main" main-window.png
pass "double click shows the status window"
if command -v xprop >/dev/null; then
  if xprop -id "$main" _NET_WM_STATE | grep -q _NET_WM_STATE_SKIP_TASKBAR; then
    pass "the status window asks to be left off the taskbar"
  else
    fail "the status window does not ask to be left off the taskbar"
  fi
fi
# The QR code of the Share page: the URL of this machine a phone would use
# (an address of one of its interfaces, else localhost), never connected to.
if command -v zbarimg >/dev/null; then
  qr=$(zbarimg --raw -q "$shots/main-window.png" 2>/dev/null)
  host=$(sed -n "s|^http://\(.*\):$port/\$|\1|p" <<<"$qr")
  # Never a loopback address: a phone's "localhost" is the phone. A machine
  # without a network address shows no code at all.
  addresses=$(hostname -I 2>/dev/null | tr ' ' '\n' | grep -v '^$')
  if [ -n "$host" ] && grep -qxF "$host" <<<"$addresses"; then
    pass "the QR code reads as $qr"
  elif [ -z "$addresses" ] && [ -z "$qr" ]; then
    pass "no network address: no QR code"
  else
    fail "the QR code reads as '$qr', not as this machine's network URL on port $port"
  fi
else
  echo "NOTE: zbarimg is not installed (Debian: zbar-tools): the QR code is not read back"
fi
# Two downloads at the send limit, on the Activity page; then the Log page.
for name in video.mp4 index.html video.mp4; do
  curl -s -o /dev/null --max-time 60 "http://127.0.0.1:$port/$name" &
  downloads+=($!)
done
dashboard_key() { if [ $have_wm -eq 1 ]; then window_key "$main" "$1"; else xdo key --window "$main" "$1"; fi; }
dashboard_key alt+c
sleep 2.5  # two seconds of the graph, the table looked at since
snap_window "$main" dashboard-activity.png
dashboard_key alt+l
sleep 1.5  # the access log is read again once a second
snap_window "$main" dashboard-log.png
dashboard_key alt+h
for pid in "${downloads[@]}"; do stop "$pid"; done
downloads=()
pass "the dashboard's Activity and Log pages photographed"

# 7
if [ $have_wm -eq 1 ]; then
  # Openbox leaves a request to minimise a dialog unanswered: its title
  # bar's button it is.
  minimise_button "$main"
  xdo mousemove "$button_x" "$button_y" click 1
  iconic() { [ "$(wm_state "$main")" = Iconic ]; }
  wait_until 10 iconic || give_up "the title bar's minimise button did not minimise the window"
  wait_until 10 hidden "$main_title" || give_up "the title bar's minimise left the window on the screen"
  xdo mousemove --window "$icon" 6 6 click --repeat 2 --delay 80 1
  wait_until 10 shows "$main_title" || give_up "after a minimise, a double click on the icon did not bring it back"
  main=$(titled_window "$main_title")
  pass "minimise hides the window into the tray, and a double click brings it back"
fi

# 8
close_main() {
  if [ $have_wm -eq 1 ]; then window_key "$main" alt+F4; else xdo key --window "$main" alt+F4; fi
}
if [ $have_wm -eq 1 ]; then
  close_main
  wait_until 10 hidden "$main_title" || give_up "the close box did not hide the window into the tray"
  # The first close into the tray says, once, that sharing goes on: a
  # balloon by the icon (no notification server on this bus).
  notice_up() { notice=$(menu_window); [ -n "$notice" ]; }
  if wait_until 10 notice_up; then
    eval "$(xdo getwindowgeometry --shell "$notice" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
    settle
    left=$((X > 40 ? X - 40 : 0))
    snap_root close-notice.png -crop "$((screen_width - left))x$((Y + HEIGHT + 20))+${left}+0"
    pass "the first close into the tray is told in a notification"
    xdo mousemove --window "$notice" 10 10 click 1 2>/dev/null  # a click puts it away
    gone_notice() { ! menu_window >/dev/null; }
    # A click that lands while the balloon still fades in can miss it; then
    # it goes by itself once its time is up.
    wait_until 10 gone_notice || wait_until 30 gone_notice || fail "the notification stayed after a click"
    xdo mousemove 500 400 2>/dev/null
  else
    fail "the first close into the tray told nothing"
  fi
  grep -qi '^CloseNoticeShown=1' "$settings" || fail "the notification was not remembered (CloseNoticeShown=1)"
  run_program second
  second_pid=$started
  second_ended() { ! kill -0 "$second_pid" 2>/dev/null; }
  wait_until 15 second_ended || give_up "a second start of the program did not end"
  wait "$second_pid"
  second_status=$?
  [ $second_status -eq 0 ] || fail "the second start ended with status $second_status"
  wait_until 10 shows "$main_title" || give_up "a second start did not show the running program's window"
  main=$(titled_window "$main_title")
  pass "a second start shows the running program's window and ends (status $second_status)"
fi

# 9
find_icon
xdo mousemove --window "$icon" 8 8 2>/dev/null
tip_up() { tip=$(menu_window); [ -n "$tip" ]; }
if wait_until 10 tip_up; then
  eval "$(xdo getwindowgeometry --shell "$tip" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  left=$((X > 40 ? X - 40 : 0))
  snap_root tray-hint.png -crop "$((screen_width - left))x$((Y + HEIGHT + 20))+${left}+0"
  pass "the icon shows its hint"
else
  fail "no hint appeared over the icon"
fi
xdo mousemove 500 400 2>/dev/null

# 10
if [ $have_wm -eq 1 ]; then
  close_main
  wait_until 10 hidden "$main_title" || give_up "the close box did not hide the window into the tray"
fi
old_icon=$icon
stop "$tray_pid"
tray_pid=""
wait_until 10 no_icon || give_up "the icon stayed visible without a tray host"
if [ $have_wm -eq 1 ]; then
  wait_until 15 shows "$main_title" || give_up "the window stayed hidden after the tray host went away"
  main=$(titled_window "$main_title")
  pass "the window is shown when the tray host goes away"
  xprop -id "$main" _NET_WM_STATE | grep -q _NET_WM_STATE_SKIP_TASKBAR &&
    fail "without a tray host the window still asks to be left off the taskbar"
  close_main
  wait_until 10 iconic || give_up "without a tray host the close box did not minimise the window ($(wm_state "$main"))"
  pass "without a tray host the close box minimises the window, which keeps its taskbar entry"
fi
start_tray
wait_until 20 find_icon || give_up "the icon did not come back after the tray host restarted"
pass "icon docked again after the tray host restarted (window $old_icon -> $icon)"
if [ $have_wm -eq 1 ]; then
  # The window minimised while there was no tray is in the tray now.
  wait_until 10 find_icon
  xdo mousemove --window "$icon" 6 6 click --repeat 2 --delay 80 1
  wait_until 10 shows "$main_title" || give_up "a double click did not bring back the window minimised without a tray"
  pass "a double click brings back the window minimised while there was no tray"
fi
settle
snap_root desktop.png

# 11
open_menu
xdo key "$exit_key"
wait_program "the menu's Exit entry"
status=$?
[ $status -eq 0 ] || fail "the program ended with status $status"
no_icon || fail "the icon stayed after Exit"
[ $status -eq 0 ] && pass "Exit from the tray menu ends the program and removes the icon"
serves && fail "the server still answers after Exit"
grep -qi '^Minimized=0' "$settings" || fail "Exit did not save Minimized=0 after the window was opened"
grep -qi '^FormX=' "$settings" || fail "Exit did not save the window's position"

# 12
saved_position() { grep -iE '^Form[XY]=' "$settings" | sort | tr '\n' ' '; }
printf '[WebServer]\nActive=0\nMinimized=0\nPort=%s\nPubDir=%s\nFormX=100\nFormY=100\n' "$port" "$work/gone" \
  >"$settings"
positions=""
for round in 1 2 3; do
  run_program program
  program_pid=$started
  wait_until 20 shows "$main_title" || give_up "restart $round: no status window"
  main=$(titled_window "$main_title")
  settle
  eval "$(xdo getwindowgeometry --shell "$main" | grep -E '^(X|Y)=')"
  positions+="$X,$Y "
  if [ "$round" = 1 ]; then
    snap_window "$main" main-window-problem.png
    grep -q "Published folder $work/gone does not exist" "$work/program.log" ||
      fail "the missing published folder was not told"
  fi
  window_key "$main" alt+x
  wait_program "the window's Exit button (restart $round)" || fail "restart $round: exit status $?"
done
if [ $have_wm -eq 1 ]; then
  set -- $positions
  if [ "$1" = "$2" ] && [ "$2" = "$3" ] && [ "$(saved_position)" = "FormX=100 FormY=100 " ]; then
    pass "the window stays where it was over three restarts ($1; saved $(saved_position))"
  else
    fail "the window moved over three restarts: $positions (saved $(saved_position))"
  fi
fi

# 12b: a running server without its folder waits; Create makes the folder.
printf '[WebServer]\nActive=1\nMinimized=0\nPort=%s\nPubDir=%s\n' "$port" "$work/later/share" >"$settings"
run_program program
program_pid=$started
wait_until 20 shows "$main_title" || give_up "no status window with a missing folder"
main=$(titled_window "$main_title")
listening() { curl -s -o /dev/null --max-time 5 "http://127.0.0.1:$port/" 2>/dev/null; }
wait_until 20 listening || give_up "the server does not listen while its folder is missing"
settle
snap_window "$main" main-window-waiting.png
code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 "http://127.0.0.1:$port/" 2>/dev/null)
[ "$code" = 404 ] || fail "a server waiting for its folder answered $code, not 404"
window_key "$main" alt+r
made() { [ -d "$work/later/share" ]; }
wait_until 10 made || give_up "the Create button did not make the published folder"
printf '<p>%s</p>\n' "$page" >"$work/later/share/index.html"
shared() { curl -sf --max-time 5 "http://127.0.0.1:$port/index.html" 2>/dev/null | grep -qF "$page"; }
wait_until 10 shared || give_up "the server does not serve the folder Create made"
pass "a missing folder is waited for, and Create makes it"
window_key "$main" alt+x
wait_program "the window's Exit button (waiting)" || fail "exit status $? after the waiting state"

# 13
if [ $have_wm -eq 1 ]; then
  stop "$tray_pid"
  tray_pid=""
  printf '[WebServer]\nActive=0\nMinimized=1\nPort=%s\nPubDir=%s\n' "$port" "$work/site" >"$settings"
  # Every window the window manager activates from now on, one a line, after
  # the first line: the active window before (which may be gone, its id
  # given to the new one).
  xprop -root -spy _NET_ACTIVE_WINDOW >"$work/active.log" 2>/dev/null &
  spy_pid=$!
  spying() { [ -s "$work/active.log" ]; }
  wait_until 10 spying || give_up "xprop -spy does not watch the active window"
  run_program program
  program_pid=$started
  main_window() {  # the status window, mapped or not, and minimised
    local id
    for id in $(xdo search --classname "^$(regex_quote "$class")\$" 2>/dev/null); do
      [ "$(xdo getwindowname "$id" 2>/dev/null)" = "$main_title" ] || continue
      main=$id
      [ "$(wm_state "$main")" = Iconic ]
      return
    done
    return 1
  }
  wait_until 20 main_window || give_up "without a tray host, Minimized=1 did not leave a minimised window"
  # A window started minimised is neither activated nor brought back: the
  # window manager's answer to its map has come by the time it is Iconic,
  # and a return would follow within moments; two seconds of looking.
  for _ in $(seq 20); do
    [ "$(wm_state "$main")" = Iconic ] || break
    sleep 0.1
  done
  state=$(wm_state "$main")
  stop "$spy_pid"
  spy_pid=""
  [ "$state" = Iconic ] || give_up "without a tray host, the window started minimised came back ($state)"
  tail -n +2 "$work/active.log" | grep -qi "window id # $(printf '0x%x' "$main")\$" &&
    give_up "without a tray host, the window started minimised was activated: $(tr '\n' ' ' <"$work/active.log")"
  xprop -id "$main" _NET_WM_STATE | grep -q _NET_WM_STATE_SKIP_TASKBAR &&
    fail "without a tray host the window asks to be left off the taskbar"
  pass "without a tray host a start with Minimized=1 leaves the window minimised on the taskbar"
  xdo windowactivate --sync "$main" 2>/dev/null
  wait_until 10 shows "$main_title" || give_up "the minimised window could not be brought back"
  window_key "$main" alt+x
  wait_program "the window's Exit button without a tray host" || fail "exit status $? without a tray host"
fi

for log in first program second; do
  if [ -s "$work/$log.log" ]; then
    echo "--- $log output"
    cat "$work/$log.log"
  fi
done
echo "screenshots in $shots"
[ $failures -eq 0 ]

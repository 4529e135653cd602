#!/usr/bin/env bash
# Installs the built program into a temporary prefix (cmake --install) and
# its Debian package (cpack -G DEB) into a temporary root with a dpkg
# database of its own, and checks what a user relies on: the program, the
# menu entry that starts it by its full path, the icons, the manual page
# (rendered by man without a warning), the copyright file and changelog,
# the AppStream data (appstreamcli validate), the package's dependencies
# and description, that lintian finds no error in it (its warnings are
# listed), and that removing the package leaves nothing behind. A missing
# man, appstreamcli or lintian skips its own check, said as SKIP.
#
#   package_check.sh BUILD_DIR
#
# Exit status: 0 passed, 1 failed, 77 skipped (cpack, dpkg or dpkg-deb missing).
set -uo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
for tool in cpack dpkg dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (Debian: cmake dpkg-dev)"; exit 77; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/vt-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
pass() { echo "PASS: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Checks an installation below ROOT whose program lives at PREFIX/bin (PREFIX
# as the menu entry names it).
check_tree() {
  local root=$1 prefix=$2 what=$3 file
  for file in bin/veltrana-webserver share/applications/veltrana-webserver.desktop \
    share/icons/hicolor/scalable/apps/veltrana-webserver.svg share/icons/hicolor/48x48/apps/veltrana-webserver.png; do
    [ -e "$root$prefix/$file" ] || fail "$what: $prefix/$file is missing"
  done
  local entry="$root$prefix/share/applications/veltrana-webserver.desktop"
  [ "$(sed -n 's/^Exec=//p' "$entry")" = "$prefix/bin/veltrana-webserver" ] ||
    fail "$what: the menu entry does not start $prefix/bin/veltrana-webserver: $(grep '^Exec=' "$entry")"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$entry" || fail "$what: the menu entry is not valid"
  fi
  [ "$("$root$prefix/bin/veltrana-webserver" --version)" = "Veltrana Web Server 1.0" ] ||
    fail "$what: the installed program does not run"
  for file in share/man/man1/veltrana-webserver.1.gz share/doc/veltrana-webserver/copyright \
    share/doc/veltrana-webserver/changelog.gz share/metainfo/org.veltrana.webserver.metainfo.xml; do
    [ -e "$root$prefix/$file" ] || fail "$what: $prefix/$file is missing"
  done
  local page="$root$prefix/share/man/man1/veltrana-webserver.1.gz" warnings
  if [ -e "$page" ]; then
    [ "$(gzip -dc "$page" | head -c 4)" = ".TH " ] || fail "$what: the manual page is no gzipped page"
    if command -v man >/dev/null; then
      # man's own warnings (groff's included) go to standard error.
      warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
      [ -z "$warnings" ] || fail "$what: man --warnings: $warnings"
      LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null | grep -q -- '--no-password' ||
        fail "$what: the rendered manual page does not name --no-password"
    else
      echo "SKIP: man is not installed (Debian: man-db)"
    fi
  fi
  local metainfo="$root$prefix/share/metainfo/org.veltrana.webserver.metainfo.xml"
  if [ -e "$metainfo" ]; then
    if command -v appstreamcli >/dev/null; then
      appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
        fail "$what: appstreamcli validate: $(cat "$work/appstream.log")"
    else
      echo "SKIP: appstreamcli is not installed (Debian: appstream)"
    fi
  fi
}

# cmake --install
if cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1; then
  before=$failures
  check_tree "" "$work/prefix" "cmake --install"
  [ $failures -eq $before ] &&
    pass "cmake --install installs the program, its menu entry, icons, manual page, documents and AppStream data"
else
  cat "$work/install.log"
  fail "cmake --install failed"
fi

# cpack -G DEB, installed into a root of its own and removed again
if (cd "$build" && cpack -G DEB -B "$work/package") >"$work/cpack.log" 2>&1; then
  deb=$(ls "$work"/package/veltrana-webserver_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || fail "cpack made no package"
  depends=$(dpkg-deb -f "$deb" Depends)
  for needed in libqt6widgets6 libqt6network6 media-types; do
    [[ "$depends" == *"$needed"* ]] || fail "the package does not depend on $needed: $depends"
  done
  # A synopsis line and an extended description, every line within 80
  # characters as Debian's tools show them.
  description=$(dpkg-deb -f "$deb" Description)
  [ "$(printf '%s\n' "$description" | wc -l)" -ge 2 ] || fail "the package has no extended description"
  long=$(dpkg-deb -f "$deb" Description | awk 'length($0) > 80')
  [ -z "$long" ] && pass "the package's description lines are within 80 characters" ||
    fail "description lines over 80 characters: $long"
  if command -v lintian >/dev/null; then
    # Errors fail the check; warnings are listed for whoever reads the log.
    lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1
    sed -n 's/^W: /lintian warning: /p' "$work/lintian.log"
    errors=$(grep '^E: ' "$work/lintian.log")
    [ -z "$errors" ] && pass "lintian finds no error in the package" || fail "lintian: $errors"
  else
    echo "SKIP: lintian is not installed (Debian: lintian)"
  fi
  mkdir -p "$work/root" "$work/admin/updates" "$work/admin/info"
  touch "$work/admin/status"
  dpkg_root() {
    dpkg --root="$work/root" --admindir="$work/admin" --force-script-chrootless --force-not-root \
      --log=/dev/null "$@" >>"$work/dpkg.log" 2>&1
  }
  # Dependencies are this machine's libraries, outside the root.
  if dpkg_root --force-depends -i "$deb"; then
    before=$failures
    check_tree "$work/root" /usr "the package"
    [ $failures -eq $before ] &&
      pass "the package installs the program, its menu entry, icons, manual page, documents and AppStream data"
    if dpkg_root -r veltrana-webserver; then
      left=$(find "$work/root" -type f | head -n 5)
      [ -z "$left" ] && pass "removing the package leaves nothing" || fail "removing the package left $left"
    else
      fail "the package could not be removed: $(tail -n 5 "$work/dpkg.log")"
    fi
  else
    fail "the package could not be installed: $(tail -n 5 "$work/dpkg.log")"
  fi
else
  cat "$work/cpack.log"
  fail "cpack -G DEB failed"
fi
[ $failures -eq 0 ]

#!/usr/bin/env bash
# Installs the built program into a temporary prefix (cmake --install) and
# its Debian package (cpack -G DEB) into a temporary root with a dpkg
# database of its own, and checks what a user relies on: the program, the
# menu entry that starts it by its full path, the icons, the package's
# dependencies, and that removing the package leaves nothing behind.
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
}

# cmake --install
if cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1; then
  before=$failures
  check_tree "" "$work/prefix" "cmake --install"
  [ $failures -eq $before ] && pass "cmake --install installs the program, its menu entry and icons"
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
    [ $failures -eq $before ] && pass "the package installs the program, its menu entry and icons"
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

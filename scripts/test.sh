#!/usr/bin/env bash
# Installs what the build and the tests need (on Debian), then configures,
# builds and runs the tests in three builds: a normal build in build/, an
# AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/, and a
# ThreadSanitizer build in build-tsan/ (the server, HTTP and application
# tests: labels util, platform, sockets, tcpserver, http and app; the Qt tests stay
# out of it). Then it runs every fuzz target of fuzz/ for a short while
# (scripts/fuzz.sh), so that they keep building and keep running clean.
# Exits non-zero when anything fails.
#
#   scripts/test.sh                       everything
#   VT_BUILDS="default" scripts/test.sh   only the named presets
#   VT_FUZZ_SECONDS=5 scripts/test.sh     seconds per fuzz target (default
#                                         20); 0 skips the fuzzing
#   VT_FUZZ_JOBS=1 scripts/test.sh        fuzz targets run at once (default 2)
set -uo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=scripts/lib/install.sh
source scripts/lib/install.sh
vt_install_packages cmake ninja-build g++ pkg-config libsodium-dev libarchive-dev libssl-dev openssl libgtest-dev libgmock-dev python3 curl media-types \
  qt6-base-dev libxcb1-dev libqrencode-dev librsvg2-bin xvfb xauth xdotool x11-utils trayer openbox imagemagick fonts-dejavu-core dbus zbar-tools \
  dpkg-dev desktop-file-utils lintian appstream man-db git chromium \
  clang libclang-rt-14-dev clang-format

builds=${VT_BUILDS:-"default asan tsan"}
fuzz_seconds=${VT_FUZZ_SECONDS:-20}
status=0
summary=""

echo "=== format"
if scripts/check_format.sh; then
  summary+="format: every file as .clang-format says"$'\n'
else
  summary+="format: FILES NOT FORMATTED (scripts/check_format.sh --fix)"$'\n'
  status=1
fi

for preset in $builds; do
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    summary+="$preset: BUILD FAILED"$'\n'
    status=1
    continue
  fi
  echo "=== $preset: test"
  if ctest --preset "$preset"; then
    summary+="$preset: all tests passed"$'\n'
  else
    summary+="$preset: TESTS FAILED"$'\n'
    status=1
  fi
done

if [ "$fuzz_seconds" != 0 ]; then
  # Two at a time: the machines this runs on have two cores or more.
  if VT_FUZZ_JOBS=${VT_FUZZ_JOBS:-2} scripts/fuzz.sh "$fuzz_seconds"; then
    summary+="fuzz: every target ran ${fuzz_seconds} s clean"$'\n'
  else
    summary+="fuzz: FAILED (see build-fuzz/logs/)"$'\n'
    status=1
  fi
fi

echo
echo "=== summary"
printf '%s' "$summary"
exit $status

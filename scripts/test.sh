#!/usr/bin/env bash
# Installs what the build and the tests need (on Debian), then configures,
# builds and runs every test twice: a normal build in build/ and an
# AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/.
# Exits non-zero when anything fails.
#
#   scripts/test.sh              both builds
#   VT_BUILDS="default" scripts/test.sh   only the named presets
set -uo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=scripts/lib/install.sh
source scripts/lib/install.sh
vt_install_packages cmake ninja-build g++ libgtest-dev libgmock-dev python3 curl media-types \
  qt6-base-dev libxcb1-dev librsvg2-bin xvfb xauth xdotool x11-utils trayer imagemagick fonts-dejavu-core dbus

builds=${VT_BUILDS:-"default asan"}
status=0
summary=""
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

echo
echo "=== summary"
printf '%s' "$summary"
exit $status

#!/usr/bin/env bash
# Installs headless Chromium when missing, then runs scripts/listing_browser.py
# (a folder listing loaded in the browser, its links followed, a screenshot).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/lib/install.sh
source "$root/scripts/lib/install.sh"
vt_install_packages chromium python3
exec python3 "$root/scripts/listing_browser.py" "$@"

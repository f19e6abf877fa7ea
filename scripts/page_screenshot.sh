#!/usr/bin/env bash
# The README's picture of the status page (docs/status-page.png): the page
# test's plant of 1,024 simulated modules in headless Chromium, a boiler
# beyond its limit and a tank offline, taken by that test.
#   scripts/page_screenshot.sh [BUILD]      the build tree (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:-build}" && pwd)
cd tests/gateway/http
QOR_PAGE_SCREENSHOT="$root/docs/status-page.png" QOR_GATEWAY="$build/qor-gateway" \
    QOR_SIM="$build/qor-sim" QOR_CLI="$build/qor" \
    /usr/bin/python3 -m unittest test_page.Plant1024.test_picture_of_the_page
echo "page_screenshot: wrote docs/status-page.png"

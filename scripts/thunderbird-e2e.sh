#!/usr/bin/env bash
# Installs Thunderbird and Xvfb (not part of the default setup: Thunderbird is large), builds with
# the end-to-end option and runs Quillory's add-on in a real Thunderbird. The screenshot lands in
# the build folder as thunderbird-e2e.png.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(thunderbird xvfb)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
QY_CMAKE_ARGS="-DQY_WERROR=ON -DQY_THUNDERBIRD_E2E=ON ${QY_CMAKE_ARGS:-}" scripts/setup.sh
ctest --test-dir "${QY_BUILD_DIR:-build}" --output-on-failure -R thunderbird_e2e

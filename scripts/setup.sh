#!/usr/bin/env bash
# Installs every Debian package Quillory needs (idempotent; as root or through sudo), then
# configures and builds the project into build/ (or $QY_BUILD_DIR).
#   scripts/setup.sh            packages + build
#   QY_CMAKE_ARGS="-DQY_WERROR=ON" scripts/setup.sh
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libicu-dev libssl-dev nlohmann-json3-dev libpcre2-dev libcld2-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev libgmime-3.0-dev libgumbo-dev
  apertium apertium-eng-spa apertium-fr-es
  python3 ca-certificates desktop-file-utils groff-base
  chromium fonts-wqy-microhei nodejs
)
# npm comes with some builds of nodejs (which then conflict with Debian's npm package): ask for
# Debian's only when there is no npm at all.
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The browser tests' node packages (playwright-core drives Debian's chromium; it downloads no
# browser of its own), exactly as package-lock.json pins them.
case " ${QY_CMAKE_ARGS:-} " in
  *" -DQY_TESTS=OFF "*) ;;
  *) (cd tests/browser && npm ci --no-audit --no-fund --loglevel=error) ;;
esac

build=${QY_BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${QY_CMAKE_ARGS:-}
cmake --build "$build" -j "$(nproc)"

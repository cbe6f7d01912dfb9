#!/usr/bin/env bash
# Installs Quillory for the user who runs it, in one step: the Debian packages that the two
# programs need (as root or through sudo), a build of quillory-ext, quillory and the Thunderbird
# add-on file alone (no tests, benchmarks or fuzzers: the `programs` target) into build/, and
# `cmake --install` into ~/.local (as root: /usr/local).
# Safe to run again: it installs only what is missing and rebuilds only what changed.
#   scripts/install.sh
#   QY_PREFIX=/opt/quillory scripts/install.sh     another prefix
#   QY_BUILD_DIR=out scripts/install.sh            another build folder
set -euo pipefail
cd "$(dirname "$0")/.."

# What the programs build and run with; Apertium with English-Spanish and French-Spanish, so
# there is something to translate with out of the box. scripts/setup.sh adds the test tools.
packages=(
  build-essential cmake ninja-build pkg-config
  libicu-dev libssl-dev nlohmann-json3-dev libpcre2-dev libcld2-dev libcpp-httplib-dev
  apertium apertium-eng-spa apertium-fr-es
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "install: installing ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

build=${QY_BUILD_DIR:-build}
args=(-DQY_TESTS=OFF)
if [ -n "${QY_PREFIX:-}" ]; then args+=("-DCMAKE_INSTALL_PREFIX=$QY_PREFIX"); fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" > /dev/null
cmake --build "$build" -j "$(nproc)" --target programs
cmake --install "$build" > /dev/null

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
echo "install: quillory-ext and quillory are in $prefix/bin (manual: man quillory-ext)"
case ":$PATH:" in
  *":$prefix/bin:"*) ;;
  *) echo "install: $prefix/bin is not on PATH yet; add it (export PATH=\"$prefix/bin:\$PATH\") or log in again" ;;
esac

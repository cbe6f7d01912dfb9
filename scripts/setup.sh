#!/usr/bin/env bash
# Installs the Debian packages Quillory needs for the build asked for (idempotent; as root or
# through sudo), then configures and builds the project into build/ (or $QY_BUILD_DIR).
#   scripts/setup.sh                                  packages + build, with the tests
#   QY_CMAKE_ARGS="-DQY_WERROR=ON" scripts/setup.sh
#   QY_CMAKE_ARGS="-DQY_TESTS=OFF" scripts/setup.sh   no test packages (GoogleTest, the browser)
#   QY_CMAKE_ARGS="-DQY_BENCH=ON" scripts/setup.sh    also Google Benchmark and the peers it compares
#   CC=clang CXX=clang++, or -DQY_FUZZ=ON             also clang and its sanitizer/libFuzzer runtime
set -euo pipefail
cd "$(dirname "$0")/.."

cmake_args=" ${QY_CMAKE_ARGS:-} "
# Whether the CMake option NAME is on in QY_CMAKE_ARGS (the last -DNAME=… wins), else DEFAULT.
option_on() {
  local value
  value=$(printf '%s\n' "$cmake_args" | grep -oE -- "-D$1(:BOOL)?=[^ ]*" | tail -n 1 | sed 's/.*=//') || true
  case "${value:-$2}" in
    ON | on | On | TRUE | true | True | YES | yes | Y | y | 1) return 0 ;;
    *) return 1 ;;
  esac
}

# What every build needs: the toolchain, the libraries the code links, and the translation
# engine with the pairs the tests and the demo use. cpp-httplib serves the local web pages.
packages=(
  build-essential cmake ninja-build pkg-config
  libicu-dev libssl-dev nlohmann-json3-dev libpcre2-dev libcld2-dev libcpp-httplib-dev
  apertium apertium-eng-spa apertium-fr-es
  python3 ca-certificates
)
tests=false
if option_on QY_TESTS ON; then
  tests=true
  # GoogleTest; the checkers of the installed desktop entry and man pages; the browser tests'
  # Chromium, CJK font and node.
  packages+=(libgtest-dev libgmock-dev desktop-file-utils groff-base chromium fonts-wqy-microhei nodejs)
  # npm comes with some builds of nodejs (which then conflict with Debian's npm package): ask for
  # Debian's only when there is no npm at all.
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi
if option_on QY_BENCH OFF; then packages+=(libbenchmark-dev libgmime-3.0-dev libgumbo-dev); fi
if option_on QY_FUZZ OFF || [[ "${CC:-} ${CXX:-} $cmake_args" == *clang* ]]; then
  packages+=(clang libclang-rt-14-dev)
fi

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
if $tests; then (cd tests/browser && npm ci --no-audit --no-fund --loglevel=error); fi

build=${QY_BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${QY_CMAKE_ARGS:-}
cmake --build "$build" -j "$(nproc)"

#!/usr/bin/env bash
# Sets everything up for the tests (the packages they need included), builds with warnings as
# errors, and runs every test (CTest).
set -euo pipefail
cd "$(dirname "$0")/.."
QY_CMAKE_ARGS="-DQY_WERROR=ON -DQY_TESTS=ON ${QY_CMAKE_ARGS:-}" scripts/setup.sh
ctest --test-dir "${QY_BUILD_DIR:-build}" --output-on-failure -j "$(nproc)" --timeout 600

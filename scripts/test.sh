#!/usr/bin/env bash
# Sets everything up for development (every package, the tests, benchmarks' and fuzzers'
# tools), builds everything with warnings as errors, and runs every test (CTest).
set -euo pipefail
cd "$(dirname "$0")/.."
QY_CMAKE_ARGS="-DQY_WERROR=ON -DQY_TESTS=ON ${QY_CMAKE_ARGS:-}" scripts/setup.sh
ctest --test-dir "${QY_BUILD_DIR:-build}" --output-on-failure -j "$(nproc)" --timeout 600

#!/usr/bin/env bash
# Sets everything up and runs the main job on the bundled sample: a mail is decoded by
# quillory-ext (translated into Spanish on this machine) and the result is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${QY_BUILD_DIR:-build}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export QY_HOME="$home"
printf '{"targetLanguage": "es"}\n' > "$home/config.json"
echo "== quillory-ext decode samples/plain-en.eml (target: Spanish) =="
"$build/extension/quillory-ext" decode samples/plain-en.eml
echo
echo "== log =="
sleep 0.2
cat "$home/qy.log" 2>/dev/null || true

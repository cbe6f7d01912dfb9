#!/usr/bin/env bash
# Runs the main job on the bundled sample with the installed quillory-ext: a plain-text mail in
# English is translated into Spanish on this machine (Apertium). Shows the banner, the rebuilt
# message's header, its new HTML body, and the log. Installs first when the programs are not
# installed yet (scripts/install.sh: only the packages and the build they need); QY_DEMO_NO_INSTALL
# skips that, QY_EXT names another quillory-ext.
#   scripts/demo.sh [MESSAGE.eml]   decode one message (default samples/plain-en.eml)
#   scripts/demo.sh --reader        the web mail reader on the bundled samples; prints its URL
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QY_BUILD_DIR:-build}
installed() {
  [ -f "$build/CMakeCache.txt" ] || return 1
  prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
  [ -x "$prefix/bin/quillory-ext" ]
}
if [ -z "${QY_DEMO_NO_INSTALL:-}" ] && ! installed; then scripts/install.sh; fi
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt" 2> /dev/null || true)
ext=${QY_EXT:-$prefix/bin/quillory-ext}
# The sample's display below reads the message with Python's email package.
if ! command -v python3 > /dev/null; then
  if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends python3
fi
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export QY_HOME="$home"
printf '{"targetLanguage": "es"}\n' > "$home/config.json"

if [ "${1:-}" = "--reader" ]; then
  # The service with the web mail reader on samples/ (a folder of .eml files). It prints the
  # reader's URL and opens it in the browser (not with QY_NO_BROWSER=1). Ctrl-C ends it.
  echo "== quillory-ext serve --reader samples (target: Spanish; Ctrl-C to stop) =="
  "$ext" serve --reader samples ${QY_NO_BROWSER:+--no-browser}
  exit 0
fi

sample=${1:-samples/plain-en.eml}
echo "== $ext decode --status-header $sample (target: Spanish), the status field =="
"$ext" decode --status-header "$sample" > "$home/marked.eml"
awk 'NR == 1 || /^[ \t]/ { print; next } { exit }' "$home/marked.eml"
echo
echo "== the same message from the cache, as decode --json sees it =="
"$ext" decode --json "$sample" > "$home/result.json"
python3 - "$home/result.json" <<'PY'
import base64, email, email.policy, json, sys
result = json.load(open(sys.argv[1]))
print("banner: ", result["banner"])
print("button: ", result["action"])
print("state:  ", result["context"].get("s"), "  note:", result["note"])
if result["data"] is None:
    print("(the message is shown as received)")
    sys.exit(0)
message = email.message_from_bytes(base64.b64decode(result["data"]), policy=email.policy.default)
print()
for name, value in message.items():
    print(f"{name}: {value}")
body = message.get_body(("html",))
print()
print(body.get_content() if body else message.get_payload())
PY
echo "== log =="
cat "$home/qy.log" 2>/dev/null || true

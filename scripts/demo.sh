#!/usr/bin/env bash
# Sets everything up and runs the main job on the bundled sample: a plain-text mail in English
# is decoded by quillory-ext and translated into Spanish on this machine (Apertium). Shows the
# banner, the rebuilt message's header, its new HTML body, and the log.
#   scripts/demo.sh [FILE]     decode one message (default samples/plain-en.eml)
#   scripts/demo.sh --reader   the web mail reader on the bundled samples; prints its URL
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${QY_BUILD_DIR:-build}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export QY_HOME="$home"
printf '{"targetLanguage": "es"}\n' > "$home/config.json"

if [ "${1:-}" = "--reader" ]; then
  # The service with the web mail reader on samples/ (a folder of .eml files). It prints the
  # reader's URL and opens it in the browser (not with QY_NO_BROWSER=1). Ctrl-C ends it.
  echo "== quillory-ext serve --reader samples (target: Spanish; Ctrl-C to stop) =="
  "$build/extension/quillory-ext" serve --reader samples ${QY_NO_BROWSER:+--no-browser}
  exit 0
fi

sample=${1:-samples/plain-en.eml}
echo "== quillory-ext decode --json $sample (target: Spanish) =="
"$build/extension/quillory-ext" decode --json "$sample" > "$home/result.json"
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

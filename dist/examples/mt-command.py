#!/usr/bin/env python3
"""A translation program for Quillory's translators.json, bridging to any local command-line
translator that reads one text on standard input and writes its translation on standard output.

    mt-command.py [--from-to-args] -- COMMAND [ARGUMENTS...]

Quillory starts this program once and keeps it running. It reads one JSON object per line,
    {"from": "en", "to": "es", "texts": ["...", "..."]}
and answers each with one line,
    {"translations": ["...", "..."]}     (same count and order)
or  {"error": "what went wrong"}.

COMMAND runs once per text. With --from-to-args the language codes are appended as two more
arguments (for translators that take them, e.g. a local model's command line). Example, with
Apertium's own command (Debian: apertium apertium-eng-spa):
    mt-command.py -- apertium -u eng-spa
"""
import json
import subprocess
import sys

LIMIT_SECONDS = 100  # below Quillory's 120 s per batch, so a hung translator is reported as such


def translate(command, text):
    done = subprocess.run(command, input=text, capture_output=True, text=True, timeout=LIMIT_SECONDS)
    if done.returncode != 0:
        raise RuntimeError(f"{command[0]} exited with {done.returncode}: {done.stderr.strip()[:200]}")
    return done.stdout.rstrip("\n")


def main():
    args = sys.argv[1:]
    from_to = "--from-to-args" in args[: args.index("--")] if "--" in args else False
    if "--" not in args or args.index("--") == len(args) - 1:
        sys.exit(__doc__)
    command = args[args.index("--") + 1 :]
    for line in sys.stdin:
        try:
            request = json.loads(line)
            argv = command + [request["from"], request["to"]] if from_to else command
            answer = {"translations": [translate(argv, text) for text in request["texts"]]}
        except Exception as error:  # every failure is an answer, never a silent exit
            answer = {"error": str(error)}
        sys.stdout.write(json.dumps(answer, ensure_ascii=False) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()

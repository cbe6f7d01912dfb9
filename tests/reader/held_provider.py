#!/usr/bin/env python3
# A translation engine for the reader's browser test, spoken to through translators.json:
# answers each request with "<to>:<text>" per text, but holds every answer back while the file
# named by QY_TEST_GATE exists, so a test can show a message while it is being translated and
# then let the translation finish by removing the file (no timing involved). A request with a
# text containing "qy-fail" is refused with an error, as a broken engine would. It ends when the
# service that started it goes away.
import json
import os
import sys
import time

gate = os.environ.get("QY_TEST_GATE", "")
parent = os.getppid()

for line in sys.stdin:
    request = json.loads(line)
    while gate and os.path.exists(gate):
        if os.getppid() != parent:
            sys.exit(0)
        time.sleep(0.05)
    if any("qy-fail" in t for t in request["texts"]):
        answer = {"error": "测试引擎拒绝了这段文字"}
    else:
        answer = {"translations": [request["to"] + ":" + t for t in request["texts"]]}
    if "id" in request:
        answer["id"] = request["id"]
    print(json.dumps(answer), flush=True)

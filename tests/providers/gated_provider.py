#!/usr/bin/env python3
# A command provider for the service tests: answers each request with "<to>:<text>" per text.
# While the file named by QY_TEST_GATE exists it holds every answer back (a slow engine the test
# releases by removing the file); each request is noted as a line in QY_TEST_PROVIDER_LOG, so a
# test can tell which process's engine did the work. It ends when its parent goes away.
import json
import os
import sys
import time

gate = os.environ.get("QY_TEST_GATE", "")
note = os.environ.get("QY_TEST_PROVIDER_LOG", "")
parent = os.getppid()

for line in sys.stdin:
    request = json.loads(line)
    if note:
        with open(note, "a") as f:
            f.write(str(len(request["texts"])) + "\n")
    while gate and os.path.exists(gate):
        if os.getppid() != parent:
            sys.exit(0)
        time.sleep(0.02)
    answer = {"translations": [request["to"] + ":" + t for t in request["texts"]]}
    if "id" in request:
        answer["id"] = request["id"]
    print(json.dumps(answer), flush=True)

#!/usr/bin/env python3
# A command provider for the service tests: answers each request with "<to>:<text>" per text.
# While the file named by QY_TEST_GATE exists it holds every answer back (a slow engine the test
# releases by removing the file); each request is noted as a line in QY_TEST_PROVIDER_LOG, so a
# test can tell which process's engine did the work (each line: its pid and the number of texts).
import json
import os
import sys
import time

gate = os.environ.get("QY_TEST_GATE", "")
note = os.environ.get("QY_TEST_PROVIDER_LOG", "")

for line in sys.stdin:
    request = json.loads(line)
    if note:
        with open(note, "a") as f:
            f.write("%d %d\n" % (os.getpid(), len(request["texts"])))
    while gate and os.path.exists(gate):
        time.sleep(0.02)
    answer = {"translations": [request["to"] + ":" + t for t in request["texts"]]}
    if "id" in request:
        answer["id"] = request["id"]
    print(json.dumps(answer), flush=True)

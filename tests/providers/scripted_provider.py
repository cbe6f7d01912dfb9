#!/usr/bin/env python3
# A command provider for the tests: answers each request line with "<to>:<text>" per text, and
# misbehaves on request when a text is one of the trigger words below. With QY_TEST_REQUEST_LOG
# set, each request's texts are appended to that file (one JSON list a line) as soon as it arrives;
# with QY_TEST_PID_LOG set, "engine PID" is appended at start and "escaped PID" for each process
# that ESCAPE starts.
import json
import os
import sys
import time

request_log = os.environ.get("QY_TEST_REQUEST_LOG")
pid_log = os.environ.get("QY_TEST_PID_LOG")


def log_pid(kind):
    if pid_log:
        with open(pid_log, "a") as log:
            log.write(f"{kind} {os.getpid()}\n")


log_pid("engine")

for line in sys.stdin:
    request = json.loads(line)
    texts = request["texts"]
    if request_log:
        with open(request_log, "a") as log:
            log.write(json.dumps(texts) + "\n")
    if "ESCAPE" in texts:
        # A grandchild that leaves the engine's process group and session, and lingers. The
        # engine answers only once the grandchild has logged itself, so no test misses it.
        ready_read, ready_write = os.pipe()
        if os.fork() == 0:
            os.close(ready_read)
            os.setsid()
            log_pid("escaped")
            os.write(ready_write, b"x")
            os.close(ready_write)
            time.sleep(3600)
            os._exit(0)
        os.close(ready_write)
        os.read(ready_read, 1)
        os.close(ready_read)
    if "CRASH" in texts:
        os._exit(3)
    if "HANG" in texts:
        time.sleep(3600)
    if "GARBAGE" in texts:
        print("this is not json", flush=True)
        continue
    if "WRONGCOUNT" in texts:
        print(json.dumps({"translations": texts[1:]}), flush=True)
        continue
    if "ERROR" in texts:
        print(json.dumps({"error": "引擎\n故障"}), flush=True)
        continue
    if "PID" in texts:
        print(json.dumps({"translations": [str(os.getpid()) for _ in texts]}), flush=True)
        continue
    if "TWOLINES" in texts:
        print(json.dumps({"translations": texts, "id": request["id"]}), flush=True)
        print(json.dumps({"translations": ["stale" for _ in texts], "id": request["id"]}), flush=True)
        continue
    answer = {"translations": [request["to"] + ":" + t for t in texts]}
    if "NOECHO" not in texts:
        answer["id"] = request["id"]
    print(json.dumps(answer), flush=True)

"""Runs one ostrel engine in its own process, as a user's harness would, for the benchmark driver.

The run document comes as the first argument. The endpoints go to stdout as one JSON line;
then each stdin line is one JSON command and gets one JSON line back:

    {"op": "set_faults", "proxy": NAME, "faults": [...]}   -> {"t0_ns": ..., "t1_ns": ...}
    {"op": "status"}                                        -> the engine's status
    {"op": "shutdown"}                                      -> the summary, then the process ends

Times are CLOCK_MONOTONIC nanoseconds, the clock the load client stamps its observations with.
"""

import asyncio
import json
import resource
import sys
import time

import _ostrel


def reply(value):
    sys.stdout.write(json.dumps(value, separators=(",", ":")) + "\n")
    sys.stdout.flush()


async def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    engine = _ostrel.Engine(sys.argv[1])
    reply({"endpoints": json.loads(await engine.start())})
    loop = asyncio.get_running_loop()
    while True:
        line = await loop.run_in_executor(None, sys.stdin.readline)
        if not line:
            line = '{"op": "shutdown"}'
        command = json.loads(line)
        op = command["op"]
        if op == "set_faults":
            faults = json.dumps(command["faults"])
            t0 = time.monotonic_ns()
            await engine.set_faults(command["proxy"], faults)
            reply({"t0_ns": t0, "t1_ns": time.monotonic_ns()})
        elif op == "status":
            reply(json.loads(await engine.status()))
        elif op == "shutdown":
            reply(json.loads(await engine.shutdown()))
            return
        else:
            reply({"error": f"unknown op {op}"})


if __name__ == "__main__":
    asyncio.run(main())

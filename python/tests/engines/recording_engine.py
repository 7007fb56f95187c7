"""An engine for the whole-run tests that writes down everything it saw.

Its model file is JSON: {"years": n, "delays": {"year": seconds},
"raw": [request lines], "record": path}. It makes the usual calls (the raw
request lines, if any, right after StartSimulation) and writes to `record`
its command line, working folder, and every call's method, reply bytes
(as latin-1 text) and duration.
"""
import json
import os
import sys
import time

import velmar


def main():
    record = {"argv": sys.argv[1:], "cwd": os.getcwd(), "calls": []}
    engine = velmar.Engine.from_command_line()
    cl = engine.command_line
    record.update(client_id=engine.client_id, model_path=engine.model_path, reply_timeout=engine.reply_timeout,
                  options=cl.options, extra=cl.extra, pipe_name=engine.pipe_name)
    with open(engine.model_path) as f:
        model = json.load(f)

    def call(method, fn, *args):
        start = time.monotonic()
        result = fn(*args)
        record["calls"].append({"method": method, "reply": engine.last_reply.decode("latin-1"),
                                "seconds": time.monotonic() - start, "result": result})
        return result

    try:
        call("Initialize", engine.initialize)
        call("StartSimulation", engine.start_simulation, {"Model": engine.model_path})
        for line in model.get("raw", []):
            start = time.monotonic()
            reply = engine.call_raw(line.encode())
            record["calls"].append({"method": "raw", "request": line, "reply": reply.decode("latin-1"),
                                    "seconds": time.monotonic() - start})
        for year in range(1, model.get("years", 0) + 1):
            if call("StartTimeStep", engine.start_time_step) is False:
                break
            time.sleep(model.get("delays", {}).get(str(year), 0))
            if call("StopTimeStep", engine.stop_time_step, {"Timestep": year, "Abund": [[1]], "K": [1]}) is False:
                break
        call("StopSimulation", engine.stop_simulation)
        call("Finalize", engine.finalize)
    finally:
        with open(model["record"], "w") as f:
            json.dump(record, f)
    return 1 if engine.cancelled else 0


if __name__ == "__main__":
    sys.exit(main())

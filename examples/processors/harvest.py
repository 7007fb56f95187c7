#!/usr/bin/env python3
"""An external processor that harvests every population at every time step.

    harvest.py [--rate R] [--log FILE] [--close WORD]

Each engine reports its abundances when it stops a time step (the
"VelmarStateVarsPop" member {"Timestep": t, "Abund": [[n, ...], ...], ...}).
When that engine starts its next step, t + 1, it is handed those abundances
less the harvest: each stage count times (1 - R), rounded down. Every other
call gets the reply the manager itself would give.

--log appends one JSON line per modifier sent: {"client", "timestep", "abund"}.
Needs the velmar package (pip install ./python, or PYTHONPATH=python).
"""
import argparse
import json
import math
import sys

import velmar


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rate", type=float, default=0.1, help="share of every stage taken each step (0..1)")
    parser.add_argument("--log", help="file to append one line per modifier sent")
    parser.add_argument("--close", default="QUIT", help="the manager's close command (CloseCommand setting)")
    options = parser.parse_args()
    if not 0.0 <= options.rate <= 1.0:
        parser.error("--rate must lie between 0 and 1")

    processor = velmar.Processor(close_command=options.close)
    reported = {}  # client id -> (timestep, abundances) as last reported
    log = open(options.log, "a") if options.log else None

    @processor.on("StopTimeStep")
    def stop_time_step(request):
        pop = request.params.get("VelmarStateVarsPop")
        if isinstance(pop, dict) and isinstance(pop.get("Abund"), list):
            reported[request.client_id] = (int(pop.get("Timestep", 0)), pop["Abund"])
        return processor.default_result(request)

    @processor.on("StartTimeStep")
    def start_time_step(request):
        last = reported.get(request.client_id)
        if last is None:
            return processor.default_result(request)  # the first step: nothing reported yet
        timestep, abund = last
        rows = [row if isinstance(row, list) else [row] for row in abund]
        harvested = [[int(math.floor(n * (1.0 - options.rate))) for n in row] for row in rows]
        if log:
            log.write(json.dumps({"client": request.client_id, "timestep": timestep + 1, "abund": harvested}) + "\n")
            log.flush()
        return velmar.modifier_result(abund=harvested, timestep=timestep + 1)

    processor.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())

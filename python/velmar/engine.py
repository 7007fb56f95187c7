"""An engine's side of the conversation with Velmar Manager.

    engine = velmar.Engine.from_command_line()
    engine.initialize()
    engine.start_simulation({"Model": engine.model_path, "Years": 10})
    for year in range(1, 11):
        answer = engine.start_time_step()
        if answer is False:
            break                       # the run was cancelled
        ...                             # apply answer["modifier"], simulate
        engine.stop_time_step({"Timestep": year, "Abund": [[n]], "K": [k]})
    engine.stop_simulation()
    engine.finalize()

Run as `python -m velmar.engine` this module is a small demonstration
engine (logistic growth of one population) that can stand in for
velmar-refengine; see main().
"""
from __future__ import annotations

import csv
import json
import math
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Union

from . import jsontext
from .framing import Channel, ManagerHungUp, ReplyTimeout, VelmarError, connect

__all__ = ["Engine", "CommandLine", "CommandLineError", "RpcErrorReply", "parse_command_line", "is_option", "main"]

DEFAULT_REPLY_TIMEOUT = 60.0

# Engine.from_command_line's reply_timeout when the command line's is taken.
FROM_COMMAND_LINE: Any = type("FromCommandLine", (), {"__repr__": lambda self: "FROM_COMMAND_LINE"})()


class CommandLineError(VelmarError, ValueError):
    """The command line lacks what an engine needs, or holds a bad value."""


class RpcErrorReply(VelmarError):
    """The manager (or the processor) answered with a JSON-RPC error."""

    def __init__(self, code: int, message: str, reply: bytes) -> None:
        super().__init__("error %d: %s" % (code, message))
        self.code = code
        self.message = message
        self.reply = reply


def is_option(arg: str) -> bool:
    """Whether an argument is a slash option: "/" and a plain word (letters,
    digits, underscores, starting with a letter), then nothing or "=value".
    "/RPCID=3" is one; "/home/ana/north.vm" is a path."""
    if len(arg) < 2 or arg[0] != "/" or not arg[1].isascii() or not arg[1].isalpha():
        return False
    name = arg[1:].split("=", 1)[0]
    return all(c.isascii() and (c.isalnum() or c == "_") for c in name)


@dataclass
class CommandLine:
    """What the manager put on the engine's command line."""
    pipe_name: Optional[str] = None           # /RPC=
    client_id: Optional[int] = None           # /RPCID=
    model_path: Optional[str] = None          # the one argument that is not an option
    reply_timeout: Optional[float] = None     # /RpcResponseTimeout= seconds; None: not given
    run: bool = False                         # /RUN=YES
    options: Dict[str, str] = field(default_factory=dict)  # other /NAME=value, name in lower case
    extra: List[str] = field(default_factory=list)         # arguments starting with "-"


def _whole(text: str, what: str, limit: int) -> int:
    if not text.isascii() or not text.isdigit():
        raise CommandLineError('%s: "%s" is not a whole number' % (what, text))
    n = int(text)
    if n > limit:
        raise CommandLineError("%s: %d is too large" % (what, n))
    return n


def parse_command_line(args: Sequence[str]) -> CommandLine:
    """Reads the arguments after the program name. Option names are matched
    without regard to case; options this package does not know are kept in
    `options`; arguments starting with "-" in `extra`."""
    cl = CommandLine()
    for arg in args:
        if is_option(arg):
            name, _, value = arg[1:].partition("=")
            key = name.lower()
            if key == "rpc":
                cl.pipe_name = value
            elif key == "rpcid":
                cl.client_id = _whole(value, "/RPCID", 2 ** 32 - 1)
            elif key == "rpcresponsetimeout":
                cl.reply_timeout = float(_whole(value, "/RpcResponseTimeout", 10 ** 9))
            elif key == "run":
                cl.run = value.lower() == "yes"
            else:
                cl.options[key] = value
        elif arg.startswith("-"):
            cl.extra.append(arg)
        else:
            if cl.model_path is not None:
                raise CommandLineError('more than one model file given: "%s" and "%s"' % (cl.model_path, arg))
            cl.model_path = arg
    return cl


def _goes_on(result: Any) -> bool:
    if isinstance(result, dict):
        return result.get("result") is True
    return result is not False


class Engine:
    """A connection to the manager that makes the engine calls.

    Every call waits at most reply_timeout seconds (None: for ever) for its
    reply and returns the reply's result; ReplyTimeout when none came,
    ManagerHungUp when the manager closed the connection, RpcErrorReply for
    an error reply. An empty reply (a cancelled run with a processor) counts
    as False. `cancelled` turns true at the first reply that says the run
    is over.
    """

    def __init__(self, client_id: int, pipe_name: str = "VelmarManager", model_path: Optional[str] = None,
                 reply_timeout: Optional[float] = DEFAULT_REPLY_TIMEOUT, environ: Optional[Mapping[str, str]] = None,
                 connect_timeout: Optional[float] = None) -> None:
        self.client_id = int(client_id)
        self.pipe_name = pipe_name
        self.model_path = model_path
        self.reply_timeout = reply_timeout
        self.cancelled = False
        self.last_reply: bytes = b""
        self.command_line: Optional[CommandLine] = None  # set by from_command_line
        self._next_id = 1
        wait = reply_timeout if connect_timeout is None else connect_timeout
        self._channel = Channel(connect(pipe_name, wait, environ))

    @classmethod
    def from_command_line(cls, argv: Optional[Sequence[str]] = None,
                          environ: Optional[Mapping[str, str]] = None, *,
                          reply_timeout: Any = FROM_COMMAND_LINE) -> "Engine":
        """Connects as the command line says. argv is the whole argument list,
        program name first (sys.argv by default); environ gives
        VELMAR_PIPE_NAMESPACE (os.environ by default).

        reply_timeout is how long each call waits for its reply, in seconds
        (None: for ever). By default it is the command line's
        /RpcResponseTimeout (0 there waits for ever), which the manager sets
        to its own time-out + 2 s: the moment it gives up on a slow
        processor too. An engine whose processor may answer late passes a
        longer one."""
        args = list(sys.argv if argv is None else argv)[1:]
        cl = parse_command_line(args)
        if cl.pipe_name is None or cl.pipe_name == "":
            raise CommandLineError("no /RPC=PIPE on the command line: not started by the manager")
        if cl.client_id is None:
            raise CommandLineError("no /RPCID=N on the command line")
        timeout: Optional[float]
        if reply_timeout is FROM_COMMAND_LINE:
            timeout = DEFAULT_REPLY_TIMEOUT if cl.reply_timeout is None else cl.reply_timeout
            if timeout == 0:
                timeout = None
        elif reply_timeout is None:
            timeout = None
        else:
            timeout = float(reply_timeout)
            if not timeout > 0:
                raise ValueError("reply_timeout must be more than 0 seconds (None waits for ever), not %r"
                                 % reply_timeout)
        engine = cls(cl.client_id, cl.pipe_name, cl.model_path, timeout, environ)
        engine.command_line = cl
        return engine

    def close(self) -> None:
        """Leaves: closing the connection is the normal way to go."""
        self._channel.close()

    def __enter__(self) -> "Engine":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ---- the calls ---------------------------------------------------------

    def initialize(self) -> Any:
        return self.call("Initialize")

    def start_simulation(self, global_state: Any) -> Any:
        return self.call("StartSimulation", VelmarStateVarsGlobal=global_state)

    def start_time_step(self) -> Union[Dict[str, Any], bool]:
        """The modifier-result ({"modifier": {...}, "result": True}), or False
        when the run is cancelled (a false result, an object whose "result"
        is false, or an empty reply)."""
        result = self.call("StartTimeStep")
        if isinstance(result, dict) and result.get("result") is True:
            return result
        self.cancelled = True
        return False

    def stop_time_step(self, pop_state: Any) -> Any:
        return self.call("StopTimeStep", VelmarStateVarsPop=pop_state)

    def stop_simulation(self) -> Any:
        return self.call("StopSimulation")

    def finalize(self) -> Any:
        return self.call("Finalize")

    def echo(self, value: int) -> Any:
        return self.call("Echo", Value=value)

    def call(self, method: str, **params: Any) -> Any:
        """Makes one call with "ClientID" added to params; returns the result
        (None when the reply has none, False for an empty reply)."""
        my_id = self._next_id
        self._next_id += 1
        request = {"jsonrpc": "2.0", "id": my_id, "method": method, "params": dict(params, ClientID=self.client_id)}
        result = self._result(self._exchange(json.dumps(request, separators=(",", ":")).encode(), my_id))
        if not _goes_on(result):
            self.cancelled = True
        return result

    def call_raw(self, request: bytes) -> bytes:
        """Sends request bytes as one message and returns the next reply's
        bytes as they came (with a processor, its line end included)."""
        self._next_id += 1
        return self._exchange(request, None)

    def _exchange(self, request: bytes, my_id: Optional[int]) -> bytes:
        deadline = None if self.reply_timeout is None else time.monotonic() + self.reply_timeout
        self._channel.send(request, self.reply_timeout)
        while True:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            try:
                reply = self._channel.receive(left)
            except ReplyTimeout as e:
                raise ReplyTimeout("no reply to %s within %g seconds" % (
                    "request %d" % my_id if my_id is not None else "the request", self.reply_timeout)) from e
            if my_id is not None and self._is_stale(reply, my_id):
                continue  # the late reply to an earlier call that timed out
            self.last_reply = reply
            return reply

    @property
    def next_id(self) -> int:
        return self._next_id

    def _is_stale(self, reply: bytes, my_id: int) -> bool:
        ok, value = jsontext.parse_request_text(reply.decode("utf-8", "replace"))
        if not ok or not isinstance(value, dict):
            return False
        rid = value.get("id")
        return isinstance(rid, int) and not isinstance(rid, bool) and 0 < rid < my_id

    def _result(self, reply: bytes) -> Any:
        text = reply.decode("utf-8", "replace")
        if not text.strip():
            return False  # what a cancelled run with a processor sends
        try:
            value = json.loads(text)
        except ValueError as e:
            raise VelmarError("the reply is not JSON: %r" % text[:200]) from e
        if not isinstance(value, dict):
            raise VelmarError("the reply is not a JSON object: %r" % text[:200])
        if isinstance(value.get("error"), dict):
            err = value["error"]
            raise RpcErrorReply(int(err.get("code", 0)), str(err.get("message", "")), reply)
        return value.get("result")


# ---- the demonstration engine ----------------------------------------------


@dataclass
class DemoModel:
    """A model of one population with logistic growth."""
    years: int = 10
    name: str = "P"
    initial: int = 100
    capacity: int = 1000
    growth: float = 0.2
    delay_ms: int = 0


def read_demo_model(path: str) -> DemoModel:
    """Reads "name = value" lines (years, name, initial, capacity, growth,
    delay_ms); "#" starts a comment. Section lines in brackets are skipped,
    so a velmar-refengine model with one population reads too."""
    model = DemoModel()
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            if line.startswith("["):
                if line.lower().startswith("[population"):
                    model.name = line[11:-1].strip() or model.name
                continue
            key, eq, value = line.partition("=")
            key, value = key.strip().lower(), value.strip()
            if not eq:
                raise ValueError("%s line %d: expected name = value" % (path, number))
            try:
                if key in ("years", "initial", "capacity", "delay_ms"):
                    setattr(model, key, int(value))
                elif key == "growth":
                    model.growth = float(value)
                elif key == "name":
                    model.name = value
            except ValueError:
                raise ValueError("%s line %d: %s = %r is not a number" % (path, number, key, value)) from None
    if model.years < 1 or model.capacity < 1:
        raise ValueError("%s: years and capacity must be at least 1" % path)
    return model


def results_path(model_path: str) -> str:
    """north.vm -> north.results.csv, beside the model."""
    base, ext = os.path.splitext(model_path)
    return (base if ext else model_path) + ".results.csv"


def _apply(modifier: Any, n: int, k: int) -> tuple:
    """The abundance and capacity after a modifier's set flags."""
    if not isinstance(modifier, dict):
        return n, k
    if modifier.get("ChangeAbund") is True and modifier.get("Abund"):
        row = modifier["Abund"][0]
        cells = row if isinstance(row, list) else [row]
        n = int(sum(c for c in cells if isinstance(c, (int, float)) and not isinstance(c, bool)))
    if modifier.get("ChangeK") is True and modifier.get("K"):
        k = int(modifier["K"][0])
    return max(n, 0), max(k, 1)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """python -m velmar.engine /RUN=YES /RPC=PIPE /RPCID=N "MODEL" /RpcResponseTimeout=S

    Each year N becomes round(N + growth * N * (1 - N / K)) after any
    modifier (ChangeAbund: Abund[0] summed; ChangeK: K[0]). Writes
    MODEL's results file: Year,<name>,K,Total,Modifier,StartNs,StopNs, where
    StartNs and StopNs are CLOCK_MONOTONIC when the year was let start and
    when its end was about to be reported, and Modifier the set flags'
    arrays of the modifier applied. Exit status: 0 done, 1 cancelled,
    2 bad command line, model or results file, 4 no reply in time, 5 the
    manager went (or answered with an error)."""
    args = list(sys.argv if argv is None else argv)
    try:
        engine = Engine.from_command_line(args)
        if not engine.model_path:
            raise CommandLineError("no model file given")
        model = read_demo_model(engine.model_path)
    except (CommandLineError, OSError, ValueError) as e:
        print("velmar.engine: %s" % e, file=sys.stderr)
        return 2
    try:
        with engine, open(results_path(engine.model_path), "w", newline="") as out:
            return _run(engine, model, csv.writer(out), out)
    except ReplyTimeout as e:
        print("velmar.engine #%d: %s" % (engine.client_id, e), file=sys.stderr)
        return 4
    except (ManagerHungUp, VelmarError) as e:
        print("velmar.engine #%d: %s" % (engine.client_id, e), file=sys.stderr)
        return 5
    except OSError as e:
        print("velmar.engine #%d: %s" % (engine.client_id, e), file=sys.stderr)
        return 2


def _run(engine: Engine, model: DemoModel, rows: Any, out: Any) -> int:
    n, k = model.initial, model.capacity
    rows.writerow(["Year", model.name, "K", "Total", "Modifier", "StartNs", "StopNs"])
    rows.writerow([0, n, k, n, "", 0, 0])
    out.flush()
    if engine.initialize() is not True:
        return 1
    state = {"Model": engine.model_path, "Years": model.years, "Seed": 0, "Populations": [model.name]}
    going = engine.start_simulation(state) is True
    for year in range(1, model.years + 1):
        if not going:
            break
        answer = engine.start_time_step()
        start_ns = time.monotonic_ns()
        if answer is False:
            going = False
            break
        modifier = answer.get("modifier")
        n, k = _apply(modifier, n, k)
        if model.delay_ms:
            time.sleep(model.delay_ms / 1000.0)
        n = max(0, int(math.floor(n + model.growth * n * (1 - n / k) + 0.5)))
        stop_ns = time.monotonic_ns()
        going = engine.stop_time_step({"Timestep": year, "Abund": [[n]], "K": [k]}) is True
        rows.writerow([year, n, k, n, _modifier_text(modifier), start_ns, stop_ns])
        out.flush()
    # Said even when cancelled, so the manager sees this engine finish.
    engine.stop_simulation()
    engine.finalize()
    return 0 if going else 1


def _modifier_text(modifier: Any) -> str:
    if not isinstance(modifier, dict):
        return ""
    used = {name: modifier.get(array) for flag, name, array in
            (("ChangeAbund", "Abund", "Abund"), ("ChangeVital", "Vital", "Vital"),
             ("ChangeK", "K", "K"), ("ChangeDisp", "Disp", "Disp")) if modifier.get(flag) is True}
    if not used:
        return ""
    used["Timestep"] = modifier.get("Timestep")
    return json.dumps(used, separators=(",", ":"), sort_keys=True)


if __name__ == "__main__":
    sys.exit(main())

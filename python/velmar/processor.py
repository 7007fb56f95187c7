"""The external processor's side: one request line in, one reply line out.

The manager writes every engine call to the processor's standard input as
one line (ended by CR LF) and sends the processor's one-line answer to the
engine as its whole reply. A Processor reads those lines, hands each to the
handler registered for its method, and writes the reply line; a call
without a handler gets the reply the manager itself would have sent, byte
for byte, so a processor only writes what it changes.
"""
from __future__ import annotations

import os
import sys
import traceback
from typing import Any, BinaryIO, Callable, Dict, Optional, TextIO

from . import jsontext
from .modifier import cleared_modifier

__all__ = ["Processor", "Request", "RpcError", "NO_RESULT", "default_result", "default_reply",
           "PARSE_ERROR", "INVALID_REQUEST", "METHOD_NOT_FOUND", "INTERNAL_ERROR"]

PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INTERNAL_ERROR = -32603


class _NoResult:
    def __repr__(self) -> str:
        return "NO_RESULT"


# A handler's result that gives a reply without a "result" member (None does
# the same, as it does for the manager).
NO_RESULT: Any = _NoResult()

# The engine calls, in the letter case the manager's table uses.
_METHODS = ("Echo", "Initialize", "Finalize", "StartSimulation", "StopSimulation", "StartTimeStep", "StopTimeStep")
_CANONICAL = {m.lower(): m for m in _METHODS}


class RpcError(Exception):
    """Raised by a handler to answer with a JSON-RPC error reply."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = int(code)
        self.message = message


class Request(dict):
    """One parsed request: the JSON object itself, with shortcuts."""

    line: str = ""

    @property
    def method(self) -> str:
        """The method name as sent (the manager matches it without regard to case)."""
        return jsontext.text_form(self.get("method"))

    @property
    def params(self) -> Dict[str, Any]:
        p = self.get("params")
        return p if isinstance(p, dict) else {}

    @property
    def client_id(self) -> Optional[int]:
        """The "ClientID" read as the manager reads it, or None when missing."""
        p = self.get("params")
        if not isinstance(p, dict) or "ClientID" not in p:
            return None
        return jsontext.as_integer(p["ClientID"]) & 0xFFFFFFFF

    @property
    def id(self) -> Any:
        """The id the reply carries (a whole number comes back as a number)."""
        return jsontext.reply_id(self.get("id"))


def _has(params: Any, name: str) -> bool:
    # A member that is null counts as present, as for the manager.
    return isinstance(params, dict) and name in params


def default_result(method: str, params: Any) -> Any:
    """The result the manager gives a call when it runs without a processor
    (and the run is not cancelled): NO_RESULT for a method it does not know."""
    if not _has(params, "ClientID"):
        return False
    name = _CANONICAL.get(method.lower())
    if name == "Echo":
        if not _has(params, "Value"):
            return 0
        v = jsontext.as_integer(params["Value"]) & 0xFFFFFFFF
        return v - 2 ** 32 if v >= 2 ** 31 else v
    if name in ("Initialize", "Finalize", "StopSimulation"):
        return True
    if name == "StartSimulation":
        return _has(params, "VelmarStateVarsGlobal")
    if name == "StopTimeStep":
        return _has(params, "VelmarStateVarsPop")
    if name == "StartTimeStep":
        return {"modifier": cleared_modifier(), "result": True}
    return NO_RESULT


def _success(request_id: Any, result: Any) -> str:
    reply: Dict[str, Any] = {"jsonrpc": "2.0", "id": jsontext.reply_id(request_id)}
    if result is not None and result is not NO_RESULT:
        reply["result"] = result
    return jsontext.dumps(reply)


def _error(request_id: Any, code: int, message: str) -> str:
    return jsontext.dumps({"jsonrpc": "2.0", "id": jsontext.reply_id(request_id),
                           "error": {"code": code, "message": message}})


def _checked(line: str):
    """(request, None) for a request the manager would hand its handler, or
    (None, error reply) for one it answers with an error itself."""
    ok, value = jsontext.parse_request_text(line)
    if not ok:
        return None, _error(None, PARSE_ERROR, "Parse error")
    obj = value if isinstance(value, dict) else {}
    request_id = obj.get("id")
    version = jsontext.text_form(obj.get("jsonrpc"))
    if version != "2.0":
        return None, _error(request_id, INVALID_REQUEST, 'Expected version "2.0", got "%s"' % version)
    if "id" not in obj:
        return None, _error(None, INVALID_REQUEST, "ID is missing")
    if "method" not in obj:
        return None, _error(request_id, INVALID_REQUEST, "Method is missing")
    request = Request(obj)
    request.line = line
    return request, None


def default_reply(line: str) -> str:
    """The reply text (without line end) the manager itself would send for a
    request line when no processor is used."""
    request, error = _checked(line)
    if error is not None:
        return error
    return _success(request.get("id"), default_result(request.method, request.get("params")))


Handler = Callable[[Request], Any]


class Processor:
    """Answers the manager's request lines.

    >>> processor = Processor()
    >>> @processor.on("StartTimeStep")
    ... def start(request):
    ...     return modifier_result(k=[500], timestep=1)
    >>> processor.run()          # until end of input or the close command

    A handler gets the Request (the parsed JSON object) and returns the
    result value; None or NO_RESULT leave the "result" member out; raising
    RpcError answers with that error. Any other exception is written to
    standard error with the request, and the call gets the default reply.
    """

    def __init__(self, close_command: Optional[str] = None, stderr: Optional[TextIO] = None) -> None:
        self.close_command = close_command
        self._handlers: Dict[str, Handler] = {}
        self._stderr = stderr

    def on(self, method: str) -> Callable[[Handler], Handler]:
        """Decorator: handle the method (matched without regard to case)."""
        def register(handler: Handler) -> Handler:
            self._handlers[method.lower()] = handler
            return handler
        return register

    def default_result(self, request: Request) -> Any:
        """What the manager would have answered; a handler may start from it."""
        return default_result(request.method, request.get("params"))

    def reply(self, line: str) -> str:
        """The reply text (without line end) for one request line."""
        request, error = _checked(line)
        if error is not None:
            return error
        handler = self._handlers.get(request.method.lower())
        if handler is None:
            return _success(request.get("id"), self.default_result(request))
        try:
            return _success(request.get("id"), handler(request))
        except RpcError as e:
            return _error(request.get("id"), e.code, e.message)
        except Exception:
            err = self._stderr or sys.stderr
            err.write("velmar processor: the handler for %s failed on the request %s\n" % (request.method, line))
            traceback.print_exc(file=err)
            err.flush()
            return _success(request.get("id"), self.default_result(request))

    def _is_close(self, line: str) -> bool:
        return self.close_command is not None and line.strip() == self.close_command.strip()

    def serve(self, input: BinaryIO, output: BinaryIO) -> int:
        """Answers every line of input on output until end of input, the close
        command, or the manager closing output. Returns the lines answered."""
        answered = 0
        while True:
            raw = input.readline()
            if not raw:
                break
            line = raw.decode("utf-8", "surrogateescape")
            if line.endswith("\n"):
                line = line[:-1]
            if line.endswith("\r"):
                line = line[:-1]
            if self._is_close(line):
                break
            text = self.reply(line)
            try:
                output.write(text.encode("utf-8", "surrogateescape") + b"\n")
                output.flush()
            except BrokenPipeError:
                break
            answered += 1
        return answered

    def run(self) -> int:
        """Serves standard input and output. Standard output is kept for the
        replies alone: print() and anything else written to descriptor 1
        (by this program or a library) goes to standard error instead, also
        after run() has returned (the manager has closed the pipe by then)."""
        sys.stdout.flush()
        replies = os.fdopen(os.dup(1), "wb")
        os.dup2(2, 1)
        saved = sys.stdout
        sys.stdout = sys.stderr
        try:
            return self.serve(sys.stdin.buffer, replies)
        finally:
            sys.stdout = saved
            try:
                replies.close()
            except BrokenPipeError:
                pass

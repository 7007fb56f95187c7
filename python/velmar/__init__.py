"""Engines and external processors for Velmar Manager, in plain Python.

velmar.Engine      an engine's connection to the manager (the engine calls)
velmar.Processor   an external processor: request lines in, reply lines out
velmar.modifier_result  the result of a "StartTimeStep" reply

Standard library only; Python 3.9 or later. docs/engine-protocol.md and
docs/processor-protocol.md describe the protocols themselves.
"""
from .engine import CommandLine, CommandLineError, Engine, RpcErrorReply, is_option, parse_command_line
from .framing import ManagerHungUp, ReplyTimeout, VelmarError
from .modifier import cleared_modifier, modifier_result
from .processor import NO_RESULT, Processor, Request, RpcError, default_reply, default_result

__version__ = "0.1.0"

__all__ = [
    "Engine", "CommandLine", "CommandLineError", "RpcErrorReply", "is_option", "parse_command_line",
    "VelmarError", "ManagerHungUp", "ReplyTimeout",
    "modifier_result", "cleared_modifier",
    "Processor", "Request", "RpcError", "NO_RESULT", "default_reply", "default_result",
]

"""JSON text exactly as Velmar Manager writes it, and JSON read as it reads it.

The manager writes every JSON text compact, pure ASCII, with the members of
each object in the order of a hash of their names, and floats to 15
significant digits. A processor that leaves a call to the package's default
answer sends the engine the very bytes the manager would have sent; for that
the replies are written here the same way.
"""
from __future__ import annotations

import json
import math
from typing import Any, Optional, Tuple

__all__ = ["dumps", "float_text", "name_hash", "parse_request_text", "reply_id", "text_form", "as_integer"]

_INT64_MIN = -(2 ** 63)
_INT64_MAX = 2 ** 63 - 1

_NAMED_ESCAPES = {
    0x08: "\\b",
    0x09: "\\t",
    0x0A: "\\n",
    0x0C: "\\f",
    0x0D: "\\r",
    0x22: '\\"',
    0x5C: "\\\\",
    0x2F: "\\/",
}


def _utf16_units(text: str) -> list:
    data = text.encode("utf-16-le", "surrogatepass")
    return [data[i] | (data[i + 1] << 8) for i in range(0, len(data), 2)]


def name_hash(name: str) -> int:
    """The 32-bit hash that orders an object's members (largest first)."""
    h = 0
    for unit in _utf16_units(name):
        h = (h * 129 + unit + 0x9E370001) & 0xFFFFFFFF
    return h


def _member_key(name: str) -> Tuple[int, list]:
    return (-name_hash(name), _utf16_units(name))


def _escaped(text: str) -> str:
    out = ['"']
    for unit in _utf16_units(text):
        named = _NAMED_ESCAPES.get(unit)
        if named is not None:
            out.append(named)
        elif unit < 0x20 or unit >= 0x80:
            out.append("\\u%04x" % unit)
        else:
            out.append(chr(unit))
    out.append('"')
    return "".join(out)


def float_text(value: float) -> str:
    """A float as the manager writes it: 15 significant digits, no trailing
    zeros, plain between 1E-4 and 1E15, otherwise d.dddE±x."""
    if not math.isfinite(value):
        return "null"
    if value == 0:
        return "0"
    sci = "%.14e" % value
    mantissa, exponent_text = sci.split("e")
    negative = mantissa.startswith("-")
    digits = mantissa.lstrip("-").replace(".", "").rstrip("0") or "0"
    exponent = int(exponent_text)
    sign = "-" if negative else ""
    if -4 <= exponent <= 14:
        if exponent < 0:
            return sign + "0." + "0" * (-exponent - 1) + digits
        whole = exponent + 1
        if len(digits) <= whole:
            return sign + digits + "0" * (whole - len(digits))
        return sign + digits[:whole] + "." + digits[whole:]
    return sign + digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + "E" + str(exponent)


def dumps(value: Any) -> str:
    """Compact JSON text in the manager's layout. Accepts None, bool, int,
    float, str, lists and tuples, and dicts with string keys."""
    out: list = []
    _write(value, out, 0)
    return "".join(out)


def _write(value: Any, out: list, depth: int) -> None:
    if depth > 2048:
        raise ValueError("JSON value nested too deeply to write")
    if value is None:
        out.append("null")
    elif value is True:
        out.append("true")
    elif value is False:
        out.append("false")
    elif isinstance(value, int):
        out.append(str(int(value)))
    elif isinstance(value, float):
        out.append(float_text(value))
    elif isinstance(value, str):
        out.append(_escaped(value))
    elif isinstance(value, dict):
        for name in value:
            if not isinstance(name, str):
                raise TypeError("JSON member names must be text, not %r" % (name,))
        out.append("{")
        for i, name in enumerate(sorted(value, key=_member_key)):
            if i:
                out.append(",")
            out.append(_escaped(name))
            out.append(":")
            _write(value[name], out, depth + 1)
        out.append("}")
    elif isinstance(value, (list, tuple)):
        out.append("[")
        for i, item in enumerate(value):
            if i:
                out.append(",")
            _write(item, out, depth + 1)
        out.append("]")
    else:
        raise TypeError("cannot write %s as JSON" % type(value).__name__)


def _reject_constant(name: str) -> Any:
    raise ValueError("%s is not JSON" % name)


_decoder = json.JSONDecoder(parse_constant=_reject_constant)


def parse_request_text(text: str) -> Tuple[bool, Any]:
    """Parses the first JSON value of text, ignoring whatever follows it, as
    the manager does. Returns (True, value) or (False, None)."""
    i = 0
    while i < len(text) and text[i] in " \t\r\n":
        i += 1
    try:
        value, _ = _decoder.raw_decode(text, i)
    except (ValueError, RecursionError):
        return False, None
    return True, value


def _unescaped_text(value: Any) -> str:
    # The text form of arrays and objects: compact, only '"', '\' and NUL escaped.
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"').replace("\0", "\\u0000") + '"'
    if isinstance(value, dict):
        return "{" + ",".join(_unescaped_text(k) + ":" + _unescaped_text(value[k])
                              for k in sorted(value, key=_member_key)) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(_unescaped_text(v) for v in value) + "]"
    return dumps(value)


def text_form(value: Any) -> str:
    """The text the manager reads from a member: a string's content, empty
    for null, otherwise the value written out."""
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    return _unescaped_text(value)


def _text_to_int64(text: str) -> Optional[int]:
    i = 1 if text[:1] in ("+", "-") else 0
    digits = text[i:]
    if not digits or any(c not in "0123456789" for c in digits):
        return None
    n = int(text)
    return n if _INT64_MIN <= n <= _INT64_MAX else None


def reply_id(request_id: Any) -> Any:
    """The id a reply carries for a request's id, as the manager echoes it:
    whatever reads as a whole number (7, "7", 7.0) comes back as the number;
    anything else comes back as it was; a missing id is null."""
    if request_id is None:
        return None
    n = _text_to_int64(text_form(request_id))
    return n if n is not None else request_id


def _held_to_64_bits(n: int) -> int:
    # Beyond 64 bits a number is read as its nearest end.
    return min(max(n, _INT64_MIN), _INT64_MAX)


def _round_half_even(x: float) -> int:
    return _held_to_64_bits(int(round(x)))


def as_integer(value: Any) -> int:
    """A member read as a whole number the way the manager reads "ClientID"
    and "Value": floats rounded (halves to even), booleans 1 or 0, a string
    that spells a whole number that number, anything else 0. A number
    beyond 64 bits reads as the largest or smallest 64-bit one (1e300 as
    2**63 - 1)."""
    if value is None or isinstance(value, (list, tuple, dict)):
        return 0
    if isinstance(value, bool):
        return 1 if value else 0
    if isinstance(value, int):
        return _held_to_64_bits(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            return 0
        return _round_half_even(value)
    if isinstance(value, str):
        n = _text_to_int64(value)
        return n if n is not None else 0
    return 0

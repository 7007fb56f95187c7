"""The modifier-result: what an engine gets back from "StartTimeStep".

{"modifier": {...eleven members...}, "result": true}. The modifier may carry
replacement arrays (abundances, vital rates, carrying capacities,
dispersal), each used only when its flag is true.
"""
from __future__ import annotations

import math
from typing import Any, Dict, Iterable, Optional, Sequence

__all__ = ["modifier_result", "cleared_modifier", "MODIFIER_MEMBERS"]

# The eleven members of a modifier, in the order the manager declares them.
MODIFIER_MEMBERS = ("ChangeAbund", "ChangeVital", "ChangeK", "ChangeDisp", "Timestep", "Complete", "Active",
                    "Abund", "Vital", "K", "Disp")

_UINT32_MAX = 2 ** 32 - 1


def cleared_modifier() -> Dict[str, Any]:
    """A modifier that changes nothing: every flag false, Timestep 0, every
    array empty (what the manager itself sends)."""
    return {"ChangeAbund": False, "ChangeVital": False, "ChangeK": False, "ChangeDisp": False, "Timestep": 0,
            "Complete": False, "Active": False, "Abund": [], "Vital": [], "K": [], "Disp": []}


def _count(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("%s must be a whole number, not %r" % (what, value))
    if isinstance(value, float):
        if not value.is_integer():
            raise ValueError("%s must be a whole number, not %r" % (what, value))
        value = int(value)
    if not 0 <= value <= _UINT32_MAX:
        raise ValueError("%s must lie between 0 and %d, not %d" % (what, _UINT32_MAX, value))
    return int(value)


def _real(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise TypeError("%s must be a finite number, not %r" % (what, value))
    return float(value)


def _abund(rows: Iterable[Any]) -> list:
    out = []
    for p, row in enumerate(rows):
        if isinstance(row, (int, float)) and not isinstance(row, bool):
            out.append([_count(row, "Abund[%d]" % p)])  # one stage
        else:
            out.append([_count(n, "Abund[%d][%d]" % (p, s)) for s, n in enumerate(row)])
    return out


def _vital(pops: Iterable[Any]) -> list:
    return [[[_real(x, "Vital[%d][%d][%d]" % (p, i, j)) for j, x in enumerate(row)]
             for i, row in enumerate(matrix)] for p, matrix in enumerate(pops)]


def modifier_result(abund: Optional[Iterable[Any]] = None,
                    vital: Optional[Iterable[Iterable[Sequence[float]]]] = None,
                    k: Optional[Iterable[int]] = None,
                    disp: Optional[Iterable[float]] = None,
                    *,
                    timestep: int = 0,
                    complete: Optional[bool] = None,
                    active: Optional[bool] = None,
                    result: bool = True,
                    change_abund: Optional[bool] = None,
                    change_vital: Optional[bool] = None,
                    change_k: Optional[bool] = None,
                    change_disp: Optional[bool] = None) -> Dict[str, Any]:
    """Builds the result of a "StartTimeStep" reply.

    abund:  one row of stage counts per population ([[120, 30], [80, 10]]);
            a bare number stands for a row of one stage.
    vital:  per population, a matrix of rates ([[[0.3, 0.1]], ...]).
    k:      one carrying capacity per population.
    disp:   one share per population.
    Each Change flag is true when its array is given, unless set otherwise;
    Complete and Active are true when any flag is. result False tells the
    engine that the run is over.
    """
    modifier = cleared_modifier()
    if abund is not None:
        modifier["Abund"] = _abund(abund)
    if vital is not None:
        modifier["Vital"] = _vital(vital)
    if k is not None:
        modifier["K"] = [_count(n, "K[%d]" % p) for p, n in enumerate(k)]
    if disp is not None:
        modifier["Disp"] = [_real(x, "Disp[%d]" % p) for p, x in enumerate(disp)]
    flags = {"ChangeAbund": (change_abund, abund), "ChangeVital": (change_vital, vital),
             "ChangeK": (change_k, k), "ChangeDisp": (change_disp, disp)}
    for name, (flag, array) in flags.items():
        modifier[name] = bool(array is not None) if flag is None else bool(flag)
    anything = any(modifier[name] for name in flags)
    modifier["Timestep"] = _count(timestep, "timestep")
    modifier["Complete"] = anything if complete is None else bool(complete)
    modifier["Active"] = anything if active is None else bool(active)
    return {"modifier": modifier, "result": bool(result)}

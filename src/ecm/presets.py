"""Cycler export layouts: the presets (column names per quantity for common
cycler exports, a headerless layout by position) and user column maps
(``time=...,current=...:mA``)."""

from __future__ import annotations

import re
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ._errors import UsageError

# Per quantity the column names a preset looks for (first found wins) and the
# factor to SI units. Names are compared without case and surrounding spaces.
_Q = Tuple[Tuple[str, float], ...]

CLASSIC_HEADER = ("Seconds", "Current(A)", "Voltage(V)")

PRESETS: Dict[str, Dict[str, Any]] = {
    # The pulse recordings this tool was first made for: Seconds, Current(A), Voltage(V), Temperature(C).
    "classic": {
        "time": (("Seconds", 1.0),),
        "current": (("Current(A)", 1.0),),
        "voltage": (("Voltage(V)", 1.0),),
        "temperature": (("Temperature(C)", 1.0),),
    },
    # Bitrode CSV: Time(s), Current(A) charge positive, Voltage(V), Step, Mode (CHRG/DCHG/REST).
    # Some exports come without a header row: the columns are then taken by position.
    "bitrode": {
        "time": (("Time(s)", 1.0), ("Total Time (s)", 1.0)),
        "current": (("Current(A)", 1.0), ("Amps", 1.0)),
        "voltage": (("Voltage(V)", 1.0), ("Volts", 1.0)),
        "temperature": (("Temperature(C)", 1.0), ("Temp(C)", 1.0)),
        "step": (("Step", 1.0),),
        "mode": (("Mode", 1.0),),
        "positional": [
            "Exclude",
            "Time(s)",
            "Cycle",
            "Loop",
            "Loop.1",
            "Loop.2",
            "Step",
            "StepTime(s)",
            "Current(A)",
            "Voltage(V)",
            "Power(W)",
            "Capacity(Ah)",
            "Energy(Wh)",
            "Mode",
            "Data",
        ],
    },
    # Arbin CSV export: Test_Time(s), Current(A), Voltage(V), Step_Index, auxiliary temperature.
    "arbin": {
        "time": (("Test_Time(s)", 1.0), ("Test Time (s)", 1.0)),
        "current": (("Current(A)", 1.0), ("Current (A)", 1.0)),
        "voltage": (("Voltage(V)", 1.0), ("Voltage (V)", 1.0)),
        "temperature": (("Aux_Temperature_1(C)", 1.0), ("Temperature (C)_1", 1.0), ("Temperature(C)", 1.0)),
        "step": (("Step_Index", 1.0), ("Step Index", 1.0)),
    },
    # Maccor text export: Test (Sec), Amps (a magnitude), Volts, Step, State (C/D/R/O).
    "maccor": {
        "time": (("Test (Sec)", 1.0), ("TestTime", 1.0), ("Test Time (sec)", 1.0)),
        "current": (("Amps", 1.0), ("Current", 1.0)),
        "voltage": (("Volts", 1.0), ("Voltage", 1.0)),
        "temperature": (("Temp 1", 1.0), ("Temp1", 1.0)),
        "step": (("Step", 1.0),),
        "state": (("State", 1.0), ("MD", 1.0)),
    },
    # Neware CSV export: Total Time as h:mm:ss, Current(mA) or Current(A), Voltage(V), Step ID.
    "neware": {
        "time": (("Total Time", 1.0), ("Total Time(h:min:s.ms)", 1.0), ("test_time", 1.0)),
        "current": (("Current(mA)", 1e-3), ("Current(A)", 1.0)),
        "voltage": (("Voltage(V)", 1.0), ("Voltage", 1.0)),
        "temperature": (("T1(℃)", 1.0), ("Auxiliary temperature(℃)", 1.0), ("Avg-T(C)", 1.0), ("T1", 1.0)),
        "step": (("Step ID", 1.0), ("Steps", 1.0), ("Step Index", 1.0), ("Step", 1.0)),
    },
    # BioLogic EC-Lab text export: time/s, I/mA (or <I>/mA), Ewe/V, Ns.
    "biologic": {
        "time": (("time/s", 1.0),),
        "current": (("I/mA", 1e-3), ("<I>/mA", 1e-3), ("control/mA", 1e-3)),
        "voltage": (("Ewe/V", 1.0), ("<Ewe>/V", 1.0), ("Ecell/V", 1.0)),
        "temperature": (("Temperature/°C", 1.0), ("T/°C", 1.0)),
        "step": (("Ns", 1.0),),
    },
}

UNIT_FACTORS = {
    "s": 1.0,
    "sec": 1.0,
    "min": 60.0,
    "h": 3600.0,
    "ms": 1e-3,
    "a": 1.0,
    "ma": 1e-3,
    "v": 1.0,
    "mv": 1e-3,
    "c": 1.0,
}
QUANTITIES = ("time", "current", "voltage", "temperature", "step")


def parse_columns(text: str) -> Dict[str, str]:
    """``time=Time(s),current=Current(A),...`` as a dict; a unit may follow
    after a colon for current/voltage/time (``current=I:mA``)."""
    out: Dict[str, str] = {}
    for part in _split_outside_parens(text):
        if not part.strip():
            continue
        if "=" not in part:
            raise UsageError(f"--columns: '{part}' is not QUANTITY=COLUMN (quantities: {', '.join(QUANTITIES)})")
        key, value = part.split("=", 1)
        key = key.strip().lower()
        if key not in QUANTITIES:
            raise UsageError(f"--columns: unknown quantity '{key}'; expected one of {', '.join(QUANTITIES)}")
        out[key] = value.strip()
    return out


def _split_outside_parens(text: str) -> List[str]:
    parts, depth, cur = [], 0, ""
    for ch in text:
        if ch in "([":
            depth += 1
        elif ch in ")]":
            depth = max(0, depth - 1)
        if ch == "," and depth == 0:
            parts.append(cur)
            cur = ""
        else:
            cur += ch
    parts.append(cur)
    return parts


def _norm(name: str) -> str:
    return re.sub(r"\s+", " ", str(name)).strip().lower()


def _find(header_norm: Dict[str, str], wanted: Sequence[Tuple[str, float]]) -> Optional[Tuple[str, float]]:
    for name, factor in wanted:
        if _norm(name) in header_norm:
            return header_norm[_norm(name)], factor
    return None


def detect_preset(header: Sequence[str]) -> Optional[str]:
    """The preset whose time, current and voltage columns the header holds."""
    norm = {_norm(h): h for h in header}
    for name, p in PRESETS.items():
        if all(_find(norm, p[q]) for q in ("time", "current", "voltage")):
            return name
    return None


def _unit_of(entry: str) -> Tuple[str, Optional[float]]:
    if ":" in entry:
        col, unit = entry.rsplit(":", 1)
        f = UNIT_FACTORS.get(unit.strip().lower())
        if f is None:
            raise UsageError(f"--columns: unknown unit '{unit}' (known: {', '.join(sorted(UNIT_FACTORS))})")
        return col.strip(), f
    return entry, None


def _guess_factor(column: str, quantity: str) -> float:
    """Units written in a column name: (mA), /mA, (mV), (ms), (h), (min)."""
    c = column.lower().replace(" ", "")
    unit = re.search(r"[(/\[]\s*(ms|min|mah|ma|mv|h|s|sec|a|v)\s*[)\]]?$", c)
    if not unit:
        return 1.0
    u = unit.group(1)
    if quantity == "current" and u == "ma":
        return 1e-3
    if quantity == "voltage" and u == "mv":
        return 1e-3
    if quantity == "time":
        return {"ms": 1e-3, "min": 60.0, "h": 3600.0}.get(u, 1.0)
    return 1.0

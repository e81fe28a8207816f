"""Reading cycler exports for the step analysis: column maps and presets for
common cycler layouts, units, headerless files.

Every file is first read into the normalised recording (ecm.readers); an
:class:`Export` is its NumPy columns in seconds, amperes (sign as the cycler
wrote it, magnitudes signed by a state column; the step analysis finds the
convention) and volts, with notes on what was done to read it.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Tuple

import numpy as np

from .presets import (
    CLASSIC_HEADER,
    PRESETS,
    QUANTITIES,
    UNIT_FACTORS,
    _find,
    _guess_factor,
    _unit_of,
    detect_preset,
    parse_columns,
)

__all__ = [
    "CLASSIC_HEADER",
    "PRESETS",
    "QUANTITIES",
    "UNIT_FACTORS",
    "Export",
    "capacity_from_name",
    "detect_preset",
    "export_of",
    "parse_columns",
    "read_export",
    "temperature_from_name",
    "_find",
    "_guess_factor",
    "_unit_of",
]


@dataclass
class Export:
    """One recording read from a cycler export."""

    path: str
    time: np.ndarray  # s, non-decreasing
    current: np.ndarray  # A, as the cycler wrote it (magnitudes signed by a state column)
    voltage: np.ndarray  # V
    temperature: Optional[np.ndarray] = None  # degC, when a column gives it
    step: Optional[np.ndarray] = None  # the export's own step numbers, when mapped
    preset: Optional[str] = None
    columns: Dict[str, str] = field(default_factory=dict)  # quantity -> column used
    notes: List[str] = field(default_factory=list)
    recording: Optional[Any] = None  # the normalised recording (ecm.readers.Normalised) it came from


def read_export(path: str, columns: Optional[Mapping[str, str]] = None, preset: Optional[str] = None) -> Export:
    """Reads one export. ``columns`` maps quantities (time, current, voltage,
    temperature, step) to column names (optionally ``name:unit``); ``preset``
    names a cycler layout (see PRESETS); with neither, the preset is detected
    from the header, and any other layout is recognised from its column names
    (ecm.readers.read_recording)."""
    from .readers import read_recording

    rec = read_recording(path, columns=columns, preset=preset)
    return export_of(rec)


def export_of(rec: Any) -> Export:
    """The step analysis's view of a normalised recording (ecm.readers.Normalised):
    the current in the cycler's own sign, the temperature (ambient, else the
    surface's) and the step numbers (the step count, else the index)."""
    d = rec.data
    temperature = rec.column("Ambient Temperature / degC")
    if temperature is None:
        temperature = rec.column("Surface Temperature / degC")
    step = rec.column("Step Count / 1")
    if step is None:
        step = rec.column("Step Index / 1")
    current = d["Current / A"].to_numpy(dtype=float)
    if rec.written_sign != 1.0:
        current = current * rec.written_sign
    columns = {q: c for q, c in rec.columns.items() if q in ("time", "current", "voltage", "temperature", "step")}
    return Export(
        path=rec.path,
        time=d["Test Time / s"].to_numpy(dtype=float),
        current=current,
        voltage=d["Voltage / V"].to_numpy(dtype=float),
        temperature=temperature,
        step=step,
        preset=rec.preset or (rec.format if rec.format not in ("text", "xlsx") else None),
        columns=columns,
        notes=list(rec.notes),
        recording=rec,
    )


_TEMP_PATTERNS = [
    re.compile(r"_T([pn])(\d+(?:\.\d+)?)(?![\d.])"),  # the classic ..._Tp25 / _Tn10
    re.compile(r"(?:^|[_\s(\[]|--)(-?\d+(?:\.\d+)?)\s*(°\s*|deg\s*)?C(?![a-zA-Z])"),
    re.compile(r"(?:^|[^\d.])(\d+(?:\.\d+)?)\s*(°\s*|deg\s*)?C(?![a-zA-Z])"),
    re.compile(r"(?:^|[_\-\s])([mn])(\d+(?:\.\d+)?)\s*(?:°\s*|deg\s*)?C(?![a-zA-Z])"),
]


def temperature_from_name(path: str) -> Optional[float]:
    """A temperature written in the file name: ``_Tp25``/``_Tn10``, ``25C``,
    ``25degC``, ``_-10C`` (a hyphen after a letter or digit is a separator),
    ``m10C``/``n10C``/``n10degC`` (minus). A temperature marked as one (``_Tp25``,
    ``degC``, ``°C``, the minus prefixes) wins over a bare ``25C``, which may be a
    C-rate (``HPPC_1C_25degC``: 25); a decimal written with a p (``0p5C``) is a C-rate."""
    found = name_temperature(path)
    return found[0] if found else None


def name_temperature(path: str) -> Optional[Tuple[float, bool]]:
    """(temperature, marked) from the file name as temperature_from_name reads it; marked is
    False for a bare ``25C``, which may be a C-rate; None when the name holds none."""
    name = os.path.splitext(os.path.basename(path))[0]
    m = _TEMP_PATTERNS[0].search(name)
    if m:
        return float(m.group(2)) * (-1 if m.group(1) == "n" else 1), True
    m = _TEMP_PATTERNS[3].search(name)
    if m:
        return -float(m.group(2)), True
    bare = None
    for pat in (_TEMP_PATTERNS[1], _TEMP_PATTERNS[2]):
        for m in pat.finditer(name):
            if re.search(r"\dp$", name[: m.start(1)]):
                continue  # 0p5C: a C-rate
            if m.group(2):
                return float(m.group(1)), True
            if bare is None:
                bare = float(m.group(1))
    return (bare, False) if bare is not None else None


def capacity_from_name(path: str) -> Optional[float]:
    """A nominal capacity in the file name (``2000mAh``, ``33Ah``, ``33.1 Ah``), in mAh."""
    name = os.path.basename(path)
    m = re.search(r"(\d+(?:\.\d+)?)\s*(mAh|Ah)(?![a-zA-Z])", name, re.I)
    if not m:
        return None
    value = float(m.group(1))
    return value if m.group(2).lower() == "mah" else value * 1000.0

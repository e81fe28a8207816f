"""Reading cycler exports: column maps, presets for common cycler CSV/text
exports, units, headerless files, repeated time stamps and time resets.

A read export is a plain :class:`Export` of NumPy columns in seconds, amperes
(sign as the cycler wrote it; the step analysis finds the convention) and
volts, with notes on what was done to read it.
"""

from __future__ import annotations

import csv
import io
import os
import re
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

from ._errors import RecordingError, UsageError

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


def _looks_numeric(cell: str) -> bool:
    try:
        float(cell)
        return True
    except ValueError:
        return False


def _sniff(path: str) -> Tuple[str, List[str], int]:
    """The delimiter, the first row's fields, and how many lines precede the header (BioLogic headers)."""
    try:
        with open(path, encoding="utf-8", errors="replace", newline="") as f:
            head = [f.readline() for _ in range(200)]
    except OSError as e:
        raise RecordingError(f"{path}: cannot be read: {e.strerror or e}") from None
    head = [h for h in head if h != ""]
    if not head:
        raise RecordingError(f"{path}: the file is empty")
    skip = 0
    for line in head[:3]:
        mm = re.search(r"Nb header lines\s*:\s*(\d+)", line)
        if mm:
            skip = int(mm.group(1)) - 1
    first = head[skip] if skip < len(head) else head[0]
    delim = (
        "\t"
        if first.count("\t") > first.count(",") and first.count("\t") > first.count(";")
        else (";" if first.count(";") > first.count(",") else ",")
    )
    fields = next(csv.reader(io.StringIO(first), delimiter=delim))
    return delim, [x.strip() for x in fields], skip


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


def _to_seconds(raw: pd.Series, path: str, column: str, line_of) -> np.ndarray:
    num = pd.to_numeric(raw, errors="coerce")
    if num.notna().all():
        return num.to_numpy(dtype=float)
    bad = num.isna()
    # h:mm:ss(.fff) durations (Neware), possibly with days "1 day, 02:03:04" or "26:03:04"
    txt = raw.astype(str).str.strip()
    m = txt.str.match(r"^\d+:\d{1,2}:\d{1,2}(\.\d+)?$")
    if m.all():
        parts = txt.str.split(":", expand=True).astype(float)
        return (parts[0] * 3600 + parts[1] * 60 + parts[2]).to_numpy(dtype=float)
    if m.any():  # a column of h:mm:ss times: the cell that is neither
        bad = bad & ~m
    k = int(np.flatnonzero(bad.to_numpy())[0])
    raise RecordingError(
        f"{path}, line {line_of(k)}: column '{column}' holds '{raw.iloc[k]}', expected a number of seconds or h:mm:ss"
    )


@dataclass
class _Table:
    """The rows of one export and the file line of its first data row (for messages)."""

    df: pd.DataFrame
    first_line: int  # of a binary file: its record number from 1
    preset: Optional[str]  # a headerless file's layout, else what the caller gave

    def line_of(self, k: int) -> int:
        return self.first_line + k


def _read_table(path: str, preset: Optional[str], notes: List[str]) -> _Table:
    """The file as a table: a binary export through its reader, a text export with
    its header row (after any BioLogic preamble), or a headerless one by position."""
    ext = os.path.splitext(path)[1].lower()
    if ext in BINARY_READERS:
        df = _read_binary(path)
        df.columns = [str(c).strip() for c in df.columns]
        notes.append(f"read with {BINARY_READERS[ext][0]}")
        table = _Table(df, 1, preset)
    else:
        delim, first, skip = _sniff(path)
        if sum(_looks_numeric(x) for x in first if x) >= max(2, len([x for x in first if x]) // 2):
            table = _read_headerless(path, delim, first, preset, notes)
        else:
            table = _read_with_header(path, delim, skip, preset)
    if len(table.df) == 0:
        raise RecordingError(f"{path}: the table has no rows")
    return table


def _read_headerless(path: str, delim: str, first: List[str], preset: Optional[str], notes: List[str]) -> _Table:
    """A file whose first line holds numbers: a preset with a positional layout
    (given, or bitrode for 14 columns or more) names the columns."""
    pname = preset or ("bitrode" if len(first) >= 14 else None)
    positional = PRESETS.get(pname or "", {}).get("positional")
    if not positional:
        raise RecordingError(
            f"{path}: the first line holds numbers, not column names; give --preset for a "
            "layout with known column positions (bitrode) or add a header row"
        )
    names = list(positional) + [f"extra_{k}" for k in range(max(0, len(first) - len(positional)))]
    try:
        df = pd.read_csv(
            path,
            header=None,
            names=names[: len(first)],
            sep=delim,
            skipinitialspace=True,
            index_col=False,
            low_memory=False,
        )
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError) as e:
        raise RecordingError(f"{path}: cannot be read as a table: {e}") from None
    notes.append(f"no header row: columns taken by position as in the {pname} layout")
    return _Table(df, 1, pname)


def _read_with_header(path: str, delim: str, skip: int, preset: Optional[str]) -> _Table:
    """A text export whose header row follows ``skip`` preamble lines."""
    try:
        df = pd.read_csv(
            path,
            sep=delim,
            skiprows=skip,
            skipinitialspace=True,
            index_col=False,
            low_memory=False,
            encoding_errors="replace",
        )
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError) as e:
        raise RecordingError(f"{path}: cannot be read as a table: {e}") from None
    df.columns = [str(c).strip() for c in df.columns]
    return _Table(df, skip + 2, preset)  # the header is file line skip + 1


def _pick_columns(
    path: str, header: List[str], columns: Optional[Mapping[str, str]], preset: Optional[str]
) -> Tuple[Optional[str], Dict[str, str], Dict[str, float]]:
    """The preset (detected from the header when neither it nor a column map is
    given), then per quantity the column used and its factor to SI units."""
    norm = {_norm(h): h for h in header}
    if preset is None and not columns:
        preset = detect_preset(header)
        if preset is None:
            raise RecordingError(
                f"{path}: the columns ({', '.join(header[:12])}{', ...' if len(header) > 12 else ''}) match no "
                f"known cycler layout ({', '.join(PRESETS)}); give --preset or --columns "
                "time=...,current=...,voltage=..."
            )
    used: Dict[str, str] = {}
    factors: Dict[str, float] = {}
    layout = PRESETS.get(preset or "", {})
    for q in QUANTITIES:
        if columns and q in columns:
            col, f = _unit_of(columns[q])
            if _norm(col) not in norm:
                raise RecordingError(f"{path}: no column '{col}' for {q}; the columns are {', '.join(header)}")
            used[q] = norm[_norm(col)]
            factors[q] = f if f is not None else _guess_factor(col, q)
        elif q in layout:
            got = _find(norm, layout[q])
            if got:
                used[q], factors[q] = got
    for q in ("time", "current", "voltage"):
        if q not in used:
            wanted = ", ".join(n for n, _ in layout.get(q, ())) or "a column named in --columns"
            raise RecordingError(f"{path}: no {q} column (looked for {wanted}); the columns are {', '.join(header)}")
    return preset, used, factors


def _numeric(table: _Table, path: str, column: str, quantity: str, factor: float) -> np.ndarray:
    """A column that must hold a number in every row, scaled by ``factor``; the
    first cell that does not names its file line."""
    raw = table.df[column]
    num = pd.to_numeric(raw, errors="coerce")
    if num.isna().any():
        k = int(np.flatnonzero(num.isna().to_numpy())[0])
        raise RecordingError(
            f"{path}, line {table.line_of(k)}: column '{column}' holds '{raw.iloc[k]}', expected a number ({quantity})"
        )
    return num.to_numpy(dtype=float) * factor


def _optional_numeric(table: _Table, column: Optional[str]) -> Optional[np.ndarray]:
    """A column that may have gaps (temperature, step): unreadable cells are NaN."""
    if column is None:
        return None
    return pd.to_numeric(table.df[column], errors="coerce").to_numpy(dtype=float)


def _signed_by_state(table: _Table, preset: Optional[str], current: np.ndarray, notes: List[str]) -> np.ndarray:
    """Current magnitudes (all >= 0) signed by a state column whose 'D' rows are
    discharges, where the layout has such a column; else the current as it is."""
    layout = PRESETS.get(preset or "", {})
    if "state" not in layout:
        return current
    got = _find({_norm(h): h for h in table.df.columns}, layout["state"])
    if got:
        state = table.df[got[0]].astype(str).str.strip().str.upper().str[:1].to_numpy()
        if np.all(current >= 0) and np.any(state == "D"):
            current = np.where(state == "D", -current, current)
            notes.append(f"current magnitudes signed by the '{got[0]}' column (D: discharge)")
    return current


def _mend_time(time: np.ndarray, table: _Table, notes: List[str]) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """Resets (a new export appended) continue from where the last one ended, one
    median step later; of repeated time stamps the first sample is kept. Returns
    the time axis and the rows to keep (None: all)."""
    dt = np.diff(time)
    back = np.flatnonzero(dt < 0)
    if back.size:
        step_s = float(np.median(dt[dt > 0])) if np.any(dt > 0) else 1.0
        for k in back:
            notes.append(
                f"time goes back at line {table.line_of(int(k) + 1)} ({time[k]:g} s, then {time[k + 1]:g} s): "
                "taken as a new export appended"
            )
        offset = np.zeros_like(time)
        for k in back:
            offset[k + 1 :] += time[k] - time[k + 1] + step_s
        time = time + offset
    dup = np.flatnonzero(np.diff(time) == 0) + 1
    if not dup.size:
        return time, None
    keep = np.ones(time.size, dtype=bool)
    keep[dup] = False
    notes.append(
        f"{dup.size} repeated time stamp(s) (first at line {table.line_of(int(dup[0]))}): the later sample dropped"
    )
    return time[keep], keep


def read_export(path: str, columns: Optional[Mapping[str, str]] = None, preset: Optional[str] = None) -> Export:
    """Reads one export. ``columns`` maps quantities (time, current, voltage,
    temperature, step) to column names (optionally ``name:unit``); ``preset``
    names a cycler layout (see PRESETS); with neither, the preset is detected
    from the header."""
    path = os.fspath(path)
    if preset is not None and preset not in PRESETS:
        raise UsageError(f"preset '{preset}' is not known; expected one of {', '.join(PRESETS)}")
    notes: List[str] = []
    table = _read_table(path, preset, notes)
    preset, used, factors = _pick_columns(path, list(table.df.columns), columns, table.preset)

    time = _to_seconds(table.df[used["time"]], path, used["time"], table.line_of) * factors["time"]
    current = _numeric(table, path, used["current"], "current", factors["current"])
    voltage = _numeric(table, path, used["voltage"], "voltage", factors["voltage"])
    current = _signed_by_state(table, preset, current, notes)
    temperature = _optional_numeric(table, used.get("temperature"))
    step = _optional_numeric(table, used.get("step"))

    time, keep = _mend_time(time, table, notes)
    if keep is not None:
        current, voltage = current[keep], voltage[keep]
        temperature = temperature[keep] if temperature is not None else None
        step = step[keep] if step is not None else None
    return Export(
        path=path,
        time=time,
        current=current,
        voltage=voltage,
        temperature=temperature,
        step=step,
        preset=preset,
        columns=used,
        notes=notes,
    )


# Binary and spreadsheet exports, read by the well-kept library for each (optional
# extra 'exports'): suffix -> (library, what to install).
BINARY_READERS = {
    ".mpr": ("galvani", "galvani"),  # BioLogic EC-Lab binary
    ".nda": ("NewareNDA", "NewareNDA"),  # Neware binary
    ".ndax": ("NewareNDA", "NewareNDA"),
    ".xlsx": ("openpyxl", "openpyxl"),  # spreadsheet exports (Arbin, Neware, ...)
}


def _read_binary(path: str) -> pd.DataFrame:
    ext = os.path.splitext(path)[1].lower()
    lib, pip_name = BINARY_READERS[ext]
    try:
        if lib == "galvani":
            from galvani import BioLogic

            df = pd.DataFrame(BioLogic.MPRfile(path).data)
        elif lib == "NewareNDA":
            import NewareNDA

            df = NewareNDA.read(path)
            if "Timestamp" in df and "Total Time" not in df:  # seconds since the first record
                stamp = pd.to_datetime(df["Timestamp"])
                df["Total Time"] = (stamp - stamp.iloc[0]).dt.total_seconds()
        else:
            df = pd.read_excel(path, engine="openpyxl")
    except ImportError:
        raise RecordingError(f"{path}: reading {ext} files needs {pip_name} (pip install 'ecmfit[exports]')") from None
    except RecordingError:
        raise
    except Exception as e:  # the reader's own complaint about the file
        raise RecordingError(f"{path}: cannot be read as a {ext} export: {type(e).__name__}: {e}") from None
    return df


_TEMP_PATTERNS = [
    re.compile(r"_T([pn])(\d+(?:\.\d+)?)(?![\d.])"),  # the classic ..._Tp25 / _Tn10
    re.compile(r"(?:^|[_\s(\[]|--)(-?\d+(?:\.\d+)?)\s*(?:°\s*|deg\s*)?C(?![a-zA-Z])"),
    re.compile(r"(?:^|[^\d.])(\d+(?:\.\d+)?)\s*(?:°\s*|deg\s*)?C(?![a-zA-Z])"),
    re.compile(r"(?:^|[_\-\s])([mn])(\d+(?:\.\d+)?)\s*C(?![a-zA-Z])"),
]


def temperature_from_name(path: str) -> Optional[float]:
    """A temperature written in the file name: ``_Tp25``/``_Tn10``, ``25C``,
    ``25degC``, ``_-10C`` (a hyphen after a letter or digit is a separator),
    ``m10C``/``n10C`` (minus)."""
    name = os.path.splitext(os.path.basename(path))[0]
    m = _TEMP_PATTERNS[0].search(name)
    if m:
        return float(m.group(2)) * (-1 if m.group(1) == "n" else 1)
    m = _TEMP_PATTERNS[3].search(name)
    if m:
        return -float(m.group(2))
    m = _TEMP_PATTERNS[1].search(name)
    if m:
        return float(m.group(1))
    m = _TEMP_PATTERNS[2].search(name)
    if m:
        return float(m.group(1))
    return None


def capacity_from_name(path: str) -> Optional[float]:
    """A nominal capacity in the file name (``2000mAh``, ``33Ah``, ``33.1 Ah``), in mAh."""
    name = os.path.basename(path)
    m = re.search(r"(\d+(?:\.\d+)?)\s*(mAh|Ah)(?![a-zA-Z])", name, re.I)
    if not m:
        return None
    value = float(m.group(1))
    return value if m.group(2).lower() == "mah" else value * 1000.0

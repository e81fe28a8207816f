"""Any cycler's recording as one normalised table.

``read_recording(path)`` reads a cycler's file (text exports with or without a
preamble, spreadsheets, BDF CSV/Parquet, Neware .nda/.ndax, BioLogic .mpr,
Arbin .res) and returns a :class:`Normalised`: a table with the Battery Data
Format's column names and meaning (``Test Time / s``, ``Current / A`` positive
when it charges the cell where the file tells the sign, ``Voltage / V``, step
numbers and type, temperatures, the cycler's capacity counters), the start
time and channel, and notes on everything that was done to read it.

Text formats are read here: the column names are recognised with the units
they carry (``Test (Min)``, ``Current (mA)``, ``I/mA``, ``voltage_volt`` ...),
and a time column is taken in whichever form it comes (seconds, minutes,
hours, ``0d 00:00:00.0000``, ``h:mm:ss`` past a day, absolute date-times).
Binary formats go through their maintained readers (the ``exports`` extra).
"""

from __future__ import annotations

import csv
import io
import logging
import os
import re
import shutil
import subprocess
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

from ._errors import RecordingError, UsageError

log = logging.getLogger("ecm")

EXTRA = "pip install 'ecmfit[exports]'"

# The normalised table's columns, in the order they are written.
TIME, CURRENT, VOLTAGE = "Test Time / s", "Current / A", "Voltage / V"
BDF_COLUMNS = (
    TIME,
    CURRENT,
    VOLTAGE,
    "Unix Time / s",
    "Cycle Count / 1",
    "Step Count / 1",
    "Step Index / 1",
    "Step Type",
    "Ambient Temperature / degC",
    "Surface Temperature / degC",
    "Charging Capacity / Ah",
    "Discharging Capacity / Ah",
    "Net Capacity / Ah",
)
# The machine-readable form of each label.
BDF_MACHINE = {
    TIME: "test_time_second",
    CURRENT: "current_ampere",
    VOLTAGE: "voltage_volt",
    "Unix Time / s": "unix_time_second",
    "Cycle Count / 1": "cycle_count",
    "Step Count / 1": "step_count",
    "Step Index / 1": "step_index",
    "Step Type": "step_type",
    "Ambient Temperature / degC": "ambient_temperature_celsius",
    "Surface Temperature / degC": "surface_temperature_celsius",
    "Charging Capacity / Ah": "charging_capacity_ah",
    "Discharging Capacity / Ah": "discharging_capacity_ah",
    "Net Capacity / Ah": "net_capacity_ah",
}

KNOWN_FORMATS = (
    "text exports (CSV, tab or ';' separated; Arbin, Maccor, Neware, Novonix, PEC, Landt, BioLogic, Bitrode and "
    "others with time, current and voltage columns), spreadsheets (.xlsx), BDF (.bdf.csv, .bdf.parquet), "
    "Neware .nda/.ndax, BioLogic .mpr, Arbin .res"
)

# quantity -> the quantity's column in the table
_TARGET = {
    "time": TIME,
    "current": CURRENT,
    "voltage": VOLTAGE,
    "unix": "Unix Time / s",
    "cycle": "Cycle Count / 1",
    "step_count": "Step Count / 1",
    "step": "Step Index / 1",
    "ambient": "Ambient Temperature / degC",
    "surface": "Surface Temperature / degC",
    "charge_capacity": "Charging Capacity / Ah",
    "discharge_capacity": "Discharging Capacity / Ah",
    "net_capacity": "Net Capacity / Ah",
}


@dataclass
class Normalised:
    """One recording in the normalised layout (see BDF_COLUMNS)."""

    path: str
    data: pd.DataFrame
    lines: np.ndarray  # the file line (a spreadsheet's row, a binary file's record) of each row
    format: str  # what the file was read as: "maccor", "neware", "bdf", ...
    sign: str  # how the current's sign is known
    sign_known: bool  # whether Current / A is charge positive by what the file says
    written_sign: float = 1.0  # -1 where the table's current is the file's with the sign turned
    start: Optional[str] = None  # the first sample's date and time, as the file gives it
    channel: Optional[str] = None
    preset: Optional[str] = None  # the preset layout that named the columns, if one did
    columns: Dict[str, str] = field(default_factory=dict)  # quantity -> the file's column
    notes: List[str] = field(default_factory=list)

    @property
    def time(self) -> np.ndarray:
        return self.data[TIME].to_numpy(dtype=float)

    @property
    def current(self) -> np.ndarray:
        return self.data[CURRENT].to_numpy(dtype=float)

    @property
    def voltage(self) -> np.ndarray:
        return self.data[VOLTAGE].to_numpy(dtype=float)

    def column(self, name: str) -> Optional[np.ndarray]:
        return self.data[name].to_numpy(dtype=float) if name in self.data else None


# ---------------------------------------------------------------------------
# column names


# unit as written (lower case) -> (what it measures, factor to SI)
_UNITS: Dict[str, Tuple[str, float]] = {}
for _uk, _uf, _un in (
    ("time", 1.0, "s sec secs second seconds h:min:s.ms h:min:s hh:mm:ss h:mm:ss"),
    ("time", 1e-3, "ms"),
    ("time", 60.0, "min mins minute minutes"),
    ("time", 3600.0, "h hr hrs hour hours"),
    ("current", 1.0, "a amp amps ampere"),
    ("current", 1e-3, "ma milliampere"),
    ("current", 1e-6, "ua µa μa"),
    ("voltage", 1.0, "v volt volts"),
    ("voltage", 1e-3, "mv"),
    ("temperature", 1.0, "c °c ℃ degc celsius dc"),
    ("capacity", 1.0, "ah a.h a·h"),
    ("capacity", 1e-3, "mah ma.h ma·h"),
    ("count", 1.0, "1"),
):
    for _u in _un.split():
        _UNITS[_u] = (_uk, _uf)
_UNITS["deg c"] = ("temperature", 1.0)
_SUFFIX_UNIT = re.compile(
    r"^(.*?)[_ ](second|seconds|sec|s|ms|minute|min|hour|h|ampere|a|ma|volt|v|mv|celsius|degc|c|ah|mah)$", re.I
)
_BRACKET_UNIT = re.compile(r"^(.*?)\s*[(\[]\s*([^()\[\]]*?)\s*[)\]]\s*$")

# base name (lower case, no spaces, _ - .) -> (quantity, rank: lower wins)
_BASES: Dict[str, Tuple[str, int]] = {}
for _q, _names in {
    "time": [
        ("testtime", 0),
        ("totaltime", 1),
        ("cumulativetime", 2),
        ("runtime", 3),
        ("test", 4),
        ("elapsedtime", 5),
        ("time", 6),
        ("seconds", 7),
    ],
    "current": [("current", 0), ("i", 1), ("<i>", 1), ("amps", 2), ("amp", 2), ("amperes", 2)],
    "voltage": [
        ("voltage", 0),
        ("ecell", 0),
        ("volts", 1),
        ("volt", 1),
        ("ewe", 2),
        ("<ewe>", 2),
        ("potential", 3),
        ("u", 4),
    ],
    "step": [("stepindex", 0), ("stepnumber", 1), ("stepid", 1), ("stepno", 1), ("step", 2), ("steps", 2), ("ns", 3)],
    "step_count": [("stepcount", 0)],
    "cycle": [("cyclecount", 0), ("cycleindex", 0), ("cyclenumber", 1), ("cycle", 2), ("cycle#", 2), ("cyc#", 2)],
    "state": [
        ("state", 0),
        ("md", 0),
        ("steptype", 1),
        ("stepstate", 1),
        ("mode", 2),
        ("stepname", 3),
        ("status", 3),
    ],
    "charge_capacity": [
        ("chargecapacity", 0),
        ("chargingcapacity", 0),
        ("chgcap", 1),
        ("qcharge", 2),
    ],
    "discharge_capacity": [
        ("dischargecapacity", 0),
        ("dischargingcapacity", 0),
        ("dchgcap", 1),
        ("qdischarge", 2),
    ],
    # a bare "Capacity [Ah]" is taken as the net counter only where nothing names one better
    "net_capacity": [("netcapacity", 0), ("(qqo)", 1), ("qqo", 1), ("capacity", 3)],
    "unix": [("unixtime", 0)],
    "clock": [
        ("datetime", 0),
        ("dateandtime", 0),
        ("datetimeisostring", 0),
        ("timestamp", 1),
        ("dpttime", 1),
        ("realtime", 2),
        ("systime", 2),
        ("absolutetime", 2),
        ("date", 3),
    ],
}.items():
    for _n, _r in _names:
        _BASES[_n] = (_q, _r)

_UNIT_KIND = {
    "time": "time",
    "current": "current",
    "voltage": "voltage",
    "charge_capacity": "capacity",
    "discharge_capacity": "capacity",
    "net_capacity": "capacity",
    "unix": "time",
}


def split_unit(name: str) -> Tuple[str, Optional[str]]:
    """A column name as (base, unit): ``Current (mA)``, ``Current [A]``, ``I/mA``,
    ``Test Time / s``, ``current_ampere``, ``test_time_s``; the unit is None
    where the name carries none."""
    s = str(name).strip().strip('"').strip().lstrip("~#").strip()  # Basytec's header starts with '~'
    m = _BRACKET_UNIT.match(s)
    if m and m.group(1).strip():
        return m.group(1).strip(), m.group(2).strip()
    if "/" in s:
        base, unit = s.rsplit("/", 1)
        if base.strip():
            return base.strip(), unit.strip()
    m = _SUFFIX_UNIT.match(s)
    if m and m.group(1).strip():
        return m.group(1).strip(), m.group(2)
    return s, None


def _base_key(base: str) -> str:
    return re.sub(r"[\s_\-.]+", "", base.lower())


def _unit_info(unit: Optional[str]) -> Optional[Tuple[str, float]]:
    if unit is None:
        return None
    u = unit.strip().lower().rstrip(".")
    return _UNITS.get(u) or _UNITS.get(u.replace(" ", ""))


def recognise(name: str) -> Optional[Tuple[str, int, float, bool]]:
    """What a column name holds: (quantity, rank, factor to SI, whether the unit
    was written), or None. Quantities: time, current, voltage, step,
    step_count, cycle, state, temperatures (ambient, surface, temperature),
    charge/discharge/net capacity, unix, clock."""
    base, unit = split_unit(name)
    key = _base_key(base)
    info = _unit_info(unit)
    if key.startswith("step") and info is not None and info[0] == "time":
        return None  # the step's time, not the test's
    if (
        "temp" in key
        or key in ("t1", "auxt1")
        or (key == "t" and info is not None)
        or (info is not None and info[0] == "temperature" and key not in _BASES)
    ):
        if unit is not None and (info is None or info[0] != "temperature"):
            return None
        if any(w in key for w in ("circuit", "control", "set", "max", "min", "range", "rate")):
            return None
        kind = "ambient" if ("ambient" in key or "chamber" in key) else "temperature"
        if "surface" in key or "cell" in key:
            kind = "surface"
        return kind, 0, 1.0, info is not None
    if key not in _BASES:
        return None
    quantity, rank = _BASES[key]
    if quantity in ("clock", "state"):
        return quantity, rank, 1.0, False
    if unit is None:
        return quantity, rank, 1.0, False
    if info is None:
        return None  # a unit that is not this quantity's (mWh, mAh/g, %)
    want = _UNIT_KIND.get(quantity)
    if want is None:
        return (quantity, rank, 1.0, True) if info[0] == "count" else None
    if info[0] != want:
        return None
    return quantity, rank, info[1], True


def _pick(header: Sequence[str]) -> Dict[str, Tuple[str, float, bool]]:
    """Per quantity the best column of a header: (name, factor, unit written)."""
    best: Dict[str, Tuple[Tuple[int, int, int], str, float, bool]] = {}
    for pos, name in enumerate(header):
        got = recognise(name)
        if got is None:
            continue
        q, rank, factor, has_unit = got
        # of two time columns alike, one whose name gives its unit (a bare 'Time' may be the
        # time of day), and of those seconds (Time [min], Time [s])
        pref = 0 if q != "time" else (0 if has_unit else 2) + (0 if factor == 1.0 else 1)
        score = (rank, pref, pos)
        if q not in best or score < best[q][0]:
            best[q] = (score, name, factor, has_unit)
    out = {q: (v[1], v[2], v[3]) for q, v in best.items()}
    if "temperature" in out:  # a temperature named neither ambient nor surface
        if "ambient" not in out:
            out["ambient"] = out.pop("temperature")
        elif "surface" not in out:
            out["surface"] = out.pop("temperature")
        else:
            del out["temperature"]
    return out


def _has_core(header: Sequence[str]) -> bool:
    p = _pick(header)
    return all(q in p for q in ("time", "current", "voltage"))


# ---------------------------------------------------------------------------
# text files


@dataclass
class _Raw:
    """A file's table before normalising: its columns as the file names them."""

    df: pd.DataFrame
    lines: np.ndarray
    where: str  # "line" or "row" (a spreadsheet's) or "record"
    format: str
    preamble: List[str] = field(default_factory=list)
    sign_convention: Optional[str] = None  # what the format says of the current's sign
    start: Optional[str] = None
    channel: Optional[str] = None
    preset: Optional[str] = None
    step_types: Dict[str, str] = field(default_factory=dict)  # a state code -> charge/discharge/rest
    where_prefix: str = ""  # "sheet 'X', " for spreadsheets
    sheets: List[str] = field(default_factory=list)  # a spreadsheet's sheets read one after the other
    sheet_of: Optional[np.ndarray] = None  # per row, its sheet in ``sheets``


def _head(path: str, size: int = 1 << 16) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read(size)
    except OSError as e:
        raise RecordingError(f"{path}: cannot be read: {e.strerror or e}") from None


def _looks_binary(head: bytes) -> bool:
    if b"\x00" in head:
        return True
    if not head:
        return False
    ctrl = sum(1 for b in head[:4096] if b < 9 or 13 < b < 32)
    return ctrl > 0.05 * min(len(head), 4096)


def _decode(head: bytes) -> Tuple[str, str]:
    body = head[3:] if head.startswith(b"\xef\xbb\xbf") else head
    try:
        # a multi-byte character may be cut at the end of the sample
        text = body.decode("utf-8") if len(body) < (1 << 16) else body[:-4].decode("utf-8")
        return ("utf-8-sig" if body is not head else "utf-8"), text
    except UnicodeDecodeError:
        return "latin-1", body.decode("latin-1")


def _split_line(line: str, delim: str) -> List[str]:
    s = line.rstrip("\r\n")
    if len(s) > 1 and s[0] == '"' and s[-1] == '"' and s.count('"') == 2:
        s = s[1:-1]  # Novonix wraps each whole row in quotes
    try:
        return [x.strip() for x in next(csv.reader(io.StringIO(s), delimiter=delim))]
    except (StopIteration, csv.Error):
        return []


def _find_header(lines: List[str], wanted: Optional[Sequence[str]]) -> Optional[Tuple[int, str, List[str], bool]]:
    """The header line among the first lines: (index, delimiter, names, quoted rows).
    A header names time, current and voltage columns (or every column of
    ``wanted``, a user's column map or a preset's names)."""
    want = [_norm(w) for w in wanted] if wanted else None
    for i, line in enumerate(lines):
        if not line.strip():
            continue
        best: Optional[Tuple[int, str, List[str]]] = None
        for delim in ("\t", ";", ","):
            if delim not in line:
                continue
            names = _split_line(line, delim)
            if len(names) < 2:
                continue
            if want is not None:
                normed = {_norm(n) for n in names}
                ok = all(w in normed for w in want)
            else:
                ok = _has_core(names)
            if ok and (best is None or len(names) > best[0]):
                best = (len(names), delim, names)
        if best:
            stripped = line.strip()
            quoted = stripped.startswith('"') and stripped.endswith('"') and stripped.count('"') == 2
            return i, best[1], best[2], quoted
    return None


def _norm(name: str) -> str:
    return re.sub(r"\s+", " ", str(name)).strip().lower()


def _decimal_comma(data_lines: List[str], delim: str) -> bool:
    if delim == ",":
        return False
    comma = dot = 0
    for line in data_lines[:20]:
        for cell in line.split(delim):
            c = cell.strip().strip('"')
            if re.fullmatch(r"-?\d+,\d+(?:[eE][-+]?\d+)?", c):
                comma += 1
            elif re.fullmatch(r"-?\d*\.\d+(?:[eE][-+]?\d+)?", c):
                dot += 1
    return comma > dot


_START_KEYS = re.compile(
    r"^\s*(?:started|start time|start datetime|acquisition started on|date of test|test start)\s*[:\t,]+\s*(.+?)\s*$",
    re.I,
)
_CHANNEL_KEY = re.compile(r"^\s*channel(?: number)?\s*[:\t,]+\s*([^\t,]+?)\s*$", re.I)


def _preamble_format(pre: List[str], header: List[str]) -> str:
    text = "\n".join(pre[:60]).lower()
    names = {_norm(h) for h in header}
    if "novonix" in text or "[data]" in text:
        return "novonix"
    if "today's date" in text or ("procedure" in text and "rec#" in names) or "md" in names and "rec" in names:
        return "maccor"
    if "testregime" in text.replace(" ", "") or "total time (seconds)" in names:
        return "pec"
    if "ec-lab" in text or "nb header lines" in text or "ewe/v" in names or "ecell/v" in names:
        return "biologic"
    if any(n.startswith("test time / ") or n == "test_time_second" for n in names):
        return "bdf"
    if "nominal capacity used to define the c rate" in text or "test_time_s" in names:
        return "landt"
    if "step type" in names and "cumulative time" in names:
        return "neware"
    if "data_point" in names or "test_time(s)" in names or "test_time" in names:
        return "arbin"
    if "rec#" in names or "test (sec)" in names or "test (min)" in names:
        return "maccor"
    return "text"


_SIGN_CONVENTION = {
    "bdf": "charge positive (the BDF convention)",
    "biologic": "charge positive (BioLogic)",
    "arbin": "charge positive (Arbin)",
    "neware": "charge positive (Neware)",
}


def _novonix_step_types(pre: List[str]) -> Dict[str, str]:
    """Novonix step types by code, from the file's own protocol block (``[2: Constant_current_discharge: ...]``)."""
    out: Dict[str, str] = {}
    for line in pre:
        m = re.match(r'^\s*"?\s*\[(\d+):\s*([A-Za-z_\-]+)', line)
        if m:
            kind = _state_word(m.group(2))
            if kind:
                out[m.group(1)] = kind
    return out


def _read_text(path: str, wanted: Optional[Sequence[str]], preset: Optional[str], notes: List[str]) -> _Raw:
    head = _head(path)
    if not head.strip():
        raise RecordingError(f"{path}: the file is empty; expected a cycler export with a header row and samples")
    encoding, text = _decode(head)
    lines = text.splitlines(keepends=True)[:400]
    if len(head) >= (1 << 16) and lines:
        lines = lines[:-1]  # the last one may be cut short
    found = _find_header(lines, wanted)
    if found is None and wanted:
        found = _find_header(lines, None)
    if found is None and wanted:
        # a user's column map on names not recognised: the first line is the header
        first = next((i for i, ln in enumerate(lines) if ln.strip()), 0)
        fl = lines[first] if lines else ""
        delim = max(("\t", ";", ","), key=lambda d: fl.count(d))
        names = _split_line(fl, delim)
        if names and not all(_looks_numeric(x) for x in names if x):
            found = (first, delim, names, False)
    if found is None:
        return _read_without_header(path, lines, encoding, preset, notes)
    idx, delim, names, quoted = found
    pre = [ln.rstrip("\r\n") for ln in lines[:idx]]
    data_lines = [ln for ln in lines[idx + 1 : idx + 40] if ln.strip()]
    decimal = "," if _decimal_comma(data_lines, delim) else "."
    kw: Dict[str, Any] = {"skiprows": idx, "header": 0}
    if quoted:
        kw["quoting"] = csv.QUOTE_NONE
    widest = len(names)
    for k, ln in enumerate(lines[idx + 1 : idx + 40]):
        fields = _split_line(ln, delim)
        if len(fields) > len(names):
            if any(x for x in fields[len(names) :]):
                raise RecordingError(
                    f"{path}, line {idx + k + 2}: {len(fields)} fields where the header row has {len(names)}; "
                    "expected one value per column"
                )
            widest = max(widest, len(fields))
    if widest > len(names):
        # rows that end in a separator (Maccor, PEC): the extra fields are empty columns
        kw = dict(kw, skiprows=idx + 1, header=None, names=_dedupe(names + [""] * (widest - len(names))))
    # only the columns that may be used are converted (the tokenizer still reads every field)
    keep = _column_filter(wanted)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            df = pd.read_csv(
                path,
                sep=delim,
                decimal=decimal,
                index_col=False,
                usecols=keep,
                encoding=encoding,
                encoding_errors="replace",
                skip_blank_lines=False,
                **kw,
            )
    except pd.errors.ParserError as e:
        raise RecordingError(_parser_message(path, str(e), len(names))) from None
    except (UnicodeDecodeError, ValueError, OSError) as e:
        raise RecordingError(f"{path}: cannot be read as a table: {e}") from None
    if any("loss of data" in str(w.message) for w in caught):
        raise RecordingError(_wide_row(path, encoding, delim, idx, len(kw.get("names") or names)))
    df.columns = _dedupe([str(c) for c in df.columns])
    if quoted and len(df.columns):
        for c in (df.columns[0], df.columns[-1]):
            if df[c].dtype == object:
                df[c] = df[c].astype(str).str.strip('"')
    # the header is file line idx + 1; blank lines are rows of nothing, dropped here
    file_lines = np.arange(len(df), dtype=np.int64) + idx + 2
    if len(df.columns) and df[df.columns[0]].isna().any():
        empty = df.isna().all(axis=1).to_numpy()
        if empty.any():
            df = df.loc[~empty].reset_index(drop=True)
            file_lines = file_lines[~empty]
    fmt = _preamble_format(pre, names)
    raw = _Raw(df, file_lines, "line", fmt, preamble=pre, preset=preset)
    raw.sign_convention = _SIGN_CONVENTION.get(fmt)
    if fmt == "novonix":
        raw.step_types = _novonix_step_types(pre)
    for line in pre:
        m = _START_KEYS.match(line.replace("\t", ":", 1) if "\t" in line else line)
        if m and raw.start is None:
            raw.start = m.group(1).strip(" ,\t")
        m = _CHANNEL_KEY.match(line)
        if m and raw.channel is None:
            raw.channel = m.group(1).strip()
    if decimal == ",":
        notes.append("numbers with decimal commas")
    return raw


def _column_filter(wanted: Optional[Sequence[str]]) -> Callable[[str], bool]:
    """Whether a column of a text export is worth converting: one that is
    recognised, a preset's, or one the user named."""
    from .presets import PRESETS

    names = {_norm(w) for w in wanted or ()}
    for layout in PRESETS.values():
        for q, entries in layout.items():
            if q != "positional":
                names.update(_norm(n) for n, _ in entries)

    def keep(name: str) -> bool:
        n = str(name).strip().strip('"').strip()
        return not n or _norm(n) in names or recognise(n) is not None

    return keep


def _wide_row(path: str, encoding: str, delim: str, idx: int, width: int) -> str:
    """The message for a row with more fields than the header (pandas would drop them)."""
    with open(path, encoding=encoding, errors="replace", newline="") as f:
        for k, row in enumerate(csv.reader(f, delimiter=delim)):
            if k > idx and len(row) > width and any(x.strip() for x in row[width:]):
                return (
                    f"{path}, line {k + 1}: {len(row)} fields where the header row has {width}; "
                    "expected one value per column"
                )
    return f"{path}: a row has more fields than the header row ({width}); expected one value per column"


def _dedupe(names: List[str]) -> List[str]:
    """Column names made unique as pandas makes a header's (Loop, Loop.1, ...); empty ones named by position."""
    seen: Dict[str, int] = {}
    out = []
    for k, n in enumerate(names):
        n = n.strip().strip('"').strip() or f"Unnamed: {k}"
        if n in seen:
            seen[n] += 1
            n = f"{n}.{seen[n]}"
        else:
            seen[n] = 0
        out.append(n)
    return out


def _parser_message(path: str, msg: str, n_header: int) -> str:
    m = re.search(r"Expected (\d+) fields in line (\d+), saw (\d+)", msg)
    if m:
        return (
            f"{path}, line {m.group(2)}: {m.group(3)} fields where the header row has {m.group(1)}; "
            "expected one value per column"
        )
    m = re.search(r"EOF inside string starting at row (\d+)", msg)
    if m:
        return (
            f'{path}: a quote (") opened near row {m.group(1)} is never closed; '
            "expected each quoted value to end with a quote on its own row"
        )
    m = re.search(r"line (\d+)", msg)
    where = f", line {m.group(1)}" if m else ""
    msg = re.sub(r"^Error tokenizing data\. C error: ", "", msg)
    return f"{path}{where}: cannot be read as a table of {n_header} columns ({msg.splitlines()[0] if msg else 'no detail'})"


def _looks_numeric(cell: str) -> bool:
    try:
        float(cell)
        return True
    except ValueError:
        return False


def _read_without_header(path: str, lines: List[str], encoding: str, preset: Optional[str], notes: List[str]) -> _Raw:
    """No line names time, current and voltage: a headerless export (by its
    preset's column positions), or a file that is not a recording."""
    from .presets import PRESETS

    first_i = next((i for i, ln in enumerate(lines) if ln.strip()), None)
    if first_i is None:
        raise RecordingError(f"{path}: the file is empty; expected a cycler export with a header row and samples")
    skip = 0
    for line in lines[:3]:
        mm = re.search(r"Nb header lines\s*:\s*(\d+)", line)
        if mm:
            skip = int(mm.group(1)) - 1
    first_line = lines[skip] if skip < len(lines) else lines[first_i]
    delim = (
        "\t"
        if first_line.count("\t") > first_line.count(",") and first_line.count("\t") > first_line.count(";")
        else (";" if first_line.count(";") > first_line.count(",") else ",")
    )
    first = _split_line(first_line, delim)
    filled = [x for x in first if x]
    if filled and sum(_looks_numeric(x) for x in filled) >= max(2, len(filled) // 2):
        pname = preset or ("bitrode" if len(first) >= 14 else None)
        positional = PRESETS.get(pname or "", {}).get("positional")
        if not positional:
            raise RecordingError(
                f"{path}: the first line holds numbers, not column names; give --preset for a "
                "layout with known column positions (bitrode) or add a header row"
            )
        names = list(positional) + [f"extra_{k}" for k in range(max(0, len(first) - len(positional)))]
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                df = pd.read_csv(
                    path,
                    header=None,
                    names=names[: len(first)],
                    sep=delim,
                    skipinitialspace=True,
                    index_col=False,
                    low_memory=False,
                    encoding=encoding,
                    encoding_errors="replace",
                )
        except pd.errors.ParserError as e:
            raise RecordingError(_parser_message(path, str(e), len(first))) from None
        except (UnicodeDecodeError, ValueError) as e:
            raise RecordingError(f"{path}: cannot be read as a table: {e}") from None
        notes.append(f"no header row: columns taken by position as in the {pname} layout")
        return _Raw(df, np.arange(len(df), dtype=np.int64) + 1, "line", pname or "text", preset=pname)
    # a table without time/current/voltage: metadata, or a layout we do not know
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            df = pd.read_csv(
                path,
                sep=delim,
                skiprows=skip,
                index_col=False,
                nrows=50,
                encoding=encoding,
                encoding_errors="replace",
            )
        except Exception:  # not even a table: say what was looked for
            df = None
    header = [str(c).strip() for c in df.columns] if df is not None else first
    shown = ", ".join(header[:12]) + (", ..." if len(header) > 12 else "")
    if df is not None and len(df) <= 2 and _is_metadata(path, header):
        raise RecordingError(
            f"{path}: metadata (test, channel, schedule or per-cycle summary; columns {shown}), no samples; "
            "read the data file it belongs to"
        )
    what = f"the columns ({shown}) match" if len(header) > 1 else "no line names columns: it matches"
    raise RecordingError(
        f"{path}: {what} no known cycler layout ({', '.join(PRESETS)}; or any export whose "
        "header names time, current and voltage columns); give --preset or --columns time=...,current=...,voltage=..."
    )


def _is_metadata(path: str, header: Sequence[str]) -> bool:
    keys = {_base_key(h) for h in header}
    marks = {"testid", "channel", "ivchid", "schedulefilename", "firststartdatetime", "cycle", "qc", "qd", "ce"}
    return "metadata" in os.path.basename(path).lower() or len(keys & marks) >= 2


# ---------------------------------------------------------------------------
# spreadsheets, Parquet and binary formats


def _read_excel(path: str, wanted: Optional[Sequence[str]], notes: List[str]) -> _Raw:
    try:
        import openpyxl  # noqa: F401
    except ImportError:
        raise RecordingError(f"{path}: reading spreadsheets needs openpyxl ({EXTRA})") from None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with pd.ExcelFile(path, engine="openpyxl") as book:
                return _excel_samples(path, book, wanted, notes)
    except RecordingError:
        raise
    except Exception as e:  # openpyxl's complaint about the file
        raise RecordingError(f"{path}: cannot be read as a spreadsheet: {type(e).__name__}: {e}") from None


def _excel_samples(path: str, book: Any, wanted: Optional[Sequence[str]], notes: List[str]) -> _Raw:
    """The first sheet whose first 30 rows hold a header naming time, current and voltage."""
    sheets = list(book.sheet_names)
    for sheet in sheets:
        top = pd.read_excel(book, sheet_name=sheet, header=None, nrows=30)
        for r in range(len(top)):
            names = [str(x).strip() for x in top.iloc[r].tolist() if not _isnan(x)]
            if wanted:
                ok = all(_norm(w) in {_norm(n) for n in names} for w in wanted) or _has_core(names)
            else:
                ok = _has_core(names)
            if not ok:
                continue
            df = pd.read_excel(book, sheet_name=sheet, header=r)
            df.columns = _dedupe([str(c) for c in df.columns])
            if sheet != sheets[0] or r:
                notes.append(f"samples read from sheet '{sheet}' (header on row {r + 1})")
            parts, lines, sheet_of = [df], [np.arange(len(df), dtype=np.int64) + r + 2], [np.zeros(len(df), np.int64)]
            used = [sheet]
            # a cycler splits records over sheets past the row limit: the next sheets with the same header
            for other in sheets[sheets.index(sheet) + 1 :]:
                more = pd.read_excel(book, sheet_name=other, header=r)
                more.columns = _dedupe([str(c) for c in more.columns])
                if list(more.columns) != list(df.columns):
                    break
                parts.append(more)
                lines.append(np.arange(len(more), dtype=np.int64) + r + 2)
                sheet_of.append(np.full(len(more), len(used), np.int64))
                used.append(other)
            if len(used) > 1:
                notes.append(f"samples continued on sheet(s) {', '.join(repr(u) for u in used[1:])}")
                df = pd.concat(parts, ignore_index=True)
            rows, where_sheet = np.concatenate(lines), np.concatenate(sheet_of)
            empty = df.isna().all(axis=1).to_numpy()
            if empty.any():
                df = df.loc[~empty].reset_index(drop=True)
                rows, where_sheet = rows[~empty], where_sheet[~empty]
            names_l = {_norm(c) for c in df.columns}
            fmt = "landt" if "testtime/sec" in names_l else ("arbin" if "test_time(s)" in names_l else "xlsx")
            raw = _Raw(df, rows, "row", fmt, where_prefix=f"sheet '{sheet}', ")
            if len(used) > 1:
                raw.sheets, raw.sheet_of = used, where_sheet
            raw.sign_convention = _SIGN_CONVENTION.get(fmt)
            return raw
    raise RecordingError(
        f"{path}: no sheet ({', '.join(repr(s) for s in sheets)}) has a header row naming time, current and "
        "voltage columns in its first 30 rows; give --columns if the names differ"
    )


def _isnan(x: Any) -> bool:
    try:
        return bool(pd.isna(x))
    except (TypeError, ValueError):
        return False


def _read_parquet(path: str) -> _Raw:
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            df = pd.read_parquet(path)
    except ImportError:
        raise RecordingError(f"{path}: reading Parquet files needs pyarrow ({EXTRA})") from None
    except Exception as e:
        raise RecordingError(f"{path}: cannot be read as Parquet: {type(e).__name__}: {e}") from None
    raw = _Raw(df.reset_index(drop=True), np.arange(len(df), dtype=np.int64) + 1, "record", "bdf")
    raw.sign_convention = _SIGN_CONVENTION["bdf"]
    return raw


def _read_neware(path: str, notes: List[str]) -> _Raw:
    try:
        import fastnda
    except ImportError:
        ext = os.path.splitext(path)[1].lower()
        raise RecordingError(f"{path}: reading {ext} files needs fastnda ({EXTRA})") from None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            df = fastnda.read(path, cycle_mode="raw").to_pandas()
    except Exception as e:
        raise RecordingError(f"{path}: cannot be read as a Neware file: {type(e).__name__}: {e}") from None
    # fastnda's names: total_time_s is the test's monotonic time (the wall clock may jump)
    # its names carry their units (voltage_V, current_mA, unix_time_s); total_time_s is the
    # test's own monotonic time (the wall clock of some files jumps), step_time_s the step's
    df = df.rename(columns={"total_time_s": "test_time_s"})
    notes.append("read with fastnda")
    raw = _Raw(df, np.arange(len(df), dtype=np.int64) + 1, "record", "neware")
    raw.sign_convention = _SIGN_CONVENTION["neware"]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            meta = fastnda.read_metadata(path)
        raw.start, raw.channel = _neware_meta(meta)
    except Exception:  # metadata are a nicety: the samples are read
        pass
    if raw.start is None and "unix_time_s" in df and len(df):
        raw.start = pd.Timestamp(float(df["unix_time_s"].iloc[0]), unit="s").isoformat()
    return raw


def _neware_meta(meta: Any) -> Tuple[Optional[str], Optional[str]]:
    start = channel = None
    if isinstance(meta, dict):
        info = meta.get("TestInfo", {}).get("TestInfo", {}) if isinstance(meta.get("TestInfo"), dict) else {}
        start = info.get("StartTime") or meta.get("start_time")
        ch = info.get("ChlID")
        channel = str(ch) if ch is not None else None
    return (str(start) if start else None), channel


def _read_mpr(path: str, notes: List[str]) -> _Raw:
    try:
        from galvani import BioLogic
    except ImportError:
        raise RecordingError(f"{path}: reading .mpr files needs datalab-org-galvani ({EXTRA})") from None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            mpr = BioLogic.MPRfile(path)
            df = pd.DataFrame(mpr.data)
    except Exception as e:
        raise RecordingError(f"{path}: cannot be read as a BioLogic .mpr file: {type(e).__name__}: {e}") from None
    notes.append("read with galvani")
    raw = _Raw(df, np.arange(len(df), dtype=np.int64) + 1, "record", "biologic")
    raw.sign_convention = _SIGN_CONVENTION["biologic"]
    stamp = getattr(mpr, "timestamp", None) or getattr(mpr, "startdate", None)
    raw.start = str(stamp) if stamp is not None else None
    return raw


def _read_res(path: str, notes: List[str]) -> _Raw:
    """Arbin .res (an Access database): the samples table through mdbtools' mdb-export."""
    exe = shutil.which("mdb-export")
    if exe is None:
        raise RecordingError(
            f"{path}: reading Arbin .res files needs mdbtools' mdb-export, which is not installed "
            "(apt-get install mdbtools, brew install mdbtools); or export the test as CSV/xlsx from the cycler"
        )
    try:
        out = subprocess.run([exe, path, "Channel_Normal_Table"], capture_output=True, check=True, timeout=600).stdout
        df = pd.read_csv(io.BytesIO(out), low_memory=False)
    except subprocess.CalledProcessError as e:
        msg = e.stderr.decode("utf-8", "replace").strip().splitlines()
        raise RecordingError(
            f"{path}: mdb-export cannot read its Channel_Normal_Table: {msg[0] if msg else 'no detail'}"
        ) from None
    except (subprocess.TimeoutExpired, pd.errors.ParserError, ValueError, OSError) as e:
        raise RecordingError(f"{path}: cannot be read as an Arbin .res file: {e}") from None
    notes.append("read with mdb-export (table Channel_Normal_Table)")
    raw = _Raw(df, np.arange(len(df), dtype=np.int64) + 1, "record", "arbin")
    raw.sign_convention = _SIGN_CONVENTION["arbin"]
    return raw


_MAGIC: List[Tuple[bytes, str]] = [
    (b"BIO-LOGIC MODULAR FILE", ".mpr"),
    (b"PK\x03\x04", ".xlsx"),
    (b"\x00\x01\x00\x00Standard Jet DB", ".res"),
    (b"\x00\x01\x00\x00Standard ACE DB", ".res"),
    (b"NEWARE", ".nda"),
    (b"PAR1", ".parquet"),
]


def _kind(path: str) -> str:
    low = path.lower()
    for ext in (".ndax", ".nda", ".mpr", ".res", ".xlsx", ".xlsm", ".xls", ".parquet"):
        if low.endswith(ext):
            return ext
    head = _head(path, 4096)
    for magic, kind in _MAGIC:
        if head.startswith(magic):
            return kind
    if _looks_binary(head):
        raise RecordingError(f"{path}: a binary file of a format not known here; known formats: {KNOWN_FORMATS}")
    return "text"


def _read_raw(path: str, wanted: Optional[Sequence[str]], preset: Optional[str], notes: List[str]) -> _Raw:
    if not os.path.exists(path):
        raise RecordingError(f"{path}: no such file")
    if os.path.isdir(path):
        raise RecordingError(f"{path}: is a folder; expected a recording file")
    kind = _kind(path)
    if kind in (".nda", ".ndax"):
        return _read_neware(path, notes)
    if kind == ".mpr":
        return _read_mpr(path, notes)
    if kind == ".res":
        return _read_res(path, notes)
    if kind in (".xlsx", ".xlsm", ".xls"):
        if kind == ".xls":
            raise RecordingError(f"{path}: old .xls spreadsheets are not read; save it as .xlsx or CSV")
        return _read_excel(path, wanted, notes)
    if kind == ".parquet":
        return _read_parquet(path)
    return _read_text(path, wanted, preset, notes)


# ---------------------------------------------------------------------------
# values


def _where(raw: _Raw, k: int) -> str:
    if raw.sheet_of is not None:
        return f"sheet '{raw.sheets[int(raw.sheet_of[k])]}', {raw.where} {int(raw.lines[k])}"
    return f"{raw.where_prefix}{raw.where} {int(raw.lines[k])}"


def _numeric(raw: _Raw, path: str, column: str, quantity: str, factor: float) -> np.ndarray:
    col = raw.df[column]
    if col.dtype.kind in "fiu":
        num = col.to_numpy(dtype=float)
        bad = np.isnan(num)
    else:
        conv = pd.to_numeric(col, errors="coerce")
        num = conv.to_numpy(dtype=float)
        bad = np.isnan(num)
    if bad.any():
        k = int(np.flatnonzero(bad)[0])
        cell = col.iloc[k]
        what = "is empty" if _isnan(cell) or not str(cell).strip() else f"holds '{cell}'"
        raise RecordingError(f"{path}, {_where(raw, k)}: column '{column}' {what}, expected a number ({quantity})")
    return num * factor if factor != 1.0 else num


def _optional_numeric(raw: _Raw, column: Optional[str], factor: float = 1.0) -> Optional[np.ndarray]:
    if column is None:
        return None
    col = raw.df[column]
    num = (col if col.dtype.kind in "fiu" else pd.to_numeric(col, errors="coerce")).to_numpy(dtype=float)
    if np.all(np.isnan(num)):
        return None
    return num * factor


_DAYS = re.compile(r"^\s*(\d+)\s*(?:d|days?,?)\s+(\d+):(\d{1,2}):(\d{1,2}(?:\.\d*)?)\s*$")
_HMS = re.compile(r"^\s*-?\d+:\d{1,2}:\d{1,2}(?:\.\d+)?\s*$")
_CLOCK_FORMATS = (
    "%Y-%m-%d %H:%M:%S.%f",
    "%Y-%m-%d %H:%M:%S",
    "%Y-%m-%dT%H:%M:%S.%f",
    "%Y-%m-%dT%H:%M:%S",
    "%Y-%m-%d %I:%M:%S %p",
    "%m/%d/%Y %H:%M:%S.%f",
    "%m/%d/%Y %H:%M:%S",
    "%m/%d/%Y %H:%M",
    "%m/%d/%Y %I:%M:%S %p",
    "%d/%m/%Y %H:%M:%S.%f",
    "%d/%m/%Y %H:%M:%S",
    "%d/%m/%Y %H:%M",
    "%d.%m.%Y %H:%M:%S.%f",
    "%d.%m.%Y %H:%M:%S",
    "%Y/%m/%d %H:%M:%S.%f",
    "%Y/%m/%d %H:%M:%S",
)


def parse_clock(values: pd.Series) -> Optional[pd.Series]:
    """Absolute date-times in the first format that reads every one of them; of
    formats that differ only in day/month order, the one whose times run
    forward most; None where no format reads them."""
    if values.dtype.kind == "M":
        return values
    if values.dtype.kind in "fiu":
        v = values.to_numpy(dtype=float)
        if v.size and np.all(np.isfinite(v)) and 1e8 < np.nanmedian(v) < 1e10:  # Unix seconds
            return pd.to_datetime(values, unit="s")
        return None
    txt = values.astype(str).str.strip()
    sample = txt.iloc[: min(len(txt), 200)]
    best: Optional[Tuple[int, str]] = None
    for fmt in _CLOCK_FORMATS:
        got = pd.to_datetime(sample, format=fmt, errors="coerce")
        if got.isna().any():
            continue
        back = int((got.diff().dt.total_seconds() < 0).sum())
        if best is None or back < best[0]:
            best = (back, fmt)
        if back == 0:
            break
    if best is None:
        return None
    full = pd.to_datetime(txt, format=best[1], errors="coerce")
    return None if full.isna().any() else full


def _time_seconds(
    raw: _Raw, path: str, column: str, factor: float, notes: List[str]
) -> Tuple[np.ndarray, Optional[str]]:
    """The time column in seconds, and the start date-time when it holds absolute times."""
    col = raw.df[column]
    if col.dtype.kind in "fiu":
        num = col.to_numpy(dtype=float)
    elif col.dtype.kind == "M":
        stamp = col
        secs = (stamp - stamp.iloc[0]).dt.total_seconds().to_numpy(dtype=float)
        notes.append(f"time from the date-times of column '{column}' (seconds from the first)")
        return secs, str(stamp.iloc[0])
    elif col.dtype.kind == "m":
        return col.dt.total_seconds().to_numpy(dtype=float), None
    else:
        num = pd.to_numeric(col, errors="coerce").to_numpy(dtype=float)
    bad = np.isnan(num)
    if not bad.any():
        return (num * factor if factor != 1.0 else num), None
    txt = col.astype(str).str.strip()
    d = txt.str.extract(_DAYS)
    days = d.notna().all(axis=1).to_numpy()
    m = txt.str.match(_HMS).to_numpy()
    if np.all(days | m):  # durations: 0d 00:00:01.0, 1 day, 02:00:00, 26:03:04 (one cell may differ)
        secs = np.empty(len(txt))
        if days.any():
            p = d[days].astype(float)
            secs[days] = (p[0] * 86400 + p[1] * 3600 + p[2] * 60 + p[3]).to_numpy(dtype=float)
        if m.any():
            hms = txt[m]
            parts = hms.str.split(":", expand=True).astype(float)
            sign = np.where(hms.str.startswith("-"), -1.0, 1.0)
            secs[m] = sign * (parts[0].abs() * 3600 + parts[1] * 60 + parts[2]).to_numpy(dtype=float)
        return secs, None
    stamp = parse_clock(col)
    if stamp is not None:
        secs = (stamp - stamp.iloc[0]).dt.total_seconds().to_numpy(dtype=float)
        notes.append(f"time from the date-times of column '{column}' (seconds from the first)")
        return secs, str(stamp.iloc[0])
    if m.any() or days.any():
        bad = bad & ~m & ~days
    k = int(np.flatnonzero(bad)[0]) if bad.any() else 0
    raise RecordingError(
        f"{path}, {_where(raw, k)}: column '{column}' holds '{col.iloc[k]}', expected a number of seconds, "
        "h:mm:ss, 0d 00:00:00 or a date-time"
    )


def _time_unit_from_clock(time: np.ndarray, clock: Optional[pd.Series]) -> Optional[Tuple[float, str]]:
    """A time column whose name gives no unit, in minutes or hours by the wall
    clock beside it: the clock's span over the column's."""
    if clock is None or time.size < 3:
        return None
    span = float(np.nanmax(time) - np.nanmin(time))
    c = (clock - clock.iloc[0]).dt.total_seconds().to_numpy(dtype=float)
    cspan = float(np.nanmax(c) - np.nanmin(c))
    if span <= 0 or cspan <= 0:
        return None
    ratio = cspan / span
    for factor, name in ((60.0, "minutes"), (3600.0, "hours")):
        if abs(ratio / factor - 1.0) < 0.03:
            return factor, name
    return None


_STATE_WORDS = (
    ("dis", "discharge"),
    ("dchg", "discharge"),
    ("dchrg", "discharge"),
    ("chg", "charge"),
    ("chrg", "charge"),
    ("charge", "charge"),
    ("rest", "rest"),
    ("pause", "rest"),
    ("ocv", "rest"),
    ("open_circuit", "rest"),
)


def _state_word(value: str) -> Optional[str]:
    v = str(value).strip().lower()
    if not v:
        return None
    if v in ("d", "dc"):
        return "discharge"
    if v in ("c", "ch"):
        return "charge"
    if v in ("r", "rest", "o"):
        return "rest"
    m = re.fullmatch(r"(?:rate|cc|cv|cccv|cp|cr|cc_cv)[_\- ]?([cd])", v)  # Landt: RateC, RateD, CCCV_C
    if m:
        return "charge" if m.group(1) == "c" else "discharge"
    for mark, kind in _STATE_WORDS:
        if mark in v.replace(" ", "_"):
            return kind
    return None


def _states(raw: _Raw, column: str) -> Optional[np.ndarray]:
    """charge/discharge/rest per row from a state or step-type column ('' where unknown)."""
    col = raw.df[column]
    codes = col.astype(str).str.strip()
    uniq = pd.unique(codes)
    if len(uniq) > 200:
        return None
    mapping = {}
    for u in uniq:
        key = str(u)
        if raw.step_types and key.split(".")[0] in raw.step_types:
            mapping[key] = raw.step_types[key.split(".")[0]]
        elif re.fullmatch(r"-?\d+(\.\d+)?", key):
            mapping[key] = ""
        else:
            mapping[key] = _state_word(key) or ""
    out = codes.map(mapping).fillna("").to_numpy(dtype=object)
    return out if np.any(out != "") else None


def _sign_from_counters(raw: _Raw, used: Dict[str, Tuple[str, float, bool]], current: np.ndarray) -> Optional[float]:
    """+1 where the charge counter grows under positive current (or the
    discharge counter under negative), -1 the other way round, None where
    the counters do not tell."""
    votes = 0.0
    total = 0.0
    for q, sense in (("charge_capacity", 1.0), ("discharge_capacity", -1.0)):
        if q not in used:
            continue
        c = _optional_numeric(raw, used[q][0])
        if c is None:
            continue
        dc = np.diff(c)
        i = current[1:]
        grow = (dc > 0) & (i != 0)
        if not np.any(grow):
            continue
        votes += sense * float(np.sum(np.sign(i[grow])))
        total += float(np.sum(grow))
    if total < 3 or abs(votes) < 0.9 * total:
        return None
    return 1.0 if votes > 0 else -1.0


# ---------------------------------------------------------------------------
# the time axis


def mend_time(
    time: np.ndarray, lines: np.ndarray, notes: List[str], path: str, where: str = "line"
) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """The time axis made increasing, telling apart: one sample out of order
    (dropped), a new export appended (time restarts; continued one median step
    after the last), repeated stamps (the later sample dropped), and gaps
    (kept, reported). Returns the time and the rows kept (None: all)."""
    keep = np.ones(time.size, dtype=bool)
    t = time
    # single samples out of order: the neighbours either side are in order
    glitches: List[int] = []
    back = np.flatnonzero(np.diff(t) < 0)
    if back.size and back.size <= max(50, t.size // 100):
        for kk in back:
            k = int(kk)
            if not (keep[k] and keep[k + 1]):
                continue
            prev = _prev_kept(keep, k)
            nxt = k + 2 if k + 2 < t.size else None
            spike = prev is None or t[prev] <= t[k + 1]  # sample k too late
            dip = nxt is not None and t[nxt] >= t[k] and (prev is None or t[k + 1] < t[prev])  # k + 1 too early
            if nxt is None and k + 1 == t.size - 1:
                dip = True  # the last sample going back
            if spike and dip:
                gap_a = t[k + 1] - (t[prev] if prev is not None else t[k + 1])
                gap_b = t[nxt] - t[k] if nxt is not None else np.inf
                drop = k if gap_a <= gap_b else k + 1
            elif spike and (nxt is None or t[nxt] >= t[k + 1]) and prev is not None:
                drop = k
            elif spike and prev is None:
                drop = k
            elif dip:
                drop = k + 1
            else:
                continue
            keep[drop] = False
            glitches.append(drop)
    if glitches:
        for g in glitches[:5]:
            notes.append(
                f"one sample out of order at {where} {int(lines[g])} ({t[g]:g} s): dropped "
                "(its neighbours are in order)"
            )
        if len(glitches) > 5:
            notes.append(f"{len(glitches) - 5} more samples out of order dropped")
        t = t[keep]
        lines_k = lines[keep]
    else:
        lines_k = lines
    dt = np.diff(t)
    back = np.flatnonzero(dt < 0)
    if back.size:
        step_s = float(np.median(dt[dt > 0])) if np.any(dt > 0) else 1.0
        for b in back[:20]:
            notes.append(
                f"time goes back at {where} {int(lines_k[int(b) + 1])} ({t[b]:g} s, then {t[b + 1]:g} s): "
                "taken as a new export appended"
            )
        if back.size > 20:
            notes.append(f"time goes back {back.size - 20} more times: each taken as a new export appended")
        offset = np.zeros_like(t)
        for b in back:
            offset[b + 1 :] += t[b] - t[b + 1] + step_s
        t = t + offset
    dup = np.flatnonzero(np.diff(t) == 0) + 1
    keep2 = None
    if dup.size:
        keep2 = np.ones(t.size, dtype=bool)
        keep2[dup] = False
        notes.append(
            f"{dup.size} repeated time stamp(s) (first at {where} {int(lines_k[int(dup[0])])}): the later sample dropped"
        )
        t = t[keep2]
        lines_k = lines_k[keep2]
    dt = np.diff(t)
    if dt.size > 10:
        typical = float(np.median(dt))
        limit = max(600.0, 100.0 * typical)
        gaps = np.flatnonzero(dt > limit)
        for k in gaps[:5]:
            notes.append(
                f"a gap of {dt[k]:g} s between {where} {int(lines_k[k])} and {where} {int(lines_k[k + 1])} "
                f"(typical step {typical:g} s): a pause or a clock jump, kept"
            )
        if gaps.size > 5:
            notes.append(f"{gaps.size - 5} more gaps over {limit:g} s kept")
    if t.size:
        span = float(t[-1] - t[0])
        if span > 50 * 365.25 * 86400:
            raise RecordingError(
                f"{path}: the time spans {span / 86400 / 365.25:.3g} years; expected a test of days to months "
                "(is the time column in ms, or a date misread?); give the unit with --columns time=NAME:ms"
            )
        if span > 366 * 86400:
            msg = f"the time spans {span / 86400:.0f} days (over a year): check the time column's unit"
            notes.append(msg)
            log.warning("%s: %s", path, msg)
    if glitches and keep2 is not None:
        idx = np.flatnonzero(keep)
        keep[idx[~keep2]] = False
        return t, keep
    if glitches:
        return t, keep
    return t, keep2


def _prev_kept(keep: np.ndarray, k: int) -> Optional[int]:
    j = k - 1
    while j >= 0 and not keep[j]:
        j -= 1
    return j if j >= 0 else None


# ---------------------------------------------------------------------------
# the normalised recording


def _user_columns(path: str, header: List[str], columns: Mapping[str, str]) -> Dict[str, Tuple[str, float, bool]]:
    from .presets import _guess_factor, _unit_of

    norm = {_norm(h): h for h in header}
    out: Dict[str, Tuple[str, float, bool]] = {}
    for q, entry in columns.items():
        col, f = _unit_of(entry)
        if _norm(col) not in norm:
            raise RecordingError(f"{path}: no column '{col}' for {q}; the columns are {', '.join(header)}")
        name = norm[_norm(col)]
        key = "ambient" if q == "temperature" else q
        out[key] = (name, f if f is not None else _guess_factor(col, q), True)
    return out


def _preset_columns(header: List[str], preset: str) -> Dict[str, Tuple[str, float, bool]]:
    from .presets import PRESETS, _find

    norm = {_norm(h): h for h in header}
    layout = PRESETS[preset]
    out: Dict[str, Tuple[str, float, bool]] = {}
    for q in ("time", "current", "voltage", "temperature", "step", "state", "mode"):
        if q in layout:
            got = _find(norm, layout[q])
            if got:
                key = {"temperature": "ambient", "mode": "state"}.get(q, q)
                out[key] = (got[0], got[1], True)
    return out


def read_recording(
    path: str | os.PathLike[str],
    columns: Optional[Mapping[str, str]] = None,
    preset: Optional[str] = None,
) -> Normalised:
    """Reads one cycler file into the normalised layout. ``columns`` maps
    quantities (time, current, voltage, temperature, step) to the file's column
    names (``name:unit`` for a unit the name does not show); ``preset`` names a
    layout of ecm.exports.PRESETS. Any quantity neither names is recognised
    from the column names. Raises RecordingError naming the file (and line)."""
    from .presets import PRESETS, detect_preset

    path = os.fspath(path)
    if preset is not None and preset not in PRESETS:
        raise UsageError(f"preset '{preset}' is not known; expected one of {', '.join(PRESETS)}")
    notes: List[str] = []
    wanted: Optional[List[str]] = None
    if columns:
        from .presets import _unit_of

        wanted = [_unit_of(v)[0] for v in columns.values()]
    raw = _read_raw(path, wanted, preset, notes)
    if len(raw.df) == 0:
        raise RecordingError(f"{path}: the table has no rows (a header and no samples)")
    raw.df.columns = _dedupe([str(c) for c in raw.df.columns])
    header = list(raw.df.columns)

    used = _pick(header)
    chosen_preset = raw.preset if raw.preset is not None else preset
    if columns:
        mine = _user_columns(path, header, columns)
        taken = {v[0] for v in mine.values()}
        used = {q: v for q, v in used.items() if v[0] not in taken}
        used.update(mine)
    else:
        if chosen_preset is None:
            chosen_preset = detect_preset(header)
        if chosen_preset is not None:
            pc = _preset_columns(header, chosen_preset)
            for q in ("time", "current", "voltage"):
                if q not in pc and preset is not None:
                    wanted_names = ", ".join(n for n, _ in PRESETS[chosen_preset].get(q, ()))
                    raise RecordingError(
                        f"{path}: no {q} column (looked for {wanted_names}); the columns are {', '.join(header)}"
                    )
            used.update(pc)
    for q in ("time", "current", "voltage"):
        if q not in used:
            shown = ", ".join(header[:15]) + (", ..." if len(header) > 15 else "")
            raise RecordingError(
                f"{path}: no {q} column found among {shown}; the columns match no known cycler layout "
                f"({', '.join(PRESETS)}); give --preset or --columns time=...,current=...,voltage=..."
            )
    return _normalise(path, raw, used, chosen_preset, notes, bool(columns))


def _normalise(
    path: str,
    raw: _Raw,
    used: Dict[str, Tuple[str, float, bool]],
    preset: Optional[str],
    notes: List[str],
    user_map: bool,
) -> Normalised:
    out: Dict[str, Any] = {}
    tcol, tfac, tunit = used["time"]
    core = [used[q][0] for q in ("time", "current", "voltage")]
    if len(raw.df) > 2 and raw.where == "line":
        last = raw.df[core].iloc[-1]
        if last.isna().any() and not raw.df[core].iloc[:-1].isna().any(axis=None):
            # a file copied while the cycler was still writing it
            notes.append(f"the last line ({int(raw.lines[-1])}) is cut short: dropped")
            raw.df = raw.df.iloc[:-1]
            raw.lines = raw.lines[:-1]
    time, start = _time_seconds(raw, path, tcol, tfac, notes)
    clock = None
    if "clock" in used:
        clock = parse_clock(raw.df[used["clock"][0]])
    if not tunit and start is None and not user_map:
        got = _time_unit_from_clock(time, clock)
        if got is not None:
            time = time * got[0]
            tfac = got[0]
            notes.append(
                f"time column '{tcol}' read in {got[1]} (its name gives no unit; its span matches "
                f"the clock column '{used['clock'][0]}')"
            )
    if clock is not None and start is None:
        start = str(clock.iloc[0])
    if start is None and raw.start:
        told = parse_clock(pd.Series([raw.start]))
        start = str(told.iloc[0]) if told is not None else raw.start
    current = _numeric(raw, path, used["current"][0], "current", used["current"][1])
    voltage = _numeric(raw, path, used["voltage"][0], "voltage", used["voltage"][1])
    if not np.all(np.isfinite(time)):
        k = int(np.flatnonzero(~np.isfinite(time))[0])
        raise RecordingError(f"{path}, {_where(raw, k)}: column '{tcol}' holds no time")

    # the current's sign: a state column signs magnitudes, and tells the convention of signed currents
    sign_known = raw.sign_convention is not None
    sign = raw.sign_convention or "not told by the file: found from the voltage's response"
    written = 1.0
    states = _states(raw, used["state"][0]) if "state" in used else None
    if states is not None:
        scol = used["state"][0]
        dis, chg = states == "discharge", states == "charge"
        moving = np.abs(current) > 0
        if np.all(current >= 0) and np.any(dis & moving):
            current = np.where(dis, -current, current)
            notes.append(f"current magnitudes signed by the '{scol}' column (D: discharge)")
            sign, sign_known = f"charge positive (magnitudes signed by '{scol}')", True
        elif np.any((dis | chg) & moving):
            agree = int(np.sum(dis & (current < 0)) + np.sum(chg & (current > 0)))
            disagree = int(np.sum(dis & (current > 0)) + np.sum(chg & (current < 0)))
            if agree >= 0.95 * (agree + disagree):
                sign, sign_known = f"charge positive (as the '{scol}' column tells)", True
            elif disagree >= 0.95 * (agree + disagree):
                current = -current
                written = -1.0
                sign, sign_known = f"discharge positive in the file (the '{scol}' column tells): turned", True
        out["Step Type"] = states
    if not sign_known and ("charge_capacity" in used or "discharge_capacity" in used):
        told = _sign_from_counters(raw, used, current)
        if told is not None:
            what = "', '".join(used[q][0] for q in ("charge_capacity", "discharge_capacity") if q in used)
            if told > 0:
                sign, sign_known = f"charge positive (as the capacity counters '{what}' tell)", True
            else:
                current = -current
                written = -1.0
                sign, sign_known = f"discharge positive in the file (the capacity counters '{what}' tell): turned", True
    out[TIME] = time
    out[CURRENT] = current
    out[VOLTAGE] = voltage
    if "unix" in used:
        u = _optional_numeric(raw, used["unix"][0], used["unix"][1])
        if u is not None:
            out["Unix Time / s"] = u
    elif (
        clock is not None
        and clock.dtype.kind == "M"
        and used.get("clock")
        and raw.df[used["clock"][0]].dtype.kind in "fiu"
    ):
        out["Unix Time / s"] = raw.df[used["clock"][0]].to_numpy(dtype=float)
    for q in ("cycle", "step_count", "step", "ambient", "surface"):
        if q in used:
            v = _optional_numeric(raw, used[q][0], used[q][1])
            if v is not None and q in ("cycle", "step_count", "step") and np.all(v == np.round(v)):
                v = v.astype(np.int64)  # counts stay whole numbers (no NaN among them)
            if v is not None:
                out[_TARGET[q]] = v
    for q in ("charge_capacity", "discharge_capacity", "net_capacity"):
        if q in used:
            v = _optional_numeric(raw, used[q][0], used[q][1])
            if v is not None:
                out[_TARGET[q]] = v
    data = pd.DataFrame({c: out[c] for c in BDF_COLUMNS if c in out}, copy=False)
    lines = raw.lines
    t_mended, keep = mend_time(data[TIME].to_numpy(dtype=float), lines, notes, path, raw.where)
    if keep is not None:
        data = data.loc[keep].reset_index(drop=True)
        lines = lines[keep]
    data[TIME] = t_mended
    if len(data) < 2:
        raise RecordingError(f"{path}: {len(data)} sample(s); a recording needs at least two")
    source = {q: v[0] for q, v in used.items() if q in _TARGET or q == "state"}
    if "ambient" in source:
        source["temperature"] = source["ambient"]
    elif "surface" in source:
        source["temperature"] = source["surface"]
    if "step" not in source and "step_count" in source:
        source["step"] = source["step_count"]
    return Normalised(
        path=path,
        data=data,
        lines=lines,
        format=preset if (preset and raw.format in ("text", "xlsx")) else raw.format,
        sign=sign,
        sign_known=sign_known,
        written_sign=written,
        start=start,
        channel=raw.channel,
        preset=preset,
        columns=source,
        notes=notes,
    )


# ---------------------------------------------------------------------------
# BDF out


def charge_positive(rec: Normalised, detect: Optional[Callable[..., Any]] = None) -> Tuple[np.ndarray, str]:
    """The current charge positive: as the table holds it where the file tells
    the sign, else oriented by the step analysis (the voltage rises under charge)."""
    cur = rec.current
    if rec.sign_known:
        return cur, rec.sign
    if not np.any(cur != 0):
        return cur, "zero throughout"
    if detect is None:
        from . import _core

        detect = _core.step_series
    try:
        got = detect(rec.time, cur, rec.voltage)
        positive = bool(got["charge_positive"])
    except (RuntimeError, ValueError) as e:
        raise RecordingError(
            f"{rec.path}: the current's sign cannot be told from the voltage's response: {e}"
        ) from None
    if positive:
        return cur, "charge positive (found from the voltage's response)"
    return -cur, "discharge positive in the file (found from the voltage's response): turned"


def write_bdf(
    rec: Normalised,
    out: str | os.PathLike[str],
    labels: str = "human",
    current: Optional[np.ndarray] = None,
) -> str:
    """Writes the recording as BDF CSV (``labels``: 'human' ``Test Time / s`` or
    'machine' ``test_time_second``), the current charge positive (``current``,
    else by charge_positive()); returns the path written. Numbers are written
    to round-trip exactly."""
    out = os.fspath(out)
    data = rec.data.copy()
    data[CURRENT] = charge_positive(rec)[0] if current is None else current
    if labels == "machine":
        data = data.rename(columns=BDF_MACHINE)
    tmp = out + ".part"
    data.to_csv(tmp, index=False)
    os.replace(tmp, out)
    return out


def bdf_name(path: str) -> str:
    """``<stem>.bdf.csv`` of a recording file."""
    base = os.path.basename(path)
    for ext in (".bdf.csv", ".bdf.parquet"):
        if base.lower().endswith(ext):
            return base[: -len(ext)] + ".bdf.csv"
    stem = os.path.splitext(base)[0]
    return stem + ".bdf.csv"

"""Validation of a finished model on a recording it was not fitted on.

The model (``battery_model.json``, with the SOC x temperature tables beside
it when they exist) is driven by the recording's own current at the
recording's temperature. It starts where the cell was when the recording
began: the SOC that the voltage at the end of a rest the recording begins with
gives on the model's OCV curve, or full charge when it begins at the top of
the OCV (right after a charge), or the SOC given; the RC branches at rest. The SOC follows by coulomb
counting over the model's capacity at that temperature, and the branches by
their exact response to the current, linear between samples (C++,
``ecm._core.simulate_model``). Errors are simulated minus measured voltage,
overall and per segment type: rest, discharge (current < 0) and charge.
"""

from __future__ import annotations

import logging
import math
import os
from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Union

import numpy as np
import pandas as pd

from ecm import _core
from ecm._errors import RecordingError, UsageError
from ecm.modelfile import Model, load_model

log = logging.getLogger("ecm")

#: The shortest stretch of rest that gives the start SOC (s).
MIN_REST_S = 30.0
SEGMENTS = ("rest", "discharge", "charge")


@dataclass
class Validation:
    """The result of validate(). ``stats`` has one row per segment type
    (overall, rest, discharge, charge): samples, rms_mV, max_mV (largest
    absolute error), mean_mV (simulated minus measured)."""

    recording: str
    model: str
    tables: Optional[str]
    temperature: float
    soc0: float
    start_rest: Dict[str, float]
    t: np.ndarray = field(repr=False)
    current: np.ndarray = field(repr=False)
    measured: np.ndarray = field(repr=False)
    simulated: np.ndarray = field(repr=False)
    soc: np.ndarray = field(repr=False)
    segment: np.ndarray = field(repr=False)
    stats: pd.DataFrame = field(repr=False)

    @property
    def error_mV(self) -> np.ndarray:
        return (self.simulated - self.measured) * 1000.0

    @property
    def rms_mV(self) -> float:
        return float(self.stats.loc["overall", "rms_mV"])

    @property
    def max_mV(self) -> float:
        return float(self.stats.loc["overall", "max_mV"])

    def table_text(self) -> str:
        lines = [f"{'segment':<10} {'samples':>8} {'RMS mV':>8} {'max mV':>8} {'mean mV':>8}"]
        for name, row in self.stats.iterrows():
            if row["samples"] == 0:
                lines.append(f"{name:<10} {0:>8} {'-':>8} {'-':>8} {'-':>8}")
            else:
                lines.append(
                    f"{name:<10} {int(row['samples']):>8} {row['rms_mV']:>8.3f} {row['max_mV']:>8.3f} "
                    f"{row['mean_mV']:>8.3f}"
                )
        return "\n".join(lines)

    def to_dict(self) -> Dict[str, Any]:
        def clean(x):
            return None if x is None or (isinstance(x, float) and not math.isfinite(x)) else x

        return {
            "recording": self.recording,
            "model": self.model,
            "tables": self.tables,
            "temperature": self.temperature,
            "soc0": self.soc0,
            "start_rest": self.start_rest,
            "samples": int(len(self.t)),
            "segments": {
                name: {k: clean(float(v)) if k != "samples" else int(v) for k, v in row.items()}
                for name, row in self.stats.iterrows()
            },
        }

    def _repr_html_(self) -> str:
        """The validation as Jupyter shows it: the start and the errors per segment type."""
        from ecm._html import esc, fmt, table

        r = self.start_rest or {}
        how = r.get("how", "given" if not r else "rest at the start")
        if how == "rest at the start":
            start = (
                f"start SOC {self.soc0:.4f} (the rest {r['t_start']:g}-{r['t_end']:g} s ends at "
                f"{r['voltage']:.4f} V: SOC {r['soc']:.4f})"
            )
        elif how == "full charge":
            start = f"start SOC {self.soc0:.4f} (full charge: it begins at {r['voltage']:.4f} V, the top of the OCV)"
        else:
            start = f"start SOC {self.soc0:.4f} (given)"
        tables = f", SOC tables {esc(os.path.basename(self.tables))}" if self.tables else ", no SOC tables"
        meta = (
            f"<p><b>Validation</b> of {esc(self.model)}{tables} on {esc(os.path.basename(self.recording))} "
            f"at {self.temperature:g} C: {len(self.t)} samples, {start}. Errors are model minus measured.</p>"
        )
        rows = [
            [esc(name), str(int(row["samples"])), fmt(row["rms_mV"]), fmt(row["max_mV"]), fmt(row["mean_mV"])]
            for name, row in self.stats.iterrows()
        ]
        stats = table(["segment", "samples", "RMS (mV)", "max (mV)", "mean (mV)"], rows, left=[0])
        return f"<div>{meta}{stats}</div>"

    def plot(self, path: Union[None, str, os.PathLike] = None):
        """Measured against simulated voltage, the error and the current as a
        matplotlib Figure; with a path also saved there (PNG, or the format
        its suffix names). Needs matplotlib (the 'report' extra)."""
        from ecm.plots import validation_figure

        fig = validation_figure(self)
        if path is not None:
            fig.savefig(os.fspath(path), dpi=100)
        return fig


def _segments(kind: np.ndarray) -> np.ndarray:
    """Per sample "rest", "discharge" or "charge" from the core's step kinds."""
    return np.array(["rest", "charge", "discharge"], dtype=object)[np.asarray(kind, dtype=np.int64) % 3]


#: A recording that begins this close to the top of the model's OCV (V) begins right after a charge.
FULL_MARGIN_V = 0.02


def _start_rest(t: np.ndarray, rest: np.ndarray) -> Optional[int]:
    """The last sample of the rest the recording begins with, when it lasts MIN_REST_S (None: no such rest)."""
    if not len(rest) or not rest[0]:
        return None
    loaded = np.flatnonzero(~rest)
    b = int(loaded[0]) - 1 if len(loaded) else len(rest) - 1
    if t[b] - t[0] >= MIN_REST_S or b == len(rest) - 1:
        return b
    return None


def _start_soc(t, i, v, rest, at, path):
    """The SOC where the recording begins and how it was found: the relaxed voltage at the end of
    a rest it begins with, on the model's OCV; else full charge when it begins at the top of the
    OCV (right after a charge). An error otherwise, or when the SOC found lies outside [0, 1]."""
    ocv_soc = np.asarray(at.ocv_soc, dtype=float)
    ocv_v = np.asarray(at.ocv_v, dtype=float)
    b = _start_rest(t, rest)
    if b is not None:
        v_rest = float(np.median(v[max(0, b - 4) : b + 1]))
        soc = float(_core.soc_from_ocv(ocv_soc, ocv_v, v_rest))
        start = {
            "how": "rest at the start",
            "t_start": float(t[0]),
            "t_end": float(t[b]),
            "voltage": v_rest,
            "soc": soc,
        }
        lo, hi = float(np.min(ocv_v)), float(np.max(ocv_v))
        if v_rest > hi + FULL_MARGIN_V or v_rest < lo - FULL_MARGIN_V:
            raise RecordingError(
                f"{path}: the rest it begins with ends at {v_rest:.4f} V, outside the model's OCV "
                f"({lo:.4f} to {hi:.4f} V): its SOC would lie "
                "outside [0, 1]; give initial_soc (--initial-soc)"
            )
        return soc, start
    top = float(ocv_v[np.argmax(ocv_soc)])
    if v[0] >= top - FULL_MARGIN_V:
        return 1.0, {
            "how": "full charge",
            "t_start": float(t[0]),
            "t_end": float(t[0]),
            "voltage": float(v[0]),
            "soc": 1.0,
        }
    raise RecordingError(
        f"{path}: it begins under load at {v[0]:.4f} V with no rest of at least {MIN_REST_S:g} s first, and "
        f"below the top of the model's OCV ({top:.4f} V), so the SOC it starts at is unknown; give "
        "initial_soc (--initial-soc)"
    )


def _stats(err_mV: np.ndarray, seg: np.ndarray) -> pd.DataFrame:
    rows = {}
    for name, mask in [("overall", np.ones(len(err_mV), dtype=bool))] + [(s, seg == s) for s in SEGMENTS]:
        e = err_mV[mask]
        rows[name] = {
            "samples": int(e.size),
            "rms_mV": float(np.sqrt(np.mean(e * e))) if e.size else float("nan"),
            "max_mV": float(np.max(np.abs(e))) if e.size else float("nan"),
            "mean_mV": float(np.mean(e)) if e.size else float("nan"),
        }
    return pd.DataFrame.from_dict(rows, orient="index")


def _read_export(path: str, columns, preset, temperature):
    """A cycler export as validate needs it: the samples as the step analysis
    sees them (charge positive, each sample's current held over the interval
    before it), the temperature by the export rules, and which samples are
    measured (the rest are the step boundaries' extra points)."""
    from ecm.exports import read_export
    from ecm.steps import _temperature

    ex = read_export(path, columns=columns, preset=preset)
    temp, _ = _temperature(ex, temperature)
    try:
        s = _core.step_series(ex.time, ex.current, ex.voltage)
    except RuntimeError as e:
        raise RecordingError(f"{path}: {e}") from None
    return {
        "t": s["t"],
        "current": s["current"],
        "voltage": s["voltage"],
        "temperature": temp,
        "measured": np.asarray(s["weight"]) > 0,
    }


def _saved_reading(model: Union[str, os.PathLike]) -> tuple:
    """The column map and preset the fit of these results was given (its
    fit_settings.json beside the model), (None, None) without one."""
    from ecm.api import load_fit_settings

    saved = load_fit_settings(model)
    if saved is None:
        return None, None
    return saved["settings"].get("columns"), saved["settings"].get("preset")


def validate(
    model: Union[str, os.PathLike, Model],
    recording: Union[str, os.PathLike],
    *,
    temperature: Optional[float] = None,
    initial_soc: Optional[float] = None,
    tables: Union[None, bool, str, os.PathLike] = None,
    columns: Optional[dict] = None,
    preset: Optional[str] = None,
) -> Validation:
    """Simulates the model on the recording's current and compares the voltage.

    model: battery_model.json (or its folder), or a Model from
    ecm.modelfile.load_model; tables: None uses battery_model_tables.json
    beside the model when it exists, False never, or a path. temperature (C)
    overrides the recording's own (its Temperature(C) column, else the file
    name); initial_soc overrides the start SOC found from the first rest.
    Cycler exports (any file not in the classic layout, or with columns /
    preset given; neither given: those the fit of a results folder was given,
    from its fit_settings.json) are read as ``ecm fit`` reads them: the current charge
    positive, each sample's current held over the interval before it.
    Raises UsageError for a bad model or argument, RecordingError naming the
    recording when it cannot be used.
    """
    m = model if isinstance(model, Model) else load_model(model, tables=tables)
    if not isinstance(model, Model) and columns is None and preset is None:
        columns, preset = _saved_reading(model)
    path = os.fspath(recording)
    if not os.path.isfile(path):
        what = "is a folder" if os.path.isdir(path) else "does not exist"
        raise UsageError(f"'{path}' {what}; expected a recording (CSV with Seconds, Current(A), Voltage(V))")
    from ecm.steps import is_classic

    try:
        if columns or preset or not is_classic(path):
            raw = _read_export(path, columns, preset, temperature)
        else:
            raw = _core.read_recording(path)
    except KeyError as e:
        raise RecordingError(e.args[0] if e.args else str(e)) from None
    except (RecordingError, UsageError):
        raise
    except (ValueError, OSError, UnicodeError) as e:
        msg = str(e)
        raise RecordingError(msg if path in msg else f"{path}: {msg}") from None
    t = np.asarray(raw["t"], dtype=float)
    i = np.asarray(raw["current"], dtype=float)
    v = np.asarray(raw["voltage"], dtype=float)
    if len(t) < 2:
        raise RecordingError(f"{path}: {len(t)} sample(s); a recording needs at least two")
    if not (np.all(np.isfinite(t)) and np.all(np.isfinite(i)) and np.all(np.isfinite(v))):
        raise RecordingError(f"{path}: holds values that are not finite numbers")
    if np.any(np.diff(t) < 0):
        raise RecordingError(f"{path}: the time (Seconds) goes backwards")
    if temperature is None:
        if raw["temperature"] is None:
            raise RecordingError(f"{raw['temperature_source']}; or give the temperature (--temperature C)")
        temperature = float(raw["temperature"])
    note = m.temperature_note(float(temperature))
    if note:
        log.warning(note)
    at = m.at(float(temperature), use_tables=True)
    # rests, loads and the charge as the extraction finds them
    core_seg = _core.current_segments(t, i, v)
    seg = _segments(core_seg["kind"])
    if initial_soc is None:
        soc0, start = _start_soc(t, i, v, seg == "rest", at, path)
    else:
        try:
            soc0 = float(initial_soc)
        except (TypeError, ValueError):
            soc0 = math.nan
        if not math.isfinite(soc0):
            raise UsageError(f"initial_soc must be a finite number, found {initial_soc!r}")
        start = {"how": "given", "soc": soc0}
    if not 0.0 <= soc0 <= 1.0:
        raise UsageError(f"the start SOC must lie in [0, 1]; found {soc0:g} ({start.get('how', 'given')})")
    try:
        sim = _core.simulate_model(t, i, at.ocv_soc, at.ocv_v, at.param_soc, at.r0, at.r, at.tau, at.capacity_ah, soc0)
    except ValueError as e:
        raise UsageError(f"{m.path}: {e}") from None
    simulated = np.asarray(sim["v"])
    measured = raw.get("measured")
    if measured is not None:  # only the logged samples are compared
        t, i, v, simulated, seg = t[measured], i[measured], v[measured], simulated[measured], seg[measured]
        sim = dict(sim, soc=np.asarray(sim["soc"])[measured])
    err = (simulated - v) * 1000.0
    return Validation(
        recording=path,
        model=m.path,
        tables=m.tables_path,
        temperature=float(temperature),
        soc0=float(soc0),
        start_rest=start,
        t=t,
        current=i,
        measured=v,
        simulated=simulated,
        soc=np.asarray(sim["soc"]),
        segment=seg,
        stats=_stats(err, seg),
    )

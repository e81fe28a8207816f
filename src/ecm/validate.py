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

Where the recording measures the cell's temperature sample by sample, the
model follows it (lightly smoothed, ``TEMPERATURE_SMOOTH_S``): resistances,
time constants, OCV and capacity at each sample's temperature
(``ecm._core.simulate_model_at_temperatures``). Where only the ambient is
known, a lumped thermal model (one heat capacity, one conductance to the
ambient; the heat of the model's own overpotential and the reversible heat of
the OCV's temperature slope) can predict it. ``score_from`` / ``score_to``
score only part of the recording; the simulation still runs over all of it.
"""

from __future__ import annotations

import logging
import math
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from ecm import _core
from ecm._errors import RecordingError, UsageError, reading
from ecm.modelfile import Model, load_model

log = logging.getLogger("ecm")

#: The shortest stretch of rest that gives the start SOC (s).
MIN_REST_S = 30.0
SEGMENTS = ("rest", "discharge", "charge")
#: The measured cell temperature is averaged over this window (s) before the model follows it.
TEMPERATURE_SMOOTH_S = 30.0


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
    #: Where the temperature came from: "fixed", "measured" or "thermal", with ``temperature_note`` saying more.
    temperature_source: str = "fixed"
    temperature_note: str = ""
    #: The lumped thermal model fitted on the measured temperature (following it): heat_capacity (J/K),
    #: conductance (W/K), ambient (C), rms_k, windows; or {"error": why}; None when not following one.
    thermal_fit: Optional[Dict[str, Any]] = None
    #: The temperature the model was taken at, per sample (C).
    cell_temperature: Optional[np.ndarray] = field(repr=False, default=None)
    #: Which samples are scored (``score_from`` <= t <= ``score_to``).
    scored: Optional[np.ndarray] = field(repr=False, default=None)
    score_from: Optional[float] = None
    score_to: Optional[float] = None

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
            "temperature_source": self.temperature_source,
            "temperature_note": self.temperature_note,
            "thermal_fit": self.thermal_fit,
            "cell_temperature_range": (
                [float(np.min(self.cell_temperature)), float(np.max(self.cell_temperature))]
                if self.cell_temperature is not None and len(self.cell_temperature)
                else None
            ),
            "score_from": self.score_from,
            "score_to": self.score_to,
            "scored_samples": int(np.count_nonzero(self.scored)) if self.scored is not None else int(len(self.t)),
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
            f"at {self.temperature:g} C: {len(self.t)} samples, {start}. Temperature: "
            f"{esc(self.temperature_note or self.temperature_source)}. Errors are model minus measured"
            f"{esc(self.scored_text())}.</p>"
        )
        rows = [
            [esc(name), str(int(row["samples"])), fmt(row["rms_mV"]), fmt(row["max_mV"]), fmt(row["mean_mV"])]
            for name, row in self.stats.iterrows()
        ]
        stats = table(["segment", "samples", "RMS (mV)", "max (mV)", "mean (mV)"], rows, left=[0])
        return f"<div>{meta}{stats}</div>"

    def scored_text(self) -> str:
        """Which samples are scored, for messages ("" when all are)."""
        if self.score_from is None and self.score_to is None:
            return ""
        n = int(np.count_nonzero(self.scored)) if self.scored is not None else len(self.t)
        lo = f"{self.score_from:g}" if self.score_from is not None else "the start"
        hi = f"{self.score_to:g} s" if self.score_to is not None else "the end"
        return f", scored from {lo} to {hi} ({n} samples)"

    def plot(self, path: Union[None, str, os.PathLike] = None, errors: bool = False):
        """Measured against simulated voltage, the error and the current as a
        matplotlib Figure; with errors also the model's temperature and the
        error against SOC, current and temperature; with a path also saved
        there (PNG, or the format its suffix names). Needs matplotlib (the
        'report' extra)."""
        from ecm.plots import validation_figure

        fig = validation_figure(self, errors=errors)
        if path is not None:
            fig.savefig(os.fspath(path), dpi=100)
        return fig


def _segments(kind: np.ndarray) -> np.ndarray:
    """Per sample "rest", "discharge" or "charge" from the core's step kinds."""
    return np.array(["rest", "charge", "discharge"], dtype=object)[np.asarray(kind, dtype=np.int64) % 3]


#: Samples of the start rest whose current is below this fraction of the recording's largest carry no load.
IDLE_FRACTION = 1e-3
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
        # The rest as the step analysis finds it may end in a trickle of load too small to be a step
        # (a drive cycle's first idle seconds): the relaxed voltage is the one before any current.
        idle = np.flatnonzero(np.abs(i[: b + 1]) <= IDLE_FRACTION * float(np.max(np.abs(i))))
        if len(idle):
            b = int(idle[-1])
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
        if v_rest > hi + FULL_MARGIN_V:
            # a cell rested at full charge above the top of a curve that the pulse test could only
            # extrapolate there: it starts full
            log.warning(
                "%s: the rest it begins with ends at %.4f V, above the model's OCV (up to %.4f V): "
                "taken as full charge (SOC 1); give initial_soc (--initial-soc) otherwise",
                path,
                v_rest,
                hi,
            )
            start.update(how="rest at the start, above the model's OCV: full charge", soc=1.0)
            return 1.0, start
        if v_rest < lo - FULL_MARGIN_V:
            raise RecordingError(
                f"{path}: the rest it begins with ends at {v_rest:.4f} V, below the model's OCV "
                f"({lo:.4f} to {hi:.4f} V): its SOC would lie "
                "below 0; give initial_soc (--initial-soc)"
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


def _temperature_series(raw: Dict[str, Any]):
    """(t, temperature, column) of a recording's per-sample temperature, or None."""
    if raw.get("temperature_series") is not None:
        return raw["temperature_series"]
    x = raw.get("temperature_column")
    if x is None or len(x) != len(raw["t"]) or not np.any(np.isfinite(x)):
        return None
    return np.asarray(raw["t"], dtype=float), np.asarray(x, dtype=float), "Temperature(C)"


def _parse_window(score_from, score_to):
    out: List[Optional[float]] = []
    for name, x in (("score_from", score_from), ("score_to", score_to)):
        if x is None:
            out.append(None)
            continue
        try:
            x = float(x)
        except (TypeError, ValueError):
            x = math.nan
        if not math.isfinite(x):
            raise UsageError(f"{name} must be a finite number of seconds, found {x!r}")
        out.append(x)
    if out[0] is not None and out[1] is not None and out[1] < out[0]:
        raise UsageError(f"score_to ({out[1]:g} s) lies before score_from ({out[0]:g} s)")
    return out


def _parse_thermal(thermal):
    try:
        c, g = (float(x) for x in thermal)
    except (TypeError, ValueError):
        raise UsageError(f"thermal must be (heat capacity J/K, conductance W/K), found {thermal!r}") from None
    if not (math.isfinite(c) and c > 0 and math.isfinite(g) and g >= 0):
        raise UsageError(f"thermal needs a heat capacity > 0 J/K and a conductance >= 0 W/K, found {c:g}, {g:g}")
    return c, g


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
    series = None
    if ex.temperature is not None and np.any(np.isfinite(ex.temperature)):
        series = (np.asarray(ex.time, dtype=float), np.asarray(ex.temperature, dtype=float), ex.columns["temperature"])
    return {
        "t": s["t"],
        "current": s["current"],
        "voltage": s["voltage"],
        "temperature": temp,
        "measured": np.asarray(s["weight"]) > 0,
        "temperature_series": series,
    }


def _saved_reading(model: Union[str, os.PathLike]) -> tuple:
    """The column map and preset the fit of these results was given (its
    fit_settings.json beside the model), (None, None) without one."""
    from ecm.settings import load_fit_settings

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
    follow_temperature: Optional[bool] = None,
    thermal: Optional[Sequence[float]] = None,
    score_from: Optional[float] = None,
    score_to: Optional[float] = None,
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

    The temperature: with follow_temperature None (default) or True the model
    follows the recording's measured temperature column sample by sample
    (smoothed over TEMPERATURE_SMOOTH_S) when it has one and no temperature
    is given; False (or a given temperature, or no column) takes one
    temperature. thermal=(heat capacity J/K, conductance W/K) predicts the
    cell's temperature with the lumped thermal model instead, from the
    ambient at the given (else the recording's) temperature. score_from /
    score_to (s, on the recording's time) score only the samples between them;
    the simulation runs over the whole recording.
    Raises UsageError for a bad model or argument, RecordingError naming the
    recording when it cannot be used.
    """
    lo_t, hi_t = _parse_window(score_from, score_to)
    thermal_cg = _parse_thermal(thermal) if thermal is not None else None
    m = model if isinstance(model, Model) else load_model(model, tables=tables)
    if not isinstance(model, Model) and columns is None and preset is None:
        columns, preset = _saved_reading(model)
    path = os.fspath(recording)
    if not os.path.isfile(path):
        what = "is a folder" if os.path.isdir(path) else "does not exist"
        raise UsageError(f"'{path}' {what}; expected a recording (CSV with Seconds, Current(A), Voltage(V))")
    from ecm.steps import is_classic

    with reading(path):
        if columns or preset or not is_classic(path):
            raw = _read_export(path, columns, preset, temperature)
        else:
            raw = _core.read_recording(path)
    t = np.asarray(raw["t"], dtype=float)
    i = np.asarray(raw["current"], dtype=float)
    v = np.asarray(raw["voltage"], dtype=float)
    if len(t) < 2:
        raise RecordingError(f"{path}: {len(t)} sample(s); a recording needs at least two")
    if not (np.all(np.isfinite(t)) and np.all(np.isfinite(i)) and np.all(np.isfinite(v))):
        raise RecordingError(f"{path}: holds values that are not finite numbers")
    if np.any(np.diff(t) < 0):
        raise RecordingError(f"{path}: the time (Seconds) goes backwards")
    given = temperature is not None
    if temperature is None:
        if raw["temperature"] is None:
            raise RecordingError(f"{raw['temperature_source']}; or give the temperature (--temperature C)")
        temperature = float(raw["temperature"])
    T = float(temperature)
    cell_t: Optional[np.ndarray] = None
    source, how_t = "fixed", f"{T:g} C throughout"
    series = None
    if thermal_cg is None and not given and follow_temperature is not False:
        series = _temperature_series(raw)
        if series is None and follow_temperature:
            raise RecordingError(f"{path}: no temperature column to follow; give the temperature instead")
    if thermal_cg is not None:
        source = "thermal"
        how_t = (
            f"lumped thermal model (heat capacity {thermal_cg[0]:g} J/K, conductance {thermal_cg[1]:g} W/K) "
            f"from the ambient {T:g} C"
        )
    elif series is not None:
        try:
            cell_t = np.asarray(_core.smooth_in_time(series[0], series[1], TEMPERATURE_SMOOTH_S, t))
        except ValueError as e:
            raise RecordingError(f"{path}: the temperature column '{series[2]}': {e}") from None
        source = "measured"
        how_t = (
            f"measured, column '{series[2]}' smoothed over {TEMPERATURE_SMOOTH_S:g} s "
            f"({float(np.min(cell_t)):.1f} to {float(np.max(cell_t)):.1f} C)"
        )
    t_ends = [T] if cell_t is None else sorted({float(np.min(cell_t)), float(np.max(cell_t))})
    for end in t_ends:
        note = m.temperature_note(end)
        if note:
            log.warning(note)
    at = m.at(float(cell_t[0]) if cell_t is not None else T, use_tables=True)
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
        if source == "fixed":
            sim = _core.simulate_model(
                t, i, at.ocv_soc, at.ocv_v, at.param_soc, at.r0, at.r, at.tau, at.capacity_ah, soc0
            )
        elif source == "measured":
            sim = _core.simulate_model_at_temperatures(m.evaluator(), t, i, soc0, temperature=cell_t)
        else:
            assert thermal_cg is not None
            sim = _core.simulate_model_at_temperatures(
                m.evaluator(),
                t,
                i,
                soc0,
                ambient=np.full(len(t), T),
                heat_capacity=thermal_cg[0],
                conductance=thermal_cg[1],
                initial_temperature=T,
            )
            cell_t = np.asarray(sim["temperature"])
            how_t += f", predicted {float(np.min(cell_t)):.1f} to {float(np.max(cell_t)):.1f} C"
    except ValueError as e:
        raise UsageError(f"{m.path}: {e}") from None
    simulated = np.asarray(sim["v"])
    thermal_fit: Optional[Dict[str, Any]] = None
    if source == "measured" and cell_t is not None:
        # the lumped thermal model that the measured temperature implies, for recordings where only the
        # ambient is known (--thermal C,G)
        try:
            thermal_fit = dict(_core.fit_lumped_thermal(t, np.asarray(sim["heat"]), cell_t))
        except ValueError as e:
            thermal_fit = {"error": str(e)}
    measured = raw.get("measured")
    if measured is not None:  # only the logged samples are compared
        t, i, v, simulated, seg = t[measured], i[measured], v[measured], simulated[measured], seg[measured]
        sim = dict(sim, soc=np.asarray(sim["soc"])[measured])
        if cell_t is not None:
            cell_t = cell_t[measured]
    scored = np.ones(len(t), dtype=bool)
    if lo_t is not None:
        scored &= t >= lo_t
    if hi_t is not None:
        scored &= t <= hi_t
    if not scored.any():
        raise UsageError(
            f"{path}: no sample lies in the scored window ({lo_t} to {hi_t} s; the recording runs "
            f"{float(t[0]):g} to {float(t[-1]):g} s)"
        )
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
        stats=_stats(err[scored], seg[scored]),
        temperature_source=source,
        temperature_note=how_t,
        thermal_fit=thermal_fit,
        cell_temperature=cell_t if cell_t is not None else np.full(len(t), T),
        scored=scored,
        score_from=lo_t,
        score_to=hi_t,
    )


#: The parts of a finished model that validate(features=...) switches off in turn: the slow branch
#: (and a calibration's OCV offsets), the OCV filled from a slow test, the SOC x temperature tables
#: (constant parameters per temperature) and following the cell's measured temperature.
FEATURES = ("slow branch", "OCV from a slow test", "SOC tables", "measured temperature")


def feature_contributions(model: Union[str, os.PathLike, Model], recording: Union[str, os.PathLike], **options):
    """What each part of the model gives on a recording: validate() with the whole model, then with
    each feature of FEATURES that the model has switched off in turn (the others kept). Returns a
    DataFrame indexed by "whole model" and "without <feature>" with rms_mV, max_mV, mean_mV and
    change_mV (the RMS against the whole model's; positive: the feature helps)."""
    import dataclasses

    m = model if isinstance(model, Model) else load_model(model, tables=options.pop("tables", None))
    tabs = m.tables or {}

    def without(names):
        return dataclasses.replace(m, tables={k: v for k, v in tabs.items() if k not in names}, _evaluator=None)

    runs: List[Tuple[str, Model, Dict[str, Any]]] = [("whole model", m, {})]
    if m.has_slow_branch:
        runs.append(("without slow branch", without({"R_slow", "tau_slow", "OCV_offset"}), {}))
    if "OCV" in tabs:
        runs.append(("without OCV from a slow test", without({"OCV"}), {}))
    if m.tables is not None:
        runs.append(("without SOC tables", dataclasses.replace(m, tables=None, _evaluator=None), {}))
    rows = {}
    for k, (name, mm, extra) in enumerate(runs + [("without measured temperature", m, {"follow_temperature": False})]):
        v = validate(mm, recording, **{**options, **extra})
        if k == 0:
            follows = v.temperature_source == "measured"
        elif name == "without measured temperature" and not follows:
            continue
        o = v.stats.loc["overall"]
        rows[name] = {"rms_mV": float(o["rms_mV"]), "max_mV": float(o["max_mV"]), "mean_mV": float(o["mean_mV"])}
    frame = pd.DataFrame.from_dict(rows, orient="index")
    frame["change_mV"] = frame["rms_mV"] - frame.loc["whole model", "rms_mV"]
    return frame

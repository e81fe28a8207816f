"""The one result type of the package: a Recording, made from the core's
Result of one recording whichever way it was read and fitted, and the names
every other module shares (models, methods, parameters, the tables file)."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional

import numpy as np
import pandas as pd

from ecm._errors import UsageError
from ecm.exports import capacity_from_name
from ecm.quantities import UNITS

#: Accepted model names and the configuration name each stands for.
MODEL_NAMES = {"1rc": "model1", "2rc": "model2", "model1": "model1", "model2": "model2"}
#: Fitting methods: "pulse" is the two-pass method of the import-time run, "joint" fits each
#: whole cycle (or pulse window) at once.
METHODS = ("pulse", "joint")
#: The method of ecm fit / extract() when none is given: the accurate one.
DEFAULT_METHOD = "joint"
#: How a recording is read: "classic" pulse-discharge recordings (Seconds, Current(A),
#: Voltage(V)), or "steps": any step protocol (cycler exports) through the step analysis.
READINGS = ("auto", "classic", "steps")
#: When a logged current step happened within its sample interval: the reading's convention, the
#: current linear between samples, right after the last sample of the old current, half-way, or at
#: the first sample of the new current.
EDGE_TIMINGS = ("reading", "linear", "after-sample", "mid-interval", "at-sample")
#: The parameter columns of each model, in the order of the parameter files.
PARAMETERS = {"model1": ("R0", "R1", "C1"), "model2": ("R0", "R1", "C1", "R2", "C2")}
#: The unit of every parameter and time constant.


def normalise_model(model: str) -> str:
    """ "1rc"/"2rc" or "model1"/"model2" -> "model1"/"model2"; UsageError otherwise."""
    key = str(model).strip().lower()
    if key not in MODEL_NAMES:
        raise UsageError(f"model {model!r} is not known; expected '1rc' or '2rc' (or 'model1' / 'model2')")
    return MODEL_NAMES[key]


def short_model_name(model: str) -> str:
    return {"model1": "1rc", "model2": "2rc"}[model]


def temperature_value(t: float) -> Any:
    """A temperature as the parameter file holds it: an integer when it is a whole number."""
    r = round(t)
    return int(r) if abs(t - r) < 1e-9 else t


@dataclass
class Recording:
    """One recording's results, in processing order within an Extraction.

    ``pulses`` has one row per fitted pulse: ``cycle`` (1, 2, ...), ``t_start``
    and ``t_end`` (s, first and last loaded sample), ``soc`` (at the pulse's
    middle sample), ``current`` (A, mean over the pulse), the parameters
    ``R0``, ``R1``, ``C1``, ``tau1`` (and ``R2``, ``C2``, ``tau2``), ``rms_mV``
    (fit error: first pass over its window for one branch, second pass over the
    whole cycle for two), ``ocv_level`` (V, the voltage near the end of the
    cycle's rest) and ``status`` ("fitted", or why a value is not trustworthy).
    With the joint method (and for exports) ``soc_end`` is the SOC at the
    pulse's last loaded sample: a branch's fitted R and tau belong to it (the
    branch relaxes from there), and the tables place them there. With the
    joint method ``rms_mV`` is over the whole cycle, and
    ``tau1_determined`` / ``tau2_determined`` tell whether the cycle can
    determine that time constant (at least two samples, at most a third of the
    rest after the pulse); undetermined branches are left out of the medians
    and tables. ``ocv`` is the 201-point OCV-SOC table, ``relaxed`` the (SOC,
    OCV) points it passes through (``measured``: the voltage at the rest's end;
    the joint method subtracts the branches' remaining overvoltage from it);
    ``medians`` are the per-pulse medians written to the parameter file.
    """

    path: str
    temperature: int
    capacity_mAh: Optional[int]
    charge_Ah: float
    pulses: pd.DataFrame
    ocv: pd.DataFrame
    medians: Dict[str, float]
    warnings: List[str]
    relaxed: pd.DataFrame = field(repr=False, default=None)
    samples: int = 0
    temperature_source: str = "data"
    params_text: str = field(repr=False, default="")
    ocv_text: str = field(repr=False, default="")
    ocv_passes: int = 0
    # Step protocols (cycler exports): how the file was read and segmented (preset,
    # columns, current sign, tolerances, the steps table, the fitted windows, the columns).
    protocol: Optional[Dict[str, Any]] = field(repr=False, default=None)
    #: What a report draws: the kept samples ("t", "current", "voltage"), "ocv_diff",
    #: "rest_end" (sample indices) and per pulse row its fitted response ("fits").
    series: Optional[Dict[str, Any]] = field(repr=False, default=None)
    #: When the current's steps happened within their sample intervals, as the fit found or took
    #: it ("linear between samples", "steps between samples, 50 % into the sample interval", ...);
    #: empty for the two-pass fit of classic recordings.
    edge_timing: str = ""
    #: The slow branch fitted on the whole recording (Extraction with slow=True or calibrate): "tau" (s),
    #: "soc" and "R" (ohm) over SOC, "x0" (V, the slow state at the start), "rms_before_mV" /
    #: "rms_after_mV" over the whole recording, and a calibration's "OCV_offset" (V) and "calibrated_on".
    slow: Optional[Dict[str, Any]] = field(repr=False, default=None)

    @property
    def name(self) -> str:
        """The file name without ``.csv``."""
        base = os.path.basename(self.path)
        return base[:-4] if base.endswith(".csv") else base

    def param_record(self) -> Dict[str, Any]:
        """The content of the recording's parameter file."""
        return json.loads(self.params_text)

    #: Pulse rows shown by the rich display in Jupyter (the whole table is ``pulses``).
    HTML_PULSE_ROWS = 8
    #: Warnings listed by the rich display in Jupyter (all of them are in ``warnings``).
    HTML_WARNINGS = 10

    def _repr_html_(self) -> str:
        """The recording as Jupyter shows it: what was read, the medians, the
        first pulse rows and the warnings."""
        from ecm._html import cell, esc, fmt, items, table

        p = self.pulses
        fitted = int((p["status"] == "fitted").sum()) if len(p) else 0
        rms = float(p["rms_mV"].median()) if len(p) else None
        cap = f", nominal {self.capacity_mAh} mAh" if self.capacity_mAh else ""
        meta = (
            f"<p><b>Recording</b> {esc(os.path.basename(self.path))} at {esc(self.temperature)} C "
            f"(from the {esc(self.temperature_source)}): {self.samples} samples, charge {fmt(self.charge_Ah)} Ah{cap}, "
            f"{fitted} of {len(p)} pulses fitted, median RMS {fmt(rms)} mV"
            + (f", edge timing: {esc(self.edge_timing)}" if self.edge_timing else "")
            + "</p>"
        )
        names = list(self.medians)
        medians = table([f"{n} ({UNITS.get(n, '')})" for n in names], [[fmt(self.medians[n]) for n in names]])
        # the intervals and correlations stay in the whole table: the standard errors say enough here
        cols = [
            c
            for c in p.columns
            if c not in ("t_start", "t_end", "window_first", "window_last") and not c.endswith(("_lo", "_hi", "_corr"))
        ]
        head = p[cols].head(self.HTML_PULSE_ROWS)
        text = [k for k, c in enumerate(cols) if head[c].map(lambda x: isinstance(x, str)).any()]
        rows = [[cell(v) for v in row] for row in head.itertuples(index=False)]
        shown = f"first {len(head)} of {len(p)}" if len(p) > len(head) else f"all {len(p)}"
        pulses = f"<p><b>Pulses</b> ({shown}; the whole table: <code>.pulses</code>)</p>" + table(cols, rows, left=text)
        warns = items(f"Warnings ({len(self.warnings)})", self.warnings, self.HTML_WARNINGS, "see .warnings")
        return f"<div>{meta}<p><b>Medians</b></p>{medians}{pulses}{warns}</div>"

    def plot(self):
        """The recording as a matplotlib Figure: voltage and current against
        time (pulses shaded, the relaxed points at the rests' ends marked), the
        OCV-SOC curve and the RMS error of each pulse's fit. Needs matplotlib
        (the 'report' extra)."""
        from ecm.plots import recording_figure

        return recording_figure(self)

    def plot_fits(self):
        """Every pulse's fit against its data as a matplotlib Figure, worst
        RMS first: one panel per pulse over its fit window (measured grey,
        model red dashed, flagged pulses with a red title). ValueError when
        the recording holds no fits. Needs matplotlib (the 'report' extra)."""
        from ecm.plots import pulse_fits_figure

        fig = pulse_fits_figure(self)
        if fig is None:
            raise ValueError(f"{self.path}: no pulse fits to draw")
        return fig

    def plot_ocv(self):
        """The OCV-SOC curve through the relaxed points (SOC, OCV at the end
        of each rest) as a matplotlib Figure. Needs matplotlib (the 'report'
        extra)."""
        from ecm.plots import ocv_figure

        return ocv_figure(self)


def _pulse_columns(result: Any) -> List[str]:
    branches = [str(b + 1) for b in range(result.branches)]
    per_branch = [c + b for b in branches for c in ("R", "C", "tau")]
    determined = [f"tau{b}_determined" for b in branches]
    if result.reading == "steps":
        return (
            ["cycle", "direction", "t_start", "t_end", "soc", "soc_end", "current", "R0"]
            + per_branch
            + ["rms_mV"]
            + determined
            + ["on_bound", "status", "window_first", "window_last"]
        )
    return (
        ["cycle", "t_start", "t_end", "soc", "soc_end", "current", "R0"]
        + per_branch
        + ["rms_mV"]
        + determined
        + ["ocv_level", "status"]
    )


def pulse_frame(result: Any) -> pd.DataFrame:
    """The pulse rows of a core Result as a DataFrame (the columns of its reading and method; the
    joint fit, and the two-pass fit of the step analysis, add each parameter's standard error,
    ``R0_se``, ``R1_se``, ``C1_se``, ``tau1_se``, ..., its 95 % interval, ``R0_lo``, ``R0_hi``,
    ``R1_lo``, ..., and each branch's R-tau correlation, ``R1_tau1_corr``, ...)."""
    table = result.pulse_table()
    cols = _pulse_columns(result)
    if result.method == "joint" or result.reading == "steps":
        branches = [str(b + 1) for b in range(result.branches)]
        se = ["R0_se"] + [c + b + "_se" for b in branches for c in ("R", "C", "tau")]
        se += ["R0_lo", "R0_hi"] + [c + b + e for b in branches for c in ("R", "C", "tau") for e in ("_lo", "_hi")]
        se += [f"R{b}_tau{b}_corr" for b in branches]
        at = cols.index("rms_mV")
        cols = cols[:at] + se + cols[at:]
    if result.reading == "steps" and not len(table["cycle"]):
        return pd.DataFrame({c: [] for c in cols})
    frame = pd.DataFrame({c: table[c] for c in cols})
    # classic recordings: soc_end only where the method gives it (the joint fit)
    if result.reading != "steps" and not (len(frame) and np.isfinite(frame["soc_end"]).all()):
        frame = frame.drop(columns="soc_end")
    return frame


def recording_from(
    result: Any,
    *,
    warnings: Optional[List[str]] = None,
    capacity_mAh: Optional[float] = None,
    protocol: Optional[Dict[str, Any]] = None,
    series: Optional[Dict[str, Any]] = None,
) -> Recording:
    """The Recording of one core Result (``ecm._core.Result``). warnings: the
    whole list (default: the core's); capacity_mAh: the nominal capacity
    (default: from the file name)."""
    names = PARAMETERS["model2" if result.branches == 2 else "model1"]
    cap = capacity_mAh if capacity_mAh is not None else capacity_from_name(result.path)
    relaxed = pd.DataFrame(
        {
            "soc": result.relaxed_soc,
            "ocv": result.relaxed_ocv,
            "measured": result.relaxed_measured,
            "ocv_se": result.relaxed_se,
        }
    )
    return Recording(
        path=result.path,
        temperature=temperature_value(result.temperature),
        capacity_mAh=int(round(cap)) if cap else None,
        charge_Ah=float(result.charge_Ah),
        pulses=pulse_frame(result),
        ocv=pd.DataFrame({"soc": result.soc_grid, "ocv": result.ocv}),
        medians={n: float(v) for n, v in zip(names, result.median)},
        warnings=list(result.warnings) if warnings is None else warnings,
        relaxed=relaxed,
        samples=int(result.samples),
        temperature_source=result.temperature_source,
        params_text=result.params_text(),
        ocv_text=result.ocv_text(),
        ocv_passes=int(result.ocv_passes),
        protocol=protocol,
        series=series if series is not None else (result.series() if result.reading == "classic" else None),
        edge_timing=str(result.edge_timing),
    )

"""Recordings of any step protocol (cycler exports, HPPC tests) through the
core's step analysis: one Recording per file, with every pulse (discharge and
charge) and its status, and the files the builder needs."""

from __future__ import annotations

import json
import math
import os
from typing import Any, Callable, Mapping, Optional

import numpy as np
import pandas as pd

from ecm import _core
from ecm._errors import RecordingError
from ecm.exports import CLASSIC_HEADER, Export, capacity_from_name, detect_preset, read_export, temperature_from_name

PARAMETERS = {"model1": ("R0", "R1", "C1"), "model2": ("R0", "R1", "C1", "R2", "C2")}


def is_classic(path: str) -> bool:
    """Whether the file goes to the classic pulse pipeline: its header names
    the classic columns (``Seconds``, ``Current(A)``, ``Voltage(V)``), or it
    lies in a battery folder's ``raw_data/`` and matches no cycler layout (the
    classic reader then says which column is missing)."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            head = f.readline()
    except OSError:
        return True  # the classic reader reports the file
    names = [c.strip() for c in head.strip().split(",")]
    if all(c in names for c in CLASSIC_HEADER):
        return True
    in_battery_folder = os.path.basename(os.path.dirname(os.path.abspath(path))) == "raw_data"
    return in_battery_folder and detect_preset(names) in (None, "classic")


def _temperature(ex: Export, given: Optional[float]) -> tuple:
    # The set point in the file name before the measured column (its median, to 0.1 degC).
    if given is not None:
        return float(given), "given"
    t = temperature_from_name(ex.path)
    if t is not None:
        return t, "file name"
    if ex.temperature is not None:
        t = ex.temperature[np.isfinite(ex.temperature)]
        if t.size:
            return round(float(np.median(t)), 1), f"column '{ex.columns['temperature']}'"
    raise RecordingError(
        f"{ex.path}: no temperature: the export has no temperature column and the file name "
        "holds none (e.g. '25C'); give --temperature (temperature= in the API)"
    )


def _tempc(t: float) -> Any:
    r = round(t)
    return int(r) if abs(t - r) < 1e-9 else t


def run_export(
    path: str,
    *,
    model: str,
    low_cutoff: float,
    columns: Optional[Mapping[str, str]] = None,
    preset: Optional[str] = None,
    temperature: Optional[float] = None,
    capacity_mAh: Optional[float] = None,
    step_hold: Optional[bool] = None,
    max_pulse_s: float = 600.0,
    min_rest_s: float = 600.0,
    rms_limit_mV: float = 5.0,
    progress: Optional[Callable[[int, int], Any]] = None,
    export: Optional[Export] = None,
):
    """One recording through the step analysis; returns an ``ecm.Recording``."""
    from ecm.api import Recording

    ex = export if export is not None else read_export(path, columns=columns, preset=preset)
    temp, temp_source = _temperature(ex, temperature)
    cap_mAh = capacity_mAh if capacity_mAh is not None else capacity_from_name(path)
    if step_hold is None:
        # Cycler logs report the step in progress; the classic recordings are linear between samples.
        step_hold = ex.preset != "classic"
    raw = _core.run_protocol(
        ex.time,
        ex.current,
        ex.voltage,
        path,
        float(low_cutoff),
        model,
        bool(step_hold),
        float(cap_mAh) / 1000.0 if cap_mAh else math.nan,
        float(max_pulse_s),
        float(min_rest_s),
        60.0,
        float(rms_limit_mV) / 1000.0,
        progress,
        ex.step,
    )
    names = PARAMETERS[model]
    branches = ("1", "2") if model == "model2" else ("1",)
    p = pd.DataFrame(raw["pulses"])
    cols = ["cycle", "direction", "t_start", "t_end", "soc", "soc_end", "current", "R0"]
    for b in branches:
        cols += ["R" + b, "C" + b, "tau" + b]
    cols += (
        ["rms_mV"] + [f"tau{b}_determined" for b in branches] + ["on_bound", "status", "window_first", "window_last"]
    )
    if len(p):
        p = p.rename(columns={"number": "cycle"})
        p = p[cols]
    else:
        p = pd.DataFrame({c: [] for c in cols})
    ocv = pd.DataFrame({"soc": raw["SOC"], "ocv": raw["OCV"]})
    relaxed = pd.DataFrame({"soc": raw["relaxed_soc"], "ocv": raw["relaxed_ocv"], "measured": raw["relaxed_ocv"]})
    medians = {n: float(v) for n, v in zip(names, raw["median"])}
    warnings = [f"{path}: {n}" for n in ex.notes] + list(raw["warnings"])
    n_d = int((p["direction"] == "discharge").sum()) if len(p) else 0
    n_c = len(p) - n_d
    rejected = p[p["status"] != "fitted"] if len(p) else p
    for _, row in rejected.iterrows():
        warnings.append(f"{path}: {row['direction']} pulse {int(row['cycle'])} at {row['t_start']:g} s {row['status']}")
    params = {
        "TempC": _tempc(temp),
        "Tparam_1": raw["capacity_Ah"],
        "Tparam_2": [float(x) for x in raw["median"]],
        "Tparam_3": [[float(x) for x in raw["SOC"]], [float(x) for x in raw["OCV"]]],
    }
    rec = Recording(
        path=path,
        temperature=_tempc(temp),
        capacity_mAh=int(round(cap_mAh)) if cap_mAh else None,
        charge_Ah=float(raw["capacity_Ah"]),
        pulses=p,
        ocv=ocv,
        medians=medians,
        warnings=warnings,
        relaxed=relaxed,
        samples=int(raw["samples"]),
        temperature_source=temp_source,
        params_text=json.dumps(params),
        ocv_text=raw["ocv_text"],
        ocv_passes=0,
    )
    # What the report draws: the kept samples, the rest ends, each pulse's window and fitted response.
    n = int(raw["samples"])
    steps = pd.DataFrame(raw["steps"])
    windows = {int(w["first"]): w for w in raw["windows"]}
    fits = []
    for _, row in p.iterrows():
        first, stop = int(row["window_first"]), int(row["window_last"]) + 1
        w = windows.get(first)
        yout = (
            np.asarray(w["model"], dtype=float)
            if w is not None and int(w["last"]) + 1 == stop
            else np.full(stop - first, np.nan)
        )
        # drawn from a minute before the pulse (the long rest before it is flat)
        off = int(np.searchsorted(ex.time[first:stop], float(row["t_start"]) - 60.0))
        off = min(max(off, 0), max(stop - first - 2, 0))
        fits.append({"window_start": first + off, "window_end": stop, "target": "voltage", "yout": yout[off:]})
    ocv_rests = steps[steps["role"].isin(["OCV rest", "full-charge rest"])] if len(steps) else steps
    rec.series = {
        "t": ex.time[:n],
        "current": np.asarray(raw["current"]),
        "voltage": ex.voltage[:n],
        "rest_end": (ocv_rests["last"].to_numpy(dtype=np.int64) + 2) if len(steps) else np.array([], int),
        "fits": fits,
    }
    rec.protocol = {
        "preset": ex.preset,
        "columns": ex.columns,
        "notes": list(ex.notes),
        "current_sign": "charge positive" if raw["charge_positive"] else "discharge positive (flipped)",
        "rest_threshold_A": raw["rest_threshold"],
        "jump_tolerance_A": raw["jump_tolerance"],
        "cutoff_crossed": raw["cutoff_crossed"],
        "full_charge_found": raw["full_charge_found"],
        "export_step_changes": raw["export_step_changes"],
        "pulses_discharge": n_d,
        "pulses_charge": n_c,
        "steps": pd.DataFrame(raw["steps"]),
        "windows": raw["windows"],
        "time": ex.time[: raw["samples"]],
        "current": raw["current"],
        "voltage": ex.voltage[: raw["samples"]],
        "soc": raw["soc"],
    }
    return rec

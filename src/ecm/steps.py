"""Recordings of any step protocol (cycler exports, HPPC tests) through the
core's step analysis: one Recording per file, with every pulse (discharge and
charge) and its status, and the files the builder needs."""

from __future__ import annotations

import math
import os
from typing import Any, Callable, Mapping, Optional

import numpy as np
import pandas as pd

from ecm import _core
from ecm._errors import RecordingError
from ecm.exports import CLASSIC_HEADER, Export, capacity_from_name, detect_preset, name_temperature, read_export
from ecm.results import pulse_frame, recording_from, temperature_value

#: The RMS a fit may leave by default, as a share of its window's voltage swing (beside 5 mV).
RMS_LIMIT_SHARE = 0.02


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


#: A bare "25C" in a file name and the median of the measured temperature column may differ by this
#: much (C) and the name still gives the temperature.
NAME_COLUMN_TOLERANCE_C = 5.0


def _temperature(ex: Export, given: Optional[float]) -> tuple:
    # The set point in the file name before the measured column (its median, to 0.1 degC).
    # A bare "2C" in the name may be a C-rate: where the measured column disagrees by more than
    # NAME_COLUMN_TOLERANCE_C, the column wins.
    if given is not None:
        return float(given), "given"
    named = name_temperature(ex.path)
    column = None
    if ex.temperature is not None:
        t = ex.temperature[np.isfinite(ex.temperature)]
        if t.size:
            column = round(float(np.median(t)), 1), f"column '{ex.columns['temperature']}'"
    if named is not None:
        value, marked = named
        if marked or column is None or abs(column[0] - value) <= NAME_COLUMN_TOLERANCE_C:
            return value, "file name"
    if column is not None:
        if named is not None:
            return column[0], f"{column[1]} (the file name's {named[0]:g}C is no temperature: a C-rate)"
        return column
    raise RecordingError(
        f"{ex.path}: no temperature: the export has no temperature column and the file name "
        "holds none (e.g. '25C'); give --temperature (temperature= in the API)"
    )


def _charge_counter(ex: Export) -> Optional[np.ndarray]:
    """The cycler's own charge counter (Ah) as one net column: the net capacity,
    else charged minus discharged; None when the file has neither."""
    rec = ex.recording
    if rec is None:
        return None
    net = rec.column("Net Capacity / Ah")
    if net is None:
        ch, dis = rec.column("Charging Capacity / Ah"), rec.column("Discharging Capacity / Ah")
        if ch is None or dis is None:
            return None
        net = ch - dis
    net = np.asarray(net, dtype=float)
    if len(net) != len(ex.time) or not np.isfinite(net).any() or not np.any(net != net[0]):
        return None
    return net


def run_export(
    path: str,
    *,
    model: str,
    low_cutoff: Optional[float],
    method: str = "joint",
    columns: Optional[Mapping[str, str]] = None,
    preset: Optional[str] = None,
    temperature: Optional[float] = None,
    capacity_mAh: Optional[float] = None,
    step_hold: Optional[bool] = None,
    max_pulse_s: float = 600.0,
    min_rest_s: Optional[float] = None,
    rms_limit_mV: Optional[float] = None,
    edge_timing: str = "reading",
    progress: Optional[Callable[[int, int], Any]] = None,
    export: Optional[Export] = None,
):
    """One recording through the step analysis and the chosen fit (``method``:
    "joint" or "pulse"); returns an ``ecm.Recording``. ``min_rest_s`` None: the
    shortest OCV rest follows the protocol's own long rests. The cycler's Ah
    counter, where the file has one, carries the charge across gaps in time.
    ``low_cutoff`` None: the lowest voltage the recording reaches under load
    (the protocol's ``data_cutoffs`` say which and where)."""
    ex = export if export is not None else read_export(path, columns=columns, preset=preset)
    try:
        cutoffs = dict(_core.data_cutoffs(ex.current, ex.voltage))
    except ValueError as e:
        raise RecordingError(f"{path}: {e}") from None
    if low_cutoff is None:
        low_cutoff = cutoffs["low"]
    counter = _charge_counter(ex)
    temp, temp_source = _temperature(ex, temperature)
    cap_mAh = capacity_mAh if capacity_mAh is not None else capacity_from_name(path)
    if step_hold is None:
        # Cycler logs report the step in progress; the classic recordings are linear between samples.
        step_hold = ex.preset != "classic"
    res = _core.extract(
        ex.time,
        ex.current,
        ex.voltage,
        path,
        reading="steps",
        method=method,
        model=model,
        vcut=float(low_cutoff),
        progress=progress,
        step_hold=bool(step_hold),
        nominal_capacity_Ah=float(cap_mAh) / 1000.0 if cap_mAh else math.nan,
        max_pulse_s=float(max_pulse_s),
        min_ocv_rest_s=float(min_rest_s) if min_rest_s is not None else math.nan,
        # None: 5 mV, or 2 % of the window's voltage swing where that is more (cold cells); given: that alone
        rms_limit_V=(5.0 if rms_limit_mV is None else float(rms_limit_mV)) / 1000.0,
        rms_limit_share=RMS_LIMIT_SHARE if rms_limit_mV is None else 0.0,
        step_id=ex.step,
        temperature=float(temperature_value(temp)),
        temperature_source=temp_source,
        edge_timing=edge_timing,
        charge_counter=counter,
    )
    p = pulse_frame(res)
    warnings = [f"{path}: {n}" for n in ex.notes] + list(res.warnings)
    n_d = int((p["direction"] == "discharge").sum()) if len(p) else 0
    rejected = p[p["status"] != "fitted"] if len(p) else p
    for _, row in rejected.iterrows():
        warnings.append(f"{path}: {row['direction']} pulse {int(row['cycle'])} at {row['t_start']:g} s {row['status']}")
    n = int(res.samples)
    steps = pd.DataFrame(res.steps_table())
    protocol = {
        "preset": ex.preset,
        "columns": ex.columns,
        "notes": list(ex.notes),
        "current_sign": "charge positive" if res.charge_positive else "discharge positive (flipped)",
        "rest_threshold_A": res.rest_threshold,
        "jump_tolerance_A": res.jump_tolerance,
        "cutoff_crossed": res.cutoff_crossed,
        "full_charge_found": res.full_charge_found,
        "export_step_changes": res.export_step_changes,
        "min_rest_s": res.min_ocv_rest_s,
        "min_rest_source": "given" if min_rest_s is not None else "the protocol's long rests",
        "gap_times_s": list(res.gap_times),
        "data_cutoffs": cutoffs,
        "charge_counter": counter is not None,
        "pulses_discharge": n_d,
        "pulses_charge": len(p) - n_d,
        "steps": steps,
        "time": ex.time[:n],
        "current": res.current,
        "voltage": ex.voltage[:n],
        "soc": res.soc,
    }
    return recording_from(
        res,
        warnings=warnings,
        capacity_mAh=cap_mAh,
        protocol=protocol,
        series=res.series(),
    )

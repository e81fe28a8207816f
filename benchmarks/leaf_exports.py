#!/usr/bin/env python3
"""The whole laboratory HPPC exports (Bitrode, 33.1 Ah Nissan Leaf cell, 10 and
25 degC) through `ecm.extract`: pulses found against the export's own Mode
and Step columns, RMS per window, R0, parameters on a bound, OCV monotone in
SOC, the model built from both temperatures, and the run time.

    python benchmarks/leaf_exports.py [DATA_DIR]      (default ../shared/data/nissan-leaf)
"""

import json
import os
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import ecm
from ecm.exports import PRESETS


def pulses_by_mode(path):
    """Discharge and charge (regen) pulses counted from the export's Step and
    Mode columns: runs of one step number in DCHG / CHRG mode up to 60 s long
    that follow a REST run."""
    names = list(PRESETS["bitrode"]["positional"])  # the export's columns when it has no header row
    with open(path) as f:
        header = f.readline().startswith("Exclude")
    df = pd.read_csv(path, header=0 if header else None, names=None if header else names + ["x"], index_col=False)
    df.columns = [str(c).strip() for c in df.columns][: len(df.columns)]
    mode = df["Mode"].astype(str).str.strip()
    run = (mode != mode.shift()).cumsum()
    runs = df.groupby(run).agg(mode=("Mode", "first"), t0=("Time(s)", "first"), t1=("Time(s)", "last"))
    runs["mode"] = runs["mode"].astype(str).str.strip()
    prev = runs["mode"].shift()
    dur = runs["t1"] - runs["t0"]
    dis = ((runs["mode"] == "DCHG") & (dur <= 60) & (prev == "REST")).sum()
    chg = ((runs["mode"] == "CHRG") & (dur <= 60) & (prev == "REST")).sum()
    return int(dis), int(chg)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    data = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "shared", "data", "nissan-leaf")
    files = sorted(os.path.join(data, f) for f in os.listdir(data) if f.endswith(".csv"))
    best = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        ex = ecm.extract(files, low_cutoff=3.0, high_cutoff=4.2, capacity_mAh=33100)
        best = min(best, time.perf_counter() - t0)
    print(
        f"extract() of {len(files)} exports ({sum(r.samples for r in ex.recordings)} samples): {best:.3f} s (best of 3)"
    )
    for r in ex.recordings:
        p = r.pulses
        fitted = p[p["status"] == "fitted"]
        d_mode, c_mode = pulses_by_mode(r.path)
        d_found = int(((fitted["direction"] == "discharge") & (fitted["current"] < -20)).sum())
        c_found = int((fitted["direction"] == "charge").sum())
        on_bound = int((p["on_bound"] != "").sum())
        ocv = r.relaxed.sort_values("soc")["ocv"].to_numpy()
        print(
            f"\n{os.path.basename(r.path)} ({r.temperature} C, {r.protocol['preset']}, {r.protocol['current_sign']}):"
        )
        print(
            f"  Mode column: {d_mode} discharge and {c_mode} charge pulses after a rest; fitted: {d_found} 30 A "
            f"discharge and {c_found} charge pulses; rejected: {len(p) - len(fitted)} "
            f"({'; '.join(p.loc[p['status'] != 'fitted', 'status'])})"
        )
        print(f"  RMS per window: median {fitted['rms_mV'].median():.3f} mV, worst {fitted['rms_mV'].max():.3f} mV")
        for direction in ("discharge", "charge"):
            q = fitted[fitted["direction"] == direction]
            print(
                f"  {direction:9s}: R0 {q['R0'].min() * 1e3:.3f}-{q['R0'].max() * 1e3:.3f} mOhm, "
                f"R1 median {q['R1'].median() * 1e3:.3f} mOhm, tau1 median {q['tau1'].median():.2f} s, "
                f"tau2 determined in {int(q['tau2_determined'].sum())} of {len(q)}"
            )
        print(
            f"  parameters on a bound: {on_bound} of {len(p)} pulses; OCV monotone in SOC: "
            f"{bool(np.all(np.diff(ocv) > 0))} ({len(ocv)} points); capacity {r.charge_Ah:.2f} Ah"
        )
    with tempfile.TemporaryDirectory() as out:
        written = ex.write(out)
        model = json.loads(open(written["battery_model"]).read())
        print(
            f"\nbattery_model.json written from temperatures {model['temps']} "
            f"({len(written['tables'])} table files beside it)"
        )


if __name__ == "__main__":
    main()

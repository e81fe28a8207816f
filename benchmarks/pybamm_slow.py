#!/usr/bin/env python3
"""The slow branch on a physical cell: PyBaMM's SPMe (Chen2020 parameters, a
5 Ah cell, solid diffusion and Butler-Volmer kinetics, nothing of our model
class) runs an HPPC test and a drive cycle; the model fitted on the HPPC
predicts the drive cycle. Rows: without the slow branch, with it scored on the
settled rests only (what --slow does), and scored on the whole test (loads as
much as rests, as before).

HPPC: from full charge and a 1 h rest, at each of nine SOC points discharge pulses of 10 s at
1C, 2C and 3C and a 1C charge pulse (40 s rests between, 600 s after), then a
C/5 step of 10 % SOC and a 1 h rest. Drive: a repeated pattern of loads from
0.4C to 2C with regenerative charging and stops (mean 0.7C), from full charge
for 3000 s (about 60 % of its charge).

    python benchmarks/pybamm_slow.py [--diffusion 0.1]
        (--diffusion scales both particles' diffusivity: 0.1 makes the solid
        diffusion ten times slower, a slow polarisation of tens of minutes)
"""

from __future__ import annotations

import argparse
import logging
import os
import tempfile
import time

import numpy as np
import pandas as pd

DRIVE = [(60, 8.0), (30, -3.0), (60, 4.0), (30, 0.0), (90, 6.0), (20, -5.0), (40, 10.0), (30, 2.0)]


def run(steps, folder, name, diffusion=1.0):
    import pybamm

    model = pybamm.lithium_ion.SPMe()
    pv = pybamm.ParameterValues("Chen2020")
    pv.update({"Lower voltage cut-off [V]": 2.5, "Upper voltage cut-off [V]": 4.25})
    for electrode in ("Negative", "Positive"):
        key = f"{electrode} particle diffusivity [m2.s-1]"
        pv.update({key: pv[key] * diffusion})
    sim = pybamm.Simulation(model, parameter_values=pv, experiment=pybamm.Experiment(steps, period="1 second"))
    sol = sim.solve(initial_soc=1.0)
    t = sol["Time [s]"].entries.copy()
    i = -sol["Current [A]"].entries  # PyBaMM: discharge positive
    v = sol["Voltage [V]"].entries
    for k in range(1, len(t)):  # a step's boundary sample once before, once 1 ms after
        if t[k] <= t[k - 1]:
            t[k] = t[k - 1] + 1e-3
    raw = os.path.join(folder, name, "raw_data")
    os.makedirs(raw, exist_ok=True)
    path = os.path.join(raw, "pybamm_5000mAh_Tp25.csv")
    pd.DataFrame({"Seconds": t, "Current(A)": i, "Voltage(V)": v}).to_csv(path, index=False)
    return path


def hppc_steps():
    steps = ["Rest for 3600 seconds"]
    for _ in range(9):
        for amps in (5.0, 10.0, 15.0):
            steps += [f"Discharge at {amps} A for 10 seconds", "Rest for 40 seconds"]
        steps += ["Charge at 5 A for 10 seconds", "Rest for 600 seconds"]
        steps += ["Discharge at 1 A for 1800 seconds", "Rest for 3600 seconds"]
    return steps


def drive_steps():
    steps = ["Rest for 60 seconds"]
    total = 0
    while total < 3000:
        for dur, amps in DRIVE:
            if amps > 0:
                steps.append(f"Discharge at {amps} A for {dur} seconds")
            elif amps < 0:
                steps.append(f"Charge at {-amps} A for {dur} seconds")
            else:
                steps.append(f"Rest for {dur} seconds")
            total += dur
    return steps


def main():
    import ecm
    import ecm.api
    from ecm.modelfile import load_model
    from ecm.validate import validate

    ap = argparse.ArgumentParser()
    ap.add_argument("--diffusion", type=float, default=1.0, help="scale of both particles' diffusivity")
    args = ap.parse_args()
    logging.disable(logging.WARNING)
    work = tempfile.mkdtemp(prefix="pybamm_slow_")
    t0 = time.time()
    hppc = run(hppc_steps(), work, "hppc", args.diffusion)
    drive = run(drive_steps(), work, "drive", args.diffusion)
    print(f"PyBaMM: {time.time() - t0:.0f} s")
    rows, tenths = {}, {}
    for name, slow, weight in [
        ("no slow branch", False, None),
        ("--slow (rests)", True, 0.0),
        ("--slow (whole)", True, 1.0),
    ]:
        keep = ecm.api.SLOW_LOAD_WEIGHT
        if weight is not None:
            ecm.api.SLOW_LOAD_WEIGHT = weight
        try:
            ex = ecm.extract([hppc], low_cutoff=2.5, high_cutoff=4.25, reading="steps", slow=slow)
        finally:
            ecm.api.SLOW_LOAD_WEIGHT = keep
        out = os.path.join(work, name.replace(" ", "_").replace("(", "").replace(")", ""))
        ex.write(out)
        val = validate(load_model(out), drive, initial_soc=1.0)
        sl = ex.recordings[0].slow
        e = val.error_mV
        tenths[name] = [e[k * len(e) // 10 : (k + 1) * len(e) // 10].mean() for k in range(10)]
        rows[name] = (val.rms_mV, sl["tau"] if sl else float("nan"), 1000 * np.mean(sl["R"]) if sl else float("nan"))
    print(f"{'drive RMS mV':<18}{'RMS':>8}{'tau s':>9}{'R mOhm':>9}")
    for name, (rms, tau, r) in rows.items():
        print(f"{name:<18}{rms:>8.1f}{tau:>9.0f}{r:>9.1f}")
        print("    mean error per tenth of the drive (mV):", np.round(tenths[name], 0))
    print(f"({time.time() - t0:.0f} s; files in {work})")


if __name__ == "__main__":
    main()

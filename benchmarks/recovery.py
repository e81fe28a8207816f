"""How well the extraction recovers known parameters of synthetic cells.

For each scenario a synthetic recording (2 Ah cell, 2 A pulses of 180 s, 1,800 s
rests, 1 s sampling) is extracted by a whole import of ecmfit, and the fitted
per-pulse parameters are compared with the cell's true values at each pulse.

    python benchmarks/recovery.py
"""

import os
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
import synthcell
from runner import run_ecmfit


def scenario(name, model, varying, noise, temp, fit_model=None, **kw):
    with tempfile.TemporaryDirectory() as d:
        made = synthcell.write_battery_folder(
            d,
            "cellA",
            capacity_mAh=2000,
            temperatures=(temp,),
            model=model,
            varying=varying,
            voltage_noise_V=noise,
            **kw,
        )
        synthcell.write_input_params(d, d + "/", "cellA", model=fit_model or model)
        run = run_ecmfit(d, dump=["results", "opt_median"])
        assert run.returncode == 0, run.stderr[-2000:]
        truth = next(iter(made["truth_data"].values()))
        rows = [r[3] for r in run.values["results"]]
        pulses = truth["pulses"][: len(rows)]
        keys = ["r0_ohm", "r1_ohm", "tau1_s"] + (["r2_ohm", "tau2_s"] if (fit_model or model) == "model2" else [])
        est = {"r0_ohm": [r[0] for r in rows], "r1_ohm": [r[1] for r in rows], "tau1_s": [r[1] * r[2] for r in rows]}
        if (fit_model or model) == "model2":
            est["r2_ohm"] = [r[3] for r in rows]
            est["tau2_s"] = [r[3] * r[4] for r in rows]
        out = []
        for k in keys:
            tv = np.array([p.get(k, np.nan) for p in pulses], float)
            ev = np.array(est[k])
            rel = (ev - tv) / tv
            med_err = (np.median(ev) - np.median(tv)) / np.median(tv)
            out.append(
                f"{k}: median err {med_err * 100:+.2f}%, per-pulse |err| median {np.median(np.abs(rel)) * 100:.2f}% max {np.max(np.abs(rel)) * 100:.1f}%"
            )
        print(f"== {name} ({len(rows)} pulses)")
        for o in out:
            print("   ", o)


def main():
    scenario("1 branch, constant, noise-free, model1", "model1", False, 0.0, 25)
    scenario("1 branch, constant, 1 mV noise, model1", "model1", False, 1e-3, 25)
    scenario("2 branches, constant, noise-free, model2", "model2", False, 0.0, 25)
    scenario("2 branches, constant, 1 mV noise, model2", "model2", False, 1e-3, 25)
    scenario("2 branches, SOC/T-varying, noise-free, model2, 25 C", "model2", True, 0.0, 25)
    scenario("2 branches, SOC/T-varying, 0.5 mV noise, model2, -10 C", "model2", True, 5e-4, -10)


if __name__ == "__main__":
    main()

"""Recovery of known parameters: the joint method against the two-pass one.

Synthetic cells from tools/synthcell.py whose two branches vary with SOC and
temperature, on two protocols (the sample cell's: 180 s pulses, 600 s rests,
2 s sampling; and 180 s pulses with 1,800 s rests, 1 s sampling), at
-10, 0, 25 and 40 C, noise-free and with 0.5 mV / 1 mA measurement noise, and a
one-branch cell fitted with one branch. Per temperature it prints the median
relative error over the pulses of R0, R1, tau1, R2, tau2 (determined values
only; R0 against the cell's value at the pulse's middle SOC, the branches'
R and tau at the SOC of the pulse's end, where the branch relaxes from and
so where the voltage it holds is set), the 90th percentile of the absolute error, the median error of the OCV
at the relaxed points (mV), and the fitting time of both methods.

    python benchmarks/joint_accuracy.py [--quick]
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import synthcell

PROTOCOLS = {
    "600 s rests": dict(pulse_s=180.0, rest_s=600.0, dt=2.0),
    "1800 s rests": dict(pulse_s=180.0, rest_s=1800.0, dt=1.0),
}
KEYS = {"R0": "r0_ohm", "R1": "r1_ohm", "tau1": "tau1_s", "R2": "r2_ohm", "tau2": "tau2_s"}


def recovery(rec, truth, branches):
    """Relative errors per parameter over the pulses, and the OCV error at the relaxed points (V)."""
    pulses = truth["pulses"]
    p = rec.pulses
    out = {}
    names = ["R0", "R1", "tau1"] + (["R2", "tau2"] if branches == 2 else [])
    prm = truth["params"]
    for name in names:
        est = p[name].to_numpy(float)
        if name == "R0":  # R0 belongs to the pulse's middle
            true = np.array([pulses[c - 1][KEYS[name]] for c in p["cycle"]], float)
        else:  # a branch's R and tau to the pulse's end, where it relaxes from
            soc_end = np.array([pulses[c - 1]["soc_end"] for c in p["cycle"]], float)
            true = np.interp(soc_end, prm["soc_grid"], prm[KEYS[name]])
        err = (est - true) / true
        if name != "R0":
            err = err[p["tau" + name[-1] + "_determined"].to_numpy()] if "tau1_determined" in p else err
        out[name] = err
    # our SOC counts the charge to the cut-off; the cell's counts its capacity from full
    q_mAh = (rec.relaxed["soc"].to_numpy() - 1.0) * rec.charge_Ah * 1000.0
    soc_true = 1.0 + q_mAh / truth["capacity_mAh"]
    ocv_true = synthcell.default_ocv(soc_true, truth["temperature_C"])
    out["ocv"] = (rec.relaxed["ocv"].to_numpy() - ocv_true)[1:]
    return out


def run(protocol, temps, noise, model, method, quick):
    import ecm

    with tempfile.TemporaryDirectory() as d:
        kw = dict(PROTOCOLS[protocol])
        made = synthcell.write_battery_folder(
            d,
            "cellA",
            capacity_mAh=2000.0,
            temperatures=temps,
            model=model,
            varying=True,
            pulse_current_A=-2.0,
            voltage_noise_V=0.0005 if noise else 0.0,
            current_noise_A=0.001 if noise else 0.0,
            **kw,
        )
        t0 = time.perf_counter()
        ex = ecm.extract(
            made["recordings"],
            model="2rc" if model == "model2" else "1rc",
            low_cutoff=3.0,
            high_cutoff=4.2,
            method=method,
        )
        elapsed = time.perf_counter() - t0
        res = []
        for rec in ex.recordings:
            truth = made["truth_data"][os.path.basename(rec.path)]
            res.append((rec.temperature, recovery(rec, truth, 2 if model == "model2" else 1), rec))
        return res, elapsed


def report(title, res, elapsed):
    print(f"== {title}  ({elapsed:.2f} s)")
    for temp, errs, rec in sorted(res, key=lambda x: x[0]):
        cells = []
        for name, e in errs.items():
            if name == "ocv":
                cells.append(f"OCV {np.median(np.abs(e)) * 1e3:.2f} mV")
            elif len(e):
                cells.append(f"{name} {np.median(e) * 100:+.1f}% (p90 {np.percentile(np.abs(e), 90) * 100:.1f}%)")
            else:
                cells.append(f"{name} n/a")
        print(f"   {temp:>4} C  " + "  ".join(cells))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="one protocol, two temperatures")
    args = ap.parse_args()
    temps = (25, -10) if args.quick else (40, 25, 0, -10)
    protos = ["600 s rests"] if args.quick else list(PROTOCOLS)
    for proto in protos:
        for noise in (False, True):
            for method in ("pulse", "joint"):
                res, el = run(proto, temps, noise, "model2", method, args.quick)
                report(f"{proto}, {'0.5 mV / 1 mA noise' if noise else 'noise-free'}, 2 branches, {method}", res, el)
    res, el = run("1800 s rests", (25,), False, "model1", "joint", args.quick)
    report("1800 s rests, noise-free, one-branch cell, 1rc, joint", res, el)


if __name__ == "__main__":
    main()

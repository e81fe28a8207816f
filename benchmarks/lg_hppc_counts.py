#!/usr/bin/env python3
"""The LG HG2 pulse tests counted by hand, beside what `ecm fit` finds in them.

The independent count is plain pandas/NumPy on each raw file: a pulse is a
contiguous stretch of samples whose |current| exceeds a threshold and that
lasts at most MAX_PULSE_S (the SOC steps and the closing charge last far
longer), counted by direction. The capacity is the cycler's own Ah counter
from the start (the cell full) to its lowest value (the end of the last
discharge, before the counter is reset for the closing charge).

With --fit each file is also run through ecm.extract (joint method, step
analysis) and the pulses found and fitted and the capacity are printed beside
the counts.

    python benchmarks/lg_hppc_counts.py [DIR] [--fit] [--low-cutoff V]
        (DIR defaults to ../shared/data/lg-hg2)
"""

import argparse
import glob
import os
import sys

import numpy as np
import pandas as pd

THRESHOLD_A = 0.2  # below the smallest pulse (0.375 A at -20 C), above the end of a CV phase
MAX_PULSE_S = 60.0


def count_pulses(path: str, threshold: float = THRESHOLD_A, max_pulse_s: float = MAX_PULSE_S):
    d = pd.read_csv(path)
    t = d["Time [s]"].round(3).to_numpy()
    i = d["Current [A]"].to_numpy()
    q = d["Capacity [Ah]"].to_numpy()
    on = np.abs(i) > threshold
    edges = np.flatnonzero(np.diff(np.concatenate(([0], on.astype(np.int8), [0]))))
    discharge = charge = 0
    for a, b in zip(edges[::2], edges[1::2]):
        # the stretch holds the load from the sample before its first (the cycler logs the step in progress)
        dur = t[b - 1] - t[max(a - 1, 0)]
        if dur > max_pulse_s:
            continue
        # a stretch changing direction inside would be two pulses; count each sign run
        signs = np.sign(i[a:b])
        runs = 1 + int(np.count_nonzero(np.diff(signs)))
        if runs == 1:
            if signs[0] < 0:
                discharge += 1
            else:
                charge += 1
        else:
            discharge += int(np.count_nonzero(np.diff(np.concatenate(([0], (signs < 0).astype(np.int8)))) == 1))
            charge += int(np.count_nonzero(np.diff(np.concatenate(([0], (signs > 0).astype(np.int8)))) == 1))
    k_low = int(np.argmin(q))
    capacity = float(q[0] - q[k_low])
    return {"discharge": discharge, "charge": charge, "capacity_Ah": capacity, "t_low_s": float(t[k_low])}


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("dir", nargs="?", default=os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data"))
    ap.add_argument("--fit", action="store_true")
    ap.add_argument("--low-cutoff", type=float, default=2.5)
    args = ap.parse_args()
    base = args.dir
    if os.path.isdir(os.path.join(base, "lg-hg2")):
        base = os.path.join(base, "lg-hg2")
    files = sorted(glob.glob(os.path.join(base, "*", "*_HPPC_parsed.csv")))
    if not files:
        print(f"no *_HPPC_parsed.csv under {base}", file=sys.stderr)
        return 1
    head = f"{'file':<32} {'dis':>4} {'chg':>4} {'counter Ah':>10}"
    if args.fit:
        import ecm

        head += f" {'found d/c':>10} {'fitted':>7} {'%':>6} {'cap Ah':>8} {'diff %':>7}"
    print(head)
    for f in files:
        c = count_pulses(f)
        line = f"{os.path.relpath(f, base):<32} {c['discharge']:>4} {c['charge']:>4} {c['capacity_Ah']:>10.4f}"
        if args.fit:
            ex = ecm.extract([f], low_cutoff=args.low_cutoff, high_cutoff=4.2, reading="steps", method="joint")
            r = ex.recordings[0]
            p = r.pulses
            nd = int((p["direction"] == "discharge").sum())
            nc = len(p) - nd
            fitted = int((p["status"] == "fitted").sum())
            cap = float(r.charge_Ah)
            line += (
                f" {f'{nd}/{nc}':>10} {fitted:>7} {100.0 * fitted / max(len(p), 1):>6.1f} {cap:>8.4f}"
                f" {100.0 * (cap - c['capacity_Ah']) / c['capacity_Ah']:>7.2f}"
            )
        print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

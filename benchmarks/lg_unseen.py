#!/usr/bin/env python3
"""The LG HG2 constant-current discharges predicted by models fitted on the pulse tests.

For every temperature of the shared set a model is fitted on that temperature's
HPPC alone (default, and --slow) and predicts the 0.5C and 2C discharges of the
same temperature (profiles the fit has not seen; following the measured case
temperature). Both files begin under load, logged once a minute: the first
row is one minute into a discharge from full charge (the 2C files' Ah counter
reads that minute's charge there), so the start SOC is given as full charge less
that minute's charge over the model's capacity at the recording's temperature.
Some files go on with a rest and a CC-CV recharge; the whole file is scored, and
the discharge alone (up to the last sample under discharge current).

RMS errors in mV, and the mean error (model minus measured) of the discharge.

    python benchmarks/lg_unseen.py [DIR] [--temps 25degC,10degC]
        (DIR defaults to ../shared/data/lg-hg2)
"""

import glob
import logging
import os
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import ecm
from ecm.modelfile import load_model
from ecm.validate import validate

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lg_features import lg_arguments

PROFILES = ("Dis_0p5C", "Dis_2C")


def one(d, pat):
    return sorted(glob.glob(os.path.join(d, pat)))[0]


def start_soc(model_dir, path):
    """Full charge less the charge of the minute before the first row, over the model's capacity."""
    d = pd.read_csv(path, nrows=3)
    t = d["Time [s]"].to_numpy(float)
    removed = abs(float(d["Current [A]"].iloc[0])) * (t[1] - t[0]) / 3600.0
    m = load_model(model_dir)
    cap = m.at(float(d["Temperature [degC]"].iloc[0])).capacity_ah
    return 1.0 - removed / cap


def score(model_dir, path):
    soc0 = start_soc(model_dir, path)
    v = validate(load_model(model_dir), path, initial_soc=soc0)
    dis = np.flatnonzero(v.current < -0.05)
    end = float(v.t[dis[-1]]) if len(dis) else float(v.t[-1])
    w = validate(load_model(model_dir), path, initial_soc=soc0, score_to=end)
    return v.rms_mV, w.rms_mV, float(w.stats.loc["overall", "mean_mV"])


def main():
    args = lg_arguments()
    logging.disable(logging.WARNING)
    temps = args.temps.split(",")
    work = tempfile.mkdtemp(prefix="lg_unseen_")
    rows = {}
    t0 = time.time()
    for temp in temps:
        d = os.path.join(args.dir, temp)
        hppc = one(d, "*_HPPC_parsed.csv")
        for name, kw in (("default", {}), ("--slow", {"slow": True})):
            out = os.path.join(work, f"{temp}_{name.strip('-')}")
            ecm.extract([hppc], low_cutoff=2.5, high_cutoff=4.2, reading="steps", **kw).write(out)
            for prof in PROFILES:
                rows[(name, prof, temp)] = score(out, one(d, f"*_{prof}_parsed.csv"))
        print(f"{temp} done ({time.time() - t0:.0f} s)", file=sys.stderr, flush=True)
    print(f"{'RMS mV: whole / discharge (mean)':<34}" + "".join(f"{t:>22}" for t in temps))
    for name in ("default", "--slow"):
        for prof in PROFILES:
            cells = "".join("{:>22}".format("{:.1f} / {:.1f} ({:+.1f})".format(*rows[(name, prof, t)])) for t in temps)
            print(f"{name + ' ' + prof:<34}" + cells)
    print(f"({time.time() - t0:.0f} s; models in {work})")


if __name__ == "__main__":
    main()

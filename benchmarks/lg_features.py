#!/usr/bin/env python3
"""What each feature contributes to predicting the LG HG2 US06 drive cycles.

For every temperature of the shared set a model is fitted on that
temperature's HPPC test and predicts the US06 of the same temperature
(validation following the measured cell temperature). The rows switch the
features on and off:

- pulse: the pulse fits alone, SOC tables from every pulse (no median per SOC point);
- median: the SOC tables from the median of each SOC point's pulses (default);
- +ocv: the C/20 test fills the OCV between the relaxed points (--ocv-test);
- +slow: the slow branch fitted on the whole HPPC (--slow);
- +ocv+slow: both;
- calibrated: --calibrate US06 --calibrate-window 0:1200 (with the C/20 OCV), scored after 1200 s;
- calibrated, no C/20: the same calibration without the C/20 OCV;
- all temps: one model of all six HPPC tests (median tables, C/20 OCV), each US06 at the cell's
  measured temperature; all temps +slow: one model of all six with the slow branch (no C/20).

RMS errors in mV over the whole cycle (and after 1200 s for the calibrated row).

    python benchmarks/lg_features.py [DIR] [--temps 25degC,10degC]
        (DIR defaults to ../shared/data/lg-hg2)
"""

import argparse
import glob
import logging
import os
import sys
import tempfile
import time

import numpy as np

import ecm
import ecm.api
from ecm.modelfile import load_model
from ecm.validate import validate

TEMPS = ("40degC", "25degC", "10degC", "0degC", "n10degC", "n20degC")


def files(base, temp):
    d = os.path.join(base, temp)
    one = lambda pat: sorted(glob.glob(os.path.join(d, pat)))[0]  # noqa: E731
    return one("*_HPPC_parsed.csv"), one("*_US06_parsed.csv"), one("*_C20DisCh_parsed.csv")


def score(model_dir, us06, after=None):
    val = validate(load_model(model_dir), us06)
    if after is None:
        return val.rms_mV
    keep = val.t >= after
    return float(np.sqrt(np.mean(val.error_mV[keep] ** 2)))


def lg_arguments():
    """The LG HG2 folder (default: the shared set beside the project) and --temps of a benchmark."""
    ap = argparse.ArgumentParser()
    ap.add_argument(
        "dir", nargs="?", default=os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data", "lg-hg2")
    )
    ap.add_argument("--temps", default=",".join(TEMPS))
    args = ap.parse_args()
    if not os.path.isdir(os.path.join(args.dir, "25degC")):
        sys.exit(f"no LG HG2 data in {args.dir}")
    return args


def main():
    args = lg_arguments()
    logging.disable(logging.WARNING)
    temps = args.temps.split(",")
    work = tempfile.mkdtemp(prefix="lg_features_")
    rows = {}
    t0 = time.time()

    def run(name, temp, hppc, us06, after=None, **kw):
        out = os.path.join(work, f"{temp}_{name}")
        ecm.extract([hppc], low_cutoff=2.5, high_cutoff=4.2, reading="steps", **kw).write(out)
        rows.setdefault(name, {})[temp] = score(out, us06, after)

    for temp in temps:
        hppc, us06, c20 = files(args.dir, temp)
        cluster = ecm.api.TABLE_CLUSTER
        ecm.api.TABLE_CLUSTER = 0.0
        try:
            run("pulse", temp, hppc, us06)
        finally:
            ecm.api.TABLE_CLUSTER = cluster
        run("median", temp, hppc, us06)
        run("+ocv", temp, hppc, us06, ocv_tests=[c20])
        run("+slow", temp, hppc, us06, slow=True)
        run("+ocv+slow", temp, hppc, us06, ocv_tests=[c20], slow=True)
        run(
            "calibrated",
            temp,
            hppc,
            us06,
            after=1200.0,
            ocv_tests=[c20],
            calibrate=[us06],
            calibrate_window=(0.0, 1200.0),
        )
        run("calibrated, no C/20", temp, hppc, us06, after=1200.0, calibrate=[us06], calibrate_window=(0.0, 1200.0))
        print(f"{temp} done ({time.time() - t0:.0f} s)", file=sys.stderr, flush=True)
    if len(temps) > 1:
        triples = [files(args.dir, t) for t in temps]
        out = os.path.join(work, "all")
        ecm.extract(
            [h for h, _, _ in triples],
            low_cutoff=2.5,
            high_cutoff=4.2,
            reading="steps",
            ocv_tests=[c for _, _, c in triples],
        ).write(out)
        rows["all temps"] = {t: score(out, u) for t, (_, u, _) in zip(temps, triples)}
        out = os.path.join(work, "all_slow")
        ecm.extract([h for h, _, _ in triples], low_cutoff=2.5, high_cutoff=4.2, reading="steps", slow=True).write(out)
        rows["all temps +slow"] = {t: score(out, u) for t, (_, u, _) in zip(temps, triples)}
    print(f"{'US06 RMS mV':<20}" + "".join(f"{t:>9}" for t in temps))
    for name, vals in rows.items():
        print(f"{name:<20}" + "".join(f"{vals.get(t, float('nan')):>9.1f}" for t in temps))
    print(f"({time.time() - t0:.0f} s; models in {work})")


if __name__ == "__main__":
    main()

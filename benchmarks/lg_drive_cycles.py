#!/usr/bin/env python3
"""The LG HG2 US06 drive cycles predicted by models fitted on the pulse tests.

For each temperature (25, 10 and 0 C) a model is fitted on that temperature's
HPPC alone, with and without its C/20 test as --ocv-test, and one model on all
three HPPC files (with and without the three C/20 tests). Each model predicts
the US06 of each temperature at one temperature (the recording's) and
following the measured cell temperature; the RMS error (mV) is printed, over
the whole cycle and from --from seconds on.

    python benchmarks/lg_drive_cycles.py [DIR] [--from SECONDS] [--out WORK]
        (DIR defaults to ../shared/data/lg-hg2)
"""

import argparse
import logging
import os
import sys
import tempfile

import ecm
from ecm.validate import validate

CELLS = {"25degC": ("549", "551"), "10degC": ("575", "567"), "0degC": ("585", "589")}


def fit(base, folders, out, ocv):
    hppc = [os.path.join(base, f, f"{CELLS[f][0]}_HPPC_parsed.csv") for f in folders]
    tests = [os.path.join(base, f, f"{CELLS[f][0]}_C20DisCh_parsed.csv") for f in folders] if ocv else None
    ex = ecm.extract(hppc, low_cutoff=2.5, high_cutoff=4.2, reading="steps", ocv_tests=tests)
    ex.write(out)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir", nargs="?", default=None)
    ap.add_argument("--from", dest="score_from", type=float, default=600.0)
    ap.add_argument("--out", default=None)
    args = ap.parse_args()
    base = args.dir or os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data", "lg-hg2")
    if not os.path.isdir(os.path.join(base, "25degC")):
        sys.exit(f"no LG HG2 data in {base}")
    logging.getLogger("ecm").setLevel(logging.ERROR)
    work = args.out or tempfile.mkdtemp(prefix="lg_drive_")
    models = {}
    for ocv in (False, True):
        tag = "ocv" if ocv else "relaxed"
        for f in CELLS:
            models[(f, tag)] = fit(base, [f], os.path.join(work, f"{f}_{tag}"), ocv)
        models[("all", tag)] = fit(base, list(CELLS), os.path.join(work, f"all_{tag}"), ocv)
    print(f"{'US06':<8} {'model':<8} {'OCV':<8} {'temperature':<12} {'RMS mV':>8} {'from':>8} {'mean mV':>8}")
    for f, (_, cyc) in CELLS.items():
        rec = os.path.join(base, f, f"{cyc}_US06_parsed.csv")
        for which in (f, "all"):
            for tag in ("relaxed", "ocv"):
                for follow in (False, True):
                    m = models[(which, tag)]
                    v = validate(m, rec, follow_temperature=follow)
                    w = validate(m, rec, follow_temperature=follow, score_from=args.score_from)
                    src = v.temperature_source
                    print(
                        f"{f:<8} {which:<8} {tag:<8} {src:<12} {v.rms_mV:>8.2f} {w.rms_mV:>8.2f} "
                        f"{v.stats.loc['overall', 'mean_mV']:>8.2f}"
                    )


if __name__ == "__main__":
    main()

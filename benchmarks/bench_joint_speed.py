"""Speed of the joint method against the two-pass one on the same folder.

Five temperatures of a synthetic two-branch cell (2000 mAh, -2 A pulses of
180 s, 1,800 s rests, 1 s sampling, 0.2 mV / 1 mA noise): about 190,000
samples and 94 pulses. Each figure is the best of --runs in-process calls of
ecm.extract(); "fitting" subtracts the reading of the files (pandas.read_csv,
best of --runs), which both methods share.

    python benchmarks/bench_joint_speed.py [--runs 7]
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import synthcell


def best(runs, fn):
    out = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        out.append(time.perf_counter() - t0)
    return min(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=7)
    args = ap.parse_args()
    import pandas as pd

    import ecm

    work = tempfile.mkdtemp(prefix="bench_joint_")
    try:
        made = synthcell.write_battery_folder(
            work,
            "cellB",
            capacity_mAh=2000.0,
            temperatures=(45, 35, 25, 10, 0),
            model="model2",
            pulse_current_A=-2.0,
            pulse_s=180.0,
            rest_s=1800.0,
            dt=1.0,
            voltage_noise_V=0.0002,
            current_noise_A=0.001,
        )
        folder = made["folder"]
        t_read = best(args.runs, lambda: [pd.read_csv(p) for p in made["recordings"]])
        res = {}
        for method in ("pulse", "joint"):
            ex = ecm.extract(folder, low_cutoff=3.0, high_cutoff=4.2, method=method)
            res[method] = best(args.runs, lambda: ecm.extract(folder, low_cutoff=3.0, high_cutoff=4.2, method=method))
        pulses = sum(len(r.pulses) for r in ex.recordings)
        print(f"folder: 5 recordings, {pulses} pulses; reading the files {t_read:.3f} s")
        for method, t in res.items():
            print(
                f"{method:>5}: extract {t:.3f} s, fitting {t - t_read:.3f} s "
                f"({(t - t_read) / pulses * 1e3:.2f} ms per pulse)"
            )
        print(f"joint / pulse, fitting: {(res['joint'] - t_read) / (res['pulse'] - t_read):.1f} x")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

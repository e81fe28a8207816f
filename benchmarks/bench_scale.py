"""How the whole import scales with the length of a recording.

One recording per size (default 0.5, 1.5 and 5 million samples), sampled every
0.1 s, with a pulse of 30 s and a rest of 120 s per cycle, so the number of
pulses grows with the number of samples (about 330, 1,000 and 3,300).  The cell
has constant R0 and two RC branches, simulated in NumPy with the exact
closed form of the circuit (first-order recursions through scipy.signal.lfilter),
SOC by the trapezoid rule and synthcell's OCV curve; the last sample falls
below the cut-off.

Each size runs `import ecmfit` in a fresh interpreter, which stamps the log
records to time the steps:
    read      start line of the recording  -> temperature line (pandas.read_csv)
    load      temperature line             -> first line of the fitting
              (columns to doubles, checks, trim, charge, detection, OCV curve)
    fit       first line of the fitting    -> "Total runtime" (every pulse)
    files     "Total runtime"              -> OCV table saved
    builder   OCV table saved              -> battery_model.json saved
and reports the peak resident memory of the process (getrusage) together with
the resident memory after the libraries are imported.  The table gives time
and memory per sample: flat columns mean linear growth; n log n grows by about
8 % per column over this range.

    python benchmarks/bench_scale.py [--sizes 500000 1500000 5000000] [--keep DIR]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np
import pandas as pd
from scipy.signal import lfilter

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import synthcell

DT, PULSE_S, REST_S, INITIAL_REST_S = 0.1, 30.0, 120.0, 60.0
I_LOAD, R0, BRANCHES = -1.0, 0.04, ((0.02, 30.0), (0.025, 600.0))  # (R ohm, tau s)

CHILD = textwrap.dedent(r"""
    import json, logging, os, resource, sys, time

    def rss_mib():
        with open("/proc/self/status") as fh:
            for ln in fh:
                if ln.startswith("VmRSS:"):
                    return int(ln.split()[1]) / 1024
        return float("nan")

    import numpy, scipy.optimize, scipy.integrate, pandas  # the libraries the run uses
    base = rss_mib()
    stamps = {}
    marks = [("start", "started processing file"), ("temperature", "temperature = "),
             ("fit", "Initial value search"), ("fitted", "Total runtime = "),
             ("ocv", "Saved file /"), ("model", "Saved file 'battery_model.json'")]

    class Stamp(logging.Handler):
        def emit(self, record):
            msg = record.getMessage().strip()
            for key, prefix in marks:
                if key not in stamps and msg.startswith(prefix):
                    stamps[key] = time.perf_counter()

    logging.getLogger().addHandler(Stamp())  # the run's basicConfig then adds no console handler
    logging.getLogger().setLevel(logging.INFO)
    out, sys.stdout = sys.stdout, open(os.devnull, "w")
    t0 = time.perf_counter()
    import ecmfit
    total = time.perf_counter() - t0
    sys.stdout = out
    s = stamps
    print(json.dumps({
        "read_s": s["temperature"] - s["start"], "load_s": s["fit"] - s["temperature"],
        "fit_s": s["fitted"] - s["fit"], "files_s": s["ocv"] - s["fitted"], "builder_s": s["model"] - s["ocv"],
        "import_s": total, "samples": int(ecmfit.idx_end), "pulses": len(ecmfit.results),
        "base_MiB": base, "peak_MiB": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    }))
""")


def exact_recording(n_samples):
    """(DataFrame, truth) of a recording of n_samples whose last sample is below 3.0 V."""
    t = DT * np.arange(n_samples)
    phase = t - INITIAL_REST_S
    i = np.where((phase >= 0) & (np.mod(phase, PULSE_S + REST_S) < PULSE_S - 1e-9), I_LOAD, 0.0)
    h = DT
    # charge drawn so that the cell ends near 8 % SOC
    drawn_as = -np.concatenate(([0.0], np.cumsum(0.5 * (i[1:] + i[:-1]) * h)))
    capacity_as = drawn_as[-1] / 0.92
    soc = 1.0 - drawn_as / capacity_as
    v = synthcell.default_ocv(soc) + R0 * i
    for r, tau in BRANCHES:
        a = np.exp(-h / tau)
        one_minus_a = -np.expm1(-h / tau)
        ramp = 1.0 - tau * one_minus_a / h
        drive = r * (one_minus_a * i[:-1] + (i[1:] - i[:-1]) * ramp)
        vb = np.concatenate(([0.0], lfilter([1.0], [1.0, -a], drive)))
        v += vb
    v[-1] = 2.5
    first_below = int(np.nonzero(v < 3.0)[0][0])
    assert first_below == n_samples - 1, f"crosses the cut-off early at {first_below}"
    df = pd.DataFrame({"Seconds": t, "Current(A)": i, "Voltage(V)": v, "Temperature(C)": 25.0})
    return df, capacity_as / 3.6


def run_size(root, n):
    folder = os.path.join(root, f"n{n}")
    raw = os.path.join(folder, "cellA", "raw_data")
    os.makedirs(raw, exist_ok=True)
    t0 = time.perf_counter()
    df, cap_mAh = exact_recording(n)
    gen_s = time.perf_counter() - t0
    path = os.path.join(raw, f"cellA_{int(round(cap_mAh))}mAh_Tp25.csv")
    t0 = time.perf_counter()
    df.to_csv(path, index=False, float_format="%.10g", lineterminator="\n")
    write_s = time.perf_counter() - t0
    size_mb = os.path.getsize(path) / 1e6
    del df
    synthcell.write_input_params(folder, folder + "/", "cellA", model="model2")
    proc = subprocess.run([sys.executable, "-c", CHILD], cwd=folder, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(proc.stderr[-3000:])
    r = json.loads(proc.stdout.strip().splitlines()[-1])
    r.update(gen_s=gen_s, write_csv_s=write_s, csv_MB=size_mb, n=n)
    return r


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=int, nargs="+", default=[500_000, 1_500_000, 5_000_000])
    ap.add_argument("--keep", default=None, help="directory to keep the generated folders in")
    ap.add_argument("--json", default=None, help="write the measurements as JSON to this file")
    args = ap.parse_args()

    root = args.keep or tempfile.mkdtemp(prefix="ecm_scale_")
    rows = []
    try:
        for n in args.sizes:
            r = run_size(root, n)
            rows.append(r)
            print(
                f"n={n}: csv {r['csv_MB']:.0f} MB written in {r['write_csv_s']:.1f} s; "
                f"import {r['import_s']:.1f} s, peak {r['peak_MiB']:.0f} MiB",
                flush=True,
            )
    finally:
        if not args.keep:
            import shutil

            shutil.rmtree(root, ignore_errors=True)

    steps = ["read_s", "load_s", "fit_s", "files_s", "builder_s", "import_s"]
    print()
    print(
        f"{'samples':>10} {'pulses':>7} "
        + " ".join(f"{s[:-2]:>9}" for s in steps)
        + f" {'peak MiB':>9} {'libs MiB':>9}"
    )
    for r in rows:
        print(
            f"{r['samples']:>10} {r['pulses']:>7} "
            + " ".join(f"{r[s]:>8.2f}s" for s in steps)
            + f" {r['peak_MiB']:>9.0f} {r['base_MiB']:>9.0f}"
        )
    print()
    print("per sample (time in microseconds, memory above the libraries in bytes); fit per pulse in ms")
    print(f"{'samples':>10} " + " ".join(f"{s[:-2]:>9}" for s in steps) + f" {'mem B':>9} {'fit/pulse':>10}")
    for r in rows:
        n = r["samples"]
        print(
            f"{n:>10} "
            + " ".join(f"{r[s] / n * 1e6:>9.3f}" for s in steps)
            + f" {(r['peak_MiB'] - r['base_MiB']) * 2**20 / n:>9.0f}"
            + f" {r['fit_s'] / max(r['pulses'], 1) * 1e3:>10.2f}"
        )
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(rows, fh, indent=1)


if __name__ == "__main__":
    main()

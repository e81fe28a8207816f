"""A whole realistic recording through the extraction, against pandas.read_csv.

The recording: 1 s sampling, about 40,000 samples, about 20 pulses of 180 s at
-2 A with 1,800 s rests, a two-branch cell whose parameters vary with SOC,
0.2 mV voltage and 1 mA current measurement noise (--current-noise 0 writes the
idealised exact currents), and model "model2". In one fresh interpreter the script times pandas.read_csv on
the file (best of five), then imports ecmfit and times, from the log records:

- detection + fitting: the pulse detection and OCV curve (the same core call
  and NumPy hand-over, re-timed on the run's own vectors, best of five) plus
  the fitting from the first "Initial value search..." record to the
  "Total runtime" record (every pulse fitted, every log record and the solver's
  progress report written);
- from the temperature line: everything after the table is read, including
  the conversion of the columns, the trimming and the charge.

Standard output (the progress report) goes to /dev/null. Each figure is the
best of five fresh interpreters (--runs). It also reports the peak resident
memory of the process.

    python benchmarks/bench_recording.py [--samples 40000]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import synthcell

CHILD = textwrap.dedent(r"""
    import json, logging, os, resource, sys, time
    import pandas as pd

    path = sys.argv[1]
    times = []
    for _ in range(5):
        t0 = time.perf_counter()
        pd.read_csv(path, header=0, delimiter=",", decimal=".")
        times.append(time.perf_counter() - t0)

    stamps = {}

    class Stamp(logging.Handler):
        def emit(self, record):
            msg = record.getMessage()
            if msg.startswith("temperature = "):
                stamps["start"] = time.perf_counter()
            elif msg == "\nInitial value search..." and "search" not in stamps:
                stamps["search"] = time.perf_counter()
            elif msg.startswith("Total runtime = "):
                stamps["end"] = time.perf_counter()

    logging.getLogger().addHandler(Stamp())
    logging.getLogger().setLevel(logging.INFO)
    out, sys.stdout = sys.stdout, open(os.devnull, "w")
    t0 = time.perf_counter()
    import ecmfit
    total = time.perf_counter() - t0
    sys.stdout = out
    import _ecmcore
    detect = []
    for _ in range(5):
        t0 = time.perf_counter()
        _ecmcore.analyse_pulses(ecmfit.t, ecmfit.iload, ecmfit.v, ecmfit.cum_mAh)
        detect.append(time.perf_counter() - t0)
    print(json.dumps({
        "detect_fit_s": min(detect) + stamps["end"] - stamps["search"],
        "read_csv_s": min(times),
        "work_s": stamps["end"] - stamps["start"],
        "import_s": total,
        "samples": int(ecmfit.idx_end),
        "pulses": len(ecmfit.results),
        "peak_rss_MiB": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    }))
""")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rest", type=float, default=1800.0)
    ap.add_argument("--pulse", type=float, default=180.0)
    ap.add_argument("--capacity", type=float, default=2000.0)
    ap.add_argument(
        "--current-noise",
        type=float,
        default=0.001,
        help="rms noise of the recorded current, A (a cycler's current reading is never exact; "
        "0 gives an idealised file with exact pulse currents)",
    )
    ap.add_argument("--runs", type=int, default=5, help="fresh interpreters; the best time of each figure is shown")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        made = synthcell.write_battery_folder(
            tmp,
            "cellA",
            capacity_mAh=args.capacity,
            temperatures=(25,),
            model="model2",
            varying=True,
            pulse_s=args.pulse,
            rest_s=args.rest,
            pulse_current_A=-2.0,
            voltage_noise_V=2e-4,
            current_noise_A=args.current_noise,
        )
        synthcell.write_input_params(tmp, tmp + "/", "cellA", model="model2")
        runs = []
        for _ in range(args.runs):
            proc = subprocess.run(
                [sys.executable, "-c", CHILD, made["recordings"][0]], cwd=tmp, capture_output=True, text=True
            )
            if proc.returncode != 0:
                sys.exit(proc.stderr[-3000:])
            runs.append(json.loads(proc.stdout.strip().splitlines()[-1]))
        # best of the runs for every figure, as for read_csv within a run
        r = {k: (min(x[k] for x in runs) if k.endswith("_s") else runs[0][k]) for k in runs[0]}
        r["peak_rss_MiB"] = max(x["peak_rss_MiB"] for x in runs)
    print(f"samples kept            {r['samples']}")
    print(f"pulses fitted           {r['pulses']}")
    print(f"pandas.read_csv         {r['read_csv_s'] * 1e3:8.1f} ms (best of 5 reads x {args.runs} interpreters)")
    print(
        f"detection + fitting     {r['detect_fit_s'] * 1e3:8.1f} ms   ratio read_csv / this "
        f"{r['read_csv_s'] / r['detect_fit_s']:5.2f}  (target > 1)"
    )
    print(
        f"from the temperature    {r['work_s'] * 1e3:8.1f} ms   ratio read_csv / this "
        f"{r['read_csv_s'] / r['work_s']:5.2f}  (also converts, trims, integrates)"
    )
    print(f"whole import            {r['import_s'] * 1e3:8.1f} ms (includes reading, files and the builder)")
    print(f"peak resident memory    {r['peak_rss_MiB']:8.1f} MiB")


if __name__ == "__main__":
    main()

"""A whole realistic recording through the extraction, against pandas.read_csv.

The recording: 1 s sampling, about 40,000 samples, about 20 pulses of 180 s at
-2 A with 1,800 s rests, a two-branch cell whose parameters vary with SOC, and
model "model2". In one fresh interpreter the script times pandas.read_csv on
the file (best of five), then imports ecmfit and times the work from the
temperature line of the recording (the table is loaded) to the "Total runtime"
line (every pulse fitted): trimming, charge, pulse detection, OCV curve and all
fits, with the solver's progress report written to standard output (sent to
/dev/null here). It also reports the peak resident memory of the process.

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

import synthcell  # noqa: E402

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
            elif msg.startswith("Total runtime = "):
                stamps["end"] = time.perf_counter()

    logging.getLogger().addHandler(Stamp())
    logging.getLogger().setLevel(logging.INFO)
    out, sys.stdout = sys.stdout, open(os.devnull, "w")
    t0 = time.perf_counter()
    import ecmfit
    total = time.perf_counter() - t0
    sys.stdout = out
    print(json.dumps({
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
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        made = synthcell.write_battery_folder(tmp, "cellA", capacity_mAh=args.capacity, temperatures=(25,),
                                              model="model2", varying=True, pulse_s=args.pulse,
                                              rest_s=args.rest, pulse_current_A=-2.0, voltage_noise_V=2e-4)
        synthcell.write_input_params(tmp, tmp + "/", "cellA", model="model2")
        proc = subprocess.run([sys.executable, "-c", CHILD, made["recordings"][0]], cwd=tmp,
                              capture_output=True, text=True)
        if proc.returncode != 0:
            sys.exit(proc.stderr[-3000:])
        r = json.loads(proc.stdout.strip().splitlines()[-1])
    print(f"samples kept            {r['samples']}")
    print(f"pulses fitted           {r['pulses']}")
    print(f"pandas.read_csv         {r['read_csv_s'] * 1e3:8.1f} ms (best of 5)")
    print(f"trim + detect + fits    {r['work_s'] * 1e3:8.1f} ms")
    print(f"ratio read_csv / work   {r['read_csv_s'] / r['work_s']:8.2f}  (target > 1)")
    print(f"whole import            {r['import_s'] * 1e3:8.1f} ms (includes reading, files and the builder)")
    print(f"peak resident memory    {r['peak_rss_MiB']:8.1f} MiB")


if __name__ == "__main__":
    main()

"""Time to write the fit report of the bundled sample cell (three temperatures,
about 20 pulses each), each as the best of --runs:

- ``ecm report examples/sample_cell --out FILE`` as a fresh process (Python,
  matplotlib import, extraction and report);
- in-process ``Extraction.report()`` alone (figures and HTML), for both methods.

Target: the report of the sample cell written in under 3 s.

    python benchmarks/bench_report.py [--runs 3]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "..", "examples", "sample_cell")


from timing import best_of


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    exe = [shutil.which("ecm")] if shutil.which("ecm") else [sys.executable, "-m", "ecm"]
    import ecm

    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "report.html")
        cmd = exe + ["report", SAMPLE, "--low-cutoff", "3.0", "--high-cutoff", "4.2", "--out", out, "-q"]
        t = best_of(args.runs, lambda: subprocess.run(cmd, check=True, cwd=d))
        print(f"ecm report (fresh process, extraction included): {t:.2f} s, {os.path.getsize(out) / 1e6:.2f} MB")
        for method in ("pulse", "joint"):
            ex = ecm.extract(SAMPLE, model="2rc", low_cutoff=3.0, high_cutoff=4.2, method=method)
            ex.report(out)  # matplotlib imported and warmed up
            t = best_of(args.runs, lambda: ex.report(out))
            print(f"Extraction.report() alone, {method} method: {t:.2f} s")


if __name__ == "__main__":
    main()

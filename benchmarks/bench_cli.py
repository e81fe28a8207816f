"""`ecm fit` against the import-time run on the same battery folder.

The folder: five temperatures of a synthetic two-branch cell (2000 mAh, -2 A
pulses of 180 s, 1,800 s rests, 1 s sampling, 0.2 mV / 1 mA measurement
noise), about 38,000 samples per recording, about 190,000 in all. Timed, each
as the best of --runs fresh processes:

- import: ``python -c "import ecmfit"`` in the directory of input_params.json
  (standard output, the solver's progress report, to /dev/null);
- ecm fit: ``ecm fit FOLDER --out DIR -q`` (settings from the same
  input_params.json), which writes the same files;
- in-process: ``ecm.extract()`` once and twice on two threads at once (the
  GIL is released around the C++ work, so two threads take less than twice
  the time of one on a machine with two cores).

It also checks that both faces wrote text-identical files.

    python benchmarks/bench_cli.py [--runs 5] [--samples 38000]
"""

import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import synthcell

TEMPS = (45, 35, 25, 10, 0)


from timing import best_of


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--samples", type=int, default=38000, help="approximate samples per recording")
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="bench_cli_")
    try:
        dt = 1.0 * 39600 / args.samples
        synthcell.write_battery_folder(
            work,
            cell_name="cellB",
            capacity_mAh=2000.0,
            temperatures=TEMPS,
            model="model2",
            pulse_current_A=-2.0,
            pulse_s=180.0,
            rest_s=1800.0,
            dt=dt,
            voltage_noise_V=0.0002,
            current_noise_A=0.001,
        )
        synthcell.write_input_params(work, "./", "cellB", 4.2, 3.0, "model2")
        folder = os.path.join(work, "cellB")
        raw = os.path.join(folder, "raw_data")
        n = sum(sum(1 for _ in open(os.path.join(raw, f))) - 1 for f in os.listdir(raw))
        print(f"folder: {len(TEMPS)} recordings, {n} samples")

        def import_run():
            shutil.rmtree(os.path.join(folder, "results"), ignore_errors=True)
            subprocess.run(
                [sys.executable, "-c", "import ecmfit"],
                cwd=work,
                check=True,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )

        out = os.path.join(work, "ecm_out")
        ecm_cmd = [shutil.which("ecm") or sys.executable, "fit", folder, "--out", out, "-q"]
        if not shutil.which("ecm"):
            ecm_cmd[1:1] = ["-m", "ecm"]

        def ecm_run():
            shutil.rmtree(out, ignore_errors=True)
            subprocess.run(ecm_cmd, cwd=work, check=True, stdout=subprocess.DEVNULL)

        t_import = best_of(args.runs, import_run)
        t_ecm = best_of(args.runs, ecm_run)
        names = sorted(os.listdir(os.path.join(folder, "results")))
        same = sorted(os.listdir(out)) == names and all(
            filecmp.cmp(os.path.join(folder, "results", f), os.path.join(out, f), shallow=False) for f in names
        )
        print(f"import ecmfit (whole run):   {t_import:.3f} s")
        print(f"ecm fit (whole command):     {t_ecm:.3f} s   ratio {t_ecm / t_import:.2f}")
        print(f"files text-identical:        {same}")

        import ecm

        kw = dict(model="2rc", low_cutoff=3.0, high_cutoff=4.2)
        t_one = best_of(args.runs, lambda: ecm.extract(folder, **kw))

        def two_threads():
            ts = [threading.Thread(target=ecm.extract, args=(folder,), kwargs=kw) for _ in range(2)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()

        t_two = best_of(args.runs, two_threads)
        print(f"extract() in-process:        {t_one:.3f} s")
        print(f"2 x extract() on 2 threads:  {t_two:.3f} s   ({t_two / t_one:.2f} x one; 2.00 would be serial)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

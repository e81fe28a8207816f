"""`ecm batch` over a database of synthetic cells: 1 against 2 workers, and
the batch's overhead per cell over an in-process extract().

The database: --cells cells (default 200), three temperatures each, every
cell a two-branch cell with its own parameters (a few percent apart), the
sample cell's protocol (2000 mAh, -2 A pulses of 180 s, 600 s rests, 2 s
sampling, about 7,000 samples per recording). Timed: the whole batch
(cluster start included) with 1 and with 2 local worker processes, each into
a fresh output folder; extract() + write() of every cell in this process.
Also the peak memory of a worker.

    python benchmarks/bench_batch.py [--cells 200]
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import numpy as np
import synthcell


def make_database(root, n):
    rng = np.random.default_rng(1)
    for k in range(n):
        f = rng.normal(1.0, 0.03, 5)
        cell = synthcell.Cell(
            capacity_mAh=2000.0 * f[0], r0=0.04 * f[1], branches=((0.02 * f[2], 30.0 * f[3]), (0.025 * f[4], 400.0))
        )
        synthcell.write_battery_folder(
            root,
            f"cell{k:03d}",
            capacity_mAh=2000.0,
            temperatures=(25, 10, 0),
            cell=cell,
            pulse_current_A=-2.0,
            pulse_s=180.0,
            rest_s=600.0,
            dt=2.0,
            voltage_noise_V=0.0003,
            current_noise_A=0.002,
            seed=k,
        )
    synthcell.write_input_params(root, "./", "cell000", 4.2, 3.0, "model2")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cells", type=int, default=200)
    args = ap.parse_args()
    import ecm
    from ecm.batch import find_cells, run_batch

    work = tempfile.mkdtemp(prefix="bench_batch_")
    try:
        db = os.path.join(work, "db")
        t0 = time.perf_counter()
        make_database(db, args.cells)
        cells = find_cells(db)
        print(f"database: {len(cells)} cells x 3 temperatures, written in {time.perf_counter() - t0:.1f} s")

        t0 = time.perf_counter()
        for c in cells:
            ex = ecm.extract(c, low_cutoff=3.0, high_cutoff=4.2)
            ex.write(os.path.join(work, "inproc", os.path.basename(c)))
        t_inproc = time.perf_counter() - t0

        from dask.distributed import Client, LocalCluster

        times, warm, task_s = {}, {}, {}
        for w in (1, 2):
            out = os.path.join(work, f"out{w}")
            t0 = time.perf_counter()
            res = run_batch(db, workers=w, out=out)
            times[w] = time.perf_counter() - t0
            assert not res.failed, res.failed[:1]
            task_s[w] = sum(r["seconds"] for r in res.records)
            # the same on a cluster already running with ecm imported: the cost per cell
            with (
                LocalCluster(n_workers=w, threads_per_worker=1, dashboard_address=None) as cluster,
                Client(cluster) as client,
            ):
                client.run(lambda: __import__("ecm") and None)
                t0 = time.perf_counter()
                run_batch(db, client=client, out=os.path.join(work, f"warm{w}"))
                warm[w] = time.perf_counter() - t0
        t0 = time.perf_counter()
        res = run_batch(db, workers=2, out=os.path.join(work, "out2"))
        t_rerun = time.perf_counter() - t0
        assert all(r["status"] == "up to date" for r in res.records)

        print(f"in-process extract()+write(), all cells: {t_inproc:.2f} s ({t_inproc / len(cells) * 1e3:.1f} ms/cell)")
        print(f"batch, 1 worker, cluster start included:  {times[1]:.2f} s")
        print(f"batch, 2 workers, cluster start included: {times[2]:.2f} s ({times[2] / times[1]:.2f} x 1 worker)")
        print(
            f"batch on a running cluster, 1 worker:  {warm[1]:.2f} s ({warm[1] / len(cells) * 1e3:.1f} ms/cell, "
            f"{100 * (warm[1] / t_inproc - 1):+.0f} % over in-process)"
        )
        print(f"batch on a running cluster, 2 workers: {warm[2]:.2f} s ({warm[2] / warm[1]:.2f} x 1 worker)")
        print(
            f"  time inside the tasks, 1 worker (fingerprint, extract, write): {task_s[1]:.2f} s "
            f"({100 * (task_s[1] / t_inproc - 1):+.0f} % over in-process)"
        )
        print(f"rerun, every cell up to date: {t_rerun:.2f} s")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

"""`ecm batch` on a local Dask cluster of two workers: every cell's files as
extract() writes them, a broken cell recorded without stopping the others, a
rerun that skips every cell, a changed cell redone, and the summary tables
against pandas."""

import json
import os
import shutil
import subprocess

import numpy as np
import pandas as pd
import pytest
import synthcell

import ecm

pytest.importorskip("dask.distributed")
from ecm.batch import find_cells, run_batch

SMALL = dict(
    capacity_mAh=500.0,
    pulse_current_A=-2.0,
    pulse_s=60.0,
    rest_s=300.0,
    initial_rest_s=60.0,
    dt=1.0,
    varying=False,
    model="model2",
)


@pytest.fixture(scope="module")
def database(tmp_path_factory):
    root = tmp_path_factory.mktemp("db")
    for k in range(3):
        synthcell.write_battery_folder(root / "lab", f"cell{k}", temperatures=(25, 0), seed=k, **SMALL)
    # a cell whose 25 C recording is not a recording
    (root / "lab" / "cell1" / "raw_data" / "cell1_500mAh_Tp25.csv").write_text("garbage,data\n1,2\n")
    synthcell.write_input_params(root / "lab", "./", "cell0", 4.2, 3.0, "model2")
    return root / "lab"


def texts(folder):
    # the model's files (fit_settings.json holds the settings each run was given, which may differ)
    return {
        n: (folder / n).read_bytes()
        for n in sorted(os.listdir(folder))
        if not n.startswith(".") and n != "fit_settings.json"
    }


def test_two_workers_a_broken_cell_and_a_rerun(database, tmp_path):
    db = tmp_path / "lab"
    shutil.copytree(database, db)
    assert [os.path.basename(c) for c in find_cells(str(db))] == ["cell0", "cell1", "cell2"]
    seen = []
    res = run_batch(str(db), workers=2, progress=lambda done, total, rec: seen.append((done, total)))
    assert seen[-1] == (3, 3)
    status = {os.path.basename(r["cell"]): r["status"] for r in res.records}
    assert status == {"cell0": "fitted", "cell1": "failed", "cell2": "fitted"}
    failed = res.failed[0]
    assert "cell1_500mAh_Tp25.csv" in failed["error"] and "Voltage(V)" in failed["error"]

    # each cell's files are the ones extract() writes
    for k in (0, 2):
        cell = db / f"cell{k}"
        ex = ecm.extract(str(cell), low_cutoff=3.0, high_cutoff=4.2, model="model2")
        ex.write(tmp_path / f"direct{k}")
        assert texts(cell / "results") == texts(tmp_path / f"direct{k}")

    # the summary: one row per cell and temperature (the failed cell one row), spread against pandas
    s = pd.read_csv(res.files["summary_csv"])
    assert len(s) == 5 and list(s[s["status"] == "failed"]["cell"]) == [str(db / "cell1")]
    ok = s[s["status"] == "fitted"]
    for temp, grp in ok.groupby("temperature"):
        sp = res.spread[(res.spread["temperature"] == temp) & (res.spread["quantity"] == "R0")].iloc[0]
        assert sp["median"] == pytest.approx(grp["R0"].median(), rel=1e-12)
        assert sp["p95"] == pytest.approx(np.percentile(grp["R0"], 95), rel=1e-12)
    if "summary_parquet" in res.files:
        pd.testing.assert_frame_equal(pd.read_parquet(res.files["summary_parquet"]), res.summary, check_dtype=False)

    # a rerun skips every finished cell; the broken one is tried again
    again = run_batch(str(db), workers=2)
    status = {os.path.basename(r["cell"]): r["status"] for r in again.records}
    assert status == {"cell0": "up to date", "cell1": "failed", "cell2": "up to date"}
    pd.testing.assert_frame_equal(again.summary.drop(columns="status"), res.summary.drop(columns="status"))

    # a changed recording is redone, the others stay up to date
    rec = db / "cell2" / "raw_data" / "cell2_500mAh_Tp0.csv"
    df = pd.read_csv(rec)
    df["Voltage(V)"] += 1e-4
    df.to_csv(rec, index=False)
    third = run_batch(str(db), workers=2)
    status = {os.path.basename(r["cell"]): r["status"] for r in third.records}
    assert status == {"cell0": "up to date", "cell1": "failed", "cell2": "fitted"}


def test_command_exit_codes(database, tmp_path):
    db = tmp_path / "lab"
    shutil.copytree(database, db)
    exe = [shutil.which("ecm")]
    out = tmp_path / "out"
    proc = subprocess.run(
        exe + ["batch", str(db), "--workers", "2", "--out", str(out), "--json"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert doc["counts"] == {"fitted": 2, "up to date": 0, "failed": 1}
    assert (out / "cell0" / "battery_model.json").exists() and (out / "batch_summary.csv").exists()
    assert not (db / "cell0" / "results").exists()
    strict = subprocess.run(
        exe + ["batch", str(db), "--workers", "1", "--out", str(out), "--strict", "-q"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert strict.returncode == 1
    empty = tmp_path / "empty"
    empty.mkdir()
    proc = subprocess.run(exe + ["batch", str(empty)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2 and "no battery folder" in proc.stderr and "Traceback" not in proc.stderr


def test_a_running_scheduler_gives_the_same_results(database, tmp_path):
    from dask.distributed import LocalCluster

    db = tmp_path / "lab"
    shutil.copytree(database, db)
    local = run_batch(str(db), workers=1, out=str(tmp_path / "local"))
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        proc = subprocess.run(
            [
                shutil.which("ecm"),
                "batch",
                str(db),
                "--scheduler",
                cluster.scheduler_address,
                "--out",
                str(tmp_path / "remote"),
                "-q",
            ],
            capture_output=True,
            text=True,
            timeout=300,
        )
    assert proc.returncode == 0, proc.stderr
    for k in (0, 2):
        assert texts(tmp_path / "local" / f"cell{k}") == texts(tmp_path / "remote" / f"cell{k}")
    remote = pd.read_csv(tmp_path / "remote" / "batch_summary.csv")
    pd.testing.assert_frame_equal(remote, pd.read_csv(local.files["summary_csv"]))

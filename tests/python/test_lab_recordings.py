"""Real recordings from any lab with less to type: pulses the cycler holds at
its voltage limit, cut-offs taken from the data, a pulse test that starts at
full charge under load, results folders that remember their settings, and
batches of export folders with their own settings."""

import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
import synthcell

import ecm

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "benchmarks"))
from lg_hppc_counts import count_pulses  # noqa: E402

LG_SLICE = os.path.join(HERE, "data", "lg_hg2_cold_hppc_slice.csv")
ECM = [shutil.which("ecm")] if shutil.which("ecm") else [sys.executable, "-m", "ecm"]
EXPORT_NAMES = {"Seconds": "Time [s]", "Current(A)": "Current [A]", "Voltage(V)": "Voltage [V]"}
TRUTH = dict(r0=0.04, r1=0.02, tau1=30.0, r2=0.025, tau2=600.0)


def ecm_cli(*args, cwd=None):
    return subprocess.run(ECM + [str(a) for a in args], capture_output=True, text=True, cwd=cwd, timeout=600)


def pulses_from_full(rest_s=900.0, seed=0):
    """A pulse test of a cell with constant parameters that starts at full
    charge, in an export's columns, and its samples as simulated."""
    df, _truth = synthcell.make_recording(
        synthcell.constant_cell(500.0, "model2", **TRUTH),
        model="model2",
        capacity_mAh=500.0,
        pulse_current_A=-1.0,
        pulse_s=60.0,
        rest_s=rest_s,
        initial_rest_s=5.0,
        dt=1.0,
        low_cutoff=3.0,
        method="exact",
        seed=seed,
    )
    return df.rename(columns={**EXPORT_NAMES, "Temperature(C)": "Temperature [degC]"})


@pytest.fixture(scope="module")
def from_full(tmp_path_factory):
    df = pulses_from_full()
    d = tmp_path_factory.mktemp("full")
    # no rest before the first pulse: the first sample is the top of the OCV, at rest, then the load
    first = int(np.flatnonzero(df["Current [A]"].to_numpy() != 0)[0])
    path = d / "pulses_25degC.csv"
    df.iloc[first - 1 :].to_csv(path, index=False)
    return {"path": str(path), "df": df.iloc[first - 1 :].reset_index(drop=True)}


class TestHeldAtTheLimit:
    def test_the_count_of_a_cold_hppc_slice_is_the_independent_one(self):
        # four blocks at -20 C near full charge: every charge pulse meets 4.2 V and the cycler lowers its
        # current sample by sample; pandas counts the loaded stretches on its own
        want = count_pulses(LG_SLICE)
        ex = ecm.extract([LG_SLICE], reading="steps")
        p = ex.recordings[0].pulses
        assert (p["direction"] == "discharge").sum() == want["discharge"] == 4
        assert (p["direction"] == "charge").sum() == want["charge"] == 4
        assert (p["status"] == "fitted").all(), list(p["status"])
        assert ex.recordings[0].temperature == pytest.approx(-19.8, abs=0.5)  # the case temperature column
        # each charge pulse is one step from its first loaded sample to its last
        d = pd.read_csv(LG_SLICE)
        d = d[~d["Time [s]"].round(3).duplicated()]  # a repeated time stamp: the later sample is dropped
        t, i = d["Time [s]"].round(3).to_numpy(), d["Current [A]"].to_numpy()
        for _, row in p[p["direction"] == "charge"].iterrows():
            loaded = t[(t > row["t_start"] + 1e-6) & (t <= row["t_end"] + 1e-6)]
            assert np.all(i[np.isin(t, loaded)] > 0) and len(loaded) >= 3
            after = t[t > row["t_end"] + 1e-6][0]
            assert i[t == after][0] == 0.0

    def test_a_given_rms_limit_is_the_limit_alone(self):
        # by default a cold window may leave 2 % of its voltage swing; a given limit applies as it is
        ex = ecm.extract([LG_SLICE], reading="steps", rms_limit_mV=1.0)
        st = ex.recordings[0].pulses["status"]
        assert st.str.contains("mV above 1 mV").any()


class TestCutoffsFromTheData:
    def test_lowest_under_load_and_the_top_of_the_recording(self, from_full):
        ex = ecm.extract([from_full["path"]])
        df = from_full["df"]
        v, i = df["Voltage [V]"].to_numpy(), df["Current [A]"].to_numpy()
        # NumPy: the lowest voltage while loaded, floored to the millivolt; no charge: the highest sample
        assert ex.low_cutoff == pytest.approx(np.floor(v[i != 0].min() * 1000 + 1e-6) / 1000, abs=1e-12)
        assert ex.high_cutoff == pytest.approx(np.ceil(v.max() * 1000 - 1e-6) / 1000, abs=1e-12)
        assert "under load" in ex.cutoff_sources["low"] and "pulses_25degC.csv" in ex.cutoff_sources["low"]
        assert "of the recording (row 1)" in ex.cutoff_sources["high"]
        assert ex.to_dict()["cutoff_sources"] == ex.cutoff_sources
        # the whole recording is kept: nothing lies below a cut-off taken from its own minimum
        assert ex.recordings[0].samples == len(df)

    def test_given_values_win(self, from_full):
        ex = ecm.extract([from_full["path"]], low_cutoff=3.05, high_cutoff=4.3)
        assert (ex.low_cutoff, ex.high_cutoff) == (3.05, 4.3)
        assert ex.cutoff_sources == {"low": "given", "high": "given"}
        one = ecm.extract([from_full["path"]], high_cutoff=4.3)
        assert one.high_cutoff == 4.3 and one.cutoff_sources["high"] == "given"
        assert "under load" in one.cutoff_sources["low"]

    def test_classic_recordings_still_need_them(self, tmp_path, battery_folder):
        with pytest.raises(ecm.UsageError, match="--low-cutoff"):
            ecm.extract(str(battery_folder.folder))
        bare = tmp_path / "bare"
        shutil.copytree(battery_folder.folder, bare)
        (tmp_path / "empty").mkdir()
        proc = ecm_cli("fit", bare, cwd=tmp_path / "empty")
        assert proc.returncode == 2 and "--low-cutoff" in proc.stderr and "Traceback" not in proc.stderr


class TestFromFullChargeUnderLoad:
    def test_pulses_only_give_the_cell(self, from_full):
        # synthcell drives the cell linearly between the sampled currents: the edges timed so
        ex = ecm.extract([from_full["path"]], model="2rc", edge_timing="linear")
        rec = ex.recordings[0]
        p = rec.pulses
        # every pulse is fitted, the first on the level of the one sample before it (the top of the OCV)
        assert (p["status"] == "fitted").all(), list(p["status"])
        assert p["R0"].iloc[0] == pytest.approx(TRUTH["r0"], rel=0.01)
        assert rec.medians["R0"] == pytest.approx(TRUTH["r0"], rel=0.01)
        assert rec.medians["R1"] == pytest.approx(TRUTH["r1"], rel=0.05)
        assert rec.medians["C1"] == pytest.approx(TRUTH["tau1"] / TRUTH["r1"], rel=0.05)
        # the charge from the first sample to the cut-off: the current integrated by NumPy
        df = from_full["df"]
        t, i = df["Time [s]"].to_numpy(), df["Current [A]"].to_numpy()
        linear = -np.sum(0.5 * (i[1:] + i[:-1]) * np.diff(t)) / 3600.0  # linear between samples, as timed
        assert rec.charge_Ah == pytest.approx(linear, rel=1e-9)
        assert any("no full-charge rest" in w for w in rec.warnings)


@pytest.fixture()
def export_cell(tmp_path, from_full):
    cell = tmp_path / "cell"
    cell.mkdir()
    shutil.copy(from_full["path"], cell / "pulses_25degC.csv")
    return cell


class TestOneOcvRest:
    def test_a_pulse_between_two_cc_cycles_fits_on_a_flat_ocv(self, tmp_path):
        # a 10 s rest still relaxing from a charge (so no OCV point), a 10 s pulse of 2 A, a 300 s
        # rest, then a slow discharge: one OCV rest
        t = np.concatenate((np.arange(0.0, 10.0, 0.5), 9.5 + np.arange(1, 11), 19.5 + np.arange(1, 301)))
        t = np.concatenate((t, t[-1] + np.arange(1, 3001) * 10.0))
        i = np.concatenate((np.zeros(20), np.full(10, -2.0), np.zeros(300), np.full(3000, -0.15)))
        # the cell: OCV 3.3 + 0.8 SOC, R0 50 mOhm and one 5 s branch of 20 mOhm, exact for held currents
        soc, u, v = 0.9, 0.01, []
        for k in range(len(t)):
            h = t[k] - t[k - 1] if k else 0.0
            soc += i[k] * h / 3600.0 / 1.0
            u = u * np.exp(-h / 5.0) + 0.02 * i[k] * (1 - np.exp(-h / 5.0))
            v.append(3.3 + 0.8 * soc + 0.05 * i[k] + u)
        path = tmp_path / "one_rest_25degC.csv"
        pd.DataFrame({"Time [s]": t, "Current [A]": i, "Voltage [V]": v}).to_csv(path, index=False)
        ex = ecm.extract([str(path)], model="1rc", min_rest_s=200.0)
        rec = ex.recordings[0]
        p = rec.pulses
        assert list(p["status"]) == ["fitted"]
        assert p["R0"].iloc[0] == pytest.approx(0.05, rel=0.02)
        assert p["R1"].iloc[0] == pytest.approx(0.02, rel=0.05) and p["tau1"].iloc[0] == pytest.approx(5.0, rel=0.05)
        assert any("one OCV rest" in w for w in rec.warnings)
        assert np.ptp(rec.ocv["ocv"].to_numpy()) == 0.0  # flat, as the warning says


class TestResultsFolders:
    def test_fit_writes_its_settings_and_says_where_the_cutoffs_came_from(self, export_cell):
        proc = ecm_cli("fit", export_cell, "--min-rest", 500)
        assert proc.returncode == 0, proc.stderr
        assert "cut-offs from the data: low from the lowest voltage under load" in proc.stdout
        doc = json.loads((export_cell / "results" / "fit_settings.json").read_text())
        assert doc["folder"] == str(export_cell.resolve())
        assert doc["settings"]["min_rest_s"] == 500 and doc["settings"]["low_cutoff"] is None
        assert doc["recordings"] == [str((export_cell / "pulses_25degC.csv").resolve())]
        assert "under load" in doc["cutoff_sources"]["low"]
        model = json.loads((export_cell / "results" / "battery_model.json").read_text())
        assert model  # written with the data's cut-offs

    def test_report_of_a_results_folder_fits_as_the_fit_did(self, export_cell):
        pytest.importorskip("matplotlib")
        assert ecm_cli("fit", export_cell, "--min-rest", 500, "-q").returncode == 0
        results = export_cell / "results"
        proc = ecm_cli("report", results)
        assert proc.returncode == 0, proc.stderr
        assert (results / "report.html").is_file()
        # an option given to the report replaces the saved one; the saved ones stay
        proc = ecm_cli("report", results, "--rms-limit", 0.001, "--out", export_cell / "strict.html")
        assert proc.returncode == 0, proc.stderr
        html = (export_cell / "strict.html").read_text()
        assert "above 0.001 mV" in html
        # results written before the settings were kept: the folder holding them is the battery folder
        (results / "fit_settings.json").unlink()
        (results / "report.html").unlink()
        proc = ecm_cli("report", results)
        assert proc.returncode == 0, proc.stderr
        assert (results / "report.html").is_file()

    def test_report_names_recordings_that_moved(self, export_cell, tmp_path):
        pytest.importorskip("matplotlib")
        assert ecm_cli("fit", export_cell, "-q").returncode == 0
        moved = tmp_path / "moved"
        shutil.move(str(export_cell / "results"), moved)
        shutil.rmtree(export_cell)
        proc = ecm_cli("report", moved)
        assert proc.returncode == 2 and "fit_settings.json" in proc.stderr, proc.stderr
        assert "not there" in proc.stderr and str(export_cell) in proc.stderr

    def test_validate_reads_the_recording_as_the_fit_did(self, tmp_path, from_full):
        # an export whose columns only a column map names
        cell = tmp_path / "odd"
        cell.mkdir()
        df = pd.read_csv(from_full["path"]).rename(
            columns={"Time [s]": "tt", "Current [A]": "amps", "Voltage [V]": "volts", "Temperature [degC]": "T1"}
        )
        df.to_csv(cell / "odd_25degC.csv", index=False)
        cmap = "time=tt,current=amps,voltage=volts,temperature=T1"
        assert ecm_cli("fit", cell, "--columns", cmap, "-q").returncode == 0
        results = cell / "results"
        # the command and the API both take the column map from the results folder
        proc = ecm_cli("validate", results, cell / "odd_25degC.csv", "--json")
        assert proc.returncode == 0, proc.stderr
        assert json.loads(proc.stdout)["segments"]["overall"]["rms_mV"] < 5.0
        val = ecm.validate(results / "battery_model.json", cell / "odd_25degC.csv")
        assert val.rms_mV < 5.0
        # without the settings the file's columns are unknown
        (results / "fit_settings.json").unlink()
        proc = ecm_cli("validate", results, cell / "odd_25degC.csv")
        assert proc.returncode != 0 and "odd_25degC.csv" in proc.stderr


class TestBatchOfExportFolders:
    @pytest.fixture()
    def lab(self, tmp_path):
        pytest.importorskip("dask.distributed")
        root = tmp_path / "lab"
        for k, seed in enumerate((1, 2)):
            cell = root / f"cell{k}"
            cell.mkdir(parents=True)
            df = pulses_from_full(seed=seed)
            df.rename(columns={"Temperature [degC]": "T1"}).to_csv(cell / f"c{k}_25degC.csv", index=False)
            (cell / "ecm.json").write_text(json.dumps({"min-rest": 500, "model": "1rc", "high_cutoff": 4.3}))
        bad = root / "broken"
        bad.mkdir()
        (bad / "b_25degC.csv").write_text("Time [s],Current [A],Voltage [V]\n0,0,3.7\n1,0,3.7\n")
        return root

    def test_cells_with_their_settings_and_a_broken_one(self, lab):
        from ecm.batch import find_cells, run_batch

        assert [os.path.basename(c) for c in find_cells(str(lab))] == ["broken", "cell0", "cell1"]
        res = run_batch(str(lab), workers=1)
        status = {os.path.basename(r["cell"]): r["status"] for r in res.records}
        assert status == {"broken": "failed", "cell0": "fitted", "cell1": "fitted"}
        assert "b_25degC.csv" in res.failed[0]["error"]
        for k in (0, 1):
            cell = lab / f"cell{k}"
            saved = json.loads((cell / "results" / "fit_settings.json").read_text())["settings"]
            assert saved["min_rest_s"] == 500 and saved["model"] == "1rc" and saved["high_cutoff"] == 4.3
            # the same files as extract() with those settings writes
            ex = ecm.extract(str(cell), min_rest_s=500, model="1rc", high_cutoff=4.3)
            assert len(ex.recordings[0].pulses) == res.records[k + 1]["rows"][0]["pulses"]
            assert json.loads((cell / "results" / "battery_model.json").read_text()) == ex.model

    def test_an_unknown_key_names_the_file(self, lab):
        from ecm.batch import run_batch

        (lab / "cell1" / "ecm.json").write_text(json.dumps({"low_cutof": 3.0}))
        res = run_batch(str(lab), workers=1)
        failed = {os.path.basename(r["cell"]): r["error"] for r in res.failed}
        assert "ecm.json" in failed["cell1"] and "'low_cutof'" in failed["cell1"]

    def test_strict_stops_with_exit_1(self, lab):
        proc = ecm_cli("batch", lab, "--workers", 1, "--strict")
        assert proc.returncode == 1 and "b_25degC.csv" in proc.stdout + proc.stderr

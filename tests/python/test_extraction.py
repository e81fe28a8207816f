"""Whole extraction runs compared with the independent NumPy/SciPy reference and
with the known parameters of synthetic cells."""

import json
import os

import numpy as np
import pandas as pd
import pytest
import reference
from runner import run_ecmfit

DETECTION = [
    "counts",
    "bins",
    "iload_ix",
    "iload_th",
    "idx_rest",
    "idx_load",
    "soc",
    "vsoc",
    "SOC",
    "OCV_3rd",
    "ind_all",
    "vsoc_time",
    "vsoc_val",
    "vsoc_val_itrp",
    "ocv_diff",
    "ind_slice",
]


def run_and_reference(bf, dump=()):
    run = run_ecmfit(
        bf.root, dump=["infiles", "results", "df_results", "opt_median", "opt_avg"] + DETECTION + list(dump)
    )
    assert run.returncode == 0, run.stderr[-3000:]
    refs, warm = [], None
    for path in run.values["infiles"]:
        r = reference.extract(str(path), bf.vcut, bf.model, warm)
        warm = r["fit"]["warm"]
        refs.append(r)
    return run, refs


def fitted(results):
    return np.array([list(row[3]) for row in results], dtype=float)


class TestAgainstReference:
    def test_model2_two_recordings(self, make_battery_folder):
        bf = make_battery_folder(temperatures=(25, 0), model="model2")
        run, refs = run_and_reference(bf)
        last = refs[-1]

        # detection of the last recording
        for key in ["counts", "idx_rest", "idx_load", "ind_all", "ind_slice"]:
            np.testing.assert_array_equal(run.values[key], last["det"][key], err_msg=key)
        assert run.values["iload_ix"] == last["det"]["iload_ix"]
        np.testing.assert_array_equal(run.values["bins"], last["det"]["bins"])
        for key in ["soc", "vsoc", "vsoc_time", "vsoc_val", "vsoc_val_itrp", "ocv_diff", "SOC"]:
            np.testing.assert_allclose(run.values[key], last["det"][key], rtol=1e-12, atol=1e-12, err_msg=key)
        np.testing.assert_allclose(run.values["OCV_3rd"], last["det"]["OCV_3rd"], rtol=0, atol=1e-9)

        # one row per cycle; the first pass is well determined and agrees within the tolerances
        ours, ref = fitted(run.values["results"]), fitted(last["fit"]["results"])
        assert ours.shape == ref.shape == (last["fit"]["n_cycles"], 5)
        # A pulse that leaves the first branch undetermined sends it towards a bound,
        # where the two solvers may stop at different points of a flat valley
        # (the cost there is compared through the second pass below).
        both = np.concatenate([ours[:, :3], ref[:, :3]], axis=1)
        determined = np.all((both > 1.1e-4) & (both < 0.9 * 50000), axis=1)
        assert determined.sum() >= len(ours) - 2
        np.testing.assert_allclose(ours[determined, :3], ref[determined, :3], rtol=1e-4)
        # the second pass ends where SciPy does, or at an equal or lower cost
        ours_rms = np.array([row[0] for row in run.values["results"]])
        ref_rms = np.array([row[0] for row in last["fit"]["results"]])
        assert np.all(ours_rms <= ref_rms * (1 + 1e-6) + 1e-9)
        batt = np.array([row[5] for row in run.values["results"]])
        np.testing.assert_allclose(batt, [row[5] for row in last["fit"]["results"]], rtol=1e-14)

        # the warm start carries across recordings: one "Starting with init values" in the run
        assert run.records().count("Starting with init values") == 1
        assert run.records().count("\nInitial value search...") == 16

        # the parameter files: every entry but the medians of the weakly determined second branch equal
        for path, r in zip(run.values["infiles"], refs):
            name = os.path.basename(str(path))[:-4]
            got = json.loads((bf.folder / "results" / f"{name}_params.json").read_text())
            want = json.loads(r["params_json"])
            assert got["TempC"] == want["TempC"]
            assert got["Tparam_1"] == pytest.approx(want["Tparam_1"], rel=1e-14)
            np.testing.assert_allclose(got["Tparam_2"][:3], want["Tparam_2"][:3], rtol=1e-4)
            assert got["Tparam_3"][0] == want["Tparam_3"][0]
            np.testing.assert_allclose(got["Tparam_3"][1], want["Tparam_3"][1], atol=1e-9)
            ocv_text = (bf.folder / "results" / f"{name}_ocv.csv").read_text()
            ours_tab = np.loadtxt(ocv_text.splitlines(), delimiter=",")
            ref_tab = np.loadtxt(r["ocv_csv"].splitlines(), delimiter=",")
            assert ocv_text.splitlines()[0] == r["ocv_csv"].splitlines()[0] == "# SOC,OCV"
            assert len(ocv_text.splitlines()) == 202 and ocv_text.endswith("\n")
            np.testing.assert_allclose(ours_tab, ref_tab, atol=1e-9)

    def test_model1_result_table(self, make_battery_folder):
        bf = make_battery_folder(temperatures=(10,), model="model1", varying=False)
        run, refs = run_and_reference(bf)
        ref = refs[0]
        ours, want = fitted(run.values["results"]), fitted(ref["fit"]["results"])
        np.testing.assert_allclose(ours, want, rtol=1e-4)
        assert run.stdout.startswith(f"Total cycles = {ref['fit']['n_cycles']}\n")
        # rows: the pulses, then "Mean" and "Median"; the two text columns hold objects
        df = run.values["df_results"]
        n = len(ours)
        assert list(df.columns) == ["OCV level", "R0 (Ohm)", "R1 (Ohm)", "C1 (F)", "RMS error (mV)"]
        assert list(df.index) == list(range(n + 2))
        assert df.loc[n, "OCV level"] == "Mean" and df.loc[n + 1, "OCV level"] == "Median"
        assert df.loc[n, "RMS error (mV)"] == "" == df.loc[n + 1, "RMS error (mV)"]
        np.testing.assert_allclose(df.iloc[n, 1:4].astype(float), ours.mean(axis=0), rtol=1e-14)
        np.testing.assert_allclose(df.iloc[n + 1, 1:4].astype(float), np.median(ours, axis=0), rtol=1e-14)
        np.testing.assert_allclose(
            df["RMS error (mV)"][:n].astype(float), [row[0] * 1000 for row in run.values["results"]], rtol=1e-15
        )
        pd.testing.assert_series_equal(
            run.values["opt_median"],
            pd.Series(np.median(ours, axis=0), index=["R0 (Ohm)", "R1 (Ohm)", "C1 (F)"]),
            rtol=1e-14,
        )
        got = json.loads(next((bf.folder / "results").glob("*_params.json")).read_text())
        np.testing.assert_allclose(got["Tparam_2"], np.median(ours, axis=0), rtol=1e-14)
        assert len(got["Tparam_2"]) == 3


class TestRecovery:
    def test_noise_free_one_branch_cell(self, make_battery_folder):
        bf = make_battery_folder(model="model1", varying=False)
        run = run_ecmfit(bf.root, dump=["opt_median"])
        assert run.returncode == 0, run.stderr[-3000:]
        truth = next(iter(bf.truth_data.values()))
        r0, r1, c1 = run.values["opt_median"].to_numpy()
        assert r0 == pytest.approx(truth["r0_ohm"], rel=0.01)
        assert r1 == pytest.approx(truth["r1_ohm"], rel=0.01)
        assert r1 * c1 == pytest.approx(truth["tau1_s"], rel=0.03)


class TestPulseFailures:
    def run_table(self, tmp_path, df):
        from runner import write_config

        raw = tmp_path / "db" / "cellA" / "raw_data"
        raw.mkdir(parents=True)
        df.to_csv(raw / "cellA_100mAh_Tp25.csv", index=False)
        write_config(tmp_path, str(tmp_path / "db") + "/", "cellA")
        run = run_ecmfit(tmp_path)
        assert run.returncode == 1
        assert os.listdir(tmp_path / "db" / "cellA" / "results") == []
        last = run.stderr.strip().splitlines()[-1]
        assert last.startswith("ValueError") and "cellA_100mAh_Tp25.csv" in last
        return last

    def test_fewer_than_four_rests(self, tmp_path):
        from runner import pulse_table

        assert "four" in self.run_table(tmp_path, pulse_table(n_pulses=2))

    def test_rest_ending_within_the_first_samples(self, tmp_path):
        from runner import pulse_table

        df = pulse_table(n_pulses=8).iloc[38:].reset_index(drop=True)  # the first rest ends at sample 1
        self.run_table(tmp_path, df)

    def test_recording_that_starts_with_a_load(self, tmp_path):
        from runner import pulse_table

        df = pulse_table(n_pulses=8).iloc[45:].reset_index(drop=True)
        self.run_table(tmp_path, df)


class TestResultFiles:
    def test_texts_and_paths_in_a_folder_whose_path_holds_raw_data_and_csv(self, tmp_path):
        import io

        from runner import pulse_table, write_config

        db = tmp_path / "raw_data_2024" / "x.csv.d"
        raw = db / "cellA" / "raw_data"
        raw.mkdir(parents=True)
        pulse_table(n_pulses=9).to_csv(raw / "cellA_100mAh_Tp25.csv", index=False)
        write_config(tmp_path, str(db) + "/", "cellA", model="model1")
        run = run_ecmfit(tmp_path, dump=["bat_params_file", "ocv_file", "bat_params", "SOC", "OCV_3rd"])
        assert run.returncode == 0, run.stderr[-3000:]
        results = db / "cellA" / "results"
        params_path = results / "cellA_100mAh_Tp25_params.json"
        ocv_path = results / "cellA_100mAh_Tp25_ocv.csv"
        assert run.values["bat_params_file"] == str(params_path)
        assert run.values["ocv_file"] == str(ocv_path)
        assert f"INFO:file {params_path} written" in run.log
        assert f"INFO:Saved file {ocv_path}" in run.log
        assert sorted(p.name for p in results.iterdir()) == sorted(
            [params_path.name, ocv_path.name, "battery_model.json"]
        )

        # the parameter file is json.dumps of bat_params, with nothing around it
        text = params_path.read_text()
        assert text == json.dumps(run.values["bat_params"]) == json.dumps(json.loads(text))
        assert list(json.loads(text)) == ["TempC", "Tparam_1", "Tparam_2", "Tparam_3"]
        assert text.startswith('{"TempC": 25, "Tparam_1": ')
        # the OCV table is numpy.savetxt's text of the same numbers
        buf = io.StringIO()
        np.savetxt(
            buf, np.transpose(np.vstack([run.values["SOC"], run.values["OCV_3rd"]])), header="SOC,OCV", delimiter=","
        )
        assert ocv_path.read_text() == buf.getvalue()

    def test_rerun_replaces_the_files_and_leaves_no_temporaries(self, tmp_path):
        from runner import pulse_table, write_config

        raw = tmp_path / "db" / "cellA" / "raw_data"
        raw.mkdir(parents=True)
        pulse_table(n_pulses=9).to_csv(raw / "cellA_100mAh_Tp25.csv", index=False)
        write_config(tmp_path, str(tmp_path / "db") + "/", "cellA", model="model2")
        assert run_ecmfit(tmp_path).returncode == 0
        results = tmp_path / "db" / "cellA" / "results"
        first = json.loads((results / "cellA_100mAh_Tp25_params.json").read_text())
        write_config(tmp_path, str(tmp_path / "db") + "/", "cellA", model="model1")
        assert run_ecmfit(tmp_path).returncode == 0
        second = json.loads((results / "cellA_100mAh_Tp25_params.json").read_text())
        assert len(first["Tparam_2"]) == 5 and len(second["Tparam_2"]) == 3
        assert sorted(os.listdir(results)) == [
            "battery_model.json",
            "cellA_100mAh_Tp25_ocv.csv",
            "cellA_100mAh_Tp25_params.json",
        ]

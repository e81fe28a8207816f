"""The joint method against synthetic cells with known parameters: recovery of
R0 and both branches, the relaxation-corrected OCV, the flags for time
constants a cycle cannot determine, and the SOC x temperature tables."""

import json
import os

import numpy as np
import pandas as pd
import pytest
import synthcell

import ecm

# A cell whose parameters are constant, simulated exactly: 500 mAh, 2 A pulses
# of 60 s, rests long enough for tau2 = 600 s (1800 s), 1 s sampling.
LONG_RESTS = dict(
    capacity_mAh=500.0, pulse_current_A=-2.0, pulse_s=60.0, rest_s=1800.0, initial_rest_s=60.0, dt=1.0, varying=False
)


def truth_of(bf):
    return next(iter(bf.truth_data.values()))


def true_ocv(truth, rec):
    """The cell's OCV at our relaxed points (our SOC counts the charge to the cut-off)."""
    q_mAh = (rec.relaxed["soc"].to_numpy() - 1.0) * rec.charge_Ah * 1000.0
    soc = 1.0 + q_mAh / truth["capacity_mAh"]
    return synthcell.default_ocv(soc, truth["temperature_C"])


class TestRecovery:
    def test_two_branches_noise_free(self, make_battery_folder):
        bf = make_battery_folder(model="model2", **LONG_RESTS)
        truth = truth_of(bf)
        joint = ecm.extract(bf.recordings, model="2rc", low_cutoff=3.0, high_cutoff=4.2, method="joint")
        pulse = ecm.extract(bf.recordings, model="2rc", low_cutoff=3.0, high_cutoff=4.2, method="pulse")
        rec, two_pass = joint.recordings[0], pulse.recordings[0]
        assert rec.pulses["tau1_determined"].all() and rec.pulses["tau2_determined"].all()
        assert (rec.pulses["status"] == "fitted").all()
        for name, key in [("R0", "r0_ohm"), ("R1", "r1_ohm"), ("tau1", "tau1_s"), ("R2", "r2_ohm"), ("tau2", "tau2_s")]:
            err = np.abs(rec.pulses[name] / truth[key] - 1)
            assert np.median(err) < 0.01, (name, err)
            # far better than the two-pass method, whose bias is known
            two_pass_err = np.abs(np.median(two_pass.pulses[name]) / truth[key] - 1)
            assert np.median(err) <= two_pass_err + 1e-3, name
        np.testing.assert_allclose(rec.pulses["C2"], rec.pulses["tau2"] / rec.pulses["R2"], rtol=1e-12)
        # the relaxed points after the first, corrected for what the branches still hold
        ocv_err = (rec.relaxed["ocv"] - true_ocv(truth, rec))[1:]
        assert np.median(np.abs(ocv_err)) < 0.05e-3
        raw_err = (rec.relaxed["measured"] - true_ocv(truth, rec))[1:]
        assert np.median(np.abs(raw_err)) > 5 * np.median(np.abs(ocv_err))
        # the parameter file's medians come from the joint fits
        params = rec.param_record()
        assert params["Tparam_2"] == pytest.approx(list(rec.medians.values()), rel=1e-15)
        assert params["Tparam_2"][0] == pytest.approx(truth["r0_ohm"], rel=0.01)

    def test_one_branch_with_noise(self, make_battery_folder):
        bf = make_battery_folder(model="model1", voltage_noise_V=0.0005, current_noise_A=0.001, **LONG_RESTS)
        truth = truth_of(bf)
        ex = ecm.extract(bf.recordings, model="1rc", low_cutoff=3.0, high_cutoff=4.2, method="joint")
        p = ex.recordings[0].pulses
        assert list(p.columns[:10]) == [
            "cycle",
            "t_start",
            "t_end",
            "soc",
            "soc_end",
            "current",
            "R0",
            "R1",
            "C1",
            "tau1",
        ]
        assert (p["soc_end"] < p["soc"]).all()  # a discharge pulse ends below its middle
        for name, key in [("R0", "r0_ohm"), ("R1", "r1_ohm"), ("tau1", "tau1_s")]:
            assert np.median(p[name]) == pytest.approx(truth[key], rel=0.02), name
        assert p["rms_mV"].median() == pytest.approx(0.5, rel=0.15)  # the noise, over the whole cycle


class TestSocAttribution:
    def test_branches_belong_to_the_pulse_end(self, make_battery_folder):
        # A cell whose R0, R1 and tau1 vary with SOC: over a pulse several times longer than tau1
        # that moves the SOC by 10 %, the branch relaxes from the state at the pulse's end; its
        # fitted R and tau are close to the cell's values there. R0's change over so long a pulse is
        # fitted along, so the recording is reproduced to a small fraction of a millivolt; the
        # branch's state then lags the pulse's end by about its time constant, which puts R1 between
        # the values at the middle and at the end.
        bf = make_battery_folder(model="model1", **dict(LONG_RESTS, varying=True, capacity_mAh=1000.0, pulse_s=180.0))
        truth = truth_of(bf)
        ex = ecm.extract(bf.recordings, model="1rc", low_cutoff=3.0, high_cutoff=4.2, method="joint")
        p = ex.recordings[0].pulses
        grid = truth["params"]
        err = {}
        for where in ("soc_end", "soc"):
            true = np.interp(p[where], grid["soc_grid"], grid["r1_ohm"])
            err[where] = np.median(np.abs(p["R1"] / true - 1))
        assert err["soc_end"] < 0.015 and err["soc"] < 0.015
        true_tau = np.interp(p["soc_end"], grid["soc_grid"], grid["tau1_s"])
        assert np.median(np.abs(p["tau1"] / true_tau - 1)) < 0.01
        assert p["rms_mV"].median() < 0.05


class TestIdentifiability:
    def test_the_data_decide_whether_the_slow_branch_is_determined(self, make_battery_folder, tmp_path):
        bf = make_battery_folder(
            model="model2",
            capacity_mAh=500.0,
            pulse_current_A=-2.0,
            pulse_s=60.0,
            rest_s=600.0,
            initial_rest_s=60.0,
            dt=1.0,
            varying=False,
        )
        ex = ecm.extract(bf.recordings, model="2rc", low_cutoff=3.0, high_cutoff=4.2, method="joint")
        rec = ex.recordings[0]
        truth = truth_of(bf)
        # tau2 = 600 s seen through 600 s rests: the relaxation pins it (its standard error is small),
        # and the fits agree with the truth
        p = rec.pulses[rec.pulses["tau2_determined"]]
        assert len(p) >= 0.8 * len(rec.pulses)
        assert (p["tau2_se"] < 0.25 * p["tau2"]).all()
        assert float(np.median(p["tau2"])) == pytest.approx(truth["tau2_s"], rel=0.03)
        assert rec.medians["R1"] == pytest.approx(truth["r1_ohm"], rel=0.05)

        # a branch ten times slower than the rests: not pinned, flagged, never a bound value in disguise
        cell = synthcell.constant_cell(capacity_mAh=500.0, model="model2", tau2=6000.0)
        df = synthcell.make_step_recording(
            cell,
            25.0,
            pulse_current_A=-2.0,
            pulse_s=60.0,
            rest_s=600.0,
            initial_rest_s=60.0,
            cycles=10,
            voltage_noise_V=3e-4,
        )
        path = str(tmp_path / "slow_500mAh_Tp25.csv")
        synthcell.write_recording_csv(df, path)
        rec = ecm.extract([path], model="2rc", low_cutoff=3.0, high_cutoff=4.2, method="joint").recordings[0]
        q = rec.pulses.iloc[:-1]
        # no pulse claims the slow branch: every time constant it calls determined is a fast one, and
        # at most one branch per pulse is (the fit sees one)
        for b in ("1", "2"):
            assert (q.loc[q["tau" + b + "_determined"], "tau" + b] < 100.0).all()
        assert ((q["tau1_determined"].astype(int) + q["tau2_determined"].astype(int)) <= 1).all()
        assert any("is not determined in" in w for w in rec.warnings)
        # the files hold numbers, not NaN
        assert all(np.isfinite(rec.param_record()["Tparam_2"]))


class TestTables:
    def test_tables_interpolate_between_pulses_and_hold_flat(self, make_battery_folder, tmp_path):
        bf = make_battery_folder(model="model2", temperatures=(25, 0), **LONG_RESTS)
        ex = ecm.extract(str(bf.folder), model="2rc", low_cutoff=3.0, high_cutoff=4.2, method="joint")
        written = ex.write(tmp_path / "out")
        names = sorted(os.listdir(tmp_path / "out"))
        assert "battery_model_tables.json" in names and "battery_model_table_tau2.csv" in names
        assert len(written["tables"]) == 1 + 7 + 7  # the quantities and their standard errors
        tabs = json.loads((tmp_path / "out" / "battery_model_tables.json").read_text())
        assert tabs["temperatures"] == [0, 25] and tabs["method"] == "joint"
        grid = np.asarray(tabs["soc"])
        assert grid[0] == 0.0 and grid[-1] == 1.0 and len(grid) == 21
        for k, temp in enumerate(tabs["temperatures"]):
            rec = next(r for r in ex.recordings if r.temperature == temp)
            p = rec.pulses.sort_values("soc")
            for name in ("R0", "R1", "tau2", "C2"):
                # R0 at the pulses' middles, the branches at their ends; numpy.interp: flat beyond the ends
                want = np.interp(grid, p["soc" if name == "R0" else "soc_end"], p[name])
                np.testing.assert_allclose(tabs[name][k], want, rtol=1e-12, err_msg=name)
            assert tabs["ocv"]["ocv"][k] == pytest.approx(list(rec.ocv["ocv"]), rel=1e-15)
        csv = pd.read_csv(tmp_path / "out" / "battery_model_table_R0.csv")
        assert list(csv.columns) == ["soc", "0C", "25C"]
        np.testing.assert_allclose(csv["25C"], tabs["R0"][1], rtol=1e-15)

    def test_undetermined_values_are_left_out_of_the_tables(self, tmp_path):
        # a second branch ten times slower than the rests: no pulse pins it
        cell = synthcell.constant_cell(capacity_mAh=500.0, model="model2", tau2=6000.0)
        df = synthcell.make_step_recording(
            cell,
            25.0,
            pulse_current_A=-2.0,
            pulse_s=60.0,
            rest_s=600.0,
            initial_rest_s=60.0,
            cycles=10,
            voltage_noise_V=3e-4,
        )
        path = str(tmp_path / "slow_500mAh_Tp25.csv")
        synthcell.write_recording_csv(df, path)
        ex = ecm.extract([path], model="2rc", low_cutoff=3.0, high_cutoff=4.2, method="joint")
        tabs = ex.tables()
        # JSON-ready (null where nothing is determined); no value the rests cannot tell
        values = [v for row in tabs["tau2"] for v in row] + [v for row in tabs["tau1"] for v in row]
        assert all(v is None or (np.isfinite(v) and v < 100.0) for v in values)

    def test_pulse_method_writes_no_tables(self, battery_folder, tmp_path):
        ex = ecm.extract(str(battery_folder.folder), low_cutoff=3.0, high_cutoff=4.2, method="pulse")
        ex.write(tmp_path / "o")
        assert not [n for n in os.listdir(tmp_path / "o") if "tables" in n or "table_" in n]

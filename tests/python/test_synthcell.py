"""The synthetic cell generator against closed-form truth, and the reference
extraction used by other tests against the generator's known parameters."""

import json
import math
import os

import numpy as np
import pandas as pd
import pytest
import reference
import synthcell
from conftest import SMALL_PROTOCOL

R0, R1, TAU1 = 0.04, 0.02, 30.0


def one_branch_cell(capacity_mAh=500.0):
    return synthcell.constant_cell(capacity_mAh, model="model1", r0=R0, r1=R1, tau1=TAU1)


class TestClosedForm:
    """A constant-parameter one-branch cell: the solve_ivp recording equals the
    analytic response of OCV(SOC) + R0 i + RC branch to the sampled current."""

    @pytest.fixture(scope="class")
    def rec(self):
        cell = one_branch_cell()
        df, truth = synthcell.make_recording(cell, 25.0, method="ivp", temperature_column=False, **_protocol())
        return cell, df, truth

    def test_first_pulse_and_rest(self, rec):
        cell, df, truth = rec
        t = df["Seconds"].to_numpy()
        i = df["Current(A)"].to_numpy()
        v = df["Voltage(V)"].to_numpy()
        q_as = cell.capacity_mAh * 3.6
        current = SMALL_PROTOCOL["pulse_current_A"]
        t_on = SMALL_PROTOCOL["initial_rest_s"]  # first load sample
        t_off = t_on + SMALL_PROTOCOL["pulse_s"]  # first rest sample after it
        # current ramps linearly from 0 at t_on-1 to I at t_on, and back from
        # I at t_off-1 to 0 at t_off
        ramp_end = R1 * current * (1.0 - TAU1 * (1.0 - math.exp(-1.0 / TAU1)))

        def branch(tt):
            if tt <= t_on - 1:
                return 0.0
            if tt <= t_off - 1:
                s = tt - t_on
                return R1 * current + (ramp_end - R1 * current) * math.exp(-s / TAU1)
            v_end = branch(t_off - 1)
            if tt >= t_off:
                # ramp down over one second: free decay of v_end plus the
                # response to a current falling linearly from I to 0
                a = math.exp(-1.0 / TAU1)
                v_ramp = v_end * a + R1 * current * (1.0 - a) - ramp_end
                return v_ramp * math.exp(-(tt - t_off) / TAU1)
            raise AssertionError

        def soc(tt):
            if tt <= t_on - 1:
                return 1.0
            if tt <= t_off - 1:
                return 1.0 + current * (tt - (t_on - 0.5)) / q_as
            return 1.0 + current * (t_off - t_on) / q_as

        sel = t <= t_off + SMALL_PROTOCOL["rest_s"] - 1
        expected = np.array([cell.ocv(soc(tt), 25.0) + R0 * ii + branch(tt) for tt, ii in zip(t[sel], i[sel])])
        np.testing.assert_allclose(v[sel], expected, rtol=0, atol=1e-9)
        # the pulse shows the instantaneous R0 step and the RC relaxation
        assert v[int(t_on)] < v[int(t_on) - 1] + R0 * current * 0.9

    def test_ivp_and_exact_agree_on_irregular_sampling(self):
        cell = synthcell.constant_cell(500.0, model="model2")
        kw = dict(_protocol(), jitter=0.4, seed=3, temperature_column=False)
        d_ivp, _ = synthcell.make_recording(cell, 10.0, method="ivp", **kw)
        d_ex, _ = synthcell.make_recording(cell, 10.0, method="exact", **kw)
        np.testing.assert_array_equal(d_ivp["Seconds"], d_ex["Seconds"])
        assert np.ptp(np.diff(d_ivp["Seconds"])) > 0.3
        np.testing.assert_allclose(d_ivp["Voltage(V)"], d_ex["Voltage(V)"], rtol=0, atol=1e-9)

    def test_exact_rejects_soc_dependent_cell(self):
        with pytest.raises(ValueError, match="exact"):
            synthcell.make_recording(synthcell.realistic_cell(500.0), method="exact", **_protocol())


def _protocol(**over):
    p = {k: v for k, v in SMALL_PROTOCOL.items() if k != "capacity_mAh"}
    p.update(over)
    return p


@pytest.mark.parametrize(
    "varying,model,noise", [(True, "model2", 0.0), (True, "model1", 0.002), (False, "model2", 0.001)]
)
@pytest.mark.parametrize("temp", [25.0, -10.0])
def test_protocol_crosses_cutoff_and_delivers_capacity(varying, model, noise, temp):
    cell = (
        synthcell.realistic_cell(500.0, model)
        if varying
        else synthcell.constant_cell(500.0, model, capacity_tempco=0.002)
    )
    df, truth = synthcell.make_recording(cell, temp, voltage_noise_V=noise, current_noise_A=noise, **_protocol())
    t = df["Seconds"].to_numpy()
    i = df["Current(A)"].to_numpy()
    v = df["Voltage(V)"].to_numpy()
    assert np.all(np.diff(t) > 0)
    below = np.nonzero(v < 3.0)[0]
    assert below.size and below[0] == truth["cutoff_index"]
    k = below[0]
    # the crossing happens under load in the last pulse, which is completed
    loads = np.nonzero(np.diff((i < -1.0).astype(int)) == 1)[0] + 1
    assert i[k] < -1.0 and k > loads[-1] and i[-1] < -1.0
    assert truth["n_pulses"] == len(loads)
    # every pulse before the last stays above the cut-off
    assert np.all(v[: loads[-1]] >= 3.0)
    # charge to the cut-off: the cell's capacity minus what is left in it
    cap = cell.capacity_at(temp)
    charge = abs(np.trapezoid(i[:k], t[:k]) if hasattr(np, "trapezoid") else np.trapz(i[:k], t[:k])) / 3.6
    assert charge == pytest.approx(cap, rel=0.05)
    assert truth["delivered_to_cutoff_mAh"] == pytest.approx(cap * (1.0 - truth["soc_at_cutoff"]), rel=1e-8)
    if noise == 0.0:
        assert charge == pytest.approx(truth["delivered_to_cutoff_mAh"], rel=1e-12)


def test_files_columns_and_names(tmp_path):
    out = synthcell.write_battery_folder(
        tmp_path,
        "cellB",
        500.0,
        temperatures=(25, 0, -10),
        model="model1",
        varying=False,
        no_temperature_column=(0,),
        **_protocol(),
    )
    names = sorted(os.listdir(out["raw_data"]))
    assert names == ["cellB_500mAh_Tn10.csv", "cellB_500mAh_Tp0.csv", "cellB_500mAh_Tp25.csv"]
    assert out["truth"] == os.path.join(str(tmp_path), "cellB", "truth.json")
    assert sorted(os.listdir(tmp_path / "cellB")) == ["raw_data", "truth.json"]
    expected_temp = {"cellB_500mAh_Tp25.csv": 25, "cellB_500mAh_Tp0.csv": 0, "cellB_500mAh_Tn10.csv": -10}
    for path in out["recordings"]:
        name = os.path.basename(path)
        with open(path) as fh:
            header = fh.readline().rstrip("\n")
            first = fh.readline()
        if name.endswith("Tp0.csv"):
            assert header == "Seconds,Current(A),Voltage(V)"
        else:
            assert header == "Seconds,Current(A),Voltage(V),Temperature(C)"
        assert ";" not in first and first.count(",") == header.count(",")
        df = pd.read_csv(path, header=0, delimiter=",", decimal=".")
        assert all(pd.api.types.is_numeric_dtype(df[c]) for c in df.columns)
        loaded = reference.load_and_trim(path, 3.0)
        assert loaded["temperature"] == expected_temp[name]
        assert loaded["temperature_source"] == ("name" if name.endswith("Tp0.csv") else "data")
        # the written text keeps the simulated values to ten significant digits
        again, _ = synthcell.make_recording(
            synthcell.constant_cell(500.0, "model1"),
            expected_temp[name],
            temperature_column=not name.endswith("Tp0.csv"),
            seed=out["recordings"].index(path),
            **_protocol(),
        )
        np.testing.assert_allclose(df["Voltage(V)"], again["Voltage(V)"], rtol=1e-9)
    with open(out["truth"]) as fh:
        truth = json.load(fh)
    assert set(truth["recordings"]) == set(names)
    assert truth["recordings"]["cellB_500mAh_Tp25.csv"]["r0_ohm"] == 0.04


def test_recording_name_rule():
    assert synthcell.recording_name("cellA", 2000, 25) == "cellA_2000mAh_Tp25.csv"
    assert synthcell.recording_name("cellA", 2000, -10) == "cellA_2000mAh_Tn10.csv"
    assert synthcell.recording_name("cellA", 800.0, 0) == "cellA_800mAh_Tp0.csv"


def test_ocv_is_realistic():
    soc = np.linspace(0.0, 1.0, 2001)
    for temp in (-20.0, 0.0, 25.0, 45.0):
        ocv = synthcell.default_ocv(soc, temp)
        assert np.all(np.diff(ocv) > 0)
        assert 2.98 < ocv[0] < 3.02 and 4.18 < ocv[-1] < 4.22
    assert np.all(np.diff(synthcell.default_ocv(np.linspace(-0.3, 0.0, 301))) > 0)


def test_cli_writes_folder_and_config(tmp_path, capsys):
    rc = synthcell.main(
        [
            str(tmp_path),
            "--cell",
            "c1",
            "--capacity",
            "300",
            "--temps",
            "25",
            "-5",
            "--model",
            "model1",
            "--pulse",
            "60",
            "--rest",
            "300",
            "--samples",
            "1500",
            "--no-temp-column",
            "-5",
        ]
    )
    assert rc == 0
    assert sorted(os.listdir(tmp_path / "c1" / "raw_data")) == ["c1_300mAh_Tn5.csv", "c1_300mAh_Tp25.csv"]
    with open(tmp_path / "input_params.json") as fh:
        cfg = json.load(fh)
    assert cfg == {
        "battery_database": "./",
        "battery_folder": "c1",
        "high_cutoff": 4.2,
        "low_cutoff": 3.0,
        "model": "model1",
    }
    df = pd.read_csv(tmp_path / "c1" / "raw_data" / "c1_300mAh_Tp25.csv")
    assert 1000 < len(df) < 2000


def test_fixture_writes_config_pointing_at_folder(make_battery_folder):
    for relative in (False, True):
        bf = make_battery_folder(temperatures=(25, -10), model="model1", relative=relative)
        cfg = bf.config
        workdir = cfg["battery_database"] + cfg["battery_folder"]
        base = bf.root if relative else "/"
        assert os.path.isdir(os.path.join(base, workdir, "raw_data"))
        assert len(bf.recordings) == 2 and all(os.path.exists(p) for p in bf.recordings)
        assert cfg["model"] == "model1" and bf.vcut == cfg["low_cutoff"] == 3.0


class TestReference:
    """The reference extraction that other tests compare against."""

    @pytest.mark.parametrize("irregular", [False, True])
    def test_simulate_step_response(self, irregular):
        rng = np.random.default_rng(1)
        h = np.full(400, 0.5) if not irregular else rng.uniform(0.2, 0.8, 400)
        t = 100.0 + np.concatenate(([0.0], np.cumsum(h)))
        x = np.full(len(t), -1.5)
        r0, r1, c1, r2, c2 = 0.05, 0.02, 1500.0, 0.03, 20000.0
        y = reference.simulate(t, x, r0, [(r1, c1), (r2, c2)])
        s = t - t[0]
        exact = -1.5 * (r0 + r1 * (1 - np.exp(-s / (r1 * c1))) + r2 * (1 - np.exp(-s / (r2 * c2))))
        np.testing.assert_allclose(y, exact, rtol=1e-9, atol=1e-12)
        y1 = reference.model1(t, x, r0, r1, c1)
        np.testing.assert_allclose(y1, -1.5 * (r0 + r1 * (1 - np.exp(-s / (r1 * c1)))), rtol=1e-9, atol=1e-12)

    def test_detection_finds_every_pulse(self, battery_folder):
        path = battery_folder.recordings[0]
        truth = battery_folder.truth_data[os.path.basename(path)]
        loaded = reference.load_and_trim(path, 3.0)
        assert loaded["idx_end"] == truth["cutoff_index"]
        det = reference.detect(loaded["t"], loaded["iload"], loaded["v"], loaded["cum_mAh"])
        # pulses of exactly -2 A and rests of exactly 0 A: the threshold of the
        # bin holding the load samples
        assert det["iload_ix"] == 0
        assert det["iload_th"] == pytest.approx(abs((-2.0 + (-2.0 + 2 / 21)) / 2) / 4, rel=1e-12)
        assert len(det["idx_rest"]) == truth["n_pulses"] + 1
        assert len(det["idx_load"]) == truth["n_pulses"] - 1
        starts = loaded["t"][det["idx_rest"][:-1] + 1]
        np.testing.assert_allclose(starts, [p["t_start_s"] for p in truth["pulses"]])
        # relaxed voltages lie on the true OCV curve within a few millivolts
        # (the extraction scales SOC by the charge to the cut-off, the cell by
        # its capacity); the slow branch (tau2 ~ 600 s) is not fully relaxed
        # after 300 s, so the relaxed voltage stays a little below the OCV
        cell = synthcell.realistic_cell(500.0)
        soc_true = 1.0 - (1.0 - det["soc"]) * loaded["cum_mAh"][-1] / truth["capacity_mAh"]
        ocv_true = cell.ocv(soc_true, 25.0)
        assert np.all(det["vsoc"] - ocv_true <= 1e-9)
        assert np.all(det["vsoc"] - ocv_true > -0.01)
        assert det["SOC"].shape == (201,) and det["SOC"][-1] == 1.0

    def test_recovers_constant_one_branch_cell(self, make_battery_folder):
        bf = make_battery_folder(model="model1", varying=False, capacity_mAh=300.0)
        path = bf.recordings[0]
        truth = bf.truth_data[os.path.basename(path)]
        out = reference.extract(path, 3.0, "model1")
        med = out["df_results"].iloc[-1]
        assert med["OCV level"] == "Median"
        assert med["R0 (Ohm)"] == pytest.approx(truth["r0_ohm"], rel=0.01)
        assert med["R1 (Ohm)"] == pytest.approx(truth["r1_ohm"], rel=0.01)
        assert med["R1 (Ohm)"] * med["C1 (F)"] == pytest.approx(truth["tau1_s"], rel=0.03)
        params = json.loads(out["params_json"])
        assert list(params) == ["TempC", "Tparam_1", "Tparam_2", "Tparam_3"]
        assert params["TempC"] == 25 and len(params["Tparam_2"]) == 3
        assert params["Tparam_1"] == pytest.approx(truth["delivered_to_cutoff_mAh"] / 1000, rel=1e-9)
        lines = out["ocv_csv"].splitlines()
        assert lines[0] == "# SOC,OCV" and len(lines) == 202

    def test_load_and_trim_rules(self, tmp_path):
        def write(name, temps, volts):
            n = len(volts)
            df = pd.DataFrame({"Seconds": np.arange(n) * 2.0, "Current(A)": np.full(n, -1.0), "Voltage(V)": volts})
            if temps is not None:
                df["Temperature(C)"] = temps
            path = tmp_path / name
            df.to_csv(path, index=False)
            return str(path)

        volts = [3.5, 3.2, 3.0, 3.1, 2.9, 3.3]
        out = reference.load_and_trim(write("c_800mAh_Tn10.csv", [24.0, 25.0, 24.5, 24.5, 30, 0], volts), 3.0)
        assert out["temperature"] == 24 and out["temperature_source"] == "data"
        # a voltage equal to the cut-off stays; the first one below ends the data
        assert out["idx_end"] == 4
        np.testing.assert_array_equal(out["v"], volts[:4])
        np.testing.assert_allclose(out["cum_mAh"], [0.0, 2 / 3.6, 4 / 3.6, 6 / 3.6], rtol=1e-12)
        out = reference.load_and_trim(write("c_800mAh_Tn10.csv", [25.5, np.nan, 25.5, 1, 1, 1], volts), 3.0)
        assert out["temperature"] == -10 and out["temperature_source"] == "name"
        assert reference.load_and_trim(write("c_800mAh_Tp0.csv", None, volts), 3.0)["temperature"] == 0
        with pytest.raises(SystemExit) as exc:
            reference.load_and_trim(write("c_800mAh_Tp25.csv", None, volts), 2.5)
        assert exc.value.code == reference.CUTOFF_EXIT_MESSAGE

"""Cycler exports: reading (presets, column maps, units, headerless files,
time resets), the step analysis of HPPC protocols, and recovery of known
parameters of a synthetic cell whose discharge and charge responses differ."""

import json
import os
import shutil
import subprocess

import numpy as np
import pandas as pd
import pytest

import ecm
from ecm import exports

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")

# The synthetic cell: OCV(SOC) and, per current direction, R0 and two RC branches.
CAP_AH = 10.0
TRUTH = {
    "discharge": {"R0": 1.5e-3, "R": (0.3e-3, 0.8e-3), "tau": (3.0, 20.0)},
    "charge": {"R0": 1.3e-3, "R": (0.25e-3, 0.6e-3), "tau": (2.0, 15.0)},
}


def ocv(soc):
    return 3.3 + 0.8 * soc + 0.1 * np.sin(3.0 * soc)


def hppc_protocol(blocks=3, pulse_a=30.0, regen_a=20.0, soc_a=10.0, soc_s=900.0):
    """(duration s, current A charge positive, sampling s, first-sample delay s) per step."""
    steps = [(1800.0, 5.0, 1.0, 1.0), (3600.0, 0.0, 60.0, 60.0)]  # charge to full, the full-charge rest
    for _ in range(blocks):
        steps += [
            (30.0, -pulse_a, 0.5, 0.5),
            (40.0, 0.0, 1.0, 1.0),
            (10.0, regen_a, 0.1, 0.1),
            (soc_s, -soc_a, 1.0, 1.0),
            (3600.0, 0.0, 60.0, 60.0),
        ]
    return steps


def simulate(steps, soc0, truth=TRUTH, v_noise=0.0, seed=0):
    """Exact response: each sample reports the step in progress, whose current
    held since the previous sample. The two directions are separate circuits."""
    t_all, i_all, v_all, mode = [], [], [], []
    t, soc = 0.0, soc0
    vb = {d: np.zeros(2) for d in truth}
    for dur, cur, dt, first in steps:
        ts = np.arange(first, dur + 1e-9, dt)
        prev = 0.0
        for tk in ts:
            h = tk - prev
            prev = tk
            soc += cur * h / (CAP_AH * 3600.0)
            for d, p in truth.items():
                i_d = cur if (cur < 0) == (d == "discharge") and cur != 0 else 0.0
                e = np.exp(-h / np.asarray(p["tau"]))
                vb[d] = vb[d] * e + np.asarray(p["R"]) * i_d * (1 - e)
            v = ocv(soc)
            for d, p in truth.items():
                i_d = cur if (cur < 0) == (d == "discharge") and cur != 0 else 0.0
                v += p["R0"] * i_d + vb[d].sum()
            t_all.append(t + tk)
            i_all.append(cur)
            v_all.append(v)
            mode.append("REST" if cur == 0 else ("CHRG" if cur > 0 else "DCHG"))
        t += dur
    v = np.asarray(v_all)
    if v_noise:
        v = v + np.random.default_rng(seed).normal(0, v_noise, v.size)
    return np.asarray(t_all), np.asarray(i_all), v, mode


def write_bitrode(path, t, i, v, mode, header=True):
    df = pd.DataFrame(
        {
            "Exclude": "No",
            "Time(s)": np.round(t, 3),
            "Cycle": 1,
            "Loop": 1,
            "Loop.1": 1,
            "Loop.2": 1,
            "Step": 1,
            "StepTime(s)": 0.0,
            "Current(A)": i,
            "Voltage(V)": np.round(v, 6),
            "Power(W)": i * v,
            "Capacity(Ah)": 0.0,
            "Energy(Wh)": 0.0,
            "Mode": mode,
            "Data": " ",
        }
    )
    df.to_csv(
        path,
        index=False,
        header=[
            "Exclude",
            "Time(s)",
            "Cycle",
            "Loop",
            "Loop",
            "Loop",
            "Step",
            "StepTime(s)",
            "Current(A)",
            "Voltage(V)",
            "Power(W)",
            "Capacity(Ah)",
            "Energy(Wh)",
            "Mode",
            "Data",
        ]
        if header
        else False,
    )


@pytest.fixture(scope="module")
def hppc_cell(tmp_path_factory):
    d = tmp_path_factory.mktemp("hppc")
    t, i, v, mode = simulate(hppc_protocol(), soc0=1.0 - 1800 * 5 / (CAP_AH * 3600) - 0.0)
    path = str(d / "cell_25C.csv")
    write_bitrode(path, t, i, v, mode)
    return path, (t, i, v, mode)


class TestStepAnalysis:
    def test_recovers_both_directions(self, hppc_cell):
        path, _ = hppc_cell
        ex = ecm.extract([path], low_cutoff=2.5, high_cutoff=4.3, capacity_mAh=CAP_AH * 1000)
        (rec,) = ex.recordings
        assert ex.reading == "steps" and ex.method == "joint" and rec.protocol["preset"] == "bitrode"
        assert rec.temperature == 25 and rec.temperature_source == "file name"
        p = rec.pulses
        assert list(p["direction"]) == ["discharge", "charge"] * 3
        assert (p["status"] == "fitted").all(), p["status"].tolist()
        assert (p["rms_mV"] < 0.05).all()
        for direction, truth in TRUTH.items():
            q = p[p["direction"] == direction]
            np.testing.assert_allclose(q["R0"], truth["R0"], rtol=0.02)
            np.testing.assert_allclose(q["R1"], truth["R"][0], rtol=0.05)
            np.testing.assert_allclose(q["tau1"], truth["tau"][0], rtol=0.05)
            det = q[q["tau2_determined"]]
            if len(det):
                np.testing.assert_allclose(det["R2"], truth["R"][1], rtol=0.1)
        # SOC from coulomb counting: 1 at the end of the full-charge rest; the OCV points on the curve
        np.testing.assert_allclose(rec.relaxed["ocv"], ocv(rec.relaxed["soc"]), atol=2e-3)
        assert rec.protocol["full_charge_found"] and rec.protocol["current_sign"] == "charge positive"

    def test_sign_convention_detected(self, hppc_cell, tmp_path):
        _, (t, i, v, mode) = hppc_cell
        path = str(tmp_path / "flipped_25C.csv")
        write_bitrode(path, t, -i, v, mode)
        rec = ecm.extract([path], low_cutoff=2.5, high_cutoff=4.3, capacity_mAh=CAP_AH * 1000).recordings[0]
        assert rec.protocol["current_sign"].startswith("discharge positive")
        assert list(rec.pulses["direction"]) == ["discharge", "charge"] * 3
        np.testing.assert_allclose(rec.pulses["R0"].iloc[0], TRUTH["discharge"]["R0"], rtol=0.02)

    def test_rest_offset_and_quantisation(self, hppc_cell, tmp_path):
        # a rest that reads 0.01 A and a current logged to 10 mA, a voltage to 1 mV
        _, (t, i, v, mode) = hppc_cell
        i2 = np.where(i == 0, 0.01, i)
        path = str(tmp_path / "offset_25C.csv")
        write_bitrode(path, t, i2, np.round(v, 3), mode)
        rec = ecm.extract([path], low_cutoff=2.5, high_cutoff=4.3, capacity_mAh=CAP_AH * 1000).recordings[0]
        assert len(rec.pulses) == 6 and (rec.pulses["status"] == "fitted").all()
        assert (rec.pulses["rms_mV"] < 0.6).all()

    def test_nothing_usable_is_an_error_that_says_what_was_found(self, tmp_path):
        steps = [
            (3600.0, 0.0, 60.0, 60.0),
            (2000.0, -5.0, 1.0, 1.0),
            (3600.0, 0.0, 60.0, 60.0),
            (2000.0, -5.0, 1.0, 1.0),
        ]
        t, i, v, mode = simulate(steps, soc0=0.9)
        path = str(tmp_path / "long_25C.csv")
        write_bitrode(path, t, i, v, mode)
        with pytest.raises(
            ecm.RecordingError, match=r"long_25C.csv: .*0 pulses: all 2 loaded steps are longer than 600 s"
        ):
            ecm.extract([path], low_cutoff=2.5, high_cutoff=4.3)

    def test_classic_recordings_keep_their_reading(self):
        # a classic recording goes through the classic reading unless the steps are asked for; the
        # joint fit is the default of either reading
        sample = os.path.join(HERE, "..", "..", "examples", "sample_cell")
        ex = ecm.extract(sample, low_cutoff=3.0, high_cutoff=4.2)
        assert ex.method == "joint" and ex.reading == "classic" and all(r.protocol is None for r in ex.recordings)

    def test_how_to_read_and_how_to_fit_are_two_choices(self, hppc_cell):
        path, _ = hppc_cell
        sample = os.path.join(HERE, "..", "..", "examples", "sample_cell")
        # a classic folder through the step analysis, asked for by its new name and by the old one
        for kwargs in ({"reading": "steps"}, {"method": "steps"}):
            ex = ecm.extract(sample, low_cutoff=3.0, high_cutoff=4.2, **kwargs)
            assert (ex.reading, ex.method) == ("steps", "joint")
            assert all(r.protocol is not None and len(r.pulses) for r in ex.recordings)
        # the two-pass fit of the step analysis's windows: R0 and the first branch (which takes
        # both branches' drop over the first 70 % of the pulse) from the data; a second branch the
        # window cannot tell is marked undetermined, not rejected
        ex = ecm.extract([path], low_cutoff=2.5, high_cutoff=4.3, capacity_mAh=CAP_AH * 1000, method="pulse")
        assert (ex.reading, ex.method) == ("steps", "pulse")
        p = ex.recordings[0].pulses
        assert (p["status"] == "fitted").all() and (p["rms_mV"] < 5).all()
        for direction, truth in TRUTH.items():
            q = p[p["direction"] == direction]
            np.testing.assert_allclose(q["R0"], truth["R0"], rtol=0.15)  # the joint fit: 2 %
            assert ((q["R1"] > truth["R"][0]) & (q["R1"] < sum(truth["R"]))).all()
            assert not (q["tau2_determined"] & q["on_bound"].str.contains("R2|C2")).any()
        with pytest.raises(ecm.UsageError, match="reading 'sideways'"):
            ecm.extract([path], low_cutoff=2.5, high_cutoff=4.3, reading="sideways")

    def test_parameter_file_is_what_json_writes(self, hppc_cell):
        # one writer for both readings: the text is json.dumps of the record, a whole-number
        # temperature as an integer, any other as the float it is
        path, _ = hppc_cell
        for given, expected in ((None, 25), (24.9, 24.9), (-10.0, -10)):
            rec = ecm.extract(
                [path], low_cutoff=2.5, high_cutoff=4.3, capacity_mAh=CAP_AH * 1000, temperature=given
            ).recordings[0]
            record = rec.param_record()
            assert record["TempC"] == expected and type(record["TempC"]) is type(expected)
            assert rec.params_text == json.dumps(record)
            assert record["Tparam_2"] == [rec.medians[n] for n in ("R0", "R1", "C1", "R2", "C2")]


class TestReading:
    def test_column_map_units_resets_and_duplicates(self, tmp_path):
        path = tmp_path / "mine.csv"
        t = np.array([0, 1, 2, 2, 3, 0, 1, 2], dtype=float)  # a repeated stamp, then a new export from 0
        pd.DataFrame({"t [min]": t, "I/mA": np.arange(8) * 100.0, "U": np.linspace(3.5, 3.6, 8)}).to_csv(
            path, index=False
        )
        ex = exports.read_export(str(path), columns={"time": "t [min]:min", "current": "I/mA", "voltage": "U"})
        np.testing.assert_allclose(ex.current[:3], [0.0, 0.1, 0.2])  # mA from the column name
        assert np.all(np.diff(ex.time) > 0) and ex.time[1] == 60.0
        assert any("repeated time stamp" in n for n in ex.notes)
        assert any("time goes back at line 7" in n for n in ex.notes)

    def test_errors_name_file_line_and_column(self, tmp_path):
        path = tmp_path / "bad.csv"
        pd.DataFrame({"Time(s)": [0, 1, 2], "Current(A)": [0, "x", 1], "Voltage(V)": [3.5, 3.5, 3.5]}).to_csv(
            path, index=False
        )
        with pytest.raises(ecm.RecordingError, match=r"bad.csv, line 3: column 'Current\(A\)' holds 'x'"):
            exports.read_export(str(path), preset="bitrode")
        with pytest.raises(ecm.RecordingError, match=r"no column 'Amps' for current"):
            exports.read_export(str(path), columns={"time": "Time(s)", "current": "Amps", "voltage": "Voltage(V)"})
        other = tmp_path / "other.csv"
        pd.DataFrame({"a": [1], "b": [2], "c": [3]}).to_csv(other, index=False)
        with pytest.raises(ecm.RecordingError, match="match no known cycler layout"):
            exports.read_export(str(other))
        headless = tmp_path / "headless.csv"
        headless.write_text("1,2,3\n4,5,6\n")
        with pytest.raises(ecm.RecordingError, match="first line holds numbers"):
            exports.read_export(str(headless))
        with pytest.raises(ecm.UsageError, match="unknown quantity"):
            exports.parse_columns("tension=U")
        # a column of h:mm:ss times: the message names the cell that is neither, not the first row
        clock = tmp_path / "clock.csv"
        clock.write_text("Time,I,U\n0:00:00,0,3.5\n0:00:01,0,3.5\nlater,0,3.5\n")
        with pytest.raises(ecm.RecordingError, match=r"clock.csv, line 4: column 'Time' holds 'later'"):
            exports.read_export(str(clock), columns={"time": "Time", "current": "I", "voltage": "U"})

    def test_a_preamble_before_the_header_counts_in_line_numbers(self, tmp_path):
        # EC-Lab text: "Nb header lines : N" counts the preamble and the header row
        rows = ["1\t0.0\t0\t3.70\t0", "1\t1.0\t-500\t3.60\t1", "1\t2.0\t\t3.60\t1", "1\t3.0\t-500\t3.59\t1"]
        preamble = ["EC-Lab ASCII FILE", "Nb header lines : 5", "", "Acquisition started on : 01/01/2024"]
        text = "\n".join(preamble + ["mode\ttime/s\tI/mA\tEwe/V\tNs"] + rows) + "\n"
        path = tmp_path / "cell.txt"
        path.write_text(text)
        with pytest.raises(ecm.RecordingError, match=r"cell.txt, line (\d+): column 'I/mA'") as err:
            exports.read_export(str(path))
        blank_line = text.splitlines().index(rows[2]) + 1
        assert f"line {blank_line}:" in str(err.value)

        path.write_text(text.replace("\t\t3.60", "\t-500\t3.60"))
        ex = exports.read_export(str(path))
        theirs = pd.read_csv(path, sep="\t", skiprows=len(preamble))
        assert ex.preset == "biologic" and ex.columns["step"] == "Ns"
        np.testing.assert_array_equal(ex.time, theirs["time/s"])
        np.testing.assert_array_equal(ex.current, theirs["I/mA"] / 1000.0)
        np.testing.assert_array_equal(ex.voltage, theirs["Ewe/V"])
        np.testing.assert_array_equal(ex.step, theirs["Ns"])

    def test_durations_past_a_day(self, tmp_path):
        stamps = ["0:00:00", "0:00:01.5", "23:59:59.5", "24:00:00.25", "26:03:04", "101:00:00"]
        path = tmp_path / "neware.csv"
        pd.DataFrame(
            {"Step ID": 1, "Total Time": stamps, "Current(mA)": -1000.0, "Voltage(V)": np.linspace(3.7, 3.6, 6)}
        ).to_csv(path, index=False)
        ex = exports.read_export(str(path))
        assert ex.preset == "neware"
        np.testing.assert_allclose(ex.time, pd.to_timedelta(pd.Series(stamps)).dt.total_seconds(), rtol=0, atol=1e-9)
        np.testing.assert_allclose(ex.current, -1.0)

    def test_appended_export_and_repeated_stamps(self, tmp_path):
        # two exports one after the other, each with a repeated stamp; the second continues one step after the first
        first = pd.DataFrame({"Time(s)": [0.0, 1.0, 1.0, 2.0, 3.0], "Current(A)": [0.0, -1.0, -2.0, -1.0, 0.0]})
        second = pd.DataFrame({"Time(s)": [0.0, 1.0, 2.0, 2.0], "Current(A)": [0.0, 1.0, 2.0, 3.0]})
        path = tmp_path / "appended.csv"
        table = pd.concat([first, second], ignore_index=True).assign(**{"Voltage(V)": 3.6})
        table.to_csv(path, index=False)
        ex = exports.read_export(str(path), preset="bitrode")
        whole = pd.concat([first, second.assign(**{"Time(s)": second["Time(s)"] + 3.0 + 1.0})], ignore_index=True)
        kept = whole.drop_duplicates(subset="Time(s)", keep="first")
        np.testing.assert_array_equal(ex.time, kept["Time(s)"])
        np.testing.assert_array_equal(ex.current, kept["Current(A)"])
        assert ex.notes == [
            "time goes back at line 7 (3 s, then 0 s): taken as a new export appended",
            "2 repeated time stamp(s) (first at line 4): the later sample dropped",
        ]

    def test_presets_by_header(self):
        assert (
            exports.detect_preset(["Data_Point", "Test_Time(s)", "Current(A)", "Voltage(V)", "Step_Index"]) == "arbin"
        )
        assert exports.detect_preset(["Rec#", "Test (Sec)", "Amps", "Volts", "State"]) == "maccor"
        assert exports.detect_preset(["mode", "time/s", "I/mA", "Ewe/V", "Ns"]) == "biologic"
        assert exports.detect_preset(["Seconds", "Current(A)", "Voltage(V)"]) == "classic"

    def test_maccor_magnitudes_signed_by_state(self, tmp_path):
        path = tmp_path / "maccor.txt"
        path.write_text("Rec#\tTest (Sec)\tAmps\tVolts\tState\n1\t0\t0\t3.7\tR\n2\t1\t2.0\t3.6\tD\n3\t2\t1.0\t3.8\tC\n")
        ex = exports.read_export(str(path))
        assert ex.preset == "maccor"
        np.testing.assert_allclose(ex.current, [0.0, -2.0, 1.0])

    @pytest.mark.parametrize(
        "name,temp",
        [
            ("cell_Tp25.csv", 25),
            ("cell_Tn10.csv", -10),
            ("NissanLeaf-cell-Low-Current-HPPC-10C.csv", 10),
            ("x-HPPC-25C-2.csv", 25),
            ("cell_-10C.csv", -10),
            ("cell_m5C.csv", -5),
            ("cell 45degC run.csv", 45),
            ("hppc_n20degC.csv", -20),
            ("n10degC_US06.csv", -10),
            ("cell_m7.5°C.csv", -7.5),
            ("cell.csv", None),
            # a C-rate beside a marked temperature, or written with a decimal p, is no temperature
            ("cell_HPPC_1C_25degC.csv", 25),
            ("pulse_2C_Tp40.csv", 40),
            ("1C_cycle_n10C.csv", -10),
            ("549_Dis_0p5C_parsed.csv", None),
            ("549_Dis_2C_parsed.csv", 2),  # bare: the measured column decides (below)
        ],
    )
    def test_temperature_from_name(self, name, temp):
        assert exports.temperature_from_name(name) == temp

    @pytest.mark.parametrize(
        "name,column,expected",
        [
            ("cell_Dis_2C.csv", 24.0, 24.0),  # a C-rate: the column, 22 C away, wins
            ("cell_25C.csv", 23.5, 25.0),  # the set point, the case a little cooler
            ("cell_2degC.csv", 24.0, 2.0),  # marked as a temperature: the name wins
            ("cell_Dis_2C.csv", None, 2.0),  # nothing else to go by
        ],
    )
    def test_a_bare_c_in_the_name_yields_to_a_measured_column_far_from_it(self, tmp_path, name, column, expected):
        from ecm.steps import _temperature

        t = np.arange(0.0, 100.0, 10.0)
        df = pd.DataFrame({"Test_Time(s)": t, "Current(A)": -1.0, "Voltage(V)": 3.7 - 1e-3 * t})
        if column is not None:
            df["Aux_Temperature_1(C)"] = column
        path = tmp_path / name
        df.to_csv(path, index=False)
        temp, source = _temperature(exports.read_export(str(path)), None)
        assert temp == pytest.approx(expected)
        assert ("C-rate" in source) == (expected == column and name.endswith("_2C.csv"))

    def test_capacity_from_name(self):
        assert exports.capacity_from_name("cell_2000mAh_T25.csv") == 2000
        assert exports.capacity_from_name("leaf_33.1Ah_25C.csv") == 33100
        assert exports.capacity_from_name("leaf.csv") is None


LEAF = [("leaf_25C_slice.csv", 25, 2.0e-3), ("leaf_10C_slice.csv", 10, 3.0e-3)]


class TestSharedExportSlices:
    """Short slices of the laboratory HPPC exports (Bitrode; the 10 degC one without a header row)."""

    @pytest.mark.parametrize("name,temp,r0_max", LEAF)
    def test_slice(self, name, temp, r0_max):
        path = os.path.join(DATA, name)
        rec = ecm.extract([path], low_cutoff=3.0, high_cutoff=4.2, capacity_mAh=33100).recordings[0]
        p = rec.pulses
        assert rec.temperature == temp and rec.protocol["preset"] == "bitrode"
        assert (p["direction"] == "discharge").sum() == 2 and (p["direction"] == "charge").sum() == 2
        assert (p["status"] == "fitted").all()
        assert (p["rms_mV"] < 1.0).all()
        assert p["R0"].between(0.5e-3, r0_max).all()

    def test_command_writes_a_model_from_both(self, tmp_path):
        src = tmp_path / "leaf"
        src.mkdir()
        for name, _, _ in LEAF:
            shutil.copy(os.path.join(DATA, name), src / name)
        out = tmp_path / "out"
        r = subprocess.run(
            [
                "ecm",
                "fit",
                str(src),
                "--low-cutoff",
                "3.0",
                "--high-cutoff",
                "4.2",
                "--capacity",
                "33100",
                "--out",
                str(out),
            ],
            capture_output=True,
            text=True,
        )
        assert r.returncode == 0, r.stderr
        assert "bitrode, charge positive" in r.stdout and "2 discharge and 2 charge pulses" in r.stdout
        model = json.loads((out / "battery_model.json").read_text())
        assert model["temps"] == [10.0, 25.0]
        tables = json.loads((out / "battery_model_tables.json").read_text())
        assert "R0_charge" in tables and tables["temperatures"] == [10, 25]


class TestModelToolsOnExports:
    """validate and report take exports as ecm fit does."""

    def test_validate_predicts_the_export_it_came_from(self, hppc_cell, tmp_path):
        path, (t, i, v, mode) = hppc_cell
        flipped = str(tmp_path / "flipped_25C.csv")
        write_bitrode(flipped, t, -i, v, mode)  # discharge positive: read as ecm fit reads it
        ex = ecm.extract([path], low_cutoff=2.5, high_cutoff=4.3, capacity_mAh=CAP_AH * 1000)
        ex.write(tmp_path / "out")
        model = str(tmp_path / "out" / "battery_model.json")
        # the export begins with a charge (under load, part-charged): its start SOC is given
        soc0 = 1.0 - 1800 * 5 / (CAP_AH * 3600)
        res = ecm.validate(model, path, initial_soc=soc0)
        res_flipped = ecm.validate(model, flipped, initial_soc=soc0)
        assert len(res.t) == len(t)  # the step boundaries' extra points are not compared
        # the pulses are fitted per direction, the model holds the discharge medians: a few mV at most
        assert res.rms_mV < 5.0
        assert res_flipped.rms_mV == pytest.approx(res.rms_mV, rel=1e-9)

    def test_report_of_a_folder_of_exports(self, hppc_cell, tmp_path):
        pytest.importorskip("matplotlib")
        path, _ = hppc_cell
        folder = tmp_path / "exports"
        folder.mkdir()
        shutil.copy(path, folder / "cell_25C.csv")
        out = tmp_path / "report.html"
        r = subprocess.run(
            [
                "ecm",
                "report",
                str(folder),
                "--low-cutoff",
                "2.5",
                "--high-cutoff",
                "4.3",
                "--capacity",
                "10000",
                "--out",
                str(out),
            ],
            capture_output=True,
            text=True,
        )
        assert r.returncode == 0, r.stderr
        page = out.read_text()
        assert "steps" in page and "charge" in page and page.count("data:image/png;base64") >= 3


class TestBinaryAndSpreadsheetExports:
    """.xlsx through pandas/openpyxl; BioLogic .mpr and Neware .nda through their readers
    (galvani, fastnda), stood in for here by modules that return what those readers return."""

    def test_xlsx_with_an_arbin_header(self, tmp_path):
        path = tmp_path / "arbin_25C.xlsx"
        pd.DataFrame(
            {
                "Data_Point": [1, 2, 3],
                "Test_Time(s)": [0.0, 1.0, 2.0],
                "Current(A)": [0.0, -1.0, -1.0],
                "Voltage(V)": [3.7, 3.6, 3.59],
                "Step_Index": [1, 2, 2],
            }
        ).to_excel(path, index=False)
        ex = exports.read_export(str(path))
        assert ex.preset == "arbin" and ex.columns["step"] == "Step_Index"
        np.testing.assert_allclose(ex.current, [0.0, -1.0, -1.0])

    def test_readers_of_binary_formats(self, tmp_path, monkeypatch):
        import sys
        import types

        rec = np.zeros(3, dtype=[("time/s", float), ("I/mA", float), ("Ewe/V", float), ("Ns", int)])
        rec["time/s"], rec["I/mA"], rec["Ewe/V"] = [0, 1, 2], [0, -500, -500], [3.7, 3.6, 3.6]
        biologic = types.SimpleNamespace(MPRfile=lambda p: types.SimpleNamespace(data=rec))
        monkeypatch.setitem(sys.modules, "galvani", types.SimpleNamespace(BioLogic=biologic))
        monkeypatch.setitem(sys.modules, "galvani.BioLogic", biologic)
        # fastnda's frame (a polars frame; to_pandas() gives this): total_time_s is the test's time
        nda = pd.DataFrame(
            {
                "index": [1, 2, 3],
                "voltage_V": [3.7, 3.6, 3.5],
                "current_mA": [0.0, -2000.0, -2000.0],
                "unix_time_s": [1.7040672e9, 1.7040672015e9, 1.7040708e9],
                "step_time_s": [0.0, 1.5, 3600.0],
                "total_time_s": [0.0, 1.5, 3600.0],
                "cycle_count": [1, 1, 1],
                "step_count": [1, 2, 2],
                "step_index": [1, 2, 2],
                "step_type": ["Rest", "CC_DChg", "CC_DChg"],
            }
        )
        frame = types.SimpleNamespace(to_pandas=lambda: nda.copy())
        fake = types.SimpleNamespace(read=lambda p, **kw: frame, read_metadata=lambda p: {})
        monkeypatch.setitem(sys.modules, "fastnda", fake)
        for name in ("cell.mpr", "cell.nda"):
            (tmp_path / name).write_bytes(b"\x00binary")
        mpr = exports.read_export(str(tmp_path / "cell.mpr"))
        assert mpr.preset == "biologic" and "read with galvani" in mpr.notes
        np.testing.assert_allclose(mpr.current, [0.0, -0.5, -0.5])
        neware = exports.read_export(str(tmp_path / "cell.nda"))
        assert neware.preset == "neware" and neware.columns["step"] == "step_index"
        np.testing.assert_allclose(neware.time, [0.0, 1.5, 3600.0])
        np.testing.assert_allclose(neware.current, [0.0, -2.0, -2.0])
        np.testing.assert_array_equal(neware.step, [1, 2, 2])  # the step count

    def test_a_missing_reader_names_the_extra(self, tmp_path, monkeypatch):
        import sys

        monkeypatch.setitem(sys.modules, "galvani", None)  # import fails
        (tmp_path / "cell.mpr").write_bytes(b"\x00")
        with pytest.raises(
            ecm.RecordingError, match=r"cell.mpr: reading .mpr files needs datalab-org-galvani .*\[exports\]"
        ):
            exports.read_export(str(tmp_path / "cell.mpr"))

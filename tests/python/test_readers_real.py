"""The readers on slices of real cycler files (tests/python/data/cycler, see its
README) and on hostile inputs: every value checked against an independent
reading of the same bytes (pandas, the csv module, a hand-computed value), every
bad input a RecordingError naming the file."""

import csv
import io
import os
import shutil
import subprocess
import sys
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import ecm
from ecm import exports, readers
from ecm.readers import read_recording

HERE = os.path.dirname(os.path.abspath(__file__))
CYC = os.path.join(HERE, "data", "cycler")
SHARED = os.path.join(HERE, "..", "..", "..", "shared", "data", "cycler-files")


def fixture(name):
    return os.path.join(CYC, name)


def read_quietly(path, **kw):
    """read_recording, failing the test on any warning a library lets out."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return read_recording(path, **kw)


class TestRealSlices:
    def test_arbin_csv_without_units(self):
        path = fixture("arbin_beep_FastCharge_CH8_head.csv")
        rec = read_quietly(path)
        theirs = pd.read_csv(path)
        assert rec.format == "arbin" and rec.sign_known
        np.testing.assert_array_equal(rec.time, theirs["Test_Time"])
        np.testing.assert_array_equal(rec.voltage, theirs["Voltage"])
        np.testing.assert_array_equal(rec.data["Unix Time / s"], theirs["DateTime"])
        np.testing.assert_array_equal(rec.data["Ambient Temperature / degC"], theirs["Temperature"])
        assert rec.start.startswith("2017-05-13 03:14:03")  # 1494645243 s after 1970 (UTC)

    def test_arbin_csv_charge_and_discharge(self):
        path = fixture("arbin_battdat_head.csv")
        rec = read_quietly(path)
        theirs = pd.read_csv(path)
        np.testing.assert_array_equal(rec.current, theirs["Current"])
        np.testing.assert_array_equal(rec.data["Charging Capacity / Ah"], theirs["Charge_Capacity"])
        np.testing.assert_array_equal(rec.data["Step Index / 1"], theirs["Step_Index"])

    def test_arbin_metadata_is_told_apart(self):
        path = fixture("arbin_beep_FastCharge_CH8_Metadata.csv")
        with pytest.raises(ecm.RecordingError, match=r"_Metadata.csv: metadata .*no samples"):
            read_quietly(path)

    def test_maccor_days_and_clock_time(self):
        path = fixture("maccor_4267-66-6519_head.041")
        rec = read_quietly(path)
        theirs = pd.read_csv(path, sep="\t", skiprows=1, index_col=False)
        secs = pd.to_timedelta(theirs["TestTime"].str.strip().str.replace("d ", " days ")).dt.total_seconds()
        kept = secs.drop_duplicates(keep="first")
        np.testing.assert_array_equal(rec.time, kept)
        assert rec.format == "maccor" and rec.start == "2016-11-02 15:57:53"

    def test_maccor_signed_amps_agree_with_state(self):
        path = fixture("maccor_PredictionDiagnostics_head.052")
        rec = read_quietly(path)
        theirs = pd.read_csv(path, sep="\t", skiprows=1, index_col=False)
        np.testing.assert_array_equal(rec.time, theirs["Test (Sec)"])
        np.testing.assert_array_equal(rec.current, theirs["Amps"])  # already signed: -4.84 A on D rows
        assert (rec.current < -4.8).all() and "State" in rec.sign and rec.sign_known

    def test_maccor_minutes_from_the_name(self):
        path = fixture("maccor_example.001")
        rec = read_quietly(path)
        theirs = pd.read_csv(path, sep="\t", skiprows=1, index_col=False)
        clock = pd.to_datetime(theirs["DPt Time"], format="%m/%d/%Y %H:%M:%S")
        np.testing.assert_allclose(rec.time, (clock - clock[0]).dt.total_seconds(), atol=0.02)

    def test_maccor_minutes_from_the_clock_and_md_sign(self):
        path = fixture("maccor_002_slice.txt")
        rec = read_quietly(path)
        with open(path, encoding="latin-1") as f:
            rows = list(csv.reader(f, delimiter="\t"))
        header = rows[13]
        body = [r for r in rows[14:] if r]
        col = {n: k for k, n in enumerate(header)}
        minutes = np.array([float(r[col["TestTime"]]) for r in body])
        sign = np.array([-1.0 if r[col["Md"]] == "D" else 1.0 for r in body])
        amps = np.array([float(r[col["Current [A]"]]) for r in body]) * sign
        np.testing.assert_allclose(rec.time, minutes * 60.0)
        np.testing.assert_array_equal(rec.current, amps)
        assert (rec.current < 0).any() and (rec.current > 0).any()
        assert any("read in minutes" in n for n in rec.notes)
        assert rec.channel == "53"

    def test_novonix_quoted_rows_after_the_protocol(self):
        path = fixture("novonix_Form-CH01-01_head.csv")
        rec = read_quietly(path)
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        start = lines.index("[Data]") + 1
        rows = [ln.strip('"').split(",") for ln in lines[start:]]
        col = {n: k for k, n in enumerate(rows[0])}
        hours = np.array([float(r[col["Run Time (h)"]]) for r in rows[1:]])
        amps = np.array([float(r[col["Current (A)"]]) for r in rows[1:]])
        np.testing.assert_allclose(rec.time, hours * 3600.0)
        np.testing.assert_array_equal(rec.current, amps)
        assert rec.format == "novonix" and rec.channel == "01" and rec.start.startswith("2022-04-11 10:58:07")

    def test_biologic_date_times_in_the_time_column(self):
        path = fixture("biologic_loops_head.csv")
        rec = read_quietly(path)
        theirs = pd.read_csv(path, sep=";")
        np.testing.assert_allclose(rec.time[:2], [0.0, 22.756], atol=1e-9)  # 15:36:22.757 to 15:36:45.513
        np.testing.assert_allclose(rec.current, theirs["I/mA"] / 1000.0)
        np.testing.assert_array_equal(rec.voltage, theirs["Ecell/V"])
        assert rec.current.max() > 2.49  # the 2.5 A pulse, charge positive
        assert rec.sign_known

    def test_pec_preamble_mv_ma_and_two_temperatures(self):
        path = fixture("pec_head.csv")
        rec = read_quietly(path)
        theirs = pd.read_csv(path, skiprows=32, index_col=False)
        np.testing.assert_array_equal(rec.time, theirs["Total Time (Seconds)"])
        np.testing.assert_allclose(rec.voltage, theirs["Voltage (mV)"] / 1000.0)
        np.testing.assert_allclose(rec.current, theirs["Current (mA)"] / 1000.0)
        np.testing.assert_array_equal(rec.data["Ambient Temperature / degC"], theirs["Ambient temperature (°C)"])
        np.testing.assert_array_equal(rec.data["Surface Temperature / degC"], theirs["Cell surface temperature (°C)"])
        assert rec.start == "2019-02-22 16:23:27" and rec.format == "pec"  # the first sample's Real Time

    def test_neware_hours_past_a_day_and_step_type(self):
        path = fixture("neware_uio_slice.csv")
        rec = read_quietly(path)
        theirs = pd.read_csv(path)
        want = pd.to_timedelta(theirs["Cumulative Time"]).dt.total_seconds()
        np.testing.assert_array_equal(rec.time, want)
        assert rec.time[-1] == 24 * 3600 + 5 * 60  # 24:05:00
        assert "Step Type" in rec.sign and rec.sign_known
        assert set(rec.data["Step Type"]) == {"rest", "discharge"}

    def test_landt_csv_matches_the_bdf_authors_conversion(self, tmp_path):
        ours = read_quietly(fixture("landt_SINTEF_slice.csv"))
        theirs = pd.read_csv(fixture("landt_SINTEF_slice.bdf.csv"))
        for label, machine in [
            ("Test Time / s", "test_time_second"),
            ("Current / A", "current_ampere"),
            ("Voltage / V", "voltage_volt"),
            ("Charging Capacity / Ah", "charging_capacity_ah"),
            ("Discharging Capacity / Ah", "discharging_capacity_ah"),
        ]:
            np.testing.assert_array_equal(ours.data[label], theirs[machine])
        out = readers.write_bdf(ours, tmp_path / "x.bdf.csv")
        back = read_quietly(out)
        np.testing.assert_array_equal(back.current, theirs["current_ampere"])
        machine = readers.write_bdf(ours, tmp_path / "m.bdf.csv", labels="machine")
        assert pd.read_csv(machine).columns[0] == "test_time_second"

    def test_landt_xlsx_records_on_the_second_sheet(self):
        path = fixture("landt_custom_data_002_slice.xlsx")
        rec = read_quietly(path)
        theirs = pd.read_excel(path, sheet_name="Record-Tab").drop_duplicates("TestTime/Sec")  # repeated stamps
        np.testing.assert_array_equal(rec.time, theirs["TestTime/Sec"])
        np.testing.assert_allclose(rec.current, theirs["Current/mA"] / 1000.0)
        assert any("sheet 'Record-Tab'" in n for n in rec.notes)
        assert "Step-State" in rec.sign

    def test_arbin_xlsx_data_after_global_info(self):
        path = fixture("arbin_navani_Channel_11_slice.xlsx")
        rec = read_quietly(path)
        theirs = pd.read_excel(path, sheet_name=1)
        np.testing.assert_array_equal(rec.time, theirs["Test_Time(s)"])
        np.testing.assert_array_equal(rec.current, theirs["Current(A)"])
        np.testing.assert_array_equal(rec.data["Discharging Capacity / Ah"], theirs["Discharge_Capacity(Ah)"])

    def test_bdf_both_label_forms_and_parquet(self, tmp_path):
        small = read_quietly(fixture("sample.bdf.csv"))
        np.testing.assert_array_equal(small.voltage, [3.7, 3.6, 3.5])
        assert small.sign_known and small.format == "bdf"
        dlr = read_quietly(fixture("DLR_POCV_Basytec_head.bdf.csv"))
        theirs = pd.read_csv(fixture("DLR_POCV_Basytec_head.bdf.csv"))
        np.testing.assert_array_equal(dlr.current, theirs["current_ampere"])
        np.testing.assert_array_equal(dlr.data["Ambient Temperature / degC"], theirs["ambient_temperature_celsius"])
        pytest.importorskip("pyarrow")
        pq = tmp_path / "cell.bdf.parquet"
        theirs.to_parquet(pq)
        np.testing.assert_array_equal(read_quietly(pq).time, theirs["test_time_second"])

    def test_neware_ndax_through_fastnda(self):
        pytest.importorskip("fastnda")
        rec = read_quietly(fixture("TESTCELL0001-Test_Data_Collection_Ndc17.ndax"))
        cur = rec.current
        # rest 15 s, +1 A 15 s, rest 15 s, -1 A 15 s, rest 15 s at 1 s
        assert rec.time[-1] == pytest.approx(75.0) and np.all(np.diff(rec.time) > 0)
        assert np.sum(np.isclose(cur, 1.0, atol=1e-3)) >= 14 and np.sum(np.isclose(cur, -1.0, atol=1e-3)) >= 14
        assert rec.time[np.argmax(cur > 0.5)] == pytest.approx(16.0, abs=1.0)
        t = rec.data["Ambient Temperature / degC"]
        assert t.between(20, 40).all() and rec.sign_known and rec.channel == "14"


@pytest.mark.skipif(not os.path.isdir(SHARED), reason="the shared cycler files are not beside the repository")
class TestSharedBinaries:
    """The binary files too large to copy: read where the shared data lie beside the repository."""

    def test_nda_monotonic_test_time_despite_the_wall_clock(self):
        pytest.importorskip("fastnda")
        rec = read_quietly(os.path.join(SHARED, "newarenda", "TestFile.nda"))
        unix = rec.data["Unix Time / s"].to_numpy()
        assert np.all(np.diff(rec.time) > 0)
        assert np.min(np.diff(unix)) < -100 and np.max(np.diff(unix)) > 15000  # the clock's faults
        assert rec.current.min() == pytest.approx(-3.0, abs=0.01)

    def test_mpr_through_galvani(self):
        pytest.importorskip("galvani")
        rec = read_quietly(os.path.join(SHARED, "cellpy", "biol.mpr"))
        assert rec.format == "biologic" and rec.sign_known
        assert rec.current.max() == pytest.approx(0.325e-3, rel=0.01)  # I/mA in A


class TestRecognition:
    @pytest.mark.parametrize(
        "name,quantity,factor",
        [
            ("Test_Time (s)", "time", 1.0),
            ("Test_Time(s)", "time", 1.0),
            ("Test (Sec)", "time", 1.0),
            ("Test (Min)", "time", 60.0),
            ("TestTime", "time", 1.0),
            ("Cumulative Time", "time", 1.0),
            ("Total Time (Seconds)", "time", 1.0),
            ("Run Time (h)", "time", 3600.0),
            ("time/s", "time", 1.0),
            ("Test Time / s", "time", 1.0),
            ("test_time_second", "time", 1.0),
            ("Current [A]", "current", 1.0),
            ("Current (mA)", "current", 1e-3),
            ("I/mA", "current", 1e-3),
            ("<I>/mA", "current", 1e-3),
            ("Amps", "current", 1.0),
            ("current_ampere", "current", 1.0),
            ("Ewe/V", "voltage", 1.0),
            ("Voltage (mV)", "voltage", 1e-3),
            ("Volts", "voltage", 1.0),
            ("voltage_volt", "voltage", 1.0),
            ("Potential (V)", "voltage", 1.0),
            ("Step_Index", "step", 1.0),
            ("Step Index / 1", "step", 1.0),
            ("Charge Capacity (mAh)", "charge_capacity", 1e-3),
            ("discharging_capacity_ah", "discharge_capacity", 1.0),
            ("Ambient temperature (°C)", "ambient", 1.0),
            ("Cell surface temperature (°C)", "surface", 1.0),
        ],
    )
    def test_names_with_their_units(self, name, quantity, factor):
        got = readers.recognise(name)
        assert got is not None and got[0] == quantity and got[2] == pytest.approx(factor)

    @pytest.mark.parametrize(
        "name",
        [
            "Step (Sec)",
            "StepTime",
            "Step_Time(s)",
            "|I|/A",
            "control/mA",
            "Charge Capacity (mWh)",
            "Ece/V",
            "Cap. [Ah]",
        ],
    )
    def test_look_alikes_are_not_taken(self, name):
        got = readers.recognise(name)
        assert got is None or got[0] not in ("time", "current", "voltage", "charge_capacity")


class TestTextVariants:
    def test_semicolons_decimal_commas_and_latin1(self, tmp_path):
        path = tmp_path / "de.csv"
        text = "Zeit;Test Time (s);Current (mA);Voltage (V);Temperatur (°C)\n"
        text += "a;0,0;0,0;3,700;25,5\nb;1,5;-500,0;3,650;25,6\nc;3,0;-500,0;3,640;25,7\n"
        path.write_bytes(text.encode("latin-1"))
        rec = read_quietly(path)
        np.testing.assert_array_equal(rec.time, [0.0, 1.5, 3.0])
        np.testing.assert_array_equal(rec.current, [0.0, -0.5, -0.5])
        np.testing.assert_array_equal(rec.data["Ambient Temperature / degC"], [25.5, 25.6, 25.7])
        assert "numbers with decimal commas" in rec.notes

    def test_tilde_header_with_hours_beside_a_time_of_day(self, tmp_path):
        # a Basytec-style export: '~' preamble and header, time in hours, a wall-clock Time column too
        path = tmp_path / "basy.txt"
        lines = [
            "~Resultfile from a battery test system",
            "~Date: 22.11.2022",
            "~Time[h]\tDataSet\tDate\tTime\tU[V]\tI[A]\tT1[°C]",
            "0.0\t1\t22.11.2022\t23:59:59\t3.70\t0.0\t25.0",
            "0.5\t2\t23.11.2022\t00:29:59\t3.60\t-1.0\t25.5",
            "1.0\t3\t23.11.2022\t00:59:59\t3.55\t-1.0\t26.0",
        ]
        path.write_bytes(("\n".join(lines) + "\n").encode("latin-1"))
        rec = read_quietly(path)
        np.testing.assert_array_equal(rec.time, [0.0, 1800.0, 3600.0])
        np.testing.assert_array_equal(rec.voltage, [3.70, 3.60, 3.55])
        np.testing.assert_array_equal(rec.data["Ambient Temperature / degC"], [25.0, 25.5, 26.0])

    def test_eclab_text_with_decimal_commas(self, tmp_path):
        path = tmp_path / "cell.mpt"
        pre = ["EC-Lab ASCII FILE", "Nb header lines : 4", "Acquisition started on : 01/02/2024 10:00:00"]
        rows = ["mode\ttime/s\t<I>/mA\tEwe/V\tQ-Qo/mA.h", "1\t0,0\t0,0\t3,700\t0,0", "1\t10,0\t-360,0\t3,650\t-1,0"]
        path.write_text("\n".join(pre + rows) + "\n")
        rec = read_quietly(path)
        np.testing.assert_array_equal(rec.current, [0.0, -0.36])
        np.testing.assert_array_equal(rec.data["Net Capacity / Ah"], [0.0, -1e-3])
        assert rec.format == "biologic" and rec.sign_known and rec.start == "2024-01-02 10:00:00"

    def test_records_split_over_sheets_are_joined(self, tmp_path):
        path = tmp_path / "neware.xlsx"
        cols = {"Total Time": ["0:00:00", "0:00:01"], "Current(A)": [0.0, -1.0], "Voltage(V)": [3.7, 3.6]}
        more = {"Total Time": ["0:00:02", "1 day, 0:00:00"], "Current(A)": [-1.0, "x"], "Voltage(V)": [3.5, 3.4]}
        with pd.ExcelWriter(path, engine="openpyxl") as w:
            pd.DataFrame({"Cycle": [1]}).to_excel(w, sheet_name="Cycle", index=False)
            pd.DataFrame(cols).to_excel(w, sheet_name="Record", index=False)
            pd.DataFrame(more).to_excel(w, sheet_name="Record1", index=False)
        with pytest.raises(
            ecm.RecordingError, match=r"neware.xlsx, sheet 'Record1', row 3: column 'Current\(A\)' holds 'x'"
        ):
            read_quietly(path)
        with pd.ExcelWriter(path, engine="openpyxl", mode="a", if_sheet_exists="replace") as w:
            pd.DataFrame(dict(more, **{"Current(A)": [-1.0, 0.0]})).to_excel(w, sheet_name="Record1", index=False)
        rec = read_quietly(path)
        np.testing.assert_array_equal(rec.time, [0.0, 1.0, 2.0, 86400.0])
        assert "samples continued on sheet(s) 'Record1'" in rec.notes

    def test_absolute_day_first_date_times(self, tmp_path):
        path = tmp_path / "clock.csv"
        pd.DataFrame(
            {
                "Time": ["13/05/2024 23:59:58", "13/05/2024 23:59:59", "14/05/2024 00:00:01"],
                "Current(A)": [0.0, 1.0, 1.0],
                "Voltage(V)": [3.6, 3.7, 3.71],
            }
        ).to_csv(path, index=False)
        rec = read_quietly(path)
        np.testing.assert_array_equal(rec.time, [0.0, 1.0, 3.0])
        assert rec.start.startswith("2024-05-13 23:59:58")

    def test_column_map_keeps_the_temperature_and_sign_columns(self, tmp_path):
        path = tmp_path / "mine.txt"
        path.write_text("t\tI\tU\tMd\tTemp 1\n0\t0\t3.7\tR\t21\n1\t2\t3.6\tD\t22\n2\t1\t3.8\tC\t23\n")
        ex = exports.read_export(str(path), columns={"time": "t", "current": "I", "voltage": "U"})
        np.testing.assert_array_equal(ex.current, [0.0, -2.0, 1.0])
        np.testing.assert_array_equal(ex.temperature, [21.0, 22.0, 23.0])

    def test_discharge_positive_file_told_by_its_step_type(self, tmp_path):
        path = tmp_path / "flipped.csv"
        pd.DataFrame(
            {
                "Test_Time(s)": [0.0, 1.0, 2.0, 3.0],
                "Current(A)": [0.0, 2.0, 2.0, -1.0],
                "Voltage(V)": [3.7, 3.6, 3.6, 3.8],
                "Step Type": ["Rest", "CC_DChg", "CC_DChg", "CC_Chg"],
            }
        ).to_csv(path, index=False)
        rec = read_quietly(path)
        np.testing.assert_array_equal(rec.current, [0.0, -2.0, -2.0, 1.0])  # the table: charge positive
        assert rec.written_sign == -1.0
        np.testing.assert_array_equal(exports.read_export(str(path)).current, [0.0, 2.0, 2.0, -1.0])  # as written


def _write(tmp_path, name, t, i=None):
    n = len(t)
    i = np.zeros(n) if i is None else i
    path = tmp_path / name
    pd.DataFrame({"Test_Time(s)": t, "Current(A)": i, "Voltage(V)": np.linspace(3.6, 3.7, n)}).to_csv(path, index=False)
    return str(path)


class TestTimeFaults:
    def test_a_late_sample_is_dropped_not_taken_as_an_appended_export(self, tmp_path):
        t = np.arange(200.0)
        t[100] = 2600.0  # 13 times the span
        rec = read_quietly(_write(tmp_path, "spike.csv", t))
        assert len(rec.time) == 199 and rec.time[-1] == 199.0
        assert rec.notes == ["one sample out of order at line 102 (2600 s): dropped (its neighbours are in order)"]

    def test_an_early_sample_is_dropped(self, tmp_path):
        t = np.arange(50.0)
        t[20] = 3.0
        rec = read_quietly(_write(tmp_path, "dip.csv", t))
        assert len(rec.time) == 49 and set(np.diff(rec.time)) == {1.0, 2.0}
        assert "line 22" in rec.notes[0] and "dropped" in rec.notes[0]

    def test_appended_exports_are_joined(self, tmp_path):
        t = np.concatenate([np.arange(10.0), np.arange(5.0)])
        rec = read_quietly(_write(tmp_path, "two.csv", t))
        np.testing.assert_array_equal(rec.time, np.arange(15.0))
        assert rec.notes == ["time goes back at line 12 (9 s, then 0 s): taken as a new export appended"]

    def test_a_clock_jump_is_kept_and_reported_as_a_gap(self, tmp_path):
        t = np.concatenate([np.arange(30.0), 20000.0 + np.arange(30.0)])
        rec = read_quietly(_write(tmp_path, "gap.csv", t))
        np.testing.assert_array_equal(rec.time, t)
        assert rec.notes and rec.notes[0].startswith("a gap of 19971 s between line 31 and line 32")

    def test_a_span_of_years_is_loud_and_of_centuries_an_error(self, tmp_path, caplog):
        t = np.arange(20.0) * 3e6  # 1.8 years
        with caplog.at_level("WARNING", logger="ecm"):
            rec = read_quietly(_write(tmp_path, "long.csv", t))
        assert any("over a year" in n for n in rec.notes) and "long.csv" in caplog.text
        t = np.arange(20.0) * 1e9
        with pytest.raises(ecm.RecordingError, match=r"ages.csv: the time spans .* years"):
            read_quietly(_write(tmp_path, "ages.csv", t))


class TestHostile:
    def test_empty_and_header_only(self, tmp_path):
        empty = tmp_path / "empty.csv"
        empty.write_bytes(b"")
        with pytest.raises(ecm.RecordingError, match="empty.csv: the file is empty"):
            read_quietly(empty)
        header = tmp_path / "header.csv"
        header.write_text("Test_Time(s),Current(A),Voltage(V)\n")
        with pytest.raises(ecm.RecordingError, match="header.csv: the table has no rows"):
            read_quietly(header)

    def test_truncated_last_line_is_dropped_with_a_note(self, tmp_path):
        path = tmp_path / "cut.csv"
        path.write_text("Test_Time(s),Current(A),Voltage(V)\n0,0,3.7\n1,0,3.7\n2,0,3.7\n3,0")
        rec = read_quietly(path)
        assert len(rec.time) == 3 and rec.notes == ["the last line (5) is cut short: dropped"]

    def test_an_empty_cell_names_its_line(self, tmp_path):
        path = tmp_path / "hole.csv"
        path.write_text("Test_Time(s),Current(A),Voltage(V)\n0,0,3.7\n1,,3.7\n2,0,3.7\n3,0,3.7\n")
        with pytest.raises(ecm.RecordingError, match=r"hole.csv, line 3: column 'Current\(A\)' is empty"):
            read_quietly(path)

    def test_a_row_with_extra_fields(self, tmp_path):
        path = tmp_path / "wide.csv"
        path.write_text("Test_Time(s),Current(A),Voltage(V)\n0,0,3.7\n1,0,3.7\n2,0,3.7,9,9\n")
        with pytest.raises(ecm.RecordingError, match=r"wide.csv, line 4: 5 fields where the header row has 3") as e:
            read_quietly(path)
        assert "tokenizing" not in str(e.value)

    def test_binary_garbage_names_the_known_formats(self, tmp_path):
        path = tmp_path / "cell.dat"
        path.write_bytes(bytes(range(256)) * 8)
        with pytest.raises(ecm.RecordingError, match=r"cell.dat: a binary file of a format not known here.*ndax"):
            read_quietly(path)

    def test_truncated_ndax(self, tmp_path):
        pytest.importorskip("fastnda")
        path = tmp_path / "cut.ndax"
        data = open(fixture("TESTCELL0001-Test_Data_Collection_Ndc17.ndax"), "rb").read()
        path.write_bytes(data[: len(data) // 2])
        with pytest.raises(ecm.RecordingError, match=r"cut.ndax: cannot be read as a Neware file"):
            read_quietly(path)

    def test_a_workbook_without_samples_lists_its_sheets(self, tmp_path):
        path = tmp_path / "summary.xlsx"
        pd.DataFrame({"Cycle": [1, 2], "CapC/mAh": [2.7, 2.4]}).to_excel(path, sheet_name="Cycle-Tab", index=False)
        with pytest.raises(ecm.RecordingError, match=r"summary.xlsx: no sheet \('Cycle-Tab'\) has a header row"):
            read_quietly(path)

    def test_missing_tools_and_libraries_say_what_to_install(self, tmp_path, monkeypatch):
        res = tmp_path / "cell.res"
        res.write_bytes(b"\x00\x01\x00\x00Standard Jet DB\x00")
        monkeypatch.setattr(shutil, "which", lambda name: None)
        with pytest.raises(ecm.RecordingError, match=r"cell.res: reading Arbin .res files needs mdbtools"):
            read_quietly(res)
        monkeypatch.setitem(sys.modules, "fastnda", None)
        (tmp_path / "cell.ndax").write_bytes(b"PK")
        with pytest.raises(ecm.RecordingError, match=r"cell.ndax: reading .ndax files needs fastnda .*\[exports\]"):
            read_quietly(tmp_path / "cell.ndax")

    def test_a_reader_library_failure_is_a_recording_error(self, tmp_path, monkeypatch):
        def broken(path, **kw):
            raise struct_error("unpack requires a buffer of 8 bytes")

        struct_error = type("error", (Exception,), {})
        monkeypatch.setitem(sys.modules, "fastnda", types.SimpleNamespace(read=broken))
        (tmp_path / "x.nda").write_bytes(b"NEWARE")
        with pytest.raises(ecm.RecordingError, match=r"x.nda: cannot be read as a Neware file: error: unpack"):
            read_quietly(tmp_path / "x.nda")

    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(
        source=st.sampled_from(
            [
                "maccor_002_slice.txt",
                "novonix_Form-CH01-01_head.csv",
                "pec_head.csv",
                "neware_uio_slice.csv",
                "biologic_loops_head.csv",
                "landt_SINTEF_slice.csv",
                "maccor_4267-66-6519_head.041",
            ]
        ),
        cut=st.floats(0.0, 1.0),
        junk=st.binary(max_size=40),
        where=st.floats(0.0, 1.0),
    )
    # an unclosed quote near the end of a cut file (pandas' tokenizer message had leaked through)
    @example(source="novonix_Form-CH01-01_head.csv", cut=0.2421875, junk=b'"', where=0.921875)
    def test_mutated_real_files_read_or_fail_clearly(self, tmp_path, source, cut, junk, where):
        data = open(fixture(source), "rb").read()
        data = data[: int(len(data) * (0.2 + 0.8 * cut))]
        k = int(len(data) * where)
        data = data[:k] + junk + data[k:]
        path = tmp_path / ("m_" + source)
        path.write_bytes(data)
        try:
            rec = read_quietly(path)
        except ecm.RecordingError as e:
            assert str(path) in str(e)
            assert "tokenizing" not in str(e) and "Traceback" not in str(e)
        else:
            assert np.all(np.diff(rec.time) > 0) and np.all(np.isfinite(rec.voltage))


class TestConvertCommand:
    def test_convert_writes_the_bdf_csv(self, tmp_path):
        src = fixture("landt_SINTEF_slice.csv")
        r = subprocess.run(
            [
                sys.executable,
                "-m",
                "ecm",
                "convert",
                src,
                fixture("pec_head.csv"),
                "--to",
                "bdf",
                "--out",
                str(tmp_path),
            ],
            capture_output=True,
            text=True,
        )
        assert r.returncode == 0, r.stderr
        out = pd.read_csv(tmp_path / "landt_SINTEF_slice.bdf.csv")
        theirs = pd.read_csv(fixture("landt_SINTEF_slice.bdf.csv"))
        np.testing.assert_array_equal(out["Current / A"], theirs["current_ampere"])
        np.testing.assert_array_equal(out["Test Time / s"], theirs["test_time_second"])
        assert (tmp_path / "pec_head.bdf.csv").exists()

    def test_convert_orients_an_unknown_sign_from_the_voltage(self, tmp_path):
        path = tmp_path / "plain.csv"
        t = np.arange(0.0, 400.0)
        i = np.where((t >= 100) & (t < 200), 2.0, 0.0)  # discharge written positive: the voltage falls
        v = 3.7 - 0.05 * i - 0.0002 * np.clip(t - 100, 0, 100) * (t >= 100)
        pd.DataFrame({"Time (s)": t, "Current (A)": i, "Voltage (V)": v}).to_csv(path, index=False)
        r = subprocess.run(
            [sys.executable, "-m", "ecm", "convert", str(path), "--to", "bdf"], capture_output=True, text=True
        )
        assert r.returncode == 0, r.stderr
        out = pd.read_csv(tmp_path / "plain.bdf.csv")
        assert out["Current / A"].min() == -2.0 and "voltage's response" in r.stdout

    def test_convert_errors_name_the_file(self, tmp_path):
        bad = tmp_path / "bad.bin"
        bad.write_bytes(b"\x00\xff" * 100)
        r = subprocess.run(
            [sys.executable, "-m", "ecm", "convert", str(bad), "--to", "bdf"], capture_output=True, text=True
        )
        assert r.returncode != 0 and "bad.bin" in r.stderr and "Traceback" not in r.stderr
        r = subprocess.run(
            [sys.executable, "-m", "ecm", "convert", str(bad), "--to", "parquet"], capture_output=True, text=True
        )
        assert r.returncode != 0 and "bdf" in r.stderr


def test_csv_module_agrees_on_the_novonix_header():
    # an independent check of the quoted-row layout: csv sees one field per row
    with open(fixture("novonix_Form-CH01-01_head.csv"), encoding="utf-8") as f:
        rows = list(csv.reader(io.StringIO(f.read())))
    data = rows[rows.index(["[Data]"]) + 1 :]
    assert all(len(r) == 1 for r in data)
    assert len(read_quietly(fixture("novonix_Form-CH01-01_head.csv")).time) == len(data) - 1

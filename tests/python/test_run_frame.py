"""The run frame and the loading of recordings, through whole imports of ecmfit."""

import os

import numpy as np
import pandas as pd
import pytest
from runner import pulse_table, run_ecmfit, write_config
from scipy.integrate import cumulative_trapezoid

CONFIG_EXIT = "\nInput parameter definition file not found in './input_params.json'\n"
CUTOFF_EXIT = (
    "\nBattery voltage does not cross the defined low cut off voltage. "
    "Please define higher cut off level and run again.\n"
)


def battery(tmp_path, tables, folder="cellA", **config):
    """Writes raw_data/<name> for each (name, DataFrame or text) and the configuration."""
    raw = tmp_path / "db" / folder / "raw_data"
    raw.mkdir(parents=True)
    for name, table in tables.items():
        if isinstance(table, pd.DataFrame):
            table.to_csv(raw / name, index=False)
        elif isinstance(table, bytes):
            (raw / name).write_bytes(table)
        else:
            (raw / name).write_text(table)
    config = {"battery_database": str(tmp_path / "db") + "/", "battery_folder": folder, **config}
    write_config(tmp_path, **config)
    return tmp_path / "db" / folder


class TestConfiguration:
    @pytest.mark.parametrize("content", [None, "{not json", ""])
    def test_unreadable_configuration_exits_with_the_message(self, tmp_path, content):
        if content is not None:
            (tmp_path / "input_params.json").write_text(content)
        run = run_ecmfit(tmp_path)
        assert run.returncode == 1
        assert run.stderr.endswith(CONFIG_EXIT + "\n")  # the interpreter adds a line break
        assert "Traceback" not in run.stderr

    @pytest.mark.parametrize("key", ["battery_database", "battery_folder", "high_cutoff", "low_cutoff"])
    def test_missing_key_names_file_and_key(self, tmp_path, key):
        battery(tmp_path, {"c_100mAh_Tp25.csv": pulse_table()}, **{key: None})
        run = run_ecmfit(tmp_path)
        assert run.returncode == 1
        last = run.stderr.strip().splitlines()[-1]
        assert last.startswith("KeyError") and "input_params.json" in last and key in last

    def test_missing_model_fails_after_the_three_value_lines(self, tmp_path):
        folder = battery(tmp_path, {"c_100mAh_Tp25.csv": pulse_table()}, model=None)
        run = run_ecmfit(tmp_path)
        assert run.log == [f"INFO:workdir = {folder}", "INFO:vhigh = 4.2 V", "INFO:vcut = 3.0 V"]
        assert "KeyError" in run.stderr and "'model'" in run.stderr

    def test_non_numeric_cutoff_is_a_clear_error(self, tmp_path):
        battery(tmp_path, {"c_100mAh_Tp25.csv": pulse_table()}, low_cutoff="three volts")
        run = run_ecmfit(tmp_path)
        last = run.stderr.strip().splitlines()[-1]
        assert last.startswith("ValueError") and "low_cutoff" in last and "three volts" in last

    def test_numeric_strings_are_accepted(self, tmp_path):
        folder = battery(
            tmp_path, {"c_100mAh_Tp25.csv": pulse_table()}, low_cutoff="3.05", high_cutoff="4.25", model="model1"
        )
        run = run_ecmfit(tmp_path, dump=["vcut", "vhigh"])
        assert run.log[:3] == [f"INFO:workdir = {folder}", "INFO:vhigh = 4.25 V", "INFO:vcut = 3.05 V"]
        assert run.returncode == 0, run.stderr[-2000:]
        assert run.values["vcut"] == 3.05 and run.values["vhigh"] == 4.25

    def test_missing_battery_folder_names_it(self, tmp_path):
        write_config(tmp_path, str(tmp_path) + "/", "no_such_cell")
        run = run_ecmfit(tmp_path)
        last = run.stderr.strip().splitlines()[-1]
        assert last.startswith("FileNotFoundError") and "no_such_cell" in last

    def test_unknown_model_is_rejected_before_anything_is_written(self, tmp_path):
        folder = battery(tmp_path, {"c_100mAh_Tp25.csv": pulse_table()}, model="Model1")
        run = run_ecmfit(tmp_path)
        assert not any("selected" in ln for ln in run.log)
        last = run.stderr.strip().splitlines()[-1]
        assert last.startswith("ValueError") and "'Model1'" in last and '"model1"' in last and '"model2"' in last
        assert os.listdir(folder / "results") == []


class TestFrame:
    def test_no_recordings_logs_an_error_and_still_calls_the_builder(self, tmp_path):
        folder = tmp_path / "db" / "cellA"
        folder.mkdir(parents=True)
        write_config(tmp_path, str(tmp_path / "db") + "/", "cellA", model="model1")
        run = run_ecmfit(tmp_path)
        assert run.log[:5] == [
            f"INFO:workdir = {folder}",
            "INFO:vhigh = 4.2 V",
            "INFO:vcut = 3.0 V",
            "INFO:model1 selected",
            "ERROR:No *.csv files found!",
        ]
        assert (folder / "results").is_dir()
        # the builder ran and found no parameter files
        assert "_params.json" in run.stderr.strip().splitlines()[-1]

    def test_relative_battery_folder_is_found_from_the_start_directory(self, tmp_path):
        raw = tmp_path / "data" / "cellA" / "raw_data"
        raw.mkdir(parents=True)
        pulse_table().to_csv(raw / "cellA_100mAh_Tp25.csv", index=False)
        write_config(tmp_path, "data/", "cellA", model="model1")
        run = run_ecmfit(tmp_path, dump=["workdir", "infiles"])
        assert run.returncode == 0, run.stderr[-2000:]
        assert run.log[0] == "INFO:workdir = data/cellA"
        assert run.values["workdir"] == "data/cellA"
        assert (tmp_path / "data" / "cellA" / "results" / "cellA_100mAh_Tp25_params.json").exists()
        assert (tmp_path / "data" / "cellA" / "results" / "battery_model.json").exists()

    def test_log_lines_and_module_values_of_a_run(self, tmp_path):
        folder = battery(tmp_path, {"cellA_100mAh_Tn5.csv": pulse_table()}, model="model1")
        run = run_ecmfit(
            tmp_path,
            dump=[
                "values",
                "workdir",
                "vhigh",
                "vcut",
                "infiles",
                "infile",
                "battery_capacity",
                "temperature",
                "temperature_txt",
            ],
        )
        assert run.returncode == 0, run.stderr[-2000:]
        infile = str(folder / "raw_data" / "cellA_100mAh_Tn5.csv")
        assert run.log[:7] == [
            f"INFO:workdir = {folder}",
            "INFO:vhigh = 4.2 V",
            "INFO:vcut = 3.0 V",
            "INFO:model1 selected",
            f"INFO:started processing file '{infile}'",
            "INFO:nominal capacity = 100 mAh",
            "INFO:temperature = -5 C",
        ]
        v = run.values
        assert v["values"]["model"] == "model1"
        assert isinstance(v["vcut"], float) and isinstance(v["battery_capacity"], int)
        assert v["infiles"] == [infile] and v["infile"] == infile
        assert v["temperature"] == -5 and v["temperature_txt"] == "n5"
        assert "INFO:Saved file 'battery_model.json'" in run.log
        assert "Total cycles = " in run.stdout

    def test_capacity_that_is_not_an_integer_names_the_file(self, tmp_path):
        battery(tmp_path, {"cellA_1x0mAh_Tp25.csv": pulse_table()})
        run = run_ecmfit(tmp_path)
        last = run.stderr.strip().splitlines()[-1]
        assert last.startswith("ValueError") and "cellA_1x0mAh_Tp25.csv" in last and "'1x0'" in last

    def test_capacity_piece_with_path_text_fails(self, tmp_path):
        battery(tmp_path, {"800mAh_Tp25.csv": pulse_table()})
        run = run_ecmfit(tmp_path)
        assert "data/800" in run.stderr.strip().splitlines()[-1]


class TestTemperature:
    @pytest.mark.parametrize(
        "values,expected", [([24.0, 25.0], 24), ([25.0, 26.0], 26), ([-9.6], -10), ([-9.4, -9.8, -9.6], -10)]
    )
    def test_rounded_median_of_the_data(self, tmp_path, values, expected):
        df = pulse_table()
        df["Temperature(C)"] = np.resize(values, len(df))
        if len(values) == 2:  # an even count: the median is the mean of the two middle values
            df["Temperature(C)"] = [values[0]] * (len(df) // 2) + [values[1]] * (len(df) - len(df) // 2)
        battery(tmp_path, {"c_100mAh_Tp99.csv": df})
        run = run_ecmfit(tmp_path)
        assert f"INFO:temperature = {expected} C" in run.log

    def test_an_empty_cell_falls_back_to_the_file_name(self, tmp_path):
        df = pulse_table(temperature=20.0)
        df.loc[5, "Temperature(C)"] = np.nan
        battery(tmp_path, {"c_100mAh_Tn10.csv": df})
        run = run_ecmfit(tmp_path)
        assert "INFO:temperature = -10 C" in run.log

    def test_no_column_and_tp0(self, tmp_path):
        battery(tmp_path, {"c_100mAh_Tp0.csv": pulse_table()})
        assert "INFO:temperature = 0 C" in run_ecmfit(tmp_path).log

    @pytest.mark.parametrize("name", ["c_100mAh_T25.csv", "c_100mAh_25C.csv", "c_100mAh_Tpx.csv"])
    def test_unreadable_temperature_name_is_a_clear_error(self, tmp_path, name):
        battery(tmp_path, {name: pulse_table()})
        run = run_ecmfit(tmp_path)
        last = run.stderr.strip().splitlines()[-1]
        assert last.startswith("ValueError") and name in last and "_Tp25" in last


class TestRecordingErrors:
    def expect_error(self, tmp_path, table, *fragments, name="c_100mAh_Tp25.csv"):
        folder = battery(tmp_path, {name: table})
        run = run_ecmfit(tmp_path)
        assert run.returncode == 1
        last = run.stderr.strip().splitlines()[-1]
        assert name in last, last
        for f in fragments:
            assert f in last, last
        assert "Segmentation" not in run.stderr
        assert os.listdir(folder / "results") == []
        return last

    def test_missing_column(self, tmp_path):
        self.expect_error(tmp_path, pulse_table().drop(columns=["Current(A)"]), '"Current(A)"')

    def test_text_in_a_numeric_column_names_the_line(self, tmp_path):
        df = pulse_table().astype({"Voltage(V)": object})
        df.loc[7, "Voltage(V)"] = "4.1V"
        self.expect_error(tmp_path, df, "line 9", '"Voltage(V)"', "4.1V")

    def test_no_rows(self, tmp_path):
        self.expect_error(tmp_path, "Seconds,Current(A),Voltage(V)\n", "no data rows")

    def test_empty_file(self, tmp_path):
        self.expect_error(tmp_path, "", "cannot read")

    def test_not_utf8(self, tmp_path):
        self.expect_error(tmp_path, b"Seconds,Current(A),Voltage(V)\n0,0,4\xff\xfe\n", "UTF-8")

    def test_time_not_increasing(self, tmp_path):
        df = pulse_table()
        df.loc[30, "Seconds"] = df.loc[29, "Seconds"]
        self.expect_error(tmp_path, df, "line 32", "Seconds")

    @pytest.mark.parametrize("column", ["Seconds", "Current(A)", "Voltage(V)"])
    def test_nan_in_a_used_column(self, tmp_path, column):
        df = pulse_table()
        df.loc[12, column] = np.nan
        self.expect_error(tmp_path, df, "line 14", f'"{column}"')

    def test_never_below_the_cutoff_exits(self, tmp_path):
        df = pulse_table()
        df["Voltage(V)"] = df["Voltage(V)"].clip(lower=3.0)  # equal to the cut-off is not below it
        battery(tmp_path, {"c_100mAh_Tp25.csv": df})
        run = run_ecmfit(tmp_path)
        assert run.returncode == 1 and run.stderr.endswith(CUTOFF_EXIT + "\n")
        assert run.log[-1] == "INFO:temperature = 25 C"


class TestTrimming:
    def test_vectors_and_charge_against_pandas_and_scipy(self, tmp_path):
        df = pulse_table(n_pulses=10, temperature=25.0)
        rng = np.random.default_rng(3)
        df["Seconds"] = np.cumsum(rng.uniform(0.5, 1.5, len(df)))
        df["Current(A)"] += rng.normal(0, 1e-3, len(df))
        k = 412
        df.loc[k, "Voltage(V)"] = 2.99  # first sample below the cut-off ...
        df.loc[k + 1 :, "Voltage(V)"] = 3.5  # ... and the voltage rises again afterwards
        battery(tmp_path, {"c_100mAh_Tp25.csv": df})
        run = run_ecmfit(tmp_path, dump=["idx_end", "v", "t", "iload", "cum_mAh", "vraw", "df"])
        ref = pd.read_csv(tmp_path / "db" / "cellA" / "raw_data" / "c_100mAh_Tp25.csv")
        assert run.values["idx_end"] == k
        np.testing.assert_array_equal(run.values["v"], ref["Voltage(V)"].to_numpy()[:k])
        np.testing.assert_array_equal(run.values["t"], ref["Seconds"].to_numpy()[:k])
        np.testing.assert_array_equal(run.values["iload"], ref["Current(A)"].to_numpy()[:k])
        np.testing.assert_array_equal(run.values["vraw"], ref["Voltage(V)"].to_numpy())
        expected = np.abs(
            cumulative_trapezoid(y=1000 * ref["Current(A)"].to_numpy()[:k], x=ref["Seconds"].to_numpy()[:k], initial=0)
            / 3600
        )
        np.testing.assert_allclose(run.values["cum_mAh"], expected, rtol=1e-13, atol=1e-12)
        assert run.values["cum_mAh"][0] == 0.0

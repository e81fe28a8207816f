"""write_battery_model_file on hand-written parameter files, compared entry by
entry with an independent NumPy/pandas computation of the model."""

import glob
import json
import logging
import math
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
import scipy.io

ecmgen = pytest.importorskip("ecmgen")

SOC_GRID = [i * 0.005 for i in range(201)]
JSON_KEYS = ["param_1", "temps"] + ["param_%d" % k for k in range(2, 13)]
MAT_KEYS = [
    "SOC",
    "temps",
    "OCV",
    "OCVrel",
    "OCV0",
    "dOCV0",
    "dOCVrel",
    "SOCrel",
    "SOC0",
    "R0Param",
    "RCParam",
    "RParam",
    "QParam",
]
FITTED = {"param_3", "param_4", "param_5", "param_6", "param_7", "param_8"}


def ocv_curve(temp, soc=SOC_GRID):
    s = np.asarray(soc)
    return list(3.0 + 1.1 * s - 0.15 * np.exp(-25 * s) + 0.08 * s**4 + 0.0006 * temp * (1 - s) + 0.2)


def write_param_file(results, name, temp, cap, rc, soc=None, ocv=None, raw=None):
    """A parameter file as the extraction writes it (json.dumps with defaults)."""
    soc = SOC_GRID if soc is None else soc
    ocv = ocv_curve(temp, soc) if ocv is None else ocv
    text = (
        raw if raw is not None else json.dumps({"TempC": temp, "Tparam_1": cap, "Tparam_2": rc, "Tparam_3": [soc, ocv]})
    )
    with open(os.path.join(results, name), "w") as f:
        f.write(text)


@pytest.fixture
def folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the builder changes directory; restore it afterwards
    results = tmp_path / "cell" / "results"
    results.mkdir(parents=True)
    return tmp_path / "cell"


@pytest.fixture
def info_logs(caplog):
    caplog.set_level(logging.INFO)
    return caplog


def three_temperatures(results):
    write_param_file(results, "CELL01_2000mAh_T25_params.json", 25, 2.0512, [0.061, 0.0213, 1520.4])
    write_param_file(results, "CELL01_2000mAh_Tm10_params.json", -10, 1.8123, [0.121, 0.0411, 950.25])
    write_param_file(results, "CELL01_2000mAh_T0_params.json", 0, 1.95, [0.083, 0.0302, 1210.0])


# ---- the independent computation ---------------------------------------------


def reference_records(results, vbatlow, vbathigh, names):
    """The model records computed step by step with NumPy and pandas."""
    params, params_json = {}, {}
    temperatures = np.array([])
    ocv_data = pd.DataFrame()
    cap_data, rcparams = {}, {}
    for name in names:
        with open(os.path.join(results, name)) as f:
            data = json.load(f)
        temp = data["TempC"]
        temperatures = np.append(temperatures, temp)
        cap_data[temp] = data["Tparam_1"]
        ocv_data["SOC"] = data["Tparam_3"][0]
        ocv_data[temp] = data["Tparam_3"][1]
        rcparams[temp] = data["Tparam_2"]
    temperatures = np.sort(temperatures)
    params["SOC"] = data["Tparam_3"][0]
    params_json["param_1"] = params["SOC"]
    params["temps"] = temperatures
    params_json["temps"] = temperatures.tolist()
    capacities = np.array([])
    for t in temperatures:
        capacities = np.append(capacities, cap_data[t])

    soc_data = pd.DataFrame()
    vovc = np.linspace(vbatlow - 0.01, vbathigh, 122)
    soc_data["vocv"] = vovc
    for t in temperatures:
        soc_data[t] = np.interp(vovc, ocv_data[t], ocv_data["SOC"])
    params["OCV"] = vovc
    params_json["param_2"] = vovc.tolist()

    x = np.array(ocv_data.columns[1:], dtype=float)
    A = np.vstack([x, np.ones(len(x))]).T
    y = ocv_data.values[:, 1:].T.astype(float)
    C = np.linalg.lstsq(A, y, rcond=None)[0]
    params["OCVrel"], params["OCV0"] = C[0], C[1]
    params_json["param_3"], params_json["param_4"] = C[0].tolist(), C[1].tolist()

    dZ = np.mean(np.diff(ocv_data["SOC"]))
    for key, jkey, src in (("dOCV0", "param_5", "OCV0"), ("dOCVrel", "param_6", "OCVrel")):
        d = np.diff(params[src]) / dZ
        params[key] = (np.insert(d, 0, d[0]) + np.insert(d, -1, d[-1])) / 2
        params_json[jkey] = params[key].tolist()

    socrel, soc0 = [], []
    for i in range(len(soc_data)):
        xs = np.array(soc_data.columns[1:], dtype=float)
        ys = soc_data.iloc[i, 1:].values.astype(float)
        As = np.vstack([xs, np.ones(len(xs))]).T
        r, c0 = np.linalg.lstsq(As, ys, rcond=None)[0]
        socrel.append(r)
        soc0.append(c0)
    params["SOCrel"], params["SOC0"] = np.array(socrel), np.array(soc0)
    params_json["param_7"], params_json["param_8"] = list(socrel), list(soc0)

    r0, tau1, tau2, r1, r2 = [], [], [], [], []
    for t in temperatures:
        p = rcparams[t]
        r0.append(p[0])
        tau1.append(p[1] * p[2])
        r1.append(p[1])
        if len(p) > 3:
            tau2.append(p[3] * p[4])
            r2.append(p[3])
    two = len(rcparams[temperatures[-1]]) > 3
    for key, jkey, val in (
        ("R0Param", "param_9", r0),
        ("RCParam", "param_10", tau1 + tau2 if two else tau1),
        ("RParam", "param_11", r1 + r2 if two else r1),
        ("QParam", "param_12", capacities.tolist()),
    ):
        params[key] = [float(v) for v in val]
        params_json[jkey] = params[key]
    name = names[0].split("_")[0]
    params["name"] = "".join("'" + ch + "'" for ch in name)
    params_json["name"] = list(name)
    return params, params_json


def reference_text(params_json):
    """The model text by the encoder's algorithm, in Python."""
    s = "{"
    for key, value in params_json.items():
        if len(value) == 0:
            continue
        key_str = json.dumps(key) + ": "
        if key == "name":
            key_str += json.dumps("".join(value)) + ", "
        else:
            key_str += "["
            for val in value:
                val_str = str(val)
                if not math.isfinite(val):
                    val_str = {math.inf: "Infinity", -math.inf: "-Infinity"}.get(val, "NaN")
                elif "e" in val_str:
                    basenum, exp2 = np.frexp(val)
                    exp10 = int(np.abs(np.floor(exp2 * np.log10(2)))) + 3
                    val_str = "{:.{}f}".format(val, exp10)
                key_str += val_str + ", "
            key_str = key_str[:-2] + "], "
        s += key_str
    return s[:-2] + "}"


def last_unit(fixed_text):
    """One unit of the last decimal of a text the number rule wrote in fixed point."""
    if "." not in fixed_text or len(fixed_text.split(".")[1]) < 7:
        return 0.0
    return 10.0 ** -len(fixed_text.split(".")[1])


def split_entries(text):
    """The text of each entry of a one-line model text, by key."""
    body = json.loads(text)
    out = {}
    for key in body:
        start = text.index(json.dumps(key) + ": ") + len(json.dumps(key)) + 2
        end = text.index("]", start) + 1 if text[start] == "[" else text.index('"', start + 1) + 1
        out[key] = text[start:end]
    return out


def assert_matches_reference(results, vbatlow, vbathigh, names):
    params, params_json = reference_records(results, vbatlow, vbathigh, names)
    text = open(os.path.join(results, "battery_model.json")).read()
    model = json.loads(text)
    assert list(model) == [k for k in JSON_KEYS + ["name"] if len(params_json[k])]
    ref_entries = split_entries(reference_text(params_json))
    our_entries = split_entries(text)
    for key in model:
        if key == "name":
            assert model["name"] == "".join(params_json["name"])
        elif key in FITTED:
            # Least squares by another method agrees to rounding; values written
            # in fixed point may then differ by one unit of their last decimal.
            ref_texts = ref_entries[key][1:-1].split(", ")
            assert len(model[key]) == len(ref_texts), key
            for ours, ref_text, exact in zip(model[key], ref_texts, params_json[key]):
                assert ours == pytest.approx(exact, rel=1e-9, abs=1e-12 + last_unit(ref_text)), key
        else:
            # No least squares involved: the same doubles, hence the same text.
            assert our_entries[key] == ref_entries[key], key
    return params, params_json, text


# ---- whole builder runs ------------------------------------------------------


class TestWholeModel:
    def test_three_temperatures_match_numpy(self, folder, info_logs):
        results = str(folder / "results")
        three_temperatures(results)
        names = glob.glob(os.path.join(results, "*_params.json"))
        assert ecmgen.write_battery_model_file(str(folder), 3.0, 4.2) is None
        assert os.getcwd() == results
        names = glob.glob("*_params.json")  # directory order, as the builder saw it
        _, pj, text = assert_matches_reference(results, 3.0, 4.2, names)
        model = json.loads(text)
        assert model["temps"] == [-10.0, 0.0, 25.0]
        assert model["param_12"] == [1.8123, 1.95, 2.0512]
        assert len(model["param_2"]) == len(model["param_7"]) == len(model["param_8"]) == 122
        assert model["param_2"][0] == pytest.approx(2.99) and model["param_2"][-1] == 4.2
        assert model["name"] == "CELL01"
        assert text.endswith("}") and "\n" not in text and "e-" not in text and "e+" not in text
        assert [r.getMessage() for r in info_logs.records] == ["Saved file 'battery_model.json'"]
        assert not os.path.exists("battery_model.mat")

    @pytest.mark.parametrize("vbatlow, vbathigh", [(2.5, 4.35), (3.2, 4.1), (3.0, 3.0)])
    def test_other_voltage_limits(self, folder, vbatlow, vbathigh):
        results = str(folder / "results")
        three_temperatures(results)
        ecmgen.write_battery_model_file(str(folder), vbatlow, vbathigh)
        assert_matches_reference(results, vbatlow, vbathigh, glob.glob("*_params.json"))

    def test_two_branch_and_small_values(self, folder):
        results = str(folder / "results")
        write_param_file(results, "X9_a_params.json", 10, 3.5, [1.2e-05, 3.4e-06, 2.5e7, 0.0042, 88000.0])
        write_param_file(results, "X9_b_params.json", 40, 3.6, [9.9e-05, 1e-07, 1.5e16, 0.0031, 120000.0])
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        _, _, text = assert_matches_reference(results, 3.0, 4.2, glob.glob("*_params.json"))
        model = json.loads(text)
        assert len(model["param_10"]) == 4
        entries = split_entries(text)
        assert "0.00001200" in entries["param_9"] and "0.0000990" in entries["param_9"]

    def test_relative_wdir_and_keyword_arguments(self, folder, monkeypatch):
        three_temperatures(str(folder / "results"))
        monkeypatch.chdir(folder)
        ecmgen.write_battery_model_file(wdir=".", vbathigh=4.2, vbatlow=3.0, veltrarun=False)
        assert os.path.samefile(os.getcwd(), folder / "results")
        assert os.path.exists("battery_model.json")


class TestWorkedExamples:
    def test_slope_and_intercept_between_two_temperatures(self, folder):
        results = str(folder / "results")
        soc = [0.0, 0.5, 1.0]
        write_param_file(results, "A_0_params.json", 0, 2.0, [0.1, 0.01, 100.0], soc, [3.0, 3.6, 4.2])
        write_param_file(results, "A_25_params.json", 25, 2.0, [0.1, 0.01, 100.0], soc, [3.0, 3.7, 4.2])
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        model = json.load(open("battery_model.json"))
        assert model["param_3"][1] == pytest.approx(0.004, rel=1e-12)
        assert model["param_4"][1] == pytest.approx(3.6, rel=1e-12)
        assert_matches_reference(results, 3.0, 4.2, glob.glob("*_params.json"))

    def test_single_temperature_minimum_norm_and_warning(self, folder, info_logs):
        results = str(folder / "results")
        soc = [0.0, 0.5, 1.0]
        write_param_file(results, "ONE_25_params.json", 25, 2.0, [0.1, 0.01, 100.0], soc, [3.0, 3.7, 4.2])
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        model = json.load(open("battery_model.json"))
        assert model["param_4"][1] == pytest.approx(3.7 / 626, rel=1e-6)
        assert model["param_3"][1] == pytest.approx(25 * 3.7 / 626, rel=1e-6)
        assert model["param_4"][1] + 25 * model["param_3"][1] == pytest.approx(3.7, rel=1e-6)
        assert model["temps"] == [25.0] and model["param_12"] == [2.0]
        warnings = [r for r in info_logs.records if r.levelno == logging.WARNING]
        assert len(warnings) == 1
        assert "not determined by one temperature" in warnings[0].getMessage()
        assert_matches_reference(results, 3.0, 4.2, ["ONE_25_params.json"])

    def test_no_warning_with_two_temperatures(self, folder, info_logs):
        three_temperatures(str(folder / "results"))
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        assert not [r for r in info_logs.records if r.levelno >= logging.WARNING]

    def test_derivative_along_soc(self, folder):
        results = str(folder / "results")
        soc = [0.0, 0.25, 0.5, 0.75]
        # The same curve at two temperatures: OCV0 is the curve and OCVrel is zero.
        for t in (0, 30):
            write_param_file(results, "D_%d_params.json" % t, t, 1.0, [0.1, 0.01, 100.0], soc, [3.0, 3.1, 3.3, 3.4])
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        model = json.load(open("battery_model.json"))
        np.testing.assert_allclose(model["param_5"], [0.4, 0.6, 0.6, 0.4], rtol=1e-9)
        np.testing.assert_allclose(model["param_6"], [0, 0, 0, 0], atol=1e-12)

    def test_flat_soc_outside_the_curve(self, folder):
        results = str(folder / "results")
        soc = list(np.linspace(0, 1, 201))
        for t in (0, 25):
            write_param_file(
                results, "F_%d_params.json" % t, t, 1.0, [0.1, 0.01, 100.0], soc, list(np.linspace(3.0, 4.2, 201))
            )
        ecmgen.write_battery_model_file(str(folder), 2.9, 4.3)
        model = json.load(open("battery_model.json"))
        volts = np.array(model["param_2"])
        soc0 = np.array(model["param_8"])
        np.testing.assert_allclose(soc0[volts < 3.0], 0.0, atol=1e-12)
        np.testing.assert_allclose(soc0[volts > 4.2], 1.0, atol=1e-12)

    @pytest.mark.parametrize(
        "lists, n_tau",
        [
            ({-10: 3, 0: 3, 25: 3}, 3),
            ({-10: 5, 0: 5, 25: 5}, 6),
            ({-10: 5, 0: 5, 25: 3}, 3),
            ({-10: 3, 0: 3, 25: 5}, 4),
        ],
    )
    def test_arrangement_by_highest_temperature(self, folder, lists, n_tau):
        results = str(folder / "results")
        for t, n in lists.items():
            rc = [0.05 + t / 1000, 0.02, 1000.0 + t, 0.01 + t / 10000, 20000.0][:n]
            write_param_file(results, "R_%d_params.json" % (t + 100), t, 2.0, rc)
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        params, _, text = assert_matches_reference(results, 3.0, 4.2, glob.glob("*_params.json"))
        model = json.loads(text)
        assert len(model["param_10"]) == len(model["param_11"]) == n_tau
        assert model["param_10"][:3] == [0.02 * (1000.0 + t) for t in (-10, 0, 25)]
        if n_tau == 4:
            assert model["param_10"][3] == pytest.approx((0.01 + 25 / 10000) * 20000.0)
            assert model["param_11"][3] == 0.01 + 25 / 10000

    def test_file_order_25_minus10_0(self, folder, monkeypatch):
        results = str(folder / "results")
        order = ["CELLA_25_params.json", "CELLB_m10_params.json", "CELLC_0_params.json"]
        for name, t, cap in zip(order, (25, -10, 0), (2.5, 1.8, 2.1)):
            write_param_file(results, name, t, cap, [0.05, 0.02, 1000.0 + t])
        monkeypatch.setattr(glob, "glob", lambda pattern: list(order))
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        _, _, text = assert_matches_reference(results, 3.0, 4.2, order)
        model = json.loads(text)
        assert model["temps"] == [-10.0, 0.0, 25.0]
        assert model["param_12"] == [1.8, 2.1, 2.5]
        assert model["param_10"] == [0.02 * 990.0, 0.02 * 1000.0, 0.02 * 1025.0]
        assert model["name"] == "CELLA"

    def test_duplicate_temperature_later_file_wins(self, folder, monkeypatch, info_logs):
        results = str(folder / "results")
        order = ["DUP_first_params.json", "DUP_zero_params.json", "DUP_second_params.json"]
        write_param_file(results, order[0], 25, 2.0, [0.05, 0.02, 1000.0])
        write_param_file(results, order[1], 0, 1.9, [0.07, 0.03, 900.0])
        write_param_file(results, order[2], 25, 2.2, [0.04, 0.01, 1100.0], ocv=ocv_curve(30))
        monkeypatch.setattr(glob, "glob", lambda pattern: list(order))
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        _, _, text = assert_matches_reference(results, 3.0, 4.2, order)
        model = json.loads(text)
        assert model["temps"] == [0.0, 25.0, 25.0]
        assert model["param_9"] == [0.07, 0.04, 0.04]
        assert model["param_12"] == [1.9, 2.2, 2.2]
        # Two distinct temperatures: the fits are determined.
        assert not [r for r in info_logs.records if r.levelno >= logging.WARNING]

    def test_soc_axis_from_last_file_as_stored(self, folder, monkeypatch):
        results = str(folder / "results")
        grid_a = [0.0, 0.5, 1.0]
        grid_b = [0, 0.25, 1]  # integers are taken over as they are written
        write_param_file(results, "G_a_params.json", 0, 1.0, [0.1, 0.01, 100.0], grid_a, [3.0, 3.5, 4.0])
        write_param_file(results, "G_b_params.json", 20, 1.0, [0.1, 0.01, 100.0], grid_b, [3.1, 3.6, 4.1])
        monkeypatch.setattr(glob, "glob", lambda pattern: ["G_a_params.json", "G_b_params.json"])
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        text = open("battery_model.json").read()
        assert text.startswith('{"param_1": [0, 0.25, 1], "temps": [0.0, 20.0], ')


class TestWriters:
    def test_mat_file_read_back(self, folder, info_logs):
        results = str(folder / "results")
        three_temperatures(results)
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2, True)
        params, _ = reference_records(results, 3.0, 4.2, glob.glob("*_params.json"))
        mat = scipy.io.loadmat("battery_model.mat")
        model = mat["model"]
        assert model.shape == (1, 1)
        assert list(model.dtype.names) == MAT_KEYS + ["name"]
        for key in MAT_KEYS:
            value = model[key][0, 0]
            assert value.shape == (1, len(params[key])), key
            np.testing.assert_allclose(
                value[0], np.asarray(params[key], dtype=float), rtol=1e-9, atol=1e-12, err_msg=key
            )
        assert model["name"][0, 0][0] == "'C''E''L''L''0''1'"
        assert [r.getMessage() for r in info_logs.records] == [
            "Saved file 'battery_model.json'",
            "Saved file: 'battery_model.mat'",
        ]
        assert sorted(os.listdir(".")) == sorted(
            glob.glob("*_params.json") + ["battery_model.json", "battery_model.mat"]
        )

    def test_three_arguments_leave_existing_mat_untouched(self, folder, info_logs):
        three_temperatures(str(folder / "results"))
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2, veltrarun=True)
        before = open("battery_model.mat", "rb").read()
        stat = os.stat("battery_model.mat")
        info_logs.clear()
        ecmgen.write_battery_model_file(str(folder), 2.8, 4.1)
        assert open("battery_model.mat", "rb").read() == before
        assert os.stat("battery_model.mat").st_mtime_ns == stat.st_mtime_ns
        assert [r.getMessage() for r in info_logs.records] == ["Saved file 'battery_model.json'"]

    def test_empty_model_name(self, folder):
        write_param_file(str(folder / "results"), "_lead_params.json", 25, 2.0, [0.1, 0.01, 100.0])
        write_param_file(str(folder / "results"), "_lead2_params.json", 5, 2.0, [0.1, 0.01, 100.0])
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2, True)
        model = json.load(open("battery_model.json"))
        assert "name" not in model
        mat = scipy.io.loadmat("battery_model.mat")
        assert mat["model"]["name"][0, 0].size == 0

    @pytest.mark.parametrize(
        "name",
        [
            'Q"uote_x_params.json',
            "Back\\slash_x_params.json",
            "Zelle\u00e4\U0001f50b_x_params.json",
            "tab\there_x_params.json",
        ],
    )
    def test_name_escaped_as_json_string(self, folder, name):
        write_param_file(str(folder / "results"), name, 25, 2.0, [0.1, 0.01, 100.0])
        write_param_file(str(folder / "results"), name.replace("_x_", "_y_"), 0, 2.0, [0.1, 0.01, 100.0])
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        text = open("battery_model.json").read()
        assert json.loads(text)["name"] == name.split("_")[0]
        assert text.endswith(', "name": ' + json.dumps(name.split("_")[0]) + "}")

    def test_non_finite_values_written_for_json_readers(self, folder, info_logs):
        results = str(folder / "results")
        write_param_file(results, "N_25_params.json", 25, float("nan"), [float("inf"), 0.01, 100.0])
        write_param_file(results, "N_0_params.json", 0, 2.0, [0.1, 0.01, 100.0])
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        text = open("battery_model.json").read()
        model = json.loads(text)
        assert model["param_9"] == [0.1, math.inf]
        assert math.isnan(model["param_12"][1])
        assert '"param_9": [0.1, Infinity]' in text and '"param_12": [2.0, NaN]' in text
        for bare in ("nan", "inf"):
            assert bare not in text.replace("Infinity", "").replace("NaN", "")
        warnings = [r.getMessage() for r in info_logs.records if r.levelno == logging.WARNING]
        assert len(warnings) == 1
        assert "param_9" in warnings[0] and "param_12" in warnings[0] and "param_3" not in warnings[0]

    def test_mat_failure_keeps_previous_mat_and_leaves_no_temporary(self, folder, monkeypatch):
        three_temperatures(str(folder / "results"))
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2, True)
        before = open("battery_model.mat", "rb").read()

        def broken_savemat(file_name, mdict, *args, **kwargs):
            file_name.write(b"partial")
            raise RuntimeError("disk full")

        monkeypatch.setattr(scipy.io, "savemat", broken_savemat)
        with pytest.raises(RuntimeError, match="disk full"):
            ecmgen.write_battery_model_file(str(folder), 2.8, 4.1, True)
        assert open("battery_model.mat", "rb").read() == before
        assert json.load(open("battery_model.json"))["param_2"][-1] == 4.1  # JSON written first
        assert sorted(f for f in os.listdir(".") if not f.endswith("_params.json")) == [
            "battery_model.json",
            "battery_model.mat",
        ]


class TestCustomEncoder:
    def test_is_a_json_encoder_giving_the_model_text(self):
        assert issubclass(ecmgen.CustomEncoder, json.JSONEncoder)
        record = {
            "param_1": [0.0, 0.5, 1.0],
            "temps": [25.0],
            "param_2": [],
            "param_3": [1.234e-05],
            "name": list("AB12"),
        }
        expected = '{"param_1": [0.0, 0.5, 1.0], "temps": [25.0], "param_3": [0.00001234], "name": "AB12"}'
        assert json.dumps(record, cls=ecmgen.CustomEncoder) == expected
        assert json.dumps(record, cls=ecmgen.CustomEncoder, indent=4, sort_keys=True) == expected
        assert ecmgen.CustomEncoder().encode(record) == expected

    def test_default_returns_attributes(self):
        class Thing:
            def __init__(self):
                self.a = 1

        assert ecmgen.CustomEncoder().default(Thing()) == {"a": 1}

    def test_matches_reference_encoder_on_model_records(self, folder):
        three_temperatures(str(folder / "results"))
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        _, pj = reference_records(str(folder / "results"), 3.0, 4.2, glob.glob("*_params.json"))
        assert json.dumps(pj, cls=ecmgen.CustomEncoder) == reference_text(pj)
        rng = np.random.default_rng(5)
        record = {
            "a": (10.0 ** rng.uniform(-12, 22, 500) * rng.choice([-1, 1], 500)).tolist(),
            "b": [0.0, -0.0, 5e-324, 1e16, 9999999999999998.0],
            "name": list("X_1"),
        }
        assert json.dumps(record, cls=ecmgen.CustomEncoder) == reference_text(record)

    def test_round_trip_of_written_file(self, folder):
        three_temperatures(str(folder / "results"))
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        text = open("battery_model.json").read()
        record = json.loads(text)
        record["name"] = list(record["name"])
        again = json.dumps(record, cls=ecmgen.CustomEncoder)
        assert json.loads(again) == json.loads(text)


class TestFailures:
    def _previous_model(self, folder):
        three_temperatures(str(folder / "results"))
        ecmgen.write_battery_model_file(str(folder), 3.0, 4.2, True)
        os.chdir(folder.parent)
        return (
            open(folder / "results" / "battery_model.json").read(),
            open(folder / "results" / "battery_model.mat", "rb").read(),
        )

    def _assert_untouched(self, folder, previous):
        assert open(folder / "results" / "battery_model.json").read() == previous[0]
        assert open(folder / "results" / "battery_model.mat", "rb").read() == previous[1]
        leftovers = [
            f
            for f in os.listdir(folder / "results")
            if f not in ("battery_model.json", "battery_model.mat") and not f.endswith("_params.json")
        ]
        assert leftovers == []

    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((), {}),
            (("x", 3.0), {}),
            (("x", 3.0, 4.2, True, 1), {}),
            (("x", 3.0, 4.2), {"colour": 1}),
            (("x", 3.0), {"high": 4.2}),
            (("x", 3.0, 4.2), {"wdir": "y"}),
        ],
    )
    def test_wrong_arguments_are_type_errors_before_any_step(self, tmp_path, monkeypatch, args, kwargs):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(TypeError):
            ecmgen.write_battery_model_file(*args, **kwargs)
        assert os.getcwd() == str(tmp_path)

    def test_missing_results_directory(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(FileNotFoundError) as err:
            ecmgen.write_battery_model_file(str(tmp_path / "nowhere"), 3.0, 4.2)
        assert "nowhere/results" in str(err.value)

    def test_no_parameter_files(self, folder):
        with pytest.raises(ValueError, match=r"_params\.json"):
            ecmgen.write_battery_model_file(str(folder), 3.0, 4.2)
        assert os.listdir(folder / "results") == []

    @pytest.mark.parametrize(
        "bad_name, content, exc, words",
        [
            ("BAD_x_params.json", "{not json", ValueError, ["not a valid JSON"]),
            ("BAD_x_params.json", "[1, 2]", ValueError, ["JSON object"]),
            (
                "BAD_x_params.json",
                {"TempC": 5, "Tparam_1": 2.0, "Tparam_2": [0.1, 0.01, 100.0]},
                KeyError,
                ["Tparam_3"],
            ),
            (
                "BAD_x_params.json",
                {"Tparam_1": 2.0, "Tparam_2": [0.1, 0.01, 100.0], "Tparam_3": [SOC_GRID, SOC_GRID]},
                ValueError,
                ["TempC"],
            ),
            (
                "BAD_x_params.json",
                {
                    "TempC": 5,
                    "Tparam_1": 2.0,
                    "Tparam_2": [0.1, 0.01, 100.0, 7.0],
                    "Tparam_3": [SOC_GRID, ocv_curve(5)],
                },
                ValueError,
                ["Tparam_2", "3", "5"],
            ),
            (
                "BAD_x_params.json",
                {"TempC": 5, "Tparam_1": 2.0, "Tparam_2": [0.1, 0.01], "Tparam_3": [SOC_GRID, ocv_curve(5)]},
                ValueError,
                ["Tparam_2"],
            ),
            (
                "BAD_x_params.json",
                {"TempC": 5, "Tparam_1": 2.0, "Tparam_2": [0.1, 0.01, 100.0], "Tparam_3": [SOC_GRID]},
                ValueError,
                ["Tparam_3", "two lists"],
            ),
            (
                "BAD_x_params.json",
                {
                    "TempC": 5,
                    "Tparam_1": 2.0,
                    "Tparam_2": [0.1, 0.01, 100.0],
                    "Tparam_3": [SOC_GRID, ocv_curve(5)[:-1]],
                },
                ValueError,
                ["equal length"],
            ),
            (
                "BAD_x_params.json",
                {
                    "TempC": 5,
                    "Tparam_1": 2.0,
                    "Tparam_2": [0.1, 0.01, 100.0],
                    "Tparam_3": [SOC_GRID[:100], ocv_curve(5)[:100]],
                },
                ValueError,
                ["201"],
            ),
            (
                "BAD_x_params.json",
                {"TempC": "5", "Tparam_1": 2.0, "Tparam_2": [0.1, 0.01, 100.0], "Tparam_3": [SOC_GRID, ocv_curve(5)]},
                ValueError,
                ["TempC", "number"],
            ),
            (
                "BAD_x_params.json",
                {"TempC": 5, "Tparam_1": 2.0, "Tparam_2": [0.1, "x", 100.0], "Tparam_3": [SOC_GRID, ocv_curve(5)]},
                ValueError,
                ["Tparam_2", "number"],
            ),
        ],
    )
    def test_bad_parameter_file_keeps_previous_model(self, folder, bad_name, content, exc, words):
        previous = self._previous_model(folder)
        raw = content if isinstance(content, str) else json.dumps(content)
        write_param_file(str(folder / "results"), bad_name, 0, 0, [], raw=raw)
        with pytest.raises(exc) as err:
            ecmgen.write_battery_model_file(str(folder), 2.5, 4.3, True)
        message = str(err.value)
        assert bad_name in message
        for w in words:
            assert w in message
        if exc is KeyError:
            assert isinstance(err.value, ValueError)  # a bad parameter file either way
        self._assert_untouched(folder, previous)

    def test_voltage_limit_of_wrong_type(self, folder):
        previous = self._previous_model(folder)
        with pytest.raises(TypeError):
            ecmgen.write_battery_model_file(str(folder), "3.0", 4.2)
        self._assert_untouched(folder, previous)

    def test_json_write_failure_keeps_previous_json(self, folder, tmp_path):
        previous = self._previous_model(folder)
        # A file-size limit below the model's size makes the write itself fail.
        code = (
            "import resource, signal, ecmgen\n"
            "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
            "try:\n"
            "    ecmgen.write_battery_model_file(%r, 2.5, 4.3, True)\n"
            "except OSError as e:\n"
            "    print('OSError', e)\n" % str(folder)
        )
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.startswith("OSError") and "battery_model.json" in proc.stdout
        assert "Saved file" not in proc.stderr
        self._assert_untouched(folder, previous)


def test_loading_configures_no_logging_and_touches_no_file(tmp_path, folder):
    three_temperatures(str(folder / "results"))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    code = (
        "import logging, os, ecmgen\n"
        "assert logging.getLogger().handlers == [] and os.listdir('.') == ['cell']\n"
        "ecmgen.write_battery_model_file(%r, 3.0, 4.2)\n"
        "logging.info('after')\n" % str(folder)
    )
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == "INFO:Saved file 'battery_model.json'\nINFO:after\n"
    assert proc.stdout == ""

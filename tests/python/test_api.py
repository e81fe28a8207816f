"""The library and command face (`ecm`) against the import-time run on the same
folder: same files, same numbers, and the behaviour a caller relies on
(repeatable, thread-safe, silent on stdout and the root logger, clear errors)."""

import json
import logging
import os
import shutil
import subprocess
import sys
import threading

import numpy as np
import pandas as pd
import pytest
from runner import pulse_table, run_ecmfit

import ecm

# The installed console script (its own folder, not the current one, starts sys.path).
ECM = [shutil.which("ecm")] if shutil.which("ecm") else [sys.executable, "-m", "ecm"]


def results_texts(folder):
    # the model's files; fit_settings.json (what ecm fit was given) is no file of the import-time run
    out = {}
    for name in sorted(os.listdir(folder)):
        if name == "fit_settings.json":
            continue
        with open(os.path.join(folder, name), "rb") as fh:
            out[name] = fh.read()
    return out


def ecm_cli(*args, cwd=None):
    return subprocess.run(ECM + [str(a) for a in args], capture_output=True, text=True, cwd=cwd, timeout=600)


@pytest.fixture
def two_temperatures(make_battery_folder):
    bf = make_battery_folder(temperatures=(25, 0), model="model2")
    run = run_ecmfit(
        bf.root, dump=["infiles", "results", "cum_mAh", "SOC", "OCV_3rd", "ind_slice", "idx_load", "t", "iload"]
    )
    assert run.returncode == 0, run.stderr[-3000:]
    return bf, run


class TestSameAsImportTime:
    def test_files_text_identical_api_and_cli(self, two_temperatures, tmp_path):
        bf, run = two_temperatures
        want = results_texts(bf.folder / "results")
        assert "battery_model.json" in want and len(want) == 5

        # the API, written into a fresh folder
        ex = ecm.extract(str(bf.folder), model="model2", low_cutoff=bf.vcut, high_cutoff=bf.vhigh, method="pulse")
        out = tmp_path / "api_out"
        ex.write(out)
        assert results_texts(out) == want
        assert ex.model == json.loads(want["battery_model.json"])

        # the command, with its settings from the input_params.json beside the folder
        cli_out = tmp_path / "cli_out"
        proc = ecm_cli("fit", bf.folder, "--method", "pulse", "--json", "--out", cli_out, cwd=bf.root)
        assert proc.returncode == 0, proc.stderr
        assert results_texts(cli_out) == want
        doc = json.loads(proc.stdout)
        assert doc["model"] == "2rc" and doc["low_cutoff"] == bf.vcut
        for rec in doc["recordings"]:
            params = json.loads(want[os.path.basename(rec["path"])[:-4] + "_params.json"])
            assert list(rec["medians"].values()) == params["Tparam_2"]
            assert rec["temperature"] == params["TempC"]

    def test_model1_and_relative_out(self, make_battery_folder, tmp_path):
        bf = make_battery_folder(temperatures=(10,), model="model1", varying=False)
        run = run_ecmfit(bf.root)
        assert run.returncode == 0, run.stderr[-3000:]
        want = results_texts(bf.folder / "results")
        shutil.rmtree(bf.folder / "results")
        proc = ecm_cli("fit", bf.folder.name, "--model", "1rc", "--method", "pulse", cwd=bf.root)
        assert proc.returncode == 0, proc.stderr
        assert results_texts(bf.folder / "results") == want
        assert "10 C" in proc.stdout and proc.stderr == ""

    def test_values_match_the_module_and_numpy(self, two_temperatures):
        bf, run = two_temperatures
        ex = ecm.extract(str(bf.folder), model="2rc", low_cutoff=bf.vcut, high_cutoff=bf.vhigh, method="pulse")
        assert [r.path for r in ex.recordings] == list(run.values["infiles"])
        last = ex.recordings[-1]
        vals = run.values
        fit_params = np.array([row[3] for row in vals["results"]])
        np.testing.assert_array_equal(last.pulses[["R0", "R1", "C1", "R2", "C2"]].to_numpy(), fit_params)
        np.testing.assert_array_equal(last.pulses["rms_mV"], [row[0] * 1000 for row in vals["results"]])
        np.testing.assert_array_equal(last.pulses["tau2"], fit_params[:, 3] * fit_params[:, 4])
        np.testing.assert_array_equal(last.ocv["soc"], vals["SOC"])
        np.testing.assert_array_equal(last.ocv["ocv"], vals["OCV_3rd"])
        assert last.charge_Ah == vals["cum_mAh"][-1] / 1000
        assert last.capacity_mAh == 500 and last.temperature in (0, 25)
        assert list(last.medians) == ["R0", "R1", "C1", "R2", "C2"]
        np.testing.assert_array_equal(list(last.medians.values()), np.median(fit_params, axis=0))

        # pulse boundaries and SOC at the pulse middle, from the recording with NumPy
        S, L, t, i = vals["ind_slice"], vals["idx_load"], vals["t"], vals["iload"]
        n = len(last.pulses)
        np.testing.assert_array_equal(last.pulses["t_start"], t[S[:n] + 1])
        np.testing.assert_array_equal(last.pulses["t_end"], t[L[:n]])
        total = vals["cum_mAh"][-1]
        for k in range(n):
            mid = (S[k] + 1 + L[k]) // 2
            q = (
                np.trapz(1000 * i[: mid + 1], t[: mid + 1]) / 3600
                if hasattr(np, "trapz")
                else np.trapezoid(1000 * i[: mid + 1], t[: mid + 1]) / 3600
            )
            assert last.pulses["soc"][k] == pytest.approx(1 + q / total, abs=1e-12)
            assert last.pulses["current"][k] == pytest.approx(i[S[k] + 1 : L[k] + 1].mean(), rel=1e-12)


class TestLibraryBehaviour:
    def test_repeatable_threaded_and_silent(self, make_battery_folder, capsys):
        bf = make_battery_folder(temperatures=(25, 0))
        root_handlers = list(logging.root.handlers)
        seen = []

        class Catch(logging.Handler):
            def emit(self, record):
                seen.append(record)

        catch = Catch(level=logging.DEBUG)
        logging.root.addHandler(catch)
        old_level = logging.root.level
        logging.root.setLevel(logging.DEBUG)
        try:
            kw = dict(model="2rc", low_cutoff=bf.vcut, high_cutoff=bf.vhigh, method="pulse")
            runs = [ecm.extract(str(bf.folder), **kw) for _ in range(3)]
            threaded = [None, None]

            def work(k):
                threaded[k] = ecm.extract(str(bf.folder), **kw)

            threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
        finally:
            logging.root.removeHandler(catch)
            logging.root.setLevel(old_level)
        for ex in runs[1:] + threaded:
            assert ex.model_text == runs[0].model_text
            for a, b in zip(ex.recordings, runs[0].recordings):
                pd.testing.assert_frame_equal(a.pulses, b.pulses)
                assert a.params_text == b.params_text and a.warnings == b.warnings
        out = capsys.readouterr()
        assert out.out == ""
        assert logging.root.handlers == root_handlers
        assert all(r.name.startswith("ecm") for r in seen)
        assert any(r.levelno == logging.DEBUG and "Processing cycle" in r.getMessage() for r in seen)

    def test_the_command_leaves_the_callers_logging_as_it_was(self, tmp_path):
        # ecm.cli.main run from a script or notebook: its quiet level must not stay on the library's logger
        from ecm.cli import main

        lib = logging.getLogger("ecm")
        before = lib.level
        lib.setLevel(logging.DEBUG)
        try:
            assert main(["fit", str(tmp_path / "missing.csv")]) != 0
            assert lib.level == logging.DEBUG and not [h for h in lib.handlers if type(h) is logging.StreamHandler]
        finally:
            lib.setLevel(before)

    def test_progress_reports_every_pulse(self, battery_folder):
        calls = []
        ex = ecm.extract(
            str(battery_folder.folder),
            low_cutoff=3.0,
            high_cutoff=4.2,
            method="pulse",
            progress=lambda *a: calls.append(a),
        )
        n = len(ex.recordings[0].pulses)
        assert [c[3] for c in calls] == list(range(n + 1))
        assert all(c[4] == n and c[1] == 0 and c[2] == 1 for c in calls)

    def test_an_error_in_the_progress_callback_stops_the_run(self, battery_folder):
        def boom(*a):
            if a[3] == 2:
                raise RuntimeError("stop here")

        with pytest.raises(RuntimeError, match="stop here"):
            ecm.extract(str(battery_folder.folder), low_cutoff=3.0, high_cutoff=4.2, progress=boom)

    def test_list_of_paths_and_write_needs_a_folder(self, battery_folder, tmp_path):
        ex = ecm.extract(battery_folder.recordings, low_cutoff=3.0, high_cutoff=4.2, model="model2")
        with pytest.raises(ecm.UsageError, match="out_dir"):
            ex.write()
        written = ex.write(tmp_path / "x")
        assert os.path.exists(written["battery_model"])
        summary = ex.summary()
        assert list(summary["temperature"]) == [25] and summary["warnings"].iloc[0] == len(ex.recordings[0].warnings)
        assert ex.warnings[-1].startswith("Only one temperature")

    @pytest.mark.parametrize(
        "kwargs, match",
        [
            (dict(model="3rc"), "model '3rc'"),
            (dict(method="exact"), "method .exact."),
            (dict(low_cutoff="x"), "low_cutoff"),
            (dict(high_cutoff=2.0), "must lie above"),
        ],
    )
    def test_bad_arguments(self, battery_folder, kwargs, match):
        kw = dict(low_cutoff=3.0, high_cutoff=4.2)
        kw.update(kwargs)
        with pytest.raises(ecm.UsageError, match=match):
            ecm.extract(str(battery_folder.folder), **kw)

    def test_bad_recordings_name_the_file(self, tmp_path):
        raw = tmp_path / "cell" / "raw_data"
        raw.mkdir(parents=True)
        good = pulse_table()
        path = raw / "cell_100mAh_Tp25.csv"
        good.rename(columns={"Seconds": "Time"}).to_csv(path, index=False)
        with pytest.raises(ecm.RecordingError, match=r"cell_100mAh_Tp25.csv: no column \"Seconds\""):
            ecm.extract(str(tmp_path / "cell"), low_cutoff=3.0, high_cutoff=4.2)
        good.to_csv(path, index=False)
        with pytest.raises(ecm.CutoffError, match="never falls below the low cut-off 2.0 V"):
            ecm.extract(str(tmp_path / "cell"), low_cutoff=2.0, high_cutoff=4.2)
        with pytest.raises(ecm.UsageError, match="no raw_data"):
            ecm.extract(str(tmp_path), low_cutoff=3.0, high_cutoff=4.2)


class TestCommand:
    def test_help(self):
        for args in (["--help"], ["fit", "--help"]):
            proc = ecm_cli(*args)
            assert proc.returncode == 0 and "usage: ecm" in proc.stdout
        assert "--low-cutoff" in ecm_cli("fit", "--help").stdout
        assert ecm_cli().returncode == 2

    def one_line_error(self, proc, code, *words):
        assert proc.returncode == code, proc.stderr
        lines = proc.stderr.strip().splitlines()
        assert len(lines) == 1 and "Traceback" not in proc.stderr, proc.stderr
        for w in words:
            assert w in lines[0]
        return lines[0]

    def test_bad_input_one_line_each(self, tmp_path, battery_folder):
        (tmp_path / "empty").mkdir()
        self.one_line_error(
            ecm_cli("fit", tmp_path / "empty", "--low-cutoff", 3, "--high-cutoff", 4.2), 2, "raw_data", "empty"
        )
        # no cut-off anywhere: the folder has no input_params.json, neither has the current directory
        bare = tmp_path / "bare"
        shutil.copytree(battery_folder.folder, bare)
        self.one_line_error(ecm_cli("fit", bare, cwd=tmp_path / "empty"), 2, "--low-cutoff")
        # a file that is not a recording
        (bare / "raw_data" / "notes_100mAh_Tp25.csv").write_text("hello,world\n1,2\n")
        # (an unusable recording among good ones is left out unless --strict: checked with --strict here)
        line = self.one_line_error(
            ecm_cli("fit", bare, "--low-cutoff", 3, "--high-cutoff", 4.2, "--strict"),
            1,
            "notes_100mAh_Tp25.csv",
            "Seconds",
        )
        assert line.startswith("ecm fit: error:")
        # without it the others are fitted and the file is named as left out
        proc = ecm_cli("fit", bare, "--low-cutoff", 3, "--high-cutoff", 4.2, "--no-write")
        out = proc.stdout + proc.stderr
        assert proc.returncode == 0 and "notes_100mAh_Tp25.csv" in out and "left out" in out
        # with -v the traceback is shown
        proc = ecm_cli("fit", bare, "--low-cutoff", 3, "--high-cutoff", 4.2, "-v", "--strict")
        assert proc.returncode == 1 and "Traceback" in proc.stderr

    def test_settings_from_the_folders_input_params(self, battery_folder, tmp_path):
        cfg = {"low_cutoff": 3.0, "high_cutoff": 4.2, "model": "model1"}
        (battery_folder.folder / "input_params.json").write_text(json.dumps(cfg))
        proc = ecm_cli("fit", battery_folder.folder, "--json", "--no-write", cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
        doc = json.loads(proc.stdout)
        assert doc["model"] == "1rc" and doc["high_cutoff"] == 4.2
        assert list(doc["recordings"][0]["medians"]) == ["R0", "R1", "C1"]
        assert not (battery_folder.folder / "results").exists()


def test_core_stub_names_what_the_module_has():
    # the typed stub that editors and mypy read must not drift from the compiled module
    import ast

    from ecm import _core

    here = os.path.dirname(os.path.abspath(__file__))
    stub = ast.parse(open(os.path.join(here, "..", "..", "src", "ecm", "_core.pyi")).read())
    top = {n.name for n in stub.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert top == {n for n in dir(_core) if not n.startswith("_")}
    (result,) = [n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Result"]
    members = {n.name for n in result.body if isinstance(n, ast.FunctionDef)}
    assert members == {n for n in dir(_core.Result) if not n.startswith("_")}


def test_cli_rejects_impossible_temperatures_and_worker_counts(capsys):
    import pytest as _pytest

    from ecm import cli as _cli

    for argv in (
        ["batch", ".", "--workers", "-1"],
        ["batch", ".", "--workers", "0"],
        ["export", "x", "--to", "pybamm", "--temperature", "nan"],
        ["fit", "x", "--temperature", "-300"],
    ):
        with _pytest.raises(SystemExit) as e:
            _cli.main(argv)
        assert e.value.code == 2
    err = capsys.readouterr().err
    assert "at least 1 worker" in err and "above -273.15" in err

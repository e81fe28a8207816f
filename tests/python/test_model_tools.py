"""Report, validation and export of a model, against independent truths: a
synthetic cell driven by a drive cycle (SciPy's ODE solver), SciPy's lsim for
the circuit, and PyBaMM's Thevenin model running the exported parameter set."""

import base64
import json
import logging
import os
import re
import runpy
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
import scipy.io
import scipy.signal
import synthcell
from scipy.integrate import cumulative_trapezoid

import ecm
from ecm import _core, validate
from ecm.export import export
from ecm.modelfile import load_model

ECM = [shutil.which("ecm")] if shutil.which("ecm") else [sys.executable, "-m", "ecm"]
NOISE = dict(voltage_noise_V=0.0003, current_noise_A=0.002)


def ecm_cli(*args):
    return subprocess.run(ECM + [str(a) for a in args], capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def cell(tmp_path_factory):
    """A two-temperature pulse folder of the realistic cell, its joint-method
    model, and a 25 C drive-cycle recording of the same cell from SOC 0.9."""
    root = tmp_path_factory.mktemp("tools")
    bf = synthcell.write_battery_folder(
        root,
        cell_name="cellD",
        temperatures=(25, 0),
        pulse_current_A=-2.0,
        pulse_s=180.0,
        rest_s=600.0,
        initial_rest_s=60.0,
        dt=2.0,
        **NOISE,
    )
    t, i, _ = synthcell.drive_cycle_current(1200, 1.0, -6.0, seed=3)
    tt = np.arange(600 + 2 * len(t) + 600, dtype=float)
    ii = np.concatenate([np.zeros(600), i, i, np.zeros(600)])
    df, truth = synthcell.make_profile_recording(tt, ii, temperature_C=25.0, soc0=0.9, **NOISE)
    drive = root / "drive_2000mAh_Tp25.csv"
    synthcell.write_recording_csv(df, drive)
    ex = ecm.extract(bf["folder"], model="2rc", low_cutoff=3.0, high_cutoff=4.2, method="joint")
    results = root / "results"
    ex.write(results)
    return {"root": root, "folder": bf["folder"], "ex": ex, "results": results, "drive": drive, "truth": truth}


def test_drive_cycle_is_predicted_within_5_mV(cell):
    for tables in (None, False):
        v = validate(cell["results"] / "battery_model.json", cell["drive"], tables=tables)
        assert (v.tables is not None) == (tables is None)
        assert v.temperature == 25.0
        assert v.rms_mV < 5.0, v.table_text()
        # the start SOC comes from the first rest; the model's SOC counts the charge to the cut-off
        assert v.soc0 == pytest.approx(0.9, abs=0.02)
        counts = v.stats["samples"]
        assert counts["rest"] > 0 and counts["discharge"] > 0 and counts["charge"] > 0
        assert counts["overall"] == counts["rest"] + counts["discharge"] + counts["charge"] == len(v.t)
        e = v.error_mV[v.segment == "discharge"]
        assert v.stats.loc["discharge", "rms_mV"] == pytest.approx(np.sqrt(np.mean(e**2)))
        assert v.max_mV == pytest.approx(np.max(np.abs(v.error_mV)))


def test_segments_and_start_are_the_steps_of_the_current(cell, tmp_path):
    # rest (reading a 5 mA offset), a discharge pulse, rest, a charge pulse, rest: the segments
    # validate reports are the protocol's own steps, and the start SOC comes from the first rest
    blocks = [(60, 0.005), (30, -2.0), (300, 0.005), (30, 1.0), (300, 0.005), (30, -2.0), (300, 0.005)]
    ii = np.concatenate([np.full(n, a) for n, a in blocks])
    tt = np.arange(len(ii), dtype=float)
    df, _ = synthcell.make_profile_recording(tt, ii, temperature_C=25.0, soc0=0.8, **NOISE)
    path = tmp_path / "steps_2000mAh_Tp25.csv"
    synthcell.write_recording_csv(df, path)
    v = validate(cell["results"] / "battery_model.json", path)
    truth = np.where(ii < -1, "discharge", np.where(ii > 0.5, "charge", "rest"))
    edges = np.flatnonzero(np.diff(ii) != 0)
    near_edge = np.zeros(len(ii), dtype=bool)
    for e in edges:
        near_edge[max(e - 1, 0) : e + 3] = True
    assert (v.segment[~near_edge] == truth[~near_edge]).all()
    assert v.start_rest["t_end"] < 60.0
    assert v.soc0 == pytest.approx(0.8, abs=0.01)


def test_simulation_matches_scipy_lsim(cell):
    """Constant parameters: OCV(coulomb-counted SOC) + R0 i + each branch by
    scipy.signal.lsim (first-order hold, i.e. a current linear between samples)."""
    drive = pd.read_csv(cell["drive"])
    v = validate(cell["results"], cell["drive"], tables=False, temperature=10.0)
    m = load_model(cell["results"] / "battery_model.json", tables=False)
    at = m.at(10.0)
    t = drive["Seconds"].to_numpy()
    i = drive["Current(A)"].to_numpy()
    soc = v.soc0 + cumulative_trapezoid(i, t, initial=0.0) / (3600.0 * at.capacity_ah)
    want = np.interp(soc, m.soc, m.ocv0 + 10.0 * m.ocvrel) + at.r0[0] * i
    for r, tau in zip(at.r, at.tau):
        sys_ = scipy.signal.lti([r[0]], [tau[0], 1.0])
        want += scipy.signal.lsim(sys_, i, t - t[0])[1]
    np.testing.assert_allclose(v.simulated, want, atol=1e-9, rtol=0)
    # the temperature lies between the model's 0 and 25 C: R0 by the Arrhenius law through them
    # (its logarithm linear in 1/T), the capacity linear between them
    inv = 1.0 / (np.asarray(m.temps[:2]) + 273.15)
    w = (1.0 / 283.15 - inv[0]) / (inv[1] - inv[0])
    assert at.r0[0] == pytest.approx(np.exp(np.log(m.r0[0]) + w * (np.log(m.r0[1]) - np.log(m.r0[0]))))
    assert at.capacity_ah == pytest.approx(np.interp(10.0, m.temps, m.capacity_ah))
    assert m.r0[0] > at.r0[0] > m.r0[1]


def test_pybamm_runs_the_exported_set_like_validate(cell, tmp_path):
    pybamm = pytest.importorskip("pybamm")
    out = export(cell["results"], "pybamm", tmp_path / "cell_params.py", temperature=10.0)[0]
    mod = runpy.run_path(str(out))
    pv = mod["parameter_values"]()
    # validate is isothermal: PyBaMM's cell must not warm up
    pv.update({"Initial SoC": 0.85, "Cell thermal mass [J/K]": 1e12, "Jig thermal mass [J/K]": 1e12})
    steps = [
        "Rest for 600 seconds",
        "Discharge at 2 A for 300 seconds",
        "Rest for 900 seconds",
        "Charge at 1 A for 200 seconds",
        "Rest for 600 seconds",
        "Discharge at 5 A for 120 seconds",
        "Rest for 600 seconds",
    ]
    sol = pybamm.Simulation(
        mod["model"](), parameter_values=pv, experiment=pybamm.Experiment(steps, period="1 second")
    ).solve()
    t = sol["Time [s]"].entries.copy()
    for k in range(1, len(t)):  # steps share their boundary time
        if t[k] <= t[k - 1]:
            t[k] = t[k - 1] + 1e-3
    rec = tmp_path / "pybamm_2000mAh_Tp10.csv"
    pd.DataFrame(
        {
            "Seconds": t,
            "Current(A)": -sol["Current [A]"].entries,
            "Voltage(V)": sol["Voltage [V]"].entries,
            "Temperature(C)": 10.0,
        }
    ).to_csv(rec, index=False, float_format="%.12g")
    v = validate(cell["results"], rec)
    assert v.tables is not None and v.temperature == 10.0
    assert v.soc0 == pytest.approx(0.85, abs=1e-6)
    assert v.rms_mV <= 1.0, v.table_text()
    assert v.stats.loc["charge", "samples"] > 0


def test_csv_and_mat_exports_hold_the_model(cell, tmp_path):
    m = load_model(cell["results"])
    doc = json.loads((cell["results"] / "battery_model.json").read_text())
    files = export(cell["results"], "csv", tmp_path / "csv")
    assert sorted(os.path.basename(f) for f in files) == [
        "ocv.csv",
        "parameters_by_soc_temperature.csv",
        "parameters_by_temperature.csv",
        "soc_from_ocv.csv",
    ]
    by_t = pd.read_csv(tmp_path / "csv" / "parameters_by_temperature.csv")
    np.testing.assert_allclose(by_t["temperature_C"], [0.0, 25.0])
    np.testing.assert_allclose(by_t["R0_ohm"], sorted(doc["param_9"], reverse=True), rtol=1e-9)
    np.testing.assert_allclose(by_t["C1_F"], by_t["tau1_s"] / by_t["R1_ohm"], rtol=1e-9)
    ocv = pd.read_csv(tmp_path / "csv" / "ocv.csv")
    np.testing.assert_allclose(ocv["OCV_25C_V"], np.array(doc["param_4"]) + 25 * np.array(doc["param_3"]), rtol=1e-9)
    long = pd.read_csv(tmp_path / "csv" / "parameters_by_soc_temperature.csv")
    assert len(long) == 2 * len(m.tables["soc"]) and long.notna().all().all()

    mat = export(cell["results"], "mat", tmp_path / "model.mat")[0]
    d = scipy.io.loadmat(mat, squeeze_me=True)
    np.testing.assert_allclose(d["model"]["OCV0"].item(), doc["param_4"])
    np.testing.assert_allclose(d["model"]["RParam"].item(), doc["param_11"])
    assert d["model"]["name"].item() == "'c''e''l''l''D'"
    tabs = d["tables"]
    np.testing.assert_allclose(tabs["C2"].item(), tabs["tau2"].item() / tabs["R2"].item())


def test_report_is_self_contained_and_complete(cell, tmp_path):
    ex = cell["ex"]  # matplotlib comes with the test extra: no skip when it is missing
    path = ex.report(tmp_path / "r.html")
    text = open(path, encoding="utf-8").read()
    assert not re.search(r"(src|href)=[\"']?(https?:|//)", text), "the report must not load anything"
    images = re.findall(r'src="data:image/png;base64,([^"]+)"', text)
    # per temperature: recording and pulse grid; then parameters vs SOC and vs temperature
    assert len(images) == 2 * len(ex.recordings) + 2
    for b64 in images:
        assert base64.b64decode(b64)[:8] == b"\x89PNG\r\n\x1a\n"
    import html

    for r in ex.recordings:
        for w in r.warnings:
            assert html.escape(w.split(": ", 1)[1]) in text
    for w in ex.model_warnings:
        assert html.escape(w) in text
    for r in ex.recordings:
        assert f"{r.temperature} C" in text
    # figures drawn in worker processes or here: the same page
    serial = open(ex.report(tmp_path / "s.html", workers=1), encoding="utf-8").read()
    assert re.sub(r"written [-0-9: ]+", "", serial) == re.sub(r"written [-0-9: ]+", "", text)
    # the command does the same from the folder
    proc = ecm_cli("report", cell["folder"], "--low-cutoff", 3.0, "--high-cutoff", 4.2, "--out", tmp_path / "c.html")
    assert proc.returncode == 0, proc.stderr
    assert os.path.isfile(tmp_path / "c.html") and "c.html" in proc.stdout


def test_missing_matplotlib_names_the_extra(monkeypatch):
    from ecm._plotting import pyplot

    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ecm.UsageError, match=r"ecmfit\[report\]"):
        pyplot()


def test_command_line_and_bad_input(cell, tmp_path):
    model = cell["results"] / "battery_model.json"
    proc = ecm_cli("validate", model, cell["drive"], "--plot", tmp_path / "v.png", "--json")
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert doc["segments"]["overall"]["rms_mV"] < 5.0 and os.path.getsize(tmp_path / "v.png") > 10000
    proc = ecm_cli("export", cell["results"], "--to", "pybamm", "--out", tmp_path / "p.py")
    assert proc.returncode == 0 and proc.stdout.strip() == str(tmp_path / "p.py")

    bad = tmp_path / "bad.json"
    bad.write_text('{"param_1": [0, 1]')
    empty = tmp_path / "empty"  # neither a battery folder nor a folder of exports
    empty.mkdir()
    no_rest = tmp_path / "norest.csv"
    pd.DataFrame({"Seconds": np.arange(100.0), "Current(A)": -1.0, "Voltage(V)": 3.7, "Temperature(C)": 25.0}).to_csv(
        no_rest, index=False
    )
    cases = [
        (["validate", tmp_path / "none.json", cell["drive"]], 2, "none.json' does not exist"),
        (["validate", bad, cell["drive"]], 2, "bad.json' is not valid JSON"),
        (["validate", model, tmp_path / "none.csv"], 2, "none.csv' does not exist"),
        (["validate", model, no_rest], 1, "norest.csv: it begins under load"),
        (["validate", model, model], 1, "battery_model.json"),
        (["export", model, "--to", "xls"], 2, "unknown export format 'xls'; expected one of pybamm, csv, mat"),
        (["report", empty, "--low-cutoff", 3, "--high-cutoff", 4.2], 2, "no raw_data/"),
    ]
    for args, code, message in cases:
        proc = ecm_cli(*args)
        assert proc.returncode == code, (args, proc.stderr)
        lines = proc.stderr.strip().splitlines()
        assert len(lines) == 1 and message in lines[0], (args, proc.stderr)
    for sub, words in (("report", ["HTML", "--out"]), ("validate", ["RMS", "--plot"]), ("export", ["pybamm", "--to"])):
        proc = ecm_cli(sub, "--help")
        assert proc.returncode == 0 and all(w in proc.stdout for w in words)


def test_soc_dependent_simulation_matches_an_ode_solve(cell):
    """With the SOC tables R0, R and tau change along the drive; scipy's solve_ivp
    of the same circuit (parameters at the running SOC) is the reference."""
    from scipy.integrate import solve_ivp

    drive = pd.read_csv(cell["drive"]).iloc[:1800]
    path = cell["root"] / "drive_head.csv"
    drive.to_csv(path, index=False)
    v = validate(cell["results"], path, temperature=10.0, initial_soc=0.5)
    at = load_model(cell["results"]).at(10.0)
    t = drive["Seconds"].to_numpy()
    i = drive["Current(A)"].to_numpy()
    soc_of = lambda q: 0.5 + q / (3600.0 * at.capacity_ah)  # noqa: E731
    par = lambda tab, s: np.interp(s, at.param_soc, tab)  # noqa: E731

    def rhs(tt, y):
        cur = np.interp(tt, t, i)
        s = soc_of(y[0])
        return [cur] + [(par(r, s) * cur - y[1 + b]) / par(tau, s) for b, (r, tau) in enumerate(zip(at.r, at.tau))]

    sol = solve_ivp(
        rhs, (t[0], t[-1]), np.zeros(1 + len(at.r)), t_eval=t, method="DOP853", rtol=1e-10, atol=1e-12, max_step=0.5
    )
    soc = soc_of(sol.y[0])
    want = np.interp(soc, at.ocv_soc, at.ocv_v) + par(at.r0, soc) * i + sol.y[1:].sum(axis=0)
    for tab in (at.r0, at.r[0], at.tau[0]):  # the SOC range crosses table points (branch 2 is undetermined)
        assert np.ptp(par(tab, soc)) > 0.005 * np.mean(tab)
    np.testing.assert_allclose(v.soc, soc, atol=1e-6)  # the ODE solver steps across the current's kinks
    np.testing.assert_allclose(v.simulated, want, atol=2e-5)


def test_model_files_are_checked(cell, tmp_path):
    doc = json.loads((cell["results"] / "battery_model.json").read_text())
    tabs = json.loads((cell["results"] / "battery_model_tables.json").read_text())
    cases = [
        (dict(doc, param_10=doc["param_10"][:3]), None, "expected 2 (one branch) or 4 (two branches"),
        (dict(doc, param_4=doc["param_4"][:-1]), None, "one value per SOC point"),
        ({k: v for k, v in doc.items() if k != "param_9"}, None, 'has no "param_9"'),
        (doc, {k: v for k, v in tabs.items() if k not in ("tau2", "model_sha256")}, '"tau2" must hold one row'),
    ]
    for k, (model, tables, message) in enumerate(cases):
        d = tmp_path / f"m{k}"
        d.mkdir()
        (d / "battery_model.json").write_text(json.dumps(model))
        if tables is not None:
            (d / "battery_model_tables.json").write_text(json.dumps(tables))
        with pytest.raises(ecm.UsageError, match=re.escape(message)):
            load_model(d)
    # a temperature where no cycle determines branch 2 takes the model's value there
    m = load_model(cell["results"])
    temps, rows = m.tables_by_temperature("tau2")
    raw = np.array([[np.nan if x is None else x for x in row] for row in tabs["tau2"]], dtype=float)
    for k, temp in enumerate(tabs["temperatures"]):
        j = list(temps).index(temp)
        if np.isnan(raw[k]).all():
            np.testing.assert_allclose(rows[j], np.interp(temp, m.temps, m.tau[1]))
        else:
            np.testing.assert_allclose(rows[j], raw[k])


def test_tables_of_another_fit_are_not_taken_for_this_model(cell, tmp_path, caplog):
    # The tables name the model they were written with; a later fit that rewrites
    # battery_model.json without tables must not be simulated with them.
    src = cell["results"]
    d = tmp_path / "rewritten"
    d.mkdir()
    doc = json.loads((src / "battery_model.json").read_text())
    (d / "battery_model.json").write_text(json.dumps(dict(doc, param_9=[x * 1.1 for x in doc["param_9"]])))
    shutil.copy(src / "battery_model_tables.json", d / "battery_model_tables.json")
    assert load_model(src).tables is not None
    with caplog.at_level(logging.WARNING, logger="ecm"):
        m = load_model(d)
    assert m.tables is None and "another battery_model.json" in caplog.text
    with pytest.raises(ecm.UsageError, match="another battery_model.json"):
        load_model(d, tables=d / "battery_model_tables.json")


class TestTemperatureLaw:
    """The evaluator in temperature against closed forms: nothing the data do not determine."""

    SOC = np.linspace(0.0, 1.0, 5)

    def evaluator(self, temps, r0, ocv0, ocvrel, tau=None):
        temps = np.asarray(temps, dtype=float)
        r0 = np.asarray(r0, dtype=float)
        tau = r0 * 1e4 if tau is None else np.asarray(tau, dtype=float)
        z = np.zeros(0)
        return _core.ModelEvaluator(
            self.SOC, ocv0, ocvrel, temps, r0, np.full(len(temps), 2.0), [r0 / 2], [tau], z, z, {}
        )

    def test_one_temperature_is_that_temperature_everywhere(self):
        # a one-temperature build splits the OCV into OCV0 + OCVrel T by minimum norm: T = 24 holds,
        # 24.9 C would move it by tens of millivolts
        T = 24.0
        ocv_at_t = 3.2 + 0.9 * self.SOC
        ocvrel = ocv_at_t * T / (1.0 + T * T)
        ocv0 = ocv_at_t / (1.0 + T * T)
        ev = self.evaluator([T], [0.02], ocv0, ocvrel)
        np.testing.assert_allclose(ev.ocv(T), ocv_at_t, atol=1e-12)
        for other in (24.9, -10.0, 45.0):
            np.testing.assert_allclose(ev.ocv(other), ocv_at_t, atol=1e-12)
            at = ev.at(other, False)
            assert at["r0"][0] == 0.02 and at["tau"][0][0] == pytest.approx(200.0)

    def test_arrhenius_between_and_beyond(self):
        # R = A exp(E / T[K]) at three temperatures: the law is reproduced between and beyond them
        temps = np.array([0.0, 25.0, 40.0])
        law = lambda c: 1e-4 * np.exp(1500.0 / (c + 273.15))  # noqa: E731
        ocv0 = 3.2 + 0.9 * self.SOC
        ev = self.evaluator(temps, law(temps), ocv0, np.full(5, 1e-4))
        for c in (10.0, 33.0, -20.0, 60.0):
            assert ev.at(c, False)["r0"][0] == pytest.approx(law(c), rel=1e-9)
        # the OCV law is held at the ends beyond the model's temperatures
        np.testing.assert_allclose(ev.ocv(-30.0), ocv0 + 1e-4 * 0.0, atol=1e-12)
        np.testing.assert_allclose(ev.ocv(70.0), ocv0 + 1e-4 * 40.0, atol=1e-12)

    def test_extrapolation_never_falls_as_the_cell_cools(self):
        # data whose resistance falls with cooling (a noisy cell) are not extrapolated downwards
        temps = np.array([10.0, 25.0])
        ev = self.evaluator(temps, [0.010, 0.012], 3.2 + 0.9 * self.SOC, np.zeros(5))
        assert ev.at(-20.0, False)["r0"][0] == pytest.approx(0.010)
        assert ev.at(45.0, False)["r0"][0] == pytest.approx(0.012)

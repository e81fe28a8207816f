"""Predicting drive cycles: the OCV filled from a slow test, the model following
the cell's temperature sample by sample, the lumped thermal model, scoring a
time window and the error pictures; against closed forms and a synthetic cell
whose OCV is known."""

import json
import os

import numpy as np
import pandas as pd
import pytest
import synthcell

import ecm
from ecm import _core, validate
from ecm._errors import RecordingError, UsageError
from ecm.modelfile import Model, load_model

KELVIN = 273.15


def true_ocv(soc):
    return np.asarray([synthcell.default_ocv(s) for s in np.atleast_1d(soc)])


def slow_test(q_ah=2.0, r=0.04, rate=20.0, charge=True, dt=60.0, sign=1.0):
    """A C/rate discharge from SOC 1 to 0 (V = OCV + R i), an hour's rest, and the charge back,
    in closed form for the cell of synthcell.default_ocv; each step of the current is logged
    1 ms after its last sample, as a cycler logging at its step edges does."""
    i_a = q_ah / rate
    span = 3600.0 * rate
    td = np.arange(0.0, span + dt / 2, dt)
    rest = span + 1e-3 + np.arange(0.0, 3600.0 + dt / 2, dt)
    t = [td, rest]
    i = [np.full(len(td), -i_a), np.zeros(len(rest))]
    v = [true_ocv(1.0 - td / span) - i_a * r, np.full(len(rest), true_ocv(0.0)[0])]
    if charge:
        tc = np.arange(0.0, span + dt / 2, dt)
        t.append(rest[-1] + 1e-3 + tc)
        i.append(np.full(len(tc), i_a))
        v.append(true_ocv(tc / span) + i_a * r)
    return np.concatenate(t), sign * np.concatenate(i), np.concatenate(v)


AXIS = np.linspace(0.0, 1.0, 201)
RELAXED = np.array([0.15, 0.3, 0.45, 0.6, 0.75, 0.9])


def fill(t, i, v, relaxed_v, base=None, q_ah=2.0, resistances=(0.0,)):
    base = np.interp(AXIS, RELAXED, relaxed_v) if base is None else base
    return _core.fill_ocv(t, i, v, AXIS, RELAXED, relaxed_v, base, q_ah, np.asarray(resistances, dtype=float))


# --- the OCV from a slow test ----------------------------------------------------------------


def test_discharge_and_charge_give_the_ocv_below_the_lowest_relaxed_point():
    t, i, v = slow_test()
    f = fill(t, i, v, true_ocv(RELAXED))
    assert f["has_charge"] and not f["flipped"] and f["relaxed_used"] == len(RELAXED)
    assert f["soc_low"] == pytest.approx(0.0, abs=1e-9) and f["soc_high"] == pytest.approx(1.0)
    want = true_ocv(AXIS)
    # the mean of the branches is the OCV (to the linear reading between 60 s samples)
    np.testing.assert_allclose(f["pseudo"], want, atol=2e-4)
    np.testing.assert_allclose(f["ocv"], want, atol=3e-4)
    # where the relaxed points end (SOC 0.15), the straight line of the base misses the knee by far
    low = AXIS < 0.1
    base = np.interp(AXIS, RELAXED, true_ocv(RELAXED))
    assert np.max(np.abs(base[low] - want[low])) > 0.05
    assert np.max(np.abs(f["ocv"][low] - want[low])) < 3e-4


def test_the_curve_is_moved_onto_the_relaxed_points():
    # relaxed points 8 mV above the slow test's curve, rising by 4 mV more along the SOC
    t, i, v = slow_test()
    shift = 0.008 + 0.004 * RELAXED
    f = fill(t, i, v, true_ocv(RELAXED) + shift)
    at_points = np.interp(RELAXED, AXIS, f["ocv"])
    np.testing.assert_allclose(at_points, true_ocv(RELAXED) + shift, atol=3e-4)
    # between the points the correction is smooth (a straight line here); beyond them it is held
    corr = f["correction"]
    mid = (AXIS >= 0.15) & (AXIS <= 0.9)
    np.testing.assert_allclose(corr[mid], 0.008 + 0.004 * AXIS[mid], atol=1e-6)
    assert np.allclose(corr[AXIS < 0.15], 0.008 + 0.004 * 0.15)
    assert np.allclose(corr[AXIS > 0.9], 0.008 + 0.004 * 0.9)


def test_a_discharge_alone_adds_the_drop_over_the_resistances():
    t, i, v = slow_test(charge=False, r=0.05)
    f = fill(t, i, v, true_ocv(RELAXED) + 0.003, resistances=(0.02, 0.03))
    assert not f["has_charge"]
    # the pseudo-OCV is the discharge plus 0.1 A * 0.05 ohm: the OCV
    np.testing.assert_allclose(f["pseudo"], true_ocv(AXIS), atol=2e-4)
    np.testing.assert_allclose(f["ocv"], true_ocv(AXIS) + 0.003, atol=3e-4)


def test_a_discharge_positive_file_and_its_errors():
    t, i, v = slow_test()
    a = fill(t, i, v, true_ocv(RELAXED))
    b = fill(t, -i, v, true_ocv(RELAXED))
    assert b["flipped"] and not a["flipped"]
    np.testing.assert_allclose(a["ocv"], b["ocv"], atol=1e-12)
    with pytest.raises(ValueError, match="no relaxed point"):
        _core.fill_ocv(t, i, v, AXIS, np.array([1.5]), np.array([4.0]), AXIS, 2.0, np.zeros(1))
    charge_part = t > 72000.0 + 3600.0 + 1.0  # a file that begins with the charge: its voltage rises
    with pytest.raises(ValueError, match="expected a discharge first"):
        fill(t[charge_part], i[charge_part], v[charge_part], true_ocv(RELAXED))
    bad = v.copy()
    bad[5] = np.nan
    with pytest.raises(ValueError, match="row 6"):
        fill(t, i, bad, true_ocv(RELAXED))
    with pytest.raises(ValueError, match="capacity"):
        fill(t, i, v, true_ocv(RELAXED), q_ah=0.0)


@pytest.fixture(scope="module")
def fitted(tmp_path_factory):
    """A pulse folder of synthcell's realistic cell at 25 and 0 C, its C/20 test at 25 C
    (discharge, rest, charge) and the joint fit with and without it."""
    root = tmp_path_factory.mktemp("fill")
    bf = synthcell.write_battery_folder(
        root,
        cell_name="cellF",
        temperatures=(25, 0),
        pulse_current_A=-2.0,
        pulse_s=180.0,
        rest_s=600.0,
        initial_rest_s=60.0,
        dt=2.0,
    )
    cell = synthcell.constant_cell(model="model2")
    tt = np.arange(0.0, 2 * 72000.0 + 3600.0 + 1.0, 120.0)
    ii = np.where(tt <= 72000.0, -0.1, np.where(tt <= 75600.0, 0.0, 0.1))
    df, _ = synthcell.make_profile_recording(tt, ii, cell, temperature_C=25.0, soc0=1.0, model="model2")
    slow = root / "slow_2000mAh_Tp25.csv"
    synthcell.write_recording_csv(df, slow)
    ex = ecm.extract(bf["folder"], model="2rc", low_cutoff=3.0, high_cutoff=4.2, method="joint", ocv_tests=[slow])
    out = root / "results_ocv"
    ex.write(out)
    plain = ecm.extract(bf["folder"], model="2rc", low_cutoff=3.0, high_cutoff=4.2, method="joint")
    plain.write(root / "results")
    return {"root": root, "ex": ex, "out": out, "plain": root / "results", "slow": slow}


def test_fit_with_an_ocv_test_writes_and_uses_the_table(fitted):
    ex, out = fitted["ex"], fitted["out"]
    (f,) = ex.ocv_fills
    rec = ex.recordings[f["index"]]
    assert f["temperature"] == 25 and f["has_charge"]
    tabs = json.loads((out / "battery_model_tables.json").read_text())
    block = tabs["OCV"]
    assert block["temperatures"] == sorted(r.temperature for r in ex.recordings)
    k25 = block["temperatures"].index(25)
    assert block["source"][k25] == "slow_2000mAh_Tp25.csv" and block["source"][1 - k25] is None
    # the other temperature keeps its own relaxed-point curve
    other = [r for r in ex.recordings if r.temperature != 25][0]
    np.testing.assert_allclose(block["ocv"][1 - k25], other.ocv["ocv"])
    # the filled curve goes through the relaxed points and, in Ah removed, is the cell's OCV
    soc = np.asarray(block["soc"])
    ocv25 = np.asarray(block["ocv"][k25])
    np.testing.assert_allclose(np.interp(rec.relaxed["soc"], soc, ocv25), rec.relaxed["ocv"], atol=1.5e-3)
    true_soc = 1.0 - (1.0 - soc) * rec.charge_Ah / 2.0
    inside = soc >= 0.02
    np.testing.assert_allclose(ocv25[inside], true_ocv(true_soc[inside]), atol=6e-3)
    csv = pd.read_csv(out / "battery_model_table_OCV.csv")
    np.testing.assert_allclose(csv["25C"], ocv25)
    # the evaluator reads it; the model file is the builder's
    m = load_model(out)
    assert m.has_ocv_table and not load_model(fitted["plain"]).has_ocv_table
    np.testing.assert_allclose(m.ocv_at(25.0), ocv25)
    np.testing.assert_allclose(m.ocv_at(40.0), ocv25)  # held beyond
    np.testing.assert_allclose(m.ocv_at(12.5), 0.5 * (ocv25 + np.asarray(block["ocv"][1 - k25])))
    assert (out / "battery_model.json").read_text() == (fitted["plain"] / "battery_model.json").read_text()


def test_the_pybamm_export_carries_the_ocv_table(fitted, tmp_path):
    from ecm.export import export

    out = export(fitted["out"], "pybamm", tmp_path / "p.py")[0]
    text = open(out).read()
    assert "OCV_TABLE_V" in text and "the OCV table of the slow tests" in text
    ns: dict = {}
    pytest.importorskip("pybamm")
    import runpy

    ns = runpy.run_path(str(out))
    m = load_model(fitted["out"])
    table = np.asarray(ns["OCV_TABLE_V"])
    np.testing.assert_allclose(table[:, list(ns["OCV_TABLE_TEMPERATURE_C"]).index(25.0)], m.ocv_at(25.0))


def test_ocv_test_errors_name_the_file(fitted, tmp_path):
    folder = fitted["ex"].folder
    with pytest.raises(UsageError, match="joint method"):
        ecm.extract(folder, low_cutoff=3.0, high_cutoff=4.2, method="pulse", ocv_tests=[fitted["slow"]])
    far = tmp_path / "slow_2000mAh_Tp60.csv"
    d = pd.read_csv(fitted["slow"])
    d["Temperature(C)"] = 60.0
    d.to_csv(far, index=False)
    with pytest.raises(UsageError, match="slow_2000mAh_Tp60.csv: its temperature 60 C"):
        ecm.extract(folder, low_cutoff=3.0, high_cutoff=4.2, ocv_tests=[far])
    with pytest.raises(UsageError, match="does not exist"):
        ecm.extract(folder, low_cutoff=3.0, high_cutoff=4.2, ocv_tests=[tmp_path / "none.csv"])
    empty = tmp_path / "rest_2000mAh_Tp25.csv"
    pd.DataFrame({"Seconds": [0, 1, 2], "Current(A)": [0, 0, 0], "Voltage(V)": [4, 4, 4]}).to_csv(empty, index=False)
    with pytest.raises(RecordingError, match="rest_2000mAh_Tp25.csv: the slow test carries no current"):
        ecm.extract(folder, low_cutoff=3.0, high_cutoff=4.2, ocv_tests=[empty])


# --- the cell's temperature sample by sample ---------------------------------------------------


def arrhenius(t_c, ref, ea=3000.0, t_ref=25.0):
    return ref * np.exp(ea * (1.0 / (np.asarray(t_c) + KELVIN) - 1.0 / (t_ref + KELVIN)))


def flat_model(temps=(0.0, 40.0), r1=0.01, tau1=20.0, cap=(2.0, 2.0), ocv=3.7, slope=0.0, path="synthetic.json"):
    """A model with a flat OCV (plus slope * T), R0 and R1 following the Arrhenius law at its two
    temperatures (the evaluator's law between them is the same law), constant tau."""
    soc = np.linspace(0.0, 1.0, 11)
    temps = np.asarray(temps, dtype=float)
    return Model(
        path=path,
        name="flat",
        soc=soc,
        ocv0=np.full(len(soc), ocv),
        ocvrel=np.full(len(soc), slope),
        temps=temps,
        r0=arrhenius(temps, 0.05),
        r=[arrhenius(temps, r1) if r1 else np.zeros(len(temps))],
        tau=[np.full(len(temps), tau1)],
        capacity_ah=np.asarray(cap, dtype=float),
    )


def test_parameters_follow_a_stepping_temperature_exactly():
    m = flat_model()
    t = np.arange(0.0, 400.0, 1.0)
    i = np.full(len(t), -2.0)
    temp = np.where(t < 150.0, 5.0, 30.0)
    sim = _core.simulate_model_at_temperatures(m.evaluator(), t, i, 0.8, temperature=temp)
    r0 = arrhenius(temp, 0.05)
    # the branch charges towards R1(T) i from rest, and from where it was after the step
    r1a, r1b = arrhenius(5.0, 0.01), arrhenius(30.0, 0.01)
    u = np.where(
        t <= 150.0,
        -2.0 * r1a * (1 - np.exp(-t / 20.0)),
        -2.0 * r1b + (-2.0 * r1a * (1 - np.exp(-150.0 / 20.0)) + 2.0 * r1b) * np.exp(-(t - 150.0) / 20.0),
    )
    np.testing.assert_allclose(sim["v"], 3.7 - 2.0 * r0 + u, atol=1e-12)
    np.testing.assert_allclose(sim["temperature"], temp)
    assert sim["temperatures_evaluated"] == 2
    # the capacity at each temperature moves the SOC: linear between 2 Ah at 0 C and 4 Ah at 40 C
    m2 = flat_model(cap=(2.0, 4.0))
    s2 = _core.simulate_model_at_temperatures(m2.evaluator(), t, i, 0.8, temperature=temp)
    q = np.where(t <= 150.0, 2.0 * t / (3600 * 2.25), 2.0 * 150 / (3600 * 2.25) + 2.0 * (t - 150) / (3600 * 3.5))
    np.testing.assert_allclose(s2["soc"], 0.8 - q, atol=1e-12)


def test_one_temperature_is_the_fixed_simulation():
    m = flat_model()
    rng = np.random.default_rng(1)
    t = np.cumsum(rng.uniform(0.5, 2.0, 500))
    i = rng.normal(0.0, 3.0, 500)
    at = m.at(12.0)
    fixed = _core.simulate_model(t, i, at.ocv_soc, at.ocv_v, at.param_soc, at.r0, at.r, at.tau, at.capacity_ah, 0.6)
    sim = _core.simulate_model_at_temperatures(m.evaluator(), t, i, 0.6, temperature=np.full(500, 12.0))
    np.testing.assert_allclose(sim["v"], fixed["v"], atol=1e-12)
    np.testing.assert_allclose(sim["soc"], fixed["soc"], atol=1e-13)


def write_recording(path, t, i, v, temp):
    pd.DataFrame({"Seconds": t, "Current(A)": i, "Voltage(V)": v, "Temperature(C)": temp}).to_csv(path, index=False)


def test_validate_follows_the_measured_temperature(tmp_path):
    m = flat_model(r1=0.0)
    t = np.arange(0.0, 1200.0, 1.0)
    i = np.where(t < 60.0, 0.0, -2.0)
    temp = np.where(t < 600.0, 5.0, 30.0)
    v = 3.7 + i * arrhenius(temp, 0.05)
    path = tmp_path / "step_Tp5.csv"
    write_recording(path, t, i, v, temp)
    res = validate(m, path, initial_soc=0.5)
    assert res.temperature_source == "measured" and "Temperature(C)" in res.temperature_note
    # away from the step (the column is averaged over 30 s) the model is the recording
    far = np.abs(t - 600.0) > 16.0
    assert np.max(np.abs(res.error_mV[far])) < 1e-9
    np.testing.assert_allclose(res.cell_temperature[far], temp[far])
    # one temperature (5 C) misses the warm half by the change of R0
    fixed = validate(m, path, initial_soc=0.5, temperature=5.0)
    assert fixed.temperature_source == "fixed" and fixed.temperature == 5.0
    assert validate(m, path, initial_soc=0.5, follow_temperature=False).temperature_source == "fixed"
    drop = 2.0 * (arrhenius(5.0, 0.05) - arrhenius(30.0, 0.05)) * 1000
    np.testing.assert_allclose(fixed.error_mV[t > 620], -drop, rtol=1e-9)
    doc = res.to_dict()
    assert doc["temperature_source"] == "measured" and doc["cell_temperature_range"] == [5.0, 30.0]


def test_an_export_holds_every_sample_current_over_the_interval_before_it(tmp_path):
    # A drive-like current: a slow ramp of small changes (smaller than a step of the current), then a
    # jump back, every minute. The charge is the sum of each sample's current times the interval
    # before it; taking the small changes as ramps would lose half of each, about 1 % of the charge.
    m = flat_model(r1=0.0)
    t = np.arange(0.0, 3600.0, 1.0)
    i = -1.0 - 0.05 * (np.arange(len(t)) % 60)
    i[:60] = 0.0
    v = 3.7 + i * arrhenius(25.0, 0.05)
    path = tmp_path / "ramps_25C.csv"
    pd.DataFrame({"Test_Time(s)": t, "Current(A)": i, "Voltage(V)": v, "Aux_Temperature_1(C)": 25.0}).to_csv(
        path, index=False
    )
    res = validate(m, path, initial_soc=0.9)
    held = 0.9 + np.concatenate(([0.0], np.cumsum(i[1:] * np.diff(t)))) / (3600.0 * 2.0)
    np.testing.assert_allclose(res.t, t)
    np.testing.assert_allclose(res.soc, held, atol=1e-12)
    assert np.max(np.abs(res.error_mV)) < 1e-9


def test_smoothing_is_a_centred_mean_and_reads_between_samples():
    t = np.arange(0.0, 100.0, 1.0)
    x = np.random.default_rng(2).normal(size=100)
    s = _core.smooth_in_time(t, x, 10.0)
    want = [np.mean(x[(t >= tk - 5) & (t <= tk + 5)]) for tk in t]
    np.testing.assert_allclose(s, want, atol=1e-12)
    at = np.array([0.25, 50.5])
    np.testing.assert_allclose(_core.smooth_in_time(t, x, 0.0, at), np.interp(at, t, x))
    x[3] = np.nan
    assert np.isfinite(_core.smooth_in_time(t, x, 10.0)).all()
    with pytest.raises(ValueError, match="no finite value"):
        _core.smooth_in_time(t, np.full(100, np.nan), 10.0)


# --- the lumped thermal model ---------------------------------------------------------------------


def test_thermal_step_response_is_the_closed_form():
    m = flat_model(temps=(25.0,), r1=0.0, cap=(2.0,))
    c, g, ta = 40.0, 0.08, 20.0
    t = np.arange(0.0, 3000.0, 2.0)
    i = np.full(len(t), -3.0)
    sim = _core.simulate_model_at_temperatures(
        m.evaluator(), t, i, 0.9, ambient=np.full(len(t), ta), heat_capacity=c, conductance=g, initial_temperature=ta
    )
    q = 9.0 * 0.05  # I^2 R0 of a one-temperature model: R0 at any T
    np.testing.assert_allclose(sim["heat"], q, rtol=1e-12)
    np.testing.assert_allclose(sim["temperature"], ta + q / g * (1 - np.exp(-g * t / c)), atol=1e-10)
    # no conductance: the heat accumulates
    sim0 = _core.simulate_model_at_temperatures(
        m.evaluator(), t, i, 0.9, ambient=np.full(len(t), ta), heat_capacity=c, conductance=0.0
    )
    np.testing.assert_allclose(sim0["temperature"], ta + q * t / c, atol=1e-9)


def test_reversible_heat_follows_the_ocv_slope():
    # R0 = 0 at both temperatures, OCV rising 0.5 mV/K: a discharge cools the cell by i T dU/dT
    m = flat_model(temps=(0.0, 40.0), r1=0.0, slope=5e-4)
    m.r0 = np.zeros(2)
    c, g, ta, cur = 50.0, 0.1, 25.0, -4.0
    t = np.arange(0.0, 2000.0, 0.5)
    sim = _core.simulate_model_at_temperatures(
        m.evaluator(), t, np.full(len(t), cur), 0.9, ambient=np.full(len(t), ta), heat_capacity=c, conductance=g
    )
    # C dT/dt = a (T + 273.15) - g (T - ta) with a = i dU/dT: linear, exact solution
    a = cur * 5e-4
    k = (g - a) / c
    t_inf = (a * KELVIN + g * ta) / (g - a)
    want = t_inf + (ta - t_inf) * np.exp(-k * t)
    np.testing.assert_allclose(sim["temperature"], want, atol=2e-4)
    assert sim["temperature"][-1] < ta - 1.0


def test_thermal_fit_recovers_the_model_that_made_the_temperature():
    # a drive-like current through a one-temperature model heated by the lumped model with known C, G
    # and ambient (the simulation's own exact response); the fit on its temperature, with 0.05 K of
    # sensor noise, finds them again
    m = flat_model(temps=(25.0,), r1=0.0, cap=(2.0,))
    c, g, ta = 60.0, 0.12, 21.0
    t = np.arange(0.0, 6000.0, 1.0)
    rng = np.random.default_rng(4)
    i = np.repeat(rng.uniform(-6.0, 3.0, len(t) // 30), 30)
    sim = _core.simulate_model_at_temperatures(
        m.evaluator(), t, i, 0.9, ambient=np.full(len(t), ta), heat_capacity=c, conductance=g, initial_temperature=24.0
    )
    temp = np.asarray(sim["temperature"]) + rng.normal(0.0, 0.05, len(t))
    heat = np.asarray(sim["heat"])
    fit = _core.fit_lumped_thermal(t, heat, temp)
    assert fit["heat_capacity"] == pytest.approx(c, rel=0.03)
    assert fit["conductance"] == pytest.approx(g, rel=0.03)
    assert fit["ambient"] == pytest.approx(ta, abs=0.1)
    assert fit["rms_k"] == pytest.approx(0.05, rel=0.2) and not fit["on_bound"]
    with pytest.raises(ValueError, match="too little"):
        _core.fit_lumped_thermal(t, heat, np.full(len(t), 25.0))
    with pytest.raises(ValueError, match="equal length"):
        _core.fit_lumped_thermal(t, heat[:-1], temp)


def test_validate_reports_the_thermal_model_its_measured_temperature_implies(tmp_path, capsys):
    m = flat_model(temps=(20.0,), r1=0.0, cap=(2.0,))
    t = np.arange(0.0, 4000.0, 1.0)
    i = np.where((t // 300) % 2 == 1, -6.0, 0.0)
    c, g = 45.0, 0.09
    sim = _core.simulate_model_at_temperatures(
        m.evaluator(), t, i, 0.9, ambient=np.full(len(t), 20.0), heat_capacity=c, conductance=g
    )
    path = tmp_path / "warm_Tp20.csv"
    write_recording(path, t, i, np.asarray(sim["v"]), np.asarray(sim["temperature"]))
    res = validate(m, path, initial_soc=0.9)
    assert res.temperature_source == "measured"
    # the heat along the measured temperature is the thermal model's own, so its values come back:
    # the column is smoothed over 30 s before the fit: the values within a few per cent
    assert res.thermal_fit["heat_capacity"] == pytest.approx(c, rel=0.05)
    assert res.thermal_fit["conductance"] == pytest.approx(g, rel=0.05)
    assert res.to_dict()["thermal_fit"]["ambient"] == pytest.approx(20.0, abs=0.2)
    assert validate(m, path, initial_soc=0.9, temperature=20.0).thermal_fit is None


def test_validate_with_the_thermal_model(tmp_path):
    m = flat_model(r1=0.0)
    t = np.arange(0.0, 1000.0, 1.0)
    i = np.where(t < 60.0, 0.0, -5.0)
    path = tmp_path / "hot_Tp20.csv"
    write_recording(path, t, i, 3.7 + i * arrhenius(20.0, 0.05), np.full(len(t), 20.0))
    res = validate(m, path, initial_soc=0.5, thermal=(30.0, 0.05))
    assert res.temperature_source == "thermal" and "30 J/K" in res.temperature_note
    assert res.cell_temperature[0] == 20.0 and res.cell_temperature[-1] > 25.0
    # a warmer cell has a smaller R0: the model lies above the isothermal recording
    assert res.stats.loc["discharge", "mean_mV"] > 0
    with pytest.raises(UsageError, match="heat capacity"):
        validate(m, path, initial_soc=0.5, thermal=(0.0, 1.0))


# --- scoring after a time, the error pictures ----------------------------------------------------


def test_from_scores_only_the_later_samples(tmp_path):
    m = flat_model()
    t = np.arange(0.0, 900.0, 1.0)
    rng = np.random.default_rng(5)
    i = np.where(t < 60, 0.0, rng.normal(-1.0, 2.0, len(t)))
    path = tmp_path / "drive_Tp25.csv"
    write_recording(path, t, i, 3.7 + 0.001 * rng.normal(size=len(t)), np.full(len(t), 25.0))
    whole = validate(m, path, initial_soc=0.5)
    part = validate(m, path, initial_soc=0.5, score_from=300.0, score_to=700.0)
    np.testing.assert_array_equal(whole.simulated, part.simulated)
    sel = (t >= 300) & (t <= 700)
    e = part.error_mV[sel]
    assert part.stats.loc["overall", "samples"] == sel.sum()
    assert part.rms_mV == pytest.approx(np.sqrt(np.mean(e**2)))
    assert part.max_mV == pytest.approx(np.max(np.abs(e)))
    d = part.error_mV[sel & (part.segment == "discharge")]
    assert part.stats.loc["discharge", "rms_mV"] == pytest.approx(np.sqrt(np.mean(d**2)))
    assert part.to_dict()["scored_samples"] == sel.sum() and "scored from 300" in part.scored_text()
    with pytest.raises(UsageError, match="no sample lies"):
        validate(m, path, initial_soc=0.5, score_from=5000.0)
    with pytest.raises(UsageError, match="before score_from"):
        validate(m, path, initial_soc=0.5, score_from=500.0, score_to=100.0)


def test_cli_from_and_the_error_picture(fitted, tmp_path):
    pytest.importorskip("matplotlib")
    from ecm.cli import main

    t, i, _ = synthcell.drive_cycle_current(600, 1.0, -6.0, seed=4)
    tt = np.arange(300 + len(t), dtype=float)
    ii = np.concatenate([np.zeros(300), i])
    df, _ = synthcell.make_profile_recording(tt, ii, temperature_C=25.0, soc0=0.7)
    drive = tmp_path / "drive_2000mAh_Tp25.csv"
    synthcell.write_recording_csv(df, drive)
    png = tmp_path / "v.png"
    assert main(["validate", str(fitted["out"]), str(drive), "--from", "400", "--plot", str(png), "-q"]) == 0
    assert png.read_bytes()[:4] == b"\x89PNG"
    v = validate(fitted["out"], drive, score_from=400)
    fig = v.plot(errors=True)
    soc_ax, cur_ax, temp_ax = fig.axes[-3:]
    assert [a.get_xlabel() for a in (soc_ax, cur_ax, temp_ax)] == ["SOC", "current (A)", "temperature (C)"]
    xs = np.concatenate([c.get_offsets()[:, 0] for c in soc_ax.collections])
    ys = np.concatenate([c.get_offsets()[:, 1] for c in soc_ax.collections])
    assert len(xs) == v.scored.sum()  # every scored sample, none before --from
    assert set(np.round(ys, 9)) == set(np.round(v.error_mV[v.scored], 9))
    html = ecm.extract(fitted["ex"].folder, low_cutoff=3.0, high_cutoff=4.2).report(
        tmp_path / "r.html", validations=[v], workers=1
    )
    text = open(html).read()
    assert "Validation on drive_2000mAh_Tp25.csv" in text and "scored from 400" in text
    assert os.path.getsize(html) > 0


def test_cli_names_the_temperature_source_and_refuses_a_bad_thermal_model(tmp_path, capsys):
    from ecm.cli import main

    m = flat_model(r1=0.0)
    t = np.arange(0.0, 300.0, 1.0)
    i = np.where(t < 60.0, 0.0, -2.0)
    path = tmp_path / "cli_Tp20.csv"
    write_recording(path, t, i, 3.7 + i * arrhenius(20.0, 0.05), np.full(len(t), 20.0))
    model = tmp_path / "battery_model.json"
    ev = m.evaluator()
    model.write_text(
        json.dumps(
            {
                "name": "flat",
                "param_1": list(m.soc),
                "temps": list(m.temps),
                "param_3": list(m.ocvrel),
                "param_4": list(m.ocv0),
                "param_9": list(ev.r0_by_temperature),
                "param_10": list(m.tau[0]),
                "param_11": list(m.r[0]),
                "param_12": list(m.capacity_ah),
            }
        )
    )
    assert main(["validate", str(model), str(path), "--initial-soc", "0.5", "--json", "--from", "100"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["temperature_source"] == "measured" and doc["score_from"] == 100.0
    assert doc["scored_samples"] == 200 and doc["segments"]["overall"]["rms_mV"] < 1e-6
    assert main(["validate", str(model), str(path), "--initial-soc", "0.5", "--fixed-temperature"]) == 0
    assert "temperature: 20 C throughout" in capsys.readouterr().out
    assert main(["validate", str(model), str(path), "--initial-soc", "0.5", "--thermal", "40"]) == 2
    assert "--thermal takes C_J_per_K,G_W_per_K" in capsys.readouterr().err

"""The slow branch fitted on whole recordings, against cells with a known slow
polarisation: the slow branch's voltage computed independently (SciPy's lsim)
on top of a fast model, over a protocol of pulses, long discharges and rests."""

import numpy as np
import pytest
from scipy import signal

from ecm import _core

CAP = 3.0
OCV_SOC = np.linspace(0.0, 1.0, 11)
OCV_V = 3.3 + 0.9 * OCV_SOC
FAST = dict(param_soc=np.array([0.0]), r0=np.array([0.02]), r=[np.array([0.01])], tau=[np.array([8.0])])


def protocol(n_points=6, rest_s=3600.0, current=-1.0, step_s=1200.0, start_rest=600.0):
    """Pulses of 10 s at 3 A, then a SOC step at `current` and a long rest, repeated; 1 s sampling
    in pulses, 10 s elsewhere."""
    t, i = [0.0], [0.0]

    def hold(dur, cur, dt):
        t0 = t[-1]
        for k in range(1, int(round(dur / dt)) + 1):
            t.append(t0 + k * dt)
            i.append(cur)

    hold(start_rest, 0.0, 10.0)
    for _ in range(n_points):
        hold(10.0, -3.0, 1.0)
        hold(60.0, 0.0, 1.0)
        hold(step_s, current, 10.0)
        hold(rest_s, 0.0, 10.0)
    return np.array(t), np.array(i)


def cell_voltage(t, i, r_slow, tau_slow, x0=0.0, ocv_shift=0.0, soc0=1.0):
    """The fast model by the core's simulation plus a slow branch by SciPy's lsim."""
    sim = _core.simulate_model(t, i, OCV_SOC, OCV_V + ocv_shift, capacity_ah=CAP, soc0=soc0, **FAST)
    y = np.zeros(len(t))
    if r_slow:
        # on a uniform 1 s grid (every protocol time is a whole second), the current linear between samples
        tu = np.arange(t[0], t[-1] + 0.5, 1.0)
        _, yu, _ = signal.lsim(signal.lti([r_slow], [tau_slow, 1.0]), np.interp(tu, t, i), tu - tu[0], interp=True)
        y = np.interp(t, tu, yu)
    return np.asarray(sim["v"]) + y + x0 * np.exp(-(t - t[0]) / tau_slow)


def fit(segments, **kw):
    return _core.fit_slow_branch(
        segments, OCV_SOC, OCV_V, capacity_ah=CAP, out_soc=np.array([0.2, 0.5, 0.8]), **FAST, **kw
    )


def lab_export(folder, name="hppc_25degC.csv", **noise):
    """A lab HPPC export (four pulse currents per SOC point, long rests, the cycler's Ah counter) of the
    exact step simulator, written into folder; its path."""
    from test_exports import simulate
    from test_protocols import lab_hppc, write_lab_file

    t, i, v, _ = simulate(lab_hppc(), soc0=1.0, **noise)
    counter = np.cumsum(i * np.diff(np.concatenate(([0.0], t)))) / 3600.0
    path = str(folder / name)
    write_lab_file(path, t, i, v, counter)
    return path


class TestRecovery:
    def test_resistance_and_time_constant_of_a_known_slow_branch(self):
        t, i = protocol()
        v = cell_voltage(t, i, 0.015, 1500.0)
        got = fit([dict(t=t, i=i, v=v, soc0=1.0)], smooth=0.01)
        assert got["tau"] == pytest.approx(1500.0, rel=0.03)
        np.testing.assert_allclose(got["r"], 0.015, rtol=0.03)
        assert got["rms_after_mV"][0] < 0.1 * got["rms_before_mV"][0]

    def test_start_state_of_a_cell_still_relaxing(self):
        t, i = protocol()
        v = cell_voltage(t, i, 0.015, 1500.0, x0=-0.02)
        got = fit([dict(t=t, i=i, v=v, soc0=1.0)], smooth=0.01, slow_tau=1500.0)
        assert got["x0"][0] == pytest.approx(-0.02, abs=1e-3)
        np.testing.assert_allclose(got["r"], 0.015, rtol=0.03)

    def test_no_slow_polarisation_gives_none(self):
        t, i = protocol()
        v = cell_voltage(t, i, 0.0, 1500.0)
        got = fit([dict(t=t, i=i, v=v, soc0=1.0)])
        assert np.max(got["r"]) < 5e-4
        assert got["rms_after_mV"][0] < 0.2

    def test_start_soc_from_anchors(self):
        t, i = protocol()
        v = cell_voltage(t, i, 0.015, 1500.0, soc0=0.9)
        q = np.concatenate([[0.0], np.cumsum(0.5 * (i[1:] + i[:-1]) * np.diff(t))]) / 3600.0
        at = np.array([5000.0, 20000.0, 30000.0])
        soc_at = 0.9 + np.interp(at, t, q) / CAP
        got = fit([dict(t=t, i=i, v=v, anchor_t=at, anchor_soc=soc_at)], smooth=0.01)
        assert got["soc0"][0] == pytest.approx(0.9, abs=1e-6)
        np.testing.assert_allclose(got["r"], 0.015, rtol=0.05)


class TestRestsCarryTheFit:
    """A cell whose SOC steps hold more than the fast model and the slow branch give: a resistance
    that only the long low-current load shows (as the pulses at higher current do not), and an OCV
    that bows between the relaxed points (the table holds a chord). Scored on its settled rests the
    slow branch comes out as the cell's; scored under load too it takes both up."""

    def cell(self, extra_r=0.008, bow=0.006):
        t, i = protocol(current=-1.0)
        v = cell_voltage(t, i, 0.015, 1500.0)
        step = np.isclose(i, -1.0)
        # the chord's miss: nought at either end of a step (the relaxed points), largest halfway
        start = np.maximum.accumulate(np.where(step & ~np.roll(step, 1), t, 0.0))
        s = np.clip((t - start) / 1200.0, 0.0, 1.0)
        on_step = 4.0 * s * (1.0 - s) * step
        return t, i, v + extra_r * i * step - bow * on_step

    def test_settled_rests_give_the_cells_slow_branch(self):
        t, i, v = self.cell()
        got = fit([dict(t=t, i=i, v=v, soc0=1.0, load_weight=0.0)], smooth=0.01)
        assert got["tau"] == pytest.approx(1500.0, rel=0.05)
        np.testing.assert_allclose(got["r"], 0.015, rtol=0.05)

    def test_under_load_the_slow_branch_takes_up_the_rest(self):
        # the fault the rests avoid: with the loads scored the time constant falls to a fraction of the
        # cell's and R_slow grows where the steps are
        t, i, v = self.cell()
        got = fit([dict(t=t, i=i, v=v, soc0=1.0, load_weight=1.0)], smooth=0.01)
        assert got["tau"] < 0.5 * 1500.0
        assert np.min(got["r"][1:]) > 0.015 * 1.2

    def test_without_a_settled_rest_the_whole_recording_is_scored(self):
        # loads and rests no longer than the fast branches' settling: nothing to leave out, same fit
        t = np.arange(0.0, 20000.0, 5.0)
        i = np.where((t // 20.0) % 2 == 0, -1.0, 0.0)
        v = cell_voltage(t, i, 0.015, 1500.0)
        whole = fit([dict(t=t, i=i, v=v, soc0=1.0)], slow_tau=1500.0)
        rests = fit([dict(t=t, i=i, v=v, soc0=1.0, load_weight=0.0)], slow_tau=1500.0)
        np.testing.assert_allclose(rests["r"], whole["r"], rtol=1e-9)


class TestCalibration:
    def test_ocv_offset_and_scored_window_of_a_dynamic_recording(self):
        t, i = protocol(n_points=4)
        v = cell_voltage(t, i, 0.015, 1500.0, ocv_shift=0.004)
        rng = np.random.default_rng(3)
        td = np.arange(0.0, 3000.0, 1.0)
        idrive = np.clip(rng.normal(-1.0, 2.0, len(td)), -6, 3)
        vd = cell_voltage(td, idrive, 0.015, 1500.0, ocv_shift=0.004, soc0=0.6)
        segs = [dict(t=t, i=i, v=v, soc0=1.0), dict(t=td, i=idrive, v=vd, soc0=0.6, to=2000.0)]
        got = fit(segs, ocv_offsets=True, smooth=0.01)
        np.testing.assert_allclose(got["ocv_offset"], 0.004, atol=1e-3)
        assert got["tau"] == pytest.approx(1500.0, rel=0.1)
        assert len(got["rms_after_mV"]) == 2


class TestBadInput:
    def test_errors_say_what_is_wrong(self):
        t, i = protocol(n_points=1)
        v = cell_voltage(t, i, 0.01, 1000.0)
        with pytest.raises(ValueError, match="at least one"):
            fit([])
        bad = v.copy()
        bad[5] = np.nan
        with pytest.raises(ValueError, match="not finite"):
            fit([dict(t=t, i=i, v=bad, soc0=1.0)])
        with pytest.raises(ValueError, match="start SOC or SOC anchors"):
            fit([dict(t=t, i=i, v=v)])
        with pytest.raises(ValueError, match="no sample"):
            fit([dict(t=t, i=i, v=v, soc0=1.0, **{"from": 1e9})])
        with pytest.raises(ValueError, match="equal length"):
            fit([dict(t=t, i=i[:-1], v=v, soc0=1.0)])
        with pytest.raises(ValueError, match="under load must lie in"):
            fit([dict(t=t, i=i, v=v, soc0=1.0, load_weight=1.5)])


class TestThroughTheModel:
    """extract(slow=True) on a lab HPPC export: the slow branch reaches the tables, the model, validation
    and the PyBaMM export as one more RC branch; without it nothing changes."""

    @pytest.fixture(autouse=True)
    def _keep_capsys(self, capsys):
        self._capsys = capsys

    def test_slow_branch_end_to_end(self, tmp_path):

        import ecm
        from ecm.export import pybamm_text
        from ecm.modelfile import load_model

        path = lab_export(tmp_path)
        plain = ecm.extract([path], low_cutoff=2.5, high_cutoff=4.2)
        slow = ecm.extract([path], low_cutoff=2.5, high_cutoff=4.2, slow=True)
        assert plain.recordings[0].slow is None and "R_slow" not in plain.tables()
        fit = slow.recordings[0].slow
        assert 300.0 <= fit["tau"] <= 20000.0 and fit["rms_after_mV"][0] <= fit["rms_before_mV"][0]
        # the pulse fits themselves are the same
        pd_cols = ["R0", "R1", "R2"]
        np.testing.assert_array_equal(plain.recordings[0].pulses[pd_cols], slow.recordings[0].pulses[pd_cols])
        out = tmp_path / "results"
        slow.write(out)
        m = load_model(out)
        assert m.has_slow_branch and m.all_branches == m.branches + 1
        at = m.at(25.0)
        assert len(at.r) == m.branches + 1 and np.allclose(at.tau[-1], fit["tau"])
        assert len(m.at(25.0, use_slow=False).r) == m.branches
        from ecm.validate import validate

        val = validate(m, path)
        assert np.isfinite(val.rms_mV)
        assert f'"number of rc elements": {m.branches + 1}' in pybamm_text(m)
        # each feature off in turn: the same numbers as validating those models directly
        from ecm.validate import feature_contributions

        table = feature_contributions(m, path)
        assert list(table.index[:3]) == ["whole model", "without slow branch", "without SOC tables"]
        assert table.loc["whole model", "rms_mV"] == pytest.approx(val.rms_mV, rel=1e-12)
        plain_model = load_model(out, tables=False)
        assert table.loc["without SOC tables", "rms_mV"] == pytest.approx(validate(plain_model, path).rms_mV, rel=1e-12)
        assert table.loc["without slow branch", "change_mV"] == pytest.approx(
            table.loc["without slow branch", "rms_mV"] - val.rms_mV, abs=1e-12
        )
        from ecm.cli import main

        capsys = self._capsys
        assert main(["validate", str(out), path, "--features"]) == 0
        text = capsys.readouterr().out
        assert "without slow branch" in text and "whole model" in text


class TestSocTables:
    """The SOC tables from per-pulse points: the several currents of one SOC point are one point (median),
    so one poor pulse moves nothing; points further apart stay linear between them (NumPy's interp)."""

    def test_one_poor_pulse_among_four_moves_nothing(self):
        soc = [0.501, 0.5, 0.499, 0.498, 0.301, 0.3, 0.299, 0.298]
        vals = [0.02, 0.021, 0.5, 0.019, 0.03, 0.031, 0.029, 0.03]
        grid = [0.2, 0.3, 0.4, 0.5, 0.6]
        got = _core.soc_table(soc, vals, grid, cluster=0.02)
        expect = np.interp(grid, [0.2995, 0.4995], [0.03, 0.0205])
        np.testing.assert_allclose(got, expect, rtol=1e-12)

    def test_without_clusters_it_is_linear_between_the_points(self):
        rng = np.random.default_rng(1)
        soc = np.sort(rng.uniform(0.1, 0.9, 12))
        vals = rng.uniform(0.01, 0.05, 12)
        grid = np.linspace(0, 1, 21)
        np.testing.assert_allclose(_core.soc_table(soc, vals, grid), np.interp(grid, soc, vals), rtol=1e-12)
        got = _core.soc_table(soc, vals, grid, cluster=1e-6)
        np.testing.assert_allclose(got, np.interp(grid, soc, vals), rtol=1e-12)

    def test_a_branch_much_slower_than_its_pulse_stays_out_of_the_tables(self, tmp_path):

        import ecm
        import ecm.api

        path = lab_export(tmp_path)
        ex = ecm.extract([path], low_cutoff=2.5, high_cutoff=4.2)
        p = ex.recordings[0].pulses
        fitted = p.index[(p["direction"] == "discharge") & (p["status"] == "fitted") & p["tau2_determined"]]
        k = fitted[len(fitted) // 2]
        # one pulse whose second branch is 1000 times slower than the pulse, with a huge R; each pulse its own
        # table point (no median of the SOC point), so only the time-constant rule keeps it out
        p.loc[k, "tau2"] = 1000.0 * float(p.loc[k, "t_end"] - p.loc[k, "t_start"])
        p.loc[k, "R2"] = 50.0
        old = (ecm.api.TABLE_CLUSTER, ecm.api.TABLE_TAU_PER_PULSE)
        try:
            ecm.api.TABLE_CLUSTER = 0.0
            left_out = np.array(ex.tables()["R2"][0], dtype=float)
            ecm.api.TABLE_TAU_PER_PULSE = float("inf")
            kept = np.array(ex.tables()["R2"][0], dtype=float)
        finally:
            ecm.api.TABLE_CLUSTER, ecm.api.TABLE_TAU_PER_PULSE = old
        assert np.nanmax(left_out) < 1.0 < np.nanmax(kept)


def test_summary_median_rms_leaves_out_pulses_without_one(tmp_path):
    """A pulse cut to one sample has R0 but no fit RMS: the recording's median RMS is that of the others."""

    import ecm

    path = lab_export(tmp_path)
    ex = ecm.extract([path], low_cutoff=2.5, high_cutoff=4.2)
    p = ex.recordings[0].pulses
    p.loc[p.index[0], "rms_mV"] = np.nan
    want = float(np.median(p["rms_mV"].to_numpy()[1:]))
    assert ex.summary()["rms_mV_median"][0] == pytest.approx(want, rel=1e-12)
    assert ex.to_dict(pulses=False)["recordings"][0]["rms_mV_median"] == pytest.approx(want, rel=1e-12)


def test_export_ocv_points_keep_the_readings_noise_out(tmp_path):
    """The OCV point at the end of an export's rest is the level of a line through the rest's last quarter:
    with 0.5 mV noise on every reading the points lie far closer to those of the noise-free recording than
    one reading could."""

    import ecm

    points = {}
    for name, noise in (("clean", 0.0), ("noisy", 0.0005)):
        path = lab_export(tmp_path, f"{name}_25degC.csv", v_noise=noise, seed=4)
        points[name] = ecm.extract([path], low_cutoff=2.5, high_cutoff=4.2).recordings[0].relaxed
    clean, noisy = points["clean"], points["noisy"]
    assert len(clean) == len(noisy) >= 5
    np.testing.assert_allclose(noisy["soc"], clean["soc"], atol=1e-9)
    err = noisy["ocv"].to_numpy() - clean["ocv"].to_numpy()
    assert np.sqrt(np.mean(err**2)) < 0.0003  # one reading: 0.5 mV RMS
    # and each point's uncertainty says so: below one reading's noise, and the errors within it
    se = noisy["ocv_se"].to_numpy()
    assert np.all(se < 0.0004) and np.all(np.abs(err) < 3.0 * se)

"""HPPC tests as labs run them: four pulse currents per SOC point, a recording
that ends with a recharge, a gap in time that only the cycler's Ah counter
spans, pulses cut short by the voltage limit, cold cells the circuit fits
poorly, and recordings that yield nothing among others that do."""

import os

import numpy as np
import pandas as pd
import pytest
from test_exports import simulate

import ecm

HERE = os.path.dirname(os.path.abspath(__file__))

PULSE_A = (10.0, 20.0, 30.0, 40.0)
SOC_POINTS = 6
LONG_REST_S = 1200.0
GAP_POINT = 2  # the SOC step after this point is stored elsewhere: only the counter shows it


def lab_hppc():
    """(duration, current, sampling, first delay) per step, as in test_exports."""
    steps = [(60.0, 0.0, 1.0, 1.0)]  # the cell full, at rest
    for _ in range(SOC_POINTS):
        for a in PULSE_A:
            steps += [(10.0, -a, 0.1, 0.1), (40.0, 0.0, 1.0, 1.0), (10.0, a / 2, 0.1, 0.1), (300.0, 0.0, 10.0, 10.0)]
        steps += [(360.0, -10.0, 10.0, 10.0), (LONG_REST_S, 0.0, 10.0, 10.0)]
    steps += [(1800.0, 5.0, 10.0, 10.0), (600.0, 0.0, 60.0, 60.0)]  # the closing recharge
    return steps


def write_lab_file(path, t, i, v, counter):
    pd.DataFrame(
        {
            "Time [s]": np.round(t, 3),
            "Voltage [V]": np.round(v, 5),
            "Current [A]": i,
            "Temperature [degC]": 25.0,
            "Capacity [Ah]": np.round(counter, 5),
        }
    ).to_csv(path, index=False)


@pytest.fixture(scope="module")
def lab(tmp_path_factory):
    steps = lab_hppc()
    t, i, v, _ = simulate(steps, soc0=1.0)
    # the cycler's counter: each sample's current held since the sample before
    counter = np.cumsum(i * np.diff(np.concatenate(([0.0], t)))) / 3600.0
    # the SOC step after GAP_POINT and most of the rest after it are in another file
    per_point = 4 * 360.0 + 360.0 + LONG_REST_S
    step_start = 60.0 + GAP_POINT * per_point + 4 * 360.0
    cut = (t > step_start) & (t < step_start + 360.0 + 300.0)
    d = tmp_path_factory.mktemp("lab")
    path = str(d / "hppc_25degC.csv")
    write_lab_file(path, t[~cut], i[~cut], v[~cut], counter[~cut])
    return {"path": path, "t": t[~cut], "i": i[~cut], "counter": counter[~cut], "cut_rows": int(cut.sum())}


def independent_pulses(t, i, max_s=60.0):
    """(discharge, charge) counts: runs of one sign of the current lasting at most max_s."""
    sign = np.sign(i).astype(int)
    edges = np.flatnonzero(np.diff(np.concatenate(([0], sign, [0]))) != 0)
    nd = nc = 0
    for a, b in zip(edges[:-1], edges[1:]):
        if sign[a] == 0 or t[b - 1] - t[max(a - 1, 0)] > max_s:
            continue
        nd += sign[a] < 0
        nc += sign[a] > 0
    return nd, nc


class TestLabHppc:
    def test_every_pulse_found_and_most_fitted(self, lab):
        ex = ecm.extract([lab["path"]], low_cutoff=2.5, high_cutoff=4.3)
        (rec,) = ex.recordings
        p = rec.pulses
        nd, nc = independent_pulses(lab["t"], lab["i"])
        assert (nd, nc) == (SOC_POINTS * 4, SOC_POINTS * 4)
        assert int((p["direction"] == "discharge").sum()) == nd
        assert int((p["direction"] == "charge").sum()) == nc
        assert (p["status"] == "fitted").mean() >= 0.9
        # each current its own pulse, at its own current
        got = np.sort(np.round(-p.loc[p["direction"] == "discharge", "current"].to_numpy()))
        assert np.array_equal(np.unique(got), np.array(PULSE_A))

    def test_capacity_is_the_charge_to_the_lowest_point_across_the_gap(self, lab):
        ex = ecm.extract([lab["path"]], low_cutoff=2.5, high_cutoff=4.3)
        (rec,) = ex.recordings
        # the counter from the full start to its lowest value (the recharge after it does not count)
        want = lab["counter"][0] - lab["counter"].min()
        assert rec.charge_Ah == pytest.approx(want, rel=2e-3)
        # without the counter the charge of the missing step (1 Ah) would be lost
        i, t = lab["i"], lab["t"]
        logged = -np.min(np.cumsum(i * np.diff(np.concatenate(([0.0], t)))) / 3600.0)
        assert logged < want - 0.9
        assert rec.protocol["charge_counter"] and len(rec.protocol["gap_times_s"]) == 1
        assert any("gap in time" in w and "counter" in w for w in rec.warnings)

    def test_min_rest_follows_the_long_rests(self, lab):
        ex = ecm.extract([lab["path"]], low_cutoff=2.5, high_cutoff=4.3)
        (rec,) = ex.recordings
        # the rests after the SOC steps last 1200 s (one is cut by the gap); the 300 s rests give no OCV point
        assert rec.protocol["min_rest_s"] == pytest.approx(0.8 * LONG_REST_S, rel=0.01)
        assert rec.protocol["min_rest_source"] == "the protocol's long rests"
        # OCV points: the rests after the SOC steps, none from the 300 s rests or after the recharge
        assert len(rec.relaxed) <= SOC_POINTS + 1
        given = ecm.extract([lab["path"]], low_cutoff=2.5, high_cutoff=4.3, min_rest_s=200.0)
        assert given.recordings[0].protocol["min_rest_s"] == 200.0
        assert len(given.recordings[0].relaxed) > len(rec.relaxed)

    def test_without_the_counter_the_gap_is_named(self, lab, tmp_path):
        df = pd.read_csv(lab["path"]).drop(columns=["Capacity [Ah]"])
        path = str(tmp_path / "hppc_nocounter_25degC.csv")
        df.to_csv(path, index=False)
        ex = ecm.extract([path], low_cutoff=2.5, high_cutoff=4.3)
        (rec,) = ex.recordings
        row = int(np.flatnonzero(np.diff(lab["t"]) > 600)[0]) + 2  # the row after the gap (1-based, no header)
        msgs = [w for w in rec.warnings if "gap in time" in w]
        assert msgs and f"row {row}" in msgs[0] and "no cycler counter" in msgs[0]


class TestFlaggedAndSkipped:
    def test_poor_fits_are_kept_and_flagged(self, lab):
        ex = ecm.extract([lab["path"]], low_cutoff=2.5, high_cutoff=4.3, rms_limit_mV=1e-6)
        (rec,) = ex.recordings
        st = rec.pulses["status"]
        assert st.str.startswith("fitted, RMS ").sum() > 0.9 * len(st)
        assert st.str.contains("mV above 1e-06 mV").any()
        assert any("medians take" in w for w in rec.warnings)
        assert np.isfinite(rec.medians["R0"])

    def test_a_recording_that_yields_nothing_is_left_out(self, lab, tmp_path):
        bad = tmp_path / "rest_only_25degC.csv"
        pd.DataFrame({"Time [s]": np.arange(100.0), "Voltage [V]": 3.7, "Current [A]": 0.0}).to_csv(bad, index=False)
        ex = ecm.extract([lab["path"], str(bad)], low_cutoff=2.5, high_cutoff=4.3)
        assert len(ex.recordings) == 1
        assert [os.path.basename(p) for p, _ in ex.skipped] == [bad.name]
        assert any("left out" in w and bad.name in w for w in ex.warnings)
        with pytest.raises(ecm.RecordingError, match="rest_only"):
            ecm.extract([lab["path"], str(bad)], low_cutoff=2.5, high_cutoff=4.3, strict=True)

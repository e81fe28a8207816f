"""The joint method on data from an independent simulator: PyBaMM's
equivalent-circuit model (a 100 Ah cell, so C2 = 375,000 F), five pulses."""

import os
import sys

import numpy as np
import pytest

import ecm

pytest.importorskip("pybamm")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "benchmarks"))
import pybamm_recovery


@pytest.mark.parametrize("branches", [1, 2])
def test_joint_recovers_pybamm_thevenin(tmp_path, branches):
    path, df, soc = pybamm_recovery.simulate(branches, 5, str(tmp_path))
    vcut = float(np.min(df["Voltage(V)"])) + 1e-4
    ex = ecm.extract([path], model=f"{branches}rc", low_cutoff=vcut, high_cutoff=4.3, method="joint")
    p = ex.recordings[0].pulses
    assert len(p) == 4 and (p["status"] == "fitted").all()
    names = ["R0", "R1", "tau1"] + (["R2", "tau2"] if branches == 2 else [])
    for n in names:
        np.testing.assert_allclose(p[n], pybamm_recovery.TRUE[n], rtol=0.03, err_msg=n)
        assert np.median(p[n]) == pytest.approx(pybamm_recovery.TRUE[n], rel=0.02), n
    # the SOC at the pulses' middles agrees with PyBaMM's own (which counts from its capacity)
    t = df["Seconds"].to_numpy()
    for _, row in p.iterrows():
        k = np.searchsorted(t, 0.5 * (row["t_start"] + row["t_end"]))
        q_ah = (1 - row["soc"]) * ex.recordings[0].charge_Ah
        assert soc[0] - soc[k] == pytest.approx(q_ah / 100.0, abs=2e-4)


@pytest.mark.parametrize("convention", ["at-sample", "after-sample"])
def test_step_currents_with_parameters_that_move_with_soc(tmp_path, convention):
    # PyBaMM's Thevenin model, 1C pulses of 180 s (5 % of SOC each) whose R0 and R1 change with
    # SOC, the current stepping as cyclers log it: a constant R0 over the pulse would leave the
    # time constant about 0.8 % long; the R0 ramp fitted along keeps every parameter within 0.3 %.
    import pybamm_steps

    errors, ocv_err, bounds, n, _ = pybamm_steps.run_case(
        pybamm_steps.Truth(5.0), 1, convention, 8, noise=False, folder=str(tmp_path)
    )
    assert n >= 7 and bounds == 0
    for name, e in errors.items():
        assert abs(np.median(e)) < 0.003 and np.percentile(np.abs(e), 90) < 0.01, (name, e)
    assert np.max(np.abs(ocv_err)) < 0.2e-3


def test_noisy_two_branch_steps_and_relaxed_points(tmp_path):
    # 0.5 mV / 1 mA noise: every median within 1 %, and every OCV point, the first (a level through
    # the end of the initial rest, not its last reading) included, within 0.2 mV of PyBaMM's OCV
    import pybamm_steps

    errors, ocv_err, bounds, n, held = pybamm_steps.run_case(
        pybamm_steps.Truth(5.0), 2, "at-sample", 8, noise=True, folder=str(tmp_path)
    )
    assert bounds == 0
    for name, e in errors.items():
        assert abs(np.median(e)) < 0.01, (name, e)
    assert np.max(np.abs(ocv_err)) < 0.2e-3 and held == len(ocv_err)

"""_ecmcore.simulate against closed-form responses, scipy.signal.lsim,
an independent ODE solve, and central differences for its Jacobian."""

import numpy as np
import pytest
from scipy import integrate, signal

_ecmcore = pytest.importorskip("_ecmcore")
simulate = _ecmcore.simulate

# time constants across the whole bounded range: R, C in [1e-4, 5e4]
BRANCHES = [(1e-4, 1e-4), (0.01, 3.0), (0.05, 1000.0), (2.0, 3000.0), (5e4, 5e4)]


def irregular_times(n, seed):
    rng = np.random.default_rng(seed)
    return 7.0 + np.concatenate([[0.0], np.cumsum(rng.uniform(0.01, 5.0, n - 1))])


def max_rel_err(got, want):
    mask = want != 0
    return np.max(np.abs(got[mask] - want[mask]) / np.abs(want[mask]))


@pytest.mark.parametrize("r,c", BRANCHES)
def test_step_and_ramp_match_closed_forms(r, c):
    t = irregular_times(2000, 1)
    dt = t - t[0]
    tau = r * c
    x = dt / tau
    # step of -2 A from the first sample, branch alone (R0 = 0)
    y = simulate(t, np.full_like(t, -2.0), 0.0, [r], [c])
    want = -2.0 * r * -np.expm1(-x)
    assert y[0] == 0.0
    assert max_rel_err(y, want) < 1e-12
    # ramp from 0 A: v = R s (dt - tau (1 - e^-x)); series where x is small
    s = -0.003
    y = simulate(t, s * dt, 0.0, [r], [c])
    inner = np.where(x < 1e-3, tau * x * x * (0.5 - x / 6 + x * x / 24 - x**3 / 120), dt + tau * np.expm1(-x))
    assert max_rel_err(y, r * s * inner) < 1e-12
    # with R0 the series term is added exactly
    y0 = simulate(t, np.full_like(t, 1.5), 0.07, [r], [c])
    assert y0[0] == 0.07 * 1.5
    assert np.all(np.isfinite(y0))


def lsim_reference(t, i, r0, rs, cs):
    """lsim of Z(s) = R0 + sum R/(1 + s R C); lsim interpolates the input linearly."""
    num, den = np.array([r0]), np.array([1.0])
    for r, c in zip(rs, cs):
        num = np.polyadd(np.polymul(num, [r * c, 1.0]), r * den)
        den = np.polymul(den, [r * c, 1.0])
    _, y, _ = signal.lsim((num, den), i, t - t[0])
    return y


def test_matches_lsim_on_regular_sampling_with_two_branches():
    t = np.arange(0.0, 1500.0, 1.0) + 100.0
    i = np.where((t > 110) & (t < 290), -2.0, 0.0) + 0.1 * np.sin(t / 50.0)
    r0, rs, cs = 0.05, [0.02, 0.03], [1500.0, 20000.0]
    y = simulate(t, i, r0, rs, cs)
    ref = lsim_reference(t, i, r0, rs, cs)
    assert np.max(np.abs(y - ref)) < 1e-9 * np.max(np.abs(ref))


def test_matches_lsim_on_irregular_sampling():
    # Irregular sample times on a 0.1 s lattice: lsim runs on the lattice with
    # the input interpolated linearly, which is the same input signal.
    rng = np.random.default_rng(5)
    steps = rng.integers(1, 40, 600)  # gaps of 0.1 s to 3.9 s
    t = 50.0 + np.concatenate([[0], np.cumsum(steps)]) * 0.1
    i = np.where(rng.random(t.size) < 0.5, -1.8, 0.05) * rng.uniform(0.5, 1.0, t.size)
    fine = 50.0 + np.arange(0, int(round((t[-1] - 50.0) / 0.1)) + 1) * 0.1
    r0, rs, cs = 0.04, [0.015, 0.03], [400.0, 9000.0]
    ref_fine = lsim_reference(fine, np.interp(fine, t, i), r0, rs, cs)
    idx = np.rint((t - 50.0) / 0.1).astype(int)
    y = simulate(t, i, r0, rs, cs)
    assert np.max(np.abs(y - ref_fine[idx])) < 1e-9 * np.max(np.abs(ref_fine))


def test_matches_ode_solution_on_arbitrary_times():
    t = irregular_times(200, 9)
    i = -1.0 + 0.5 * np.cos(t / 20.0)
    r, c = 0.02, 800.0

    def rhs(tt, v):  # C dv/dt = i(t) - v/R, i linear between samples
        return (np.interp(tt, t, i) - v / r) / c

    sol = integrate.solve_ivp(
        rhs, (t[0], t[-1]), [0.0], t_eval=t, rtol=1e-12, atol=1e-15, method="DOP853", max_step=float(np.min(np.diff(t)))
    )
    y = simulate(t, i, 0.0, [r], [c])
    assert np.max(np.abs(y - sol.y[0])) < 1e-9 * np.max(np.abs(sol.y[0]))


@pytest.mark.parametrize("r0,rs,cs", [(0.05, [0.02], [300.0]), (0.05, [0.02, 0.04], [3.0, 5000.0]), (0.1, [], [])])
def test_jacobian_matches_central_differences(r0, rs, cs):
    t = irregular_times(300, 4)
    i = np.where((np.arange(t.size) // 30) % 2 == 0, -1.5, 0.02 * np.cos(t))
    y, J = simulate(t, i, r0, rs, cs, jac=True)
    assert J.shape == (t.size, 1 + 2 * len(rs))
    np.testing.assert_array_equal(y, simulate(t, i, r0, rs, cs))
    p = np.array([r0] + [v for rc in zip(rs, cs) for v in rc])

    def model(q):
        return simulate(t, i, q[0], q[1::2], q[2::2])

    for j in range(p.size):
        h = 1e-6 * p[j]
        qp, qm = p.copy(), p.copy()
        qp[j] += h
        qm[j] -= h
        fd = (model(qp) - model(qm)) / (2 * h)
        tol = 1e-6 * np.max(np.abs(J[:, j])) + 100 * np.finfo(float).eps * np.max(np.abs(y)) / h
        np.testing.assert_allclose(J[:, j], fd, rtol=0, atol=tol)


def test_extreme_time_constants_stay_finite_with_accurate_jacobian():
    t = irregular_times(500, 2)
    x_lo = (t - t[0]) / 1e-8
    x_hi = (t - t[0]) / 2.5e9
    y, J = simulate(t, np.ones_like(t), 0.0, [1e-4, 5e4], [1e-4, 5e4], jac=True)
    assert np.all(np.isfinite(y)) and np.all(np.isfinite(J))
    # step response derivatives: dv/dR = 1 - (1+x) e^-x, dv/dC = -(R/C) x e^-x
    one_minus = x_hi**2 * (0.5 - x_hi / 3 + x_hi**2 / 8)
    assert max_rel_err(J[1:, 3], one_minus[1:]) < 1e-9
    assert max_rel_err(J[1:, 4], -(x_hi * np.exp(-x_hi))[1:]) < 1e-12
    # the fast branch has settled within every step: its C no longer matters
    assert np.all(np.exp(-x_lo[1:]) == 0.0)
    assert np.all(J[1:, 2] == 0.0)
    np.testing.assert_allclose(J[1:, 1], 1.0, rtol=1e-15)


def test_edge_cases_and_errors():
    t = np.array([0.0, 1.0, 2.0, 2.0, 3.0])
    assert np.all(simulate(t, np.zeros(5), 0.5, [0.1], [100.0]) == 0.0)
    y = simulate(t, np.ones(5), 0.0, [0.1], [100.0])
    assert y[2] == y[3]  # repeated time stamp keeps the state
    np.testing.assert_allclose(simulate(t, np.ones(5), 0.2, [], []), 0.2 * np.ones(5))
    assert simulate([0.0], [-2.0], 0.3, [0.1], [10.0])[0] == pytest.approx(-0.6)
    assert simulate([], [], 0.3, [0.1], [10.0]).shape == (0,)
    with pytest.raises(ValueError, match="samples"):
        simulate(t, np.ones(4), 0.1, [0.1], [100.0])
    with pytest.raises(ValueError, match="branches"):
        simulate(t, np.ones(5), 0.1, [0.1, 0.2], [100.0])
    with pytest.raises(ValueError, match="decreases"):
        simulate([0.0, 2.0, 1.0], [1.0, 1.0, 1.0], 0.1, [0.1], [100.0])
    with pytest.raises(ValueError, match="not finite"):
        simulate([0.0, 1.0, 2.0], [1.0, np.nan, 1.0], 0.1, [0.1], [100.0])
    with pytest.raises(ValueError, match="positive"):
        simulate(t, np.ones(5), 0.1, [0.0], [100.0])
    with pytest.raises(ValueError, match="one-dimensional"):
        simulate(np.zeros((2, 2)), np.zeros((2, 2)), 0.1, [0.1], [100.0])

"""_ecmcore.least_squares and the window fits against scipy.optimize.least_squares
(method "trf", same loss, f_scale, bounds, tolerances, exact Jacobian given to both)."""

import numpy as np
import pytest
from scipy.optimize import OptimizeResult, least_squares

_ecmcore = pytest.importorskip("_ecmcore")

BOUNDS = (1e-4, 5e4)


def both(fun, x0, jac, **kw):
    ours = _ecmcore.least_squares(fun, x0, jac, **kw)
    ref = least_squares(fun, x0, jac=jac, method="trf", **kw)
    return ours, ref


def assert_same_solution(ours, ref, xtol):
    assert isinstance(ours, OptimizeResult)
    assert ours.success and ref.success
    scale = np.maximum(np.abs(ref.x), 1e-12)
    assert np.all(np.abs(ours.x - ref.x) <= 1e3 * xtol * scale + 1e-12), (ours.x, ref.x)
    assert ours.cost <= ref.cost * (1 + 1e-6) + 1e-14
    np.testing.assert_array_equal(ours.active_mask, ref.active_mask)


# ---------------------------------------------------------------- test problems


def rosen(x):
    return np.array([10 * (x[1] - x[0] ** 2), 1 - x[0]])


def rosen_jac(x):
    return np.array([[-20 * x[0], 10.0], [-1.0, 0.0]])


T_EXP = np.linspace(0, 10, 60)
Y_EXP = 3.0 * np.exp(-0.7 * T_EXP) + 0.5 + 0.02 * np.sin(5 * T_EXP)
Y_EXP_OUT = Y_EXP.copy()
Y_EXP_OUT[[4, 20, 41]] += [1.5, -2.0, 3.0]


def exp_res(y):
    return lambda p: p[0] * np.exp(-p[1] * T_EXP) + p[2] - y


def exp_jac(p):
    e = np.exp(-p[1] * T_EXP)
    return np.column_stack([e, -p[0] * T_EXP * e, np.ones_like(T_EXP)])


@pytest.mark.parametrize("loss,f_scale", [("linear", 1.0), ("huber", 0.1), ("huber", 1.0)])
@pytest.mark.parametrize("bounds", [(-np.inf, np.inf), (0.0, 10.0), ([0, 0, 0], [5, 5, 5])])
@pytest.mark.parametrize("y", [Y_EXP, Y_EXP_OUT], ids=["clean", "outliers"])
def test_well_conditioned_problems_reach_scipy_solution(loss, f_scale, bounds, y):
    tol = 1e-10
    ours, ref = both(
        exp_res(y),
        [1.0, 1.0, 0.0 if np.isinf(np.min(bounds[0])) else 1.0],
        exp_jac,
        bounds=bounds,
        loss=loss,
        f_scale=f_scale,
        ftol=tol,
        xtol=tol,
        gtol=tol,
    )
    assert_same_solution(ours, ref, tol)
    np.testing.assert_allclose(ours.fun, exp_res(y)(ours.x), rtol=0, atol=1e-15)
    assert ours.njev <= ours.nfev


@pytest.mark.parametrize("x0", [[-1.2, 1.0], [30.0, -40.0], [0.1, 0.1]])
@pytest.mark.parametrize("loss", ["linear", "huber"])
def test_rosenbrock_from_near_and_far(x0, loss):
    ours, ref = both(rosen, x0, rosen_jac, loss=loss, f_scale=0.5, ftol=1e-12, xtol=1e-12, gtol=1e-12)
    np.testing.assert_allclose(ours.x, [1.0, 1.0], atol=1e-8)
    assert ours.cost <= ref.cost + 1e-20


def test_identical_path_on_a_bounded_problem():
    """The same method on the same problem takes the same iterations."""
    ours, ref = both(rosen, [0.5, 0.5], rosen_jac, bounds=(0, 3), loss="huber", f_scale=0.1)
    assert (ours.nfev, ours.njev, ours.status) == (ref.nfev, ref.njev, ref.status)
    np.testing.assert_allclose(ours.x, ref.x, rtol=1e-9)
    assert ours.message == ref.message


def test_solution_on_a_bound_matches_scipy():
    # The unconstrained minimum of the Rosenbrock function lies outside [-2, 0.5].
    for loss in ["linear", "huber"]:
        ours, ref = both(
            rosen, [-1.0, 0.2], rosen_jac, bounds=([-2, -2], [0.5, 0.5]), loss=loss, ftol=1e-12, xtol=1e-12, gtol=1e-12
        )
        assert ours.active_mask.tolist() == ref.active_mask.tolist()
        assert ours.active_mask[0] == 1
        np.testing.assert_allclose(ours.x, ref.x, rtol=1e-7, atol=1e-9)
        assert ours.cost <= ref.cost * (1 + 1e-9)


@pytest.mark.parametrize("max_nfev", [1, 2, 5, 9])
def test_evaluation_budget(max_nfev):
    ours, ref = both(rosen, [-1.2, 1.0], rosen_jac, bounds=(-5, 5), max_nfev=max_nfev)
    assert ours.status == ref.status == 0
    assert ours.nfev == ref.nfev == max_nfev
    assert not ours.success
    assert ours.message == "The maximum number of function evaluations is exceeded."
    assert ours.cost <= ref.cost * (1 + 1e-9)


# --------------------------------------------------------------- the real use


def pulse_window(n, r0, rs, cs, noise, seed):
    t = 500.0 + np.arange(n, dtype=float)
    i = np.where((np.arange(n) >= 5) & (np.arange(n) < 185), -2.0, 0.0)
    y = _ecmcore.simulate(t, i, r0, rs, cs)
    return t, i, y + np.random.default_rng(seed).normal(0, noise, n) if noise else y


MODEL1_CASES = [
    # (window, start, f_scale, tol)
    (dict(n=126, r0=0.05, rs=[0.02], cs=[1500.0], noise=0.0, seed=0), [0.5, 0.05, 100.0], 0.1, 1e-8),
    (dict(n=126, r0=0.05, rs=[0.02], cs=[1500.0], noise=2e-4, seed=1), [0.5, 0.05, 4000.0], 0.1, 1e-8),
    (dict(n=126, r0=0.08, rs=[0.01, 0.03], cs=[300.0, 30000.0], noise=1e-4, seed=2), [0.05, 0.02, 500.0], 0.1, 1e-11),
    (dict(n=126, r0=0.03, rs=[0.05], cs=[40.0], noise=5e-4, seed=3), [0.5, 0.05, 1.0], 0.1, 1e-11),
    (dict(n=1800, r0=0.05, rs=[0.02, 0.03], cs=[1500.0, 20000.0], noise=1e-4, seed=4), [0.5, 0.05, 10.0], 1.0, 1e-9),
]


@pytest.mark.parametrize("case", MODEL1_CASES)
def test_model1_fits_match_scipy(case):
    win, x0, f_scale, tol = case
    t, i, y = pulse_window(**win)

    def res(p):
        return y - _ecmcore.simulate(t, i, p[0], [p[1]], [p[2]])

    def jac(p):
        return -_ecmcore.simulate(t, i, p[0], [p[1]], [p[2]], jac=True)[1]

    kw = dict(bounds=BOUNDS, loss="huber", f_scale=f_scale, ftol=tol, xtol=tol, gtol=tol)
    ours, ref = both(res, x0, jac, **kw)
    # equal solution within the tolerances, or (ill-conditioned ends) lower cost
    close = np.all(np.abs(ours.x - ref.x) <= 1e-4 * np.abs(ref.x))
    assert close or ours.cost <= ref.cost * (1 + 1e-9), (ours.x, ref.x, ours.cost, ref.cost)
    assert ours.cost <= ref.cost * (1 + 1e-6) + 1e-15
    # the window fit in C++ takes the same path as the Python-level residuals
    fit = _ecmcore.fit_model1(t, i, y, x0, f_scale, tol)
    np.testing.assert_allclose(fit.x, ours.x, rtol=1e-6)
    assert abs(fit.cost - ours.cost) <= 1e-9 * ours.cost + 1e-18


MODEL2_CASES = [
    (dict(n=2000, r0=0.05, rs=[0.02, 0.03], cs=[1500.0, 20000.0], noise=0.0, seed=0), [1.0, 100.0]),
    (dict(n=2000, r0=0.05, rs=[0.02, 0.03], cs=[1500.0, 20000.0], noise=3e-4, seed=5), [1.0, 100.0]),
    (dict(n=1500, r0=0.06, rs=[0.015, 0.01], cs=[600.0, 80000.0], noise=1e-4, seed=6), [0.03, 5000.0]),
    (dict(n=1500, r0=0.06, rs=[0.015], cs=[600.0], noise=1e-4, seed=7), [1.0, 100.0]),  # no 2nd branch
]


@pytest.mark.parametrize("case", MODEL2_CASES)
def test_two_branch_fits_match_scipy(case):
    win, x0 = case
    t, i, y = pulse_window(**win)
    r0, r1, c1 = win["r0"], win["rs"][0], win["cs"][0]

    def res(p):
        return y - _ecmcore.simulate(t, i, r0, [r1, p[0]], [c1, p[1]])

    def jac(p):
        return -_ecmcore.simulate(t, i, r0, [r1, p[0]], [c1, p[1]], jac=True)[1][:, 3:5]

    kw = dict(bounds=BOUNDS, loss="huber", f_scale=1.0, ftol=1e-9, xtol=1e-9, gtol=1e-9)
    ours, ref = both(res, x0, jac, **kw)
    close = np.all(np.abs(ours.x - ref.x) <= 1e-4 * np.abs(ref.x))
    assert close or ours.cost <= ref.cost * (1 + 1e-9), (ours.x, ref.x, ours.cost, ref.cost)
    assert ours.cost <= ref.cost * (1 + 1e-6) + 1e-15
    np.testing.assert_array_equal(ours.active_mask, ref.active_mask)
    fit = _ecmcore.fit_model2_branch(t, i, y, r0, r1, c1, x0, 1.0, 1e-9)
    np.testing.assert_allclose(fit.x, ours.x, rtol=1e-6)
    if len(win["rs"]) == 2 and win["noise"] == 0.0:
        np.testing.assert_allclose(fit.x, [win["rs"][1], win["cs"][1]], rtol=1e-5)


def test_window_fit_results_carry_every_field():
    t, i, y = pulse_window(126, 0.05, [0.02], [1500.0], 1e-4, 9)
    r = _ecmcore.fit_model1(t, i, y, [0.5, 0.05, 100.0], 0.1, 1e-11)
    for key in [
        "x",
        "cost",
        "fun",
        "jac",
        "grad",
        "optimality",
        "active_mask",
        "nfev",
        "njev",
        "status",
        "message",
        "success",
    ]:
        assert key in r
    assert r.fun.shape == (126,) and r.jac.shape == (126, 3) and r.grad.shape == (3,)
    np.testing.assert_allclose(r.fun, y - _ecmcore.simulate(t, i, r.x[0], [r.x[1]], [r.x[2]]), atol=1e-15)
    assert r.success == (r.status > 0)
    with pytest.raises(ValueError, match="at least 2"):
        _ecmcore.fit_model1(t[:1], i[:1], y[:1], [0.5, 0.05, 100.0], 0.1, 1e-11)
    with pytest.raises(ValueError, match="same length"):
        _ecmcore.fit_model2_branch(t, i, y[:-1], 0.05, 0.02, 1500.0, [1.0, 100.0], 1.0, 1e-9)
    with pytest.raises(ValueError, match="3 entries"):
        _ecmcore.fit_model1(t, i, y, [0.5, 0.05], 0.1, 1e-11)


# ------------------------------------------------------------------ the report


def test_progress_report_has_scipy_layout(capsys):
    kw = dict(bounds=(0, 3), loss="huber", f_scale=0.1, verbose=2)
    least_squares(rosen, [0.5, 0.5], jac=rosen_jac, **kw)
    theirs = capsys.readouterr().out.splitlines()
    r = _ecmcore.least_squares(rosen, [0.5, 0.5], rosen_jac, **kw)
    ours = capsys.readouterr().out.splitlines()
    assert ours[0] == theirs[0]
    assert len(ours) == len(theirs)  # one row per iteration, plus header and two closing lines
    assert [len(line) for line in ours[1:-2]] == [len(line) for line in theirs[1:-2]]
    assert ours[1][45:75] == " " * 30  # no reduction and step on row 0
    assert ours[-2] == theirs[-2] == r.message
    assert ours[-1].startswith(f"Function evaluations {r.nfev}, initial cost ")
    assert ours[-1] == theirs[-1]

    _ecmcore.least_squares(rosen, [0.5, 0.5], rosen_jac, bounds=(0, 3), verbose=1)
    assert len(capsys.readouterr().out.splitlines()) == 2
    _ecmcore.least_squares(rosen, [0.5, 0.5], rosen_jac, bounds=(0, 3))
    assert capsys.readouterr().out == ""
    t, i, y = pulse_window(126, 0.05, [0.02], [1500.0], 0.0, 0)
    _ecmcore.fit_model1(t, i, y, [0.5, 0.05, 1.0], 0.1, 1e-8, verbose=2)
    out = capsys.readouterr().out
    assert out.startswith(theirs[0] + "\n") and "Function evaluations" in out


# ------------------------------------------------------------------ bad input


def test_bad_input_raises_clear_errors():
    with pytest.raises(ValueError, match=r"residuals are not finite at the start vector \[0.5, 0.5\]"):
        _ecmcore.least_squares(lambda x: np.array([np.nan, 1.0]), [0.5, 0.5], rosen_jac)
    with pytest.raises(ValueError, match="outside the bounds"):
        _ecmcore.least_squares(rosen, [5.0, 0.5], rosen_jac, bounds=(0, 3))
    with pytest.raises(ValueError, match="strictly less"):
        _ecmcore.least_squares(rosen, [0.5, 0.5], rosen_jac, bounds=(3, 0))
    with pytest.raises(ValueError, match="loss"):
        _ecmcore.least_squares(rosen, [0.5, 0.5], rosen_jac, loss="cauchy")
    with pytest.raises(ValueError, match="shape"):
        _ecmcore.least_squares(rosen, [0.5, 0.5], lambda x: np.ones((3, 2)))
    with pytest.raises(ValueError, match="values where"):
        calls = []
        _ecmcore.least_squares(lambda x: (calls.append(1), np.ones(2 + len(calls) // 2))[1], [0.5, 0.5], rosen_jac)
    with pytest.raises(ValueError, match="bound has"):
        _ecmcore.least_squares(rosen, [0.5, 0.5], rosen_jac, bounds=([0, 0, 0], 3))

    with pytest.raises(ValueError, match="Jacobian is not finite"):
        _ecmcore.least_squares(rosen, [0.5, 0.5], lambda x: np.full((2, 2), np.nan))

    def boom(x):
        raise ZeroDivisionError("from the residuals")

    with pytest.raises(ZeroDivisionError, match="from the residuals"):
        _ecmcore.least_squares(boom, [0.5, 0.5], rosen_jac)


def test_non_finite_trial_points_shrink_the_region_like_scipy():
    def fun(x):
        return np.array([np.exp(x[0]) - np.exp(1.5)]) if x[0] <= 2 else np.array([np.inf])

    def jac(x):
        return np.array([[np.exp(x[0])]])

    ours, ref = both(fun, [-3.0], jac, ftol=1e-12, xtol=1e-12, gtol=1e-12)
    np.testing.assert_allclose(ours.x, [1.5], rtol=1e-9)
    assert ours.nfev == ref.nfev

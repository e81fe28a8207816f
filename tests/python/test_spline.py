"""The OCV-SOC spline against SciPy's not-a-knot cubic splines."""

import numpy as np
import pytest
from scipy.interpolate import CubicSpline as SciCubicSpline
from scipy.interpolate import UnivariateSpline

_ecmcore = pytest.importorskip("_ecmcore")


def ocv_like(soc):
    """A realistic OCV curve: steep at low SOC, a plateau, a rise near full."""
    return 3.0 + 0.9 * soc - 0.25 * np.exp(-soc / 0.05) + 0.25 * soc**6 - 0.1 * np.exp(-((soc - 0.5) ** 2) / 0.01)


def point_sets():
    rng = np.random.default_rng(20240611)
    sets = []
    for n in (4, 5, 6, 12, 40, 150):
        # Uneven spacing: random gaps varying by a factor of up to 20.
        gaps = rng.uniform(0.05, 1.0, n - 1)
        x = np.concatenate(([0.0], np.cumsum(gaps)))
        x = 0.03 + 0.95 * x / x[-1]
        sets.append((f"ocv{n}", x, ocv_like(x)))
        sets.append((f"random{n}", x, rng.normal(size=n)))
    # Evenly spaced, as the relaxed points of a regular protocol nearly are.
    x = np.linspace(0.02, 1.0, 20)
    sets.append(("even20", x, ocv_like(x)))
    return sets


def query_points(x):
    span = x[-1] - x[0]
    inside = np.linspace(x[0], x[-1], 2001)
    outside = np.concatenate((np.linspace(x[0] - 0.1 * span, x[0], 50), np.linspace(x[-1], x[-1] + 0.1 * span, 50)))
    return np.concatenate((inside, outside, x, [0.0, 1.0]))


@pytest.mark.parametrize("name,x,y", point_sets(), ids=[s[0] for s in point_sets()])
def test_agrees_with_scipy_not_a_knot(name, x, y):
    ours = _ecmcore.CubicSpline(x, y)
    q = query_points(x)
    got = ours(q)
    scale = np.max(np.abs(y))
    ref = SciCubicSpline(x, y, bc_type="not-a-knot", extrapolate=True)(q)
    np.testing.assert_allclose(got, ref, rtol=0, atol=1e-12 * scale * max(1.0, np.max(np.abs(ref)) / scale))
    uni = UnivariateSpline(x, y, k=3, s=0, ext=0, check_finite=False)
    # FITPACK solves the interpolation in B-spline form, with rounding that
    # grows with the number of points (a few 1e-12 at 150 points).
    atol = 5e-11 * max(1.0, np.max(np.abs(ref)))
    np.testing.assert_allclose(got, uni(q), rtol=0, atol=atol)
    np.testing.assert_array_equal(ours.get_knots(), uni.get_knots())
    # Derivatives follow SciPy too.
    for nu in (1, 2, 3):
        d = SciCubicSpline(x, y, bc_type="not-a-knot")(x[0] + (x[-1] - x[0]) * np.linspace(-0.05, 1.05, 77), nu)
        mine = ours(x[0] + (x[-1] - x[0]) * np.linspace(-0.05, 1.05, 77), nu)
        np.testing.assert_allclose(mine, d, rtol=1e-8, atol=1e-8 * np.max(np.abs(d)))


def test_four_points_are_the_cubic_through_them():
    x = np.array([0.12, 0.3, 0.31, 0.9])
    y = np.array([3.4, 3.6, 3.62, 4.1])
    coef = np.polyfit(x, y, 3)
    q = np.linspace(-0.5, 1.5, 101)
    np.testing.assert_allclose(_ecmcore.CubicSpline(x, y)(q), np.polyval(coef, q), rtol=0, atol=1e-9)


def test_call_returns_float_for_scalars_and_arrays_of_the_same_shape():
    x = np.array([0.0, 0.25, 0.5, 0.75, 1.0])
    s = _ecmcore.CubicSpline(x, ocv_like(x))
    ref = SciCubicSpline(x, ocv_like(x))
    for scalar in (0.3, 1, np.float64(0.3), np.float32(0.3), np.array(0.3)):
        v = s(scalar)
        assert type(v) is float
        assert v == pytest.approx(float(ref(float(np.float64(scalar)))), abs=1e-12)
    grid = np.linspace(-0.1, 1.1, 12).reshape(3, 4)
    out = s(grid)
    assert out.dtype == np.float64 and out.shape == (3, 4)
    np.testing.assert_allclose(out, ref(grid), atol=1e-12)
    assert s([0.1, 0.2]).shape == (2,)
    assert s(np.array([], dtype=float)).shape == (0,)
    assert np.isnan(s(float("nan")))
    with pytest.raises(TypeError):
        s("abc")
    with pytest.raises(ValueError):
        s(0.5, nu=4)


def test_points_are_read_only_copies():
    x = np.array([0.0, 0.25, 0.5, 0.75, 1.0])
    y = ocv_like(x)
    s = _ecmcore.CubicSpline(x, y)
    np.testing.assert_array_equal(s.x, x)
    np.testing.assert_array_equal(s.y, y)
    with pytest.raises(ValueError):
        s.x[0] = 5.0
    with pytest.raises(AttributeError):
        s.x = x
    x[0] = -1.0  # the spline keeps its own copy
    assert s.x[0] == 0.0


@pytest.mark.parametrize(
    "x,y,what",
    [
        ([0.0, 0.5, 1.0], [1.0, 2.0, 3.0], "at least four"),
        ([0.0, 0.5, 0.5, 1.0], [1.0, 2.0, 3.0, 4.0], "strictly increase"),
        ([0.0, 0.7, 0.5, 1.0], [1.0, 2.0, 3.0, 4.0], "strictly increase"),
        ([0.0, 0.5, 0.7, 1.0], [1.0, 2.0, 3.0], "equal lengths"),
        ([0.0, 0.5, np.nan, 1.0], [1.0, 2.0, 3.0, 4.0], "finite"),
        ([0.0, 0.5, 0.7, 1.0], [1.0, np.inf, 3.0, 4.0], "finite"),
        ([[0.0, 0.5], [0.7, 1.0]], [1.0, 2.0, 3.0, 4.0], "one-dimensional"),
    ],
)
def test_bad_points_raise_value_error(x, y, what):
    with pytest.raises(ValueError, match=what):
        _ecmcore.CubicSpline(np.asarray(x, dtype=float), np.asarray(y, dtype=float))


def test_pickles_through_its_points():
    import copy
    import pickle

    x = np.array([0.0, 0.2, 0.5, 0.7, 1.0])
    s = _ecmcore.CubicSpline(x, ocv_like(x))
    q = np.linspace(-0.2, 1.2, 57)
    for clone in (pickle.loads(pickle.dumps(s)), copy.deepcopy(s)):
        np.testing.assert_array_equal(clone.x, s.x)
        np.testing.assert_array_equal(clone(q), s(q))

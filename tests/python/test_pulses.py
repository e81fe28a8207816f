"""Trimming, charge, pulse detection and the OCV estimates against NumPy/SciPy.

The reference below does each step the plain NumPy/SciPy way on synthetic
pulse-discharge recordings; the core must give the same indices and values
(bit for bit where both sides do the same arithmetic, to rounding where the
summation order differs).
"""

import numpy as np
import pytest
from scipy.integrate import cumulative_trapezoid
from scipy.interpolate import CubicSpline, UnivariateSpline

_ecmcore = pytest.importorskip("_ecmcore")


# --- synthetic recordings ---------------------------------------------------


def ocv_of_soc(soc):
    return 3.0 + 0.9 * soc - 0.25 * np.exp(-soc / 0.05) + 0.25 * soc**6


def pulse_recording(
    n_pulses=12,
    pulse_s=60.0,
    rest_s=300.0,
    first_rest_s=120.0,
    dt=1.0,
    jitter=0.0,
    i_noise=0.0,
    v_noise=0.0,
    amp=-2.0,
    r0=0.05,
    r1=0.03,
    tau1=40.0,
    seed=0,
):
    """A cell discharged by `n_pulses` load pulses of `amp` A separated by rests
    at 0 A, cut half-way through one more pulse (as the cut-off does). The
    voltage is OCV(SOC) + R0 i + one RC branch, so it drops with charge and
    relaxes during rests. Returns t, iload, v, cum_mAh of the kept samples."""
    rng = np.random.default_rng(seed)
    bounds = [first_rest_s]
    for _ in range(n_pulses):
        bounds += [bounds[-1] + pulse_s, bounds[-1] + pulse_s + rest_s]
    t_cut = bounds[-1] + pulse_s / 2
    t = np.arange(0.0, t_cut, dt)
    if jitter:
        t = t + rng.uniform(-jitter, jitter, t.size) * dt
        t[0] = 0.0
    # Odd segment numbers are pulses.
    seg = np.searchsorted(np.asarray(bounds), t, side="right")
    iload = np.where(seg % 2 == 1, amp, 0.0)
    if i_noise:
        iload = iload + rng.normal(0.0, i_noise, t.size)
    capacity_As = abs(amp) * pulse_s * (n_pulses + 0.5) / 0.93
    q = cumulative_trapezoid(iload, t, initial=0.0)
    soc = 1.0 + q / capacity_As
    v_rc = np.zeros_like(t)
    for k in range(1, t.size):
        a = np.exp(-(t[k] - t[k - 1]) / tau1)
        v_rc[k] = a * v_rc[k - 1] + r1 * (1 - a) * iload[k - 1]
    v = ocv_of_soc(soc) + r0 * iload + v_rc
    if v_noise:
        v = v + rng.normal(0.0, v_noise, t.size)
    cum_mAh = np.abs(cumulative_trapezoid(y=1000 * iload, x=t, initial=0) / 3600)
    return t, iload, v, cum_mAh


def reference(t, iload, v, cum_mAh):
    """The steps done plainly with NumPy and SciPy."""
    N = t.size
    counts, bins = np.histogram(iload, bins=21)
    iload_ix = np.where(counts[:20] > 10)[0][-1]
    iload_th = np.abs((bins[iload_ix] + bins[iload_ix + 1]) / 2 / 4)
    d = np.diff(iload)
    idx_rest = np.where(d < -iload_th)[0]
    idx_load = np.where(d > iload_th)[0]
    vsoc = np.array([np.mean(v[i - 2 : i - 1]) for i in idx_rest])
    mAh = np.array([np.trapezoid(y=1000.0 * iload[0:i], x=t[0:i]) / 3600.0 for i in idx_rest])
    soc = 1 + mAh / cum_mAh[N - 1]
    spline = UnivariateSpline(soc[::-1], vsoc[::-1], k=3, s=0, ext=0, check_finite=False)
    SOC = np.arange(0, 1.005, 0.005)
    ind_all = np.sort(np.concatenate((idx_rest, idx_load)))
    vsoc_time = np.insert(t[ind_all], 0, 0)
    vsoc_val = np.repeat([np.mean(v[i - 3 : i - 1]) for i in idx_rest], 2)
    vsoc_time = np.append(vsoc_time, t[N - 1])
    vsoc_val = np.append(vsoc_val, np.mean(v[N - 2 : N - 1]))
    vsoc_time = vsoc_time[: len(vsoc_val)]
    vsoc_val = vsoc_val[: len(vsoc_time)]
    vsoc_val_itrp = np.interp(t, vsoc_time, vsoc_val)
    return dict(
        counts=counts,
        bins=bins,
        iload_ix=iload_ix,
        iload_th=iload_th,
        idx_rest=idx_rest,
        idx_load=idx_load,
        vsoc=vsoc,
        mAh=mAh,
        soc=soc,
        spline=spline,
        SOC=SOC,
        OCV_3rd=spline(SOC),
        ind_all=ind_all,
        vsoc_time=vsoc_time,
        vsoc_val=vsoc_val,
        vsoc_val_itrp=vsoc_val_itrp,
        ocv_diff=v - vsoc_val_itrp,
    )


RECORDINGS = {
    "regular": dict(),
    "irregular_sampling": dict(jitter=0.3, seed=1),
    "noisy": dict(i_noise=2e-3, v_noise=5e-4, seed=2),
    "fine_sampling": dict(n_pulses=8, dt=0.1, pulse_s=20.0, rest_s=120.0, first_rest_s=30.0, seed=3),
    "many_pulses": dict(n_pulses=120, pulse_s=30.0, rest_s=200.0, i_noise=1e-3, seed=4),
    "low_current": dict(amp=-0.05, i_noise=1e-4, seed=5),
}


# --- recording --------------------------------------------------------------


def test_cumulative_charge_is_scipy_cumulative_trapezoid():
    for name, opts in RECORDINGS.items():
        t, iload, _, _ = pulse_recording(**opts)
        ref = np.abs(cumulative_trapezoid(y=1000 * iload, x=t, initial=0) / 3600)
        got = _ecmcore.cumulative_charge_mAh(t, iload)
        assert got.dtype == np.float64
        np.testing.assert_array_equal(got, ref, err_msg=name)
    # Charge then discharge: the absolute value is of the running integral.
    t = np.arange(7.0)
    i = np.array([1.0, 1, 1, -1, -1, -1, -1])
    np.testing.assert_array_equal(
        _ecmcore.cumulative_charge_mAh(t, i), np.abs(cumulative_trapezoid(y=1000 * i, x=t, initial=0) / 3600)
    )
    assert _ecmcore.cumulative_charge_mAh([], []).shape == (0,)
    with pytest.raises(ValueError, match="samples"):
        _ecmcore.cumulative_charge_mAh([0.0, 1.0], [1.0])


def test_find_cutoff_is_the_first_sample_strictly_below():
    rng = np.random.default_rng(5)
    v = np.round(rng.uniform(2.9, 4.2, 5000), 2)
    for vcut in (2.95, 3.0, 3.5, 4.1, 2.5, 4.3):
        hits = np.where(v < vcut)[0]
        expect = int(hits[0]) if hits.size else None
        assert _ecmcore.find_cutoff(v, vcut) == expect
    assert _ecmcore.find_cutoff([3.0, 3.0, 2.99], 3.0) == 2  # equal does not cut
    assert _ecmcore.find_cutoff([], 3.0) is None


# --- histogram, grid, interpolation -----------------------------------------


def _histogram_cases():
    rng = np.random.default_rng(99)
    cases = {}
    for scale in (1e-300, 1e-12, 1e-3, 1.0, 1e3, 1e12, 1e300):
        cases[f"normal*{scale:g}"] = rng.normal(size=1000) * scale
    cases["offset_tiny_spread"] = 1e6 + rng.normal(size=500) * 1e-6
    cases["quantised_currents"] = rng.integers(-2000, 1, 3000) / 1000.0
    cases["pulses_and_rests"] = np.repeat([0.0, -2.0, 0.0, -2.0, 0.0], [100, 30, 100, 30, 50])
    cases["two_levels"] = np.repeat([0.0, -1.0, 0.0, -2.0], [100, 30, 100, 30])
    cases["grid_0_21"] = np.arange(22.0)
    x = rng.uniform(-2.1, 0.01, 700)
    e = np.histogram(x, bins=21)[1]
    cases["values_on_edges"] = np.concatenate((x, e, e, e))
    lo, hi = e[0], e[-1]
    cases["edges_pm_one_ulp"] = np.concatenate(
        (x, np.clip(np.nextafter(e, np.inf), lo, hi), np.clip(np.nextafter(e, -np.inf), lo, hi))
    )
    for k in range(1, 40):
        cases[f"tenths_{k}"] = np.arange(-k, 1) / 10.0
    cases["constant"] = np.full(50, -1.7)
    cases["constant_zero"] = np.zeros(12)
    cases["constant_huge"] = np.full(5, 1e20)
    cases["single"] = np.array([0.3])
    cases["two_values"] = np.array([-2.0, 0.0])
    cases["empty"] = np.array([], dtype=float)
    cases["neighbours"] = np.array([1.0, np.nextafter(1.0, 2.0)])
    cases["few_ulps"] = 1.0 + np.arange(30) * np.spacing(1.0)
    cases["many_ulps"] = 1.0 + np.arange(200) * np.spacing(1.0)
    for k in (21, 22, 64, 1000, 100000):
        cases[f"subnormal_{k}"] = np.array([0.0, k * 5e-324, 3 * 5e-324])
    cases["overflowing_range"] = np.array([-1e308, 1e308, 0.0])
    cases["nan"] = np.array([0.0, np.nan, 1.0])
    cases["inf"] = np.array([0.0, np.inf])
    return cases


@pytest.mark.parametrize("name", list(_histogram_cases()))
def test_histogram21_is_numpy_histogram_bit_for_bit(name):
    x = _histogram_cases()[name]
    try:
        with np.errstate(all="ignore"):
            ref_counts, ref_edges = np.histogram(x, bins=21)
    except ValueError:
        with pytest.raises(ValueError):
            _ecmcore.histogram21(x)
        return
    counts, edges = _ecmcore.histogram21(x)
    assert counts.dtype == np.int64 and edges.dtype == np.float64
    np.testing.assert_array_equal(counts, ref_counts)
    assert edges.tobytes() == ref_edges.astype(np.float64).tobytes()


def test_histogram21_random_bit_for_bit():
    rng = np.random.default_rng(3)
    for _ in range(300):
        n = int(rng.integers(1, 400))
        lo = rng.uniform(-5, 5)
        x = lo + rng.uniform(0, 10 ** rng.uniform(-8, 3)) * rng.random(n)
        if rng.random() < 0.5:
            x = np.round(x, int(rng.integers(0, 4)))
        rc, re = np.histogram(x, bins=21)
        c, e = _ecmcore.histogram21(x)
        np.testing.assert_array_equal(c, rc)
        assert e.tobytes() == re.tobytes()


def test_soc_grid_is_numpy_arange_bit_for_bit():
    grid = _ecmcore.soc_grid()
    ref = np.arange(0, 1.005, 0.005)
    assert grid.shape == (201,) and grid[-1] == 1.0
    assert grid.tobytes() == ref.tobytes()


def test_interp_is_numpy_interp():
    rng = np.random.default_rng(8)
    for _ in range(50):
        xp = np.sort(rng.uniform(0, 100, int(rng.integers(1, 40))))
        if xp.size > 3:
            xp[2] = xp[1]  # a repeated abscissa
        fp = rng.normal(size=xp.size)
        x = np.concatenate((np.sort(rng.uniform(-10, 110, 500)), rng.uniform(-10, 110, 100), xp))
        np.testing.assert_array_equal(_ecmcore.interp(x, xp, fp), np.interp(x, xp, fp))
    with pytest.raises(ValueError):
        _ecmcore.interp([1.0], [], [])


# --- the whole step -----------------------------------------------------------


@pytest.mark.parametrize("name", list(RECORDINGS))
def test_analyse_pulses_matches_numpy_reference(name):
    t, iload, v, cum = pulse_recording(**RECORDINGS[name])
    N = t.size
    got = _ecmcore.analyse_pulses(t, iload, v, cum)
    ref = reference(t, iload, v, cum)

    np.testing.assert_array_equal(got["counts"], ref["counts"])
    assert got["bins"].tobytes() == ref["bins"].tobytes()
    assert got["iload_ix"] == ref["iload_ix"]
    assert got["iload_th"] == ref["iload_th"]
    np.testing.assert_array_equal(got["idx_rest"], np.append(ref["idx_rest"], N))
    np.testing.assert_array_equal(got["ind_slice"], np.append(ref["idx_rest"], N))
    np.testing.assert_array_equal(got["idx_load"], ref["idx_load"])
    for key in ("idx_rest", "idx_load", "ind_all", "ind_slice", "counts"):
        assert got[key].dtype == np.int64, key
    n_pulses = RECORDINGS[name].get("n_pulses", 12)
    assert got["idx_rest"].size == n_pulses + 2 and got["idx_load"].size == n_pulses

    np.testing.assert_array_equal(got["vsoc"], ref["vsoc"])
    np.testing.assert_allclose(got["soc"], ref["soc"], rtol=0, atol=1e-13)
    assert np.all(np.diff(got["soc"]) < 0)

    spline = got["vsoc_itrp_3rd"]
    np.testing.assert_array_equal(spline.x, got["soc"][::-1])
    np.testing.assert_array_equal(spline.y, got["vsoc"][::-1])
    assert got["SOC"].tobytes() == ref["SOC"].tobytes()
    # Against UnivariateSpline through the reference points, and against the
    # not-a-knot CubicSpline through the very same points.
    np.testing.assert_allclose(got["OCV_3rd"], ref["OCV_3rd"], rtol=0, atol=1e-9)
    same_points = CubicSpline(got["soc"][::-1], got["vsoc"][::-1], bc_type="not-a-knot")(ref["SOC"])
    np.testing.assert_allclose(got["OCV_3rd"], same_points, rtol=0, atol=1e-12)
    np.testing.assert_allclose(spline(ref["SOC"]), got["OCV_3rd"], rtol=0, atol=0)

    np.testing.assert_array_equal(got["ind_all"], ref["ind_all"])
    np.testing.assert_array_equal(got["vsoc_time"], ref["vsoc_time"])
    np.testing.assert_array_equal(got["vsoc_val"], ref["vsoc_val"])
    assert got["vsoc_time"].size == 2 * (n_pulses + 1) + 1
    np.testing.assert_array_equal(got["vsoc_val_itrp"], ref["vsoc_val_itrp"])
    np.testing.assert_array_equal(got["ocv_diff"], ref["ocv_diff"])

    assert got["relaxpoint"] == ref["idx_rest"].size - 1
    assert got["mAh"] == pytest.approx(ref["mAh"][-1], rel=1e-13)
    assert got["socval"] == got["soc"][-1]
    assert got["vsample"] == v[N - 2]


def test_ocv_diff_during_rests_relaxes_towards_zero():
    t, iload, v, cum = pulse_recording(v_noise=0.0)
    got = _ecmcore.analyse_pulses(t, iload, v, cum)
    rest_ends, load_ends = got["idx_rest"][:-1], got["idx_load"]
    for p, l_end in enumerate(load_ends):
        r_end = rest_ends[p + 1]
        rest = got["ocv_diff"][l_end + 1 : r_end + 1]
        assert rest[0] < -0.005  # the cell is still relaxing
        assert abs(rest[-3]) < 2e-4  # close to 0 at the end of the rest
        assert np.all(np.diff(rest[:-3]) > 0)
        assert np.all(got["ocv_diff"][rest_ends[p] + 2 : l_end + 1] < 0)  # under load


def test_the_ocv_table_extrapolates_below_the_last_rest():
    t, iload, v, cum = pulse_recording(n_pulses=6)
    got = _ecmcore.analyse_pulses(t, iload, v, cum)
    soc_min = got["soc"][-1]
    below = got["SOC"] < soc_min
    assert below.sum() >= 5
    ref = UnivariateSpline(got["soc"][::-1], got["vsoc"][::-1], k=3, s=0, ext=0)(got["SOC"][below])
    np.testing.assert_allclose(got["OCV_3rd"][below], ref, atol=1e-10)
    assert np.unique(got["OCV_3rd"][below]).size == below.sum()  # not clamped


# --- bad recordings -----------------------------------------------------------


def _charge_pulse_recording():
    parts = [
        (0.0, 30),
        (-2.0, 20),
        (0.0, 30),
        (-2.0, 20),
        (0.0, 30),
        (2.0, 60),
        (0.0, 30),
        (-2.0, 20),
        (0.0, 30),
        (-2.0, 10),
    ]
    iload = np.concatenate([np.full(n, c) for c, n in parts])
    t = np.arange(iload.size, dtype=float)
    v = np.full(iload.size, 3.7)
    cum = np.abs(cumulative_trapezoid(y=1000 * iload, x=t, initial=0) / 3600)
    cum[-1] = 100.0
    return t, iload, v, cum


def _bad_cases():
    t, iload, v, cum = pulse_recording(n_pulses=2)  # three rests
    yield "three_rests", (t, iload, v, cum), "found 3 rest ends.*at least four"
    t, iload, v, cum = pulse_recording(first_rest_s=2.0)  # the first rest ends at sample 1
    yield "early_rest", (t, iload, v, cum), "rest 1 ends at sample 1, within the first three samples"
    t, iload, v, cum = pulse_recording()
    yield "zero_charge", (t, iload, v, np.zeros_like(cum)), "total charge.*0 mAh"
    bad = cum.copy()
    bad[-1] = np.nan
    yield "nan_charge", (t, iload, v, bad), "total charge.*nan"
    short = np.array([0.0, 0.0, -2.0, -2.0, 0.0, 0.0, -2.0, 0.0, 0.0])
    ts = np.arange(short.size, dtype=float)
    yield "no_full_bin", (ts, short, np.full(short.size, 3.7), np.ones(short.size)), "more than ten samples"
    yield (
        "soc_rises",
        _charge_pulse_recording(),
        r"rest 2 \(ending at sample 79\) has SOC 0\.888.* and rest 3 \(ending at sample 189\) has SOC 1\.10",
    )
    yield "nan_current", (t, np.where(t == 5.0, np.nan, iload), v, cum), "finite"


@pytest.mark.parametrize("name", [c[0] for c in _bad_cases()])
def test_bad_recordings_raise_value_error_saying_what_was_found(name):
    case = {c[0]: c for c in _bad_cases()}[name]
    _, args, pattern = case
    with pytest.raises(ValueError, match=pattern):
        _ecmcore.analyse_pulses(*args)


def test_bad_arguments_raise_value_error():
    t, iload, v, cum = pulse_recording(n_pulses=5)
    with pytest.raises(ValueError, match="samples"):
        _ecmcore.analyse_pulses(t[:-1], iload, v, cum)
    with pytest.raises(ValueError, match="one-dimensional"):
        _ecmcore.analyse_pulses(t.reshape(1, -1), iload, v, cum)
    with pytest.raises(ValueError, match="one-dimensional"):
        _ecmcore.histogram21(np.zeros((3, 3)))
    with pytest.raises(ValueError):
        _ecmcore.analyse_pulses([], [], [], [])

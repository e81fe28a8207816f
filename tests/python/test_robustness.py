"""Valid-to-hostile inputs: the run completes with right files or ends with a clear error.

Every generated battery folder is run through a whole import of ecmfit in a
fresh interpreter (a crash is then a crash, not a dead test process), and the
outcome is judged by hostile.judge:
  - completed: every parameter file parses with its four keys, holds finite
    medians within the solver bounds, the temperature and the charge that
    pandas and SciPy read from the recording independently; every OCV table
    has 202 lines equal to the parameter file's table; battery_model.json
    parses;
  - a Python exception whose last line names the recording at fault (or
    input_params.json), or one of the two exit messages; files of earlier
    recordings complete, none for the failed one, no model file;
  - a crash, a hang, an unclear message or a wrong file fails the test.

The default run is small and reproducible (derandomized).  A long run:

    ECM_ROBUSTNESS_EXAMPLES=2000 python3 -m pytest tests/python/test_robustness.py

(the number is the total over the whole-run tests; the _ecmcore API tests get
ten times as many).  ECM_ROBUSTNESS_REPORT=<file> writes the tally as JSON.
"""

import collections
import json
import math
import os
import subprocess
import tempfile
import warnings

import hostile
import numpy as np
import pytest
from hostile import Case, config_mutations, judge, recordings, write_case
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from runner import run_ecmfit
from scipy.integrate import cumulative_trapezoid
from scipy.interpolate import CubicSpline as SciPyCubicSpline

_ecmcore = pytest.importorskip("_ecmcore")

TOTAL = int(os.environ.get("ECM_ROBUSTNESS_EXAMPLES", "0"))
RUN_TIMEOUT = float(os.environ.get("ECM_ROBUSTNESS_TIMEOUT", "180"))


def budget(default, share):
    """Examples for one test: ``default`` normally, ``share`` of the total in a long run."""
    return max(default, int(TOTAL * share)) if TOTAL else default


def whole_run_settings(default, share):
    return settings(
        max_examples=budget(default, share),
        deadline=None,
        derandomize=True,
        database=None,
        suppress_health_check=list(HealthCheck),
        print_blob=True,
    )


def api_settings(default=150):
    return settings(
        max_examples=budget(default, 10 * 0.25),
        deadline=None,
        derandomize=True,
        database=None,
        suppress_health_check=list(HealthCheck),
    )


TALLY = collections.Counter()
FINDINGS = []


@pytest.fixture(scope="module", autouse=True)
def _report(request):
    yield
    summary = {
        "cases": sum(TALLY.values()),
        "outcomes": dict(TALLY),
        "failed": sum(TALLY[k] for k in ("crash", "hang", "other", "wrong")),
        "findings": FINDINGS,
    }
    line = (
        f"robustness: {summary['cases']} generated cases, outcomes {dict(TALLY)}; "
        f"{summary['failed']} crashed, hung or wrote a wrong file"
    )
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line("")
        reporter.write_line(line)
    path = os.environ.get("ECM_ROBUSTNESS_REPORT")
    if path:
        with open(path, "w") as fh:
            json.dump(summary, fh, indent=1)


def run_case(case, extra_check=None):
    """Runs one case in a fresh interpreter; fails the test on any problem."""
    with tempfile.TemporaryDirectory(prefix="ecm_robust_") as root:
        write_case(case, root)
        try:
            run = run_ecmfit(root, timeout=RUN_TIMEOUT)
            outcome, problems = judge(case, root, run)
        except subprocess.TimeoutExpired:
            run = None
            outcome, problems = judge(case, root, None, timeout_hit=True)
        if not problems and extra_check is not None:
            problems = extra_check(case, root, outcome, run)
        key = outcome if not problems or outcome in ("crash", "hang", "other") else "wrong"
        TALLY[key] += 1
        if problems:
            FINDINGS.append(
                {
                    "case": case.describe(),
                    "outcome": outcome,
                    "problems": problems,
                    "stderr_tail": run.stderr[-1500:] if run is not None else "",
                }
            )
        assert not problems, f"{case.describe()}\n" + "\n".join(problems)
        return outcome, run


# ----------------------------------------------------------------------------
# Whole runs
# ----------------------------------------------------------------------------


class TestWholeRun:
    @whole_run_settings(30, 0.45)
    @given(rec=recordings(hostile=True))
    def test_hostile_recording(self, rec):
        model = rec.truth["model"] if rec.truth else "model2"
        run_case(Case(recordings=[rec], model=model))

    @whole_run_settings(14, 0.25)
    @given(rec=recordings(hostile=False, extreme=False), cfg=config_mutations())
    def test_hostile_configuration(self, rec, cfg):
        ops, low, high, model = cfg
        run_case(Case(recordings=[rec], config_ops=ops, low_cutoff=low, high_cutoff=high, model=model))

    @whole_run_settings(8, 0.15)
    @given(
        recs=st.lists(recordings(hostile=True), min_size=2, max_size=3),
        temps=st.permutations([25, 0, -10]),
        model=st.sampled_from(["model1", "model2"]),
    )
    def test_several_recordings(self, recs, temps, model):
        # distinct names so that every recording is its own file
        for k, rec in enumerate(recs):
            if "name" not in rec.mutations:
                rec.name = hostile.recording_name(100 + k, temps[k])
            else:
                rec.name = f"x{k}{rec.name}"
        run_case(Case(recordings=recs, model=model))

    @whole_run_settings(8, 0.15)
    @given(rec=recordings(hostile=False, extreme=False))
    def test_valid_recording_completes_and_recovers_r0(self, rec):
        """Moderate cells with random protocols, sampling and noise: the run
        completes and the median R0 is near the simulated one."""

        def near_truth(case, root, outcome, run):
            if outcome != "completed":
                return [f"a valid recording did not complete: {hostile.last_line(run.stderr)}"]
            out = []
            for name, fitted, true in hostile.recovered_r0(case, root):
                # one sample of R0 step plus noise: loose, but catches a wrong column or unit
                if not abs(fitted - true) <= 0.35 * true + 20 * rec.truth["noise"]:
                    out.append(f"{name}: median R0 {fitted} far from the simulated {true}")
            return out

        run_case(Case(recordings=[rec], model=rec.truth["model"]), extra_check=near_truth)

    def test_no_recording_and_non_csv_files(self, tmp_path):
        """Only files that are not *.csv: the search finds nothing, the builder reports it."""
        case = Case(recordings=[], extra_files=[("notes.txt", b"x"), ("cellA_200mAh_Tp25.CSV.bak", b"")])
        outcome, run = run_case(case)
        assert outcome == "exception" and "_params.json" in hostile.last_line(run.stderr)


# ----------------------------------------------------------------------------
# The Python-callable core with arbitrary arrays (in-process: a crash kills pytest)
# ----------------------------------------------------------------------------

any_float = st.floats(allow_nan=True, allow_infinity=True, width=64)
nice_float = st.floats(-1e3, 1e3, allow_nan=False)


def vectors(elements=any_float, max_size=40, min_size=0):
    return hnp.arrays(np.float64, st.integers(min_size, max_size), elements=elements)


# arrays of any dimension, lists with text, None, scalars
anything = st.one_of(
    vectors(),
    hnp.arrays(np.float64, hnp.array_shapes(min_dims=0, max_dims=3, max_side=5), elements=any_float),
    hnp.arrays(np.int64, st.integers(0, 10)),
    st.lists(st.one_of(any_float, st.text(max_size=3), st.none()), max_size=6),
    st.none(),
    any_float,
    st.text(max_size=4),
)


def increasing(n_min=2, n_max=40, step=st.floats(1e-3, 100.0)):
    return st.lists(step, min_size=n_min - 1, max_size=n_max - 1).map(lambda d: np.concatenate(([0.0], np.cumsum(d))))


def call(f, *args, **kw):
    """f(*args) or None when it raises a Python exception (any crash ends the process)."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return f(*args, **kw)
    except (ValueError, TypeError, OverflowError, IndexError, KeyError, RuntimeError, ArithmeticError):
        return None


def all_finite(*xs):
    return all(np.all(np.isfinite(np.asarray(x, dtype=float))) for x in xs)


class TestCoreApi:
    @api_settings()
    @given(t=anything, i=anything, r0=any_float, r=anything, c=anything, jac=st.booleans())
    def test_simulate_arbitrary(self, t, i, r0, r, c, jac):
        call(_ecmcore.simulate, t, i, r0, r, c, jac)

    @api_settings()
    @given(data=st.data(), nb=st.integers(0, 2), jac=st.booleans())
    def test_simulate_valid_is_finite_and_starts_at_r0_i0(self, data, nb, jac):
        t = data.draw(increasing())
        i = data.draw(vectors(st.floats(-10, 10), min_size=len(t), max_size=len(t)))
        r0 = data.draw(st.floats(1e-4, 5e4))
        r = np.array(data.draw(st.lists(st.floats(1e-4, 5e4), min_size=nb, max_size=nb)))
        c = np.array(data.draw(st.lists(st.floats(1e-4, 5e4), min_size=nb, max_size=nb)))
        out = _ecmcore.simulate(t, i, r0, r, c, jac)
        y, J = out if jac else (out, None)
        assert y.shape == (len(t),) and all_finite(y)
        assert y[0] == r0 * i[0]
        if jac:
            assert J.shape == (len(t), 1 + 2 * nb) and all_finite(J)
            np.testing.assert_array_equal(J[:, 0], i)  # dy/dR0 is the current

    @api_settings()
    @given(x=anything)
    def test_histogram21_agrees_with_numpy_or_both_refuse(self, x):
        try:
            xa = np.asarray(x, dtype=float)
        except (ValueError, TypeError):
            call(_ecmcore.histogram21, x)
            return
        ours = call(_ecmcore.histogram21, x)
        if xa.ndim != 1:
            assert ours is None
            return
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                ref = np.histogram(xa, bins=21)
            except ValueError:
                ref = None
        if ref is None:
            assert ours is None
        else:
            assert ours is not None, f"numpy bins {xa!r}, ours refused"
            np.testing.assert_array_equal(ours[0], ref[0])
            np.testing.assert_array_equal(ours[1], ref[1])

    @api_settings()
    @given(v=vectors(), vcut=any_float)
    def test_find_cutoff_is_the_first_sample_below(self, v, vcut):
        hits = np.nonzero(v < vcut)[0]
        assert _ecmcore.find_cutoff(v, vcut) == (int(hits[0]) if len(hits) else None)

    @api_settings()
    @given(t=anything, i=anything)
    def test_cumulative_charge_arbitrary(self, t, i):
        out = call(_ecmcore.cumulative_charge_mAh, t, i)
        if out is not None:
            ta, ia = np.asarray(t, dtype=float), np.asarray(i, dtype=float)
            assert ta.ndim == 1 and ta.shape == ia.shape == out.shape
            if len(ta) and all_finite(ta, ia) and all_finite(1000 * ia * (np.ptp(ta) if len(ta) else 0)):
                ref = np.abs(cumulative_trapezoid(y=1000 * ia, x=ta, initial=0) / 3600)
                if all_finite(ref):
                    np.testing.assert_allclose(out, ref, rtol=1e-9, atol=1e-300)

    @api_settings()
    @given(x=anything, y=anything, at=anything, nu=st.integers(-2, 5))
    def test_spline_arbitrary(self, x, y, at, nu):
        s = call(_ecmcore.CubicSpline, x, y)
        if s is not None:
            call(s, at, nu)
            call(s, at)

    @api_settings()
    @given(data=st.data())
    def test_spline_valid_agrees_with_scipy(self, data):
        x = data.draw(increasing(4, 30, st.floats(1e-2, 10.0)))
        y = data.draw(vectors(st.floats(-100, 100), min_size=len(x), max_size=len(x)))
        s = _ecmcore.CubicSpline(x, y)
        ref = SciPyCubicSpline(x, y, bc_type="not-a-knot")
        at = np.linspace(x[0] - 1, x[-1] + 1, 37)
        scale = 1 + np.max(np.abs(y))
        cond = (x[-1] - x[0]) / np.min(np.diff(x))  # ill-conditioned knots loosen the comparison
        np.testing.assert_allclose(s(at), ref(at), rtol=0, atol=1e-9 * scale * cond**3)

    @api_settings()
    @given(t=anything, i=anything, v=anything, q=anything)
    def test_analyse_pulses_arbitrary(self, t, i, v, q):
        out = call(_ecmcore.analyse_pulses, t, i, v, q)
        if out is not None:
            n = len(np.asarray(t))
            assert len(out["SOC"]) == len(out["OCV_3rd"]) == 201
            assert len(out["ocv_diff"]) == n

    @api_settings(80)
    @given(data=st.data())
    def test_analyse_pulses_on_pulse_like_data(self, data):
        """Plausible pulse patterns with hostile details: a result is consistent or a ValueError."""
        n_p = data.draw(st.integers(0, 8))
        rest = data.draw(st.integers(1, 12))
        pulse = data.draw(st.integers(1, 6))
        cur = data.draw(st.sampled_from([-1.0, 1.0, -1e-12, -1e12]))
        i = np.concatenate([np.zeros(rest)] + [np.r_[np.full(pulse, cur), np.zeros(rest)] for _ in range(n_p)])
        n = len(i)
        t = np.arange(n, dtype=float) * data.draw(st.sampled_from([1.0, 1e-9, 1e9]))
        v = 4.2 - np.linspace(0, 1, n) + data.draw(vectors(st.floats(-1e-2, 1e-2), min_size=n, max_size=n))
        q = np.abs(cumulative_trapezoid(1000 * i, t, initial=0) / 3600)
        out = call(_ecmcore.analyse_pulses, t, i, v, q)
        if out is not None:
            assert len(out["SOC"]) == 201 and len(out["ocv_diff"]) == n
            assert np.all((out["idx_rest"] >= 0) & (out["idx_rest"] <= n))
            assert np.all((out["idx_load"] >= 0) & (out["idx_load"] < n))

    @api_settings()
    @given(
        t=anything,
        v=anything,
        rest=anything,
        load=anything,
        rest_i=hnp.arrays(np.int64, st.integers(0, 8), elements=st.integers(-(2**62), 2**62)),
        load_i=hnp.arrays(np.int64, st.integers(0, 8), elements=st.integers(-5, 60)),
    )
    def test_ocv_over_time_and_steps_arbitrary(self, t, v, rest, load, rest_i, load_i):
        call(_ecmcore.ocv_over_time, t, v, rest, load)
        call(_ecmcore.ocv_over_time, np.arange(50.0), np.linspace(4, 3, 50), rest_i, load_i)
        call(_ecmcore.ocv_over_time, np.arange(50.0), np.linspace(4, 3, 50), np.sort(np.abs(load_i)), load_i)
        call(_ecmcore.find_current_steps, t, 0.1)
        call(_ecmcore.load_threshold, t)
        call(_ecmcore.interp, t, v, rest)

    @api_settings(100)
    @given(
        t=anything,
        i=anything,
        y=anything,
        x0=anything,
        f_scale=any_float,
        tol=any_float,
        r=st.lists(any_float, min_size=3, max_size=3),
    )
    def test_fits_arbitrary(self, t, i, y, x0, f_scale, tol, r):
        res = call(_ecmcore.fit_model1, t, i, y, x0, f_scale, tol)
        if res is not None:
            assert np.all(np.asarray(res.x) >= 1e-4) and np.all(np.asarray(res.x) <= 5e4)
        res = call(_ecmcore.fit_model2_branch, t, i, y, r[0], r[1], r[2], x0, f_scale, tol)
        if res is not None:
            assert len(res.x) == 2

    @api_settings(100)
    @given(data=st.data())
    def test_fit_model1_on_windows_stays_in_bounds(self, data):
        n = data.draw(st.integers(0, 30))
        t = data.draw(increasing(max(n, 2), max(n, 2), st.sampled_from([1e-9, 1e-3, 1.0, 1e6])))[:n]
        i = data.draw(vectors(st.floats(-1e3, 1e3), min_size=n, max_size=n))
        y = data.draw(
            vectors(st.one_of(st.floats(-1e3, 1e3), st.sampled_from([np.nan, 1e300])), min_size=n, max_size=n)
        )
        x0 = data.draw(vectors(st.floats(-1e5, 1e5), min_size=3, max_size=3))
        tol = data.draw(st.sampled_from([1e-8, 1e-15, 0.0, 1.0, -1.0, np.nan]))
        res = call(_ecmcore.fit_model1, t, i, y, x0, data.draw(st.sampled_from([1e-3, 1.0, 0.0, -1.0])), tol)
        if res is not None:
            x = np.asarray(res.x)
            assert x.shape == (3,) and np.all((x >= 1e-4) & (x <= 5e4)), res

    @api_settings(100)
    @given(
        x0=anything,
        lb=anything,
        ub=anything,
        m=st.integers(0, 5),
        kind=st.sampled_from(["ok", "nan", "inf", "shape", "raise", "text", "2d"]),
        loss=st.sampled_from(["linear", "huber", "soft_l1", "cauchy", "arctan", "nope"]),
        f_scale=any_float,
        max_nfev=st.one_of(st.none(), st.integers(-2, 50)),
    )
    def test_least_squares_hostile_problems(self, x0, lb, ub, m, kind, loss, f_scale, max_nfev):
        def fun(x):
            x = np.atleast_1d(x)
            base = np.resize(x, m) - 1.0 if len(x) else np.zeros(m)
            if kind == "nan":
                return base * np.nan
            if kind == "inf":
                return base + np.inf
            if kind == "shape":
                return np.zeros(m + 1 + len(x))
            if kind == "raise":
                raise ZeroDivisionError("from the residual")
            if kind == "text":
                return "abc"
            if kind == "2d":
                return np.zeros((2, 2))
            return base

        def jac(x):
            x = np.atleast_1d(x)
            return np.eye(m, len(x)) if kind != "shape" else np.zeros((m, len(x) + 1))

        try:
            res = _ecmcore.least_squares(fun, x0, jac, bounds=(lb, ub), loss=loss, f_scale=f_scale, max_nfev=max_nfev)
        except (ValueError, TypeError, ZeroDivisionError, OverflowError, RuntimeError):
            return
        x = np.asarray(res.x, dtype=float)
        assert x.shape == np.atleast_1d(np.asarray(x0, dtype=float)).shape

    @api_settings(300)
    @given(x=st.one_of(any_float, st.integers(-(2**70), 2**70)))
    def test_number_texts(self, x):
        try:
            xf = float(x)
        except OverflowError:
            assert call(_ecmcore.py_repr, x) is None
            return
        assert _ecmcore.py_repr(x) == repr(xf)
        text = call(_ecmcore.model_number_text, x)
        if math.isfinite(xf):
            # repr's text, or, where that has an exponent, fixed point with
            # |floor(exp2 * log10 2)| + 3 decimals (exp2 from numpy.frexp)
            expected = repr(xf)
            if "e" in expected:
                exp2 = int(np.frexp(xf)[1])
                decimals = int(abs(math.floor(exp2 * math.log10(2.0)))) + 3
                expected = "{:.{}f}".format(xf, decimals)
            assert text == expected

    @api_settings()
    @given(a=anything, b=anything, c=anything, dz=any_float, n=st.integers(-3, 300))
    def test_table_helpers_arbitrary(self, a, b, c, dz, n):
        call(_ecmcore.lstsq, a, b)
        call(_ecmcore.table_interp, a, b, c)
        call(_ecmcore.derivative_along_soc, a, dz)
        call(_ecmcore.mean_step, a)
        call(_ecmcore.linspace, dz, dz, n)
        call(_ecmcore.fixed_text, dz, n)

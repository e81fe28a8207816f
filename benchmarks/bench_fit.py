"""One second-pass fit (R2, C2 with R0, R1, C1 fixed) on a 2,000-sample cycle
window: ours (_ecmcore.fit_model2_branch: exact circuit response, exact
Jacobian, C++ solver) against the pure-SciPy way (scipy.signal.lsim inside
scipy.optimize.least_squares with its 2-point Jacobian), same settings.

Run:  PYTHONPATH=<build dir> python3 benchmarks/bench_fit.py [--repeat-ours N] [--repeat-scipy N]
"""

import argparse
import time

import _ecmcore
import numpy as np
from scipy import optimize, signal

# the cell behind the synthetic window
R0, R1, C1, R2, C2 = 0.05, 0.02, 1500.0, 0.03, 20000.0
NOISE_V = 2e-4
SETTINGS = dict(bounds=(1e-4, 5e4), loss="huber", f_scale=1.0, xtol=1e-9, ftol=1e-9, gtol=1e-9)
START = (1.0, 100.0)


def transfer_function(r0, r1, c1, r2, c2):
    """Z(s) = R0 + R1/(1 + s R1 C1) + R2/(1 + s R2 C2) over the common denominator."""
    num = [c1 * c2 * r0 * r1 * r2, c1 * r0 * r1 + c1 * r1 * r2 + c2 * r0 * r2 + c2 * r1 * r2, r0 + r1 + r2]
    den = [r1 * r2 * c1 * c2, r1 * c1 + r2 * c2, 1.0]
    return num, den


def make_window(n=2000, seed=11):
    t = 36000.0 + np.arange(n, dtype=float)  # 1 s sampling
    k = np.arange(n)
    i = np.where((k >= 4) & (k < 184), -2.0, 0.0)  # 4 rest samples, 180 s at -2 A, rest
    _, y, _ = signal.lsim(transfer_function(R0, R1, C1, R2, C2), i, t - t[0])
    y = y + np.random.default_rng(seed).normal(0.0, NOISE_V, n)
    return t, i, y


def fit_scipy(t, i, y):
    tt = t - t[0]

    def fit_ls2(p):
        _, yout, _ = signal.lsim(transfer_function(R0, R1, C1, p[0], p[1]), i, tt)
        return y - yout

    return optimize.least_squares(fit_ls2, START, **SETTINGS)


def fit_ours(t, i, y):
    return _ecmcore.fit_model2_branch(t, i, y, R0, R1, C1, START, 1.0, 1e-9)


def best_time(fn, repeat):
    times, res = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        res = fn()
        times.append(time.perf_counter() - t0)
    return min(times), float(np.median(times)), res


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat-ours", type=int, default=200)
    ap.add_argument("--repeat-scipy", type=int, default=3)
    args = ap.parse_args()

    t, i, y = make_window()
    fit_ours(t, i, y)  # warm-up (imports scipy.optimize for the result object)
    ours_min, ours_med, ours = best_time(lambda: fit_ours(t, i, y), args.repeat_ours)
    sp_min, sp_med, ref = best_time(lambda: fit_scipy(t, i, y), args.repeat_scipy)

    print(f"window: {t.size} samples at 1 s, pulse 180 s at -2 A, noise {NOISE_V * 1e3:.1f} mV rms")
    print(f"truth:  R2 = {R2}, C2 = {C2}")
    print(
        f"ours  (_ecmcore.fit_model2_branch): best {ours_min * 1e3:9.3f} ms, median {ours_med * 1e3:9.3f} ms"
        f"  ({args.repeat_ours} runs)  nfev {ours.nfev}, status {ours.status}"
    )
    print(
        f"scipy (lsim + least_squares 2-point): best {sp_min * 1e3:9.3f} ms, median {sp_med * 1e3:9.3f} ms"
        f"  ({args.repeat_scipy} runs)  nfev {ref.nfev}, status {ref.status}"
    )
    print(f"speed-up (best / best): {sp_min / ours_min:.0f}x   (target: at least 200x)")
    print(f"ours  x = [{float(ours.x[0])!r}, {float(ours.x[1])!r}]  cost {ours.cost:.10e}")
    print(f"scipy x = [{float(ref.x[0])!r}, {float(ref.x[1])!r}]  cost {ref.cost:.10e}")
    rel = np.abs(ours.x - ref.x) / np.abs(ref.x)
    print(f"relative difference of the solutions: {rel[0]:.2e}, {rel[1]:.2e}")


if __name__ == "__main__":
    main()

"""Independent reference of the extraction of one recording, for comparison tests.

Pure NumPy / SciPy / pandas, written from the description of the extraction
steps, with no use of our compiled modules:

- ``load_and_trim``: reading, temperature, cut-off trimming, cumulative charge;
- ``detect``: current threshold, rest/load indices, relaxed points, OCV-SOC
  spline and grid, OCV over time, overvoltage and pulse boundaries;
- ``simulate``: circuit response to a linearly interpolated current from a zero
  state at the first sample (``scipy.signal.lsim`` with first-order hold on
  uniform sampling; the exact per-step solution of the parallel RC branches
  when the sampling is irregular, which ``lsim`` does not accept);
- ``fit_recording``: the per-pulse fitting with ``scipy.optimize.least_squares``;
- ``result_files``: the result table and the texts of the two per-temperature
  files.

The fitting is slow (every residual evaluation simulates the whole window in
Python); use it on small recordings only.
"""

from __future__ import annotations

import io
import json
import os

import numpy as np
import pandas as pd
from scipy import optimize, signal
from scipy.integrate import cumulative_trapezoid
from scipy.interpolate import CubicSpline

CUTOFF_EXIT_MESSAGE = (
    "\nBattery voltage does not cross the defined low cut off voltage. "
    "Please define higher cut off level and run again.\n"
)

BOUNDS = (1e-4, 50000)
CINIT = [1, 10, 50, 100, 500, 1000, 2000, 4000]

_trapezoid = getattr(np, "trapezoid", None) or np.trapz


# ----------------------------------------------------------------------------
# Loading and trimming
# ----------------------------------------------------------------------------


def temperature_from_name(path):
    """Temperature from the file name; None when the sign letter is neither
    "p" nor "n".  Raises (IndexError/ValueError) on other malformed names."""
    text = os.fspath(path)
    last = text.split("_")[-1]
    temperature_txt = last.split(".")[0].split("T")[1]
    if temperature_txt[0] == "p":
        return int(temperature_txt[1:])
    if temperature_txt[0] == "n":
        return -1 * int(temperature_txt[1:])
    return None


def load_and_trim(path, vcut):
    """Load one recording and cut it before the first sample below ``vcut``.

    Raises ``SystemExit`` with the cut-off message when no sample is below
    ``vcut``.  Returns dict(df, temperature, temperature_source, vraw, idx_end,
    v, t, iload, cum_mAh).
    """
    df = pd.read_csv(path, header=0, delimiter=",", decimal=".")
    try:
        temperature = int(np.round(np.median(df["Temperature(C)"].astype(float))))
        source = "data"
    except Exception:
        temperature = temperature_from_name(path)
        source = "name"
    vraw = df["Voltage(V)"].to_numpy(dtype=float)
    hits = np.where(vraw < vcut)[0]
    if hits.size == 0:
        raise SystemExit(CUTOFF_EXIT_MESSAGE)
    idx_end = int(hits[0])
    v = vraw[:idx_end].copy()
    t = df["Seconds"].to_numpy(dtype=float)[:idx_end].copy()
    iload = df["Current(A)"].to_numpy(dtype=float)[:idx_end].copy()
    cum_mAh = np.abs(cumulative_trapezoid(y=1000 * iload, x=t, initial=0) / 3600)
    return dict(
        df=df,
        temperature=temperature,
        temperature_source=source,
        vraw=vraw,
        idx_end=idx_end,
        v=v,
        t=t,
        iload=iload,
        cum_mAh=cum_mAh,
    )


# ----------------------------------------------------------------------------
# Rest and load detection, OCV-SOC curve
# ----------------------------------------------------------------------------


def detect(t, iload, v, cum_mAh):
    """Rest/load detection and OCV curves of one trimmed recording."""
    t = np.asarray(t, dtype=float)
    iload = np.asarray(iload, dtype=float)
    v = np.asarray(v, dtype=float)
    n = len(v)

    counts, bins = np.histogram(iload, bins=21)
    qualifying = [k for k in range(20) if counts[k] > 10]
    if not qualifying:
        raise ValueError("no current bin among the first 20 holds more than 10 samples")
    iload_ix = max(qualifying)
    iload_th = abs((bins[iload_ix] + bins[iload_ix + 1]) / 2 / 4)

    d = np.diff(iload)
    idx_rest = np.where(d < -iload_th)[0]
    idx_load = np.where(d > iload_th)[0]

    soc, vsoc = [], []
    for i in idx_rest:
        vsample = np.mean(v[i - 2 : i - 1])
        vsoc.append(vsample)
        mAh = _trapezoid(y=1000.0 * iload[:i], x=t[:i]) / 3600.0
        soc.append(1 + mAh / cum_mAh[n - 1])
    soc = np.array(soc)
    vsoc = np.array(vsoc)
    if len(soc) < 4:
        raise ValueError(f"{len(soc)} rests found, a cubic spline needs at least 4")

    # The interpolating cubic through every point with not-a-knot ends,
    # extrapolated with its end polynomials.
    spline = CubicSpline(soc[::-1], vsoc[::-1], bc_type="not-a-knot", extrapolate=True)
    SOC = np.arange(0, 1.005, 0.005)
    OCV_3rd = spline(SOC)

    ind_all = np.sort(np.concatenate((idx_rest, idx_load)))
    vsoc_time = np.insert(t[ind_all], 0, 0)
    vsoc_val = []
    for i in idx_rest:
        vsample = np.mean(v[i - 3 : i - 1])
        vsoc_val.append(vsample)
        vsoc_val.append(vsample)
    vsoc_time = np.append(vsoc_time, t[n - 1])
    vsoc_val.append(np.mean(v[n - 2 : n - 1]))
    vsoc_val = np.array(vsoc_val)
    if len(vsoc_time) > len(vsoc_val):
        vsoc_time = vsoc_time[: len(vsoc_val)]
    if len(vsoc_val) > len(vsoc_time):
        vsoc_val = vsoc_val[: len(vsoc_time)]
    vsoc_val_itrp = np.interp(t, vsoc_time, vsoc_val)
    ocv_diff = v - vsoc_val_itrp

    idx_rest = np.append(idx_rest, n)
    return dict(
        counts=counts,
        bins=bins,
        iload_ix=iload_ix,
        iload_th=iload_th,
        idx_rest=idx_rest,
        idx_load=idx_load,
        soc=soc,
        vsoc=vsoc,
        vsoc_itrp_3rd=spline,
        SOC=SOC,
        OCV_3rd=OCV_3rd,
        ind_all=ind_all,
        vsoc_time=vsoc_time,
        vsoc_val=vsoc_val,
        vsoc_val_itrp=vsoc_val_itrp,
        ocv_diff=ocv_diff,
        ind_slice=idx_rest,
    )


# ----------------------------------------------------------------------------
# Circuit simulation
# ----------------------------------------------------------------------------


def _uniform(t):
    h = np.diff(t)
    return len(h) > 0 and np.allclose(h, h[0], rtol=1e-12, atol=0.0)


def simulate(t_vec, x, r0, branches):
    """Voltage of R0 plus parallel RC branches ``[(r, c), ...]`` driven by the
    current ``x`` (linear between samples), from a zero state at ``t_vec[0]``."""
    t_vec = np.asarray(t_vec, dtype=float)
    x = np.asarray(x, dtype=float)
    if len(t_vec) != len(x):
        raise ValueError("t_vec and x differ in length")
    if len(t_vec) < 2:
        raise ValueError("a window needs at least two samples")
    nb = len(branches)
    if nb == 0:
        return r0 * x
    if _uniform(t_vec):
        A = np.diag([-1.0 / (r * c) for r, c in branches])
        B = np.array([[1.0 / c] for _, c in branches])
        C = np.ones((1, nb))
        D = np.array([[r0]])
        _, yout, _ = signal.lsim((A, B, C, D), U=x, T=t_vec, interp=True)
        return np.asarray(yout, dtype=float).reshape(-1)
    # Irregular sampling: integrate each branch exactly over every step with a
    # linear current (e^{-h/tau} times the old state plus the convolution of
    # the ramp with the branch impulse response).
    h = np.diff(t_vec)
    y = r0 * x.copy()
    for r, c in branches:
        tau = r * c
        a = np.exp(-h / tau)
        drive = r * ((1.0 - a) * x[:-1] + (x[1:] - x[:-1]) * (1.0 - tau * (1.0 - a) / h))
        vb = 0.0
        out = np.empty(len(x))
        out[0] = 0.0
        for k in range(len(h)):
            vb = a[k] * vb + drive[k]
            out[k + 1] = vb
        y += out
    return y


def model1(t_vec, x, r0, r1, c1):
    return simulate(t_vec, x, r0, [(r1, c1)])


def model2_r2c2(t_vec, x, gr0, gr1, gc1, r2, c2):
    return simulate(t_vec, x, gr0, [(gr1, gc1), (r2, c2)])


def rms(e):
    return np.sqrt(np.mean(np.asarray(e) ** 2))


def _lsq(fun, x0, f_scale, tol):
    return optimize.least_squares(
        fun, x0, bounds=BOUNDS, loss="huber", f_scale=f_scale, verbose=0, xtol=tol, ftol=tol, gtol=tol
    )


# ----------------------------------------------------------------------------
# Per-pulse fitting
# ----------------------------------------------------------------------------


def fit_recording(det, t, iload, v, model, warm=None):
    """Per-pulse fitting of one recording.

    ``det`` is the dict of ``detect``.  ``warm`` is the dict returned by an
    earlier call of this run (keys "res_opt_1", "res_opt_2": solution vectors
    or None) or None for the first recording.  Returns dict(results, n_cycles,
    search (list of (Ci, solution, rms)), res_opt_init, rms_lsq_full, cycles
    (per-cycle dict with the first and second pass solutions, rms and nfev),
    warm (the solutions to carry into the next recording)).
    """
    t = np.asarray(t, dtype=float)
    iload = np.asarray(iload, dtype=float)
    v = np.asarray(v, dtype=float)
    ocv_diff = det["ocv_diff"]
    idx_load = det["idx_load"]
    ind_slice = det["ind_slice"]
    n = len(ind_slice)
    n_cycles = n - 2
    warm = dict(warm or {})
    res_opt_1 = warm.get("res_opt_1")
    res_opt_2 = warm.get("res_opt_2")
    res_opt_init = warm.get("res_opt_init")

    def window(lo, hi):
        return t[lo:hi], iload[lo:hi], ocv_diff[lo:hi]

    def first_window(i):
        len_fall = int((idx_load[i - 1] - ind_slice[i - 1]) * 0.7)
        return window(ind_slice[i - 1], ind_slice[i - 1] + len_fall)

    def full_window(i):
        return window(ind_slice[i - 1], ind_slice[i])

    # Initial-value search on the first-pass window of cycle 1.
    t_vec, xdata, ydata = first_window(1)

    def fit_ls1(p):
        return ydata - model1(t_vec, xdata, p[0], p[1], p[2])

    rms_min = 10
    search = []
    for ci in CINIT:
        res_init = _lsq(fit_ls1, (0.5, 0.05, ci), 0.1, 1e-8)
        rms_curr = rms(ydata - model1(t_vec, xdata, *res_init.x))
        search.append((ci, res_init.x.copy(), rms_curr))
        if rms_curr < rms_min:
            rms_min = rms_curr
            res_opt_init = res_init.x.copy()
    if res_opt_init is None:
        raise ValueError("the initial-value search accepted no candidate")

    t_vec, xdata, ydata = full_window(1)
    rms_lsq_full = rms(ydata - model1(t_vec, xdata, *res_opt_init))

    results, cycles = [], []
    for i in range(1, n_cycles + 1):
        cyc = {"cycle": i}
        t_vec, xdata, ydata = first_window(i)
        start = res_opt_1 if res_opt_1 is not None else res_opt_init
        cyc["start_1"] = np.array(start, dtype=float)
        cyc["init_used"] = res_opt_1 is None
        r1 = _lsq(fit_ls1, start, 0.1, 1e-11)
        res_opt_1 = r1.x.copy()
        gr0, gr1, gc1 = res_opt_1
        lsq_yout = model1(t_vec, xdata, gr0, gr1, gc1)
        rms_lsq_1 = rms(ydata - lsq_yout)
        fit_params = [gr0, gr1, gc1]
        cyc.update(x1=res_opt_1, rms_1=rms_lsq_1, nfev_1=r1.nfev, status_1=r1.status, cost_1=r1.cost)
        batt_val = np.mean(v[ind_slice[i] - 5 : ind_slice[i] - 1])
        if model == "model1":
            r0tau = (repr(float(fit_params[0])), repr(float(fit_params[1] * fit_params[2])))
            results.append([rms_lsq_1, r0tau, "0 minutes", fit_params, [t_vec, lsq_yout], batt_val])
        if model == "model2":
            t_vec, xdata, ydata = full_window(i)

            def fit_ls2(p):
                return ydata - model2_r2c2(t_vec, xdata, gr0, gr1, gc1, p[0], p[1])

            start2 = res_opt_2 if res_opt_2 is not None else (1.0, 100)
            cyc["start_2"] = np.array(start2, dtype=float)
            r2 = _lsq(fit_ls2, start2, 1.0, 1e-9)
            res_opt_2 = r2.x.copy()
            lsq_yout = model2_r2c2(t_vec, xdata, gr0, gr1, gc1, *res_opt_2)
            fit_params = fit_params + [res_opt_2[0], res_opt_2[1]]
            rms_lsq = rms(ydata - lsq_yout)
            cyc.update(x2=res_opt_2, rms_2=rms_lsq, nfev_2=r2.nfev, status_2=r2.status, cost_2=r2.cost)
            r0tau = (
                repr(float(fit_params[0])),
                repr(float(fit_params[1] * fit_params[2])),
                repr(float(fit_params[3] * fit_params[4])),
            )
            results.append([rms_lsq, r0tau, "0.0 minutes", fit_params, [t_vec, lsq_yout], batt_val])
        cycles.append(cyc)

    return dict(
        results=results,
        n_cycles=n_cycles,
        search=search,
        res_opt_init=res_opt_init,
        rms_lsq_full=rms_lsq_full,
        cycles=cycles,
        warm={"res_opt_1": res_opt_1, "res_opt_2": res_opt_2, "res_opt_init": res_opt_init},
    )


# ----------------------------------------------------------------------------
# Result table and per-temperature files
# ----------------------------------------------------------------------------


def result_files(results, model, temperature, cum_mAh, SOC, OCV_3rd):
    """Returns (params_json_text, ocv_csv_text, df_results)."""
    rms_err = [row[0] * 1000 for row in results]
    R0 = [row[3][0] for row in results]
    R1 = [row[3][1] for row in results]
    C1 = [row[3][2] for row in results]
    vbat_ocv = [row[5] for row in results]

    df_results = pd.DataFrame()
    df_results["OCV level"] = vbat_ocv
    df_results["R0 (Ohm)"] = R0
    df_results["R1 (Ohm)"] = R1
    df_results["C1 (F)"] = C1
    if model == "model2":
        df_results["R2 (Ohm)"] = [row[3][3] for row in results]
        df_results["C2 (F)"] = [row[3][4] for row in results]
    df_results["RMS error (mV)"] = rms_err

    stop = 4 if model == "model1" else 6
    opt_avg = df_results.iloc[:, 1:stop].mean(axis=0)
    opt_median = df_results.iloc[:, 1:stop].median(axis=0)
    n = df_results.shape[0]
    # the summary rows put text into numeric columns: make the table hold objects first
    df_results = df_results.astype(object)
    df_results.loc[n] = ["Mean"] + list(opt_avg.values) + [""]
    df_results.loc[n + 1] = ["Median"] + list(opt_median.values) + [""]

    bat_params = {
        "TempC": int(temperature),
        "Tparam_1": float(cum_mAh[-1] / 1000),
        "Tparam_2": [float(x) for x in opt_median.values],
        "Tparam_3": [np.asarray(SOC, dtype=float).tolist(), np.asarray(OCV_3rd, dtype=float).tolist()],
    }
    params_json_text = json.dumps(bat_params)

    buf = io.StringIO()
    np.savetxt(buf, np.transpose(np.vstack([SOC, OCV_3rd])), header="SOC,OCV", delimiter=",")
    return params_json_text, buf.getvalue(), df_results


def extract(path, vcut, model, warm=None):
    """The whole per-recording pass; returns dict(load, det, fit, params_json,
    ocv_csv, df_results)."""
    load = load_and_trim(path, vcut)
    det = detect(load["t"], load["iload"], load["v"], load["cum_mAh"])
    fit = fit_recording(det, load["t"], load["iload"], load["v"], model, warm)
    pj, oc, dfr = result_files(fit["results"], model, load["temperature"], load["cum_mAh"], det["SOC"], det["OCV_3rd"])
    return dict(load=load, det=det, fit=fit, params_json=pj, ocv_csv=oc, df_results=dfr)

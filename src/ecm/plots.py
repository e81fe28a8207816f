"""The figures of an extraction and of a validation, one matplotlib Figure
each: what the HTML report shows (it renders these to PNG) and what
``Extraction.plot_*``, ``Recording.plot*`` and ``Validation.plot`` return in
a notebook or a script. Every figure is drawn from results already computed;
nothing is fitted or simulated again. Needs matplotlib (the 'report' extra).

The figures are not registered with pyplot: save one with
``fig.savefig("name.png")``; in Jupyter a cell that returns one shows it.
"""

from __future__ import annotations

import math
import os
from typing import Any, Dict, Iterable, Optional

import numpy as np

from ecm._plotting import colormap, new_figure
from ecm.modelfile import ModelFileError, model_from_doc
from ecm.quantities import UNITS, soc_of

#: Panels per row of the pulse-fit grid.
GRID_COLUMNS = 6
#: Most points drawn for one line of the recording figure (min/max decimation keeps its envelope).
MAX_LINE_POINTS = 6000


def _decimate(x: np.ndarray, y: np.ndarray, limit: int = MAX_LINE_POINTS):
    """At most about `limit` points: the minimum and maximum of each bucket, in time order."""
    n = len(x)
    if n <= limit:
        return x, y
    per = int(math.ceil(2 * n / limit))
    m = n // per
    xs = x[: m * per].reshape(m, per)
    ys = y[: m * per].reshape(m, per)
    lo, hi = ys.argmin(axis=1), ys.argmax(axis=1)
    first, second = np.minimum(lo, hi), np.maximum(lo, hi)
    rows = np.arange(m)
    xo = np.column_stack((xs[rows, first], xs[rows, second])).ravel()
    yo = np.column_stack((ys[rows, first], ys[rows, second])).ravel()
    return np.concatenate((xo, x[m * per :])), np.concatenate((yo, y[m * per :]))


def temperature_colors(temps: Iterable[int]) -> Dict[int, Any]:
    """A colour per temperature: cold dark blue to warm orange, every shade visible on white."""
    uniq = sorted(set(temps))
    if len(uniq) == 1:
        return {uniq[0]: "tab:red"}
    cmap = colormap("plasma")
    return {t: cmap(0.05 + 0.75 * k / (len(uniq) - 1)) for k, t in enumerate(uniq)}


def _series(rec) -> Dict[str, Any]:
    if not rec.series:
        raise ValueError(f"the extraction holds no recording arrays for {rec.path}; run ecm.extract() again")
    return rec.series


def draw_ocv(ax, rec) -> None:
    """The recording's OCV-SOC curve through its relaxed points, on ax."""
    ax.plot(rec.ocv["soc"], rec.ocv["ocv"], color="0.2", lw=1.2, label="OCV curve")
    rel = rec.relaxed
    if rel is not None and len(rel):
        moved = np.abs(rel["measured"] - rel["ocv"]).max() > 1e-6
        if moved:
            ax.plot(rel["soc"], rel["measured"], "o", mfc="none", ms=4, color="0.55", label="voltage at rest end")
        ax.plot(
            rel["soc"],
            rel["ocv"],
            "o",
            ms=3.5,
            color="tab:green",
            label="relaxed points" + (" (corrected)" if moved else ""),
        )
    ax.set_xlabel("SOC")
    ax.set_ylabel("OCV (V)")
    ax.legend(loc="lower right", fontsize=8, frameon=False)
    ax.grid(True, alpha=0.3)


def ocv_figure(rec):
    """The OCV-SOC curve of one recording through its relaxed points."""
    fig = new_figure(figsize=(6, 4.2))
    ax = fig.add_subplot()
    draw_ocv(ax, rec)
    ax.set_title(f"OCV-SOC curve at {rec.temperature} C ({os.path.basename(rec.path)})", fontsize=10)
    fig.tight_layout()
    return fig


def recording_figure(rec):
    """One recording: voltage and current against time (pulses shaded, rest
    ends marked), the OCV-SOC curve and the RMS error of every pulse's fit."""
    s = _series(rec)
    t = np.asarray(s["t"], dtype=float)
    t_h = (t - t[0]) / 3600.0
    v = np.asarray(s["voltage"], dtype=float)
    i = np.asarray(s["current"], dtype=float)
    fig = new_figure(figsize=(15, 4.6))
    gs = fig.add_gridspec(2, 3, width_ratios=[2.3, 1, 1], height_ratios=[2, 1], hspace=0.08, wspace=0.28)
    av = fig.add_subplot(gs[0, 0])
    ai = fig.add_subplot(gs[1, 0], sharex=av)
    for _, p in rec.pulses.iterrows():
        for ax in (av, ai):
            ax.axvspan(
                (p["t_start"] - t[0]) / 3600.0, (p["t_end"] - t[0]) / 3600.0, color="tab:orange", alpha=0.18, lw=0
            )
    av.plot(*_decimate(t_h, v), color="0.15", lw=0.8)
    ends = np.asarray(s["rest_end"], dtype=np.int64)
    ends = ends[(ends >= 2) & (ends < len(t))]
    if len(ends):
        av.plot(t_h[ends - 2], v[ends - 2], "o", ms=3.5, color="tab:green", label="rest end (relaxed point)")
        av.legend(loc="lower left", fontsize=8, frameon=False)
    av.set_ylabel("voltage (V)")
    av.tick_params(labelbottom=False)
    av.set_title(f"{os.path.basename(rec.path)}: {len(t)} samples, {len(rec.pulses)} pulses (shaded)", fontsize=10)
    ai.plot(*_decimate(t_h, i), color="tab:blue", lw=0.8)
    ai.set_ylabel("current (A)")
    ai.set_xlabel("time (h)")

    ao = fig.add_subplot(gs[:, 1])
    draw_ocv(ao, rec)
    ao.set_title("OCV-SOC curve", fontsize=10)

    ar = fig.add_subplot(gs[:, 2])
    p = rec.pulses
    if len(p):
        ok = (p["status"] == "fitted").to_numpy()
        ar.bar(p["cycle"][ok], p["rms_mV"][ok], color="tab:blue", label="fitted")
        if (~ok).any():
            ar.bar(p["cycle"][~ok], p["rms_mV"][~ok], color="tab:red", label="flagged (see status)")
        ar.legend(loc="upper left", fontsize=8, frameon=False)
    ar.set_xlabel("pulse (cycle)")
    ar.set_ylabel("fit RMS error (mV)")
    ar.set_title("RMS error per pulse", fontsize=10)
    for ax in (av, ai, ar):
        ax.grid(True, alpha=0.3)
    fig.subplots_adjust(left=0.05, right=0.99, top=0.93, bottom=0.11)
    return fig


def pulse_fits_figure(rec):
    """Every pulse's fit against its data over the fit window, worst RMS
    first, one small panel each (None when the recording holds no fits)."""
    s = _series(rec)
    fits = s.get("fits") or []
    p = rec.pulses
    n = min(len(fits), len(p))
    if n == 0:
        return None
    order = np.argsort(-p["rms_mV"].to_numpy()[:n], kind="stable")
    cols = min(GRID_COLUMNS, n)
    rows = int(math.ceil(n / cols))
    height = 1.75 * rows + 0.45
    fig = new_figure(figsize=(2.5 * cols, height))
    axes = fig.subplots(rows, cols, squeeze=False)
    t = np.asarray(s["t"], dtype=float)
    for k, ax in enumerate(axes.ravel()):
        if k >= n:
            ax.axis("off")
            continue
        j = int(order[k])
        f = fits[j]
        a, b = int(f["window_start"]), int(f["window_end"])
        y = np.asarray(s[f["target"]], dtype=float)[a:b]
        yout = np.asarray(f["yout"], dtype=float)
        tw = (t[a:b] - t[a]) / 60.0
        m = min(len(tw), len(yout), len(y))
        scale = 1000.0 if f["target"] == "ocv_diff" else 1.0
        ax.plot(tw[:m], y[:m] * scale, color="0.6", lw=2.0)
        ax.plot(tw[:m], yout[:m] * scale, color="tab:red", lw=0.9, ls="--")
        row = p.iloc[j]
        bad = row["status"] != "fitted"
        kind = f" {row['direction']}" if "direction" in row.index else ""
        ax.set_title(
            f"#{int(row['cycle'])}{kind}  SOC {row['soc']:.2f}  {row['rms_mV']:.2f} mV",
            fontsize=7.5,
            color="tab:red" if bad else "black",
        )
        # No tick labels on the small panels (they cost most of the drawing time): the span instead.
        ax.set_xticks([])
        ax.set_yticks([])
        lo, hi = float(np.nanmin(y[:m] * scale)), float(np.nanmax(y[:m] * scale))
        ax.text(
            0.98,
            0.04,
            f"{lo:.4g} to {hi:.4g} {'mV' if scale > 1 else 'V'}\n{tw[m - 1]:.3g} min",
            transform=ax.transAxes,
            ha="right",
            va="bottom",
            fontsize=6.5,
            color="0.35",
        )
    unit = "overvoltage (voltage minus OCV)" if fits[0]["target"] == "ocv_diff" else "voltage"
    fig.suptitle(
        f"{os.path.basename(rec.path)}: every pulse's fit, worst RMS first. Grey: measured {unit}, "
        "red dashed: model, over the fit window (its range and length in the corner); red title: flagged",
        fontsize=9,
        y=1 - 0.1 / height,
        va="top",
    )
    fig.subplots_adjust(left=0.02, right=0.99, top=1 - 0.62 / height, bottom=0.1 / height, hspace=0.4, wspace=0.1)
    return fig


def parameters_figure(ex, colors: Optional[Dict[int, Any]] = None):
    """The parameters against SOC, one panel each (R0, R1, tau1, C1 and the
    second branch's), every temperature in its colour: a dot per pulse, x
    where the cycle cannot determine the time constant, open triangles for
    charge pulses; the joint method's SOC tables as lines, else the medians
    as dashed lines."""
    names = ["R0", "R1", "tau1", "C1"] + (["R2", "tau2", "C2"] if ex.model_name == "model2" else [])
    recs = sorted(ex.recordings, key=lambda r: r.temperature)
    if colors is None:
        colors = temperature_colors(r.temperature for r in recs)
    cols = 4
    rows = int(math.ceil(len(names) / cols))
    height = 3.1 * rows + 0.4
    fig = new_figure(figsize=(15, height))
    axes = fig.subplots(rows, cols, squeeze=False)
    tables = ex.tables() if ex.method == "joint" else None
    for k, ax in enumerate(axes.ravel()):
        if k >= len(names):
            ax.axis("off")
            continue
        n = names[k]
        for ri, r in enumerate(recs):
            p = r.pulses
            c = colors[r.temperature]
            if "direction" in p:  # exports: fitted pulses only; charge (regen) pulses as triangles
                p = p[p["status"] == "fitted"]
            det = np.ones(len(p), dtype=bool) if n == "R0" else p[f"tau{n[-1]}_determined"].to_numpy(dtype=bool)
            charge = (p["direction"] == "charge").to_numpy() if "direction" in p else np.zeros(len(p), dtype=bool)
            sc = p[soc_of(n, p)]
            if f"{n}_lo" in p:  # the 95 % intervals as error bars
                v = p[n].to_numpy(dtype=float)
                lo, hi = p[f"{n}_lo"].to_numpy(dtype=float), p[f"{n}_hi"].to_numpy(dtype=float)
                has = det & np.isfinite(lo) & np.isfinite(hi)
                if has.any():
                    err = np.vstack([np.maximum(v - lo, 0.0)[has], np.maximum(hi - v, 0.0)[has]])
                    ax.errorbar(sc[has], v[has], yerr=err, fmt="none", ecolor=c, elinewidth=0.8, alpha=0.6)
            ax.plot(sc[det & ~charge], p[n][det & ~charge], "o", ms=3.5, color=c, label=f"{r.temperature} C")
            if (det & charge).any():
                ax.plot(sc[det & charge], p[n][det & charge], "^", ms=4, color=c, mfc="none")
            if (~det).any():
                ax.plot(sc[~det], p[n][~det], "x", ms=4, color=c)
            if tables is not None:
                ax.plot(tables["soc"], [np.nan if x is None else x for x in tables[n][ri]], "-", color=c, lw=1.2)
            elif n in r.medians:
                ax.axhline(r.medians[n], color=c, lw=1.0, ls="--")
        ax.set_title(f"{n} ({UNITS[n]})", fontsize=10)
        ax.set_xlabel("SOC", fontsize=8)
        ax.grid(True, alpha=0.3)
        vals = np.concatenate([r.pulses[n].to_numpy(dtype=float) for r in recs]) if recs else np.array([])
        vals = vals[np.isfinite(vals) & (vals > 0)]
        if len(vals) and vals.max() / vals.min() > 30:
            ax.set_yscale("log")
    handles, labels = axes[0, 0].get_legend_handles_labels()
    what = "lines: SOC tables (linear between pulses)" if tables is not None else "dashed: medians per temperature"
    if ex.reading != "classic":
        what += " (discharge); open triangles: charge pulses"
    fig.suptitle(
        f"Parameters against SOC: dots per pulse with their 95 % intervals, x where the cycle cannot determine "
        f"the time constant; {what}",
        fontsize=10,
        y=1 - 0.08 / height,
        va="top",
    )
    fig.legend(
        handles,
        labels,
        loc="upper right",
        ncol=max(len(labels), 1),
        fontsize=9,
        frameon=False,
        bbox_to_anchor=(0.99, 1 - 0.3 / height),
    )
    fig.subplots_adjust(left=0.05, right=0.99, top=1 - 0.75 / height, bottom=0.45 / height, hspace=0.45, wspace=0.25)
    return fig


def temperature_figure(ex, colors: Optional[Dict[int, Any]] = None):
    """The model (battery_model.json) against temperature: R0, each branch's
    R and tau and the capacity, a dot per fitted temperature, the model as
    the evaluator uses it (grey) and a least-squares line; and the OCV at SOC
    0.1, 0.5 and 0.9 over temperature against each recording's curve."""
    m = ex.model
    if colors is None:
        colors = temperature_colors(r.temperature for r in ex.recordings)
    temps = np.asarray(m.get("temps", []), dtype=float)
    nt = len(temps)
    panels = [("R0", "R0 (Ohm)", np.asarray(m.get("param_9", []), dtype=float))]
    rc = np.asarray(m.get("param_10", []), dtype=float)
    rr = np.asarray(m.get("param_11", []), dtype=float)
    nb = len(rc) // nt if nt else 0
    for b in range(nb):
        panels.append((f"R{b + 1}", f"R{b + 1} (Ohm)", rr[b * nt : (b + 1) * nt]))
        panels.append((f"tau{b + 1}", f"tau{b + 1} (s)", rc[b * nt : (b + 1) * nt]))
    panels.append(("Q", "capacity (Ah)", np.asarray(m.get("param_12", []), dtype=float)))
    cols = 4
    rows = int(math.ceil((len(panels) + 1) / cols))
    height = 3.0 * rows + 0.4
    fig = new_figure(figsize=(15, height))
    axes = fig.subplots(rows, cols, squeeze=False)
    flat = axes.ravel()
    # The model over temperature as it is used (the evaluator), a little beyond the fitted temperatures.
    try:
        ev = model_from_doc(m, "battery_model.json").evaluator() if nt else None
    except (ValueError, ModelFileError):
        ev = None
    t_used = np.linspace(temps.min() - 5, temps.max() + 5, 23) if nt else temps
    used = [ev.at(float(T), False) for T in t_used] if ev is not None else []

    def used_curve(key: str) -> np.ndarray:
        if key == "R0":
            return np.array([u["r0"][0] for u in used])
        if key == "Q":
            return np.array([u["capacity_ah"] for u in used])
        b = int(key[-1]) - 1
        return np.array([u["tau" if key.startswith("tau") else "r"][b][0] for u in used])

    for k, (key, title, vals) in enumerate(panels):
        ax = flat[k]
        if len(vals) == nt and nt:
            if used:
                ax.plot(t_used, used_curve(key), "-", color="0.5", lw=1, label="model as used (evaluator)")
            for t, v in zip(temps, vals):
                ax.plot([t], [v], "o", ms=6, color=colors.get(int(round(t)), "tab:blue"))
            if nt >= 2 and len(set(temps)) >= 2:
                slope, icpt = np.polyfit(temps, vals, 1)
                tt = np.linspace(temps.min(), temps.max(), 2)
                ax.plot(tt, icpt + slope * tt, ":", color="tab:purple", lw=1.2, label="least-squares line")
        ax.set_title(title, fontsize=10)
        ax.set_xlabel("temperature (C)", fontsize=8)
        ax.grid(True, alpha=0.3)
    handles, labels = flat[0].get_legend_handles_labels()
    # The OCV over temperature as the model is used (the evaluator: the builder's linear law between the
    # temperatures, held beyond), against each temperature's curve.
    ax = flat[len(panels)]
    if ev is not None:
        soc = np.asarray(m["param_1"], dtype=float)
        curves = np.array([ev.ocv(float(T)) for T in t_used])
        for s in (0.1, 0.5, 0.9):
            j = int(np.argmin(np.abs(soc - s)))
            ax.plot(t_used, curves[:, j], "-", color="0.5", lw=1)
            for r in ex.recordings:
                oc = r.ocv["ocv"].to_numpy()
                if len(oc) > j:
                    ax.plot([r.temperature], [oc[j]], "o", ms=5, color=colors[r.temperature])
            ax.annotate(f"SOC {soc[j]:.1f}", (t_used[-1], curves[-1, j]), fontsize=7, ha="right", va="bottom")
    ax.set_title("OCV over T as the model is used", fontsize=10)
    ax.set_xlabel("temperature (C)", fontsize=8)
    ax.set_ylabel("V", fontsize=8)
    ax.grid(True, alpha=0.3)
    for extra in flat[len(panels) + 1 :]:
        extra.axis("off")
    fig.suptitle(
        "The model against temperature (battery_model.json): dots per temperature",
        fontsize=10,
        y=1 - 0.08 / height,
        va="top",
    )
    if handles:
        fig.legend(
            handles,
            labels,
            loc="upper right",
            ncol=2,
            fontsize=9,
            frameon=False,
            bbox_to_anchor=(0.99, 1 - 0.3 / height),
        )
    fig.subplots_adjust(left=0.05, right=0.99, top=1 - 0.75 / height, bottom=0.45 / height, hspace=0.45, wspace=0.25)
    return fig


def _scored(v) -> np.ndarray:
    return v.scored if getattr(v, "scored", None) is not None else np.ones(len(v.t), dtype=bool)


def draw_error_against(axes, v, limit: int = MAX_LINE_POINTS) -> None:
    """The error (model minus measured, mV) of the scored samples against SOC, current and
    temperature, one axis each, coloured by segment."""
    keep = _scored(v)
    err = v.error_mV[keep]
    seg = np.asarray(v.segment)[keep]
    cell_t = getattr(v, "cell_temperature", None)
    temp = np.asarray(cell_t)[keep] if cell_t is not None else np.full(len(err), v.temperature)
    xs = [(np.asarray(v.soc)[keep], "SOC"), (np.asarray(v.current)[keep], "current (A)"), (temp, "temperature (C)")]
    step = max(1, len(err) // limit)
    colors = {"rest": "0.45", "discharge": "tab:red", "charge": "tab:blue"}
    for ax, (x, label) in zip(axes, xs):
        for name, color in colors.items():
            sel = np.flatnonzero(seg == name)[::step]
            if len(sel):
                ax.scatter(x[sel], err[sel], s=2, color=color, alpha=0.35, lw=0, label=name, rasterized=True)
        ax.axhline(0.0, color="0.5", lw=0.6)
        ax.set_xlabel(label)
        ax.grid(True, alpha=0.3)
    axes[0].set_ylabel("model - measured (mV)")
    handles = [h for h in axes[0].collections]
    if handles:
        axes[0].legend(loc="best", frameon=False, markerscale=4, fontsize=8)


def validation_figure(v, errors: bool = False):
    """Measured against simulated voltage, the error (model minus measured,
    mV) and the current, against time in hours. errors: also the cell
    temperature the model was taken at and, below, the error of the scored
    samples against SOC, current and temperature."""
    t = (v.t - v.t[0]) / 3600.0 if len(v.t) else v.t
    fig = new_figure(figsize=(10, 10.5 if errors else 7.5))
    if errors:
        grid = fig.add_gridspec(5, 3, height_ratios=[3, 1.6, 1.2, 1.0, 2.2])
        ax = fig.add_subplot(grid[0, :])
        axes = [ax] + [fig.add_subplot(grid[k, :], sharex=ax) for k in (1, 2, 3)]
    else:
        axes = list(fig.subplots(3, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1.6, 1.4]}))
    ax = axes[0]
    ax.plot(t, v.measured, color="0.15", lw=1.0, label="measured")
    ax.plot(t, v.simulated, color="tab:orange", lw=1.0, alpha=0.9, label="model")
    ax.set_ylabel("voltage (V)")
    ax.legend(loc="best", frameon=False)
    source = getattr(v, "temperature_source", "fixed")
    where = f"at {v.temperature:g} C" if source == "fixed" else f"{source} temperature"
    scored = v.scored_text() if hasattr(v, "scored_text") else ""
    ax.set_title(
        f"{os.path.basename(v.recording)} {where}: RMS {v.rms_mV:.2f} mV, "
        f"max {v.max_mV:.2f} mV (start SOC {v.soc0:.3f})" + (f"\n{scored.lstrip(', ')}" if scored else ""),
        fontsize=10,
    )
    keep = _scored(v)
    if not keep.all() and keep.any():
        for a in axes:
            a.axvspan(t[0], t[np.flatnonzero(keep)[0]], color="0.85", alpha=0.5, lw=0)
    axes[1].plot(t, v.error_mV, color="tab:red", lw=0.8)
    axes[1].axhline(0.0, color="0.5", lw=0.6)
    axes[1].set_ylabel("model - measured (mV)")
    axes[2].plot(t, v.current, color="tab:blue", lw=0.8)
    axes[2].set_ylabel("current (A)")
    if errors:
        cell_t = getattr(v, "cell_temperature", None)
        axes[3].plot(t, cell_t if cell_t is not None else np.full(len(t), v.temperature), color="tab:green", lw=0.8)
        axes[3].set_ylabel("model T (C)")
        for a in axes[:3]:
            a.tick_params(labelbottom=False)
    axes[-1].set_xlabel("time (h)")
    for a in axes:
        a.grid(True, alpha=0.3)
    if errors:
        draw_error_against([fig.add_subplot(grid[4, k]) for k in range(3)], v)
    fig.tight_layout()
    return fig

"""The fit report: one self-contained HTML file (figures inline as PNG, no
network) that shows what an extraction did.

Per temperature: the recording (voltage and current, pulses shaded, rest ends
marked), the OCV-SOC curve through its relaxed points, the RMS error per
pulse and every pulse's fit against its data (worst first). Over all
temperatures: the parameters against SOC (per-pulse points with the tables or
the medians), the model's parameters against temperature, every warning in
words and the per-pulse table. Figures are drawn from the Extraction's
results; nothing is fitted again. Needs matplotlib (the 'report' extra).
"""

from __future__ import annotations

import base64
import datetime
import functools
import html
import io
import math
import multiprocessing
import os
import sys
import threading
from typing import Any, Callable, Dict, List, Optional, Union

import numpy as np

from ecm._plotting import pyplot
from ecm.modelfile import ModelFileError, model_from_doc
from ecm.results import short_model_name, soc_of

#: Panels per row of the pulse-fit grid.
GRID_COLUMNS = 6
#: Most points drawn for one line of the recording figure (min/max decimation keeps its envelope).
MAX_LINE_POINTS = 6000
DPI = 80

_UNITS = {"R0": "Ohm", "R1": "Ohm", "R2": "Ohm", "C1": "F", "C2": "F", "tau1": "s", "tau2": "s"}


def _png(fig, plt) -> str:
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=DPI)
    plt.close(fig)
    return base64.b64encode(buf.getvalue()).decode("ascii")


def _img(b64: Optional[str], alt: str) -> str:
    return f'<img alt="{html.escape(alt)}" src="data:image/png;base64,{b64}">'


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


def _colors(plt, temps: List[int]) -> Dict[int, Any]:
    uniq = sorted(set(temps))
    cmap = plt.get_cmap("plasma")  # cold dark blue to warm orange, every shade visible on white
    if len(uniq) == 1:
        return {uniq[0]: "tab:red"}
    return {t: cmap(0.05 + 0.75 * k / (len(uniq) - 1)) for k, t in enumerate(uniq)}


def _fmt(x: float) -> str:
    if x is None or not math.isfinite(x):
        return "–"
    return f"{x:.4g}"


def _recording_figure(plt, rec) -> str:
    s = rec.series
    t = np.asarray(s["t"], dtype=float)
    t_h = (t - t[0]) / 3600.0
    v = np.asarray(s["voltage"], dtype=float)
    i = np.asarray(s["current"], dtype=float)
    fig = plt.figure(figsize=(15, 4.6))
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
    ao.plot(rec.ocv["soc"], rec.ocv["ocv"], color="0.2", lw=1.2, label="OCV curve")
    rel = rec.relaxed
    if rel is not None and len(rel):
        moved = np.abs(rel["measured"] - rel["ocv"]).max() > 1e-6
        if moved:
            ao.plot(rel["soc"], rel["measured"], "o", mfc="none", ms=4, color="0.55", label="voltage at rest end")
        ao.plot(
            rel["soc"],
            rel["ocv"],
            "o",
            ms=3.5,
            color="tab:green",
            label="relaxed points" + (" (corrected)" if moved else ""),
        )
    ao.set_xlabel("SOC")
    ao.set_ylabel("OCV (V)")
    ao.set_title("OCV-SOC curve", fontsize=10)
    ao.legend(loc="lower right", fontsize=8, frameon=False)

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
    for ax in (av, ai, ao, ar):
        ax.grid(True, alpha=0.3)
    fig.subplots_adjust(left=0.05, right=0.99, top=0.93, bottom=0.11)
    return _png(fig, plt)


def _pulse_grid(plt, rec) -> Optional[str]:
    s = rec.series
    fits = s.get("fits") or []
    p = rec.pulses
    n = min(len(fits), len(p))
    if n == 0:
        return None
    order = np.argsort(-p["rms_mV"].to_numpy()[:n], kind="stable")
    cols = min(GRID_COLUMNS, n)
    rows = int(math.ceil(n / cols))
    height = 1.75 * rows + 0.45
    fig, axes = plt.subplots(rows, cols, figsize=(2.5 * cols, height), squeeze=False)
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
    return _png(fig, plt)


def _params_vs_soc(plt, ex, colors) -> str:
    names = ["R0", "R1", "tau1", "C1"] + (["R2", "tau2", "C2"] if ex.model_name == "model2" else [])
    cols = 4
    rows = int(math.ceil(len(names) / cols))
    height = 3.1 * rows + 0.4
    fig, axes = plt.subplots(rows, cols, figsize=(15, height), squeeze=False)
    tables = ex.tables() if ex.method == "joint" else None
    recs = sorted(ex.recordings, key=lambda r: r.temperature)
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
            ax.plot(sc[det & ~charge], p[n][det & ~charge], "o", ms=3.5, color=c, label=f"{r.temperature} C")
            if (det & charge).any():
                ax.plot(sc[det & charge], p[n][det & charge], "^", ms=4, color=c, mfc="none")
            if (~det).any():
                ax.plot(sc[~det], p[n][~det], "x", ms=4, color=c)
            if tables is not None:
                ax.plot(tables["soc"], [np.nan if x is None else x for x in tables[n][ri]], "-", color=c, lw=1.2)
            elif n in r.medians:
                ax.axhline(r.medians[n], color=c, lw=1.0, ls="--")
        ax.set_title(f"{n} ({_UNITS[n]})", fontsize=10)
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
        f"Parameters against SOC: dots per pulse, x where the cycle cannot determine the time constant; {what}",
        fontsize=10,
        y=1 - 0.08 / height,
        va="top",
    )
    fig.legend(
        handles,
        labels,
        loc="upper right",
        ncol=len(labels),
        fontsize=9,
        frameon=False,
        bbox_to_anchor=(0.99, 1 - 0.3 / height),
    )
    fig.subplots_adjust(left=0.05, right=0.99, top=1 - 0.75 / height, bottom=0.45 / height, hspace=0.45, wspace=0.25)
    return _png(fig, plt)


def _params_vs_temperature(plt, ex, colors) -> str:
    m = ex.model
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
    fig, axes = plt.subplots(rows, cols, figsize=(15, height), squeeze=False)
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
    fig.legend(
        handles, labels, loc="upper right", ncol=2, fontsize=9, frameon=False, bbox_to_anchor=(0.99, 1 - 0.3 / height)
    )
    fig.subplots_adjust(left=0.05, right=0.99, top=1 - 0.75 / height, bottom=0.45 / height, hspace=0.45, wspace=0.25)
    return _png(fig, plt)


_CSS = """
body{font-family:system-ui,-apple-system,'Segoe UI',sans-serif;margin:0;padding:18px 26px;color:#1d2330;
background:#fafbfc;max-width:1280px}
h1{font-size:22px;margin:0 0 4px} h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #d8dde6;
padding-bottom:4px} h3{font-size:15px;margin:18px 0 6px}
.meta{color:#5b6475;font-size:13px;margin-bottom:12px}
table{border-collapse:collapse;font-size:12.5px;background:#fff}
th,td{border:1px solid #d8dde6;padding:3px 8px;text-align:right} th{background:#eef1f6}
td.l,th.l{text-align:left}
img{max-width:100%;display:block;margin:6px 0;background:#fff;border:1px solid #e3e7ee}
ul.warn li{margin:2px 0;font-size:13px} .ok{color:#1a7f37} .bad{color:#b42318}
details{margin:6px 0 14px} summary{cursor:pointer;font-size:13px;color:#2a5bd7}
nav a{margin-right:12px;font-size:13px;color:#2a5bd7}
"""


def _summary_table(ex) -> str:
    names = list(ex.recordings[0].medians) if ex.recordings else []
    head = "".join(f"<th>{n} ({_UNITS.get(n, '')})</th>" for n in names)
    rows = []
    for r in sorted(ex.recordings, key=lambda r: r.temperature):
        p = r.pulses
        fitted = int((p["status"] == "fitted").sum())
        rms = float(np.median(p["rms_mV"])) if len(p) else float("nan")
        meds = "".join(f"<td>{_fmt(r.medians[n])}</td>" for n in names)
        rows.append(
            f"<tr><td>{r.temperature}</td><td class=l>{html.escape(os.path.basename(r.path))}</td>"
            f"<td>{len(p)}</td><td>{fitted}</td><td>{r.charge_Ah:.4g}</td>{meds}<td>{_fmt(rms)}</td>"
            f"<td>{len(r.warnings)}</td></tr>"
        )
    return (
        f"<table><tr><th>T (C)</th><th class=l>recording</th><th>pulses</th><th>fitted cleanly</th>"
        f"<th>charge (Ah)</th>{head}<th>median RMS (mV)</th><th>warnings</th></tr>{''.join(rows)}</table>"
    )


def _pulse_table(rec) -> str:
    p = rec.pulses
    cols = [c for c in p.columns if c not in ("t_start", "t_end")]
    text = {c for c in cols if p[c].map(lambda x: isinstance(x, str)).any()}
    head = "".join(f"<th{' class=l' if c in text else ''}>{html.escape(c)}</th>" for c in cols)
    body = []
    for _, row in p.iterrows():
        cells = []
        for c in cols:
            v = row[c]
            if isinstance(v, str):
                cells.append(f"<td class=l>{html.escape(v)}</td>")
            elif isinstance(v, (bool, np.bool_)):
                cells.append(f"<td>{'yes' if v else 'no'}</td>")
            elif isinstance(v, (int, np.integer)):
                cells.append(f"<td>{int(v)}</td>")
            else:
                cells.append(f"<td>{_fmt(float(v))}</td>")
        body.append("<tr>" + "".join(cells) + "</tr>")
    return f"<table><tr>{head}</tr>{''.join(body)}</table>"


_JOBS: List[Callable[[], Optional[str]]] = []


def _run_job(k: int) -> Optional[str]:
    return _JOBS[k]()


def _render(jobs: List[Callable[[], Optional[str]]], workers: Optional[int]) -> List[Optional[str]]:
    """Draws the figures, in forked worker processes where that is safe (Linux,
    no other thread running, more than one core), else one after the other."""
    if workers is None:
        workers = min(os.cpu_count() or 1, 4)
    safe = sys.platform.startswith("linux") and threading.active_count() == 1 and len(jobs) > 2
    if workers > 1 and safe:
        global _JOBS
        _JOBS = jobs
        try:
            ctx = multiprocessing.get_context("fork")
            with ctx.Pool(min(workers, len(jobs))) as pool:
                return pool.map(_run_job, range(len(jobs)), chunksize=1)
        except (OSError, multiprocessing.ProcessError):
            pass  # no processes to be had: draw them here
        finally:
            _JOBS = []
    return [job() for job in jobs]


def write_report(ex, path: Union[str, os.PathLike], title: Optional[str] = None, workers: Optional[int] = None) -> str:
    """Writes the HTML report of an Extraction to path; returns the path.
    workers: processes drawing the figures (default: one per core, up to 4;
    1 draws them in this process)."""
    plt = pyplot()

    recs = sorted(ex.recordings, key=lambda r: r.temperature)
    missing = [r.path for r in recs if not r.series]
    if missing:
        raise ValueError(f"the extraction holds no recording arrays for {missing[0]}; run ecm.extract() again")
    colors = _colors(plt, [r.temperature for r in recs])
    name = ex.model.get("name") or (os.path.basename(os.path.normpath(ex.folder)) if ex.folder else "recordings")
    title = title or f"Fit report: {name}"
    parts = [
        f"<!DOCTYPE html><html lang=en><head><meta charset=utf-8><title>{html.escape(title)}</title>"
        f"<style>{_CSS}</style></head><body>",
        f"<h1>{html.escape(title)}</h1>",
    ]
    when = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    parts.append(
        f"<div class=meta>{html.escape(ex.folder or '')} · {short_model_name(ex.model_name)} · method "
        f"{ex.method} · reading {ex.reading} · cut-offs {ex.low_cutoff:g} V / {ex.high_cutoff:g} V · {len(recs)} recording(s) "
        f"· written {when}</div>"
    )
    nav = ['<a href="#summary">summary</a>', '<a href="#warnings">warnings</a>']
    nav += [f'<a href="#T{k}">{r.temperature} C</a>' for k, r in enumerate(recs)]
    nav += ['<a href="#soc">parameters vs SOC</a>', '<a href="#temperature">parameters vs temperature</a>']
    parts.append("<nav>" + "".join(nav) + "</nav>")
    parts.append("<h2 id=summary>Summary</h2>" + _summary_table(ex))

    # A recording's warnings begin with its path, which the list names already.
    warnings = [
        (os.path.basename(r.path), w[len(r.path) + 2 :] if w.startswith(r.path + ": ") else w)
        for r in recs
        for w in r.warnings
    ]
    warnings += [("model", w) for w in ex.model_warnings]
    parts.append(f"<h2 id=warnings>Warnings ({len(warnings)})</h2>")
    if warnings:
        parts.append(
            "<ul class=warn>"
            + "".join(f"<li><b>{html.escape(src)}</b>: {html.escape(w)}</li>" for src, w in warnings)
            + "</ul>"
        )
    else:
        parts.append("<p class=ok>No warnings: every pulse was fitted and the model is complete.</p>")

    jobs: List[Callable[[], Optional[str]]] = []
    for r in recs:
        jobs.append(functools.partial(_recording_figure, plt, r))
    for r in recs:
        jobs.append(functools.partial(_pulse_grid, plt, r))
    jobs += [
        functools.partial(_params_vs_soc, plt, ex, colors),
        functools.partial(_params_vs_temperature, plt, ex, colors),
    ]
    images = _render(jobs, workers)
    n = len(recs)
    for k, r in enumerate(recs):
        parts.append(f"<h2 id=T{k}>{r.temperature} C · {html.escape(os.path.basename(r.path))}</h2>")
        parts.append(
            f"<div class=meta>charge {r.charge_Ah:.4g} Ah · temperature from the {r.temperature_source}"
            f" · {len(r.pulses)} pulses · {len(r.warnings)} warning(s)</div>"
        )
        parts.append(_img(images[k], f"recording at {r.temperature} C"))
        grid = images[n + k]
        if grid:
            parts.append(f"<h3>Pulse fits at {r.temperature} C</h3>" + _img(grid, f"pulse fits at {r.temperature} C"))
        parts.append(f"<details><summary>per-pulse table ({len(r.pulses)} rows)</summary>{_pulse_table(r)}</details>")

    parts.append("<h2 id=soc>Parameters against SOC</h2>" + _img(images[2 * n], "parameters vs SOC"))
    parts.append(
        "<h2 id=temperature>Parameters against temperature</h2>" + _img(images[2 * n + 1], "parameters vs temperature")
    )
    parts.append("</body></html>\n")
    out = os.fspath(path)
    d = os.path.dirname(os.path.abspath(out))
    os.makedirs(d, exist_ok=True)
    from ecm import _core

    _core.write_text_file(out, "".join(parts))
    return out

"""The fit report: one self-contained HTML file (figures inline as PNG, no
network) that shows what an extraction did.

Per temperature: the recording (voltage and current, pulses shaded, rest ends
marked), the OCV-SOC curve through its relaxed points, the RMS error per
pulse and every pulse's fit against its data (worst first). Over all
temperatures: the parameters against SOC (per-pulse points with the tables or
the medians), the model's parameters against temperature, every warning in
words and the per-pulse table. The figures are those of ecm.plots, drawn from
the Extraction's results (nothing is fitted again) and inlined as PNG. Needs
matplotlib (the 'report' extra).
"""

from __future__ import annotations

import base64
import datetime
import functools
import html
import io
import multiprocessing
import os
import sys
import threading
from typing import Any, Callable, List, Optional, Sequence, Union

from ecm import plots
from ecm._html import cell, fmt
from ecm._plotting import pyplot
from ecm.quantities import UNITS
from ecm.results import short_model_name

DPI = 80


def _png(fig) -> Optional[str]:
    """The figure as base64 PNG (None for no figure)."""
    if fig is None:
        return None
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=DPI)
    return base64.b64encode(buf.getvalue()).decode("ascii")


def _img(b64: Optional[str], alt: str) -> str:
    return f'<img alt="{html.escape(alt)}" src="data:image/png;base64,{b64}">'


def _drawn(make: Callable[..., Any], *args: Any) -> Optional[str]:
    return _png(make(*args))


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
    head = "".join(f"<th>{n} ({UNITS.get(n, '')})</th>" for n in names)
    rows = []
    for r in sorted(ex.recordings, key=lambda r: r.temperature):
        p = r.pulses
        fitted = int((p["status"] == "fitted").sum())
        rms = float(p["rms_mV"].median()) if len(p) else float("nan")
        meds = "".join(f"<td>{fmt(r.medians[n])}</td>" for n in names)
        rows.append(
            f"<tr><td>{r.temperature}</td><td class=l>{html.escape(os.path.basename(r.path))}</td>"
            f"<td>{len(p)}</td><td>{fitted}</td><td>{r.charge_Ah:.4g}</td>{meds}<td>{fmt(rms)}</td>"
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
            cells.append(f"<td{' class=l' if isinstance(v, str) else ''}>{cell(v)}</td>")
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


def write_report(
    ex,
    path: Union[str, os.PathLike],
    title: Optional[str] = None,
    workers: Optional[int] = None,
    validations: Sequence[Any] = (),
) -> str:
    """Writes the HTML report of an Extraction to path; returns the path.
    workers: processes drawing the figures (default: one per core, up to 4;
    1 draws them in this process). validations: ecm.validate results of the
    model on other recordings, each shown with its errors per segment, the
    voltages over time and the error against SOC, current and temperature."""
    pyplot()  # fails early, naming the extra, when matplotlib is missing
    recs = sorted(ex.recordings, key=lambda r: r.temperature)
    missing = [r.path for r in recs if not r.series]
    if missing:
        raise ValueError(f"the extraction holds no recording arrays for {missing[0]}; run ecm.extract() again")
    colors = plots.temperature_colors(r.temperature for r in recs)
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
    nav += [f'<a href="#V{k}">validation {k + 1}</a>' for k in range(len(validations))]
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
        jobs.append(functools.partial(_drawn, plots.recording_figure, r))
    for r in recs:
        jobs.append(functools.partial(_drawn, plots.pulse_fits_figure, r))
    jobs += [
        functools.partial(_drawn, plots.parameters_figure, ex, colors),
        functools.partial(_drawn, plots.temperature_figure, ex, colors),
    ]
    jobs += [functools.partial(_drawn, plots.validation_figure, v, True) for v in validations]
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
    for k, v in enumerate(validations):
        parts.append(f"<h2 id=V{k}>Validation on {html.escape(os.path.basename(v.recording))}</h2>")
        parts.append(
            f"<div class=meta>temperature: {html.escape(v.temperature_note or v.temperature_source)} · start SOC "
            f"{v.soc0:.4f}{html.escape(v.scored_text())} · errors are model minus measured</div>"
        )
        parts.append(f"<pre>{html.escape(v.table_text())}</pre>")
        parts.append(_img(images[2 * n + 2 + k], f"validation on {os.path.basename(v.recording)}"))
    parts.append("</body></html>\n")
    out = os.fspath(path)
    d = os.path.dirname(os.path.abspath(out))
    os.makedirs(d, exist_ok=True)
    from ecm import _core

    _core.write_text_file(out, "".join(parts))
    return out

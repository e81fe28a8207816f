"""The results as a notebook shows them: the HTML tables of Extraction,
Recording and Validation (read back with the standard library's HTML parser
and checked against numbers computed here with pandas), and the figures the
plot methods return (their axes and the data on their lines)."""

import copy
import dataclasses
import json
import os
import re
from html.parser import HTMLParser

import numpy as np
import pytest
import synthcell

import ecm

matplotlib = pytest.importorskip("matplotlib")
from matplotlib.figure import Figure  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
NOISE = dict(voltage_noise_V=0.0003, current_noise_A=0.002)


class Tables(HTMLParser):
    """Every table of a page as rows of cell texts (entities decoded), and all the page's text."""

    def __init__(self, page):
        super().__init__(convert_charrefs=True)
        self.tables, self.text, self._row = [], [], None
        self.feed(page)

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self.tables.append([])
        elif tag == "tr":
            self._row = []
        elif tag in ("td", "th"):
            self._row.append("")

    def handle_endtag(self, tag):
        if tag == "tr":
            self.tables[-1].append(self._row)
            self._row = None

    def handle_data(self, data):
        self.text.append(data)
        if self._row is not None and self._row:
            self._row[-1] += data


def number(text):
    return float("nan") if text == "–" else float(text)


def close(text, value):
    """A cell printed to four significant digits holds value."""
    if value is None or not np.isfinite(value):
        return text == "–"
    return number(text) == pytest.approx(value, rel=6e-4, abs=1e-12)


@pytest.fixture(scope="module")
def cell(tmp_path_factory):
    root = tmp_path_factory.mktemp("display")
    bf = synthcell.write_battery_folder(
        root,
        cell_name="cellN",
        capacity_mAh=500.0,
        temperatures=(25, 0),
        pulse_current_A=-2.0,
        pulse_s=60.0,
        rest_s=300.0,
        initial_rest_s=60.0,
        dt=1.0,
        **NOISE,
    )
    ex = ecm.extract(bf["folder"], model="2rc", low_cutoff=3.0, high_cutoff=4.2, method="joint")
    ex.write(root / "results")
    t, i, _ = synthcell.drive_cycle_current(600, 1.0, -2.0, seed=1)
    tt = np.arange(300 + len(t) + 300, dtype=float)
    ii = np.concatenate([np.zeros(300), i, np.zeros(300)])
    df, _ = synthcell.make_profile_recording(tt, ii, temperature_C=25.0, soc0=0.8, capacity_mAh=500.0, **NOISE)
    drive = root / "drive_500mAh_Tp25.csv"
    synthcell.write_recording_csv(df, drive)
    v = ecm.validate(root / "results", drive)
    return {"root": root, "ex": ex, "v": v, "drive": drive}


# ------------------------------------------------------------------ HTML


def test_extraction_table_holds_the_summary(cell):
    ex = cell["ex"]
    page = Tables(ex._repr_html_())
    (table,) = page.tables
    head, rows = table[0], table[1:]
    names = ["R0", "R1", "C1", "R2", "C2"]
    assert head[:6] == [
        "T (C)",
        "recording",
        "pulses fitted / total",
        "capacity (mAh)",
        "charge (Ah)",
        "median RMS (mV)",
    ]
    assert head[6:11] == ["R0 (Ohm)", "R1 (Ohm)", "C1 (F)", "R2 (Ohm)", "C2 (F)"] and head[-1] == "warnings"
    summary = ex.summary().set_index("recording")
    assert [int(r[0]) for r in rows] == sorted(r.temperature for r in ex.recordings)
    for row in rows:
        rec = next(r for r in ex.recordings if os.path.basename(r.path) == row[1])
        p = rec.pulses
        assert row[2] == f"{(p['status'] == 'fitted').sum()} / {len(p)}"
        assert row[3] == "500"  # from the file name
        assert close(row[4], summary.loc[row[1], "charge_Ah"])
        assert close(row[5], p["rms_mV"].median())
        for k, n in enumerate(names):
            assert close(row[6 + k], summary.loc[row[1], n]), (n, row)
        assert int(row[-1]) == summary.loc[row[1], "warnings"] == len(rec.warnings)
    text = "".join(page.text)
    assert "2rc model, joint method" in text and "cut-offs 3 V / 4.2 V" in text and "2 recording(s)" in text


def test_recording_shows_medians_first_pulses_and_warnings(cell):
    rec = cell["ex"].recording(25)
    page = Tables(rec._repr_html_())
    medians, pulses = page.tables
    assert medians[0] == [f"{n} ({u})" for n, u in zip(rec.medians, ["Ohm", "Ohm", "F", "Ohm", "F"])]
    for text, n in zip(medians[1], rec.medians):
        assert close(text, rec.medians[n])
    head, rows = pulses[0], pulses[1:]
    assert "t_start" not in head and head[0] == "cycle" and head[-1] == "status"
    p = rec.pulses
    assert len(rows) == min(len(p), rec.HTML_PULSE_ROWS) < len(p)
    for row, (_, want) in zip(rows, p.iterrows()):
        assert int(row[0]) == want["cycle"] and row[-1] == want["status"]
        assert close(row[head.index("R1")], want["R1"]) and close(row[head.index("rms_mV")], want["rms_mV"])
        assert row[head.index("tau1_determined")] == ("yes" if want["tau1_determined"] else "no")
    text = "".join(page.text)
    assert f"first {len(rows)} of {len(p)}" in text
    assert f"{(p['status'] == 'fitted').sum()} of {len(p)} pulses fitted" in text

    many = dataclasses.replace(rec, warnings=[f"warning number {k}" for k in range(15)])
    text = "".join(Tables(many._repr_html_()).text)
    shown = re.findall(r"warning number (\d+)", text)
    assert shown == [str(k) for k in range(many.HTML_WARNINGS)]
    assert "Warnings (15)" in text and "and 5 more" in text


def test_text_is_escaped(cell):
    ex = copy.copy(cell["ex"])
    nasty = "<img src=x onerror=alert(1)>cell & 'x'\""
    rec = dataclasses.replace(ex.recordings[0], path=f"/data/{nasty}_25C.csv", warnings=["<script>alert(1)</script>"])
    ex.recordings = [rec] + ex.recordings[1:]
    ex.folder = "/data/<i>"
    for page in (ex._repr_html_(), rec._repr_html_()):
        assert "<img" not in page and "<script>" not in page and "<i>" not in page
        assert nasty in "".join(Tables(page).text)
    assert "&lt;script&gt;" in rec._repr_html_()
    v = dataclasses.replace(cell["v"], recording="/x/<drive>.csv")
    assert "<drive>" not in v._repr_html_() and "&lt;drive&gt;.csv" in v._repr_html_()


def test_validation_shows_the_segment_table_and_start(cell, tmp_path):
    v = cell["v"]
    page = Tables(v._repr_html_())
    (table,) = page.tables
    assert table[0] == ["segment", "samples", "RMS (mV)", "max (mV)", "mean (mV)"]
    assert [r[0] for r in table[1:]] == ["overall", "rest", "discharge", "charge"]
    err = v.error_mV
    for row in table[1:]:
        e = err if row[0] == "overall" else err[v.segment == row[0]]
        assert int(row[1]) == len(e)
        assert close(row[2], np.sqrt(np.mean(e**2)))
        assert close(row[3], np.abs(e).max()) and close(row[4], e.mean())
    text = "".join(page.text)
    assert f"start SOC {v.soc0:.4f}" in text and f"{v.start_rest['voltage']:.4f} V" in text
    assert "battery_model_tables.json" in text and f"{len(v.t)} samples" in text
    given = ecm.validate(cell["root"] / "results", cell["drive"], initial_soc=0.75, tables=False)
    text = "".join(Tables(given._repr_html_()).text)
    assert "start SOC 0.7500 (given)" in text and "no SOC tables" in text


# ------------------------------------------------------------------ figures


def visible(fig):
    return [ax for ax in fig.axes if ax.axison]


def test_recording_figures(cell):
    from ecm._plotting import pyplot

    plt = pyplot()
    before = plt.get_fignums()
    rec = cell["ex"].recording(25)
    s = rec.series

    fig = rec.plot()
    assert isinstance(fig, Figure) and len(fig.axes) == 4
    av, ai, ao, ar = fig.axes
    np.testing.assert_array_equal(av.lines[0].get_ydata(), s["voltage"])  # fewer samples than the decimation limit
    np.testing.assert_array_equal(ai.lines[0].get_ydata(), s["current"])
    np.testing.assert_allclose(ao.lines[0].get_xdata(), rec.ocv["soc"])
    assert len(ar.patches) == len(rec.pulses)  # one bar per pulse
    assert len(av.patches) == len(rec.pulses)  # one shaded span per pulse

    fig = rec.plot_ocv()
    (ax,) = fig.axes
    np.testing.assert_allclose(ax.lines[0].get_ydata(), rec.ocv["ocv"])
    np.testing.assert_allclose(ax.lines[-1].get_xdata(), rec.relaxed["soc"])
    assert "25 C" in ax.get_title()

    fig = rec.plot_fits()
    panels = visible(fig)
    n = min(len(s["fits"]), len(rec.pulses))
    assert len(panels) == n and all(len(ax.lines) == 2 for ax in panels)
    rms = [float(re.search(r"([-0-9.]+) mV$", ax.get_title()).group(1)) for ax in panels]
    assert rms == sorted(rms, reverse=True)  # worst first
    # the figures are the caller's: none is left in pyplot's care
    assert plt.get_fignums() == before


def test_extraction_figures(cell):
    ex = cell["ex"]
    fig = ex.plot_parameters()
    assert isinstance(fig, Figure)
    panels = visible(fig)
    titles = [ax.get_title() for ax in panels]
    assert titles == ["R0 (Ohm)", "R1 (Ohm)", "tau1 (s)", "C1 (F)", "R2 (Ohm)", "tau2 (s)", "C2 (F)"]
    r0 = panels[0]
    tables = ex.tables()
    for k, rec in enumerate(sorted(ex.recordings, key=lambda r: r.temperature)):
        (dots,) = [ln for ln in r0.lines if ln.get_label() == f"{rec.temperature} C"]
        np.testing.assert_allclose(dots.get_ydata(), rec.pulses["R0"])
        np.testing.assert_allclose(dots.get_xdata(), rec.pulses["soc"])
        # and the SOC table of that temperature as a line
        assert any(np.allclose(ln.get_ydata(), tables["R0"][k]) for ln in r0.lines if ln.get_linestyle() == "-")

    fig = ex.plot_temperature()
    panels = visible(fig)
    titles = [ax.get_title() for ax in panels]
    assert titles == [
        "R0 (Ohm)",
        "R1 (Ohm)",
        "tau1 (s)",
        "R2 (Ohm)",
        "tau2 (s)",
        "capacity (Ah)",
        "OCV over T as the model is used",
    ]
    temps = ex.model["temps"]
    dots = [ln for ln in panels[0].lines if ln.get_marker() == "o"]
    np.testing.assert_allclose([d.get_xdata()[0] for d in dots], temps)
    np.testing.assert_allclose([d.get_ydata()[0] for d in dots], ex.model["param_9"])


def test_validation_plot_returns_the_figure_and_saves_on_request(cell, tmp_path):
    v = cell["v"]
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        fig = v.plot()
    finally:
        os.chdir(cwd)
    assert isinstance(fig, Figure) and not os.listdir(tmp_path)
    volts, error, current = fig.axes
    np.testing.assert_array_equal(volts.lines[0].get_ydata(), v.measured)
    np.testing.assert_array_equal(volts.lines[1].get_ydata(), v.simulated)
    np.testing.assert_allclose(error.lines[0].get_ydata(), v.error_mV)
    np.testing.assert_array_equal(current.lines[0].get_ydata(), v.current)
    out = tmp_path / "v.png"
    fig = v.plot(out)
    assert isinstance(fig, Figure)
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_recording_without_arrays_and_a_missing_temperature(cell):
    ex = cell["ex"]
    bare = dataclasses.replace(ex.recordings[0], series=None)
    for draw in (bare.plot, bare.plot_fits):
        with pytest.raises(ValueError, match="no recording arrays"):
            draw()
    assert ex.recording(0).temperature == 0
    with pytest.raises(KeyError, match="no recording at 40 C; the extraction holds 25 C, 0 C"):
        ex.recording(40)


def test_the_example_notebooks_are_committed_without_outputs():
    folder = os.path.join(REPO, "examples")
    found = [f for f in os.listdir(folder) if f.endswith(".ipynb")]
    assert "walkthrough.ipynb" in found
    for name in found:
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            nb = json.load(f)
        assert nb["nbformat"] == 4
        for c in nb["cells"]:
            if c["cell_type"] == "code":
                assert c["outputs"] == [] and c["execution_count"] is None, (name, c["source"])

"""extract() and its result objects.

Every number comes from the C++ pipeline that the import-time ``ecmfit`` runs
too; this module turns its plain results into pandas tables and writes them.
"""

from __future__ import annotations

import glob
import hashlib
import json
import logging
import math
import os
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

try:
    from ecm import _core
except ImportError as _e:  # pragma: no cover - the source tree shadows the installed package
    raise ImportError(
        f"ecm's compiled core is missing next to {os.path.dirname(os.path.abspath(__file__))}: this looks like "
        "the source folder; install the package with 'pip install .' and run from another directory"
    ) from _e
from ecm._errors import RecordingError, UsageError
from ecm.quantities import TABLES_FILE, UNITS, soc_of
from ecm.results import (
    DEFAULT_METHOD,
    EDGE_TIMINGS,
    METHODS,
    MODEL_NAMES,
    PARAMETERS,
    READINGS,
    Recording,
    normalise_model,
    recording_from,
    short_model_name,
)
from ecm.steps import is_classic, run_export

__all__ = [
    "METHODS",
    "MODEL_NAMES",
    "PARAMETERS",
    "TABLES_FILE",
    "Extraction",
    "Recording",
    "extract",
    "find_recordings",
    "normalise_model",
    "short_model_name",
]

log = logging.getLogger("ecm")

EXPORT_SUFFIXES = (".csv", ".txt", ".tsv", ".mpr", ".nda", ".ndax", ".xlsx", ".res", ".parquet")
#: SOC grid of the SOC x temperature tables.
TABLE_SOC = np.round(np.linspace(0.0, 1.0, 21), 10)

ProgressFn = Callable[[str, int, int, int, int], Any]


def _voltage(value: Any, name: str) -> float:
    if value is None:
        raise UsageError(f"{name} is missing; expected a voltage in volts")
    if isinstance(value, (bool, bytes)) or isinstance(value, str) and not value.strip():
        raise UsageError(f"{name} must be a number of volts, found {value!r}")
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise UsageError(f"{name} must be a number of volts, found {value!r}") from None
    if not math.isfinite(v):
        raise UsageError(f"{name} must be a finite number of volts, found {value!r}")
    return v


def find_recordings(folder: Union[str, os.PathLike]) -> List[str]:
    """The recordings of a battery folder, ``<folder>/raw_data/*.csv``, in the
    order the directory lists them (the order the import-time run uses)."""
    folder = os.fspath(folder)
    if not os.path.isdir(folder):
        what = "is not a folder" if os.path.exists(folder) else "does not exist"
        raise UsageError(f"'{folder}' {what}; expected a battery folder holding raw_data/")
    raw = os.path.join(folder, "raw_data")
    if not os.path.isdir(raw):
        # A folder of cycler exports: its CSV files in name order (text exports,
        # .txt/.tsv, when it holds no CSV).
        files = sorted(f for f in glob.glob(os.path.join(glob.escape(folder), "*")) if os.path.isfile(f))
        for suffixes in (EXPORT_SUFFIXES[:1], EXPORT_SUFFIXES[1:]):
            direct = [
                f
                for f in files
                if f.lower().endswith(suffixes)
                and not os.path.basename(f).upper().startswith(("README", "LICENSE", "LICENCE"))
                # a cycler's metadata beside its data file (test id, channel, schedule): no samples
                and not os.path.splitext(os.path.basename(f))[0].lower().endswith("metadata")
            ]
            if direct:
                return direct
        raise UsageError(
            f"'{folder}' is not a battery folder: it has no raw_data/ folder of recordings "
            f"and no recording files ({', '.join(EXPORT_SUFFIXES)})"
        )
    found = glob.glob(os.path.join(glob.escape(raw), "*.csv"))
    if not found:
        raise UsageError(f"'{raw}' holds no recording (*.csv)")
    return found


class Extraction:
    """The result of extract(): one Recording per recording, in processing
    order, and the builder's model (``model``: the content of
    ``battery_model.json``; ``model_text``: its text)."""

    def __init__(
        self, folder, recordings, model_name, low_cutoff, high_cutoff, method, model_text, model_warnings, reading
    ):
        self.folder: Optional[str] = folder
        self.recordings: List[Recording] = recordings
        self.model_name: str = model_name  # "model1" / "model2"
        self.low_cutoff: float = low_cutoff
        self.high_cutoff: float = high_cutoff
        self.method: str = method  # "pulse" / "joint": how the pulses were fitted
        self.reading: str = reading  # "classic" / "steps" / "mixed": how the recordings were read
        self.model_text: str = model_text
        self.model: Dict[str, Any] = json.loads(model_text)
        self.model_warnings: List[str] = list(model_warnings)
        self.skipped: List[Tuple[str, str]] = []  # (path, reason): recordings left out

    def __repr__(self) -> str:
        temps = ", ".join(f"{r.temperature} C" for r in self.recordings)
        return f"<Extraction {short_model_name(self.model_name)} of {len(self.recordings)} recording(s): {temps}>"

    def _repr_html_(self) -> str:
        """The summary as Jupyter shows it: one row per recording, by temperature."""
        from ecm._html import esc, fmt, table

        names = list(PARAMETERS[self.model_name])
        head = ["T (C)", "recording", "pulses fitted / total", "capacity (mAh)", "charge (Ah)", "median RMS (mV)"]
        head += [f"{n} ({UNITS[n]})" for n in names] + ["warnings"]
        rows = []
        for r in sorted(self.recordings, key=lambda r: r.temperature):
            p = r.pulses
            fitted = int((p["status"] == "fitted").sum())
            rms = float(np.median(p["rms_mV"])) if len(p) else None
            rows.append(
                [
                    esc(r.temperature),
                    esc(os.path.basename(r.path)),
                    f"{fitted} / {len(p)}",
                    "–" if r.capacity_mAh is None else str(r.capacity_mAh),
                    fmt(r.charge_Ah),
                    fmt(rms),
                ]
                + [fmt(r.medians.get(n)) for n in names]
                + [str(len(r.warnings))]
            )
        where = f" of {esc(self.folder)}" if self.folder else ""
        meta = (
            f"<p><b>Extraction</b>{where}: {short_model_name(self.model_name)} model, {esc(self.method)} method, "
            f"{esc(self.reading)} reading, cut-offs {self.low_cutoff:g} V / {self.high_cutoff:g} V, "
            f"{len(self.recordings)} recording(s), {len(self.model_warnings)} model warning(s)</p>"
        )
        return f"<div>{meta}{table(head, rows, left=[1])}</div>"

    def plot_parameters(self):
        """The parameters against SOC as a matplotlib Figure: a panel per
        quantity (R0, R1, tau1, C1 and the second branch's), each temperature
        in its colour, a dot per pulse (x where the cycle cannot determine the
        time constant, open triangles for charge pulses), with the joint
        method's SOC tables as lines, else the medians dashed. Needs
        matplotlib (the 'report' extra)."""
        from ecm.plots import parameters_figure

        return parameters_figure(self)

    def plot_temperature(self):
        """The model (``model``, as battery_model.json holds it) against
        temperature as a matplotlib Figure: R0, each branch's R and tau and the
        capacity per fitted temperature, the model as the evaluator uses it
        between and a little beyond them, and the OCV over temperature at
        three SOCs. Needs matplotlib (the 'report' extra)."""
        from ecm.plots import temperature_figure

        return temperature_figure(self)

    def recording(self, temperature: float) -> Recording:
        """The recording at this temperature (C); KeyError naming the
        temperatures there are when none or several match."""
        found = [r for r in self.recordings if abs(r.temperature - temperature) < 1e-9]
        if len(found) != 1:
            temps = ", ".join(f"{r.temperature} C" for r in self.recordings)
            what = "no recording" if not found else f"{len(found)} recordings"
            raise KeyError(f"{what} at {temperature:g} C; the extraction holds {temps}")
        return found[0]

    @property
    def warnings(self) -> List[str]:
        """Every warning of the extraction: the recordings' then the model's."""
        return [w for r in self.recordings for w in r.warnings] + self.model_warnings

    def summary(self) -> pd.DataFrame:
        """One row per recording: temperature, pulses, charge, medians, RMS, warnings."""
        rows = []
        for r in self.recordings:
            row = {
                "temperature": r.temperature,
                "recording": os.path.basename(r.path),
                "pulses": len(r.pulses),
                "fitted": int((r.pulses["status"] == "fitted").sum()),
                "charge_Ah": r.charge_Ah,
            }
            row.update(r.medians)
            row["rms_mV_median"] = float(np.median(r.pulses["rms_mV"])) if len(r.pulses) else float("nan")
            row["warnings"] = len(r.warnings)
            rows.append(row)
        return pd.DataFrame(rows)

    def tables(self) -> Dict[str, Any]:
        """SOC x temperature tables from the per-pulse parameters: per recording
        (sorted by temperature) each quantity on the SOC grid ``soc``, linear
        between pulses and held flat beyond the first and the last pulse;
        values the cycles do not determine are left out. Also the OCV table of
        each temperature on its 201-point grid."""
        recs = sorted(self.recordings, key=lambda r: r.temperature)
        names = ["R0", "R1", "tau1", "C1"] + (["R2", "tau2", "C2"] if self.model_name == "model2" else [])
        grid = [float(x) for x in TABLE_SOC]
        out: Dict[str, Any] = {
            "method": self.method,
            "reading": self.reading,
            "model": short_model_name(self.model_name),
            "soc": grid,
            "temperatures": [r.temperature for r in recs],
        }
        units = {"R": "Ohm", "t": "s", "C": "F"}
        out["units"] = {n: units[n[0]] for n in names}
        directions = [("discharge", "")]
        if any("direction" in r.pulses and (r.pulses["direction"] == "charge").any() for r in recs):
            directions.append(("charge", "_charge"))  # charge (regen) pulses have their own parameters
        for direction, suffix in directions:
            for n in names:
                rows, se_rows = [], []
                for r in recs:
                    p = r.pulses
                    if "direction" in p:
                        p = p[(p["direction"] == direction) & (p["status"] == "fitted")]
                    vals = p[n].to_numpy(dtype=float).copy()
                    if n != "R0":
                        vals[~p["tau" + n[-1] + "_determined"].to_numpy(dtype=bool)] = np.nan
                    rows.append(list(_core.soc_table(p[soc_of(n, p)].to_numpy(dtype=float), vals, grid)))
                    if n + "_se" in p:
                        soc = p[soc_of(n, p)].to_numpy(dtype=float)
                        se = p[n + "_se"].to_numpy(dtype=float)
                        se_rows.append(list(_core.soc_table_se(soc, vals, se, grid)))
                    else:
                        se_rows.append([float("nan")] * len(grid))
                out[n + suffix] = rows
                if suffix:
                    out["units"][n + suffix] = out["units"][n]
                # each entry's standard error, from the pulses that make it
                out[n + "_se" + suffix] = se_rows
                out["units"][n + "_se" + suffix] = out["units"][n]
        out["ocv"] = {
            "soc": [float(x) for x in recs[0].ocv["soc"]] if recs else [],
            "ocv": [[float(x) for x in r.ocv["ocv"]] for r in recs],
        }
        return _json_ready(out)

    def default_out_dir(self) -> str:
        if self.folder is None:
            raise UsageError("no output folder: the recordings were given as a list; pass out_dir")
        return os.path.join(self.folder, "results")

    def write(self, out_dir: Optional[Union[str, os.PathLike]] = None) -> Dict[str, Any]:
        """Writes ``<name>_params.json`` and ``<name>_ocv.csv`` of every recording
        and ``battery_model.json`` into out_dir (default: the battery folder's
        ``results``), each file whole and replaced atomically. As in the
        import-time run, the model is built from every ``*_params.json`` in
        out_dir; ``model`` and ``model_text`` are updated to what was written.
        Returns the paths written."""
        out = os.fspath(out_dir) if out_dir is not None else self.default_out_dir()
        try:
            os.makedirs(out, exist_ok=True)
        except OSError as e:
            raise OSError(f"cannot create the output folder '{out}': {e.strerror or e}") from None
        written: Dict[str, Any] = {"recordings": []}
        for r in self.recordings:
            params_file, ocv_file = _core.output_paths(out, r.path)
            _core.write_text_file(params_file, r.params_text)
            log.info("file %s written", params_file)
            _core.write_text_file(ocv_file, r.ocv_text)
            log.info("Saved file %s", ocv_file)
            written["recordings"].append({"path": r.path, "params": params_file, "ocv": ocv_file})
        files = glob.glob(os.path.join(glob.escape(out), "*_params.json"))
        built = _core.build_model_from_files(
            files, [os.path.basename(f) for f in files], self.low_cutoff, self.high_cutoff
        )
        for w in built["warnings"]:
            if w not in self.model_warnings:
                log.warning(w)
        model_file = os.path.join(out, "battery_model.json")
        _core.write_text_file(model_file, built["text"])
        log.info("Saved file '%s'", model_file)
        self.model_text = built["text"]
        self.model = json.loads(built["text"])
        self.model_warnings = list(built["warnings"])
        written["battery_model"] = model_file
        if self.method == "joint":
            written["tables"] = self._write_tables(out)
        return written

    def _write_tables(self, out: str) -> List[str]:
        tabs = self.tables()
        # which model the tables go with: a later fit that rewrites battery_model.json
        # without tables leaves these behind, and readers must not take them for its own
        tabs["model_sha256"] = hashlib.sha256(self.model_text.encode("utf-8")).hexdigest()
        paths = [os.path.join(out, TABLES_FILE)]
        _core.write_text_file(paths[0], json.dumps(tabs, indent=1))
        temps = tabs["temperatures"]
        for name in tabs["units"]:
            frame = pd.DataFrame({"soc": tabs["soc"]})
            for k, temp in enumerate(temps):
                frame[f"{temp}C" if temps.count(temp) == 1 else f"{temp}C_{k}"] = tabs[name][k]
            path = os.path.join(out, f"battery_model_table_{name}.csv")
            _core.write_text_file(path, frame.to_csv(index=False, na_rep="nan"))
            paths.append(path)
        log.info("Saved the SOC x temperature tables in %s", out)
        return paths

    def report(self, path: Union[str, os.PathLike], **options) -> str:
        """Writes a self-contained HTML report of this extraction (needs matplotlib:
        ``pip install 'ecmfit[report]'``); see ecm.report.write_report. Returns the path."""
        from ecm.report import write_report

        return write_report(self, path, **options)

    def to_dict(self, pulses: bool = True) -> Dict[str, Any]:
        """A JSON-ready summary (non-finite numbers become None)."""
        recs = []
        for r in self.recordings:
            d = {
                "path": r.path,
                "temperature": r.temperature,
                "temperature_source": r.temperature_source,
                "capacity_mAh": r.capacity_mAh,
                "charge_Ah": r.charge_Ah,
                "samples": r.samples,
                "pulses_fitted": int((r.pulses["status"] == "fitted").sum()),
                "pulses_total": len(r.pulses),
                "medians": r.medians,
                "rms_mV_median": float(np.median(r.pulses["rms_mV"])) if len(r.pulses) else None,
                "edge_timing": r.edge_timing,
                "warnings": r.warnings,
            }
            if r.protocol is not None:
                d["export"] = {
                    k: r.protocol[k]
                    for k in (
                        "preset",
                        "columns",
                        "current_sign",
                        "notes",
                        "rest_threshold_A",
                        "jump_tolerance_A",
                        "cutoff_crossed",
                        "full_charge_found",
                        "export_step_changes",
                        "pulses_discharge",
                        "pulses_charge",
                    )
                }
            if pulses:
                d["pulses"] = r.pulses.to_dict(orient="records")
                d["ocv_points"] = r.relaxed.to_dict(orient="list")
            recs.append(d)
        doc = {
            "folder": self.folder,
            "model": short_model_name(self.model_name),
            "method": self.method,
            "reading": self.reading,
            "low_cutoff": self.low_cutoff,
            "high_cutoff": self.high_cutoff,
            "recordings": recs,
            "model_name": self.model.get("name"),
            "model_warnings": self.model_warnings,
        }
        return _json_ready(doc)


def _json_ready(x):
    if isinstance(x, dict):
        return {str(k): _json_ready(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [_json_ready(v) for v in x]
    if isinstance(x, (np.integer,)):
        return int(x)
    if isinstance(x, (float, np.floating)):
        x = float(x)
        return x if math.isfinite(x) else None
    return x


class _TqdmProgress:
    """A progress bar on stderr: recordings, and the pulses of the current one."""

    def __init__(self, n_recordings: int):
        from tqdm import tqdm

        self._tqdm = tqdm
        self.files = tqdm(total=n_recordings, unit="rec", desc="recordings", position=0, dynamic_ncols=True)
        self.pulses: Any = None

    def __call__(self, path: str, index: int, n: int, done: int, total: int) -> None:
        if self.pulses is None or done == 0:
            if self.pulses is not None:
                self.pulses.close()
            self.pulses = self._tqdm(
                total=max(total, 0),
                unit="pulse",
                desc=os.path.basename(path)[:32],
                position=1,
                leave=False,
                dynamic_ncols=True,
            )
        self.pulses.update(done - self.pulses.n)  # redraws at most every tenth of a second
        if total > 0 and done >= total:
            self.files.update(1)

    def close(self) -> None:
        if self.pulses is not None:
            self.pulses.close()
        self.files.close()


def _check_arguments(
    model: str,
    method: Optional[str],
    reading: str,
    low_cutoff: Any,
    high_cutoff: Any,
    *,
    max_pulse_s: Any,
    min_rest_s: Any,
    rms_limit_mV: Any,
    capacity_mAh: Any,
    temperature: Any,
) -> Tuple[str, Optional[str], str, float, float]:
    """extract()'s settings checked, UsageError for the first bad one: the model's
    full name, the method and reading (the old method "steps" as the reading it
    means) and the two cut-offs in volts."""
    model_name = normalise_model(model)
    if method == "steps":  # the step analysis is a way of reading, not a fit; kept for old callers
        method, reading = None, "steps"
    if method is not None and method not in METHODS:
        raise UsageError(f"method {method!r} is not known; expected one of {', '.join(METHODS)}")
    if reading not in READINGS:
        raise UsageError(f"reading {reading!r} is not known; expected one of {', '.join(READINGS)}")
    vcut = _voltage(low_cutoff, "low_cutoff")
    vhigh = _voltage(high_cutoff, "high_cutoff")
    if not vhigh > vcut:
        raise UsageError(f"high_cutoff ({vhigh} V) must lie above low_cutoff ({vcut} V)")

    for name, value in (("max_pulse_s", max_pulse_s), ("min_rest_s", min_rest_s), ("rms_limit_mV", rms_limit_mV)):
        if name == "min_rest_s" and value is None:
            continue  # from the protocol's own rests
        if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
            raise UsageError(f"{name} must be a positive number, found {value!r}")
    if capacity_mAh is not None and not (isinstance(capacity_mAh, (int, float)) and capacity_mAh > 0):
        raise UsageError(f"capacity_mAh must be a positive number of mAh, found {capacity_mAh!r}")
    if temperature is not None and not (isinstance(temperature, (int, float)) and math.isfinite(temperature)):
        raise UsageError(f"temperature must be a number of degrees C, found {temperature!r}")
    return model_name, method, reading, vcut, vhigh


def _recording_paths(
    folder: Union[str, os.PathLike, Sequence[Union[str, os.PathLike]]],
) -> Tuple[Optional[str], List[str]]:
    """The battery folder (None for a list of files) and the recordings to run."""
    if isinstance(folder, (str, os.PathLike)):
        base = os.fspath(folder)
        return base, find_recordings(base)
    paths = [os.fspath(p) for p in folder]
    if not paths:
        raise UsageError("no recording given")
    for p in paths:
        if not os.path.isfile(p):
            raise UsageError(f"'{p}' is not a recording file")
    return None, paths


def _progress_reporter(
    progress: Union[None, bool, ProgressFn], n_recordings: int
) -> Tuple[Optional[_TqdmProgress], Optional[ProgressFn]]:
    """The progress bar to close at the end (progress=True) and what to report to."""
    if progress is True:
        bar = _TqdmProgress(n_recordings)
        return bar, bar
    if callable(progress):
        return None, progress
    if progress in (None, False):
        return None, None
    raise UsageError("progress must be None, True/False or a callable")


def _naming(path: str, e: BaseException) -> RecordingError:
    """A failure while reading or fitting a recording, as a RecordingError whose message names the file."""
    msg = str(e)
    return RecordingError(msg if path in msg else f"{path}: {msg}")


def _extract_one(
    path: str,
    model_name: str,
    vcut: float,
    method: Optional[str],
    reading: str,
    export_options: Dict[str, Any],
    warm: Any,
    progress: Optional[Callable[[int, int], Any]],
    debug: Optional[Callable[[str], Any]],
) -> Recording:
    """One recording read and fitted: through the step analysis or the classic
    pipeline, as ``reading`` says; a failure is a RecordingError naming the file."""
    if reading == "auto":
        use_steps = bool(export_options["columns"] or export_options["preset"]) or not is_classic(path)
    else:
        use_steps = reading == "steps"
    try:
        if use_steps:
            return run_export(
                path,
                model=model_name,
                low_cutoff=vcut,
                method=method or DEFAULT_METHOD,
                progress=progress,
                **export_options,
            )
        raw = _core.read_recording(path, strict=True)
        res = _core.extract(
            raw["t"],
            raw["current"],
            raw["voltage"],
            path,
            reading="classic",
            method=method or DEFAULT_METHOD,
            model=model_name,
            vcut=vcut,
            warm=warm,
            progress=progress,
            debug=debug,
            temperature=float(raw["temperature"]),
            temperature_source=raw["temperature_source"],
            edge_timing=export_options["edge_timing"],
        )
    except (RecordingError, UsageError):
        raise
    except KeyError as e:  # a missing column: the message is the first argument
        raise RecordingError(e.args[0] if e.args else str(e)) from None
    except (ValueError, OSError, UnicodeError) as e:
        raise _naming(path, e) from e
    return recording_from(res)


def extract(
    folder: Union[str, os.PathLike, Sequence[Union[str, os.PathLike]]],
    *,
    model: str = "2rc",
    low_cutoff: float,
    high_cutoff: float,
    method: Optional[str] = None,
    reading: str = "auto",
    progress: Union[None, bool, ProgressFn] = None,
    columns: Optional[Dict[str, str]] = None,
    preset: Optional[str] = None,
    temperature: Optional[float] = None,
    capacity_mAh: Optional[float] = None,
    max_pulse_s: float = 600.0,
    min_rest_s: Optional[float] = None,
    rms_limit_mV: float = 5.0,
    edge_timing: str = "reading",
    strict: bool = False,
) -> Extraction:
    """Runs the extraction over a battery folder (``<folder>/raw_data/*.csv``, in
    directory order, as the import-time run) or over a list of recording paths.

    model: "1rc"/"2rc" (or "model1"/"model2"); low_cutoff: every recording is cut
    before its first sample below it (V); high_cutoff: the top of the model's
    voltage axis (V); method: "joint" (the default: every cycle or pulse window fitted whole, the
    accurate fit) or "pulse" (the two-pass fit of the import-time run, its files byte for byte on
    classic recordings); progress:
    True for a progress bar on stderr, or a callable
    ``progress(path, index, n_recordings, pulses_done, pulses_total)``.

    Recordings that are not in the classic layout (``Seconds``, ``Current(A)``,
    ``Voltage(V)``), or any recording with reading "steps" or a ``columns`` map /
    ``preset``, go through the step analysis: the current split into steps,
    pulses (discharge and charge, up to ``max_pulse_s``) fitted over windows
    from the rest before them through what follows, SOC by coulomb counting
    from the full-charge rest, OCV points at the ends of rests of at least
    ``min_rest_s`` (None: most of the typical length of the protocol's own long
    rests, those after its SOC steps); a fit above ``rms_limit_mV`` is kept but
    flagged in its status ("fitted, RMS 12.3 mV above 5 mV") and enters the
    medians only when no pulse of the recording is within the limit. ``columns`` maps
    time/current/voltage/temperature/step to column names (``name:unit`` for
    other units), ``preset`` names a cycler layout (ecm.exports.PRESETS);
    ``temperature`` (degC) and ``capacity_mAh`` override what the data and
    the file name say. ``edge_timing`` says when the current's steps happened
    within their sample intervals, which pulse data cannot tell (a later step
    looks like a smaller branch resistance and a larger R0): "reading" (default:
    classic recordings linear between samples, exports right after the last
    sample of the old current), "linear", "after-sample", "mid-interval" or
    "at-sample" (at the first sample of the new current, which a cycler logging
    at its step edges reports). It applies to the joint method and to either
    method on exports; each recording's ``edge_timing`` says what was used.

    A recording that cannot be used is left out: the extraction's ``skipped``
    lists (path, reason) and a warning says so, and the others go on; with
    ``strict=True`` (or when no recording can be used) it raises.

    Raises UsageError for bad arguments, RecordingError (a ValueError) naming
    the file when a recording cannot be used (strict) or none can. Nothing is written; see
    Extraction.write(). Safe to call from several threads at once.
    """
    model_name, method, reading, vcut, vhigh = _check_arguments(
        model,
        method,
        reading,
        low_cutoff,
        high_cutoff,
        max_pulse_s=max_pulse_s,
        min_rest_s=min_rest_s,
        rms_limit_mV=rms_limit_mV,
        capacity_mAh=capacity_mAh,
        temperature=temperature,
    )
    if edge_timing not in EDGE_TIMINGS:
        raise UsageError(f"edge_timing {edge_timing!r} is not known; expected one of {', '.join(EDGE_TIMINGS)}")
    base, paths = _recording_paths(folder)
    bar, report = _progress_reporter(progress, len(paths))
    export_options: Dict[str, Any] = dict(
        edge_timing=edge_timing,
        columns=columns,
        preset=preset,
        temperature=temperature,
        capacity_mAh=capacity_mAh,
        max_pulse_s=max_pulse_s,
        min_rest_s=min_rest_s,
        rms_limit_mV=rms_limit_mV,
    )

    debug = log.debug if log.isEnabledFor(logging.DEBUG) else None
    warm = _core.WarmStart()
    recordings: List[Recording] = []
    skipped: List[Tuple[str, str]] = []
    failures: List[RecordingError] = []
    try:
        for index, path in enumerate(paths):
            log.info("started processing file '%s'", path)
            cb = None
            if report is not None:

                def cb(done, total, _path=path, _index=index):
                    report(_path, _index, len(paths), done, total)

            try:
                rec = _extract_one(path, model_name, vcut, method, reading, export_options, warm, cb, debug)
            except RecordingError as e:
                if strict:
                    raise
                log.warning("%s (left out)", e)
                skipped.append((path, str(e)))
                failures.append(e)
                continue
            for w in rec.warnings:
                log.warning(w)
            recordings.append(rec)
    finally:
        if bar is not None:
            bar.close()

    if not recordings:
        if len(failures) == 1:
            raise failures[0]
        raise RecordingError(
            f"no recording could be used ({len(skipped)} tried): " + "; ".join(reason for _, reason in skipped)
        )
    records = []
    for r in recordings:
        d = r.param_record()
        d["name"] = os.path.basename(_core.output_paths("", r.path)[0])
        records.append(d)
    built = _core.build_model_from_data(records, vcut, vhigh)
    for w in built["warnings"]:
        log.warning(w)
    kinds = {"steps" if r.protocol is not None else "classic" for r in recordings}
    read = kinds.pop() if len(kinds) == 1 else "mixed"
    fit = method or DEFAULT_METHOD
    out = Extraction(
        base,
        recordings,
        model_name,
        vcut,
        vhigh,
        fit,
        built["text"],
        list(built["warnings"]) + [f"{p}: left out: {why}" for p, why in skipped],
        read,
    )
    out.skipped = skipped
    return out

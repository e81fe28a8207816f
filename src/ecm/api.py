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
from ecm.settings import FIT_SETTINGS_FILE, load_fit_settings  # noqa: F401  (ecm.api's names too)
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
#: The settings a fit used, written beside its results (read by ecm report and ecm validate).
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
    ``battery_model.json``; ``model_text``: its text). ``cutoff_sources``
    says where each cut-off came from ("given", or a recording's data);
    ``settings`` holds extract()'s arguments as given, which write() keeps in
    ``fit_settings.json`` beside the results."""

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
        # slow tests that fill the OCV (ecm.ocvtest.fill_ocv_tables), one per temperature at most
        self.ocv_fills: List[Dict[str, Any]] = []
        # where each cut-off came from: "given", or the data of a recording (exports given none)
        self.cutoff_sources: Dict[str, str] = {"low": "given", "high": "given"}
        # extract()'s arguments as given (None: from the data), written as fit_settings.json
        self.settings: Dict[str, Any] = {}

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
            rms = float(p["rms_mV"].median()) if len(p) else None
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
            row["rms_mV_median"] = float(r.pulses["rms_mV"].median()) if len(r.pulses) else float("nan")
            row["warnings"] = len(r.warnings)
            rows.append(row)
        return pd.DataFrame(rows)

    @staticmethod
    def _branches_left_out(out: Dict[str, Any], names: List[str], suffix: str) -> None:
        """A branch that no pulse of a temperature determines at its own time scale (every value
        left out of its tables) is a branch of no resistance there, not the model's median: that
        median comes from branches far slower than their pulses, which a sustained load would
        extrapolate far beyond what the pulses showed (on a PyBaMM SPM cell 134 mV RMS on a drive
        cycle, 43 mV without the branch)."""
        for n in names:
            if not n.startswith("R") or n == "R0":
                continue
            b = n[1:]
            for k, row in enumerate(out[n + suffix]):
                known_r0 = np.isfinite(np.asarray(out["R0" + suffix][k], dtype=float)).any()
                if not known_r0 or np.isfinite(np.asarray(row, dtype=float)).any():
                    continue
                out[n + suffix][k] = [0.0] * len(row)
                tau = np.asarray(out["tau" + b + suffix][k], dtype=float)
                fill = float(np.nanmedian(tau)) if np.isfinite(tau).any() else TABLE_TAU_LEFT_OUT
                out["tau" + b + suffix][k] = [fill] * len(row)

    def tables(self, slow: bool = True) -> Dict[str, Any]:
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
                        keep = p["tau" + n[-1] + "_determined"].to_numpy(dtype=bool).copy()
                        # a branch much slower than its pulse is known there only as R (1 - exp(-T / tau)):
                        # under a sustained load it would be extrapolated far beyond what the pulse showed
                        loaded = (p["t_end"] - p["t_start"]).to_numpy(dtype=float)
                        keep &= ~(
                            p["tau" + n[-1]].to_numpy(dtype=float) > TABLE_TAU_PER_PULSE * np.maximum(loaded, 1.0)
                        )
                        vals[~keep] = np.nan
                    rows.append(
                        list(_core.soc_table(p[soc_of(n, p)].to_numpy(dtype=float), vals, grid, cluster=TABLE_CLUSTER))
                    )
                    if n + "_se" in p:
                        soc = p[soc_of(n, p)].to_numpy(dtype=float)
                        se = p[n + "_se"].to_numpy(dtype=float)
                        se_rows.append(list(_core.soc_table_se(soc, vals, se, grid, cluster=TABLE_CLUSTER)))
                    else:
                        se_rows.append([float("nan")] * len(grid))
                out[n + suffix] = rows
                if suffix:
                    out["units"][n + suffix] = out["units"][n]
                # each entry's standard error, from the pulses that make it
                out[n + "_se" + suffix] = se_rows
                out["units"][n + "_se" + suffix] = out["units"][n]
            self._branches_left_out(out, names, suffix)
        fits = [r.slow for r in recs]
        if slow and recs and all(f is not None for f in fits):
            # the slow branch fitted on each whole recording (and a calibration's OCV offsets)
            slows: List[Dict[str, Any]] = [f for f in fits if f is not None]
            out["R_slow"] = [list(np.interp(grid, f["soc"], f["R"])) for f in slows]
            out["tau_slow"] = [[f["tau"]] * len(grid) for f in slows]
            out["units"].update({"R_slow": "Ohm", "tau_slow": "s"})
            if any(f["OCV_offset"] is not None for f in slows):
                out["OCV_offset"] = [
                    list(np.interp(grid, f["soc"], f["OCV_offset"]))
                    if f["OCV_offset"] is not None
                    else [0.0] * len(grid)
                    for f in slows
                ]
                out["units"]["OCV_offset"] = "V"
        out["ocv"] = {
            "soc": [float(x) for x in recs[0].ocv["soc"]] if recs else [],
            "ocv": [[float(x) for x in r.ocv["ocv"]] for r in recs],
        }
        if self.ocv_fills:
            from ecm.ocvtest import ocv_block

            out["OCV"] = ocv_block(self.recordings, self.ocv_fills)
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
        written["settings"] = self._write_settings(out)
        return written

    def _write_settings(self, out: str) -> str:
        """fit_settings.json: what was fitted (the folder or the files, absolute)
        and with which settings, so that a later report or validation of these
        results can fit the same way."""
        doc = {
            "folder": os.path.abspath(self.folder) if self.folder else None,
            "recordings": [os.path.abspath(r.path) for r in self.recordings]
            + [os.path.abspath(p) for p, _ in self.skipped],
            "settings": dict(self.settings, method=self.method),
            "low_cutoff": self.low_cutoff,
            "high_cutoff": self.high_cutoff,
            "cutoff_sources": dict(self.cutoff_sources),
        }
        path = os.path.join(out, FIT_SETTINGS_FILE)
        _core.write_text_file(path, json.dumps(_json_ready(doc), indent=1) + "\n")
        return path

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
        if "OCV" in tabs:
            block = tabs["OCV"]
            frame = pd.DataFrame({"soc": block["soc"]})
            for k, temp in enumerate(block["temperatures"]):
                frame[f"{temp}C" if block["temperatures"].count(temp) == 1 else f"{temp}C_{k}"] = block["ocv"][k]
            path = os.path.join(out, "battery_model_table_OCV.csv")
            _core.write_text_file(path, frame.to_csv(index=False))
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
                "rms_mV_median": float(r.pulses["rms_mV"].median()) if len(r.pulses) else None,
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
            "cutoff_sources": dict(self.cutoff_sources),
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
) -> Tuple[str, Optional[str], str, Optional[float], Optional[float]]:
    """extract()'s settings checked, UsageError for the first bad one: the model's
    full name, the method and reading (the old method "steps" as the reading it
    means) and the two cut-offs in volts (None: from the data of the exports)."""
    model_name = normalise_model(model)
    if method == "steps":  # the step analysis is a way of reading, not a fit; kept for old callers
        method, reading = None, "steps"
    if method is not None and method not in METHODS:
        raise UsageError(f"method {method!r} is not known; expected one of {', '.join(METHODS)}")
    if reading not in READINGS:
        raise UsageError(f"reading {reading!r} is not known; expected one of {', '.join(READINGS)}")
    vcut = None if low_cutoff is None else _voltage(low_cutoff, "low_cutoff")
    vhigh = None if high_cutoff is None else _voltage(high_cutoff, "high_cutoff")
    if vcut is not None and vhigh is not None and not vhigh > vcut:
        raise UsageError(f"high_cutoff ({vhigh} V) must lie above low_cutoff ({vcut} V)")

    for name, value in (("max_pulse_s", max_pulse_s), ("min_rest_s", min_rest_s), ("rms_limit_mV", rms_limit_mV)):
        if name in ("min_rest_s", "rms_limit_mV") and value is None:
            continue  # from the protocol's own rests; 5 mV or 2 % of the window's swing
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
    vcut: Optional[float],
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
        if vcut is None:
            raise UsageError(
                f"{path} is a classic pulse recording: it needs the low cut-off (--low-cutoff V, low_cutoff=); "
                "only cycler exports read by the step analysis take their cut-offs from the data"
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


#: Pulses closer in SOC than this make one point of the SOC tables (their median): the several
#: currents of one SOC point of an HPPC test.
TABLE_CLUSTER = 0.02

#: A branch enters the SOC tables only when its time constant is at most this many times its pulse's
#: length.
TABLE_TAU_PER_PULSE = 20.0
#: The time constant (s) of a branch of no resistance, where the tables leave a branch out at a temperature.
TABLE_TAU_LEFT_OUT = 1.0

#: Where the slow time constant is sought (s): beyond the pulses' branches, within what hours of
#: testing can show.
SLOW_TAU_RANGE = (300.0, 20000.0)
#: How smooth the slow resistance is over SOC (the weight of its second differences).
SLOW_SMOOTH = 10.0
#: How much a pulse test's samples under load count in the slow branch's fit against its settled rests.
#: Under load the fast model's residual also carries the OCV between the relaxed points and the pulse
#: branches at a current unlike the pulses'; the slow branch absorbed both (too large a resistance at
#: low SOC). The rests, once the fast branches have relaxed, show the slow branch alone.
SLOW_LOAD_WEIGHT = 0.0


def fit_slow_branches(
    ex: Extraction,
    calibrate: Sequence[str] = (),
    window: Optional[Tuple[float, float]] = None,
    columns: Optional[Dict[str, str]] = None,
    preset: Optional[str] = None,
) -> None:
    """Fits the slow branch of every recording of ``ex`` on the whole recording
    (C++ ``fit_slow_branch``), with the dynamic recordings ``calibrate`` joined to the
    recording nearest in temperature (and then an OCV offset over SOC); stores each
    recording's fit in ``Recording.slow``, used by ``Extraction.tables()``."""
    from ecm.modelfile import model_from_doc
    from ecm.validate import validate

    tabs = ex.tables(slow=False)
    model = model_from_doc(ex.model, "the fitted model")
    model.tables = tabs
    drives: Dict[int, List[Dict[str, Any]]] = {}
    for path in calibrate:
        val = validate(model, path, columns=columns, preset=preset)
        k = int(np.argmin([abs(float(r.temperature) - val.temperature) for r in ex.recordings]))
        seg: Dict[str, Any] = {"t": val.t, "i": val.current, "v": val.measured, "soc0": val.soc0}
        if window is not None:
            seg["from"], seg["to"] = float(window[0]), float(window[1])
        drives.setdefault(k, []).append(seg)
        log.info(
            "calibrating the %s C model on %s (%s)",
            ex.recordings[k].temperature,
            path,
            f"{window[0]:g} to {window[1]:g} s" if window else "whole recording",
        )
    for k, r in enumerate(ex.recordings):
        s = r.series
        if s is None or not len(r.pulses):
            raise RecordingError(f"{r.path}: no samples or pulses to fit a slow branch on")
        at = model.at(float(r.temperature), use_tables=True)
        fitted = r.pulses[r.pulses["status"].astype(str).str.startswith("fitted")]
        anchors = fitted if len(fitted) else r.pulses
        t = np.asarray(s["t"], dtype=float)
        segs: List[Dict[str, Any]] = [
            {
                "t": t,
                "i": np.asarray(s["current"], dtype=float),
                "v": np.asarray(s["voltage"], dtype=float),
                "anchor_t": 0.5 * (anchors["t_start"].to_numpy(float) + anchors["t_end"].to_numpy(float)),
                "anchor_soc": anchors["soc"].to_numpy(float),
                "load_weight": SLOW_LOAD_WEIGHT,
            }
        ]
        segs += drives.get(k, [])
        soc_min = float(np.min(r.relaxed["soc"])) if len(r.relaxed) else 0.0
        try:
            got = _core.fit_slow_branch(
                segs,
                at.ocv_soc,
                at.ocv_v,
                at.param_soc,
                at.r0,
                at.r,
                at.tau,
                at.capacity_ah,
                tau_min=SLOW_TAU_RANGE[0],
                tau_max=SLOW_TAU_RANGE[1],
                soc_min=soc_min,
                smooth=SLOW_SMOOTH,
                ocv_offsets=bool(drives.get(k)),
                out_soc=np.asarray(tabs["soc"], dtype=float),
            )
        except ValueError as e:
            raise RecordingError(f"{r.path}: the slow branch cannot be fitted: {e}") from None
        r.slow = {
            "tau": float(got["tau"]),
            "soc": [float(x) for x in got["soc"]],
            "R": [float(x) for x in got["r"]],
            "OCV_offset": [float(x) for x in got["ocv_offset"]] if drives.get(k) else None,
            "x0": [float(x) for x in got["x0"]],
            "soc0": [float(x) for x in got["soc0"]],
            "rms_before_mV": [float(x) for x in got["rms_before_mV"]],
            "rms_after_mV": [float(x) for x in got["rms_after_mV"]],
            "calibrated_on": [c for c in calibrate] if drives.get(k) else [],
        }
        lo, hi = SLOW_TAU_RANGE
        if not lo * 1.001 < r.slow["tau"] < hi * 0.999:
            r.warnings.append(
                f"{r.path}: the slow branch's time constant ended on its {'lower' if r.slow['tau'] < lo * 1.001 else 'upper'} "
                f"bound ({r.slow['tau']:.0f} s; it may lie within {lo:g} to {hi:g} s): the recording does not pin "
                "a slow process there (an upper bound with R near 0: none found), so the slow branch is a fit of "
                "convenience"
            )
        log.info(
            "%s: slow branch tau %.0f s, R %.1f to %.1f mOhm over SOC; whole-recording RMS %.1f -> %.1f mV",
            os.path.basename(r.path),
            r.slow["tau"],
            1000 * min(r.slow["R"]),
            1000 * max(r.slow["R"]),
            r.slow["rms_before_mV"][0],
            r.slow["rms_after_mV"][0],
        )


def extract(
    folder: Union[str, os.PathLike, Sequence[Union[str, os.PathLike]]],
    *,
    model: str = "2rc",
    low_cutoff: Optional[float] = None,
    high_cutoff: Optional[float] = None,
    method: Optional[str] = None,
    reading: str = "auto",
    progress: Union[None, bool, ProgressFn] = None,
    columns: Optional[Dict[str, str]] = None,
    preset: Optional[str] = None,
    temperature: Optional[float] = None,
    capacity_mAh: Optional[float] = None,
    max_pulse_s: float = 600.0,
    min_rest_s: Optional[float] = None,
    rms_limit_mV: Optional[float] = None,
    edge_timing: str = "reading",
    strict: bool = False,
    ocv_tests: Optional[Sequence[Union[str, os.PathLike]]] = None,
    slow: bool = False,
    calibrate: Union[None, str, os.PathLike, Sequence[Union[str, os.PathLike]]] = None,
    calibrate_window: Optional[Tuple[float, float]] = None,
) -> Extraction:
    """Runs the extraction over a battery folder (``<folder>/raw_data/*.csv``, in
    directory order, as the import-time run) or over a list of recording paths.

    model: "1rc"/"2rc" (or "model1"/"model2"); low_cutoff: every recording is cut
    before its first sample below it (V); high_cutoff: the top of the model's
    voltage axis (V); either None (the default) for exports read by the step
    analysis: the lowest (highest) voltage their recordings reach under load, else
    their lowest (highest) voltage (``cutoff_sources`` of the result says which);
    classic recordings need both given. method: "joint" (the default: every cycle or pulse window fitted whole, the
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
    rests, those after its SOC steps); a fit above ``rms_limit_mV`` (None: 5 mV, or 2 %
    of the voltage's swing over the pulse's window where that is more, as a cold
    cell's pulses need) is kept but
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

    ``slow=True`` adds a slow RC branch fitted on each whole recording (driven by
    its pulses, SOC steps and long rests from the relaxation it starts in, scored
    on the settled rests) on top of the pulse fits: its resistance over SOC, one
    time constant and each
    recording's starting slow state, in the tables as ``R_slow`` and
    ``tau_slow`` (the model's last RC branch wherever it is used).
    ``calibrate`` (one or more dynamic recordings such as drive cycles; implies
    ``slow``) fits the slow branch and an OCV offset over SOC (``OCV_offset``)
    on each dynamic recording jointly with the pulse test nearest in
    temperature; ``calibrate_window`` (start, end) in s limits the stretch of
    the dynamic recordings used, so the rest can judge the model. Needs the
    joint method.

    A recording that cannot be used is left out: the extraction's ``skipped``
    lists (path, reason) and a warning says so, and the others go on; with
    ``strict=True`` (or when no recording can be used) it raises.

    ``ocv_tests``: slow discharge tests (C/20, optionally followed by a charge),
    one per temperature, that fill the OCV curve between the relaxed points of
    the pulse recording nearest in temperature (ecm.ocvtest); the joint method
    writes the curves as the "OCV" table of battery_model_tables.json, which
    validation and the exports then use. battery_model.json is unchanged.

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
    if isinstance(ocv_tests, (str, os.PathLike)):
        ocv_tests = [ocv_tests]
    if ocv_tests and (method or DEFAULT_METHOD) != "joint":
        raise UsageError(
            "ocv_tests (--ocv-test) need the joint method: the filled OCV is written with its tables "
            "(battery_model_tables.json)"
        )
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
    vcut, vhigh, sources = _cutoffs_of(recordings, vcut, vhigh)
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
    out.cutoff_sources = sources
    out.settings = dict(
        model=short_model_name(model_name),
        low_cutoff=low_cutoff,
        high_cutoff=high_cutoff,
        method=method,
        reading=reading,
        strict=strict,
        **export_options,
        ocv_tests=[os.fspath(x) for x in ocv_tests] if ocv_tests else None,
        slow=bool(slow),
        calibrate=[os.fspath(x) for x in ([calibrate] if isinstance(calibrate, (str, os.PathLike)) else calibrate)]
        if calibrate
        else None,
        calibrate_window=list(calibrate_window) if calibrate_window else None,
    )
    if ocv_tests:
        from ecm.ocvtest import fill_ocv_tables

        out.ocv_fills = fill_ocv_tables(recordings, list(ocv_tests), temperature)
        for f in out.ocv_fills:
            log.info(
                "OCV at %g C filled from %s (SOC %.3f to %.3f, %d relaxed points)",
                f["temperature"],
                f["path"],
                f["soc_low"],
                f["soc_high"],
                f["relaxed_used"],
            )
    if slow or calibrate:
        if fit != "joint":
            raise UsageError("the slow branch and calibration need the joint method (method='joint')")
        cal = [] if calibrate is None else [calibrate] if isinstance(calibrate, (str, os.PathLike)) else list(calibrate)
        fit_slow_branches(out, [os.fspath(c) for c in cal], calibrate_window, columns=columns, preset=preset)
    return out


def _cutoffs_of(
    recordings: List[Recording], vcut: Optional[float], vhigh: Optional[float]
) -> Tuple[float, float, Dict[str, str]]:
    """The cut-offs of the model: the given ones, else the widest the exports'
    data give (the lowest low, the highest high), with where each came from."""
    sources = {"low": "given", "high": "given"}
    found = [(r, r.protocol["data_cutoffs"]) for r in recordings if r.protocol and "data_cutoffs" in r.protocol]
    if vcut is None or vhigh is None:
        if not found:
            raise UsageError(
                "no cut-off voltages given and no export to take them from; pass low_cutoff and high_cutoff"
            )
        if vcut is None:
            r, c = min(found, key=lambda rc: rc[1]["low"])
            vcut = float(c["low"])
            sources["low"] = f"{c['low_source']} of {os.path.basename(r.path)}"
        if vhigh is None:
            r, c = max(found, key=lambda rc: rc[1]["high"])
            vhigh = float(c["high"])
            sources["high"] = f"{c['high_source']} of {os.path.basename(r.path)}"
        if not vhigh > vcut:
            raise UsageError(f"the cut-offs from the data ({vcut:g} V, {vhigh:g} V) leave no voltage range; give both")
    return vcut, vhigh, sources

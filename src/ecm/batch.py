"""Many cells: one Dask task per battery folder of a database.

Each task runs extract() on one folder and writes its files; the batch adds
the scheduling (dask.distributed: a local cluster, or a running scheduler),
fingerprints for resuming, and the summary tables. Nothing numerical happens
here.

    from ecm.batch import run_batch
    result = run_batch("/data/cells", low_cutoff=3.0, high_cutoff=4.2, workers=8)
    result.summary      # one row per cell and temperature
    result.spread       # median and 5th-95th percentile across cells, per parameter and temperature
"""

from __future__ import annotations

import hashlib
import json
import logging
import math
import os
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np
import pandas as pd

from ecm import _core
from ecm._errors import UsageError

log = logging.getLogger("ecm")

FINGERPRINT_FILE = ".ecm_batch.json"
SUMMARY_CSV = "batch_summary.csv"
SUMMARY_PARQUET = "batch_summary.parquet"
SPREAD_CSV = "batch_spread.csv"
CONFIG_FILE = "input_params.json"
#: A folder of cycler exports: its settings, with the keys of ecm fit's options.
CELL_FILE = "ecm.json"
#: ecm.json's keys (dashes or underscores) and the extract() arguments they set.
CELL_KEYS = {
    "model": "model",
    "method": "method",
    "reading": "reading",
    "low_cutoff": "low_cutoff",
    "high_cutoff": "high_cutoff",
    "preset": "preset",
    "columns": "columns",
    "temperature": "temperature",
    "capacity": "capacity_mAh",
    "max_pulse": "max_pulse_s",
    "min_rest": "min_rest_s",
    "rms_limit": "rms_limit_mV",
    "edge_timing": "edge_timing",
}


def _is_export_folder(root: str, files: List[str]) -> bool:
    """A folder of cycler exports: it holds an ecm.json, or recording files of the
    export formats (not the batch's own summaries)."""
    from ecm.api import EXPORT_SUFFIXES

    if CELL_FILE in files:
        return True
    return any(
        f.lower().endswith(EXPORT_SUFFIXES)
        and not f.startswith(("batch_", "README", "LICENSE"))
        and not os.path.splitext(f)[0].lower().endswith("metadata")
        for f in files
    )


def find_cells(database: str) -> List[str]:
    """Every cell under database, sorted: a battery folder (holding raw_data/) or,
    below the database itself, a folder of cycler exports (holding an ecm.json
    or export files)."""
    database = os.fspath(database)
    if not os.path.isdir(database):
        raise UsageError(f"'{database}' is not a folder; expected a database of battery folders")
    cells = []
    for root, dirs, files in os.walk(database):
        if "raw_data" in dirs or (root != database and _is_export_folder(root, files)):
            cells.append(root)
            dirs[:] = []  # a cell holds no further cells
        else:
            dirs[:] = sorted(d for d in dirs if not d.startswith(".") and d != "results")
    if not cells:
        raise UsageError(
            f"'{database}' holds no battery folder (a folder with a raw_data/ folder of recordings) and no "
            f"folder of cycler exports"
        )
    return sorted(cells)


def cell_options(folder: str) -> Dict[str, Any]:
    """The extract() arguments of a folder's ecm.json ({} without one); UsageError
    naming the file and the key for anything else."""
    path = os.path.join(folder, CELL_FILE)
    if not os.path.isfile(path):
        return {}
    try:
        with open(path, encoding="utf-8") as fh:
            raw = json.load(fh)
    except (OSError, ValueError) as e:
        raise UsageError(f"{path}: cannot read it as JSON: {e}") from None
    if not isinstance(raw, dict):
        raise UsageError(f"{path}: expected one JSON object of settings, found {type(raw).__name__}")
    out: Dict[str, Any] = {}
    for key, value in raw.items():
        name = str(key).replace("-", "_")
        if name not in CELL_KEYS:
            raise UsageError(f"{path}: key {key!r} is not known; expected {', '.join(sorted(CELL_KEYS))}")
        if name == "columns" and isinstance(value, str):
            from ecm.exports import parse_columns

            value = parse_columns(value)
        out[CELL_KEYS[name]] = value
    return out


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("ecmfit")
    except Exception:  # pragma: no cover
        return "0+unknown"


def fingerprint(folder: str, settings: Dict[str, Any]) -> str:
    """sha256 over the recordings' names and contents, the settings and the version."""
    h = hashlib.sha256()
    h.update(json.dumps({"settings": settings, "version": _version()}, sort_keys=True).encode())
    from ecm.api import find_recordings

    paths = find_recordings(folder)
    own = os.path.join(folder, CELL_FILE)
    for path in sorted(paths + ([own] if os.path.isfile(own) else [])):
        h.update(os.path.basename(path).encode() + b"\0")
        with open(path, "rb") as fh:
            for chunk in iter(lambda: fh.read(1 << 20), b""):
                h.update(chunk)
        h.update(b"\0")
    return h.hexdigest()


def _cell_settings(folder: str, defaults: Dict[str, Any]) -> Dict[str, Any]:
    """Settings of one cell: the batch's, else the cell's input_params.json, else the database's."""
    s = dict(defaults)
    for key, value in cell_options(folder).items():  # a folder's own ecm.json first
        if key in defaults.get("_given", ()):
            continue  # the batch's own options win
        s[key] = value
    path = os.path.join(folder, CONFIG_FILE)
    if os.path.isfile(path) and (s.get("low_cutoff") is None or s.get("high_cutoff") is None or s.get("model") is None):
        with open(path, encoding="utf-8") as fh:
            cfg = json.load(fh)
        for key in ("low_cutoff", "high_cutoff", "model"):
            if s.get(key) is None and key in cfg:
                s[key] = cfg[key]
    if s.get("model") is None:
        s["model"] = "2rc"
    return s


def process_cell(folder: str, out_dir: str, defaults: Dict[str, Any], force: bool = False) -> Dict[str, Any]:
    """One task: extract and write one battery folder, unless its fingerprint
    says its results are up to date. Never raises for a bad cell: the error is
    part of the returned record."""
    t0 = time.perf_counter()
    record: Dict[str, Any] = {"cell": folder, "out": out_dir, "status": "failed", "error": None, "rows": []}
    try:
        import ecm

        settings = _cell_settings(folder, defaults)
        fp = fingerprint(folder, settings)
        stamp = os.path.join(out_dir, FINGERPRINT_FILE)
        if not force and os.path.isfile(stamp):
            try:
                with open(stamp, encoding="utf-8") as fh:
                    old = json.load(fh)
                if old.get("fingerprint") == fp:
                    old.update(status="up to date", cell=folder, out=out_dir, seconds=time.perf_counter() - t0)
                    return old
            except (OSError, ValueError):
                pass  # an unreadable stamp: do the cell again
        options = {k: v for k, v in settings.items() if k in CELL_KEYS.values()}
        options.setdefault("method", "joint")
        ex = ecm.extract(
            folder,
            **options,
            strict=True,  # a cell with a recording that cannot be used is a failed cell
        )
        ex.write(out_dir)
        rows = []
        for r in ex.recordings:
            row = {
                "temperature": r.temperature,
                "recording": os.path.basename(r.path),
                "capacity_mAh": r.capacity_mAh,
                "charge_Ah": r.charge_Ah,
                "pulses": len(r.pulses),
                "rms_mV_median": float(r.pulses["rms_mV"].median()) if len(r.pulses) else None,
                "warnings": len(r.warnings),
            }
            row.update({k: (v if math.isfinite(v) else None) for k, v in r.medians.items()})
            rows.append(row)
        record.update(status="fitted", rows=rows, fingerprint=fp, settings=settings, warnings=ex.warnings)
        # The stamp is written last: a cell interrupted before it is done again. It is
        # renamed into place but not synced: a stamp lost to a crash only means a refit.
        tmp = f"{stamp}.{os.getpid()}.tmp"
        with open(tmp, "w", encoding="utf-8") as fh:
            json.dump({k: v for k, v in record.items() if k not in ("seconds",)}, fh)
        os.replace(tmp, stamp)
    except Exception as e:  # failures are data
        msg = str(e.args[0]) if isinstance(e, KeyError) and e.args else str(e)
        record.update(status="failed", error=f"{type(e).__name__}: {msg}")
    record["seconds"] = time.perf_counter() - t0
    return record


@dataclass
class BatchResult:
    records: List[Dict[str, Any]]
    summary: pd.DataFrame
    spread: pd.DataFrame
    files: Dict[str, str] = field(default_factory=dict)

    @property
    def failed(self) -> List[Dict[str, Any]]:
        return [r for r in self.records if r["status"] == "failed"]


PARAMS = ["R0", "R1", "C1", "R2", "C2"]


def summarise(records: List[Dict[str, Any]]) -> Tuple[pd.DataFrame, pd.DataFrame]:
    rows = []
    for rec in records:
        base = {"cell": rec["cell"], "status": rec["status"], "error": rec.get("error")}
        if rec["rows"]:
            for r in rec["rows"]:
                rows.append({**base, **r})
        else:
            rows.append(base)
    cols = [
        "cell",
        "temperature",
        "recording",
        "status",
        "capacity_mAh",
        "charge_Ah",
        "pulses",
        *PARAMS,
        "rms_mV_median",
        "warnings",
        "error",
    ]
    summary = pd.DataFrame(rows)
    for c in cols:
        if c not in summary:
            summary[c] = np.nan if c not in ("cell", "recording", "status", "error") else None
    summary = summary[cols]
    ok = summary[summary["status"] != "failed"].dropna(subset=["temperature"])
    spread_rows = []
    for temp, grp in ok.groupby("temperature"):
        for p in PARAMS + ["charge_Ah", "rms_mV_median"]:
            vals = pd.to_numeric(grp[p], errors="coerce").dropna().to_numpy()
            if len(vals) == 0:
                continue
            spread_rows.append(
                {
                    "temperature": temp,
                    "quantity": p,
                    "cells": len(vals),
                    "median": float(np.median(vals)),
                    "p5": float(np.percentile(vals, 5)),
                    "p95": float(np.percentile(vals, 95)),
                }
            )
    spread = pd.DataFrame(spread_rows, columns=["temperature", "quantity", "cells", "median", "p5", "p95"])
    return summary, spread


def run_batch(
    database: str,
    *,
    low_cutoff: Optional[float] = None,
    high_cutoff: Optional[float] = None,
    model: Optional[str] = None,
    method: str = "joint",
    workers: Optional[int] = None,
    scheduler: Optional[str] = None,
    out: Optional[str] = None,
    force: bool = False,
    progress: Optional[Callable[[int, int, Dict[str, Any]], Any]] = None,
    client: Any = None,
    strict: bool = False,
) -> BatchResult:
    """Runs every battery folder under database as one task of dask.distributed.

    workers: worker processes of a local cluster (default: one per core);
    scheduler: the address of a running Dask scheduler (tcp://host:8786)
    instead; client: a dask.distributed Client to use as it is (left open);
    out: the output root (default: each cell's own results/; with
    out, <out>/<cell path under database>/). Cells whose fingerprint (their
    recordings, the settings, the version) matches their last run are skipped
    unless force. progress(done, total, record) is called as cells finish.
    Writes batch_summary.csv (and .parquet with pyarrow) and batch_spread.csv
    into out (default: database). A cell that fails is recorded (its error names
    the file and the reason) and the others go on; strict: the first failure
    cancels the cells not yet done (the summaries hold those that finished).
    A folder of cycler exports takes its settings from its ecm.json (the keys of
    ecm fit's options); the options given here win over it.
    """
    try:
        from dask.distributed import Client, LocalCluster, as_completed
    except ImportError as e:  # pragma: no cover - an optional extra
        raise UsageError("the batch needs dask.distributed: pip install 'ecmfit[cluster]'") from e
    from ecm.api import METHODS, normalise_model

    database = os.path.abspath(os.fspath(database))
    cells = find_cells(database)
    if method not in METHODS:
        raise UsageError(f"method {method!r} is not known; expected one of {', '.join(METHODS)}")
    defaults: Dict[str, Any] = {
        "low_cutoff": low_cutoff,
        "high_cutoff": high_cutoff,
        "model": normalise_model(model) if model else None,
        "method": method,
        # what the caller gave wins over a cell's ecm.json
        "_given": [k for k, v in (("low_cutoff", low_cutoff), ("high_cutoff", high_cutoff), ("model", model)) if v],
    }
    db_cfg = os.path.join(database, CONFIG_FILE)
    if os.path.isfile(db_cfg):
        with open(db_cfg, encoding="utf-8") as fh:
            cfg = json.load(fh)
        for key in ("low_cutoff", "high_cutoff", "model"):
            if defaults.get(key) is None and key in cfg:
                defaults[key] = cfg[key]
    if defaults["model"] is not None:
        defaults["model"] = normalise_model(defaults["model"])
    root_out = os.path.abspath(out) if out else database
    targets = []
    for c in cells:
        rel = os.path.relpath(c, database)
        targets.append((c, os.path.join(root_out, rel) if out else os.path.join(c, "results")))

    own_client = client is None
    cluster = None
    if client is not None:
        pass
    elif scheduler:
        client = Client(scheduler)
    else:
        n = workers or os.cpu_count() or 1
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    records = []
    try:
        futures = [
            client.submit(process_cell, c, o, defaults, force, key=f"ecm-cell-{i}-{os.path.basename(c)}", pure=False)
            for i, (c, o) in enumerate(targets)
        ]
        for fut in as_completed(futures):
            rec = fut.result()
            records.append(rec)
            if rec["status"] == "failed":
                log.warning("%s: %s", rec["cell"], rec["error"])
            if progress is not None:
                progress(len(records), len(futures), rec)
            if strict and rec["status"] == "failed":
                for f in futures:
                    f.cancel()
                break
    finally:
        if own_client:
            client.close()
        if cluster is not None:
            cluster.close()

    order = {c: k for k, (c, _o) in enumerate(targets)}
    records.sort(key=lambda r: order[r["cell"]])
    summary, spread = summarise(records)
    os.makedirs(root_out, exist_ok=True)
    files = {"summary_csv": os.path.join(root_out, SUMMARY_CSV), "spread_csv": os.path.join(root_out, SPREAD_CSV)}
    _core.write_text_file(files["summary_csv"], summary.to_csv(index=False))
    _core.write_text_file(files["spread_csv"], spread.to_csv(index=False))
    try:
        import pyarrow  # noqa: F401

        path = os.path.join(root_out, SUMMARY_PARQUET)
        tmp = path + ".tmp"
        summary.to_parquet(tmp, index=False)
        os.replace(tmp, path)
        files["summary_parquet"] = path
    except ImportError:
        pass
    return BatchResult(records, summary, spread, files)

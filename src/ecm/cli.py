"""The ``ecm`` command.

Exit codes: 0 success, 1 a recording could not be used (or the run failed),
2 a usage error (bad arguments, no battery folder, a missing cut-off).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import math
import os
import sys
from typing import Any, Dict, List, Optional, Tuple

from ecm._errors import RecordingError, UsageError

log = logging.getLogger("ecm")

EXIT_OK, EXIT_RECORDING, EXIT_USAGE = 0, 1, 2

CONFIG_FILE = "input_params.json"


class _Usage(Exception):
    pass


def _celsius(text: str) -> float:
    """A temperature in C: a finite number above absolute zero."""
    try:
        x = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a temperature in C, found '{text}'") from None
    if not (math.isfinite(x) and x > -273.15):
        raise argparse.ArgumentTypeError(f"expected a finite temperature in C above -273.15, found '{text}'")
    return x


def _workers(text: str) -> int:
    """A number of worker processes: a whole number of at least 1."""
    try:
        x = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number of workers, found '{text}'") from None
    if x < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1 worker, found {x}")
    return x


def _fmt(x: float, unit: str) -> str:
    """A parameter in readable engineering units: 52.1 mOhm, 1.52 kF, 41.3 s."""
    if x is None or not math.isfinite(x):
        return f"nan {unit}"
    for factor, prefix in ((1e3, "k"), (1.0, ""), (1e-3, "m"), (1e-6, "u")):
        if abs(x) >= factor or factor == 1e-6:
            return f"{x / factor:.4g} {prefix}{unit}"
    return f"{x:.4g} {unit}"


def _config_for(folder: str) -> Tuple[Optional[str], Dict[str, Any]]:
    """The input_params.json that applies to a battery folder: the folder's own,
    else the current directory's, else one beside the folder that names it."""
    candidates = [os.path.join(folder, CONFIG_FILE), CONFIG_FILE]
    parent = os.path.dirname(os.path.abspath(folder))
    beside = os.path.join(parent, CONFIG_FILE)
    for path in candidates + [beside]:
        if not os.path.isfile(path):
            continue
        try:
            with open(path, encoding="utf-8") as fh:
                values = json.load(fh)
        except (OSError, ValueError) as e:
            raise _Usage(f"cannot read '{path}': {e}") from None
        if not isinstance(values, dict):
            raise _Usage(f"'{path}' must hold one JSON object, found {type(values).__name__}")
        if path == beside and path not in candidates:
            named = str(values.get("battery_database", "")) + str(values.get("battery_folder", ""))
            target = os.path.normpath(os.path.join(parent, named)) if named else None
            if target is None or os.path.realpath(target) != os.path.realpath(folder):
                continue
        return path, values
    return None, {}


def _setup_logging(verbosity: int) -> logging.Handler:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("ecm: %(levelname)s: %(message)s"))
    # Warnings are part of the summary (or the JSON document); -v shows them as they happen.
    level = {-1: logging.ERROR, 0: logging.ERROR, 1: logging.DEBUG}[verbosity]
    handler.setLevel(level)
    log.addHandler(handler)
    log.setLevel(level)
    return handler


def _summary_text(ex, written: Optional[Dict[str, Any]]) -> str:
    from ecm.api import short_model_name

    lines = []
    where = ex.folder or "recordings"
    lines.append(
        f"{where}: {len(ex.recordings)} recording(s), {short_model_name(ex.model_name)}, "
        f"cut-offs {ex.low_cutoff} V / {ex.high_cutoff} V"
    )
    src = getattr(ex, "cutoff_sources", {})
    taken = [
        f"{name} from {src[key]}"
        for key, name in (("low", "low"), ("high", "high"))
        if src.get(key, "given") != "given"
    ]
    if taken:
        lines.append(f"  cut-offs from the data: {'; '.join(taken)}")
    units = {"R": "Ohm", "C": "F", "t": "s"}
    for r in sorted(ex.recordings, key=lambda r: r.temperature):
        p = r.pulses
        on_bound = int(p["status"].str.contains("bound").sum())
        budget = int(p["status"].str.contains("not converged").sum())
        rms = float(p["rms_mV"].median()) if len(p) else float("nan")
        notes = "".join(
            [
                f", {on_bound} with a parameter on a bound" if on_bound else "",
                f", {budget} not converged" if budget else "",
            ]
        )
        if r.protocol is not None:
            pr = r.protocol
            fitted = p[p["status"] == "fitted"]
            rms = float(fitted["rms_mV"].median()) if len(fitted) else float("nan")
            lines.append(
                f"  {r.temperature:>4} C  {os.path.basename(r.path)} ({pr['preset'] or 'column map'}, "
                f"{pr['current_sign']}, temperature from the {r.temperature_source}): "
                f"{pr['pulses_discharge']} discharge and {pr['pulses_charge']} charge pulses, "
                f"{len(fitted)} fitted, {len(p) - len(fitted)} rejected; capacity {r.charge_Ah:.4g} Ah, "
                f"median RMS {rms:.3g} mV"
            )
        else:
            lines.append(
                f"  {r.temperature:>4} C  {os.path.basename(r.path)}: {len(p)} pulses fitted{notes}; "
                f"charge {r.charge_Ah:.4g} Ah, median RMS {rms:.3g} mV"
            )
        meds = "  ".join(f"{k} {_fmt(v, units[k[0]])}" for k, v in r.medians.items())
        lines.append(f"          medians: {meds}")
        if r.edge_timing:
            lines.append(f"          current steps: {r.edge_timing}")
        if r.slow is not None:
            sl = r.slow
            cal = (
                f"; calibrated on {', '.join(os.path.basename(c) for c in sl['calibrated_on'])}"
                if sl["calibrated_on"]
                else ""
            )
            lines.append(
                f"          slow branch: tau {sl['tau']:.0f} s, R {1000 * min(sl['R']):.3g} to {1000 * max(sl['R']):.3g} mOhm "
                f"over SOC; whole-recording RMS {sl['rms_before_mV'][0]:.3g} -> {sl['rms_after_mV'][0]:.3g} mV{cal}"
            )
        if r.warnings:
            lines.append(f"          {len(r.warnings)} warning(s):")
            lines.extend(f"            - {w}" for w in r.warnings)
    for f in getattr(ex, "ocv_fills", []):
        branches = "discharge and charge" if f["has_charge"] else "discharge plus its resistive drop"
        lines.append(
            f"  OCV at {f['temperature']:g} C from {os.path.basename(f['path'])} ({branches}, SOC "
            f"{f['soc_low']:.3f} to {f['soc_high']:.3f}, through {f['relaxed_used']} relaxed points)"
        )
    for w in ex.model_warnings:
        lines.append(f"  model: {w}")
    if written:
        n = 2 * len(written["recordings"]) + 1 + len(written.get("tables", [])) + ("settings" in written)
        lines.append(f"wrote {n} files; model: {written['battery_model']}")
    return "\n".join(lines)


def _fit_settings(args: argparse.Namespace, cfg: Dict[str, Any]) -> Tuple[Any, Any, str]:
    """Cut-offs and model: the flags, else the settings file's values."""

    def setting(flag_value, key, flag):
        # None: from the data (exports); a classic recording then stops with a usage error naming the flag
        if flag_value is not None:
            return flag_value
        return cfg.get(key)

    low = setting(args.low_cutoff, "low_cutoff", "--low-cutoff")
    high = setting(args.high_cutoff, "high_cutoff", "--high-cutoff")
    return low, high, args.model if args.model is not None else cfg.get("model", "2rc")


def _extract(source: Any, args: argparse.Namespace, low: Any, high: Any, model: str, **options: Any) -> Any:
    """ecm.extract() with the method and export options of the command line; its
    usage errors as the command's."""
    import ecm

    try:
        return ecm.extract(
            source,
            model=model,
            low_cutoff=low,
            high_cutoff=high,
            method=args.method,
            **options,
            **_export_kwargs(args),
        )
    except ecm.UsageError as e:
        raise _Usage(str(e)) from None


def _print_json(doc: Any, **options: Any) -> None:
    """One JSON document on stdout, as ``--json`` prints it."""
    json.dump(doc, sys.stdout, indent=1, **options)
    sys.stdout.write("\n")


def _cmd_fit(args: argparse.Namespace) -> int:
    from ecm.api import find_recordings

    targets = args.folder
    if len(targets) == 1 and os.path.isdir(targets[0]):
        folder: Optional[str] = targets[0]
        find_recordings(targets[0])  # a clear usage error when it is not a battery folder
        source: Any = folder
    else:
        for t in targets:
            if os.path.isdir(t):
                raise _Usage(f"give one battery folder or recording files, not both ('{t}' is a folder)")
            if not os.path.isfile(t):
                raise _Usage(f"'{t}' does not exist; expected a battery folder (holding raw_data/) or recordings")
        folder = None
        source = targets

    cfg_path, cfg = _config_for(folder if folder else os.path.dirname(os.path.abspath(targets[0])))
    if cfg_path:
        log.debug("settings from %s", cfg_path)

    low, high, model = _fit_settings(args, cfg)

    out = args.out
    if out is None and not args.no_write:
        if folder:
            out = os.path.join(folder, "results")
        elif os.path.basename(os.path.dirname(os.path.abspath(targets[0]))) == "raw_data":
            out = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(targets[0]))), "results")
        else:
            raise _Usage("--out DIR is needed when recordings outside a battery folder are given")

    show_bar = not args.quiet and not args.json_out and sys.stderr.isatty()
    redirect = contextlib.nullcontext()
    if show_bar:
        from tqdm.contrib.logging import logging_redirect_tqdm

        redirect = logging_redirect_tqdm(loggers=[log])
    with redirect:
        extra: Dict[str, Any] = {"ocv_tests": args.ocv_test} if args.ocv_test else {}
        ex = _extract(source, args, low, high, model, progress=True if show_bar else None, **extra)
        written = ex.write(out) if not args.no_write else None

    if args.json_out:
        doc = ex.to_dict()
        if written:
            doc["files"] = written
        _print_json(doc, allow_nan=False)
    elif not args.quiet:
        print(_summary_text(ex, written))
    return EXIT_OK


def _cmd_batch(args: argparse.Namespace) -> int:
    from ecm.batch import run_batch

    show_bar = not args.quiet and not args.json_out and sys.stderr.isatty()
    bar = None
    if show_bar:
        from tqdm import tqdm

        bar = tqdm(total=0, unit="cell", desc="cells", dynamic_ncols=True)

    def progress(done, total, rec):
        if bar is not None:
            bar.total = total
            bar.update(1)
            if rec["status"] == "failed":
                bar.write(f"ecm batch: {rec['cell']}: {rec['error']}")

    try:
        result = run_batch(
            args.database,
            low_cutoff=args.low_cutoff,
            high_cutoff=args.high_cutoff,
            model=args.model,
            method=args.method,
            workers=args.workers,
            scheduler=args.scheduler,
            out=args.out,
            force=args.force,
            progress=progress,
            strict=args.strict,
        )
    finally:
        if bar is not None:
            bar.close()
    recs = result.records
    counts = {s: sum(1 for r in recs if r["status"] == s) for s in ("fitted", "up to date", "failed")}
    if args.json_out:
        doc = {
            "cells": [{k: v for k, v in r.items() if k != "settings"} for r in recs],
            "counts": counts,
            "files": result.files,
        }
        _print_json(doc, default=str)
    elif not args.quiet:
        print(
            f"{len(recs)} cell(s): {counts['fitted']} fitted, {counts['up to date']} up to date, "
            f"{counts['failed']} failed"
        )
        for r in result.failed:
            print(f"  failed: {r['cell']}: {r['error']}")
        print(f"summary: {result.files['summary_csv']}")
        print(f"spread across cells: {result.files['spread_csv']}")
    if counts["failed"] and (args.strict or counts["failed"] == len(recs)):
        return EXIT_RECORDING
    return EXIT_OK


#: ecm fit's options (argparse names) and the extract() arguments fit_settings.json keeps them as.
_SAVED_OPTIONS = {
    "model": "model",
    "low_cutoff": "low_cutoff",
    "high_cutoff": "high_cutoff",
    "method": "method",
    "reading": "reading",
    "edge_timing": "edge_timing",
    "preset": "preset",
    "temperature": "temperature",
    "capacity": "capacity_mAh",
    "max_pulse": "max_pulse_s",
    "min_rest": "min_rest_s",
    "rms_limit": "rms_limit_mV",
}


#: Saved settings a report reuses beside the options above: the column map, the slow tests of the
#: OCV, the slow branch and the calibration.
_SAVED_EXTRAS = {"columns", "ocv_tests", "slow", "calibrate", "calibrate_window"}


def _extract_as_saved(
    saved: Dict[str, Any], where: str, args: argparse.Namespace, parser_defaults: Dict[str, Any], **options: Any
):
    """extract() as the fit whose fit_settings.json is `saved` ran it: its
    recordings and settings, each option given on this command line in place
    of the saved one."""
    import ecm
    from ecm.exports import parse_columns

    kw = {k: v for k, v in saved["settings"].items() if k in set(_SAVED_OPTIONS.values()) | _SAVED_EXTRAS}
    if kw.get("calibrate_window"):
        kw["calibrate_window"] = tuple(kw["calibrate_window"])
    kw.update(options)
    for flag, key in _SAVED_OPTIONS.items():
        value = getattr(args, flag, None)
        if value is not None and value != parser_defaults.get(flag):
            kw[key] = value
    if args.columns:
        kw["columns"] = parse_columns(args.columns)
    source: Any = saved.get("folder") or saved.get("recordings")
    missing = [p for p in ([source] if isinstance(source, str) else source or []) if not os.path.exists(p)]
    if not source or missing:
        raise _Usage(f"{where}: the recordings it names are not there ({', '.join(missing) or 'none named'})")
    try:
        return ecm.extract(source, **kw)
    except ecm.UsageError as e:
        raise _Usage(str(e)) from None


def _cmd_report(args: argparse.Namespace) -> int:
    from ecm.api import FIT_SETTINGS_FILE, find_recordings, load_fit_settings

    folder = args.folder
    saved = load_fit_settings(folder) if os.path.isdir(folder) else None
    results = None
    if saved is not None:
        results = folder
    elif os.path.isfile(os.path.join(folder, "battery_model.json")) and not os.path.isdir(
        os.path.join(folder, "raw_data")
    ):
        # results written before their settings were kept: the battery folder holds them
        results, folder = folder, os.path.dirname(os.path.abspath(folder))
    if saved is None:
        find_recordings(folder)  # a clear usage error when it is not a battery folder
    out = args.out or os.path.join(results or os.path.join(folder, "results"), "report.html")
    from ecm._plotting import pyplot

    pyplot()  # fails early, naming the extra, when matplotlib is missing
    extra: Dict[str, Any] = {"ocv_tests": args.ocv_test} if args.ocv_test else {}
    if saved is not None:
        ex = _extract_as_saved(saved, os.path.join(folder, FIT_SETTINGS_FILE), args, _report_defaults(), **extra)
    else:
        cfg_path, cfg = _config_for(folder)
        low, high, model = _fit_settings(args, cfg)
        ex = _extract(folder, args, low, high, model, **extra)
    validations = []
    if args.validate:
        from ecm.modelfile import model_of_extraction
        from ecm.validate import validate

        fitted = model_of_extraction(ex)
        validations = [validate(fitted, rec) for rec in args.validate]
    path = ex.report(out, validations=validations)
    if not args.quiet:
        n = len(ex.warnings)
        print(f"report of {len(ex.recordings)} recording(s) ({ex.method} method, {n} warning(s)): {path}")
    return EXIT_OK


def _thermal_arg(text: str) -> Tuple[float, float]:
    parts = text.split(",")
    try:
        if len(parts) != 2:
            raise ValueError
        return float(parts[0]), float(parts[1])
    except ValueError:
        raise _Usage(
            f"--thermal takes C_J_per_K,G_W_per_K (heat capacity, conductance to ambient), found {text!r}"
        ) from None


def _report_defaults() -> Dict[str, Any]:
    """The defaults of ecm report's options (an option left at its default takes the saved value)."""
    parser = build_parser()
    sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    rep = sub.choices["report"]
    return {a.dest: a.default for a in rep._actions}


def _cmd_validate(args: argparse.Namespace) -> int:
    from ecm.validate import validate

    tables = False if args.no_tables else None
    from ecm.exports import parse_columns

    common: Dict[str, Any] = dict(
        temperature=args.temperature,
        initial_soc=args.initial_soc,
        tables=tables,
        columns=parse_columns(args.columns) if args.columns else None,
        preset=args.preset,
        score_from=args.score_from,
        score_to=args.score_to,
    )
    res = validate(
        args.model,
        args.recording,
        follow_temperature=False if args.fixed_temperature else None,
        thermal=_thermal_arg(args.thermal) if args.thermal else None,
        **common,
    )
    plot = None
    if args.plot:
        res.plot(args.plot, errors=True)
        plot = os.fspath(args.plot)
    if args.json_out:
        doc = res.to_dict()
        if plot:
            doc["plot"] = plot
        _print_json(doc)
    elif not args.quiet:
        src = "tables " + os.path.basename(res.tables) if res.tables else "per-temperature values"
        how = res.start_rest.get("how", "given")
        if how == "rest at the start":
            start = (
                f"start SOC {res.soc0:.4f} from the rest it begins with, ending at {res.start_rest['t_end']:g} s "
                f"({res.start_rest['voltage']:.4f} V)"
            )
        elif how == "full charge":
            start = f"start SOC {res.soc0:.4f}: it begins at full charge ({res.start_rest['voltage']:.4f} V)"
        else:
            start = f"start SOC {res.soc0:.4f} (given)"
        print(f"{res.recording}: {len(res.t)} samples at {res.temperature:g} C; model {res.model} ({src}); {start}")
        print(f"temperature: {res.temperature_note}")
        fit = res.thermal_fit or {}
        if "heat_capacity" in fit:
            c, g = fit["heat_capacity"], fit["conductance"]
            print(
                f"thermal: the measured temperature fits heat capacity {c:.4g} J/K, conductance {g:.4g} W/K, "
                f"ambient {fit['ambient']:.1f} C (predicted within {fit['rms_k']:.2f} K RMS); "
                f"--thermal {c:.4g},{g:.4g} predicts it where only the ambient is known"
                + (" (its time constant C/G is not pinned by this recording)" if fit.get("on_bound") else "")
            )
        if res.scored_text():
            print(f"scored{res.scored_text()[len(', scored') :]}")
        print(res.table_text())
        if plot:
            print(f"plot: {plot}")
    if args.features:
        from ecm.validate import feature_contributions

        table = feature_contributions(args.model, args.recording, **common)
        if args.json_out:
            _print_json({"features": table.to_dict(orient="index")})
        elif not args.quiet:
            print(f"\n{'model':<32} {'RMS mV':>8} {'max mV':>8} {'mean mV':>8} {'change':>8}")
            for name, row in table.iterrows():
                print(
                    f"{name:<32} {row['rms_mV']:>8.2f} {row['max_mV']:>8.2f} {row['mean_mV']:>8.2f} "
                    f"{row['change_mV']:>+8.2f}"
                )
    return EXIT_OK


def _cmd_export(args: argparse.Namespace) -> int:
    from ecm.export import export

    paths = export(
        args.model, args.to, args.out, temperature=args.temperature, tables=False if args.no_tables else None
    )
    if not args.quiet:
        for p in paths:
            print(p)
    return EXIT_OK


def _cmd_convert(args: argparse.Namespace) -> int:
    from ecm.exports import parse_columns
    from ecm.readers import bdf_name, charge_positive, read_recording, write_bdf

    if args.to != "bdf":
        raise UsageError(f"--to {args.to}: the one format written is bdf")
    if args.out:
        os.makedirs(args.out, exist_ok=True)
    columns = parse_columns(args.columns) if args.columns else None
    for path in args.files:
        rec = read_recording(path, columns=columns, preset=args.preset)
        folder = args.out or os.path.dirname(os.path.abspath(path))
        out = os.path.join(folder, bdf_name(path))
        if os.path.abspath(out) == os.path.abspath(path):
            raise UsageError(f"{path}: converting would overwrite the file itself; give --out DIR")
        for n in rec.notes:
            log.warning("%s: %s", path, n)
        current, sign = charge_positive(rec)
        write_bdf(rec, out, labels=args.labels, current=current)
        if not args.quiet:
            print(f"{out}: {len(rec.data)} samples from {rec.format}; current {sign}")
            for n in rec.notes:
                print(f"    - {n}")
    return EXIT_OK


def _add_convert_parser(sub) -> None:
    from ecm.exports import PRESETS

    conv = sub.add_parser(
        "convert",
        help="write cycler files as Battery Data Format CSV (<stem>.bdf.csv)",
        description="Read each FILE as ecm fit reads it (text exports of any cycler with time, current and "
        "voltage columns, spreadsheets, BDF, Neware .nda/.ndax, BioLogic .mpr, Arbin .res) and write it "
        "as <stem>.bdf.csv: Test Time / s (the file's test time; date-times become seconds from the first), "
        "Current / A positive when it charges "
        "the cell (from the file where it tells the sign, else from the voltage's response), "
        "Voltage / V, and where the file has them the step numbers and type, temperatures, the "
        "cycler's capacity counters and the Unix time. What was mended on the way (samples out of "
        "order, appended exports, repeated stamps, gaps) is reported on stderr.",
        epilog="Example: ecm convert cell_25C.ndax cell_10C.csv --to bdf --out bdf/",
    )
    conv.add_argument("files", nargs="+", metavar="FILE", help="cycler files to convert")
    conv.add_argument("--to", required=True, metavar="FORMAT", help="bdf (the one format written)")
    conv.add_argument("--out", metavar="DIR", default=None, help="folder to write to (default: beside each file)")
    conv.add_argument(
        "--labels",
        choices=["human", "machine"],
        default="human",
        help="column names 'Test Time / s' (human, default) or 'test_time_second' (machine)",
    )
    conv.add_argument("--preset", choices=sorted(PRESETS), default=None, help="the cycler's export layout")
    conv.add_argument(
        "--columns",
        metavar="MAP",
        default=None,
        help="column map (time=...,current=...,voltage=...[,temperature=...,step=...]; NAME:mA for a unit)",
    )
    _add_quiet_verbose(conv, "print nothing but errors", "show tracebacks of errors")
    conv.set_defaults(run=_cmd_convert)


def _add_model_tool_parsers(sub) -> None:
    """ecm report / validate / export."""
    from ecm.exports import PRESETS

    rep = sub.add_parser(
        "report",
        help="fit a battery folder and write a self-contained HTML report of the fits",
        description="Fit FOLDER as 'ecm fit' does (nothing else is written) and write one self-contained HTML "
        "file (figures inline, no network): per temperature the recording with its pulses and rest "
        "ends, the OCV-SOC curve through its relaxed points, the RMS error per pulse and every "
        "pulse's fit against its data (worst first); the parameters against SOC and against "
        "temperature; every warning in words; the per-pulse tables. Needs matplotlib "
        "(pip install 'ecmfit[report]').",
        epilog="Cut-offs and model default to input_params.json as for 'ecm fit'. "
        "Example: ecm report examples/sample_cell --method joint --out report.html",
    )
    rep.add_argument(
        "folder",
        metavar="FOLDER",
        help="battery folder holding raw_data/*.csv, a folder of cycler exports, or the results folder 'ecm fit' "
        "wrote (its fit_settings.json: the same recordings and settings; options given here replace them)",
    )
    rep.add_argument(
        "--out", metavar="FILE", default=None, help="the HTML file to write (default: FOLDER/results/report.html)"
    )
    _add_method_options(rep)
    rep.add_argument(
        "--model",
        choices=["1rc", "2rc", "model1", "model2"],
        default=None,
        help="one or two RC branches (default: input_params.json, else 2rc)",
    )
    rep.add_argument(
        "--validate",
        action="append",
        metavar="RECORDING",
        default=None,
        help="also validate the fitted model on this recording (its measured temperature followed) and show "
        "the errors against time, SOC, current and temperature; repeatable",
    )
    rep.add_argument(
        "--ocv-test", action="append", metavar="FILE", default=None, help="a slow discharge test, as for ecm fit"
    )
    rep.add_argument("--low-cutoff", type=float, metavar="V", default=None, help="low cut-off voltage")
    rep.add_argument("--high-cutoff", type=float, metavar="V", default=None, help="upper voltage limit")
    _add_quiet_verbose(rep, "print nothing but errors", "log the fits and show tracebacks of errors")
    _add_export_options(rep, PRESETS)
    rep.set_defaults(run=_cmd_report)

    val = sub.add_parser(
        "validate",
        help="simulate a finished model on a recording and report the voltage error",
        description="Simulate MODEL (battery_model.json, or a folder holding it; with battery_model_tables.json "
        "beside it when it exists) on the current of RECORDING at the recording's temperature (following its measured "
        "temperature column sample by sample when it has one), "
        "starting from the SOC that the voltage at the end of its first rest gives on the model's "
        "OCV curve, with the branches at rest; SOC by coulomb counting, each RC branch by its exact "
        "response to the current (linear between samples). Prints the RMS, largest and mean error "
        "(model minus measured, mV) overall and per segment: rest, discharge (current < 0), charge.",
        epilog="Rests, discharges and charges are the steps the extraction finds in the current; the start needs "
        "a rest of at least 30 s (or --initial-soc). Example: ecm validate cell/results/battery_model.json "
        "drive_cycle.csv --plot validation.png",
    )
    val.add_argument("model", metavar="MODEL", help="battery_model.json (or a results folder holding it)")
    val.add_argument(
        "recording", metavar="RECORDING", help="a recording CSV (Seconds, Current(A), Voltage(V)[, Temperature(C)])"
    )
    val.add_argument(
        "--plot",
        metavar="PNG",
        default=None,
        help="also write measured vs simulated voltage, the error, the current and the error against SOC, current "
        "and temperature as a PNG (needs matplotlib)",
    )
    val.add_argument(
        "--temperature",
        type=_celsius,
        metavar="C",
        default=None,
        help="simulate at this temperature instead of the recording's own",
    )
    val.add_argument(
        "--initial-soc",
        type=float,
        metavar="SOC",
        default=None,
        help="start SOC (default: from the first rest's voltage)",
    )
    val.add_argument(
        "--preset",
        choices=sorted(PRESETS),
        default=None,
        help="the cycler's export layout when RECORDING is an export (default: from its header)",
    )
    val.add_argument(
        "--columns",
        metavar="MAP",
        default=None,
        help="column map of an export, as for ecm fit (time=...,current=...,voltage=...)",
    )
    val.add_argument(
        "--no-tables", action="store_true", help="ignore battery_model_tables.json: parameters constant in SOC"
    )
    val.add_argument(
        "--features",
        action="store_true",
        help="also validate with each part of the model switched off in turn (the slow branch, the OCV from a "
        "slow test, the SOC tables, following the measured temperature) and print what each gives",
    )
    val.add_argument(
        "--fixed-temperature",
        action="store_true",
        help="take the model at one temperature (the recording's, or --temperature) instead of following the "
        "recording's measured temperature sample by sample",
    )
    val.add_argument(
        "--thermal",
        metavar="C,G",
        default=None,
        help="predict the cell temperature with a lumped thermal model: heat capacity C (J/K) and conductance "
        "to the ambient G (W/K); the ambient is --temperature or the recording's. Validating a recording with a "
        "measured temperature prints the C,G that it implies",
    )
    val.add_argument(
        "--from",
        dest="score_from",
        type=float,
        metavar="SECONDS",
        default=None,
        help="score only samples from this time on (the simulation still runs from the start)",
    )
    val.add_argument(
        "--to", dest="score_to", type=float, metavar="SECONDS", default=None, help="score only samples up to this time"
    )
    val.add_argument("--json", dest="json_out", action="store_true", help="one JSON document on stdout")
    _add_quiet_verbose(val, "print nothing but errors", "show tracebacks of errors")
    val.set_defaults(run=_cmd_validate)

    exp = sub.add_parser(
        "export",
        help="write a model as a PyBaMM parameter set, CSV tables or a MAT file",
        description="Write MODEL (battery_model.json, with battery_model_tables.json beside it when it exists) "
        "for use elsewhere. pybamm: a Python module whose get_parameter_values() loads into "
        "pybamm.ParameterValues for pybamm.equivalent_circuit.Thevenin (OCV interpolant in SOC "
        "with its temperature slope, R0 and each R/C as functions of temperature and SOC, the "
        "capacity at --temperature, thermal values as stated defaults); default "
        "pybamm_parameters.py beside the model. csv: a folder of plain tables (ocv.csv, "
        "soc_from_ocv.csv, parameters_by_temperature.csv, parameters_by_soc_temperature.csv); "
        "default csv/ beside the model. mat: the MAT model structure (plus the SOC tables); "
        "default battery_model.mat beside the model.",
        epilog="Example: ecm export cell/results/battery_model.json --to pybamm --out cell_pybamm.py",
    )
    exp.add_argument("model", metavar="MODEL", help="battery_model.json (or a results folder holding it)")
    exp.add_argument("--to", required=True, metavar="FORMAT", help="pybamm, csv or mat")
    exp.add_argument("--out", metavar="PATH", default=None, help="file (pybamm, mat) or folder (csv) to write")
    exp.add_argument(
        "--temperature",
        type=_celsius,
        metavar="C",
        default=None,
        help="pybamm: temperature of the set's capacity, initial and ambient temperature "
        "(default 25 C, or the model's nearest)",
    )
    exp.add_argument("--no-tables", action="store_true", help="ignore battery_model_tables.json")
    _add_quiet_verbose(exp, "print nothing but errors", "show tracebacks of errors")
    exp.set_defaults(run=_cmd_export)
    _add_convert_parser(sub)


def _add_quiet_verbose(
    parser: argparse.ArgumentParser, quiet_help: Optional[str] = None, verbose_help: Optional[str] = None
) -> None:
    """-q/--quiet and -v/--verbose, one or the other."""
    loud = parser.add_mutually_exclusive_group()
    loud.add_argument("-q", "--quiet", action="store_true", help=quiet_help)
    loud.add_argument("-v", "--verbose", action="store_true", help=verbose_help)


def _add_export_options(parser: argparse.ArgumentParser, presets) -> None:
    exp = parser.add_argument_group(
        "cycler exports",
        "Recordings that are not in the classic layout (Seconds, Current(A), Voltage(V)) are read as cycler "
        "exports: the current is split into rest, discharge and charge steps; every pulse (discharge and "
        "charge, each with its own parameters) is fitted over a window from the rest before it through what "
        "follows; SOC by coulomb counting from the full-charge rest; OCV points at the ends of long rests. "
        "Every pulse gets a status (fitted, or rejected and why).",
    )
    exp.add_argument(
        "--preset",
        choices=sorted(presets),
        default=None,
        help="the cycler's export layout (default: detected from the header; a file without a "
        "header row needs one with known column positions, bitrode)",
    )
    exp.add_argument(
        "--columns",
        metavar="MAP",
        default=None,
        help="column map, e.g. time=Time(s),current=Current(A),voltage=Voltage(V),temperature=T1,"
        "step=Step; append :mA, :mV, :ms, :min or :h to a column in other units",
    )
    exp.add_argument(
        "--temperature",
        type=_celsius,
        metavar="DEGC",
        default=None,
        help="test temperature (default: the temperature column, else the file name, e.g. '25C')",
    )
    exp.add_argument(
        "--capacity",
        type=float,
        metavar="MAH",
        default=None,
        help="nominal capacity in mAh (default: from the file name, e.g. '2000mAh'); the SOC "
        "uses the charge from the full-charge rest to the cut-off",
    )
    exp.add_argument(
        "--max-pulse",
        type=float,
        metavar="S",
        default=600.0,
        help="loaded steps up to this long are pulses, longer ones change the SOC (default 600)",
    )
    exp.add_argument(
        "--min-rest",
        type=float,
        metavar="S",
        default=None,
        help="rests at least this long give an OCV point (default: most of the typical length of the "
        "protocol's own long rests, those after its SOC steps)",
    )
    exp.add_argument(
        "--rms-limit",
        type=float,
        metavar="MV",
        default=None,
        help="a pulse whose fit leaves a larger RMS error over its window is flagged in its status and left out "
        "of the medians unless no pulse is within it (default: 5 mV, or 2 %% of the voltage's swing over the "
        "window where that is more)",
    )


def _add_method_options(p: argparse.ArgumentParser) -> None:
    """--method (how pulses are fitted) and --reading (how recordings are read): two independent choices."""
    p.add_argument(
        "--method",
        choices=["pulse", "joint", "steps"],
        metavar="{pulse,joint}",
        default=None,
        help="how pulses are fitted. 'joint' (default): every cycle or pulse window fitted whole, the accurate "
        "fit, plus SOC x temperature tables (battery_model_tables.json, battery_model_table_*.csv); 'pulse': "
        "the two-pass fit of the import-time run (on classic recordings its files byte for byte; on exports "
        "each pulse window fitted the same way). 'steps' is the old spelling of --reading steps",
    )
    p.add_argument(
        "--reading",
        choices=["auto", "classic", "steps"],
        default="auto",
        help="how recordings are read. 'classic': pulse-discharge recordings (Seconds, Current(A), Voltage(V)); "
        "'steps': the step analysis of any step protocol (cycler exports, HPPC tests); 'auto' (default): "
        "classic where the file is in that layout and no --columns/--preset is given, else steps",
    )
    p.add_argument(
        "--edge-timing",
        choices=["reading", "linear", "after-sample", "mid-interval", "at-sample"],
        default="reading",
        help="when a logged current step happened within its sample interval, which the pulses cannot tell "
        "(a later step looks like a smaller R1 and a larger R0): 'reading' (default: classic recordings linear "
        "between samples, exports right after the last sample of the old current), 'linear', 'after-sample', "
        "'mid-interval', or 'at-sample' (a cycler that logs at its step edges: that sample reports the new "
        "current). Not used by the two-pass fit of classic recordings",
    )


def _export_kwargs(args: argparse.Namespace) -> Dict[str, Any]:
    from ecm.exports import parse_columns

    return dict(
        columns=parse_columns(args.columns) if args.columns else None,
        preset=args.preset,
        reading=args.reading,
        temperature=args.temperature,
        capacity_mAh=args.capacity,
        max_pulse_s=args.max_pulse,
        min_rest_s=args.min_rest,
        rms_limit_mV=args.rms_limit,
        edge_timing=getattr(args, "edge_timing", "reading"),
        strict=getattr(args, "strict", False),
        **_slow_kwargs(args),
    )


def _slow_kwargs(args: argparse.Namespace) -> Dict[str, Any]:
    """The slow branch and calibration options of ecm fit (none for other commands)."""
    if not hasattr(args, "slow"):
        return {}
    window = None
    if args.calibrate_window is not None:
        if not args.calibrate:
            raise _Usage("--calibrate-window needs --calibrate FILE")
        parts = args.calibrate_window.split(":")
        try:
            a = float(parts[0]) if parts[0] else 0.0
            b = float(parts[1]) if len(parts) == 2 and parts[1] else float("inf")
        except ValueError:
            a = b = float("nan")
        if len(parts) != 2 or not (a == a and b == b) or not b > a:
            raise _Usage(f"--calibrate-window {args.calibrate_window!r}: expected START:END in seconds, START < END")
        window = (a, b)
    return dict(slow=bool(args.slow), calibrate=args.calibrate or None, calibrate_window=window)


def build_parser() -> argparse.ArgumentParser:
    from ecm import __version__
    from ecm.exports import PRESETS

    parser = argparse.ArgumentParser(
        prog="ecm",
        description="Equivalent-circuit battery models from pulse-discharge recordings and cycler exports "
        "(HPPC and other step protocols).",
        epilog="Run 'ecm fit --help' for the options of a fit. Exit codes: 0 success, 1 a recording could not "
        "be used, 2 usage error.",
    )
    parser.add_argument("--version", action="version", version=f"ecm {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    fit = sub.add_parser(
        "fit",
        help="extract the model of one battery folder or folder of cycler exports",
        description="Fit R0 and one or two RC branches to every pulse of every recording of a battery folder "
        "(FOLDER/raw_data/*.csv, one per temperature) or of a folder of cycler exports "
        "(FOLDER/*.csv; see 'cycler exports' below), then write per temperature "
        "<name>_params.json and <name>_ocv.csv and the model battery_model.json into FOLDER/results "
        "(or --out). The files are the ones the import-time 'import ecmfit' writes.",
        epilog="Cut-offs and model default to the input_params.json of FOLDER, of the current directory, or the "
        "one beside FOLDER that names it; cycler exports given no cut-off take it from their data (the lowest and "
        "highest voltage under load), and the summary says so. The settings are kept in the results folder "
        "(fit_settings.json) for 'ecm report' and 'ecm validate'. Examples: ecm fit examples/sample_cell; "
        "ecm fit lab/leaf --low-cutoff 3.0 --high-cutoff 4.2 --capacity 33100 --out leaf_model",
    )
    fit.add_argument(
        "folder",
        nargs="+",
        metavar="FOLDER",
        help="battery folder holding raw_data/*.csv, a folder of cycler exports, or one or more recording files",
    )
    fit.add_argument(
        "--strict",
        action="store_true",
        help="stop at the first recording that cannot be used (default: leave it out, say why, and go on "
        "with the others)",
    )
    fit.add_argument(
        "--model",
        choices=["1rc", "2rc", "model1", "model2"],
        default=None,
        help="one or two RC branches (default: input_params.json, else 2rc)",
    )
    fit.add_argument(
        "--low-cutoff",
        type=float,
        metavar="V",
        default=None,
        help="low cut-off voltage: each recording is cut before its first sample below it",
    )
    fit.add_argument(
        "--high-cutoff",
        type=float,
        metavar="V",
        default=None,
        help="upper voltage limit of the cell (top of the model's voltage axis)",
    )
    _add_method_options(fit)
    fit.add_argument(
        "--slow",
        action="store_true",
        help="add a slow RC branch fitted on each whole recording (driven by its pulses, SOC steps and long "
        "rests, scored on the rests once the pulse branches have settled) on top of the pulse fits: what the "
        "cell does under sustained load, minutes to hours, which the pulses cannot show (tables R_slow, "
        "tau_slow; joint method). Use it when the model is to predict drive cycles or other sustained loads "
        "and the pulse test has long rests",
    )
    fit.add_argument(
        "--calibrate",
        action="append",
        metavar="FILE",
        default=None,
        help="refine the slow branch and the OCV's level (OCV_offset) on a dynamic recording such as a drive "
        "cycle, jointly with the pulse test nearest in temperature (implies --slow; may be repeated)",
    )
    fit.add_argument(
        "--calibrate-window",
        metavar="START:END",
        default=None,
        help="use only this stretch (s) of the --calibrate recordings, so the rest can judge the model "
        "(ecm validate --from END)",
    )
    _add_export_options(fit, PRESETS)
    fit.add_argument(
        "--ocv-test",
        action="append",
        metavar="FILE",
        default=None,
        help="a slow discharge test (C/20, optionally followed by a charge) whose shape fills the OCV between "
        "the relaxed points of the pulse recording at its temperature; repeat for each temperature (joint "
        "method; written as the OCV table of battery_model_tables.json)",
    )
    fit.add_argument("--out", metavar="DIR", default=None, help="output folder (default: FOLDER/results)")
    fit.add_argument("--no-write", action="store_true", help="fit and report, write no files")
    fit.add_argument(
        "--json", dest="json_out", action="store_true", help="print one JSON document on stdout instead of the summary"
    )
    _add_quiet_verbose(
        fit, "no progress bar, no summary; errors only", "log every fit to stderr and show tracebacks of errors"
    )
    fit.set_defaults(run=_cmd_fit)

    batch = sub.add_parser(
        "batch",
        help="fit every battery folder or folder of cycler exports of a database (Dask, locally or on a cluster)",
        description="Fit every cell under DATABASE (every folder holding raw_data/, or a folder of cycler exports "
        "with its settings in an ecm.json beside them, keys as ecm fit's options: low_cutoff, high_cutoff, model, "
        "method, preset, columns, temperature, capacity, max_pulse, min_rest, rms_limit, edge_timing, reading), "
        "one Dask task per folder: a local cluster with one worker process per core, or a running scheduler. "
        "Each cell's files go to its results/ (or OUT/<cell>); a cell whose recordings and settings "
        "did not change since its last run is skipped. A failing cell is recorded and the others "
        "go on. Writes batch_summary.csv (and .parquet with pyarrow: one row per cell and "
        "temperature) and batch_spread.csv (median, 5th and 95th percentile across cells).",
        epilog="Cut-offs and model default to each cell's input_params.json, then DATABASE's. Exit code 1 "
        "when every cell failed, or any failed with --strict.",
    )
    batch.add_argument("database", metavar="DATABASE", help="folder holding battery folders")
    batch.add_argument(
        "--workers",
        type=_workers,
        default=None,
        metavar="N",
        help="worker processes of the local cluster (default: one per core)",
    )
    batch.add_argument(
        "--scheduler",
        default=None,
        metavar="ADDRESS",
        help="a running Dask scheduler, e.g. tcp://host:8786, instead of a local cluster",
    )
    batch.add_argument("--method", choices=["pulse", "joint"], default="joint")
    batch.add_argument("--model", choices=["1rc", "2rc", "model1", "model2"], default=None)
    batch.add_argument("--low-cutoff", type=float, metavar="V", default=None)
    batch.add_argument("--high-cutoff", type=float, metavar="V", default=None)
    batch.add_argument(
        "--out", metavar="DIR", default=None, help="output root (default: each cell's results/, summaries in DATABASE)"
    )
    batch.add_argument("--force", action="store_true", help="refit cells that are up to date")
    batch.add_argument(
        "--strict", action="store_true", help="stop at the first cell that fails (cancel the rest) and exit 1"
    )
    batch.add_argument("--json", dest="json_out", action="store_true", help="one JSON document on stdout")
    _add_quiet_verbose(batch)
    batch.set_defaults(run=_cmd_batch)
    _add_model_tool_parsers(sub)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if not getattr(args, "command", None):
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    verbosity = 1 if getattr(args, "verbose", False) else (-1 if getattr(args, "quiet", False) else 0)
    old_level = log.level
    handler = _setup_logging(verbosity)
    prog = f"ecm {args.command}"
    try:
        return args.run(args)
    except (_Usage, UsageError) as e:
        print(f"{prog}: error: {e}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # whoever read our output stopped reading (ecm ... | head): not a failure of the run
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
    except (RecordingError, OSError) as e:  # after BrokenPipeError, an OSError that is no failure
        if verbosity > 0:
            raise
        print(f"{prog}: error: {e}", file=sys.stderr)
        return EXIT_RECORDING
    except Exception as e:  # a fault of ours: say so in one line unless asked for the traceback
        if verbosity > 0:
            raise
        print(f"{prog}: error: {type(e).__name__}: {e} (run with -v for the traceback)", file=sys.stderr)
        return EXIT_RECORDING
    finally:
        # a caller in the same process (a script, a notebook) gets its logging back as it was
        log.removeHandler(handler)
        log.setLevel(old_level)

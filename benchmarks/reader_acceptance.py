#!/usr/bin/env python3
"""Every shared cycler file through ecm.readers.read_recording, each checked
against an independent reading: pandas on the raw file with the layout written
out by hand (preamble, separator, units), the capacity counters against the
integral of the current (units of time and current, and the sign), and the
wall clock beside the test time. Prints one line per file.

    python benchmarks/reader_acceptance.py [DIR]     (default ../shared/data/cycler-files)
"""

import os
import sys
import warnings

import numpy as np
import pandas as pd

from ecm import RecordingError
from ecm.readers import read_recording

# file -> how pandas reads it raw: read_csv/read_excel keywords and the columns (time, scale), (current, scale), voltage
RAW = {
    "battdat/arbin_example.csv": ({}, ("Test_Time", 1), ("Current", 1), "Voltage"),
    "battdat/maccor_example.001": (
        dict(sep="\t", skiprows=1, index_col=False),
        ("Test (Min)", 60),
        ("Amps", 1),
        "Volts",
    ),
    "bdf/DLR__LiLNMOHydra0b__20221125__POCV__25degC__Basytec.bdf.csv": (
        {},
        ("test_time_second", 1),
        ("current_ampere", 1),
        "voltage_volt",
    ),
    "bdf/SINTEF__LiGrR2032__2024-04-30__25degC__Landt.bdf.csv": (
        {},
        ("test_time_second", 1),
        ("current_ampere", 1),
        "voltage_volt",
    ),
    "bdf/SINTEF__LiGrR2032__2024-04-30__25degC__Landt.csv": (
        dict(skiprows=6, index_col=False),
        ("test_time_s", 1),
        ("current_A", 1),
        "voltage_V",
    ),
    "bdf/sample.bdf.csv": ({}, ("Test Time / s", 1), ("Current / A", 1), "Voltage / V"),
    "beep/FastCharge_000025_CH8.csv": ({}, ("Test_Time", 1), ("Current", 1), "Voltage"),
    "beep/PredictionDiagnostics_000151_paused.052": (
        dict(sep="\t", skiprows=1, index_col=False),
        ("Test (Sec)", 1),
        ("Amps", 1),
        "Volts",
    ),
    "beep/maccor_test_file_4267-66-6519.041": (
        dict(sep="\t", skiprows=1, index_col=False),
        ("TestTime", "days"),
        ("Amps", 1),
        "Volts",
    ),
    "beep/test_loopsnewoutput_MB_CE1_short10k.csv": (dict(sep=";"), ("time/s", "clock"), ("I/mA", 1e-3), "Ecell/V"),
    "beep/test_Nova_Form-CH01-01_short.csv": ("novonix", ("Run Time (h)", 3600), ("Current (A)", 1), "Potential (V)"),
    "cellpy/maccor_002.txt": (
        dict(sep="\t", skiprows=13, index_col=False, encoding="latin-1"),
        ("TestTime", 60),
        ("Current [A]", "Md"),
        "Voltage [V]",
    ),
    "cellpy/pec.csv": (
        dict(skiprows=32, index_col=False),
        ("Total Time (Seconds)", 1),
        ("Current (mA)", 1e-3),
        "Voltage (mV)",
    ),
    "cellpy/neware_uio.csv": ({}, ("Cumulative Time", "hms"), ("Current(A)", 1), "Voltage(V)"),
    "cellpy/custom_data_002.xlsx": (
        dict(sheet_name="Record-Tab"),
        ("TestTime/Sec", 1),
        ("Current/mA", 1e-3),
        "Voltage/V",
    ),
    "navani/bs542_004_gr_li_50ua_50mv_1v_191020_Channel_11.xlsx": (
        dict(sheet_name=1),
        ("Test_Time(s)", 1),
        ("Current(A)", 1),
        "Voltage(V)",
    ),
}


def raw_columns(path, rel):
    kw, (tc, ts), (ic, iscale), vc = RAW[rel]
    if kw == "novonix":  # rows wrapped whole in quotes after the [Data] line
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        rows = [ln.strip('"').split(",") for ln in lines[lines.index("[Data]") + 1 :] if ln.strip()]
        df = pd.DataFrame(rows[1:], columns=rows[0])
        for c in (tc, ic, vc):
            df[c] = df[c].astype(float)
    elif rel.endswith(".xlsx"):
        df = pd.read_excel(path, **kw)
    else:
        df = pd.read_csv(path, low_memory=False, **kw)
    df = df.dropna(subset=[vc])
    if ts == "days":
        t = pd.to_timedelta(df[tc].str.strip().str.replace("d ", " days ")).dt.total_seconds().to_numpy()
    elif ts == "hms":
        t = pd.to_timedelta(df[tc]).dt.total_seconds().to_numpy()
    elif ts == "clock":
        c = pd.to_datetime(df[tc], format="%m/%d/%Y %H:%M:%S.%f")
        t = (c - c.iloc[0]).dt.total_seconds().to_numpy()
    else:
        t = df[tc].to_numpy(float) * ts
    i = df[ic].to_numpy(float)
    if iscale == "Md":
        i = np.where(df["Md"].astype(str).str.strip() == "D", -i, i)
    else:
        i = i * iscale
    v = df[vc].to_numpy(float) * (1e-3 if "(mV)" in vc else 1.0)
    return t, i, v


def against_raw(rec, path, rel):
    if rel not in RAW:
        return ""
    t, i, v = raw_columns(path, rel)
    # the reader drops the later of repeated stamps and samples out of order: compare on the kept stamps
    ti = pd.Series(np.arange(len(t)), index=t)
    ti = ti[~ti.index.duplicated(keep="first")]
    idx = ti.reindex(rec.time).to_numpy()
    if np.isnan(idx).any():
        return "raw: time stamps differ"
    idx = idx.astype(int)
    sign = rec.written_sign
    di = np.max(np.abs(rec.current * sign - i[idx])) if len(idx) else 0
    dv = np.max(np.abs(rec.voltage - v[idx]))
    return f"raw pandas: {len(rec.time)}/{len(t)} rows, max |dI| {di:.1e} A, |dV| {dv:.1e} V"


def counters(rec):
    """Capacity counters against the integral of the current, each sample's current held over the
    interval before it: the counter's rises (its resets left out) over the charge (or discharge)
    moved while the current had that sign. Near 1 when the units of time and current and the sign
    are right, whatever the counter's resolution."""
    d = rec.data
    t, i = rec.time, rec.current
    dt = np.diff(t)
    out = []
    for col, pick in (("Charging Capacity / Ah", 1), ("Discharging Capacity / Ah", -1), ("Net Capacity / Ah", 0)):
        if col not in d:
            continue
        dq = np.diff(d[col].to_numpy(float))
        if pick:
            got = np.sum(dq[dq > 0])
            est = np.sum(np.clip(i[1:] * pick, 0, None) * dt) / 3600
        else:
            got = np.sum(dq)  # a net counter over the whole test, no resets
            est = np.sum(i[1:] * dt) / 3600
        if est:
            out.append(f"{col.split(' ')[0].lower()} counter/integral {got / est:.3f}")
    return "; ".join(out)


def clock(rec):
    if "Unix Time / s" not in rec.data:
        return ""
    u = rec.data["Unix Time / s"].to_numpy(float)
    d = np.diff(u) - np.diff(rec.time)
    return f"wall clock - test time per step: median {np.median(d):+.3f} s, min {d.min():+.0f}, max {d.max():+.0f} s"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "shared", "data", "cycler-files")
    for folder in sorted(os.listdir(root)):
        if not os.path.isdir(os.path.join(root, folder)):
            continue
        for name in sorted(os.listdir(os.path.join(root, folder))):
            if name in ("LICENSE.txt", "README.md"):
                continue
            rel = f"{folder}/{name}"
            path = os.path.join(root, rel)
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("error")
                    rec = read_recording(path)
            except RecordingError as e:
                print(f"{rel}\n    RecordingError: {str(e).replace(path, '<file>')}")
                continue
            cur = rec.current
            print(
                f"{rel}\n    {rec.format}: {len(rec.time)} samples, {rec.time[0]:g}..{rec.time[-1]:g} s, "
                f"I {cur.min():.4g}..{cur.max():.4g} A, V {rec.voltage.min():.4g}..{rec.voltage.max():.4g} V; "
                f"sign: {rec.sign}"
            )
            for line in (against_raw(rec, path, rel), counters(rec), clock(rec)):
                if line:
                    print(f"    {line}")
            for n in rec.notes:
                print(f"    note: {n}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

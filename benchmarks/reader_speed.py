#!/usr/bin/env python3
"""The reader's speed on a large export: a generated 1-million-row CSV in the
Arbin layout (Data_Point, Test_Time(s), Step_Time(s), Step_Index, Cycle_Index,
Current(A), Voltage(V), Charge/Discharge_Capacity(Ah), Aux_Temperature_1(C))
read by ecm.readers.read_recording and by plain pandas.read_csv on the same
file; the target is at most 1.5 times pandas' time. Also the same through
ecm.exports.read_export (what ecm fit calls).

    python benchmarks/reader_speed.py [ROWS]      (default 1000000)
"""

import os
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from ecm.exports import read_export
from ecm.readers import read_recording


def write_export(path, rows):
    rng = np.random.default_rng(1)
    t = np.arange(rows) * 0.1
    step = (t // 600).astype(int) % 4 + 1
    current = np.select([step == 2, step == 4], [-5.0, 2.5], 0.0) + rng.normal(0, 1e-3, rows)
    charge = np.cumsum(np.clip(current, 0, None)) * 0.1 / 3600
    discharge = np.cumsum(np.clip(-current, 0, None)) * 0.1 / 3600
    voltage = 3.7 + 0.1 * np.sin(t / 5000) + 0.01 * current
    pd.DataFrame(
        {
            "Data_Point": np.arange(1, rows + 1),
            "Test_Time(s)": np.round(t, 4),
            "Step_Time(s)": np.round(t % 600, 4),
            "Step_Index": step,
            "Cycle_Index": 1 + (t // 2400).astype(int),
            "Current(A)": np.round(current, 6),
            "Voltage(V)": np.round(voltage, 6),
            "Charge_Capacity(Ah)": np.round(charge, 6),
            "Discharge_Capacity(Ah)": np.round(discharge, 6),
            "Aux_Temperature_1(C)": np.round(25 + rng.normal(0, 0.05, rows), 3),
        }
    ).to_csv(path, index=False)


def best_of(fn, n=3):
    best = float("inf")
    for _ in range(n):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "arbin_export.csv")
        write_export(path, rows)
        size = os.path.getsize(path) / 1e6
        t_pandas = best_of(lambda: pd.read_csv(path))
        t_ours = best_of(lambda: read_recording(path))
        t_export = best_of(lambda: read_export(path))
        rec = read_recording(path)
        assert len(rec.data) == rows and rec.format == "arbin"
    print(f"{rows} rows, {size:.0f} MB CSV (best of 3)")
    print(f"  pandas.read_csv:             {t_pandas:.3f} s")
    print(f"  ecm.readers.read_recording:  {t_ours:.3f} s  ({t_ours / t_pandas:.2f}x pandas; target <= 1.5x)")
    print(f"  ecm.exports.read_export:     {t_export:.3f} s  ({t_export / t_pandas:.2f}x pandas)")
    return 0 if t_ours <= 1.5 * t_pandas else 1


if __name__ == "__main__":
    sys.exit(main())

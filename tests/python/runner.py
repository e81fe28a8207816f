"""Runs the extraction (an import of ecmfit) in a fresh interpreter.

An import runs the extraction once per process, and a crash must be seen as a
crash, so every whole run happens in a subprocess.
"""

import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd


class Run:
    def __init__(self, proc, dump_path):
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.values = {}
        if dump_path and os.path.exists(dump_path):
            with open(dump_path, "rb") as fh:
                self.values = pickle.load(fh)

    @property
    def log(self):
        """The log records (lines of standard error that start with a level name)."""
        return [ln for ln in self.stderr.splitlines() if ln.split(":", 1)[0] in ("INFO", "WARNING", "ERROR")]

    def records(self, level="INFO"):
        """Whole log messages of one level, multi-line messages joined."""
        out, cur = [], None
        for ln in self.stderr.splitlines():
            head = ln.split(":", 1)[0]
            if head in ("INFO", "WARNING", "ERROR", "CRITICAL", "DEBUG"):
                if cur is not None:
                    out.append(cur)
                cur = (head, ln.split(":", 1)[1])
            elif cur is not None and not ln.startswith("Traceback"):
                cur = (cur[0], cur[1] + "\n" + ln)
            else:
                if cur is not None:
                    out.append(cur)
                cur = None
        if cur is not None:
            out.append(cur)
        return [msg for lvl, msg in out if lvl == level]


def run_ecmfit(cwd, dump=(), timeout=600, env=None):
    """Imports ecmfit in `cwd`; `dump` names module values to save for the test."""
    dump_path = os.path.join(str(cwd), "_dump.pickle") if dump else None
    code = "import ecmfit\n"
    if dump:
        code += (
            "import pickle as _p\n"
            f"with open({dump_path!r}, 'wb') as _f:\n"
            f"    _p.dump({{k: getattr(ecmfit, k) for k in {list(dump)!r}}}, _f)\n"
        )
    proc = subprocess.run(
        [sys.executable, "-c", code], cwd=str(cwd), capture_output=True, text=True, timeout=timeout, env=env
    )
    return Run(proc, dump_path)


def write_config(directory, battery_database, battery_folder, high_cutoff=4.2, low_cutoff=3.0, model="model2", **extra):
    values = {
        "battery_database": battery_database,
        "battery_folder": battery_folder,
        "high_cutoff": high_cutoff,
        "low_cutoff": low_cutoff,
        "model": model,
    }
    values.update(extra)
    for k in [k for k, v in values.items() if v is None]:
        del values[k]
    with open(os.path.join(str(directory), "input_params.json"), "w") as fh:
        json.dump(values, fh)


def pulse_table(n_pulses=8, rest=40, pulse=20, i_load=-1.0, dt=1.0, v_full=4.2, v_step=0.1, r0=0.05, temperature=None):
    """A plain pulse recording: rests at 0 A, pulses at `i_load`, a voltage that
    drops by `v_step` per pulse and by R0*I under load. Crosses 3.0 V near the end."""
    i, v = [], []
    level = v_full
    for k in range(n_pulses + 1):
        i += [0.0] * rest
        v += [level] * rest
        level -= v_step
        i += [i_load] * pulse
        v += list(np.linspace(level + r0 * i_load + v_step, level + r0 * i_load, pulse))
    v[-1] = 2.5  # the last pulse falls below the cut-off
    n = len(i)
    df = pd.DataFrame({"Seconds": np.arange(n) * dt, "Current(A)": i, "Voltage(V)": v})
    if temperature is not None:
        df["Temperature(C)"] = temperature
    return df

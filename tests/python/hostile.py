"""Generators of valid-to-hostile battery folders and the judge of a whole run.

A case is one battery folder (recordings as raw bytes, in the order they are
written) and one input_params.json.  Valid recordings come from
tools/synthcell.py (a constant cell simulated with the exact closed form, so a
recording costs milliseconds); hostile ones are valid recordings with one or
more mutations applied to the table or to the bytes of the file.

``judge(case, root, run)`` sorts the outcome of a run into one of
    "completed"   exit 0 and every written file complete and consistent with
                  an independent reading of the input,
    "exception"   a Python exception whose last stderr line is
                  "SomeError: message" naming the file at fault,
    "exit"        one of the two exit messages of the run,
and returns a list of problems: a crash, a hang, an unclear message, a
missing, partial or wrong output file.  An empty list is a pass.
"""

from __future__ import annotations

import glob
import io
import json
import math
import os
import re
from dataclasses import dataclass, field

import numpy as np
import pandas as pd
import synthcell
from hypothesis import assume
from hypothesis import strategies as st
from scipy.integrate import cumulative_trapezoid

CONFIG_EXIT = "\nInput parameter definition file not found in './input_params.json'\n"
CUTOFF_EXIT = (
    "\nBattery voltage does not cross the defined low cut off voltage. "
    "Please define higher cut off level and run again.\n"
)
BOUND_LO, BOUND_HI = 1e-4, 5e4
CRASH_MARKS = (
    "Segmentation fault",
    "Fatal Python error",
    "terminate called",
    "core dumped",
    "AddressSanitizer",
    "UndefinedBehaviorSanitizer",
    "runtime error:",
    "Aborted",
)
# Texts that leak the implementation instead of saying what is wrong with the input.
UNCLEAR_MARKS = (
    "Unable to cast",
    "Unable to convert",
    "_M_",
    "std::",
    "basic_string",
    "bad_alloc",
    "Caught an unknown exception",
    "pybind11",
    "vector::",
    "out_of_range",
    "Eigen",
)
EXCEPTION_LINE = re.compile(r"^[A-Za-z_][\w.]*(Error|Exception|Exit|Interrupt|Warning): \S")
COLUMNS = ["Seconds", "Current(A)", "Voltage(V)", "Temperature(C)"]


@dataclass
class Recording:
    name: str
    data: bytes
    mutations: list = field(default_factory=list)
    truth: dict | None = None  # r0 etc. of the simulated cell when the recording is untouched

    @property
    def valid(self):
        return not self.mutations and self.truth is not None


@dataclass
class Case:
    recordings: list
    config_ops: list = field(default_factory=list)  # mutations of the configuration
    low_cutoff: object = 3.0
    high_cutoff: object = 4.2
    model: object = "model2"
    folder: str = "cellA"
    extra_files: list = field(default_factory=list)  # (name, bytes) in raw_data that are not *.csv
    effective: dict = field(default_factory=dict)  # the configuration as written (set by write_case)

    def describe(self):
        recs = [(r.name, r.mutations, len(r.data)) for r in self.recordings]
        return (
            f"config: low_cutoff={self.low_cutoff!r} high_cutoff={self.high_cutoff!r} "
            f"model={self.model!r} ops={self.config_ops!r}; recordings: {recs!r}"
        )


# ----------------------------------------------------------------------------
# Writing a case
# ----------------------------------------------------------------------------


def write_case(case: Case, root) -> str:
    """Writes <root>/db/<folder>/raw_data/* and <root>/input_params.json; returns the folder path."""
    root = str(root)
    folder = os.path.join(root, "db", case.folder)
    raw = os.path.join(folder, "raw_data")
    os.makedirs(raw, exist_ok=True)
    for rec in case.recordings:
        with open(os.path.join(raw, rec.name), "wb") as fh:
            fh.write(rec.data)
    for name, data in case.extra_files:
        with open(os.path.join(raw, name), "wb") as fh:
            fh.write(data)
    values = {
        "battery_database": os.path.join(root, "db") + "/",
        "battery_folder": case.folder,
        "high_cutoff": case.high_cutoff,
        "low_cutoff": case.low_cutoff,
        "model": case.model,
    }
    text = None
    for op in case.config_ops:
        kind = op[0]
        if kind == "drop":
            values.pop(op[1], None)
        elif kind == "set":
            values[op[1]] = op[2]
        elif kind == "raw":
            text = op[1]
    case.effective = dict(values)
    path = os.path.join(root, "input_params.json")
    if text is None:
        text = json.dumps(values)
    with open(path, "wb") as fh:
        fh.write(text if isinstance(text, bytes) else text.encode("utf-8", "surrogatepass"))
    return folder


# ----------------------------------------------------------------------------
# Recordings
# ----------------------------------------------------------------------------


def recording_name(cap=200, temp=25, cell="cellA"):
    return f"{cell}_{cap}mAh_T{'n' if temp < 0 else 'p'}{abs(temp)}.csv"


def table_bytes(df: pd.DataFrame) -> bytes:
    buf = io.StringIO()
    df.to_csv(buf, index=False, float_format="%.12g", lineterminator="\n")
    return buf.getvalue().encode("utf-8", "surrogatepass")


@st.composite
def protocols(draw, extreme=True):
    """Keyword arguments of synthcell.make_recording for a small constant cell
    (at most about 12,000 samples), with circuit values anywhere between the
    solver bounds when ``extreme``."""
    model = draw(st.sampled_from(["model1", "model2"]))
    dt = draw(st.sampled_from([0.1, 0.25, 0.5, 1.0, 2.0]))
    if extreme:
        pulse_s = draw(st.integers(3, 40)) * dt
        rest_s = draw(st.integers(6, 120)) * dt
        n_pulses = draw(st.integers(4, 25))
    else:
        # enough samples per pulse and rest to determine R0 and the branches
        pulse_s = draw(st.integers(10, 40)) * dt
        rest_s = draw(st.integers(30, 200)) * dt
        n_pulses = draw(st.integers(15, 40))  # at most about 7 % of the charge per pulse
    current = -draw(st.sampled_from([0.2, 0.5, 1.0, 2.0, 4.0]))
    # pulses within the sample budget
    while n_pulses * (pulse_s + rest_s) / dt > 12000 and n_pulses > 4:
        n_pulses = max(4, n_pulses // 2)
    capacity = n_pulses * abs(current) * pulse_s / 3.6
    if extreme and draw(st.booleans()):
        r0 = draw(st.floats(BOUND_LO, 0.2))
        branches = [
            (draw(st.floats(BOUND_LO, 0.2)), draw(st.floats(BOUND_LO, BOUND_HI)))
            for _ in range(1 if model == "model1" else 2)
        ]
        branches = tuple((r, r * c) for r, c in branches)
    else:
        # time constants the sampling resolves, distinct branches
        r0 = draw(st.floats(0.01, 0.1))
        # the step I*R0 stands out against the OCV change of one pulse (about 1.2 V / pulses)
        assume(abs(current) * r0 > 2.0 * 1.2 / n_pulses)
        tau1 = draw(st.floats(3 * dt, 3 * pulse_s))
        branches = (
            (draw(st.floats(0.005, 0.05)), tau1),
            (draw(st.floats(0.005, 0.05)), tau1 * draw(st.floats(4.0, 20.0))),
        )
        branches = branches[: 1 if model == "model1" else 2]
    cell = synthcell.Cell(capacity_mAh=capacity, r0=r0, branches=branches)
    noise = draw(st.sampled_from([0.0, 0.0, 1e-4, 1e-3, 1e-2]))
    return dict(
        cell=cell,
        model=model,
        dt=dt,
        pulse_s=pulse_s,
        rest_s=rest_s,
        initial_rest_s=draw(st.integers(5 if extreme else 10, 60)) * dt,
        pulse_current_A=current,
        jitter=draw(st.sampled_from([0.0, 0.0, 0.3])),
        voltage_noise_V=noise,
        current_noise_A=noise / 10,
        temperature_column=draw(st.booleans()),
        temperature_C=draw(st.integers(-20, 45)),
        seed=draw(st.integers(0, 2**16)),
    )


def simulate(proto):
    kw = dict(proto)
    cell = kw.pop("cell")
    temp = kw.pop("temperature_C")
    kw.pop("model")
    df, truth = synthcell.make_recording(cell, temp, method="exact", capacity_mAh=cell.capacity_mAh, **kw)
    return df, truth


TABLE_MUTATIONS = [
    "charging",
    "constant_current",
    "no_pulse",
    "single_pulse",
    "early_rest_end",
    "nan_cell",
    "text_cell",
    "inf_cell",
    "dup_time",
    "decreasing_time",
    "huge_column",
    "tiny_column",
    "huge_cell",
    "drop_column",
    "rename_column",
    "extra_column",
    "shuffle_columns",
    "duplicate_column",
    "few_rows",
    "temperature_text",
    "all_below",
    "zero_dt_block",
    "spike",
]
BYTE_MUTATIONS = [
    "truncate",
    "non_utf8",
    "empty",
    "garbage",
    "crlf",
    "semicolon",
    "header_only",
    "bom",
    "blank_lines",
    "nul_bytes",
]


def mutate_table(draw, df: pd.DataFrame, kind: str) -> pd.DataFrame:
    n = len(df)
    cols = list(df.columns)
    df = df.copy()
    row = draw(st.integers(0, max(n - 1, 0)))
    col = draw(st.sampled_from(cols))
    if kind == "charging":
        df["Current(A)"] = -df["Current(A)"]
    elif kind == "constant_current":
        df["Current(A)"] = draw(st.sampled_from([0.0, -1.0, 1.0, 1e-9]))
    elif kind == "no_pulse":
        df["Current(A)"] = 0.0
        df["Voltage(V)"] = np.linspace(4.2, 2.9, n)
    elif kind == "single_pulse":
        load = np.nonzero(df["Current(A)"].to_numpy() < 0)[0]
        if len(load):
            end = int(load[0])
            while end + 1 < n and df["Current(A)"].iat[end + 1] < 0:
                end += 1
            keep = min(n, end + draw(st.integers(1, 30)))
            df = df.iloc[:keep].copy()
            df.iloc[-1, df.columns.get_loc("Voltage(V)")] = 2.5
    elif kind == "early_rest_end":
        load = np.nonzero(df["Current(A)"].to_numpy() < 0)[0]
        if len(load):
            df = df.iloc[max(0, int(load[0]) - draw(st.integers(0, 3))) :].reset_index(drop=True)
    elif kind == "nan_cell":
        df[col] = df[col].astype(float)
        df.loc[row, col] = np.nan
    elif kind == "text_cell":
        df[col] = df[col].astype(object)
        df.loc[row, col] = draw(
            st.one_of(
                st.sampled_from(["abc", "4.1V", "", " ", "1,5", "--", "nan", "1e400", "0x10", "TRUE"]),
                st.text(max_size=8),
            )
        )
    elif kind == "inf_cell":
        df[col] = df[col].astype(float)
        df.loc[row, col] = draw(st.sampled_from([np.inf, -np.inf]))
    elif kind == "dup_time":
        df = pd.concat([df.iloc[: row + 1], df.iloc[row:]]).reset_index(drop=True)
    elif kind == "decreasing_time":
        if n > 2:
            r = min(row, n - 2)
            s = df["Seconds"].to_numpy().copy()
            s[r], s[r + 1] = s[r + 1], s[r]
            df["Seconds"] = s
    elif kind == "huge_column":
        df[col] = df[col].astype(float) * draw(st.sampled_from([1e300, -1e300, 1e200]))
    elif kind == "tiny_column":
        df[col] = df[col].astype(float) * draw(st.sampled_from([1e-300, 1e-310, -1e-300]))
    elif kind == "huge_cell":
        df[col] = df[col].astype(float)
        df.loc[row, col] = draw(st.sampled_from([1e300, -1e300, 1e-300, 5e-324, 1.7976931348623157e308]))
    elif kind == "drop_column":
        df = df.drop(columns=[col])
    elif kind == "rename_column":
        df = df.rename(columns={col: draw(st.sampled_from([col.lower(), col + " ", "Time", "", col[:-1]]))})
    elif kind == "extra_column":
        df["Extra"] = draw(st.sampled_from(["x", 1.5, np.nan]))
    elif kind == "shuffle_columns":
        df = df[draw(st.permutations(cols))]
    elif kind == "duplicate_column":
        df = pd.concat([df, df[[col]]], axis=1)
    elif kind == "few_rows":
        df = df.iloc[: draw(st.integers(0, 5))]
    elif kind == "temperature_text":
        df["Temperature(C)"] = draw(st.sampled_from(["warm", "", "25C"]))
    elif kind == "all_below":
        df["Voltage(V)"] = 2.0
    elif kind == "zero_dt_block":
        r = min(row, max(n - 10, 0))
        s = df["Seconds"].to_numpy().copy()
        s[r : r + 10] = s[r]
        df["Seconds"] = s
    elif kind == "spike":
        df["Current(A)"] = df["Current(A)"].astype(float)
        df.loc[row, "Current(A)"] = draw(st.sampled_from([-1e6, 1e6, -50.0]))
    return df


def mutate_bytes(draw, data: bytes, kind: str) -> bytes:
    pos = draw(st.integers(0, max(len(data), 0)))
    if kind == "truncate":
        return data[:pos]
    if kind == "non_utf8":
        junk = draw(st.binary(min_size=1, max_size=4).map(lambda b: bytes(x | 0x80 for x in b)))
        return data[:pos] + junk + data[pos:]
    if kind == "empty":
        return b""
    if kind == "garbage":
        return draw(st.binary(max_size=200))
    if kind == "crlf":
        return data.replace(b"\n", b"\r\n")
    if kind == "semicolon":
        return data.replace(b",", b";")
    if kind == "header_only":
        return data.split(b"\n", 1)[0] + b"\n"
    if kind == "bom":
        return b"\xef\xbb\xbf" + data
    if kind == "blank_lines":
        lines = data.split(b"\n")
        k = min(pos, len(lines))
        return b"\n".join(lines[:k] + [b"", b""] + lines[k:])
    if kind == "nul_bytes":
        return data[:pos] + b"\x00" + data[pos:]
    raise ValueError(kind)


HOSTILE_NAMES = [
    "cellA_200mAh.csv",
    "cellA_Tp25.csv",
    "cellA_2x0mAh_Tp25.csv",
    "cellA_200mAh_T25.csv",
    "cellA_200mAh_Tpx.csv",
    "cellA_99999999999999999999999mAh_Tp25.csv",
    "cellA_200mAh_Tp99999999999999999999999.csv",
    "c\u00e9ll A_200mAh_Tn5.csv",
    "cellA_-200mAh_Tp25.csv",
    "cellA_200mAh_Tp25.backup.csv",
    "_200mAh_T.csv",
]


@st.composite
def recordings(draw, hostile=True, name=None, extreme=True):
    """One recording: a simulated pulse discharge, with 0 to 3 mutations when ``hostile``."""
    proto = draw(protocols(extreme=extreme))
    try:
        df, truth = simulate(proto)
    except (RuntimeError, ValueError):  # a protocol the simulator refuses: not a case
        assume(False)
    cap = int(round(proto["cell"].capacity_mAh)) or 1
    if name is None:
        name = recording_name(max(cap, 1), int(proto["temperature_C"]))
        if hostile and draw(st.integers(0, 9)) == 0:
            name = draw(st.sampled_from(HOSTILE_NAMES))
    mutations = []
    if hostile:
        n_mut = draw(st.sampled_from([0, 1, 1, 1, 2, 3]))
        for _ in range(n_mut):
            mutations.append(draw(st.sampled_from(TABLE_MUTATIONS + BYTE_MUTATIONS)))
    # table mutations first, then the bytes
    for kind in [m for m in mutations if m in TABLE_MUTATIONS]:
        df = mutate_table(draw, df, kind)
    data = table_bytes(df)
    for kind in [m for m in mutations if m in BYTE_MUTATIONS]:
        data = mutate_bytes(draw, data, kind)
    if name != recording_name(max(cap, 1), int(proto["temperature_C"])):
        mutations.append("name")
    truth_small = None
    if not mutations:
        truth_small = {
            "r0_ohm": truth["r0_ohm"],
            "model": proto["model"],
            "noise": proto["voltage_noise_V"],
            "extreme": extreme,
        }
    return Recording(name=name, data=data, mutations=mutations, truth=truth_small)


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-(10**20), 10**20)
    | st.floats(allow_nan=False)
    | st.text(alphabet="abc019 -eE+.", max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
    max_leaves=5,
)

CONFIG_KEYS = ["battery_database", "battery_folder", "high_cutoff", "low_cutoff", "model"]


@st.composite
def config_mutations(draw):
    """(config_ops, low_cutoff, high_cutoff, model) from valid to hostile."""
    low = draw(
        st.sampled_from(
            [
                3.0,
                "3.0",
                " 3.0 ",
                2.95,
                3.05,
                0.0,
                -1.0,
                5.0,
                4.3,
                1e308,
                1e-300,
                "three",
                "",
                "nan",
                "inf",
                "-inf",
                "1e999",
                None,
                True,
                [3.0],
                {"v": 3},
            ]
        )
    )
    high = draw(st.sampled_from([4.2, "4.2", 0.0, -4.2, "high", None, "nan", 1e308, [4.2]]))
    model = draw(
        st.sampled_from(["model1", "model2", "model2", "Model1", "model3", "", " model1", None, 1, 2.0, ["model1"]])
    )
    ops = []
    for _ in range(draw(st.integers(0, 2))):
        kind = draw(st.sampled_from(["drop", "set", "set_folder", "raw", "none"]))
        if kind == "drop":
            ops.append(("drop", draw(st.sampled_from(CONFIG_KEYS))))
        elif kind == "set":
            ops.append(("set", draw(st.sampled_from(CONFIG_KEYS[2:] + ["extra"])), draw(json_values)))
        elif kind == "set_folder":
            # no path separators or dots: the run never leaves the test's directory
            ops.append(
                (
                    "set",
                    "battery_folder",
                    draw(
                        st.one_of(
                            st.text(alphabet="abcAB_ -\u00e9\u4e2d", max_size=6),
                            st.none(),
                            st.integers(),
                            st.lists(st.just("a"), max_size=2),
                        )
                    ),
                )
            )
        elif kind == "raw":
            ops.append(
                (
                    "raw",
                    draw(
                        st.sampled_from(
                            [
                                "",
                                "{",
                                "[]",
                                "3",
                                '"text"',
                                "null",
                                '{"model": "model1"}',
                                b"\xff\xfe{}",
                                "{}{}",
                                '{"a": NaN}',
                            ]
                        )
                    ),
                )
            )
    return ops, low, high, model


# ----------------------------------------------------------------------------
# Judging a run
# ----------------------------------------------------------------------------


def last_line(stderr: str) -> str:
    lines = stderr.rstrip("\n").splitlines()
    return lines[-1] if lines else ""


def started_files(stderr: str):
    return re.findall(r"^INFO:started processing file '(.*)'$", stderr, flags=re.M)


def expected_outputs(results_dir, infile):
    base = os.path.splitext(os.path.basename(infile))[0]
    return (os.path.join(results_dir, base + "_params.json"), os.path.join(results_dir, base + "_ocv.csv"))


def independent_reading(path, vcut):
    """(temperature, charge in Ah) of a recording read by pandas and SciPy, or None
    where the recording does not give them."""
    df = pd.read_csv(path, header=0, delimiter=",", decimal=".")
    temp = None
    try:
        col = df["Temperature(C)"].to_numpy(dtype=float)
        med = float(np.median(col))
        # a median beyond any integer a double holds exactly (|T| > 9e15) is no temperature:
        # the file name gives it then
        if math.isfinite(med) and len(col) and abs(np.round(med)) <= 9.0e15:
            temp = int(np.round(med))
    except Exception:
        temp = None
    if temp is None:
        last = path.rsplit("_", 1)[-1].split(".")[0]
        txt = last.split("T")[1]
        temp = int(txt[1:]) * (1 if txt[0] == "p" else -1)
    v = df["Voltage(V)"].to_numpy(dtype=float)
    k = int(np.nonzero(v < vcut)[0][0])
    t = df["Seconds"].to_numpy(dtype=float)[:k]
    i = df["Current(A)"].to_numpy(dtype=float)[:k]
    cum = np.abs(cumulative_trapezoid(y=1000 * i, x=t, initial=0) / 3600)
    return temp, float(cum[-1]) / 1000.0


def check_params_file(path, model, infile, vcut):
    """Problems with one parameter file (empty list when it is complete and right)."""
    problems = []
    try:
        with open(path, encoding="utf-8") as fh:
            d = json.load(fh)
    except Exception as e:
        return [f"{path}: does not parse as JSON ({e!r})"]
    if not isinstance(d, dict) or set(d) != {"TempC", "Tparam_1", "Tparam_2", "Tparam_3"}:
        return [f"{path}: keys {sorted(d) if isinstance(d, dict) else type(d)}"]
    nparams = 5 if model == "model2" else 3
    t2 = d["Tparam_2"]
    if not (isinstance(t2, list) and len(t2) == nparams):
        problems.append(f"{path}: Tparam_2 {t2!r} is not {nparams} medians")
    elif not all(isinstance(x, float) and math.isfinite(x) and BOUND_LO <= x <= BOUND_HI for x in t2):
        problems.append(f"{path}: Tparam_2 {t2!r} not finite values within the bounds")
    t3 = d["Tparam_3"]
    if not (isinstance(t3, list) and len(t3) == 2 and all(isinstance(c, list) and len(c) == 201 for c in t3)):
        problems.append(f"{path}: Tparam_3 is not [SOC(201), OCV(201)]")
    else:
        if not np.allclose(t3[0], np.linspace(0, 1, 201), rtol=0, atol=1e-12):
            problems.append(f"{path}: SOC grid is not 0..1 in 201 steps")
        if not all(isinstance(x, float) and math.isfinite(x) for x in t3[1]):
            problems.append(f"{path}: OCV table holds values that are not finite numbers")
    if not isinstance(d["TempC"], int):
        problems.append(f"{path}: TempC {d['TempC']!r} is not an integer")
    try:
        temp, charge = independent_reading(infile, vcut)
    except Exception as e:
        problems.append(f"{path}: written, but pandas cannot read the recording it came from ({e!r})")
        return problems
    if d["TempC"] != temp:
        problems.append(f"{path}: TempC {d['TempC']} but the recording says {temp}")
    t1 = d["Tparam_1"]
    if not (isinstance(t1, float) and math.isclose(t1, charge, rel_tol=1e-9, abs_tol=1e-15)):
        problems.append(f"{path}: Tparam_1 {t1!r} but the trapezoid charge of the kept samples is {charge!r}")
    return problems


def check_ocv_file(path, params_path):
    try:
        with open(path, encoding="utf-8") as fh:
            lines = fh.read().split("\n")
    except Exception as e:
        return [f"{path}: cannot be read ({e!r})"]
    if lines and lines[-1] == "":
        lines = lines[:-1]
    if len(lines) != 202:
        return [f"{path}: {len(lines)} lines, expected 202"]
    try:
        table = np.array([[float(x) for x in ln.split(",")] for ln in lines[1:]])
    except ValueError as e:
        return [f"{path}: a line is not two numbers ({e})"]
    try:
        with open(params_path, encoding="utf-8") as fh:
            t3 = json.load(fh)["Tparam_3"]
        if not (np.array_equal(table[:, 0], np.asarray(t3[0])) and np.array_equal(table[:, 1], np.asarray(t3[1]))):
            return [f"{path}: the table differs from Tparam_3 of {os.path.basename(params_path)}"]
    except Exception:
        pass
    return []


def check_model_file(path):
    try:
        with open(path, encoding="utf-8") as fh:
            d = json.loads(fh.read())
    except Exception as e:
        return [f"{path}: does not parse ({e!r})"]
    if not isinstance(d, dict) or "temps" not in d or "param_1" not in d:
        return [f"{path}: not a model object"]
    return []


def classify(run_or_exc, timeout_hit=False):
    """'hang', 'crash', 'completed', 'exit', 'exception' or 'other' from the process result."""
    if timeout_hit:
        return "hang"
    rc, stderr = run_or_exc.returncode, run_or_exc.stderr
    if rc < 0 or any(m in stderr for m in CRASH_MARKS):
        return "crash"
    if rc == 0:
        return "completed"
    if stderr.endswith(CONFIG_EXIT + "\n") or stderr.endswith(CUTOFF_EXIT + "\n"):
        return "exit"
    if rc == 1 and "Traceback (most recent call last)" in stderr and EXCEPTION_LINE.match(last_line(stderr)):
        return "exception"
    return "other"


def judge(case: Case, root, run, timeout_hit=False):
    """(outcome, problems) of one run of ``case`` written under ``root``."""
    outcome = classify(run, timeout_hit)
    if outcome in ("hang", "crash", "other"):
        tail = "" if timeout_hit else run.stderr[-3000:]
        return outcome, [f"{outcome}: rc={None if timeout_hit else run.returncode}\n{tail}"]
    problems = []
    folder = os.path.join(str(root), "db", case.folder)
    results = os.path.join(folder, "results")
    stderr = run.stderr
    started = started_files(stderr)
    model = case.effective.get("model", case.model)
    try:
        vcut = float(case.effective.get("low_cutoff", case.low_cutoff))
    except (TypeError, ValueError):
        vcut = None
    last = last_line(stderr)
    if outcome == "exception" and any(m in last for m in UNCLEAR_MARKS):
        problems.append(f"unclear message: {last}")

    # Recordings whose two files were reported written, in run order.
    done = [f for f in started if "INFO:Saved file " + expected_outputs(results, f)[1] in stderr]
    failed_in = [f for f in started if f not in done]
    if outcome == "exception" and failed_in:
        # the failure happened in a recording: the message names it
        bad = failed_in[-1]
        # a configuration value first used here may be what is wrong
        if os.path.basename(bad) not in last and "input_params.json" not in last:
            problems.append(f"message does not name the recording {os.path.basename(bad)}: {last}")
    if outcome == "exception" and not started and "input_params.json" not in last and "_params.json" not in last:
        problems.append(f"configuration-stage error does not name input_params.json: {last}")
    if outcome != "completed" and len(failed_in) > 1:
        problems.append(f"more than one recording started without finishing: {failed_in}")

    if os.path.isdir(results):
        names = os.listdir(results)
        leftovers = [n for n in names if n.startswith(".") and ".tmp" in n]
        if leftovers:
            problems.append(f"temporary files left after a run that was not killed: {leftovers}")
        for f in done:
            pj, oc = expected_outputs(results, f)
            problems += check_params_file(pj, model, f, vcut)
            problems += check_ocv_file(oc, pj)
        for f in failed_in:
            for p in expected_outputs(results, f):
                if os.path.exists(p):
                    problems.append(f"{p}: written for a recording whose processing failed")
        has_model = os.path.exists(os.path.join(results, "battery_model.json"))
        if outcome == "completed":
            if not has_model:
                problems.append("completed run without battery_model.json")
            else:
                problems += check_model_file(os.path.join(results, "battery_model.json"))
            if len(done) != len(case.recordings):
                problems.append(f"completed run wrote files for {len(done)} of {len(case.recordings)} recordings")
        elif has_model and failed_in:
            problems.append("battery_model.json written although a recording failed")
    elif outcome == "completed":
        problems.append("completed run without a results directory")
    return outcome, problems


def recovered_r0(case, root):
    """(file, fitted R0 median, true R0) of the untouched recordings of a completed run."""
    results = os.path.join(str(root), "db", case.folder, "results")
    out = []
    for rec in case.recordings:
        if rec.valid:
            pj = os.path.join(results, os.path.splitext(rec.name)[0] + "_params.json")
            with open(pj) as fh:
                out.append((rec.name, json.load(fh)["Tparam_2"][0], rec.truth["r0_ohm"]))
    return out


def results_snapshot(results_dir):
    """{name: bytes} of the visible files of a results directory."""
    out = {}
    for p in sorted(glob.glob(os.path.join(results_dir, "*"))):
        with open(p, "rb") as fh:
            out[os.path.basename(p)] = fh.read()
    return out

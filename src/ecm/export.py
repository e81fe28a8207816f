"""Exports of a finished model: a PyBaMM parameter set, plain CSV tables, a MAT file.

Every export reads the model through ecm.modelfile, the way ecm.validate
simulates it: OCV(SOC, T) = OCV0(SOC) + OCVrel(SOC) T; R0, each branch's R
and tau linear in SOC (with the SOC x temperature tables when they exist)
and in temperature, held flat beyond the ends; C = tau / R.
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, List, Optional, Union

import numpy as np
import pandas as pd

from ecm import _core
from ecm._errors import UsageError
from ecm.modelfile import Model, load_model

FORMATS = ("pybamm", "csv", "mat")
DEFAULT_TEMPERATURE_C = 25.0

# Thermal values a model of R and C does not hold; scaled with the capacity (a
# cell of some 22 g per Ah at 900 J/(kg K)); only PyBaMM's heat equations use them.
THERMAL_MASS_J_PER_K_AH = 20.0
HEAT_TRANSFER_W_PER_K_AH = 0.1


def _default_out(m: Model, fmt: str) -> str:
    base = os.path.dirname(os.path.abspath(m.path))
    return os.path.join(base, {"pybamm": "pybamm_parameters.py", "csv": "csv", "mat": "battery_model.mat"}[fmt])


def export(
    model: Union[str, os.PathLike, Model],
    to: str,
    out: Optional[Union[str, os.PathLike]] = None,
    *,
    temperature: Optional[float] = None,
    tables: Union[None, bool, str, os.PathLike] = None,
) -> List[str]:
    """Writes the model in the format `to` ("pybamm", "csv" or "mat") and
    returns the paths written. out: a file (pybamm, mat) or a folder (csv);
    default beside the model. temperature (C, pybamm only): the temperature
    whose capacity the set holds and its initial and ambient temperature
    (default 25 C, or the model's nearest temperature)."""
    if to not in FORMATS:
        raise UsageError(f"unknown export format {to!r}; expected one of {', '.join(FORMATS)}")
    m = model if isinstance(model, Model) else load_model(model, tables=tables)
    path = os.fspath(out) if out is not None else _default_out(m, to)
    if to == "pybamm":
        return [write_pybamm(m, path, temperature)]
    if to == "csv":
        return write_csv(m, path)
    return [write_mat(m, path)]


# --------------------------------------------------------------------------- PyBaMM


#: Temperatures (C) at which the exported tables carry the model, beside its own: PyBaMM interpolates
#: linearly between them, so the set follows the evaluator's Arrhenius law in temperature.
EXPORT_TEMPERATURES_C = np.arange(-40.0, 70.0 + 1e-9, 5.0)


def _grids(m: Model):
    """SOC axis, temperature axis and per quantity a [soc][temperature] array
    of the model as the evaluator gives it (with its SOC tables when it has
    them), each axis with at least two points (a single point is repeated 1
    apart, which keeps the value constant). A one-temperature model is that
    temperature's model everywhere."""
    names = ["R0"] + [f"{q}{b + 1}" for b in range(m.all_branches) for q in ("R", "tau")]
    temps = np.unique(np.concatenate([m.temps, EXPORT_TEMPERATURES_C])) if len(m.temps) > 1 else m.temps[:1]
    cols: Dict[str, list] = {n: [] for n in names}
    soc = np.array([0.0])
    for T in temps:
        at = m.at(float(T), use_tables=m.tables is not None)
        soc = np.asarray(at.param_soc, dtype=float)
        cols["R0"].append(np.asarray(at.r0, dtype=float))
        for b in range(m.all_branches):
            cols[f"R{b + 1}"].append(np.asarray(at.r[b], dtype=float))
            cols[f"tau{b + 1}"].append(np.asarray(at.tau[b], dtype=float))
    data = {n: np.column_stack(c) for n, c in cols.items()}
    if len(soc) == 1:
        soc = np.array([soc[0], soc[0] + 1.0])
        data = {n: np.vstack([d, d]) for n, d in data.items()}
    temps = np.asarray(temps, dtype=float)
    if len(temps) == 1:
        temps = np.array([temps[0], temps[0] + 1.0])
        data = {n: np.hstack([d, d]) for n, d in data.items()}
    return soc, temps, data


def _lit(a) -> str:
    return json.dumps(np.asarray(a, dtype=float).tolist())


def _export_temperature(m: Model, temperature: Optional[float]) -> float:
    if temperature is not None:
        return float(temperature)
    if m.temps.min() <= DEFAULT_TEMPERATURE_C <= m.temps.max():
        return DEFAULT_TEMPERATURE_C
    return float(m.temps[np.argmin(np.abs(m.temps - DEFAULT_TEMPERATURE_C))])


def _ocv_table(m: Model):
    """(temperatures, [soc][temperature]) of the model's OCV table, evaluated by the core at its
    temperatures; a table of one temperature is given twice, one degree apart (PyBaMM's
    two-dimensional interpolant needs two)."""
    temps = sorted(set(float(x) for x in m.tables["OCV"]["temperatures"]))  # type: ignore[index]
    cols = [np.asarray(m.ocv_at(t), dtype=float) for t in temps]
    if len(temps) == 1:
        temps, cols = [temps[0], temps[0] + 1.0], cols * 2
    return temps, np.column_stack(cols)


def _ocv_function(m: Model) -> List[str]:
    """open_circuit_voltage(sto) of the exported set: the OCV table where the model has one (linear
    in SoC and temperature, held beyond), else the builder's linear law."""
    if m.has_ocv_table:
        temps, rows = _ocv_table(m)
        return [
            f"OCV_TABLE_TEMPERATURE_C = np.array({_lit(temps)})",
            "# [soc][temperature], from the slow tests fitted with the pulse tests",
            f"OCV_TABLE_V = np.array({json.dumps(rows.tolist())})",
            "",
            "",
            "def open_circuit_voltage(sto):",
            "    s = _clamp(sto, OCV_SOC[0], OCV_SOC[-1])",
            '    T = _clamp(pybamm.Parameter("Initial temperature [K]") - 273.15, OCV_TABLE_TEMPERATURE_C[0],',
            "               OCV_TABLE_TEMPERATURE_C[-1])",
            '    return pybamm.Interpolant((OCV_SOC, OCV_TABLE_TEMPERATURE_C), OCV_TABLE_V, (s, T), name="OCV",',
            '                              interpolator="linear")',
            "",
            "",
        ]
    return [
        "def open_circuit_voltage(sto):",
        "    s = _clamp(sto, OCV_SOC[0], OCV_SOC[-1])",
        '    T = _clamp(pybamm.Parameter("Initial temperature [K]") - 273.15, *OCV_TEMPERATURE_C)',
        '    ocv0 = pybamm.Interpolant(OCV_SOC, OCV0_V, s, name="OCV0", interpolator="linear")',
        '    rel = pybamm.Interpolant(OCV_SOC, OCVREL_V_PER_C, s, name="OCVrel", interpolator="linear")',
        "    return ocv0 + rel * T",
        "",
        "",
    ]


def pybamm_text(m: Model, temperature: Optional[float] = None) -> str:
    T = _export_temperature(m, temperature)
    soc, temps, data = _grids(m)
    cap = m.capacity_at(T)
    vaxis = np.asarray(m.doc.get("param_2", []), dtype=float)
    v_low = float(vaxis[0] + 0.01) if len(vaxis) else float(np.min(m.ocv_at(T)))
    v_high = float(vaxis[-1]) if len(vaxis) else float(np.max(m.ocv_at(T)))
    # dU/dT as PyBaMM asks for it, against the OCV (at the export temperature, where it rises)
    ocv_t = m.ocv_at(T)
    keep = np.concatenate(([True], np.diff(np.maximum.accumulate(ocv_t)) > 0))
    ent_v, ent_k = ocv_t[keep], m.ocvrel[keep]
    if len(np.unique(m.temps)) < 2:  # one temperature determines no entropic change
        ent_k = np.zeros_like(ent_k)
    if len(ent_v) < 2:  # a flat curve: no slope to tell
        ent_v, ent_k = np.array([ocv_t.min(), ocv_t.min() + 1.0]), np.zeros(2)
    nb = m.all_branches  # the slow branch, where the model has one, is the last RC element
    lines = [
        f'"""PyBaMM parameter set of the battery model {m.name!r}, for',
        f'pybamm.equivalent_circuit.Thevenin(options={{"number of rc elements": {nb}}}).',
        "",
        f"Exported by `ecm export` from {m.path}" + (f" and {m.tables_path}" if m.tables_path else "") + ".",
        "",
        "    import runpy, pybamm",
        '    cell = runpy.run_path("<this file>")',
        '    values = pybamm.ParameterValues(cell["get_parameter_values"]())',
        '    values["Initial SoC"] = 0.8  # set the start',
        '    model = cell["model"]()',
        "",
        "What the set holds:",
        (
            "- Open-circuit voltage [V]: the OCV table of the slow tests, linear in SoC and T; PyBaMM's OCV"
            if m.has_ocv_table
            else "- Open-circuit voltage [V]: OCV0(SoC) + OCVrel(SoC) * T, linear in SoC; PyBaMM's OCV"
        ),
        '  takes the SoC only, so T is the set\'s "Initial temperature [K]" (in C).',
        "- Entropic change [V/K]: OCVrel against the OCV (it enters PyBaMM's reversible heat only).",
        "- R0, R1, C1" + (", R2, C2" if nb == 2 else "") + " [Ohm, F]: functions of the cell temperature (C) and the",
        "  SoC, "
        + ("from the SOC x temperature tables" if m.tables is not None else "constant in SoC")
        + ", linear between points and flat beyond; C = tau / R. They do not",
        "  depend on the current (the model has no current dependence).",
        f"- Cell capacity [A.h]: the model's capacity at {T:g} C; PyBaMM takes one value.",
        f"- Temperatures: ambient and initial {T:g} C.",
        "- Thermal values (cell and jig thermal mass, heat transfer coefficients) are DEFAULTS,",
        "  not measured: the model holds no thermal data. They scale with the capacity",
        f"  ({THERMAL_MASS_J_PER_K_AH:g} J/K and {HEAT_TRANSFER_W_PER_K_AH:g} W/K per Ah); set your own.",
        "- Initial SoC 0.5 and the current 1 C are placeholders for your experiment.",
        '"""',
        "import numpy as np",
        "import pybamm",
        "",
        f"NUMBER_OF_RC_ELEMENTS = {nb}",
        f"EXPORT_TEMPERATURE_C = {T!r}",
        f"OCV_SOC = np.array({_lit(m.soc)})",
        f"OCV0_V = np.array({_lit(m.ocv0)})",
        f"OCVREL_V_PER_C = np.array({_lit(m.ocvrel)})",
        f"OCV_TEMPERATURE_C = ({float(np.min(m.temps))!r}, {float(np.max(m.temps))!r})  # the OCV law holds here",
        f"ENTROPIC_OCV_V = np.array({_lit(ent_v)})",
        f"ENTROPIC_V_PER_K = np.array({_lit(ent_k)})",
        f"PARAM_SOC = np.array({_lit(soc)})",
        f"PARAM_TEMPERATURE_C = np.array({_lit(temps)})",
        "# [soc][temperature]",
    ]
    for n, d in data.items():
        lines.append(f"{n.upper()} = np.array({json.dumps(np.asarray(d, dtype=float).tolist())})")
    lines += [
        "",
        "",
        "def _clamp(x, lo, hi):",
        "    return pybamm.maximum(pybamm.minimum(x, float(hi)), float(lo))",
        "",
        "",
        "def _table(name, values, T_cell, soc):",
        "    s = _clamp(soc, PARAM_SOC[0], PARAM_SOC[-1])",
        "    t = _clamp(T_cell, PARAM_TEMPERATURE_C[0], PARAM_TEMPERATURE_C[-1])",
        "    return pybamm.Interpolant((PARAM_SOC, PARAM_TEMPERATURE_C), values, (s, t), name=name,",
        '                              interpolator="linear")',
        "",
        "",
        *_ocv_function(m),
        "def entropic_change(ocv, T_cell):",
        "    v = _clamp(ocv, ENTROPIC_OCV_V[0], ENTROPIC_OCV_V[-1])",
        '    return pybamm.Interpolant(ENTROPIC_OCV_V, ENTROPIC_V_PER_K, v, name="dUdT", interpolator="linear")',
        "",
        "",
        "def r0(T_cell, current, soc):",
        '    return _table("R0", R0, T_cell, soc)',
        "",
    ]
    for b in range(1, nb + 1):
        lines += [
            "",
            f"def r{b}(T_cell, current, soc):",
            f'    return _table("R{b}", R{b}, T_cell, soc)',
            "",
            "",
            f"def c{b}(T_cell, current, soc):",
            f'    return _table("tau{b}", TAU{b}, T_cell, soc) / _table("R{b}", R{b}, T_cell, soc)',
            "",
        ]
    values = [
        ("Cell capacity [A.h]", repr(cap)),
        ("Nominal cell capacity [A.h]", repr(cap)),
        ("Current function [A]", repr(cap)),
        ("Initial SoC", "0.5"),
        ("Upper voltage cut-off [V]", repr(v_high)),
        ("Lower voltage cut-off [V]", repr(v_low)),
        ("Open-circuit voltage [V]", "open_circuit_voltage"),
        ("Entropic change [V/K]", "entropic_change"),
        ("R0 [Ohm]", "r0"),
    ]
    for b in range(1, nb + 1):
        values += [(f"R{b} [Ohm]", f"r{b}"), (f"C{b} [F]", f"c{b}"), (f"Element-{b} initial overpotential [V]", "0.0")]
    T_k = T + 273.15
    values += [
        ("Ambient temperature [K]", repr(T_k)),
        ("Initial temperature [K]", repr(T_k)),
        ("Cell thermal mass [J/K]", repr(THERMAL_MASS_J_PER_K_AH * cap) + "  # default, not measured"),
        ("Cell-jig heat transfer coefficient [W/K]", repr(HEAT_TRANSFER_W_PER_K_AH * cap) + "  # default"),
        ("Jig thermal mass [J/K]", repr(0.5 * THERMAL_MASS_J_PER_K_AH * cap) + "  # default"),
        ("Jig-air heat transfer coefficient [W/K]", repr(HEAT_TRANSFER_W_PER_K_AH * cap) + "  # default"),
        ("RCR lookup limit [A]", repr(10.0 * cap) + "  # PyBaMM's lookup bound, unused by the tables"),
    ]
    lines += [
        "",
        "def get_parameter_values():",
        '    """The parameter values (a dict for pybamm.ParameterValues)."""',
        "    return {",
    ]
    lines += [
        f"        {json.dumps(k)}: {v.split('  #')[0]},{'  #' + v.split('  #')[1] if '  #' in v else ''}"
        for k, v in values
    ]
    lines += [
        "    }",
        "",
        "",
        "def parameter_values():",
        "    return pybamm.ParameterValues(get_parameter_values())",
        "",
        "",
        "def model():",
        '    return pybamm.equivalent_circuit.Thevenin(options={"number of rc elements": NUMBER_OF_RC_ELEMENTS})',
        "",
    ]
    return "\n".join(lines)


def write_pybamm(m: Model, path: str, temperature: Optional[float] = None) -> str:
    _core.write_text_file(path, pybamm_text(m, temperature))
    return path


# --------------------------------------------------------------------------- CSV


def write_csv(m: Model, folder: str) -> List[str]:
    """ocv.csv, soc_from_ocv.csv, parameters_by_temperature.csv and, with the
    SOC tables, parameters_by_soc_temperature.csv (long format)."""
    if os.path.isfile(folder):
        raise UsageError(f"'{folder}' is a file; the csv export writes a folder of tables")
    os.makedirs(folder, exist_ok=True)
    written = []

    def put(name, frame):
        p = os.path.join(folder, name)
        _core.write_text_file(p, frame.to_csv(index=False, float_format="%.10g"))
        written.append(p)

    ocv = pd.DataFrame({"soc": m.soc, "OCV0_V": m.ocv0, "OCVrel_V_per_C": m.ocvrel})
    for t in m.temps:
        ocv[f"OCV_{t:g}C_V"] = m.ocv_at(t)
    put("ocv.csv", ocv)
    d = m.doc
    if all(k in d for k in ("param_2", "param_7", "param_8")):
        put(
            "soc_from_ocv.csv",
            pd.DataFrame({"ocv_V": d["param_2"], "SOC0": d["param_8"], "SOCrel_per_C": d["param_7"]}),
        )
    by_t = pd.DataFrame({"temperature_C": m.temps, "R0_ohm": m.r0})
    for b in range(m.branches):
        by_t[f"R{b + 1}_ohm"] = m.r[b]
        by_t[f"tau{b + 1}_s"] = m.tau[b]
        by_t[f"C{b + 1}_F"] = m.tau[b] / m.r[b]
    by_t["capacity_Ah"] = m.capacity_ah
    put("parameters_by_temperature.csv", by_t)
    if m.tables is not None:
        soc = np.asarray(m.tables["soc"], dtype=float)
        temps, r0 = m.tables_by_temperature("R0")
        cols = {"temperature_C": np.repeat(temps, len(soc)), "soc": np.tile(soc, len(temps)), "R0_ohm": r0.ravel()}
        for b in range(m.branches):
            r = m.tables_by_temperature(f"R{b + 1}")[1].ravel()
            tau = m.tables_by_temperature(f"tau{b + 1}")[1].ravel()
            cols[f"R{b + 1}_ohm"] = r
            cols[f"tau{b + 1}_s"] = tau
            with np.errstate(divide="ignore", invalid="ignore"):
                cols[f"C{b + 1}_F"] = tau / r
        put("parameters_by_soc_temperature.csv", pd.DataFrame(cols))
    return written


# --------------------------------------------------------------------------- MAT

_MAT_KEYS = [
    ("param_1", "SOC"),
    ("temps", "temps"),
    ("param_2", "OCV"),
    ("param_3", "OCVrel"),
    ("param_4", "OCV0"),
    ("param_5", "dOCV0"),
    ("param_6", "dOCVrel"),
    ("param_7", "SOCrel"),
    ("param_8", "SOC0"),
    ("param_9", "R0Param"),
    ("param_10", "RCParam"),
    ("param_11", "RParam"),
    ("param_12", "QParam"),
]


def write_mat(m: Model, path: str) -> str:
    """The MAT file the builder writes on request (one structure `model` with
    the descriptive keys), plus a structure `tables` (soc, temperatures and
    each quantity as temperature x SOC) when the SOC tables exist."""
    params: Dict[str, Any] = {}
    for jkey, mkey in _MAT_KEYS:
        if jkey in m.doc:
            params[mkey] = np.asarray(m.doc[jkey], dtype=float)
    params["name"] = "".join(f"'{c}'" for c in m.name)
    mdict = {"model": params}
    if m.tables is not None:
        tabs = {"soc": np.asarray(m.tables["soc"], dtype=float)}
        names = ["R0"] + [f"{q}{b + 1}" for b in range(m.branches) for q in ("R", "tau")]
        for n in names:
            temps, rows = m.tables_by_temperature(n)
            tabs["temperatures"] = temps
            tabs[n] = rows
        for b in range(m.branches):
            tabs[f"C{b + 1}"] = tabs[f"tau{b + 1}"] / tabs[f"R{b + 1}"]
        mdict["tables"] = tabs
    _core.write_mat_file(path, mdict)
    return path

"""Reading a finished model: ``battery_model.json`` and, when it lies beside
it, the SOC x temperature tables ``battery_model_tables.json`` (written by the
joint method).

The model is read as the builder wrote it: OCV(SOC, T) = OCV0(SOC) +
OCVrel(SOC) * T on the model's SOC axis, and R0, the RC resistances and time
constants and the capacity at each temperature. In temperature the model is
used only where its data determine it: resistances and time constants follow
the Arrhenius law between the temperatures and that of all of them beyond
(never falling as the cell gets colder), the OCV the builder's linear law
between the temperatures (held beyond), the capacity is linear between them
(held beyond); a model of one temperature is that temperature's model at any T.
Within a temperature the tables (when used) are linear in SOC between their
points and flat beyond. Validation and every export read the model through this module,
so they agree on what the model says.
"""

from __future__ import annotations

import hashlib
import json
import logging
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Union

import numpy as np

from ecm import _core
from ecm._errors import UsageError
from ecm.quantities import TABLES_FILE

log = logging.getLogger("ecm")

MODEL_FILE = "battery_model.json"


#: The tables of the slow branch fitted on whole recordings, and of a calibration's OCV offsets.
SLOW_TABLES = ("R_slow", "tau_slow", "OCV_offset")


class ModelFileError(UsageError):
    """A model file that cannot be read; the message names the file and what was expected."""


def _numbers(doc: Dict[str, Any], key: str, path: str, what: str) -> np.ndarray:
    if key not in doc:
        raise ModelFileError(f"'{path}' has no \"{key}\" ({what}); expected a battery model written by ecm fit")
    try:
        a = np.asarray(doc[key], dtype=float)
    except (TypeError, ValueError):
        raise ModelFileError(f"'{path}': \"{key}\" ({what}) must be a list of numbers") from None
    if a.ndim != 1 or not a.size:
        raise ModelFileError(f"'{path}': \"{key}\" ({what}) must be a non-empty list of numbers")
    return a


def _read_json(path: str, what: str) -> Any:
    try:
        with open(path, encoding="utf-8") as fh:
            return json.load(fh)
    except FileNotFoundError:
        raise ModelFileError(f"'{path}' does not exist; expected {what}") from None
    except IsADirectoryError:
        raise ModelFileError(f"'{path}' is a folder; expected {what}") from None
    except (UnicodeDecodeError, ValueError) as e:
        raise ModelFileError(f"'{path}' is not valid JSON ({e}); expected {what}") from None
    except OSError as e:
        raise ModelFileError(f"cannot read '{path}': {e.strerror or e}") from None


@dataclass
class ModelAt:
    """The model at one temperature, as the simulation takes it."""

    temperature: float
    ocv_soc: np.ndarray
    ocv_v: np.ndarray
    param_soc: np.ndarray
    r0: np.ndarray
    r: List[np.ndarray]
    tau: List[np.ndarray]
    capacity_ah: float


@dataclass
class Model:
    """A battery model read from its files. Temperatures are unique and
    ascending (values of repeated temperatures averaged)."""

    path: str
    name: str
    soc: np.ndarray  # the OCV tables' SOC axis
    ocv0: np.ndarray  # V at 0 C
    ocvrel: np.ndarray  # V/C
    temps: np.ndarray  # C
    r0: np.ndarray  # ohm per temperature
    r: List[np.ndarray]  # per branch, ohm per temperature
    tau: List[np.ndarray]  # per branch, s per temperature
    capacity_ah: np.ndarray  # Ah per temperature
    doc: Dict[str, Any] = field(repr=False, default_factory=dict)
    tables_path: Optional[str] = None
    tables: Optional[Dict[str, Any]] = field(repr=False, default=None)
    _evaluator: Any = field(repr=False, default=None, compare=False)

    @property
    def branches(self) -> int:
        return len(self.r)

    def evaluator(self) -> Any:
        """The core's evaluator of this model (``ecm._core.ModelEvaluator``), with its tables."""
        key = id(self.tables)
        if self._evaluator is None or self._evaluator[0] != key:
            tabs = self.tables
            names = ["R0"] + [f"{q}{b + 1}" for b in range(self.branches) for q in ("R", "tau")]
            names += [n for n in SLOW_TABLES if tabs and n in tabs]
            ev = _core.ModelEvaluator(
                self.soc,
                self.ocv0,
                self.ocvrel,
                self.temps,
                self.r0,
                self.capacity_ah,
                self.r,
                self.tau,
                np.asarray(tabs["soc"], dtype=float) if tabs else np.zeros(0),
                np.asarray(tabs["temperatures"], dtype=float) if tabs else np.zeros(0),
                {n: tabs[n] for n in names} if tabs else {},
                *_ocv_table_args(tabs),
            )
            self._evaluator = (key, ev)
        return self._evaluator[1]

    @property
    def has_ocv_table(self) -> bool:
        """Whether the tables carry an OCV per temperature (fitted with slow tests), which then
        replaces the builder's linear law."""
        return bool(self.tables and "OCV" in self.tables)

    def ocv_at(self, temperature: float) -> np.ndarray:
        """The OCV on the model's SOC axis at a temperature (C)."""
        return self.evaluator().ocv(float(temperature))

    def capacity_at(self, temperature: float) -> float:
        """The capacity (Ah) at a temperature (C)."""
        return float(self.evaluator().capacity_ah(float(temperature)))

    def table_grid(self, name: str) -> np.ndarray:
        """A quantity of the SOC x temperature tables as [temperature][soc] over
        the tables' own temperatures, gaps filled: a temperature where no pulse
        determines it takes the model's value there."""
        if self.tables is None:
            raise ValueError(f"{self.path}: the model has no SOC tables")
        return self.evaluator().table_grid(name)

    def tables_by_temperature(self, name: str):
        """(temperatures, [temperature][soc]) with repeated temperatures averaged."""
        if self.tables is None:
            raise ValueError(f"{self.path}: the model has no SOC tables")
        return self.evaluator().table_by_temperature(name)

    def temperature_note(self, temperature: float) -> Optional[str]:
        """What the model does at a temperature its data do not cover, or None."""
        T = float(temperature)
        lo, hi = float(np.min(self.temps)), float(np.max(self.temps))
        if len(self.temps) == 1 and T != lo:
            return (
                f"{self.path}: the model holds one temperature ({lo:g} C); its parameters and OCV are used "
                f"at {T:g} C (one temperature determines no temperature dependence)"
            )
        if T < lo or T > hi:
            end = lo if T < lo else hi
            return (
                f"{self.path}: {T:g} C lies outside the model's temperatures ({lo:g} to {hi:g} C): resistances "
                f"and time constants are extrapolated by the Arrhenius law, the OCV and capacity held at {end:g} C"
            )
        return None

    @property
    def all_branches(self) -> int:
        """The RC branches of at(): the fitted ones and the slow branch, where the tables hold one."""
        return self.branches + (1 if self.has_slow_branch else 0)

    @property
    def has_slow_branch(self) -> bool:
        """Whether the tables hold a slow branch fitted on whole recordings (the last RC branch of at())."""
        tabs = self.tables
        return tabs is not None and all(n in tabs for n in SLOW_TABLES[:2])

    def at(self, temperature: float, use_tables: bool = True, use_slow: bool = True) -> ModelAt:
        """The model at one temperature (C); the slow branch (where the tables hold one, and
        use_slow) is its last RC branch, and a calibration's OCV offsets are in its OCV."""
        T = float(temperature)
        d = self.evaluator().at(T, use_tables, use_slow)
        return ModelAt(T, d["ocv_soc"], d["ocv_v"], d["param_soc"], d["r0"], d["r"], d["tau"], d["capacity_ah"])


def model_path(path: Union[str, os.PathLike]) -> str:
    """battery_model.json itself, or the one inside a results folder or a battery folder."""
    p = os.fspath(path)
    if os.path.isdir(p):
        for cand in (os.path.join(p, MODEL_FILE), os.path.join(p, "results", MODEL_FILE)):
            if os.path.isfile(cand):
                return cand
        raise ModelFileError(
            f"'{p}' holds no {MODEL_FILE} (nor results/{MODEL_FILE}); expected a battery model written by ecm fit"
        )
    return p


def load_model(path: Union[str, os.PathLike], tables: Union[None, bool, str, os.PathLike] = None) -> Model:
    """Reads battery_model.json (or the one in a results folder). tables: None
    reads battery_model_tables.json beside it when it exists, False never, a
    path reads that file."""
    p = model_path(path)
    what = "a battery model (battery_model.json written by ecm fit)"
    doc = _read_json(p, what)
    if not isinstance(doc, dict):
        raise ModelFileError(f"'{p}' holds no JSON object; expected {what}")
    model = model_from_doc(doc, p)
    return _tables_of(model, p, model.branches, tables)


def model_from_doc(doc: Dict[str, Any], p: str) -> Model:
    """The model of a battery_model.json document (p: its path, for messages)."""
    soc = _numbers(doc, "param_1", p, "SOC axis")
    temps = _numbers(doc, "temps", p, "temperatures")
    ocvrel = _numbers(doc, "param_3", p, "OCV temperature slope")
    ocv0 = _numbers(doc, "param_4", p, "OCV at 0 C")
    r0 = _numbers(doc, "param_9", p, "R0 per temperature")
    rc = _numbers(doc, "param_10", p, "RC time constants")
    rr = _numbers(doc, "param_11", p, "RC resistances")
    q = _numbers(doc, "param_12", p, "capacity per temperature")
    n = len(temps)
    if not (len(ocv0) == len(ocvrel) == len(soc)):
        raise ModelFileError(
            f"'{p}': the OCV tables (param_3, param_4) must have one value per SOC point (param_1, {len(soc)} points)"
        )
    if len(r0) != n or len(q) != n:
        raise ModelFileError(f"'{p}': R0 (param_9) and the capacity (param_12) need one value per temperature ({n})")
    if len(rc) != len(rr) or len(rc) not in (n, 2 * n):
        raise ModelFileError(
            f"'{p}': the RC tables (param_10, param_11) hold {len(rc)} and {len(rr)} values; "
            f"expected {n} (one branch) or {2 * n} (two branches, every temperature)"
        )
    if not np.all(np.diff(soc) > 0):
        raise ModelFileError(f"'{p}': the SOC axis (param_1) must be ascending")
    for name, arr in (
        ("param_3", ocvrel),
        ("param_4", ocv0),
        ("param_9", r0),
        ("param_10", rc),
        ("param_11", rr),
        ("param_12", q),
        ("temps", temps),
    ):
        if not np.all(np.isfinite(arr)):
            raise ModelFileError(f"'{p}': \"{name}\" holds values that are not finite")
    nb = len(rc) // n
    # repeated temperatures (one value per file) are averaged by the evaluator
    raw_r = [rr[b * n : (b + 1) * n] for b in range(nb)]
    raw_tau = [rc[b * n : (b + 1) * n] for b in range(nb)]
    try:
        ev = _core.ModelEvaluator(soc, ocv0, ocvrel, temps, r0, q, raw_r, raw_tau, np.zeros(0), np.zeros(0), {})
    except ValueError as e:
        raise ModelFileError(f"'{p}': {e}") from None
    uniq, r0u, qu = ev.temperatures, ev.r0_by_temperature, ev.capacity_by_temperature
    r = [ev.r_by_temperature(b) for b in range(nb)]
    tau = [ev.tau_by_temperature(b) for b in range(nb)]
    name = doc.get("name", "")
    model = Model(
        path=p,
        name=name if isinstance(name, str) else "",
        soc=soc,
        ocv0=ocv0,
        ocvrel=ocvrel,
        temps=uniq,
        r0=r0u,
        r=r,
        tau=tau,
        capacity_ah=qu,
        doc=doc,
    )
    return model


def model_of_extraction(ex: Any) -> Model:
    """The model an extraction holds (not yet written), with its tables when the joint method made them."""
    path = os.path.join(ex.folder or ".", "results", MODEL_FILE) if ex.folder else MODEL_FILE
    model = model_from_doc(ex.model, path)
    if ex.method == "joint":
        model.tables = _check_tables(ex.tables(), path, model.branches)
        model.tables_path = "(tables of the fit)"
    return model


def _tables_of(model: Model, p: str, nb: int, tables: Union[None, bool, str, os.PathLike]) -> Model:
    tpath: Optional[str] = None
    if tables is None:
        cand = os.path.join(os.path.dirname(p), TABLES_FILE)
        tpath = cand if os.path.isfile(cand) else None
    elif tables is not False and tables is not True:
        tpath = os.fspath(tables)
    if tpath:
        tabs = _read_json(tpath, "SOC x temperature tables (battery_model_tables.json)")
        want = tabs.get("model_sha256") if isinstance(tabs, dict) else None
        if isinstance(want, str):
            with open(p, "rb") as f:
                have = hashlib.sha256(f.read()).hexdigest()
            if have != want:
                msg = (
                    f"'{tpath}' was written with another battery_model.json than '{p}' (a later fit rewrote "
                    "the model without tables)"
                )
                if tables is None:  # found beside the model: the model alone
                    log.warning("%s; the tables are not used", msg)
                    return model
                raise ModelFileError(f"{msg}; pass tables=False or --no-tables to use the model alone")
        model.tables = _check_tables(tabs, tpath, nb)
        uniq = model.temps
        t_tables = sorted(set(float(x) for x in model.tables["temperatures"]))
        if t_tables != [float(x) for x in uniq]:
            raise ModelFileError(
                f"'{tpath}' holds the temperatures {t_tables}, the model '{p}' "
                f"{[float(x) for x in uniq]}: the tables belong to another fit (pass tables=False "
                "or --no-tables to use the model alone)"
            )
        block = model.tables.get("OCV")
        if block is not None and len(block["soc"]) != len(model.soc):
            raise ModelFileError(
                f"'{tpath}': the OCV table holds {len(block['soc'])} SOC points, the model's SOC axis "
                f"(param_1 of '{p}') {len(model.soc)}: the tables belong to another fit"
            )
        model.tables_path = tpath
    return model


def _ocv_table_args(tabs: Optional[Dict[str, Any]]) -> tuple:
    """The evaluator's OCV table arguments (temperatures, rows) of the tables' "OCV" block, or none."""
    block = tabs.get("OCV") if tabs else None
    if not block:
        return ()
    return (np.asarray(block["temperatures"], dtype=float), [np.asarray(r, dtype=float) for r in block["ocv"]])


def _check_ocv_block(block: Any, path: str) -> None:
    ok = isinstance(block, dict) and all(k in block for k in ("soc", "temperatures", "ocv"))
    if ok:
        soc, temps, rows = block["soc"], block["temperatures"], block["ocv"]
        ok = (
            isinstance(soc, list)
            and isinstance(temps, list)
            and isinstance(rows, list)
            and len(temps) == len(rows) > 0
            and all(isinstance(r, list) and len(r) == len(soc) for r in rows)
        )
    if not ok:
        raise ModelFileError(
            f'\'{path}\': "OCV" must hold "soc", "temperatures" and one "ocv" row per temperature with one '
            "value per SOC point (as ecm fit --ocv-test writes it)"
        )


def _check_tables(tabs: Any, path: str, branches: int) -> Dict[str, Any]:
    if not isinstance(tabs, dict) or "soc" not in tabs or "temperatures" not in tabs:
        raise ModelFileError(
            f'\'{path}\' has no "soc" and "temperatures"; expected the SOC x temperature '
            "tables written by ecm fit --method joint"
        )
    soc = np.asarray(tabs["soc"], dtype=float)
    nt = len(tabs["temperatures"])
    if soc.ndim != 1 or len(soc) < 1 or not np.all(np.diff(soc) > 0) or nt < 1:
        raise ModelFileError(f'\'{path}\': "soc" must be an ascending list and "temperatures" non-empty')
    names = ["R0"] + [f"{q}{b + 1}" for b in range(branches) for q in ("R", "tau")]
    names += [n for n in SLOW_TABLES if n in tabs]
    for name in names:
        rows = tabs.get(name)
        if (
            not isinstance(rows, list)
            or len(rows) != nt
            or any(not isinstance(r, list) or len(r) != len(soc) for r in rows)
        ):
            raise ModelFileError(
                f"'{path}': \"{name}\" must hold one row of {len(soc)} values per temperature "
                f"({nt}); the tables do not match a {branches}-branch model"
            )
    if "OCV" in tabs:
        _check_ocv_block(tabs["OCV"], path)
    return tabs

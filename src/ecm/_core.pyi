"""Types of ecm._core, the compiled extraction of the ecm package (internal)."""

from __future__ import annotations

import collections.abc
import typing

import numpy
import numpy.typing

__all__: list[str] = [
    "ModelEvaluator",
    "Result",
    "WarmStart",
    "build_model_from_data",
    "build_model_from_files",
    "current_segments",
    "extract",
    "output_paths",
    "read_recording",
    "simulate_model",
    "soc_from_ocv",
    "soc_table",
    "step_series",
    "write_mat_file",
    "write_text_file",
]

class WarmStart:
    """
    Start values carried from one recording to the next of one run.
    """
    def __init__(self) -> None: ...

class ModelEvaluator:
    """
    A finished model evaluated at (SOC, T): OCV, every circuit parameter (from the SOC tables where given) and the capacity. Resistances and time constants follow the Arrhenius law between the model's temperatures and that of all of them beyond (never falling as the cell gets colder); the OCV is the builder's linear law between the temperatures, held beyond; the capacity linear between, held beyond; a one-temperature model is that temperature's at any T.
    """
    def __init__(
        self,
        soc: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        ocv0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        ocvrel: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        temps: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        r0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        capacity_ah: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        r: collections.abc.Sequence[typing.Annotated[numpy.typing.ArrayLike, numpy.float64]],
        tau: collections.abc.Sequence[typing.Annotated[numpy.typing.ArrayLike, numpy.float64]],
        table_soc: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        table_temps: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        tables: dict,
        ocv_temps: typing.Annotated[numpy.typing.ArrayLike, numpy.float64] = ...,
        ocv_table: collections.abc.Sequence[typing.Annotated[numpy.typing.ArrayLike, numpy.float64]] = ...,
    ) -> None: ...
    def at(
        self, temperature: typing.SupportsFloat | typing.SupportsIndex, use_tables: bool = True, use_slow: bool = True
    ) -> dict[str, typing.Any]: ...
    @property
    def has_slow_branch(self) -> bool: ...
    def capacity_ah(self, temperature: typing.SupportsFloat | typing.SupportsIndex) -> float: ...
    def ocv(self, temperature: typing.SupportsFloat | typing.SupportsIndex) -> numpy.typing.NDArray[numpy.float64]: ...
    def ocv_slope(
        self, temperature: typing.SupportsFloat | typing.SupportsIndex
    ) -> numpy.typing.NDArray[numpy.float64]: ...
    def r_by_temperature(
        self, arg0: typing.SupportsInt | typing.SupportsIndex
    ) -> numpy.typing.NDArray[numpy.float64]: ...
    def table_by_temperature(
        self, name: str
    ) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]: ...
    def table_grid(self, name: str) -> numpy.typing.NDArray[numpy.float64]: ...
    def tau_by_temperature(
        self, arg0: typing.SupportsInt | typing.SupportsIndex
    ) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def branches(self) -> int: ...
    @property
    def capacity_by_temperature(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def has_ocv_table(self) -> bool: ...
    @property
    def soc_axis(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def r0_by_temperature(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def temperatures(self) -> numpy.typing.NDArray[numpy.float64]: ...

class Result:
    """
    One recording extracted: pulse rows, OCV points and curve, medians, warnings.
    """
    def ocv_text(self) -> str:
        """
        The text of the recording's OCV table.
        """
    def params_text(self) -> str:
        """
        The text of the recording's parameter file.
        """
    def pulse_table(self) -> dict[str, typing.Any]:
        """
        The pulse rows as columns.
        """
    def responses(self) -> list[tuple[int, numpy.typing.NDArray[numpy.float64], bool]]:
        """
        Per pulse row: (first sample, fitted response, whether it is the voltage or the overvoltage).
        """
    def series(self) -> dict[str, typing.Any]:
        """
        The arrays a report draws: kept samples, rest ends, each row's fitted response.
        """
    def steps_table(self) -> dict[str, typing.Any]:
        """
        The steps found (step analysis).
        """
    @property
    def branches(self) -> int: ...
    @property
    def charge_Ah(self) -> float: ...
    @property
    def charge_positive(self) -> bool: ...
    @property
    def current(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def cutoff_crossed(self) -> bool: ...
    @property
    def export_step_changes(self) -> int: ...
    @property
    def full_charge_found(self) -> bool: ...
    @property
    def min_ocv_rest_s(self) -> float: ...
    @property
    def gap_times(self) -> list[float]: ...
    @property
    def jump_tolerance(self) -> float: ...
    @property
    def mean(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def median(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def method(self) -> str: ...
    @property
    def ocv(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def ocv_passes(self) -> int: ...
    @property
    def path(self) -> str: ...
    @property
    def reading(self) -> str: ...
    @property
    def relaxed_measured(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def relaxed_se(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def relaxed_ocv(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def relaxed_soc(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def rest_threshold(self) -> float: ...
    @property
    def samples(self) -> int: ...
    @property
    def soc(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def soc_grid(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def temperature(self) -> float: ...
    @property
    def temperature_source(self) -> str: ...
    @property
    def warnings(self) -> list[str]: ...
    @property
    def edge_timing(self) -> str: ...

def build_model_from_data(
    records: list,
    v_low: typing.SupportsFloat | typing.SupportsIndex,
    v_high: typing.SupportsFloat | typing.SupportsIndex,
) -> dict[str, typing.Any]:
    """
    The builder over in-memory parameter records (dicts with name, TempC, Tparam_1..3).
    """

def build_model_from_files(
    paths: collections.abc.Sequence[str],
    names: collections.abc.Sequence[str],
    v_low: typing.SupportsFloat | typing.SupportsIndex,
    v_high: typing.SupportsFloat | typing.SupportsIndex,
) -> dict[str, typing.Any]:
    """
    The builder over parameter files read in the given order; names[0] names the model.
    """

def current_segments(
    time: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    current: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    voltage: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
) -> dict[str, typing.Any]:
    """
    The samples' segments as the step analysis finds them (kind: 0 rest, -1 discharge, 1 charge, by the current as given) and the charge moved since the first sample (A s, trapezoid rule).
    """

def extract(
    time: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    current: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    voltage: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    label: str,
    *,
    reading: str,
    method: str,
    model: str,
    vcut: typing.SupportsFloat | typing.SupportsIndex,
    warm: WarmStart | None = None,
    progress: typing.Any = None,
    debug: typing.Any = None,
    step_hold: bool = True,
    nominal_capacity_Ah: typing.SupportsFloat | typing.SupportsIndex = ...,
    max_pulse_s: typing.SupportsFloat | typing.SupportsIndex = 600.0,
    min_ocv_rest_s: typing.SupportsFloat | typing.SupportsIndex = ...,
    soc_step_window_s: typing.SupportsFloat | typing.SupportsIndex = 60.0,
    rms_limit_V: typing.SupportsFloat | typing.SupportsIndex = 0.005,
    rms_limit_share: typing.SupportsFloat | typing.SupportsIndex = 0.0,
    step_id: typing.Annotated[numpy.typing.ArrayLike, numpy.float64] | None = None,
    temperature: typing.SupportsFloat | typing.SupportsIndex = 0.0,
    temperature_source: str = "given",
    edge_timing: str = "reading",
    charge_counter: typing.Annotated[numpy.typing.ArrayLike, numpy.float64] | None = None,
) -> Result:
    """
    One recording's columns through the chosen reading (classic: cut-off, rests and pulses; steps: the step analysis of any protocol) and fit (pulse: two-pass; joint). warm carries the start values from one classic recording to the next; progress(done, total) is called as pulses are fitted, debug(message) receives the classic reading's log lines. The step analysis's options apply to reading='steps'. edge_timing: when the current's steps happened within their sample intervals: 'reading' (the reading's convention: classic linear between samples, steps step_hold), 'linear', 'after-sample' (right after the last sample of the old current), 'mid-interval', 'at-sample' (at the first sample of the new current).
    """

def data_cutoffs(
    current: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    voltage: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
) -> dict[str, typing.Any]:
    """
    Cut-off voltages from a recording given none: the lowest and highest voltage reached under load (else the recording's own), rounded outwards to the millivolt, each with where it came from.
    """

def output_paths(results_dir: str, recording: str) -> tuple[str, str]: ...
def read_recording(path: str, strict: bool = False) -> dict[str, typing.Any]:
    """
    All rows of a recording file as arrays t, current, voltage, with its temperature (None when neither the data nor the file name give one; temperature_source then says why; strict: an error).
    """

def fit_slow_branch(
    segments: list,
    ocv_soc: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    ocv_v: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    param_soc: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    r0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    r: collections.abc.Sequence[typing.Annotated[numpy.typing.ArrayLike, numpy.float64]],
    tau: collections.abc.Sequence[typing.Annotated[numpy.typing.ArrayLike, numpy.float64]],
    capacity_ah: typing.SupportsFloat | typing.SupportsIndex,
    tau_min: typing.SupportsFloat | typing.SupportsIndex = 300.0,
    tau_max: typing.SupportsFloat | typing.SupportsIndex = 20000.0,
    slow_tau: typing.SupportsFloat | typing.SupportsIndex = ...,
    grid_step: typing.SupportsFloat | typing.SupportsIndex = 0.1,
    smooth: typing.SupportsFloat | typing.SupportsIndex = 1.0,
    soc_min: typing.SupportsFloat | typing.SupportsIndex = 0.0,
    ocv_offsets: bool = False,
    out_soc: typing.Annotated[numpy.typing.ArrayLike, numpy.float64] = ...,
) -> dict:
    """One slow RC branch fitted on whole recordings on top of a finished fast model (segments: dicts of
    t, i, v, soc0 or anchor_t/anchor_soc, and optionally from/to, weight and load_weight)."""

def simulate_model(
    t: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    i: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    ocv_soc: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    ocv_v: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    param_soc: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    r0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    r: collections.abc.Sequence[typing.Annotated[numpy.typing.ArrayLike, numpy.float64]],
    tau: collections.abc.Sequence[typing.Annotated[numpy.typing.ArrayLike, numpy.float64]],
    capacity_ah: typing.SupportsFloat | typing.SupportsIndex,
    soc0: typing.SupportsFloat | typing.SupportsIndex,
) -> dict[str, typing.Any]:
    """
    Terminal voltage of R0 and RC branches (tables in SOC, linear between points, flat beyond) on the current i (A, linear between the samples t), from soc0 with the branches at rest; SOC by coulomb counting over capacity_ah. Returns v, soc, ocv and the branch voltages.
    """

def simulate_model_at_temperatures(
    evaluator: ModelEvaluator,
    t: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    i: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    soc0: typing.SupportsFloat | typing.SupportsIndex,
    temperature: typing.Any = None,
    ambient: typing.Any = None,
    heat_capacity: typing.SupportsFloat | typing.SupportsIndex = ...,
    conductance: typing.SupportsFloat | typing.SupportsIndex = ...,
    initial_temperature: typing.SupportsFloat | typing.SupportsIndex = ...,
    use_tables: bool = True,
    step: typing.SupportsFloat | typing.SupportsIndex = 0.1,
) -> dict[str, typing.Any]:
    """
    The model simulated on the current at a temperature per sample: measured, or the lumped thermal model's.
    """

def fit_lumped_thermal(
    t: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    heat: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    temperature: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    min_tau: typing.SupportsFloat | typing.SupportsIndex = 10.0,
) -> dict[str, typing.Any]:
    """
    The lumped thermal model (heat capacity J/K, conductance W/K, ambient C, tau = C / G s) that explains a measured cell temperature (C) from the heat per sample (W, as simulate_model_at_temperatures reports it), by the temperature it predicts from the first sample's (least squares; tau from min_tau to the recording's length, on_bound when it ends at either); rms_k: how closely. ValueError when the temperature does not determine it.
    """

def smooth_in_time(
    t: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    x: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    window_s: typing.SupportsFloat | typing.SupportsIndex,
    at: typing.Any = None,
) -> numpy.typing.NDArray[numpy.float64]:
    """
    x (sampled at t) at the times `at`: the mean of the finite samples within window_s / 2, else linear between.
    """

def fill_ocv(
    t: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    i: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    v: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    soc_axis: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    relaxed_soc: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    relaxed_ocv: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    base_ocv: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    capacity_ah: typing.SupportsFloat | typing.SupportsIndex,
    resistances: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
) -> dict[str, typing.Any]:
    """
    The OCV on soc_axis from a slow discharge (and charge) test corrected to the relaxed points of a pulse test.
    """

def soc_from_ocv(
    ocv_soc: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    ocv_v: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    v: typing.SupportsFloat | typing.SupportsIndex,
) -> float:
    """
    The SOC at which the OCV table (linear between points) reaches v; the table's ends outside it.
    """

def soc_table(
    soc: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    values: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    grid: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    cluster: typing.SupportsFloat | typing.SupportsIndex = 0.0,
) -> list[float]:
    """
    Values on an SOC grid from per-pulse points: linear between them, flat beyond the ends; NaN points are left out (all NaN: NaN). Points closer in SOC than cluster count as one: their median value at their median SOC.
    """

def soc_table_se(
    soc: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    values: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    se: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    grid: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    cluster: typing.SupportsFloat | typing.SupportsIndex = 0.0,
) -> list[float]:
    """
    The standard error on an SOC grid of the table soc_table makes from per-pulse points with standard errors se (per cluster the error of its median; NaN where no point has a value and an error).
    """

def step_series(
    time: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    current: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    voltage: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
) -> dict[str, typing.Any]:
    """
    A cycler export's samples as the step analysis sees them: the current charge positive and held over the interval before each sample (extra points of weight 0 wherever the current changes).
    """

def write_mat_file(path: str, mdict: dict) -> None: ...
def write_text_file(path: str, text: str) -> None:
    """
    Writes the whole text to path through a temporary file renamed over it.
    """

#!/usr/bin/env python3
"""Synthetic pulse-discharge recordings of a cell with known parameters.

The cell is an equivalent circuit: OCV(SOC, T) in series with R0 and one or two
parallel RC branches, whose resistances and time constants may depend on SOC
and temperature (or be constant).  The protocol starts at full charge with an
initial rest, then repeats [load pulse at a constant negative current, rest at
0 A] until the terminal voltage falls below the low cut-off during a load; the
pulse in which that happens is completed, so the recording crosses the cut-off.

Simulation
----------
The state is (SOC, v_1[, v_2]) with

    dSOC/dt = 1000 * i / (3600 * Q_mAh)
    dv_b/dt = (R_b(SOC, T) * i - v_b) / tau_b(SOC, T)
    v_term  = OCV(SOC, T) + R0(SOC, T) * i + sum_b v_b

(a discharge current is negative and lowers the terminal voltage).  The current
between two samples is the linear interpolation of the two sampled (noise-free)
currents, which is how the extraction interprets a recording.  The sampled
current is piecewise constant apart from the one-sample ramps at the pulse
edges, so the time axis is cut at every change of slope and each piece is
integrated with ``scipy.integrate.solve_ivp`` (DOP853, rtol 1e-10, atol 1e-12,
max_step a quarter of the smallest time constant) with the samples as
``t_eval``.  This is the default (``method="ivp"``) and the only method for
parameters that vary with SOC.

For cells whose parameters do not depend on SOC, ``method="exact"`` integrates
the RC branches with their closed-form response to a piecewise-linear current
and the SOC with the trapezoid rule (both exact for that input); it is much
faster and meant for large benchmark files.  ``method="auto"`` picks "exact"
for such cells and "ivp" otherwise.

Noise is measurement noise: it is added to the written columns only; the cell
itself sees the noise-free programmed current.

Command line
------------
    python tools/synthcell.py OUTDIR [--cell cellA] [--capacity 2000]
        [--temps 25 0 -10] [--model model2] [--samples N] ...

writes OUTDIR/<cell>/raw_data/<cell>_<cap>mAh_T<p|n><deg>.csv, OUTDIR/<cell>/truth.json
and (unless --no-input-params) OUTDIR/input_params.json.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, Iterable, Sequence, Union

import numpy as np
import pandas as pd
from scipy.integrate import solve_ivp

__all__ = [
    "Cell",
    "default_ocv",
    "constant_cell",
    "realistic_cell",
    "make_recording",
    "recording_name",
    "write_recording_csv",
    "write_battery_folder",
    "write_input_params",
    "drive_cycle_current",
    "make_profile_recording",
    "main",
]

ParamSpec = Union[float, Callable[[float, float], float]]

T_REF_C = 25.0
COLUMNS = ("Seconds", "Current(A)", "Voltage(V)")
TEMPERATURE_COLUMN = "Temperature(C)"


# ----------------------------------------------------------------------------
# Cell description
# ----------------------------------------------------------------------------


def default_ocv(soc, temp_c=T_REF_C):
    """A Li-ion-like OCV curve: about 3.0 V at SOC 0, 4.2 V at SOC 1.

    Steep knee at low SOC, a gentle plateau with a small step around SOC 0.6,
    and a rise towards full charge.  Strictly increasing in SOC for every
    temperature used here.  The temperature slope is mild (0.1 mV/K at
    SOC 0, -0.1 mV/K at SOC 1).  Below SOC 0 the curve continues linearly with
    its slope at 0, so a cell driven past empty keeps falling.
    """
    s = np.asarray(soc, dtype=float)
    sc = np.maximum(s, 0.0)
    base = (
        3.0
        + 0.03
        + 0.45 * (1.0 - np.exp(-12.0 * sc))
        + 0.55 * sc
        + 0.17 * sc**4
        + 0.03 * np.tanh((sc - 0.6) / 0.05)
        - 0.03 * np.tanh((1.0 - 0.6) / 0.05) * sc
    )
    slope0 = 0.45 * 12.0 + 0.55 + 0.03 / 0.05 / np.cosh(0.6 / 0.05) ** 2 - 0.03 * np.tanh(0.4 / 0.05)
    base = np.where(s < 0.0, base + slope0 * s, base)
    temp = 1e-4 * (0.5 - sc) * 2.0 * (np.asarray(temp_c, dtype=float) - T_REF_C)
    out = base + temp
    return float(out) if np.ndim(out) == 0 else out


def _arrhenius(temp_c, activation_k):
    return math.exp(activation_k * (1.0 / (temp_c + 273.15) - 1.0 / (T_REF_C + 273.15)))


@dataclass
class Cell:
    """Equivalent-circuit cell.

    ``r0`` and each branch ``(r_ohm, tau_s)`` are numbers or callables
    ``f(soc, temp_c) -> float``.  The branch capacitance is tau / R.
    ``capacity_tempco`` is the relative change of capacity per kelvin around
    25 C (0 gives a temperature independent capacity).
    """

    capacity_mAh: float = 2000.0
    r0: ParamSpec = 0.04
    branches: Sequence[tuple] = ((0.02, 30.0), (0.025, 600.0))
    capacity_tempco: float = 0.0
    ocv: Callable = field(default=default_ocv)

    @property
    def soc_dependent(self) -> bool:
        values = [self.r0] + [p for br in self.branches for p in br]
        return any(callable(p) for p in values)

    def capacity_at(self, temp_c: float) -> float:
        return self.capacity_mAh * (1.0 + self.capacity_tempco * (temp_c - T_REF_C))

    @staticmethod
    def _eval(value, soc, temp_c):
        return float(value(soc, temp_c)) if callable(value) else float(value)

    def r0_at(self, soc, temp_c):
        return self._eval(self.r0, soc, temp_c)

    def branch_at(self, b, soc, temp_c):
        r, tau = self.branches[b]
        return self._eval(r, soc, temp_c), self._eval(tau, soc, temp_c)

    def min_tau(self, temp_c, grid=None):
        grid = np.linspace(-0.2, 1.0, 25) if grid is None else grid
        taus = [self.branch_at(b, s, temp_c)[1] for b in range(len(self.branches)) for s in grid]
        return min(taus) if taus else math.inf


def _n_branches(model: str) -> int:
    if model == "model1":
        return 1
    if model == "model2":
        return 2
    raise ValueError(f"model must be 'model1' or 'model2', got {model!r}")


def constant_cell(
    capacity_mAh=2000.0, model="model2", r0=0.04, r1=0.02, tau1=30.0, r2=0.025, tau2=600.0, capacity_tempco=0.0
) -> Cell:
    """Cell whose R0 and RC branches are constant in SOC and temperature."""
    branches = [(r1, tau1), (r2, tau2)][: _n_branches(model)]
    return Cell(capacity_mAh=capacity_mAh, r0=r0, branches=tuple(branches), capacity_tempco=capacity_tempco)


def realistic_cell(capacity_mAh=2000.0, model="model2") -> Cell:
    """A ~2 Ah Li-ion-like cell whose parameters vary with SOC and temperature.

    At 25 C: R0 0.030 ohm at full charge rising to 0.039 ohm when empty; R1
    about 0.015-0.024 ohm with tau1 30-39 s; R2 about 0.020-0.030 ohm with
    tau2 500-650 s.  Resistances follow an Arrhenius law (R0 about doubles
    at -10 C); capacity drops by 0.3 %/K below 25 C.
    """

    def r0(s, tc):
        s = min(max(s, 0.0), 1.0)
        return 0.030 * (1.0 + 0.3 * (1.0 - s) ** 3) * _arrhenius(tc, 1500.0)

    def r1(s, tc):
        s = min(max(s, 0.0), 1.0)
        return 0.015 * (1.0 + 0.6 * (1.0 - s) ** 2) * _arrhenius(tc, 1200.0)

    def tau1(s, tc):
        s = min(max(s, 0.0), 1.0)
        return 30.0 * (1.0 + 0.3 * (1.0 - s))

    def r2(s, tc):
        s = min(max(s, 0.0), 1.0)
        return 0.020 * (1.0 + 0.5 * (1.0 - s) ** 2) * _arrhenius(tc, 1000.0)

    def tau2(s, tc):
        s = min(max(s, 0.0), 1.0)
        return 500.0 * (1.0 + 0.3 * (1.0 - s))

    branches = [(r1, tau1), (r2, tau2)][: _n_branches(model)]
    return Cell(capacity_mAh=capacity_mAh, r0=r0, branches=tuple(branches), capacity_tempco=0.003)


# ----------------------------------------------------------------------------
# Simulation
# ----------------------------------------------------------------------------


def _sample_times(t_start, t_end, dt, jitter, rng):
    """Sample times in [t_start, t_end): nominal spacing dt, each step scaled
    by 1 + jitter * U(-0.5, 0.5)."""
    n = int(math.ceil((t_end - t_start) / dt - 1e-9))
    if jitter <= 0.0:
        return t_start + dt * np.arange(n)
    # every step is at least dt * (1 - jitter / 2): enough steps to reach t_end
    n_steps = int(math.ceil(n / (1.0 - 0.5 * jitter))) + 2
    steps = dt * (1.0 + jitter * (rng.random(n_steps) - 0.5))
    times = t_start + np.concatenate(([0.0], np.cumsum(steps)))
    return times[times < t_end - 1e-9 * dt]


def _simulate_ivp(cell, temp_c, t, i, state0, rtol, atol, max_step):
    """Integrate (SOC, branch voltages) over the samples t with the linearly
    interpolated current i; the solve is cut at every change of slope of the
    current.  Returns the states at every sample (shape (len(t), 1 + nb))."""
    nb = len(cell.branches)
    q_as = cell.capacity_at(temp_c) * 3.6  # ampere-seconds
    states = np.empty((len(t), 1 + nb))
    states[0] = state0
    # Breakpoints: sample k is a breakpoint if the slope changes there.
    slope = np.diff(i) / np.diff(t)
    change = np.nonzero(np.abs(np.diff(slope)) > 0.0)[0] + 1
    bps = np.concatenate(([0], change, [len(t) - 1]))
    bps = np.unique(bps)

    for a, b in zip(bps[:-1], bps[1:]):
        ta, tb = t[a], t[b]
        ia = i[a]
        sl = (i[a + 1] - i[a]) / (t[a + 1] - t[a])

        def rhs(tt, y, ta=ta, ia=ia, sl=sl):
            cur = ia + sl * (tt - ta)
            soc = y[0]
            dy = np.empty_like(y)
            dy[0] = cur / q_as
            for k in range(nb):
                r, tau = cell.branch_at(k, soc, temp_c)
                dy[k + 1] = (r * cur - y[k + 1]) / tau
            return dy

        sol = solve_ivp(
            rhs, (ta, tb), states[a], method="DOP853", t_eval=t[a : b + 1], rtol=rtol, atol=atol, max_step=max_step
        )
        if not sol.success:
            raise RuntimeError(f"solve_ivp failed between t={ta} and t={tb}: {sol.message}")
        states[a + 1 : b + 1] = sol.y[:, 1:].T
    return states


def _simulate_exact(cell, temp_c, t, i, state0):
    """Closed-form propagation for parameters constant in SOC (exact for a
    piecewise-linear current)."""
    nb = len(cell.branches)
    q_as = cell.capacity_at(temp_c) * 3.6
    states = np.empty((len(t), 1 + nb))
    h = np.diff(t)
    charge = np.concatenate(([0.0], np.cumsum(0.5 * (i[1:] + i[:-1]) * h)))
    states[:, 0] = state0[0] + charge / q_as
    for k in range(nb):
        r, tau = cell.branch_at(k, 0.5, temp_c)
        a = np.exp(-h / tau)
        one_minus_a = -np.expm1(-h / tau)
        # response of the branch to a unit ramp over one step, divided by h
        ramp = 1.0 - tau * one_minus_a / h
        drive = r * (one_minus_a * i[:-1] + (i[1:] - i[:-1]) * ramp)
        vb = np.empty(len(t))
        vb[0] = state0[k + 1]
        acc = vb[0]
        for n in range(len(h)):
            acc = a[n] * acc + drive[n]
            vb[n + 1] = acc
        states[:, k + 1] = vb
    return states


def _terminal_voltage(cell, temp_c, states, i):
    soc = states[:, 0]
    r0 = np.array([cell.r0_at(s, temp_c) for s in soc]) if callable(cell.r0) else cell.r0_at(0.5, temp_c)
    return cell.ocv(soc, temp_c) + r0 * i + states[:, 1:].sum(axis=1)


def make_recording(
    cell: Cell | None = None,
    temperature_C: float = 25.0,
    *,
    model: str = "model2",
    varying: bool = True,
    capacity_mAh: float = 2000.0,
    pulse_current_A: float = -2.0,
    pulse_s: float = 180.0,
    rest_s: float = 1800.0,
    initial_rest_s: float = 60.0,
    dt: float = 1.0,
    jitter: float = 0.0,
    low_cutoff: float = 3.0,
    voltage_noise_V: float = 0.0,
    current_noise_A: float = 0.0,
    temperature_column: bool = True,
    temperature_noise_C: float = 0.1,
    seed: int | None = 0,
    method: str = "auto",
    rtol: float = 1e-10,
    atol: float = 1e-12,
    max_cycles: int = 1000,
):
    """Simulate one pulse-discharge recording.

    ``cell`` defaults to ``realistic_cell(capacity_mAh, model)`` when
    ``varying`` else ``constant_cell(capacity_mAh, model)``.  Returns
    ``(df, truth)``: ``df`` has the columns "Seconds", "Current(A)",
    "Voltage(V)" and, if ``temperature_column``, "Temperature(C)"; ``truth``
    is a JSON-serialisable dict of the true parameters and protocol.
    """
    if cell is None:
        cell = realistic_cell(capacity_mAh, model) if varying else constant_cell(capacity_mAh, model)
    method = _checked_method(cell, pulse_current_A, pulse_s, rest_s, initial_rest_s, dt, jitter, method)

    rng = np.random.default_rng(seed)
    temp_c = float(temperature_C)
    max_step = max(min(cell.min_tau(temp_c) / 4.0, 50.0 * dt), 1e-6) if len(cell.branches) else np.inf
    protocol = _pulse_protocol(
        cell, temp_c, pulse_current_A, pulse_s, rest_s, initial_rest_s, dt, jitter, max_cycles, rng
    )
    run = _simulate_pulses(cell, temp_c, protocol, method, low_cutoff, voltage_noise_V, rng, (rtol, atol, max_step))
    df = _recording_columns(run, temp_c, current_noise_A, temperature_column, temperature_noise_C, rng)

    truth = _recording_truth(
        cell,
        temp_c,
        method,
        dict(
            pulse_current_A=pulse_current_A,
            pulse_s=pulse_s,
            rest_s=rest_s,
            initial_rest_s=initial_rest_s,
            dt_s=dt,
            jitter=jitter,
            low_cutoff_V=low_cutoff,
            voltage_noise_V=voltage_noise_V,
            current_noise_A=current_noise_A,
            temperature_column=bool(temperature_column),
            seed=seed,
            rtol=rtol,
            atol=atol,
            max_step_s=float(max_step) if method == "ivp" else None,
        ),
    )
    truth.update(_run_truth(run, low_cutoff))
    return df, truth


def _checked_method(cell, pulse_current_A, pulse_s, rest_s, initial_rest_s, dt, jitter, method):
    """The integration method ("auto" resolved for the cell), after checking the
    protocol's settings; ValueError for the first that cannot be run."""
    if not pulse_current_A < 0.0:
        raise ValueError(f"pulse_current_A must be negative (discharge), got {pulse_current_A}")
    if dt <= 0 or pulse_s <= 2 * dt or rest_s <= 4 * dt or initial_rest_s <= 4 * dt:
        raise ValueError("pulse_s must span more than 2 samples and the rests more than 4")
    if not 0.0 <= jitter < 1.0:
        raise ValueError(f"jitter must be in [0, 1), got {jitter}")
    if method == "auto":
        method = "ivp" if cell.soc_dependent else "exact"
    if method not in ("ivp", "exact"):
        raise ValueError(f"method must be 'auto', 'ivp' or 'exact', got {method!r}")
    if method == "exact" and cell.soc_dependent:
        raise ValueError("method 'exact' needs parameters that do not depend on SOC")
    return method


@dataclass
class _Protocol:
    """The programmed current on one time axis, and where each cycle starts."""

    t: np.ndarray  # sample times, s
    i: np.ndarray  # programmed current, A
    bounds: np.ndarray  # index of the first sample of cycle c (0: the initial rest)
    n_max: int  # pulses the axis has room for


def _pulse_protocol(cell, temp_c, pulse_current_A, pulse_s, rest_s, initial_rest_s, dt, jitter, max_cycles, rng):
    """Initial rest, then [pulse, rest] cycles on one continuous time axis, long
    enough to drive the cell well past empty (at most ``max_cycles`` pulses)."""
    period = pulse_s + rest_s
    n_max = min(max_cycles, int(math.ceil(1.6 * cell.capacity_at(temp_c) * 3.6 / (abs(pulse_current_A) * pulse_s))) + 2)
    t_all = _sample_times(0.0, initial_rest_s + n_max * period, dt, jitter, rng)
    phase = t_all - initial_rest_s
    i_all = np.where((phase >= 0.0) & (np.mod(phase, period) < pulse_s), pulse_current_A, 0.0)
    cycle_of = np.where(phase < 0.0, 0, np.floor(phase / period).astype(np.int64) + 1)
    bounds = np.searchsorted(cycle_of, np.arange(n_max + 2))
    return _Protocol(t_all, i_all, bounds, n_max)


@dataclass
class _Run:
    """What the simulation gave up to the end of the pulse that crossed the cut-off."""

    t: np.ndarray
    i: np.ndarray  # the noise-free current the cell saw
    v: np.ndarray  # terminal voltage, with the measurement noise
    states: np.ndarray  # (SOC, branch voltages) per sample
    pulses: list  # the truth of each pulse
    seconds: float  # wall time of the simulation


def _simulate_pulses(cell, temp_c, protocol, method, low_cutoff, voltage_noise_V, rng, tolerances):
    """The cell driven cycle by cycle until a pulse takes the (noisy) voltage below
    ``low_cutoff``; that pulse is completed and the run stops there."""
    rtol, atol, max_step = tolerances
    t_all, i_all, bounds = protocol.t, protocol.i, protocol.bounds
    t_parts, i_parts, v_parts, s_parts = [], [], [], []
    state = np.zeros(1 + len(cell.branches))
    state[0] = 1.0
    pulses = []
    crossed = False
    t0 = time.perf_counter()
    for c in range(protocol.n_max + 1):
        a, b = bounds[c], bounds[c + 1]
        if b <= a:
            continue
        # start from the previous sample so the piece begins in a known state
        lo = a - 1 if a > 0 else a
        tt, ii = t_all[lo:b], i_all[lo:b]
        if method == "ivp":
            st = _simulate_ivp(cell, temp_c, tt, ii, state, rtol, atol, max_step)
        else:
            st = _simulate_exact(cell, temp_c, tt, ii, state)
        vv = _terminal_voltage(cell, temp_c, st, ii)
        if lo < a:
            tt, ii, st, vv = tt[1:], ii[1:], st[1:], vv[1:]
        if voltage_noise_V > 0:
            vv = vv + rng.normal(0.0, voltage_noise_V, len(tt))
        if c > 0:
            load = ii < 0.0
            soc_load = st[load, 0]
            pulses.append(
                _pulse_truth(
                    cell,
                    temp_c,
                    c,
                    float(tt[load][0]),
                    float(tt[load][-1]),
                    float(soc_load[0]),
                    float(soc_load[-1]),
                    float(np.mean(soc_load)),
                )
            )
            if np.any(load & (vv < low_cutoff)):
                # finish the pulse in which the cut-off is crossed, then stop
                keep = np.nonzero(load)[0][-1] + 1
                tt, ii, st, vv = tt[:keep], ii[:keep], st[:keep], vv[:keep]
                crossed = True
        t_parts.append(tt)
        i_parts.append(ii)
        v_parts.append(vv)
        s_parts.append(st)
        state = st[-1].copy()
        if crossed:
            break
    if not crossed:
        raise RuntimeError(
            f"the terminal voltage never fell below the cut-off {low_cutoff} V within {protocol.n_max} pulses"
        )
    sim_seconds = time.perf_counter() - t0
    return _Run(
        np.concatenate(t_parts),
        np.concatenate(i_parts),
        np.concatenate(v_parts),
        np.concatenate(s_parts),
        pulses,
        sim_seconds,
    )


def _recording_columns(run, temp_c, current_noise_A, temperature_column, temperature_noise_C, rng):
    """The written table: time, current with its measurement noise, voltage and,
    if asked, a noisy temperature column."""
    t = run.t
    i_rec = run.i + (rng.normal(0.0, current_noise_A, len(t)) if current_noise_A > 0 else 0.0)
    data = {"Seconds": t, "Current(A)": i_rec, "Voltage(V)": run.v}
    if temperature_column:
        data[TEMPERATURE_COLUMN] = temp_c + (
            rng.normal(0.0, temperature_noise_C, len(t)) if temperature_noise_C > 0 else 0.0
        )
    return pd.DataFrame(data)


def _run_truth(run, low_cutoff):
    """The run's part of the truth record: sizes, where the cut-off is first
    crossed, the SOC there and at the end, the charge delivered, the pulses."""
    t, i_clean, states = run.t, run.i, run.states
    k = int(np.nonzero(run.v < low_cutoff)[0][0])
    h = np.diff(t)
    delivered_all = float(-np.sum(0.5 * (i_clean[1:] + i_clean[:-1]) * h) / 3.6)
    delivered_cut = float(-np.sum(0.5 * (i_clean[1:k] + i_clean[: k - 1]) * h[: k - 1]) / 3.6)
    return dict(
        n_samples=int(len(t)),
        n_pulses=len(run.pulses),
        cutoff_index=k,
        soc_at_cutoff=float(states[k - 1, 0]),
        soc_end=float(states[-1, 0]),
        delivered_mAh=delivered_all,
        delivered_to_cutoff_mAh=delivered_cut,
        simulation_seconds=run.seconds,
        pulses=run.pulses,
    )


def _pulse_truth(cell, temp_c, index, t_start, t_end, soc_start, soc_end, soc_mid):
    row = dict(
        index=index,
        t_start_s=t_start,
        t_end_s=t_end,
        soc_start=soc_start,
        soc_end=soc_end,
        soc_mid=soc_mid,
        r0_ohm=cell.r0_at(soc_mid, temp_c),
    )
    for b in range(len(cell.branches)):
        r, tau = cell.branch_at(b, soc_mid, temp_c)
        row[f"r{b + 1}_ohm"] = r
        row[f"tau{b + 1}_s"] = tau
        row[f"c{b + 1}_F"] = tau / r
    return row


def _recording_truth(cell, temp_c, method, protocol):
    grid = np.round(np.linspace(0.0, 1.0, 21), 10)
    params = {
        "soc_grid": grid.tolist(),
        "ocv_V": [float(cell.ocv(s, temp_c)) for s in grid],
        "r0_ohm": [cell.r0_at(s, temp_c) for s in grid],
    }
    for b in range(len(cell.branches)):
        rt = [cell.branch_at(b, s, temp_c) for s in grid]
        params[f"r{b + 1}_ohm"] = [r for r, _ in rt]
        params[f"tau{b + 1}_s"] = [tau for _, tau in rt]
        params[f"c{b + 1}_F"] = [tau / r for r, tau in rt]
    truth = dict(
        temperature_C=temp_c,
        nominal_capacity_mAh=cell.capacity_mAh,
        capacity_mAh=cell.capacity_at(temp_c),
        n_branches=len(cell.branches),
        soc_dependent=cell.soc_dependent,
        method=method,
        params=params,
    )
    if not cell.soc_dependent:
        truth["r0_ohm"] = cell.r0_at(0.5, temp_c)
        for b in range(len(cell.branches)):
            r, tau = cell.branch_at(b, 0.5, temp_c)
            truth[f"r{b + 1}_ohm"] = r
            truth[f"tau{b + 1}_s"] = tau
            truth[f"c{b + 1}_F"] = tau / r
    truth.update(protocol)
    return truth


# ----------------------------------------------------------------------------
# Arbitrary current profiles
# ----------------------------------------------------------------------------


def drive_cycle_current(
    duration_s: float = 1200.0,
    dt: float = 1.0,
    peak_current_A: float = -6.0,
    regen_fraction: float = 0.4,
    seed: int | None = 0,
):
    """A synthetic urban drive cycle as a cell current, sampled every dt.

    The speed is a chain of micro-trips: a stop (10-40 s), an acceleration at
    0.5-1.5 m/s^2 to 6-17 m/s, a cruise of 5-50 s with a gentle wobble, and a
    braking at 0.6-1.4 m/s^2 back to 0. The traction power of a small car
    (1,500 kg, rolling and air resistance) is scaled so that its largest
    value draws ``peak_current_A`` (negative, a discharge); braking recovers
    power as a charging current of at most ``regen_fraction`` of the peak.
    Stops are rests (0 A). Returns (t, i, speed).
    """
    if not peak_current_A < 0.0:
        raise ValueError("peak_current_A must be negative (a discharge)")
    rng = np.random.default_rng(seed)
    n = int(math.ceil(duration_s / dt))
    t = dt * np.arange(n)
    accel = np.zeros(n)
    speed = np.zeros(n)
    k, v = 0, 0.0
    while k < n:
        stop = int(rng.uniform(10, 40) / dt)
        k += stop
        target, a_up = rng.uniform(6, 17), rng.uniform(0.5, 1.5)
        cruise, a_down = rng.uniform(5, 50), rng.uniform(0.6, 1.4)
        phase = []
        while v < target:
            v = min(target, v + a_up * dt)
            phase.append(v)
        wobble = target + 0.6 * np.sin(np.linspace(0, rng.uniform(1, 4) * np.pi, max(int(cruise / dt), 1)))
        phase.extend(wobble.tolist())
        v = phase[-1]
        while v > 0.0:
            v = max(0.0, v - a_down * dt)
            phase.append(v)
        seg = np.asarray(phase[: max(n - k, 0)])
        speed[k : k + len(seg)] = seg
        k += len(seg)
    accel[1:] = np.diff(speed) / dt
    mass, g, c_roll, rho_cda = 1500.0, 9.81, 0.012, 0.5 * 1.2 * 0.7
    power = mass * speed * accel + mass * g * c_roll * speed + rho_cda * speed**3
    power = np.where(speed > 0.0, power, 0.0)
    scale = -peak_current_A / max(float(power.max()), 1e-12)
    current = -power * scale
    current = np.where(current > 0.0, np.minimum(0.6 * current, regen_fraction * -peak_current_A), current)
    return t, current, speed


def make_profile_recording(
    t,
    current,
    cell: Cell | None = None,
    temperature_C: float = 25.0,
    *,
    soc0: float = 1.0,
    model: str = "model2",
    capacity_mAh: float = 2000.0,
    voltage_noise_V: float = 0.0,
    current_noise_A: float = 0.0,
    temperature_column: bool = True,
    seed: int | None = 0,
    rtol: float = 1e-10,
    atol: float = 1e-12,
):
    """The cell driven by an arbitrary current profile (A, negative =
    discharge, linear between the samples t), from ``soc0`` with the RC
    branches at rest. Integrated as ``make_recording`` does: one
    ``solve_ivp`` (DOP853) per sample interval, so each interval's current is
    exactly linear. Returns ``(df, truth)`` like ``make_recording`` (``truth``
    holds the true SOC at every sample as ``soc``)."""
    if cell is None:
        cell = realistic_cell(capacity_mAh, model)
    t = np.asarray(t, dtype=float)
    i = np.asarray(current, dtype=float)
    if t.ndim != 1 or t.shape != i.shape or len(t) < 2 or np.any(np.diff(t) <= 0):
        raise ValueError("t and current must be equal-length 1-d arrays with t increasing")
    rng = np.random.default_rng(seed)
    temp_c = float(temperature_C)
    nb = len(cell.branches)
    state = np.zeros(1 + nb)
    state[0] = soc0
    t0 = time.perf_counter()
    if cell.soc_dependent:
        max_step = max(min(cell.min_tau(temp_c) / 4.0, float(np.max(np.diff(t)))), 1e-6)
        st = _simulate_ivp(cell, temp_c, t, i, state, rtol, atol, max_step)
        method = "ivp"
    else:
        st = _simulate_exact(cell, temp_c, t, i, state)
        method = "exact"
    v = _terminal_voltage(cell, temp_c, st, i)
    if voltage_noise_V > 0:
        v = v + rng.normal(0.0, voltage_noise_V, len(t))
    i_rec = i + (rng.normal(0.0, current_noise_A, len(t)) if current_noise_A > 0 else 0.0)
    data = {"Seconds": t, "Current(A)": i_rec, "Voltage(V)": v}
    if temperature_column:
        data[TEMPERATURE_COLUMN] = np.full(len(t), temp_c)
    truth = dict(
        temperature_C=temp_c,
        capacity_mAh=cell.capacity_at(temp_c),
        n_branches=nb,
        method=method,
        soc0=soc0,
        n_samples=int(len(t)),
        soc=st[:, 0].tolist(),
        simulation_seconds=time.perf_counter() - t0,
    )
    return pd.DataFrame(data), truth


# ----------------------------------------------------------------------------
# Files
# ----------------------------------------------------------------------------


#: How a cycler logs a current step (make_step_recording): the step at a sample instant, the edge
#: sample reporting the new current ("at_sample") or the old one ("edge_old"); the step half-way
#: between two samples ("between"); or the classic convention, linear between samples ("linear").
CURRENT_EDGES = ("at_sample", "edge_old", "between", "linear")


def _branch_step_response(t, i, r, tau, v0=0.0):
    """A branch driven by a current linear between the points (t, i); a point pair at one time is a
    step. Closed form per interval."""
    v = np.empty(len(t))
    v[0] = acc = v0
    for n in range(1, len(t)):
        h = t[n] - t[n - 1]
        if h <= 0.0:
            v[n] = acc
            continue
        a = math.exp(-h / tau)
        ramp = 1.0 - tau * (1.0 - a) / h
        acc = a * acc + r * ((1.0 - a) * i[n - 1] + (i[n] - i[n - 1]) * ramp)
        v[n] = acc
    return v


def make_step_recording(
    cell: Cell,
    temperature_C: float = 25.0,
    *,
    edge: str = "at_sample",
    pulse_current_A: float = -2.0,
    pulse_s: float = 30.0,
    rest_s: float = 1800.0,
    initial_rest_s: float = 600.0,
    dt: float = 1.0,
    cycles: int = 8,
    low_cutoff: float = 3.0,
    voltage_noise_V: float = 0.0,
    seed: int = 0,
) -> pd.DataFrame:
    """A pulse-discharge recording of a cell with constant parameters whose current steps as
    cyclers log it (``edge``, one of CURRENT_EDGES), in the classic columns. The cell sees a
    piecewise-constant current that switches at the protocol's times; every branch and the SOC
    are integrated exactly. After ``cycles`` pulses one last pulse is stretched until the voltage
    falls below ``low_cutoff``."""
    if edge not in CURRENT_EDGES:
        raise ValueError(f"edge must be one of {CURRENT_EDGES}, got {edge!r}")
    if cell.soc_dependent:
        raise ValueError("make_step_recording needs a cell with constant parameters")
    rng = np.random.default_rng(seed)
    offset = 0.5 * dt if edge == "between" else 0.0
    period = pulse_s + rest_s
    q_as = cell.capacity_at(temperature_C) * 3.6
    # the last pulse runs until the cell is empty
    last_s = 1.2 * q_as / abs(pulse_current_A)
    switches = []
    for c in range(cycles + 1):
        on = initial_rest_s + offset + c * period
        switches += [(on, pulse_current_A), (on + (pulse_s if c < cycles else last_s), 0.0)]
    t_end = switches[-1][0] + rest_s
    ts = dt * np.arange(int(t_end / dt) + 1)
    starts = np.array([w for w, _ in switches])
    levels = np.array([0.0] + [x for _, x in switches])

    def recorded(t):
        k = np.searchsorted(starts, t, side="left" if edge == "edge_old" else "right")
        return levels[k]

    i_rec = recorded(ts)
    if edge == "linear":
        pt, pi = ts, i_rec
    else:  # the sample points and a point pair at every switch, in time order
        pt = np.concatenate([ts, starts, starts])
        pi = np.concatenate([i_rec, levels[:-1], levels[1:]])
        order = np.lexsort((np.concatenate([np.full(len(ts), 1), np.zeros(len(starts)), np.full(len(starts), 2)]), pt))
        pt, pi = pt[order], pi[order]
    charge = np.concatenate(([0.0], np.cumsum(0.5 * (pi[1:] + pi[:-1]) * np.diff(pt))))
    soc = 1.0 + charge / q_as
    v = cell.ocv(soc, temperature_C) + cell.r0_at(0.5, temperature_C) * pi
    for b in range(len(cell.branches)):
        r, tau = cell.branch_at(b, 0.5, temperature_C)
        v = v + _branch_step_response(pt, pi, r, tau)
    # the samples: at a switch instant the voltage on the side the sample reports
    if edge == "linear":
        v_s = v
    else:
        sample = np.concatenate([np.ones(len(ts), bool), np.zeros(2 * len(starts), bool)])[order]
        v_s = v[sample]
        at_switch = np.isin(ts, starts)
        if edge == "at_sample" and np.any(at_switch):
            # the sample at a switch carries the new current: the voltage after the step
            after = np.nonzero(~sample)[0]
            pos = {pt[k]: k for k in after}  # the last point at each switch time: the new current
            idx = np.nonzero(at_switch)[0]
            v_s[idx] = v[[pos[x] for x in ts[idx]]]
    v_s = v_s + (rng.normal(0.0, voltage_noise_V, len(ts)) if voltage_noise_V > 0 else 0.0)
    below = np.nonzero((i_rec < 0) & (v_s < low_cutoff))[0]
    keep = len(ts) if not len(below) else below[0] + 1
    return pd.DataFrame({"Seconds": ts[:keep], "Current(A)": i_rec[:keep], "Voltage(V)": v_s[:keep]})


def recording_name(cell_name: str, capacity_mAh: float, temperature_C: float) -> str:
    """File name of a recording: <cell>_<cap>mAh_T<p|n><deg>.csv (0 C is Tp0)."""
    deg = int(round(temperature_C))
    sign = "n" if deg < 0 else "p"
    return f"{cell_name}_{int(round(capacity_mAh))}mAh_T{sign}{abs(deg)}.csv"


def write_recording_csv(df: pd.DataFrame, path) -> None:
    """Plain comma-separated text, header row, decimal point, no index."""
    df.to_csv(path, index=False, sep=",", float_format="%.10g", lineterminator="\n")


def write_battery_folder(
    root,
    cell_name: str = "cellA",
    capacity_mAh: float = 2000.0,
    temperatures: Iterable[float] = (25,),
    model: str = "model2",
    varying: bool = True,
    cell: Cell | None = None,
    no_temperature_column: Iterable[float] = (),
    seed: int = 0,
    **recording_kwargs,
):
    """Write <root>/<cell_name>/raw_data/<cell>_<cap>mAh_T<p|n><deg>.csv per
    temperature and <root>/<cell_name>/truth.json.

    ``no_temperature_column`` lists temperatures whose file has no
    "Temperature(C)" column (the extraction then reads the file name).
    Other keyword arguments go to ``make_recording``.  Returns a dict with
    ``folder``, ``raw_data``, ``recordings`` (paths in temperature order),
    ``truth`` (path) and ``truth_data`` (dict keyed by file name).
    """
    if cell is None:
        cell = realistic_cell(capacity_mAh, model) if varying else constant_cell(capacity_mAh, model)
    folder = os.path.join(os.fspath(root), cell_name)
    raw = os.path.join(folder, "raw_data")
    os.makedirs(raw, exist_ok=True)
    omit = {int(round(x)) for x in no_temperature_column}
    paths, truths = [], {}
    for k, temp in enumerate(temperatures):
        df, truth = make_recording(
            cell,
            temp,
            temperature_column=int(round(temp)) not in omit,
            seed=None if seed is None else seed + k,
            **recording_kwargs,
        )
        name = recording_name(cell_name, cell.capacity_mAh, temp)
        path = os.path.join(raw, name)
        write_recording_csv(df, path)
        paths.append(path)
        truth["file"] = name
        truths[name] = truth
    truth_path = os.path.join(folder, "truth.json")
    with open(truth_path, "w") as fh:
        json.dump({"cell_name": cell_name, "model": model, "recordings": truths}, fh, indent=1)
    return {"folder": folder, "raw_data": raw, "recordings": paths, "truth": truth_path, "truth_data": truths}


def write_input_params(directory, battery_database, battery_folder, high_cutoff=4.2, low_cutoff=3.0, model="model2"):
    """Write <directory>/input_params.json and return its path."""
    os.makedirs(os.fspath(directory), exist_ok=True)
    path = os.path.join(os.fspath(directory), "input_params.json")
    values = {
        "battery_database": battery_database,
        "battery_folder": battery_folder,
        "high_cutoff": high_cutoff,
        "low_cutoff": low_cutoff,
        "model": model,
    }
    with open(path, "w") as fh:
        json.dump(values, fh, indent=1)
        fh.write("\n")
    return path


# ----------------------------------------------------------------------------
# Command line
# ----------------------------------------------------------------------------


def _estimated_duration(capacity_mAh, pulse_current_A, pulse_s, rest_s, initial_rest_s):
    n_pulses = math.ceil(capacity_mAh * 3.6 / (abs(pulse_current_A) * pulse_s))
    return initial_rest_s + n_pulses * (pulse_s + rest_s)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Write a synthetic battery folder of pulse-discharge recordings.")
    ap.add_argument("outdir", help="directory that receives <cell>/raw_data and input_params.json")
    ap.add_argument("--cell", default="cellA", help="battery folder / cell name")
    ap.add_argument("--capacity", type=float, default=2000.0, help="nominal capacity, mAh")
    ap.add_argument("--temps", type=float, nargs="+", default=[25.0], help="test temperatures, C")
    ap.add_argument(
        "--model",
        choices=("model1", "model2"),
        default="model2",
        help="number of RC branches of the simulated cell (and the model in input_params.json)",
    )
    ap.add_argument("--constant", action="store_true", help="parameters constant in SOC and temperature")
    ap.add_argument("--current", type=float, default=-2.0, help="pulse current, A (negative)")
    ap.add_argument("--pulse", type=float, default=180.0, help="pulse length, s")
    ap.add_argument("--rest", type=float, default=1800.0, help="rest length, s")
    ap.add_argument("--initial-rest", type=float, default=60.0, help="initial rest, s")
    ap.add_argument("--dt", type=float, default=1.0, help="sampling period, s")
    ap.add_argument("--samples", type=int, default=None, help="approximate number of samples per recording (sets --dt)")
    ap.add_argument("--jitter", type=float, default=0.0, help="relative jitter of the sampling step")
    ap.add_argument("--vnoise", type=float, default=0.0, help="voltage noise sigma, V")
    ap.add_argument("--inoise", type=float, default=0.0, help="current noise sigma, A")
    ap.add_argument(
        "--no-temp-column",
        type=float,
        nargs="*",
        default=[],
        help="temperatures whose file has no Temperature(C) column",
    )
    ap.add_argument("--low-cutoff", type=float, default=3.0)
    ap.add_argument("--high-cutoff", type=float, default=4.2)
    ap.add_argument("--method", choices=("auto", "ivp", "exact"), default="auto")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--no-input-params", action="store_true", help="do not write input_params.json")
    args = ap.parse_args(argv)

    dt = args.dt
    if args.samples:
        dt = _estimated_duration(args.capacity, args.current, args.pulse, args.rest, args.initial_rest) / args.samples
    t0 = time.perf_counter()
    out = write_battery_folder(
        args.outdir,
        cell_name=args.cell,
        capacity_mAh=args.capacity,
        temperatures=args.temps,
        model=args.model,
        varying=not args.constant,
        no_temperature_column=args.no_temp_column,
        seed=args.seed,
        pulse_current_A=args.current,
        pulse_s=args.pulse,
        rest_s=args.rest,
        initial_rest_s=args.initial_rest,
        dt=dt,
        jitter=args.jitter,
        low_cutoff=args.low_cutoff,
        voltage_noise_V=args.vnoise,
        current_noise_A=args.inoise,
        method=args.method,
    )
    if not args.no_input_params:
        # the battery folder sits next to the file: a relative database "./"
        write_input_params(args.outdir, "./", args.cell, args.high_cutoff, args.low_cutoff, args.model)
    for p in out["recordings"]:
        tr = out["truth_data"][os.path.basename(p)]
        print(
            f"{p}: {tr['n_samples']} samples, {tr['n_pulses']} pulses, "
            f"{tr['simulation_seconds']:.2f} s ({tr['method']})"
        )
    print(f"truth: {out['truth']}  total {time.perf_counter() - t0:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())

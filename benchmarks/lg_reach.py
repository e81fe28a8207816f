#!/usr/bin/env python3
"""What the LG HG2 files let a model of this class reach on the US06, studied
outside the package.

The package's own numbers are in lg_features.py. This script asks what is left
once the model is fitted with every freedom the files could pin, with an
independent NumPy simulation of the same circuit (R0, the RC branches of the
`--slow` model of each temperature's HPPC, the OCV; SOC by counting charge) on
which corrections are fitted by linear least squares:

- current: the resistances scaled by how the HPPC's pulses at 3, 6, 12 and 18 A
  differ from their SOC point's median (a current-dependent R0 and branches);
- window: a correction at every 0.1 of SOC of R0, of every branch's resistance
  (slow one included), and of the OCV, fitted on the US06's first 1200 s and
  scored after it (the calibration the acceptance asks for, with far more
  freedom than `--calibrate`), and one correction of each over all SOC;
- whole: the same fitted on the whole US06 (in sample), then carried to the
  0.5C and 2C discharges of that temperature (out of sample);
- slow: a slow RC, or a planar diffusion element, fitted on the HPPC's settled
  rests at time constants from 300 to 30,000 s: the US06 at the time constant
  the rests fit best, and at the one best for the US06;
- surface: the pulse model with its OCV at the surface SOC of planar
  diffusion (PyBaMM's diffusion element), time constants 100 to 3000 s;
- rest: the rest after the US06, the model's mean error there and the SOC
  that the last measured voltage implies through the model's OCV against the
  SOC the model counted.

RMS errors in mV.

    python benchmarks/lg_reach.py [DIR] [--temps 25degC,0degC]
        (DIR defaults to ../shared/data/lg-hg2)
"""

import logging
import os
import sys
import tempfile
import time
from functools import partial

import numpy as np
import pandas as pd

import ecm
from ecm import _core
from ecm.modelfile import load_model
from ecm.validate import validate

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lg_features import files, lg_arguments
from lg_unseen import one, start_soc

GRID = np.linspace(0.0, 1.0, 11)
RIDGE = 1e-3  # relative to the normal matrix's mean diagonal


def rc_states(t, tau, drive):
    """States of first-order lags x' = (drive - x) / tau, drive held over each interval (columns at once)."""
    dt = np.diff(t, prepend=t[0])
    a = np.exp(-dt / tau)
    x = np.zeros(drive.shape[1])
    out = np.empty_like(drive)
    for k in range(len(t)):
        x = a[k] * x + (1.0 - a[k]) * drive[k]
        out[k] = x
    return out


class Recorded:
    """A recording validated by the package, and the circuit's parts on it (NumPy)."""

    def __init__(self, model, path, soc0=None, slow=True):
        val = validate(model, path, initial_soc=soc0)
        T = float(np.median(val.cell_temperature)) if val.cell_temperature is not None else val.temperature
        self.at = at = model.at(T, use_slow=slow)
        self.val = val
        t, i = val.t, val.current
        sim = _core.simulate_model(
            t, i, at.ocv_soc, at.ocv_v, at.param_soc, at.r0, at.r, at.tau, at.capacity_ah, val.soc0
        )
        self.soc = soc = np.asarray(sim["soc"])
        self.t, self.i, self.v = t, i, val.measured
        self.ocv = np.interp(soc, at.ocv_soc, at.ocv_v)
        self.hats = np.maximum(0.0, 1.0 - np.abs(soc[:, None] - GRID[None, :]) / (GRID[1] - GRID[0]))
        self.taus = [np.interp(soc, at.param_soc, tau) for tau in at.tau]

    def simulate(self, g0=None, g=None):
        """The circuit with R0 and the pulse branches scaled by g0(|I|), g(|I|) (the slow branch, last, not)."""
        at, i = self.at, self.i
        f0 = g0(np.abs(i)) if g0 else 1.0
        f = g(np.abs(i)) if g else 1.0
        v = self.ocv + i * np.interp(self.soc, at.param_soc, at.r0) * f0
        for b, tau in enumerate(self.taus):
            r = np.interp(self.soc, at.param_soc, at.r[b]) * (f if b < len(self.taus) - 1 else 1.0)
            v = v + rc_states(self.t, tau, (i * r)[:, None])[:, 0]
        return v

    def columns(self):
        """Corrections at every SOC grid point: R0, each branch's resistance, the OCV."""
        ih = self.i[:, None] * self.hats
        return np.concatenate([ih] + [rc_states(self.t, tau, ih) for tau in self.taus] + [self.hats], axis=1)

    def settled(self):
        """Weights of the samples at rest once the pulse branches have relaxed (three longest time constants)."""
        rest = np.abs(self.i) <= 0.02 * self.at.capacity_ah
        settle = 3.0 * max(float(np.max(tau)) for tau in self.at.tau)
        since = np.zeros_like(self.t)
        start = self.t[0]
        for k in range(len(self.t)):
            if not rest[k] or (k and not rest[k - 1]):
                start = self.t[k]
            since[k] = self.t[k] - start
        return np.where(rest & (since >= settle), np.minimum(np.diff(self.t, prepend=self.t[0]), 10.0), 0.0)

    def slow_element(self, tau, kind):
        """A slow element's voltage at every SOC grid point per ohm: one RC of time constant tau, or planar
        diffusion (RC terms of resistance 6/(k pi)^2 and time constant tau/k^2, the remainder in the last)."""
        drive = self.i[:, None] * self.hats
        if kind == "RC":
            return rc_states(self.t, np.full_like(self.t, tau), drive)
        k = np.arange(1, 13)
        share = 6.0 / (k * np.pi) ** 2
        share[-1] += 1.0 - share.sum()
        return sum(w * rc_states(self.t, np.full_like(self.t, tau / kk**2), drive) for kk, w in zip(k, share))


def surface_soc_shift(rec, tau_d, modes=20):
    """The surface SOC less the mean of planar diffusion with the cell's current at its surface (time constant
    tau_d: dz/dt = z_xx / tau_d), as modes: gain 2 tau_d/(k pi)^2, time constant tau_d/(k pi)^2, in total tau_d/3."""
    u = rec.i / (3600.0 * rec.at.capacity_ah)
    k = np.arange(1, modes + 1)
    gain = 2.0 * tau_d / (k * np.pi) ** 2
    gain[-1] += tau_d / 3.0 - gain.sum()
    taus = tau_d / (k * np.pi) ** 2
    return sum(rc_states(rec.t, np.full_like(rec.t, ta), (g * u)[:, None])[:, 0] for g, ta in zip(gain, taus))


def diffusion_soc(hppc, us, taus=(100.0, 300.0, 1000.0, 3000.0)):
    """The pulse model with its OCV taken at the surface SOC (a diffusion element as PyBaMM's Thevenin model
    has one): the US06 RMS at the time constant the HPPC's settled rests fit best, and the best over all."""
    w = hppc.settled()
    scores = []
    for tau in taus:
        fit, drive = [], []
        for rec in (hppc, us):
            z = np.clip(rec.soc + surface_soc_shift(rec, tau), 0.0, 1.0)
            v = rec.simulate() - rec.ocv + np.interp(z, rec.at.ocv_soc, rec.at.ocv_v)
            (fit if rec is hppc else drive).append(1000 * (v - rec.v))
        scores.append((float(np.sqrt(np.sum(w * fit[0] ** 2) / w.sum())), rms(drive[0])))
    return min(scores)[1], min(d for _, d in scores)


def slow_on_rests(hppc, us, kind, taus=(300.0, 1000.0, 3000.0, 10000.0, 30000.0)):
    """A slow element fitted on the HPPC's settled rests (resistance per SOC point, smooth, and the state the
    test starts in) at each time constant: the US06 RMS at the one the rests choose, and the best over all."""
    y, w = hppc.v - hppc.simulate(), hppc.settled()
    d2 = np.diff(np.eye(len(GRID)), 2, axis=0)
    scores = []
    for tau in taus:
        A = np.concatenate([hppc.slow_element(tau, kind), np.exp(-(hppc.t - hppc.t[0]) / tau)[:, None]], axis=1)
        G = (A * w[:, None]).T @ A
        pen = np.zeros_like(G)
        pen[: len(GRID), : len(GRID)] = 10.0 * w.sum() * d2.T @ d2
        x = np.linalg.solve(G + pen + 1e-9 * np.trace(G) * np.eye(len(G)), (A * w[:, None]).T @ y)
        r = np.maximum(x[: len(GRID)], 0.0)
        fit = rms(1000 * (A @ x - y)[w > 0])
        drive = rms(1000 * (us.simulate() + us.slow_element(tau, kind) @ r - us.v))
        scores.append((fit, drive))
    return min(scores)[1], min(d for _, d in scores)


def rms(e, keep=None):
    e = e if keep is None else e[keep]
    return float(np.sqrt(np.mean(e**2))) if len(e) else float("nan")


def current_factors(extraction):
    """How the HPPC's discharge pulses at each current differ from their SOC point's median."""
    p = pd.concat([r.pulses for r in extraction.recordings])
    p = p[p["status"].astype(str).str.startswith("fitted") & (p["current"] < 0)].copy()
    p["level"] = -p["current"]
    p["point"] = np.round(p["soc"] / 0.1)
    branches = p["R1"].fillna(0.0) + p["R2"].fillna(0.0).where(p["tau2"] < 200.0, 0.0)
    out = []
    for values in (p["R0"], branches):
        ratio = values / values.groupby(p["point"]).transform("median")
        by = ratio.groupby(np.round(p["level"] / 3.0) * 3.0).median().dropna()
        out.append(partial(np.interp, xp=by.index.to_numpy(float), fp=by.to_numpy(float)))
    return out


def flat(A):
    """Each element's correction one value over SOC (the SOC grid's hat functions sum to one)."""
    return A.reshape(len(A), -1, len(GRID)).sum(axis=2)


def fit_corrections(rec, keep, A=None):
    A = rec.columns() if A is None else A
    y = rec.v - rec.simulate()
    w = np.minimum(np.diff(rec.t, prepend=rec.t[0]), 10.0) * keep
    G = (A * w[:, None]).T @ A
    x = np.linalg.solve(G + RIDGE * np.trace(G) / len(G) * np.eye(len(G)), (A * w[:, None]).T @ y)
    return x


def main():
    args = lg_arguments()
    logging.disable(logging.WARNING)
    temps = args.temps.split(",")
    work = tempfile.mkdtemp(prefix="lg_reach_")
    rows = {}
    t0 = time.time()
    for temp in temps:
        hppc, us06, _ = files(args.dir, temp)
        out = os.path.join(work, temp)
        ex = ecm.extract([hppc], low_cutoff=2.5, high_cutoff=4.2, reading="steps", slow=True)
        ex.write(out)
        model = load_model(out)
        us = Recorded(model, us06)
        base = 1000 * (us.simulate() - us.v)
        row = rows.setdefault(temp, {})
        row["--slow as fitted"] = us.val.rms_mV
        row["the same, NumPy"] = rms(base)

        g0, g = current_factors(ex)
        row["current: R0(I)"] = rms(1000 * (us.simulate(g0=g0) - us.v))
        row["current: R0(I), branches(I)"] = rms(1000 * (us.simulate(g0=g0, g=g) - us.v))

        after = us.t >= 1200.0
        A = us.columns()
        y = us.v - us.simulate()
        x = fit_corrections(us, ~after)
        e = 1000 * (A @ x - y)
        row["window: 0-1200 s in sample"] = rms(e, ~after)
        row["window: after 1200 s"] = rms(e, after)
        row["window, one value over SOC: after"] = rms(
            1000 * (flat(A) @ fit_corrections(us, ~after, flat(A)) - y), after
        )
        row["--slow after 1200 s"] = rms(base, after)

        x = fit_corrections(us, np.ones(len(us.t), bool))
        row["whole: US06 in sample"] = rms(1000 * (A @ x - y))
        d = os.path.join(args.dir, temp)
        for name, pattern in (("0.5C", "*_Dis_0p5C_parsed.csv"), ("2C", "*_Dis_2C_parsed.csv")):
            path = one(d, pattern)
            rec = Recorded(model, path, start_soc(out, path))
            own = 1000 * (rec.simulate() - rec.v)
            carried = own + 1000 * (rec.columns() @ x)
            dis = rec.i < -0.05
            row[f"whole: {name} --slow (discharging)"] = rms(own, dis)
            row[f"whole: {name} carried (discharging)"] = rms(carried, dis)

        fast_hppc, fast_us = Recorded(model, hppc, slow=False), Recorded(model, us06, slow=False)
        for kind in ("RC", "diffusion"):
            chosen, best = slow_on_rests(fast_hppc, fast_us, kind)
            row[f"slow {kind}: tau the HPPC rests choose"] = chosen
            row[f"slow {kind}: best tau for the US06"] = best
        chosen, best = diffusion_soc(fast_hppc, fast_us)
        row["OCV at the surface SOC: tau the rests choose"] = chosen
        row["OCV at the surface SOC: best tau"] = best

        rest = np.abs(us.i) <= 0.02 * us.at.capacity_ah
        last = np.flatnonzero(~rest)[-1] + 1 if (~rest).any() else 0
        row["rest: mean error after the cycle"] = float(np.mean(base[last:])) if last < len(base) else float("nan")
        implied = float(_core.soc_from_ocv(np.asarray(us.at.ocv_soc), np.asarray(us.at.ocv_v), float(us.v[-1])))
        row["rest: SOC implied - counted (%)"] = 100 * (implied - float(us.soc[-1]))
        print(f"{temp} done ({time.time() - t0:.0f} s)", file=sys.stderr, flush=True)

    names = list(next(iter(rows.values())))
    print(f"{'US06 (RMS mV)':<46}" + "".join(f"{t:>9}" for t in temps))
    for name in names:
        print(f"{name:<46}" + "".join(f"{rows[t][name]:>9.1f}" for t in temps))
    print(f"({time.time() - t0:.0f} s; models in {work})")


if __name__ == "__main__":
    main()

"""Recovery of known parameters from an independent simulator: PyBaMM's
equivalent-circuit model (pybamm.equivalent_circuit.Thevenin, one and two RC
elements) on a pulse protocol, extracted with both methods.

The cell is PyBaMM's 100 Ah "ECM_Example" (its OCV curve), with constant
R0 = 1 mOhm, R1 = 0.5 mOhm, tau1 = 20 s and, for two elements, R2 = 0.8 mOhm,
tau2 = 300 s (C2 = 375,000 F: far above the two-pass method's 50,000 F bound). The
protocol: 600 s rest, then 50 A pulses of 360 s each followed by a 1,800 s
rest until the voltage falls below the cut-off; 1 s sampling. PyBaMM is a
test and benchmark dependency only (pip install pybamm).

    python benchmarks/pybamm_recovery.py [--quick]
"""

import argparse
import os
import tempfile
import time

import numpy as np
import pandas as pd

TRUE = {"R0": 1e-3, "R1": 0.5e-3, "tau1": 20.0, "R2": 0.8e-3, "tau2": 300.0}


def simulate(branches, pulses, folder, pulse_s=360.0, rest_s=1800.0, current=50.0):
    """Writes <folder>/raw_data/pybamm_100000mAh_Tp25.csv and returns its path."""
    import pybamm

    model = pybamm.equivalent_circuit.Thevenin(options={"number of rc elements": branches})
    pv = pybamm.ParameterValues("ECM_Example")
    values = {
        "R0 [Ohm]": TRUE["R0"],
        "R1 [Ohm]": TRUE["R1"],
        "C1 [F]": TRUE["tau1"] / TRUE["R1"],
        "Entropic change [V/K]": 0.0,
        "Initial SoC": 0.99,
        "Lower voltage cut-off [V]": 2.0,
    }
    if branches == 2:
        values.update(
            {"R2 [Ohm]": TRUE["R2"], "C2 [F]": TRUE["tau2"] / TRUE["R2"], "Element-2 initial overpotential [V]": 0.0}
        )
    pv.update(values, check_already_exists=False)
    steps = ["Rest for 600 seconds"]
    for _ in range(pulses):
        steps += [f"Discharge at {current} A for {pulse_s} seconds", f"Rest for {rest_s} seconds"]
    experiment = pybamm.Experiment(steps, period="1 second")
    sim = pybamm.Simulation(model, parameter_values=pv, experiment=experiment)
    sol = sim.solve()
    t = sol["Time [s]"].entries
    i = -sol["Current [A]"].entries  # PyBaMM: discharge positive
    v = sol["Voltage [V]"].entries
    soc = sol["SoC"].entries
    # Consecutive steps share their boundary time (the value before and after the
    # current step): the later one is written 1 ms later, so the step stays a step.
    t = t.copy()
    for k in range(1, len(t)):
        if t[k] <= t[k - 1]:
            t[k] = t[k - 1] + 1e-3
    df = pd.DataFrame({"Seconds": t, "Current(A)": i, "Voltage(V)": v})
    raw = os.path.join(folder, "raw_data")
    os.makedirs(raw, exist_ok=True)
    path = os.path.join(raw, "pybamm_100000mAh_Tp25.csv")
    df.to_csv(path, index=False)
    return path, df, soc


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="eight pulses")
    args = ap.parse_args()
    import ecm

    pulses = 8 if args.quick else 19
    for branches in (1, 2):
        with tempfile.TemporaryDirectory() as d:
            t0 = time.perf_counter()
            path, df, soc = simulate(branches, pulses, d)
            sim_s = time.perf_counter() - t0
            # the cut-off: just above the lowest voltage, reached at the end of the last pulse
            vcut = float(np.min(df["Voltage(V)"])) + 1e-4
            print(f"== PyBaMM Thevenin, {branches} RC element(s): {len(df)} samples, simulated in {sim_s:.1f} s")
            for method in ("pulse", "joint"):
                t0 = time.perf_counter()
                ex = ecm.extract([path], model=f"{branches}rc", low_cutoff=vcut, high_cutoff=4.3, method=method)
                el = time.perf_counter() - t0
                p = ex.recordings[0].pulses
                names = ["R0", "R1", "tau1"] + (["R2", "tau2"] if branches == 2 else [])
                cells = []
                for n in names:
                    err = p[n].to_numpy() / TRUE[n] - 1
                    if n != "R0" and f"tau{n[-1]}_determined" in p:
                        err = err[p[f"tau{n[-1]}_determined"].to_numpy()]
                    cells.append(
                        f"{n} {np.median(err) * 100:+.2f}% (max {np.max(np.abs(err)) * 100:.1f}%)"
                        if len(err)
                        else f"{n} n/a"
                    )
                print(f"   {method:>5} ({len(p)} pulses, {el:.2f} s): " + "  ".join(cells))


if __name__ == "__main__":
    main()

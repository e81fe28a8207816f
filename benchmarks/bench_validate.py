"""Time of `ecm.validate` on a 200,000-sample recording: the sample cell's
model (fitted first, not timed) driven by a synthetic urban drive cycle,
0.1 s sampling (about 5.6 hours of driving). Timed as the best of --runs:
the whole validate() (reading the CSV through pandas, the start SOC, the C++
simulation, the statistics) and the C++ simulation alone, at one temperature
and following a temperature that wanders over 10 C (the model evaluated once
per 0.1 C).

Target: under 0.2 s.

    python benchmarks/bench_validate.py [--runs 5] [--samples 200000]
"""

import argparse
import os
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
SAMPLE = os.path.join(HERE, "..", "examples", "sample_cell")

import synthcell
from timing import best_of


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--samples", type=int, default=200_000)
    args = ap.parse_args()
    import ecm
    from ecm import _core
    from ecm.validate import validate

    with tempfile.TemporaryDirectory() as d:
        ex = ecm.extract(SAMPLE, model="2rc", low_cutoff=3.0, high_cutoff=4.2, method="joint")
        ex.write(d)
        dt = 0.1
        n_drive = args.samples - 2 * 6000
        t, i, _ = synthcell.drive_cycle_current(n_drive * dt, dt, -4.0, seed=5)
        i = i * 0.25  # a gentle drive so that 5.6 hours stay within the cell's charge
        tt = dt * np.arange(len(i) + 12000)
        ii = np.concatenate([np.zeros(6000), i, np.zeros(6000)])
        cell = synthcell.constant_cell(2000.0, "model2")
        df, _ = synthcell.make_profile_recording(tt, ii, cell, 25.0, soc0=0.95)
        path = os.path.join(d, "drive_2000mAh_Tp25.csv")
        synthcell.write_recording_csv(df, path)
        model = os.path.join(d, "battery_model.json")
        res = validate(model, path)
        print(
            f"{len(res.t)} samples, SOC {res.soc[0]:.3f} -> {res.soc[-1]:.3f}, RMS {res.rms_mV:.2f} mV "
            "(a different cell than the model's: the time is what counts here)"
        )
        t_all = best_of(args.runs, lambda: validate(model, path))
        at = res  # the arrays of one run
        from ecm.modelfile import load_model

        m = load_model(model).at(25.0)
        t_sim = best_of(
            args.runs,
            lambda: _core.simulate_model(
                at.t, at.current, m.ocv_soc, m.ocv_v, m.param_soc, m.r0, m.r, m.tau, m.capacity_ah, res.soc0
            ),
        )
        print(f"validate(): {t_all * 1000:.0f} ms; C++ simulation alone: {t_sim * 1000:.1f} ms")
        temp = 20.0 + 5.0 * np.sin(at.t / 3000.0)
        ev = load_model(model).evaluator()
        t_follow = best_of(
            args.runs,
            lambda: _core.simulate_model_at_temperatures(ev, at.t, at.current, res.soc0, temperature=temp),
        )
        print(f"C++ simulation following the temperature: {t_follow * 1000:.1f} ms")


if __name__ == "__main__":
    main()

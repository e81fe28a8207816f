"""The OCV between a pulse test's relaxed points from a slow discharge test.

A slow (C/20-like) discharge of the cell, optionally followed by a charge,
gives the shape of the OCV curve everywhere, also where the pulse test's
relaxed points are sparse or end (below the lowest one the spline through
them would only extrapolate). The core (``ecm._core.fill_ocv``) takes the
test's pseudo-OCV (the mean of its discharge and charge branches, else the
discharge plus the drop over the model's resistances), corrects it by a
smooth curve through the relaxed points and tabulates it on the model's SOC
axis. One file per temperature; its temperature comes from the file name, else
its temperature column, as for any recording, and it goes with the pulse
recording nearest in temperature (within ``MAX_DISTANCE_C``).
"""

from __future__ import annotations

import os
from typing import Any, Dict, List, Optional, Sequence, Union

import numpy as np

from ecm import _core
from ecm._errors import RecordingError, UsageError, reading

#: A slow test goes with the pulse recording whose temperature is at most this far from its own (C).
MAX_DISTANCE_C = 5.0


def read_slow_test(path: str, temperature: Optional[float] = None) -> Dict[str, Any]:
    """t, current (discharge negative), voltage and the temperature of a slow test file."""
    from ecm.steps import _temperature, is_classic

    if not os.path.isfile(path):
        what = "is a folder" if os.path.isdir(path) else "does not exist"
        raise UsageError(f"'{path}' {what}; expected a slow discharge test (--ocv-test)")
    with reading(path):
        if is_classic(path):
            raw = _core.read_recording(path)
            if temperature is None and raw["temperature"] is None:
                raise RecordingError(f"{raw['temperature_source']}; or give the temperature")
            temp = float(temperature if temperature is not None else raw["temperature"])
            t, i, v = raw["t"], raw["current"], raw["voltage"]
        else:
            from ecm.exports import read_export

            ex = read_export(path)
            temp, _ = _temperature(ex, temperature)
            t, i, v = ex.time, ex.current, ex.voltage
    return {
        "path": path,
        "t": np.asarray(t, dtype=float),
        "current": np.asarray(i, dtype=float),
        "voltage": np.asarray(v, dtype=float),
        "temperature": float(temp),
    }


def fill_ocv_tables(
    recordings: Sequence[Any], paths: Sequence[Union[str, os.PathLike]], temperature: Optional[float] = None
) -> List[Dict[str, Any]]:
    """One filled OCV per slow test: the pulse recording it goes with (nearest in temperature),
    the curve on that recording's SOC axis and what the core reports about it."""
    if not recordings:
        raise UsageError("no pulse recording to correct the slow test to")
    out: List[Dict[str, Any]] = []
    taken: Dict[int, str] = {}
    for p in paths:
        path = os.fspath(p)
        st = read_slow_test(path, temperature)
        dist = [abs(float(r.temperature) - st["temperature"]) for r in recordings]
        k = int(np.argmin(dist))
        if dist[k] > MAX_DISTANCE_C:
            temps = ", ".join(f"{r.temperature:g}" for r in recordings)
            raise UsageError(
                f"{path}: its temperature {st['temperature']:g} C is more than {MAX_DISTANCE_C:g} C from every "
                f"pulse recording's ({temps} C); expected one slow test per fitted temperature"
            )
        if k in taken:
            raise UsageError(
                f"{path}: {taken[k]} already gives the OCV at {recordings[k].temperature:g} C; expected one slow "
                "test per temperature"
            )
        taken[k] = path
        rec = recordings[k]
        if rec.relaxed is None or not len(rec.relaxed):
            raise RecordingError(f"{rec.path}: no relaxed OCV points to correct {path} to")
        res = ("R0",) + tuple(n for n in ("R1", "R2", "R3") if n in rec.medians)
        try:
            fill = _core.fill_ocv(
                st["t"],
                st["current"],
                st["voltage"],
                rec.ocv["soc"].to_numpy(dtype=float),
                rec.relaxed["soc"].to_numpy(dtype=float),
                rec.relaxed["ocv"].to_numpy(dtype=float),
                rec.ocv["ocv"].to_numpy(dtype=float),
                float(rec.charge_Ah),
                np.array([float(rec.medians.get(n, 0.0)) for n in res]),
            )
        except ValueError as e:
            raise RecordingError(f"{path}: {e}") from None
        fill.update(path=path, index=k, temperature=float(rec.temperature), file_temperature=st["temperature"])
        out.append(fill)
    return out


def ocv_block(recordings: Sequence[Any], fills: Sequence[Dict[str, Any]]) -> Dict[str, Any]:
    """The "OCV" block of battery_model_tables.json: per recording (sorted by temperature) the
    filled curve where a slow test gives one, else the recording's own OCV table."""
    by_index = {f["index"]: f for f in fills}
    order = sorted(range(len(recordings)), key=lambda k: recordings[k].temperature)
    rows, sources = [], []
    for k in order:
        f = by_index.get(k)
        rows.append([float(x) for x in (f["ocv"] if f else recordings[k].ocv["ocv"])])
        sources.append(os.path.basename(f["path"]) if f else None)
    return {
        "soc": [float(x) for x in recordings[order[0]].ocv["soc"]],
        "temperatures": [recordings[k].temperature for k in order],
        "ocv": rows,
        "source": sources,
    }

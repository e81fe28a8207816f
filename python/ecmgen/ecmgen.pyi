"""Battery model builder: turns the per-temperature parameter files of a
battery folder into results/battery_model.json (and battery_model.mat)."""

import json
from typing import Any, Mapping

class CustomEncoder(json.JSONEncoder):
    """JSON encoder of the battery model text.

    ``json.dumps(params_json, cls=CustomEncoder)`` gives one line: entries
    ``"key": [numbers]`` joined by ", ", the entry "name" as one string of its
    characters, empty entries left out. Numbers are never in exponent notation
    (small and huge values are written in fixed point); NaN and infinities are
    written NaN, Infinity, -Infinity. Options of the base encoder have no effect.
    """

    def default(self, obj: Any) -> dict[str, Any]: ...
    def encode(self, o: Mapping[str, Any]) -> str: ...

def write_battery_model_file(wdir: str, vbatlow: float, vbathigh: float, veltrarun: bool = False) -> None:
    """Build the battery model of the battery folder ``wdir``.

    Changes the working directory to ``wdir + "/results"`` (and leaves it
    there), reads every ``*_params.json`` there, derives the model tables
    (voltage axis from ``vbatlow - 0.01`` to ``vbathigh`` in 122 points) and
    replaces ``battery_model.json``; with ``veltrarun`` true also
    ``battery_model.mat``. Logs through the root logger.

    Raises FileNotFoundError when ``wdir/results`` does not exist, ValueError
    (KeyError for a missing key) naming the file for a missing or malformed
    parameter file, before any model file is touched.
    """

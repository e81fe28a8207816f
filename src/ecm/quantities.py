"""Names the modules share about the quantities of a model: their units, the
SOC a fitted value belongs to, the file of the SOC x temperature tables. A
leaf module: it imports nothing of the package."""

from __future__ import annotations

from typing import Any

#: The unit of every circuit parameter.
UNITS = {"R0": "Ohm", "R1": "Ohm", "R2": "Ohm", "C1": "F", "C2": "F", "tau1": "s", "tau2": "s"}
#: The SOC x temperature tables beside battery_model.json.
TABLES_FILE = "battery_model_tables.json"


def soc_of(name: str, pulses: Any) -> str:
    """The SOC column a quantity belongs to: R0 to the pulse's middle; a
    branch's R, tau and C to the pulse's end, where the branch relaxes from
    (the voltage it holds there, and so its fitted value, is set by the state
    at the end of the pulse), when the method gives it."""
    return "soc_end" if name != "R0" and "soc_end" in pulses else "soc"

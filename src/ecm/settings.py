"""The settings a fit kept beside its results (fit_settings.json), read by
ecm report and ecm validate. A leaf module: validation reads it without the
extraction."""

from __future__ import annotations

import json
import os
from typing import Any, Dict, Optional, Union

from ecm._errors import UsageError

#: The file of a results folder that keeps its fit's recordings and settings.
FIT_SETTINGS_FILE = "fit_settings.json"


def load_fit_settings(results: Union[str, os.PathLike]) -> Optional[Dict[str, Any]]:
    """The fit_settings.json of a results folder (or of the folder of a
    battery_model.json), None when there is none (results written before
    the settings were kept); UsageError naming the file when it is unreadable."""
    p = os.fspath(results)
    folder = p if os.path.isdir(p) else os.path.dirname(os.path.abspath(p))
    path = os.path.join(folder, FIT_SETTINGS_FILE)
    if not os.path.isfile(path):
        return None
    try:
        with open(path, encoding="utf-8") as fh:
            doc = json.load(fh)
    except (OSError, ValueError) as e:
        raise UsageError(f"{path}: cannot read the fit's settings: {e}") from None
    if not isinstance(doc, dict) or not isinstance(doc.get("settings"), dict):
        raise UsageError(f"{path}: expected an object with 'settings' (written by ecm fit)")
    return doc

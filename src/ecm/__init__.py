"""Equivalent-circuit battery models from pulse-discharge recordings.

The library face of the extraction: ``extract()`` runs a battery folder (or a
list of recordings) through the same C++ pipeline as the import-time
``ecmfit`` and returns an ``Extraction``; ``Extraction.write()`` writes the
same files the import-time run writes; ``read_recording()`` reads any cycler's
file into the normalised (BDF) table. Importing this package runs nothing.
Log records go to ``logging.getLogger("ecm")``.
"""

import logging as _logging

from ecm._errors import CutoffError, RecordingError, UsageError
from ecm.api import Extraction, extract
from ecm.readers import Normalised, read_recording
from ecm.results import Recording
from ecm.validate import Validation, validate

__all__ = [
    "extract",
    "Extraction",
    "Recording",
    "validate",
    "Validation",
    "read_recording",
    "Normalised",
    "RecordingError",
    "CutoffError",
    "UsageError",
    "__version__",
]

try:
    from importlib.metadata import version as _version

    __version__ = _version("ecmfit")
except Exception:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"

_logging.getLogger("ecm").addHandler(_logging.NullHandler())
